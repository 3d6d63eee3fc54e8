#pragma once

#include "http_message.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

#include <functional>

namespace quillmarch::tools {

// A small HTTP/1.1 server for the stand-ins and for tests of HTTP clients.
//
// Connections are kept alive between requests. Requests that arrive
// together on one connection are answered in order, one at a time, so a
// delayed or stalled answer holds back those behind it, as on a real small
// server. Each answer says what to do (see HttpReply): answer, drop, stall,
// cut, or send raw bytes, after a delay if asked. A request the parser
// refuses gets the refusal answer and the connection closes.
//
// A request goes to the route for its method and path, else to the
// handler; without either it gets 404.
class HttpServer : public QObject {
public:
	// Answers a request, at once or later. Safe to call after the
	// connection has gone; then, and on a second call, it does nothing.
	using Respond = std::function<void(const HttpReply &)>;
	using Handler = std::function<HttpReply(const HttpRequest &)>;
	using AsyncHandler =
		std::function<void(const HttpRequest &, const Respond &)>;

	struct Config {
		HttpLimits limits;
		// 0: no limit. At the limit a new client takes the place of
		// the connection idle longest, as small embedded servers do.
		int maxConnections = 0;
		// An idle keep-alive connection closes after this long; 0:
		// never.
		int idleTimeoutMs = 0;
		// Requests kept in requests(), the newest; 0 keeps none.
		int keepRequests = 1000;
		// The answer to a request the parser refused, by status.
		std::function<HttpReply(int status)> refusal;
	};

	explicit HttpServer(QObject *parent = nullptr);
	explicit HttpServer(const Config &config, QObject *parent = nullptr);
	~HttpServer() override;

	void setHandler(Handler handler);
	void setAsyncHandler(AsyncHandler handler);
	void route(const QByteArray &method, const QByteArray &path,
		   Handler handler);
	void route(const QByteArray &method, const QByteArray &path,
		   const HttpReply &reply);
	// A file's bytes under a path, e.g. an update site's manifest.
	void serveFile(const QByteArray &path, const QByteArray &bytes,
		       const QByteArray &contentType);

	// Port 0 takes any free port. false with errorString() when the port
	// cannot be had.
	bool listen(const QHostAddress &address = QHostAddress::LocalHost,
		    quint16 port = 0);
	// Stops listening and aborts every connection.
	void close();
	// New clients are refused; open connections stay.
	void stopListening() { m_server.close(); }
	// Stops reading requests and closes every connection once what was
	// written to it has gone out.
	void finishConnections();
	bool isListening() const { return m_server.isListening(); }
	QHostAddress address() const { return m_server.serverAddress(); }
	quint16 port() const { return m_server.serverPort(); }
	// "127.0.0.1:8080"
	QString endpoint() const;
	QString errorString() const { return m_server.errorString(); }
	int connectionCount() const { return m_connections.size(); }

	// The requests in arrival order, and how many answers were written.
	const QList<HttpRequest> &requests() const { return m_requests; }
	int answered() const { return m_answered; }

private:
	struct Connection;

	void accept();
	bool dropLeastRecentlyUsed();
	void readable(Connection *conn);
	void serveNext(Connection *conn);
	void dispatch(Connection *conn, const HttpRequest &request);
	void respond(Connection *conn, quint64 serial, HttpReply reply,
		     bool keepAlive);
	void act(Connection *conn, const HttpReply &reply, bool keepAlive);
	void finish(Connection *conn);

	Config m_config;
	QTcpServer m_server;
	QHash<QByteArray, Handler> m_routes; // by "METHOD path"
	AsyncHandler m_handler;
	QHash<Connection *, quint64> m_connections; // with when last used
	quint64 m_lastUse = 0;
	QList<HttpRequest> m_requests;
	int m_answered = 0;
};

} // namespace quillmarch::tools
