#include "http_side.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>
#include <QRandomGenerator>
#include <QUrlQuery>

#include <utility>

Q_LOGGING_CATEGORY(lcHttp, "quillmarch.sim.http", QtInfoMsg)

namespace quillmarch::sim {

namespace {

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

// What the device says with the statuses it has JSON for; any other error
// status comes with its web server's HTML page.
struct CannedError {
	int status;
	const char *code;
	const char *message;
};

constexpr CannedError kCannedErrors[] = {
	{400, "bad_request", "The device could not read the request."},
	{401, "unauthorized", "Sign in to the device first."},
	{403, "forbidden", "Not allowed."},
	{429, "rate_limited", "Too many requests. Wait a moment."},
	{503, "unavailable", "The device is busy. Try again in a moment."},
};

// The device method behind a verb and path; empty when there is none.
// *allowed lists the verbs the path takes (empty: an unknown path).
QString deviceMethodFor(const QByteArray &verb, const QByteArray &path,
			QByteArray *allowed)
{
	QString method;
	for (const Route &route : kRoutes) {
		if (path != route.path)
			continue;
		if (verb == route.verb)
			method = QString::fromLatin1(route.method);
		*allowed +=
			QByteArray(allowed->isEmpty() ? "" : ", ") + route.verb;
	}
	return method;
}

// The error the device sends with a status: 400 names the refusal in
// "code", the other statuses in "error".
HttpReply errorReply(int status, const QString &code, const QString &text)
{
	QJsonObject body{{QStringLiteral("message"), text}};
	body.insert(status == 400 ? QStringLiteral("code")
				  : QStringLiteral("error"),
		    code);
	return HttpReply::json(status, body);
}

// The page a device's web server shows for an error it has no JSON for.
HttpReply errorPage(int status)
{
	const QByteArray title = QByteArray::number(status) + ' ' +
				 tools::httpReasonPhrase(status);
	return HttpReply::text(status,
			       "<!DOCTYPE html>\n<html><head><title>" + title +
				       "</title></head>\n<body><h1>" + title +
				       "</h1><p>The device could not handle "
				       "the request.</p></body></html>\n",
			       "text/html");
}

// What the server says to bytes it cannot take as a request.
HttpReply refusal(int status)
{
	const char *why = status == 431 ? "The request head is too large."
			  : status == 413
				  ? "The request body is too large."
				  : "The request is not HTTP the device "
				    "can read.";
	return errorReply(status,
			  status == 400 ? QStringLiteral("bad_request")
					: QStringLiteral("refused"),
			  QString::fromLatin1(why));
}

// The status a refused method is answered with.
int statusFor(const QString &code)
{
	if (code == QLatin1String("unauthorized") ||
	    code == QLatin1String("invalid_credentials"))
		return 401;
	if (code == QLatin1String("rate_limited"))
		return 429;
	if (code == QLatin1String("busy"))
		return 503;
	if (code == QLatin1String("unknown_method"))
		return 404;
	return 400;
}

QByteArray randomHex(int bytes)
{
	QByteArray raw(bytes, Qt::Uninitialized);
	for (char &c : raw)
		c = char(QRandomGenerator::global()->bounded(256));
	return raw.toHex();
}

HttpServer::Config serverConfig(const HttpSide::Config &config)
{
	HttpServer::Config out;
	out.limits.maxHeadBytes = config.maxHeadBytes;
	out.limits.maxBodyBytes = config.maxBodyBytes;
	out.maxConnections = config.maxConnections;
	out.idleTimeoutMs = config.idleTimeoutMs;
	out.keepRequests = 0;
	out.refusal = refusal;
	return out;
}

} // namespace

HttpSide::HttpSide(DeviceModel *device, const Config &config, QObject *parent)
	: QObject(parent),
	  m_device(device),
	  m_config(config),
	  m_server(new HttpServer(serverConfig(config), this)),
	  m_address(config.address),
	  m_port(config.port),
	  m_failures(config.failures)
{
	m_server->setAsyncHandler([this](const HttpRequest &request,
					 const HttpServer::Respond &respond) {
		handle(request, respond);
	});
	m_relistenTimer.setSingleShot(true);
	connect(&m_relistenTimer, &QTimer::timeout, this, &HttpSide::relisten);
	connect(m_device, &DeviceModel::restarting, this,
		&HttpSide::onDeviceRestarting);
	connect(m_device, &DeviceModel::restarted, this,
		&HttpSide::onDeviceRestarted);
}

bool HttpSide::listen(QString *error)
{
	if (!m_server->listen(m_config.address, m_config.port)) {
		if (error)
			*error = m_server->errorString();
		return false;
	}
	m_address = m_server->address();
	m_port = m_server->port();
	m_deviceDown = m_device->isRestarting();
	if (m_deviceDown)
		m_server->stopListening();
	qCInfo(lcHttp).noquote()
		<< "admin interface on" << m_address.toString() << m_port;
	return true;
}

void HttpSide::close()
{
	m_relistenTimer.stop();
	m_server->close();
}

bool HttpSide::isListening() const
{
	return m_server->isListening();
}

bool HttpSide::relisten()
{
	if (m_deviceDown || m_server->isListening())
		return true;
	if (m_server->listen(m_address, m_port))
		return true;
	// Someone may hold the port for a moment; a device keeps trying.
	qCWarning(lcHttp).noquote()
		<< "cannot listen again:" << m_server->errorString();
	m_relistenTimer.start(200);
	return false;
}

void HttpSide::failNext(const QString &path, int status, int count)
{
	if (count > 0)
		m_failures.append({path, status, count});
}

void HttpSide::expireCsrfTokens()
{
	for (const SessionPtr &session : std::as_const(m_sessions))
		session->csrfToken = QString::fromLatin1(randomHex(16));
}

void HttpSide::onDeviceRestarting()
{
	// The answer that announced the restart is still being written;
	// closing lets it go out first.
	m_deviceDown = true;
	m_relistenTimer.stop();
	m_server->stopListening();
	m_server->finishConnections();
	m_sessions.clear();
	m_sessionOrder.clear();
}

void HttpSide::onDeviceRestarted()
{
	m_deviceDown = false;
	relisten();
}

bool HttpSide::injectedFailure(const HttpRequest &request,
			       const HttpServer::Respond &respond)
{
	const QString path = QString::fromLatin1(request.path);
	int index = -1;
	for (int i = 0; i < m_failures.size() && index < 0; ++i)
		if (m_failures.at(i).path == path)
			index = i;
	if (index < 0)
		return false;
	const int status = m_failures.at(index).status;
	if (--m_failures[index].count <= 0)
		m_failures.removeAt(index);
	qCInfo(lcHttp).noquote() << "failing" << path << "with" << status;
	if (status == 0) {
		respond(HttpReply::of(HttpReply::Action::Drop));
		return true;
	}
	HttpReply reply = errorPage(status);
	for (const CannedError &canned : kCannedErrors) {
		if (canned.status == status)
			reply = errorReply(status,
					   QString::fromLatin1(canned.code),
					   QString::fromLatin1(canned.message));
	}
	respond(reply);
	return true;
}

void HttpSide::handle(const HttpRequest &request,
		      const HttpServer::Respond &respond)
{
	qCDebug(lcHttp).noquote() << request.method << request.path;
	if (injectedFailure(request, respond))
		return;

	QByteArray allowed;
	const QString method =
		deviceMethodFor(request.method, request.path, &allowed);
	if (method.isEmpty()) {
		const int status = allowed.isEmpty() ? 404 : 405;
		HttpReply reply = errorReply(
			status, QStringLiteral("not_found"),
			QStringLiteral("The device has no %1 %2.")
				.arg(QString::fromLatin1(request.method),
				     QString::fromLatin1(request.path)));
		if (!allowed.isEmpty())
			reply.withHeader("Allow", allowed);
		respond(reply);
		return;
	}

	SessionPtr session;
	if (method == QLatin1String("login")) {
		session = std::make_shared<DeviceModel::Session>();
	} else {
		session = sessionFor(request);
		if (!session) {
			respond(errorReply(
				401, QStringLiteral("unauthorized"),
				QStringLiteral("Sign in to the device first.")));
			return;
		}
		const QByteArray token = request.header("X-CSRF-Token");
		if (request.method == "POST" &&
		    (token.isEmpty() || token != session->csrfToken.toUtf8())) {
			respond(HttpReply::json(
				403, {{QStringLiteral("error"),
				       QStringLiteral("csrf_invalid")}}));
			return;
		}
	}
	callDevice(request, method, session, respond);
}

void HttpSide::callDevice(const HttpRequest &request, const QString &method,
			  const SessionPtr &session,
			  const HttpServer::Respond &respond)
{
	QJsonObject params;
	if (request.method == "POST") {
		const QByteArray type =
			request.header("Content-Type").toLower();
		bool isObject = false;
		if (type.startsWith("application/x-www-form-urlencoded")) {
			// A plus sign is a plus sign here: the device's form
			// reader only knows percent escapes.
			const QUrlQuery form(QString::fromUtf8(request.body));
			for (const auto &item :
			     form.queryItems(QUrl::FullyDecoded))
				params.insert(item.first, item.second);
		} else if (!request.body.trimmed().isEmpty()) {
			params = request.json(&isObject);
			if (!isObject) {
				respond(errorReply(
					400, QStringLiteral("bad_request"),
					QStringLiteral("The body is not a "
						       "JSON object.")));
				return;
			}
		}
	}
	if (m_nextRequestId >= 0x7fffffff)
		m_nextRequestId = 0;
	const QJsonObject call{{QStringLiteral("id"),
				double(++m_nextRequestId)},
			       {QStringLiteral("method"), method},
			       {QStringLiteral("params"), params}};
	// The server drops an answer for a connection that is gone, or that
	// the device restarted under.
	const QPointer<HttpSide> self(this);
	m_device->handleRequest(
		*session, call,
		[self, request, method, session,
		 respond](const QJsonObject &reply) {
			if (self)
				respond(self->answerFromDevice(request, method,
							       session, reply));
		});
}

HttpReply HttpSide::answerFromDevice(const HttpRequest &request,
				     const QString &method,
				     const SessionPtr &session,
				     const QJsonObject &reply)
{
	if (!reply.value(QLatin1String("ok")).toBool()) {
		const QJsonObject error =
			reply.value(QLatin1String("error")).toObject();
		const QString code =
			error.value(QLatin1String("code")).toString();
		return errorReply(
			statusFor(code), code,
			error.value(QLatin1String("message")).toString());
	}
	HttpReply answer = HttpReply::json(
		200, reply.value(QLatin1String("result")).toObject());
	if (method == QLatin1String("login")) {
		answer.withHeader("Set-Cookie", m_config.cookieName + '=' +
							remember(session) +
							"; Path=/; HttpOnly");
		// The old sign-in of this client ends with the new.
		const SessionPtr old = sessionFor(request);
		if (old && old != session)
			old->signedIn = false;
	}
	// The device goes away after these; the connection with it.
	answer.close = method == QLatin1String("reboot") ||
		       method == QLatin1String("otaApply");
	return answer;
}

HttpSide::SessionPtr HttpSide::sessionFor(const HttpRequest &request) const
{
	const QByteArray prefix = m_config.cookieName + '=';
	for (const auto &header : request.headers) {
		if (header.first.compare("Cookie", Qt::CaseInsensitive) != 0)
			continue;
		for (const QByteArray &part : header.second.split(';')) {
			const QByteArray pair = part.trimmed();
			if (!pair.startsWith(prefix))
				continue;
			const SessionPtr session =
				m_sessions.value(pair.mid(prefix.size()));
			if (session && session->signedIn &&
			    session->boot == quint64(m_device->bootCount()))
				return session;
		}
	}
	return nullptr;
}

QByteArray HttpSide::remember(const SessionPtr &session)
{
	const QByteArray cookie = randomHex(16);
	m_sessions.insert(cookie, session);
	m_sessionOrder.append(cookie);
	while (m_sessionOrder.size() > qMax(1, m_config.maxSessions))
		m_sessions.remove(m_sessionOrder.takeFirst());
	return cookie;
}

} // namespace quillmarch::sim
