#include "hosted_server.h"

#include "live_data.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace quillmarch {

namespace {

// How long a client being disconnected may take to receive what is still
// queued for it before its connection is cut.
constexpr int kCloseGraceMs = 5000;

QJsonObject errorReply(const char *code)
{
	return QJsonObject{{QStringLiteral("error"), QLatin1String(code)},
			   {QStringLiteral("ok"), false}};
}

QJsonObject reply(const QByteArray &line,
		  const std::function<QJsonObject()> &snapshot,
		  const HostedServer::CommandHandler &handler)
{
	QString op;
	QJsonObject request;
	if (line.startsWith('{')) {
		QJsonParseError error;
		const QJsonDocument document =
			QJsonDocument::fromJson(line, &error);
		if (error.error != QJsonParseError::NoError ||
		    !document.isObject())
			return errorReply("invalid_json");
		request = document.object();
		op = request.value(QLatin1String("op")).toString();
	} else {
		op = QString::fromUtf8(line).trimmed();
	}

	if (op == QLatin1String("get"))
		return snapshot();
	if (!handler)
		return errorReply("unavailable");

	QJsonObject answer = handler(op, request);
	if (!answer.contains(QLatin1String("ok")))
		answer.insert(QStringLiteral("ok"), true);
	answer.insert(QStringLiteral("op"), op);
	return answer;
}

// Asks the socket to disconnect once its queued output is out; a peer that
// does not read it within the grace period is cut off.
void disconnectSoon(QTcpSocket *socket)
{
	socket->disconnectFromHost();
	if (socket->state() != QAbstractSocket::UnconnectedState)
		QTimer::singleShot(kCloseGraceMs, socket,
				   [socket] { socket->abort(); });
}

// Takes a socket out of service without the server hearing from it again.
void retire(QTcpSocket *socket)
{
	QObject::connect(socket, &QAbstractSocket::disconnected, socket,
			 &QObject::deleteLater);
	disconnectSoon(socket);
	if (socket->state() == QAbstractSocket::UnconnectedState)
		socket->deleteLater();
}

} // namespace

HostedServer::HostedServer(LiveData *live, QObject *parent)
	: QObject(parent),
	  m_live(live),
	  m_server(new QTcpServer(this))
{
	connect(m_server, &QTcpServer::newConnection, this,
		&HostedServer::onNewConnection);
	if (live)
		connect(live, &LiveData::changed, this,
			&HostedServer::broadcast);
}

bool HostedServer::start(quint16 port, bool allowNetwork, QString *error)
{
	stop();
	const QHostAddress address =
		allowNetwork ? QHostAddress(QHostAddress::Any)
			     : QHostAddress(QHostAddress::LocalHost);
	if (m_server->listen(address, port))
		return true;
	if (error)
		*error = QStringLiteral("Could not listen on port %1: %2")
				 .arg(QString::number(port),
				      m_server->errorString());
	return false;
}

void HostedServer::stop()
{
	const QList<QTcpSocket *> clients = m_clients;
	m_clients.clear();
	m_buffers.clear();
	for (QTcpSocket *socket : clients) {
		disconnect(socket, nullptr, this, nullptr);
		retire(socket);
	}
	if (m_server->isListening())
		m_server->close();
	Q_EMIT clientsChanged(0);
}

bool HostedServer::isListening() const
{
	return m_server->isListening();
}

QHostAddress HostedServer::serverAddress() const
{
	return m_server->serverAddress();
}

quint16 HostedServer::serverPort() const
{
	return m_server->serverPort();
}

void HostedServer::setCommandHandler(CommandHandler handler)
{
	m_handler = std::move(handler);
}

QList<QByteArray> HostedServer::takeLines(QByteArray *buffer, int scanFrom)
{
	QList<QByteArray> lines;
	int start = 0;
	int from = qBound(0, scanFrom, int(buffer->size()));
	for (;;) {
		const int lineFeed = int(buffer->indexOf('\n', from));
		if (lineFeed < 0)
			break;
		const QByteArray line =
			buffer->mid(start, lineFeed - start).trimmed();
		if (!line.isEmpty())
			lines.append(line);
		start = lineFeed + 1;
		from = start;
	}
	if (start > 0)
		buffer->remove(0, start);
	return lines;
}

QJsonObject HostedServer::replyFor(const QByteArray &line,
				   const QJsonObject &snapshot,
				   const CommandHandler &handler)
{
	return reply(
		line, [&snapshot] { return snapshot; }, handler);
}

