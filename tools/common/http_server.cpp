#include "http_server.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace quillmarch::tools {

// One client connection. A QObject so that it can be deleted later: a
// socket may disconnect from inside a call that is still using it.
struct HttpServer::Connection : public QObject {
	Connection(QTcpSocket *s, const HttpLimits &limits, QObject *parent)
		: QObject(parent),
		  socket(s),
		  parser(limits)
	{
		socket->setParent(this);
		idle.setSingleShot(true);
	}

	QTcpSocket *socket;
	HttpRequestParser parser;
	bool busy = false; // a request waits for its answer
	bool closing = false;
	bool serving = false; // inside serveNext()
	quint64 serial = 0;   // requests taken so far
	QTimer idle;
};

HttpServer::HttpServer(QObject *parent) : HttpServer(Config(), parent) {}

HttpServer::HttpServer(const Config &config, QObject *parent)
	: QObject(parent),
	  m_config(config)
{
	if (!m_config.refusal) {
		m_config.refusal = [](int status) {
			return HttpReply::text(status,
					       httpReasonPhrase(status) + '\n');
		};
	}
	setHandler([](const HttpRequest &) {
		return HttpReply::json(404, {{"error", "not_found"}});
	});
	connect(&m_server, &QTcpServer::newConnection, this,
		&HttpServer::accept);
}

HttpServer::~HttpServer()
{
	// No signals from connections that are going away with us.
	for (Connection *conn : m_connections.keys()) {
		conn->socket->disconnect();
		conn->socket->abort();
	}
}

void HttpServer::setHandler(Handler handler)
{
	m_handler = [handler](const HttpRequest &r, const Respond &respond) {
		respond(handler(r));
	};
}

void HttpServer::setAsyncHandler(AsyncHandler handler)
{
	m_handler = std::move(handler);
}

void HttpServer::route(const QByteArray &method, const QByteArray &path,
		       Handler handler)
{
	m_routes.insert(method + ' ' + path, std::move(handler));
}

void HttpServer::route(const QByteArray &method, const QByteArray &path,
		       const HttpReply &reply)
{
	route(method, path, [reply](const HttpRequest &) { return reply; });
}

void HttpServer::serveFile(const QByteArray &path, const QByteArray &bytes,
			   const QByteArray &contentType)
{
	route("GET", path, HttpReply::text(200, bytes, contentType));
}

bool HttpServer::listen(const QHostAddress &address, quint16 port)
{
	return m_server.listen(address, port);
}

void HttpServer::close()
{
	m_server.close();
	for (Connection *conn : m_connections.keys()) {
		conn->closing = true;
		conn->socket->abort();
	}
}

void HttpServer::finishConnections()
{
	for (Connection *conn : m_connections.keys())
		finish(conn);
}

QString HttpServer::endpoint() const
{
	return QStringLiteral("%1:%2").arg(address().toString()).arg(port());
}

void HttpServer::accept()
{
	while (QTcpSocket *socket = m_server.nextPendingConnection()) {
		if (m_config.maxConnections > 0 &&
		    m_connections.size() >= m_config.maxConnections &&
		    !dropLeastRecentlyUsed()) {
			socket->abort();
			socket->deleteLater();
			continue;
		}
		auto *conn = new Connection(socket, m_config.limits, this);
		m_connections.insert(conn, ++m_lastUse);
		connect(socket, &QIODevice::readyRead, conn,
			[this, conn] { readable(conn); });
		connect(socket, &QAbstractSocket::disconnected, conn,
			[this, conn] {
				m_connections.remove(conn);
				conn->closing = true;
				conn->deleteLater();
			});
		if (m_config.idleTimeoutMs > 0) {
			connect(&conn->idle, &QTimer::timeout, conn,
				[this, conn] {
					if (!conn->busy)
						finish(conn);
				});
			conn->idle.start(m_config.idleTimeoutMs);
		}
	}
}

