#pragma once

#include "http_wire.h"

#include <QObject>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

namespace quillmarch::portalsim {

// A small HTTP/1.1 server on 127.0.0.1. Connections are kept alive between
// requests; requests that arrive together on one connection are answered in
// order, one at a time, so a delayed or stalled answer holds back those
// behind it as on a real server.
class HttpServer : public QObject {
	Q_OBJECT

public:
	using Handler = std::function<HttpReply(const HttpRequest &)>;

	explicit HttpServer(Handler handler, QObject *parent = nullptr);

	// Port 0 takes any free port.
	bool listen(quint16 port);
	quint16 port() const { return m_server.serverPort(); }
	QString errorString() const { return m_server.errorString(); }

private:
	struct Connection;

	void accept();
	void serveNext(QTcpSocket *socket, Connection *conn);
	void respond(QTcpSocket *socket, Connection *conn,
		     const HttpReply &reply, bool keepAlive);

	Handler m_handler;
	QTcpServer m_server;
};

} // namespace quillmarch::portalsim
