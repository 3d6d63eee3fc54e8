#include "http_side.h"

#include "http_wire.h"

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPair>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>

#include <utility>

Q_LOGGING_CATEGORY(lcHttp, "quillmarch.sim.http", QtInfoMsg)

namespace quillmarch::sim {

// One client connection and where reading it has got to. A QObject so that
// it can be deleted later: a socket may disconnect from inside a call that
// is still using it.
class HttpConnection : public QObject {
public:
	HttpConnection(QTcpSocket *socket, QObject *parent)
		: QObject(parent),
		  socket(socket)
	{
		socket->setParent(this);
		idle.setSingleShot(true);
	}

	QTcpSocket *socket;
	QByteArray buffer;
	bool haveHead = false;
	HttpRequest request; // the head read so far
	bool busy = false;   // a request is waiting for the device
	bool closing = false;
	bool serving = false; // inside HttpSide::serve
	quint64 requestSerial = 0;
	QTimer idle;
};

struct HttpSide::Answer {
	int status = 200;
	QByteArray contentType = "application/json";
	QByteArray body;
	QList<QByteArray> headers;
	bool close = false;
};

namespace {

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

QString str(const char *text)
{
	return QString::fromUtf8(text);
}

QByteArray compact(const QJsonObject &object)
{
	return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The error body the device sends with a status: 400 names the refusal in
// "code", the other statuses in "error".
QByteArray errorBody(int status, const QString &code, const QString &text)
{
	QJsonObject body{{QStringLiteral("message"), text}};
	body.insert(status == 400 ? QStringLiteral("code")
				  : QStringLiteral("error"),
		    code);
	return compact(body);
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

} // namespace

HttpSide::HttpSide(DeviceModel *device, const Config &config, QObject *parent)
	: QObject(parent),
	  m_device(device),
	  m_config(config),
	  m_server(new QTcpServer(this)),
	  m_address(config.address),
	  m_port(config.port),
	  m_failures(config.failures)
{
	m_relistenTimer.setSingleShot(true);
	connect(&m_relistenTimer, &QTimer::timeout, this, &HttpSide::relisten);
	connect(m_server, &QTcpServer::newConnection, this,
		&HttpSide::onNewConnection);
	connect(m_device, &DeviceModel::restarting, this,
		&HttpSide::onDeviceRestarting);
	connect(m_device, &DeviceModel::restarted, this,
		&HttpSide::onDeviceRestarted);
}

HttpSide::~HttpSide()
{
	// No signals from connections that are going away with us.
	for (HttpConnection *connection : m_connections.keys()) {
		connection->socket->disconnect();
		connection->socket->abort();
	}
}

bool HttpSide::listen(QString *error)
{
	if (!m_server->listen(m_config.address, m_config.port)) {
		if (error)
			*error = m_server->errorString();
		return false;
	}
	m_address = m_server->serverAddress();
	m_port = m_server->serverPort();
	m_deviceDown = m_device->isRestarting();
	if (m_deviceDown)
		m_server->close();
	qCInfo(lcHttp).noquote()
		<< "admin interface on" << m_address.toString() << m_port;
	return true;
}

void HttpSide::close()
{
	m_relistenTimer.stop();
	m_server->close();
	for (HttpConnection *connection : m_connections.keys())
		connection->socket->abort();
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
	// disconnectFromHost() sends it before closing.
	m_deviceDown = true;
	m_relistenTimer.stop();
	m_server->close();
	for (HttpConnection *connection : m_connections.keys()) {
		connection->closing = true;
		connection->socket->disconnectFromHost();
	}
	m_sessions.clear();
	m_sessionOrder.clear();
}

void HttpSide::onDeviceRestarted()
{
	m_deviceDown = false;
	relisten();
}

void HttpSide::onNewConnection()
{
	while (QTcpSocket *socket = m_server->nextPendingConnection()) {
		if (m_deviceDown ||
		    (m_connections.size() >= m_config.maxConnections &&
		     !dropLeastRecentlyUsed())) {
			socket->abort();
			socket->deleteLater();
			continue;
		}
		auto *connection = new HttpConnection(socket, this);
		m_connections.insert(connection, ++m_lastUse);
		connect(socket, &QIODevice::readyRead, connection,
			[this, connection] { onReadable(connection); });
		connect(socket, &QAbstractSocket::disconnected, connection,
			[this, connection] {
				m_connections.remove(connection);
				connection->closing = true;
				connection->deleteLater();
			});
		connect(&connection->idle, &QTimer::timeout, connection,
			[connection] {
				if (connection->busy)
					return;
				connection->closing = true;
				connection->socket->disconnectFromHost();
			});
		connection->idle.start(m_config.idleTimeoutMs);
	}
}

// With every slot taken, a new client is served at the cost of the one
// idle longest, as small embedded servers do.
bool HttpSide::dropLeastRecentlyUsed()
{
	HttpConnection *oldest = nullptr;
	for (auto it = m_connections.cbegin(); it != m_connections.cend();
	     ++it) {
		if (!it.key()->busy &&
		    (!oldest || it.value() < m_connections.value(oldest)))
			oldest = it.key();
	}
	if (!oldest)
		return false;
	m_connections.remove(oldest);
	oldest->closing = true;
	oldest->socket->abort();
	oldest->deleteLater();
	return true;
}

void HttpSide::onReadable(HttpConnection *connection)
{
	if (m_connections.contains(connection))
		m_connections[connection] = ++m_lastUse;
	connection->buffer.append(connection->socket->readAll());
	if (connection->closing) {
		connection->buffer.clear();
		return;
	}
	// Requests sent ahead while one waits for the device are kept, but
	// not without end.
	const int limit = m_config.maxHeadBytes + m_config.maxBodyBytes + 4096;
	if (connection->buffer.size() > limit && connection->busy) {
		connection->closing = true;
		connection->socket->abort();
		return;
	}
	connection->idle.start(m_config.idleTimeoutMs);
	serve(connection);
}

void HttpSide::serve(HttpConnection *connection)
{
	QPointer<HttpConnection> guard(connection);
	connection->serving = true;
	while (guard && !connection->busy && !connection->closing) {
		QByteArray &buffer = connection->buffer;
		if (!connection->haveHead) {
			// Blank lines before a request line are allowed.
			int skip = 0;
			while (skip < buffer.size() &&
			       (buffer.at(skip) == '\r' ||
				buffer.at(skip) == '\n'))
				++skip;
			buffer.remove(0, skip);
			int blank = 0;
			const int end = httpHeadEnd(buffer, &blank);
			if (end < 0 ? buffer.size() > m_config.maxHeadBytes
				    : end > m_config.maxHeadBytes) {
				refuse(connection, 431,
				       "The request head is too large.");
				break;
			}
			if (end < 0)
				break;
			HttpRequest request;
			const int status =
				parseHttpHead(buffer.left(end), &request);
			if (status != 0) {
				refuse(connection, status,
				       "The request is not HTTP the device "
				       "can read.");
				break;
			}
			buffer.remove(0, end + blank);
			if (request.contentLength > m_config.maxBodyBytes) {
				refuse(connection, 413,
				       "The request body is too large.");
				break;
			}
			connection->request = request;
			connection->haveHead = true;
		}
		const int length = int(connection->request.contentLength);
		if (buffer.size() < length)
			break;
		HttpRequest request = connection->request;
		request.body = buffer.left(length);
		buffer.remove(0, length);
		connection->haveHead = false;
		connection->busy = true;
		++connection->requestSerial;
		dispatch(connection, request);
	}
	if (guard)
		connection->serving = false;
}

void HttpSide::refuse(HttpConnection *connection, int status,
		      const QByteArray &message)
{
	Answer answer;
	answer.status = status;
	answer.body = errorBody(status,
				status == 400 ? QStringLiteral("bad_request")
					      : QStringLiteral("refused"),
				QString::fromLatin1(message));
	answer.close = true;
	HttpRequest request;
	request.verb = "?";
	send(connection, request, answer);
}

bool HttpSide::injectedFailure(HttpConnection *connection,
			       const HttpRequest &request)
{
	int index = -1;
	for (int i = 0; i < m_failures.size() && index < 0; ++i)
		if (m_failures.at(i).path == request.path)
			index = i;
	if (index < 0)
		return false;
	const int status = m_failures.at(index).status;
	if (--m_failures[index].count <= 0)
		m_failures.removeAt(index);
	qCInfo(lcHttp).noquote()
		<< "failing" << request.path << "with" << status;
	if (status == 0) {
		connection->closing = true;
		connection->socket->abort();
		return true;
	}
	Answer answer;
	answer.status = status;
	answer.contentType = "text/html";
	answer.body = httpErrorPage(status);
	for (const CannedError &canned : kCannedErrors) {
		if (canned.status == status) {
			answer.contentType = "application/json";
			answer.body = errorBody(status, str(canned.code),
						str(canned.message));
		}
	}
	send(connection, request, answer);
	return true;
}

void HttpSide::dispatch(HttpConnection *connection, const HttpRequest &request)
{
	if (injectedFailure(connection, request))
		return;

	QByteArray allowed;
	const QString method =
		deviceMethodFor(request.verb, request.path, &allowed);
	Answer answer;
	if (method.isEmpty()) {
		answer.status = allowed.isEmpty() ? 404 : 405;
		answer.body = errorBody(
			answer.status, QStringLiteral("not_found"),
			QStringLiteral("The device has no %1 %2.")
				.arg(QString::fromLatin1(request.verb),
				     request.path));
		if (!allowed.isEmpty())
			answer.headers.append("Allow: " + allowed);
		send(connection, request, answer);
		return;
	}

	SessionPtr session;
	if (method == QLatin1String("login")) {
		session = std::make_shared<DeviceModel::Session>();
	} else {
		session = sessionFor(request);
		if (!session) {
			answer.status = 401;
			answer.body = errorBody(
				401, QStringLiteral("unauthorized"),
				QStringLiteral("Sign in to the device first."));
			send(connection, request, answer);
			return;
		}
		const QByteArray token = request.header("X-CSRF-Token");
		if (request.verb == "POST" &&
		    (token.isEmpty() || token != session->csrfToken.toUtf8())) {
			answer.status = 403;
			answer.body =
				compact({{QStringLiteral("error"),
					  QStringLiteral("csrf_invalid")}});
			send(connection, request, answer);
			return;
		}
	}
	callDevice(connection, request, method, session);
}

void HttpSide::callDevice(HttpConnection *connection,
			  const HttpRequest &request, const QString &method,
			  SessionPtr session)
{
	QJsonObject params;
	if (request.verb == "POST") {
		const QByteArray type =
			request.header("Content-Type").toLower();
		if (type.startsWith("application/x-www-form-urlencoded")) {
			// A plus sign is a plus sign here: the device's form
			// reader only knows percent escapes.
			const QUrlQuery form(QString::fromUtf8(request.body));
			for (const auto &item :
			     form.queryItems(QUrl::FullyDecoded))
				params.insert(item.first, item.second);
		} else if (!request.body.trimmed().isEmpty()) {
			QJsonParseError error{};
			const QJsonDocument doc =
				QJsonDocument::fromJson(request.body, &error);
			if (error.error != QJsonParseError::NoError ||
			    !doc.isObject()) {
				Answer answer;
				answer.status = 400;
				answer.body = errorBody(
					400, QStringLiteral("bad_request"),
					QStringLiteral("The body is not a "
						       "JSON object."));
				send(connection, request, answer);
				return;
			}
			params = doc.object();
		}
	}
	if (m_nextRequestId >= 0x7fffffff)
		m_nextRequestId = 0;
	const QJsonObject call{{QStringLiteral("id"),
				double(++m_nextRequestId)},
			       {QStringLiteral("method"), method},
			       {QStringLiteral("params"), params}};
	QPointer<HttpConnection> guard(connection);
	const quint64 serial = connection->requestSerial;
	m_device->handleRequest(
		*session, call,
		[this, guard, serial, request, method,
		 session](const QJsonObject &reply) {
			// An answer for a connection that is gone, or that
			// the device restarted under, goes nowhere.
			if (!guard || guard->closing ||
			    guard->requestSerial != serial)
				return;
			answerFromDevice(guard, request, method, session,
					 reply);
		});
}

void HttpSide::answerFromDevice(HttpConnection *connection,
				const HttpRequest &request,
				const QString &method,
				const SessionPtr &session,
				const QJsonObject &reply)
{
	Answer answer;
	if (reply.value(QLatin1String("ok")).toBool()) {
		answer.body = compact(
			reply.value(QLatin1String("result")).toObject());
		if (method == QLatin1String("login")) {
			const QByteArray cookie = remember(session);
			answer.headers.append(
				"Set-Cookie: " + m_config.cookieName + '=' +
				cookie + "; Path=/; HttpOnly");
			// The old sign-in of this client ends with the new.
			const SessionPtr old = sessionFor(request);
			if (old && old != session)
				old->signedIn = false;
		}
		// The device goes away after these; the connection with it.
		answer.close = method == QLatin1String("reboot") ||
			       method == QLatin1String("otaApply");
	} else {
		const QJsonObject error =
			reply.value(QLatin1String("error")).toObject();
		const QString code =
			error.value(QLatin1String("code")).toString();
		answer.status = statusFor(code);
		answer.body = errorBody(
			answer.status, code,
			error.value(QLatin1String("message")).toString());
	}
	send(connection, request, answer);
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

void HttpSide::send(HttpConnection *connection, const HttpRequest &request,
		    const Answer &answer)
{
	const bool close = answer.close || !request.keepAlive;
	connection->socket->write(httpAnswer(answer.status, answer.contentType,
					     answer.body, answer.headers,
					     close));
	connection->busy = false;
	qCDebug(lcHttp).noquote()
		<< request.verb << request.path << "->" << answer.status;
	if (close) {
		connection->closing = true;
		connection->socket->disconnectFromHost();
		return;
	}
	connection->idle.start(m_config.idleTimeoutMs);
	// An answer that came later than its request: go on with whatever
	// the client sent meanwhile.
	if (!connection->serving && !connection->buffer.isEmpty())
		serve(connection);
}

} // namespace quillmarch::sim
