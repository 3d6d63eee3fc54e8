#include "lan/http_link.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

#include <iterator>
#include <memory>

namespace quillmarch {

namespace {

struct RouteRow {
	const char *method;
	const char *verb;
	const char *path;
	bool form;
};

// The device's HTTP admin interface, one row per device method, searched in
// this order. Methods missing here (the wireless link, logs, resets) are
// only offered over USB and Bluetooth.
constexpr RouteRow kRoutes[] = {
	{"login", "POST", "/login", false},
	{"getStatus", "GET", "/api/status", false},
	{"networkTest", "GET", "/api/network-test", false},
	{"changePassword", "POST", "/api/auth/change-password", false},
	{"ensureApiToken", "POST", "/api/auth/api-token", false},
	{"getSettings", "GET", "/api/settings", false},
	{"setSettings", "POST", "/api/settings", false},
	{"getControllerList", "GET", "/api/controller/list", false},
	{"getControllerConfig", "GET", "/api/controller/config", false},
	{"setControllerConfig", "POST", "/api/controller/config", false},
	{"scanWifi", "GET", "/scan", false},
	{"configureWifi", "POST", "/configure", true},
	{"getState", "GET", "/state", false},
	{"reboot", "POST", "/api/system/reboot", false},
	{"otaCheck", "GET", "/ota/check", false},
	{"otaApply", "POST", "/ota/apply", false},
	{"otaProgress", "GET", "/ota/progress", false},
	{"c6OtaStatus", "GET", "/api/system/c6-ota", false},
	{"c6OtaApply", "POST", "/api/system/c6-ota", false},
	{"getMqttConfig", "GET", "/api/mqtt/broker", false},
	{"setMqttConfig", "POST", "/api/mqtt/broker", false},
	{"getDeviceId", "GET", "/api/device-id", false},
	{"setDeviceId", "POST", "/api/device-id", false},
	{"provision", "POST", "/api/provision", false},
	{"blePasskey", "GET", "/api/auth/ble-passkey", false},
};
static_assert(std::size(kRoutes) == 25, "one row per routed device method");

// A header value ends at a line break: anything after one would be sent as
// a header line of its own.
QByteArray oneHeaderLine(const QByteArray &value)
{
	for (int i = 0; i < value.size(); ++i) {
		const char c = value.at(i);
		if (c == '\r' || c == '\n' || c == '\0')
			return value.left(i);
	}
	return value;
}

// The JSON of an answer body as an object: arrays and anything that is not
// JSON are wrapped, so the RPC client always gets an object.
QJsonObject answerObject(const QByteArray &body)
{
	QJsonParseError error;
	const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
	if (error.error == QJsonParseError::NoError) {
		if (doc.isObject())
			return doc.object();
		if (doc.isArray())
			return QJsonObject{
				{QStringLiteral("value"), doc.array()}};
	}
	return QJsonObject{{QStringLiteral("value"), QJsonValue()}};
}

QString errorCodeFor(int status, const QJsonObject &answer)
{
	switch (status) {
	case 400: {
		const QString code =
			answer.value(QStringLiteral("code")).toString();
		return code.isEmpty() ? QStringLiteral("bad_request") : code;
	}
	case 401:
		return QStringLiteral("unauthorized");
	case 403:
		// A refused CSRF token means the sign-in went stale; the
		// session answers "unauthorized" by signing in again.
		return answer.value(QStringLiteral("error")).toString() ==
				       QLatin1String("csrf_invalid")
			       ? QStringLiteral("unauthorized")
			       : QStringLiteral("forbidden");
	case 429:
		return QStringLiteral("rate_limited");
	case 503:
		return QStringLiteral("unavailable");
	default:
		return QStringLiteral("device_error");
	}
}

// Text of a parameter in a form body.
QString formValue(const QJsonValue &value)
{
	switch (value.type()) {
	case QJsonValue::String:
		return value.toString();
	case QJsonValue::Bool:
		return value.toBool() ? QStringLiteral("true")
				      : QStringLiteral("false");
	case QJsonValue::Double:
		return value.toVariant().toString();
	case QJsonValue::Array:
		return QString::fromUtf8(
			QJsonDocument(value.toArray())
				.toJson(QJsonDocument::Compact));
	case QJsonValue::Object:
		return QString::fromUtf8(
			QJsonDocument(value.toObject())
				.toJson(QJsonDocument::Compact));
	default:
		return QString();
	}
}

// A network-level failure (refused, unreachable, dropped, timed out,
// aborted) rather than an HTTP error status: the answer, if one started,
// never arrived whole.
bool answerIncomplete(QNetworkReply::NetworkError error)
{
	return error > QNetworkReply::NoError &&
	       error < QNetworkReply::ContentAccessDenied;
}

bool isAsciiDigits(const QString &text)
{
	if (text.isEmpty())
		return false;
	for (const QChar c : text) {
		if (c < QLatin1Char('0') || c > QLatin1Char('9'))
			return false;
	}
	return true;
}

// Cuts `reply` off as soon as its body is known to outgrow
// kMaxAnswerBytes, declared in its headers or as it arrives, so a runaway
// answer never sits in memory whole. The flag tells the finished handler.
std::shared_ptr<bool> limitAnswer(QNetworkReply *reply)
{
	auto tooLarge = std::make_shared<bool>(false);
	const auto check = [reply, tooLarge](qint64 bytes) {
		if (*tooLarge || bytes <= HttpAdminTransport::kMaxAnswerBytes)
			return;
		*tooLarge = true;
		reply->abort();
	};
	QObject::connect(
		reply, &QNetworkReply::metaDataChanged, reply, [reply, check] {
			check(reply->header(
					   QNetworkRequest::ContentLengthHeader)
				      .toLongLong());
		});
	QObject::connect(reply, &QIODevice::readyRead, reply,
			 [reply, check] { check(reply->bytesAvailable()); });
	return tooLarge;
}

QUrl deviceUrl(const QString &host, int port, const QString &path)
{
	QUrl url;
	url.setScheme(QStringLiteral("http"));
	url.setHost(host);
	if (port > 0)
		url.setPort(port);
	url.setPath(path);
	return url;
}

} // namespace

HttpRoute httpRouteFor(const QString &method)
{
	HttpRoute route;
	for (const RouteRow &row : kRoutes) {
		if (method == QLatin1String(row.method)) {
			route.found = true;
			route.verb = row.verb;
			route.path = QString::fromLatin1(row.path);
			route.form = row.form;
			break;
		}
	}
	return route;
}

HttpAdminTransport::HttpAdminTransport(const QString &host, int port,
				       QObject *parent)
	: RpcTransport(parent),
	  m_network(new QNetworkAccessManager(this)),
	  m_host(host),
	  m_port(port)
{
	// A redirect is the device's answer, not a place to go: following it
	// would turn a refusal into a page of HTML. Qt 5 and 6 differ in their
	// default, so it is set here.
	m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

void HttpAdminTransport::forgetSignIn()
{
	m_cookie.clear();
	m_csrfToken.clear();
	++m_signInEpoch;
}

void HttpAdminTransport::send(const QByteArray &message)
{
	const QJsonObject request = QJsonDocument::fromJson(message).object();
	const int id = request.value(QStringLiteral("id")).toInt(0);
	const QString method =
		request.value(QStringLiteral("method")).toString();
	const QJsonObject params =
		request.value(QStringLiteral("params")).toObject();

	if (!m_open) {
		answer(id, false, QJsonObject(), QStringLiteral("disconnected"),
		       tr("Not connected to a device"));
		return;
	}
	const HttpRoute route = httpRouteFor(method);
	if (!route.found) {
		answer(id, false, QJsonObject(),
		       QStringLiteral("not_available_here"),
		       tr("This is only available over USB or Bluetooth, not over the network."));
		return;
	}

	// Parameters of a GET are never sent: the device's GET routes take
	// none.
	QNetworkRequest req(deviceUrl(m_host, m_port, route.path));
	req.setRawHeader("Accept", "application/json");
	req.setTransferTimeout(m_transferTimeoutMs);
	// The session is this transport's to keep and to forget; a cookie jar
	// would keep sending it after the link has closed.
	req.setAttribute(QNetworkRequest::CookieLoadControlAttribute,
			 QNetworkRequest::Manual);
	req.setAttribute(QNetworkRequest::CookieSaveControlAttribute,
			 QNetworkRequest::Manual);
	if (!m_cookie.isEmpty())
		req.setRawHeader("Cookie", m_cookie);
	if (!m_csrfToken.isEmpty())
		req.setRawHeader("X-CSRF-Token", m_csrfToken);

	QNetworkReply *reply = nullptr;
	if (route.verb == "GET") {
		reply = m_network->get(req);
	} else if (route.form) {
		req.setHeader(
			QNetworkRequest::ContentTypeHeader,
			QByteArrayLiteral("application/x-www-form-urlencoded"));
		reply = m_network->post(req, formBody(params));
	} else {
		req.setHeader(QNetworkRequest::ContentTypeHeader,
			      QByteArrayLiteral("application/json"));
		reply = m_network->post(req, QJsonDocument(params).toJson(
						     QJsonDocument::Compact));
	}
	const quint32 epoch = m_signInEpoch;
	const std::shared_ptr<bool> tooLarge = limitAnswer(reply);
	connect(reply, &QNetworkReply::finished, this,
		[this, reply, id, method, epoch, tooLarge] {
			onFinished(reply, id, method, epoch, *tooLarge);
		});
}

void HttpAdminTransport::onFinished(QNetworkReply *reply, int id,
				    const QString &method, quint32 epoch,
				    bool tooLarge)
{
	reply->deleteLater();
	HttpAnswer http;
	http.tooLarge = tooLarge;
	if (!tooLarge && !answerIncomplete(reply->error())) {
		http.status =
			reply->attribute(
				     QNetworkRequest::HttpStatusCodeAttribute)
				.toInt();
		http.body = reply->readAll();
		http.setCookie = reply->rawHeader("Set-Cookie");
	}

	const HttpAdminReply taken = replyFromHttp(id, method, http);
	// A sign-in that finishes after the link forgot the session belongs to
	// a connection that is gone.
	if (taken.signedIn && epoch == m_signInEpoch) {
		m_cookie = taken.cookie;
		m_csrfToken = taken.csrfToken;
	}
	Q_EMIT this->message(taken.message);
}

void HttpAdminTransport::answer(int id, bool ok, const QJsonObject &result,
				const QString &code, const QString &message)
{
	Q_EMIT this->message(replyMessage(id, ok, result, code, message));
}

QByteArray HttpAdminTransport::replyMessage(int id, bool ok,
					    const QJsonObject &result,
					    const QString &code,
					    const QString &message)
{
	QJsonObject reply{{QStringLiteral("id"), id},
			  {QStringLiteral("ok"), ok}};
	if (ok) {
		reply.insert(QStringLiteral("result"), result);
	} else {
		reply.insert(QStringLiteral("error"),
			     QJsonObject{{QStringLiteral("code"), code},
					 {QStringLiteral("message"), message}});
	}
	return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}

HttpAdminReply HttpAdminTransport::replyFromHttp(int id, const QString &method,
						 const HttpAnswer &answer)
{
	HttpAdminReply out;
	auto fail = [&](const QString &code, const QString &text) {
		out.message =
			replyMessage(id, false, QJsonObject(), code, text);
		return out;
	};

	// Checked first: a cut-off answer has neither a whole body nor, for
	// a device that only restarts, the silence that means success.
	if (answer.tooLarge)
		return fail(QStringLiteral("response_too_large"),
			    tooLargeMessage());
	if (answer.status <= 0) {
		// A device that drops the connection while restarting or
		// starting an update has done what was asked.
		if (method == QLatin1String("reboot") ||
		    method == QLatin1String("otaApply")) {
			out.message = replyMessage(
				id, true,
				QJsonObject{{QStringLiteral("status"),
					     QStringLiteral("ok")}},
				QString(), QString());
			return out;
		}
		return fail(QStringLiteral("unreachable"),
			    tr("Could not reach the device on your network."));
	}

	const QJsonObject body = answerObject(answer.body);
	if (answer.status < 200 || answer.status > 299) {
		QString text = body.value(QStringLiteral("message")).toString();
		if (text.isEmpty())
			text = body.value(QStringLiteral("error")).toString();
		if (text.isEmpty())
			text = tr("The device answered with an error (%1).")
				       .arg(answer.status);
		return fail(errorCodeFor(answer.status, body), text);
	}

	if (method == QLatin1String("login")) {
		out.signedIn = true;
		out.cookie = sessionCookie(answer.setCookie);
		out.csrfToken =
			oneHeaderLine(body.value(QStringLiteral("csrf_token"))
					      .toString()
					      .toUtf8());
	}
	out.message = replyMessage(id, true, body, QString(), QString());
	return out;
}

QString HttpAdminTransport::tooLargeMessage()
{
	return tr("The device's answer was larger than %1 MiB, so it was not read. Check that the address belongs to a Quillmarch device.")
		.arg(kMaxAnswerBytes >> 20);
}

QByteArray HttpAdminTransport::formBody(const QJsonObject &params)
{
	QUrlQuery query;
	for (auto it = params.begin(); it != params.end(); ++it)
		query.addQueryItem(it.key(), formValue(it.value()));
	return query.query(QUrl::FullyEncoded).toUtf8();
}

QByteArray HttpAdminTransport::sessionCookie(const QByteArray &setCookie)
{
	// Several Set-Cookie headers reach us joined by line feeds; the
	// session is the first.
	const QByteArray first = oneHeaderLine(setCookie);
	const int semicolon = first.indexOf(';');
	return semicolon > 0 ? first.left(semicolon) : first;
}

QString normalizeLanHost(const QString &text)
{
	QString host = text.trimmed();
	if (host.isEmpty())
		return QString();
	const int scheme = host.indexOf(QLatin1String("://"));
	if (scheme >= 0)
		host = host.mid(scheme + 3);
	const int slash = host.indexOf(QLatin1Char('/'));
	if (slash >= 0)
		host.truncate(slash);
	host = host.trimmed();
	if (host.isEmpty())
		return QString();
	for (const QChar c : host) {
		if (c.isSpace())
			return QString();
	}

	// A port typed after the name stays after it: the rules below name
	// the host, and "quillmarch0042:8080.local" would name nothing.
	QString port;
	const int colon = host.indexOf(QLatin1Char(':'));
	if (colon > 0 && host.count(QLatin1Char(':')) == 1) {
		port = host.mid(colon);
		host.truncate(colon);
	}

	// Devices print their number on the case; its network name is
	// derived from it.
	if (host.size() <= 4 && isAsciiDigits(host)) {
		return QStringLiteral("quillmarch%1.local")
			       .arg(host.toInt(), 4, 10, QLatin1Char('0')) +
		       port;
	}
	if (host.startsWith(QLatin1String("quillmarch"), Qt::CaseInsensitive) &&
	    !host.contains(QLatin1Char('.')))
		return host.toLower() + QStringLiteral(".local") + port;
	return host + port;
}

QString lanHostWithoutPort(const QString &host)
{
	// "[address]" or "[address]:port": the brackets only set the address
	// apart from the port, and socket and URL code take it bare.
	if (host.startsWith(QLatin1Char('['))) {
		const int close = host.indexOf(QLatin1Char(']'));
		const QString after = host.mid(close + 1);
		if (close > 1 &&
		    (after.isEmpty() || (after.startsWith(QLatin1Char(':')) &&
					 isAsciiDigits(after.mid(1)))))
			return host.mid(1, close - 1);
		return host;
	}
	// Only a single colon can separate a port: a bare IPv6 address has
	// several and stays whole.
	const int colon = host.indexOf(QLatin1Char(':'));
	if (colon > 0 && host.count(QLatin1Char(':')) == 1 &&
	    isAsciiDigits(host.mid(colon + 1)))
		return host.left(colon);
	return host;
}

HttpLink::HttpLink(const QString &address, QObject *parent)
	: DeviceLink(parent),
	  m_host(address)
{
	// Only a single colon can separate a port: a bare IPv6 address has
	// several and stays whole.
	const int colon = address.indexOf(QLatin1Char(':'));
	if (colon > 0 && address.count(QLatin1Char(':')) == 1) {
		const QString after = address.mid(colon + 1);
		if (after.size() <= 5 && isAsciiDigits(after)) {
			const int port = after.toInt();
			if (port >= 1 && port <= 65535) {
				m_host = address.left(colon);
				m_port = port;
			}
		}
	}
	m_transport = new HttpAdminTransport(m_host, m_port, this);
	m_network = new QNetworkAccessManager(this);
	m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

HttpLink::~HttpLink()
{
	close();
}

void HttpLink::open()
{
	const quint32 generation = ++m_generation;
	QNetworkRequest req(
		deviceUrl(m_host, m_port, QStringLiteral("/api/status")));
	req.setTransferTimeout(m_probeTimeoutMs);
	req.setAttribute(QNetworkRequest::CookieLoadControlAttribute,
			 QNetworkRequest::Manual);
	req.setAttribute(QNetworkRequest::CookieSaveControlAttribute,
			 QNetworkRequest::Manual);
	QNetworkReply *reply = m_network->get(req);
	const std::shared_ptr<bool> tooLarge = limitAnswer(reply);
	connect(reply, &QNetworkReply::finished, this,
		[this, reply, generation, tooLarge] {
			onProbeFinished(reply, generation, *tooLarge);
		});
}

void HttpLink::onProbeFinished(QNetworkReply *reply, quint32 generation,
			       bool tooLarge)
{
	reply->deleteLater();
	if (generation != m_generation)
		return;
	// Nothing that answers like this is a device, so the status it came
	// with does not open the link.
	if (tooLarge) {
		Q_EMIT failed(QStringLiteral("response_too_large"),
			      HttpAdminTransport::tooLargeMessage());
		return;
	}
	// Any HTTP answer at all, even a refusal, shows the device is there;
	// signing in is the session's business.
	const int status =
		reply->attribute(QNetworkRequest::HttpStatusCodeAttribute)
			.toInt();
	if (status > 0) {
		m_transport->setOpen(true);
		Q_EMIT opened(QJsonObject());
		return;
	}
	Q_EMIT failed(
		QStringLiteral("unreachable"),
		tr("Could not reach %1 on your network. Check the address, and that this computer and the device are on the same network.")
			.arg(m_host));
}

void HttpLink::close()
{
	++m_generation;
	m_transport->setOpen(false);
	m_transport->forgetSignIn();
}

} // namespace quillmarch
