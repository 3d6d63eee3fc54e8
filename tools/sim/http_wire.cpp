#include "http_wire.h"

namespace quillmarch::sim {

namespace {

bool isTokenChar(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
	       (c >= '0' && c <= '9') ||
	       QByteArray("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(const QByteArray &text)
{
	if (text.isEmpty())
		return false;
	for (const char c : text)
		if (!isTokenChar(c))
			return false;
	return true;
}

struct Route {
	const char *verb;
	const char *path;
	const char *method;
};

// The device's admin paths. GET routes take no parameters; POST routes
// take a JSON object, except the Wi-Fi set-up page, which a browser posts
// as a form.
constexpr Route kRoutes[] = {
	{"POST", "/login", "login"},
	{"GET", "/api/status", "getStatus"},
	{"GET", "/api/network-test", "networkTest"},
	{"POST", "/api/auth/change-password", "changePassword"},
	{"POST", "/api/auth/api-token", "ensureApiToken"},
	{"GET", "/api/auth/ble-passkey", "blePasskey"},
	{"GET", "/api/settings", "getSettings"},
	{"POST", "/api/settings", "setSettings"},
	{"GET", "/api/controller/list", "getControllerList"},
	{"GET", "/api/controller/config", "getControllerConfig"},
	{"POST", "/api/controller/config", "setControllerConfig"},
	{"GET", "/scan", "scanWifi"},
	{"POST", "/configure", "configureWifi"},
	{"GET", "/state", "getState"},
	{"POST", "/api/system/reboot", "reboot"},
	{"GET", "/ota/check", "otaCheck"},
	{"POST", "/ota/apply", "otaApply"},
	{"GET", "/ota/progress", "otaProgress"},
	{"GET", "/api/system/c6-ota", "c6OtaStatus"},
	{"POST", "/api/system/c6-ota", "c6OtaApply"},
	{"GET", "/api/mqtt/broker", "getMqttConfig"},
	{"POST", "/api/mqtt/broker", "setMqttConfig"},
	{"GET", "/api/device-id", "getDeviceId"},
	{"POST", "/api/device-id", "setDeviceId"},
	{"POST", "/api/provision", "provision"},
};

bool hasControlOrSpace(const QByteArray &text)
{
	for (const char c : text)
		if (uchar(c) <= 0x20 || c == 0x7f)
			return true;
	return false;
}

} // namespace

QString deviceMethodFor(const QByteArray &verb, const QString &path,
			QByteArray *allowed)
{
	QString method;
	allowed->clear();
	for (const Route &route : kRoutes) {
		if (path != QLatin1String(route.path))
			continue;
		if (verb == route.verb)
			method = QString::fromLatin1(route.method);
		*allowed +=
			QByteArray(allowed->isEmpty() ? "" : ", ") + route.verb;
	}
	return method;
}

QByteArray HttpRequest::header(const char *name) const
{
	for (const auto &h : headers)
		if (h.first.compare(name, Qt::CaseInsensitive) == 0)
			return h.second;
	return QByteArray();
}

int httpHeadEnd(const QByteArray &buffer, int *terminator)
{
	// A bare line feed ends a line too: people type requests by hand.
	const int crlf = int(buffer.indexOf("\n\r\n"));
	const int lf = int(buffer.indexOf("\n\n"));
	if (lf >= 0 && (crlf < 0 || lf < crlf)) {
		*terminator = 2;
		return lf;
	}
	*terminator = 3;
	return crlf;
}

int parseHttpHead(const QByteArray &head, HttpRequest *out)
{
	QList<QByteArray> lines = head.split('\n');
	for (QByteArray &line : lines) {
		if (line.endsWith('\r'))
			line.chop(1);
		if (line.contains('\r') || line.contains('\0'))
			return 400;
	}
	const QList<QByteArray> parts = lines.first().split(' ');
	if (parts.size() != 3 || !isToken(parts.at(0)) ||
	    !parts.at(1).startsWith('/') || hasControlOrSpace(parts.at(1)))
		return 400;
	const QByteArray version = parts.at(2);
	if (!version.startsWith("HTTP/"))
		return 400;
	if (version != "HTTP/1.1" && version != "HTTP/1.0")
		return 505;
	out->verb = parts.at(0);
	out->target = parts.at(1);
	const int query = int(out->target.indexOf('?'));
	out->path = QString::fromLatin1(query < 0 ? out->target
						  : out->target.left(query));

	bool haveLength = false;
	QByteArray connection;
	for (int i = 1; i < lines.size(); ++i) {
		const QByteArray &line = lines.at(i);
		const int colon = int(line.indexOf(':'));
		// No folded continuation lines and no space before the colon.
		if (colon <= 0 || !isToken(line.left(colon)))
			return 400;
		const QByteArray name = line.left(colon);
		const QByteArray value = line.mid(colon + 1).trimmed();
		out->headers.append({name, value});
		if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
			bool ok = value.size() <= 12 && !value.isEmpty();
			for (const char c : value)
				ok = ok && c >= '0' && c <= '9';
			const qint64 length = ok ? value.toLongLong() : -1;
			// Two lengths that differ leave the body's end open.
			if (!ok || (haveLength && length != out->contentLength))
				return 400;
			haveLength = true;
			out->contentLength = length;
		} else if (name.compare("Transfer-Encoding",
					Qt::CaseInsensitive) == 0) {
			return 501; // the device's server knows no chunking
		} else if (name.compare("Connection", Qt::CaseInsensitive) ==
			   0) {
			connection += value.toLower() + ',';
		}
	}
	out->keepAlive = version == "HTTP/1.1"
				 ? !connection.contains("close")
				 : connection.contains("keep-alive");
	return 0;
}

QByteArray httpReasonPhrase(int status)
{
	switch (status) {
	case 200:
		return "OK";
	case 400:
		return "Bad Request";
	case 401:
		return "Unauthorized";
	case 403:
		return "Forbidden";
	case 404:
		return "Not Found";
	case 405:
		return "Method Not Allowed";
	case 413:
		return "Payload Too Large";
	case 429:
		return "Too Many Requests";
	case 431:
		return "Request Header Fields Too Large";
	case 501:
		return "Not Implemented";
	case 503:
		return "Service Unavailable";
	case 505:
		return "HTTP Version Not Supported";
	default:
		return status >= 500 ? "Internal Server Error" : "Error";
	}
}

QByteArray httpAnswer(int status, const QByteArray &contentType,
		      const QByteArray &body,
		      const QList<QByteArray> &extraHeaders, bool close)
{
	QByteArray bytes = "HTTP/1.1 " + QByteArray::number(status) + ' ' +
			   httpReasonPhrase(status) + "\r\n";
	bytes += "Content-Type: " + contentType + "\r\n";
	bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
	bytes += "Cache-Control: no-store\r\n";
	bytes += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
	for (const QByteArray &header : extraHeaders)
		bytes += header + "\r\n";
	return bytes + "\r\n" + body;
}

QByteArray httpErrorPage(int status)
{
	const QByteArray title =
		QByteArray::number(status) + ' ' + httpReasonPhrase(status);
	return "<!DOCTYPE html>\n<html><head><title>" + title +
	       "</title></head>\n<body><h1>" + title +
	       "</h1><p>The device could not handle the request.</p>"
	       "</body></html>\n";
}

} // namespace quillmarch::sim