bool HttpServer::dropLeastRecentlyUsed()
{
	Connection *oldest = nullptr;
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

void HttpServer::readable(Connection *conn)
{
	if (m_connections.contains(conn))
		m_connections[conn] = ++m_lastUse;
	const QByteArray bytes = conn->socket->readAll();
	if (conn->closing)
		return;
	conn->parser.feed(bytes);
	// Requests sent ahead while one waits for its answer are kept, but
	// not without end.
	const qint64 limit = m_config.limits.maxHeadBytes +
			     m_config.limits.maxBodyBytes + 4096;
	if (conn->busy && conn->parser.buffered() > limit) {
		conn->closing = true;
		conn->socket->abort();
		return;
	}
	if (m_config.idleTimeoutMs > 0)
		conn->idle.start(m_config.idleTimeoutMs);
	serveNext(conn);
}

void HttpServer::serveNext(Connection *conn)
{
	QPointer<Connection> guard(conn);
	conn->serving = true;
	while (guard && !conn->busy && !conn->closing) {
		HttpRequest request;
		int status = 0;
		const auto result = conn->parser.next(&request, &status);
		if (result == HttpRequestParser::Result::NeedMore)
			break;
		conn->busy = true;
		++conn->serial;
		if (result == HttpRequestParser::Result::Error) {
			act(conn, m_config.refusal(status), false);
			break;
		}
		if (m_config.keepRequests > 0) {
			m_requests.append(request);
			while (m_requests.size() > m_config.keepRequests)
				m_requests.removeFirst();
		}
		dispatch(conn, request);
	}
	if (guard)
		conn->serving = false;
}

void HttpServer::dispatch(Connection *conn, const HttpRequest &request)
{
	const QPointer<Connection> guard(conn);
	const quint64 serial = conn->serial;
	const bool keepAlive = request.keepAlive();
	// Shared, so that copies of the callback answer only once together.
	const auto done = std::make_shared<bool>(false);
	const Respond respond = [this, guard, serial, keepAlive,
				 done](const HttpReply &reply) {
		if (*done || !guard)
			return;
		*done = true;
		this->respond(guard, serial, reply, keepAlive);
	};
	const auto route =
		m_routes.constFind(request.method + ' ' + request.path);
	if (route != m_routes.constEnd())
		respond((*route)(request));
	else
		m_handler(request, respond);
}

void HttpServer::respond(Connection *conn, quint64 serial, HttpReply reply,
			 bool keepAlive)
{
	// An answer for a connection that closed meanwhile goes nowhere.
	if (conn->closing || conn->serial != serial)
		return;
	if (reply.delayMs <= 0) {
		act(conn, reply, keepAlive);
		return;
	}
	const QPointer<Connection> guard(conn);
	const int delay = reply.delayMs;
	reply.delayMs = 0;
	QTimer::singleShot(
		delay, conn, [this, guard, serial, reply, keepAlive] {
			if (guard)
				respond(guard, serial, reply, keepAlive);
		});
}

void HttpServer::act(Connection *conn, const HttpReply &reply, bool keepAlive)
{
	QTcpSocket *socket = conn->socket;
	switch (reply.action) {
	case HttpReply::Action::Stall:
		return;
	case HttpReply::Action::Drop:
		conn->closing = true;
		socket->abort();
		return;
	case HttpReply::Action::Cut: {
		const QByteArray whole = reply.serialize(true);
		socket->write(
			whole.left(whole.size() - reply.body.size() / 2 - 1));
		finish(conn);
		return;
	}
	case HttpReply::Action::Raw:
		socket->write(reply.body);
		++m_answered;
		if (reply.close)
			finish(conn);
		return;
	case HttpReply::Action::Answer:
		break;
	}
	const bool close = reply.close || !keepAlive;
	socket->write(reply.serialize(close));
	++m_answered;
	conn->busy = false;
	if (close) {
		finish(conn);
		return;
	}
	if (m_config.idleTimeoutMs > 0)
		conn->idle.start(m_config.idleTimeoutMs);
	// An answer that came later than its request: go on with whatever
	// the client sent meanwhile.
	if (!conn->serving && conn->parser.buffered() > 0)
		serveNext(conn);
}

void HttpServer::finish(Connection *conn)
{
	conn->closing = true;
	conn->socket->disconnectFromHost();
}

} // namespace quillmarch::tools