QByteArray HostedServer::encodeLine(const QJsonObject &object)
{
	QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact);
	line.append('\n');
	return line;
}

QJsonObject HostedServer::snapshot() const
{
	if (m_live)
		return m_live->toJson();
	return QJsonObject{{QStringLiteral("fields"), QJsonObject()},
			   {QStringLiteral("source"), QString()},
			   {QStringLiteral("sport"), QString()},
			   {QStringLiteral("updated_at"), QString()}};
}

void HostedServer::onNewConnection()
{
	while (QTcpSocket *socket = m_server->nextPendingConnection()) {
		// Every line goes out in one write; Nagle's algorithm would only
		// hold a score back waiting for the client's acknowledgement.
		socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
		// Reading more than the line limit could never be used: a
		// flood is cut off without being pulled into memory.
		socket->setReadBufferSize(kMaxReceiveBuffer + 1);
		m_clients.append(socket);
		m_buffers.insert(socket, QByteArray());
		connect(socket, &QIODevice::readyRead, this,
			[this, socket] { receive(socket); });
		connect(socket, &QAbstractSocket::disconnected, this,
			[this, socket] { removeClient(socket); });
		sendJson(socket, snapshot());
		Q_EMIT clientsChanged(clientCount());
	}
}

void HostedServer::receive(QTcpSocket *socket)
{
	const auto it = m_buffers.find(socket);
	if (it == m_buffers.end()) {
		socket->readAll();
		return;
	}
	QByteArray &buffer = *it;
	// What is buffered already holds no line feed (it was split last
	// time), so only the new bytes need searching.
	const int scanFrom = int(buffer.size());
	buffer.append(socket->readAll());
	// The limit is on what cannot be used yet: complete lines are taken
	// first, so a client that sends many commands at once is served, and
	// only one that never ends its line is cut off.
	const QList<QByteArray> lines = takeLines(&buffer, scanFrom);
	const bool overflow = buffer.size() > kMaxReceiveBuffer;
	if (overflow)
		buffer.clear();
	for (const QByteArray &line : lines) {
		handleLine(socket, line);
		// A reply may have dropped the client, or a command stopped
		// the server.
		if (!m_buffers.contains(socket))
			return;
	}
	if (overflow)
		disconnectSoon(socket);
}

void HostedServer::handleLine(QTcpSocket *socket, const QByteArray &line)
{
	sendJson(socket,
		 reply(
			 line, [this] { return snapshot(); }, m_handler));
}

void HostedServer::sendJson(QTcpSocket *socket, const QJsonObject &object)
{
	sendLine(socket, encodeLine(object));
}

void HostedServer::broadcast()
{
	if (m_clients.isEmpty())
		return;
	const QByteArray line = encodeLine(snapshot());
	// A copy, because dropping a slow client edits the list; it shares the
	// list's data until that happens.
	const QList<QTcpSocket *> clients = m_clients;
	for (QTcpSocket *socket : clients) {
		if (socket->state() == QAbstractSocket::ConnectedState)
			sendLine(socket, line);
	}
}

// A client that stops reading would make its socket queue our output without
// bound, at every update, for as long as it stays connected. Once more than
// kMaxPendingOutput is waiting for it (well over a minute of updates for a
// snapshot of a kilobyte at 20 a second, so it is not watching live data
// anyway) the client is cut off, which bounds the memory each client can
// hold. Every socket has a queue of its own, so the others never wait for it.
void HostedServer::sendLine(QTcpSocket *socket, const QByteArray &line)
{
	if (socket->bytesToWrite() > kMaxPendingOutput) {
		dropClient(socket);
		return;
	}
	socket->write(line);
}

void HostedServer::dropClient(QTcpSocket *socket)
{
	disconnect(socket, nullptr, this, nullptr);
	socket->abort();
	removeClient(socket);
	// removeClient skips sockets that are no longer listed.
	socket->deleteLater();
}

void HostedServer::removeClient(QTcpSocket *socket)
{
	const int index = int(m_clients.indexOf(socket));
	if (index < 0)
		return;
	m_clients.removeAt(index);
	m_buffers.remove(socket);
	disconnect(socket, nullptr, this, nullptr);
	socket->deleteLater();
	Q_EMIT clientsChanged(clientCount());
}

} // namespace quillmarch
