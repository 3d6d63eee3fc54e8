#include "http_server.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace quillmarch::portalsim {

struct HttpServer::Connection : public QObject {
	explicit Connection(QObject *parent) : QObject(parent) {}

	HttpRequestParser parser;
	bool busy = false;    // an answer is delayed or stalled
	bool closing = false; // no more answers on this connection
};

HttpServer::HttpServer(Handler handler, QObject *parent)
	: QObject(parent),
	  m_handler(std::move(handler)),
	  m_server(this)
{
	connect(&m_server, &QTcpServer::newConnection, this,
		&HttpServer::accept);
}

bool HttpServer::listen(quint16 port)
{
	return m_server.listen(QHostAddress::LocalHost, port);
}

void HttpServer::accept()
{
	while (QTcpSocket *socket = m_server.nextPendingConnection()) {
		// The connection state is a child of the socket and dies with
		// it.
		auto *conn = new Connection(socket);
		connect(socket, &QTcpSocket::readyRead, conn,
			[this, socket, conn] {
				conn->parser.feed(socket->readAll());
				serveNext(socket, conn);
			});
		connect(socket, &QTcpSocket::disconnected, socket,
			&QObject::deleteLater);
	}
}

void HttpServer::serveNext(QTcpSocket *socket, Connection *conn)
{
	while (!conn->busy && !conn->closing) {
		HttpRequest request;
		int errorStatus = 0;
		switch (conn->parser.next(&request, &errorStatus)) {
		case HttpRequestParser::Result::NeedMore:
			return;
		case HttpRequestParser::Result::Error:
			respond(socket, conn,
				HttpReply::message(
					errorStatus,
					QString::fromLatin1(
						reasonPhrase(errorStatus))),
				false);
			return;
		case HttpRequestParser::Result::Request:
			break;
		}
		const HttpReply reply = m_handler(request);
		const bool keepAlive = request.keepAlive();
		if (reply.delayMs <= 0) {
			respond(socket, conn, reply, keepAlive);
			continue;
		}
		conn->busy = true;
		QPointer<QTcpSocket> guard(socket);
		QTimer::singleShot(reply.delayMs, conn,
				   [this, guard, conn, reply, keepAlive] {
					   if (!guard)
						   return;
					   conn->busy = false;
					   respond(guard, conn, reply,
						   keepAlive);
					   serveNext(guard, conn);
				   });
		return;
	}
}

void HttpServer::respond(QTcpSocket *socket, Connection *conn,
			 const HttpReply &reply, bool keepAlive)
{
	switch (reply.action) {
	case HttpReply::Action::Stall:
		conn->busy = true;
		return;
	case HttpReply::Action::Drop:
		conn->closing = true;
		socket->abort();
		return;
	case HttpReply::Action::Cut: {
		const QByteArray whole = reply.serialize(true);
		socket->write(
			whole.left(whole.size() - reply.body.size() / 2 - 1));
		conn->closing = true;
		socket->disconnectFromHost();
		return;
	}
	case HttpReply::Action::Answer:
		break;
	}
	socket->write(reply.serialize(!keepAlive));
	if (!keepAlive) {
		conn->closing = true;
		socket->disconnectFromHost();
	}
}

} // namespace quillmarch::portalsim
