#include "server/hosted_server.h"

#include "live/live_data.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <utility>

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

bool lagging(const QTcpSocket *socket)
{
	return socket->bytesToWrite() > HostedServer::kMaxPendingOutput;
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
	for (const Client &client : std::as_const(m_state))
		client.stallTimer->stop();
	m_state.clear();
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
		Client client;
		client.stallTimer = new QTimer(socket);
		client.stallTimer->setSingleShot(true);
		connect(client.stallTimer, &QTimer::timeout, this,
			[this, socket] { onStalled(socket); });
		m_clients.append(socket);
		m_state.insert(socket, client);
		connect(socket, &QIODevice::readyRead, this,
			[this, socket] { serve(socket); });
		connect(socket, &QIODevice::bytesWritten, this,
			[this, socket] { onBytesWritten(socket); });
		connect(socket, &QAbstractSocket::disconnected, this,
			[this, socket] { removeClient(socket); });
		sendJson(socket, snapshot());
		Q_EMIT clientsChanged(clientCount());
	}
}

// Handles the client's lines in order, reading more as they run out. A client
// that sends commands faster than it reads the replies is paused while it
// lags: the rest of its lines wait, and once they are taken no more is read
// from the socket, so the kernel holds its input back. onBytesWritten picks
// up where this stopped.
void HostedServer::serve(QTcpSocket *socket)
{
	for (;;) {
		// Looked up each time: a command may have dropped the client
		// or stopped the server.
		const auto it = m_state.find(socket);
		if (it == m_state.end() || lagging(socket))
			return;
		Client &client = *it;
		if (!client.lines.isEmpty()) {
			const QByteArray line = client.lines.takeFirst();
			handleLine(socket, line);
			continue;
		}
		if (client.inputClosed) {
			if (socket->state() == QAbstractSocket::ConnectedState)
				disconnectSoon(socket);
			return;
		}
		if (socket->bytesAvailable() <= 0)
			return;
		// What is buffered already holds no line feed (it was split
		// last time), so only the new bytes need searching.
		const int scanFrom = int(client.input.size());
		client.input.append(socket->readAll());
		client.lines = takeLines(&client.input, scanFrom);
		// The limit is on what cannot be used yet: complete lines are
		// taken first, so a client that sends many commands at once
		// is served, and only one that never ends its line is cut off
		// (after the lines before it are answered).
		if (client.input.size() > kMaxReceiveBuffer) {
			client.input.clear();
			client.inputClosed = true;
		}
	}
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

// A client that lags gets only the newest snapshot when it catches up: each
// snapshot is the whole state, so the ones in between would tell it nothing
// new, and queueing them would let a client that stops reading hold output
// without bound. One that keeps up gets every change, in order.
void HostedServer::broadcast()
{
	if (m_clients.isEmpty())
		return;
	const QByteArray line = encodeLine(snapshot());
	for (QTcpSocket *socket : std::as_const(m_clients)) {
		const auto it = m_state.find(socket);
		if (it == m_state.end() ||
		    socket->state() != QAbstractSocket::ConnectedState)
			continue;
		if (lagging(socket)) {
			it->pendingSnapshot = line; // shared, not copied
			continue;
		}
		// Never send an older snapshot after this one.
		it->pendingSnapshot.clear();
		sendLine(socket, line);
	}
}

// Nothing leaves a socket until the event loop runs, so a burst of changes or
// of requests handled in one pass can put the backlog over the limit with a
// client that reads promptly. Lagging is therefore no reason to drop a client;
// staying over the limit for Timings::stallMs is. Replies are always written:
// dropping one would break the conversation, and serve() bounds how many are
// written while the client lags.
void HostedServer::sendLine(QTcpSocket *socket, const QByteArray &line)
{
	socket->write(line);
	if (!lagging(socket))
		return;
	const auto it = m_state.find(socket);
	if (it != m_state.end() && !it->stallTimer->isActive())
		it->stallTimer->start(m_timings.stallMs);
}

void HostedServer::onBytesWritten(QTcpSocket *socket)
{
	const auto it = m_state.find(socket);
	if (it == m_state.end() || lagging(socket))
		return;
	it->stallTimer->stop();
	if (!it->pendingSnapshot.isEmpty())
		sendLine(socket,
			 std::exchange(it->pendingSnapshot, QByteArray()));
	serve(socket);
}

void HostedServer::onStalled(QTcpSocket *socket)
{
	if (m_state.contains(socket) && lagging(socket))
		dropClient(socket);
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
	const auto it = m_state.find(socket);
	if (it != m_state.end()) {
		it->stallTimer->stop();
		m_state.erase(it);
	}
	disconnect(socket, nullptr, this, nullptr);
	socket->deleteLater();
	Q_EMIT clientsChanged(clientCount());
}

} // namespace quillmarch
