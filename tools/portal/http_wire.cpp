#include "http_wire.h"

#include <QJsonDocument>
#include <QString>

namespace quillmarch::portalsim {

QByteArray HttpRequest::header(const QByteArray &name) const
{
	for (const HttpHeader &h : headers) {
		if (h.first.compare(name, Qt::CaseInsensitive) == 0)
			return h.second;
	}
	return QByteArray();
}

bool HttpRequest::keepAlive() const
{
	const QByteArray connection = header("Connection").toLower();
	if (version == "HTTP/1.0")
		return connection.contains("keep-alive");
	return !connection.contains("close");
}

QHash<QByteArray, QByteArray> HttpRequest::cookies() const
{
	QHash<QByteArray, QByteArray> out;
	for (const HttpHeader &h : headers) {
		if (h.first.compare("Cookie", Qt::CaseInsensitive) != 0)
			continue;
		for (const QByteArray &pair : h.second.split(';')) {
			const int eq = pair.indexOf('=');
			if (eq <= 0)
				continue;
			const QByteArray name = pair.left(eq).trimmed();
			if (!out.contains(name))
				out.insert(name, pair.mid(eq + 1).trimmed());
		}
	}
	return out;
}

QStringList HttpRequest::segments() const
{
	QStringList out;
	for (const QByteArray &raw : path.split('/')) {
		if (!raw.isEmpty())
			out.append(QString::fromUtf8(
				QByteArray::fromPercentEncoding(raw)));
	}
	return out;
}

QJsonObject HttpRequest::json(bool *ok) const
{
	QJsonParseError error{};
	const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
	const bool good = error.error == QJsonParseError::NoError &&
			  doc.isObject();
	if (ok)
		*ok = good;
	return good ? doc.object() : QJsonObject();
}

HttpReply HttpReply::json(int status, const QJsonObject &object)
{
	HttpReply r;
	r.status = status;
	r.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
	return r;
}

HttpReply HttpReply::error(int status, const QString &code)
{
	return json(status, QJsonObject{{QStringLiteral("detail"),
					 QJsonObject{{QStringLiteral("error"),
						      code}}}});
}

HttpReply HttpReply::message(int status, const QString &text,
			     const QString &code)
{
	QJsonObject o{{QStringLiteral("detail"), text}};
	if (!code.isEmpty())
		o.insert(QStringLiteral("error"), code);
	return json(status, o);
}

HttpReply HttpReply::text(int status, const QByteArray &body,
			  const QByteArray &contentType)
{
	HttpReply r;
	r.status = status;
	r.body = body;
	r.contentType = contentType;
	return r;
}

QByteArray HttpReply::serialize(bool close) const
{
	QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' +
			 reasonPhrase(status) + "\r\n";
	if (!contentType.isEmpty())
		out += "Content-Type: " + contentType + "\r\n";
	out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
	out += "Cache-Control: no-store\r\n";
	for (const QByteArray &cookie : setCookies)
		out += "Set-Cookie: " + cookie + "\r\n";
	out += close ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
	out += "\r\n";
	out += body;
	return out;
}

QByteArray reasonPhrase(int status)
{
	switch (status) {
	case 200:
		return "OK";
	case 201:
		return "Created";
	case 204:
		return "No Content";
	case 400:
		return "Bad Request";
	case 401:
		return "Unauthorized";
	case 402:
		return "Payment Required";
	case 403:
		return "Forbidden";
	case 404:
		return "Not Found";
	case 405:
		return "Method Not Allowed";
	case 409:
		return "Conflict";
	case 411:
		return "Length Required";
	case 413:
		return "Payload Too Large";
	case 422:
		return "Unprocessable Entity";
	case 429:
		return "Too Many Requests";
	case 431:
		return "Request Header Fields Too Large";
	case 500:
		return "Internal Server Error";
	case 501:
		return "Not Implemented";
	case 502:
		return "Bad Gateway";
	case 503:
		return "Service Unavailable";
	case 504:
		return "Gateway Timeout";
	default:
		return "Status";
	}
}

HttpRequestParser::Result HttpRequestParser::fail(int status, int *errorStatus)
{
	m_failedWith = status;
	m_buffer.clear();
	*errorStatus = status;
	return Result::Error;
}

HttpRequestParser::Result HttpRequestParser::next(HttpRequest *out,
						  int *errorStatus)
{
	if (m_failedWith)
		return fail(m_failedWith, errorStatus);
	// Blank lines between requests are tolerated, as HTTP/1.1 asks.
	while (m_buffer.startsWith("\r\n"))
		m_buffer.remove(0, 2);
	const int headEnd = m_buffer.indexOf("\r\n\r\n");
	if (headEnd < 0) {
		if (m_buffer.size() > kMaxHeadBytes)
			return fail(431, errorStatus);
		return Result::NeedMore;
	}
	if (headEnd > kMaxHeadBytes)
		return fail(431, errorStatus);

	const QList<QByteArray> lines = m_buffer.left(headEnd).split('\n');
	const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
	if (first.size() != 3 || first.at(0).isEmpty() ||
	    !first.at(1).startsWith('/') || !first.at(2).startsWith("HTTP/1."))
		return fail(400, errorStatus);
	HttpRequest request;
	request.method = first.at(0);
	request.target = first.at(1);
	request.version = first.at(2);
	const int q = request.target.indexOf('?');
	request.path = q >= 0 ? request.target.left(q) : request.target;
	for (int i = 1; i < lines.size(); ++i) {
		const QByteArray line = lines.at(i).trimmed();
		const int colon = line.indexOf(':');
		if (colon <= 0)
			return fail(400, errorStatus);
		request.headers.append(
			HttpHeader(line.left(colon).trimmed(),
				   line.mid(colon + 1).trimmed()));
	}

	if (!request.header("Transfer-Encoding").isEmpty())
		return fail(411, errorStatus);
	qint64 length = 0;
	const QByteArray lengthText = request.header("Content-Length");
	if (!lengthText.isEmpty()) {
		bool ok = false;
		length = lengthText.toLongLong(&ok);
		if (!ok || length < 0)
			return fail(400, errorStatus);
		if (length > kMaxBodyBytes)
			return fail(413, errorStatus);
	}
	const int bodyStart = headEnd + 4;
	if (m_buffer.size() < bodyStart + length)
		return Result::NeedMore;
	request.body = m_buffer.mid(bodyStart, int(length));
	m_buffer.remove(0, bodyStart + int(length));
	*out = request;
	return Result::Request;
}

} // namespace quillmarch::portalsim
