#include "server/web_feed.h"

#include "live/live_data.h"
#include "server/hosted_server.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <utility>

namespace quillmarch {

namespace {

// How long a WebSocket client being closed, or an HTTP client being answered,
// may take to receive what is still queued for it.
constexpr int kCloseGraceMs = 5000;

const char kHeadDeadline[] = "quillmarch_head_deadline";

QByteArray response(int status, const char *reason, const QByteArray &type,
		    const QByteArray &body, const QByteArray &extra = {})
{
	QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' +
			 reason + "\r\n";
	if (status != 204)
		out += "Content-Type: " + type + "\r\nContent-Length: " +
		       QByteArray::number(body.size()) + "\r\n";
	// A page opened from a file has the origin "null"; an overlay may be
	// served from anywhere. The data is what the TCP server offers to
	// anyone who connects, so every origin may read it.
	out += "Cache-Control: no-store\r\n"
	       "Access-Control-Allow-Origin: *\r\n" +
	       extra + "Connection: close\r\n\r\n" + body;
	return out;
}

QByteArray plain(int status, const char *reason, const QByteArray &text,
		 const QByteArray &extra = {})
{
	return response(status, reason, "text/plain; charset=utf-8",
			text + '\n', extra);
}

bool lagging(const QWebSocket *socket)
{
	return socket->bytesToWrite() > WebFeed::kMaxPendingOutput;
}

} // namespace

WebFeed::Answer WebFeed::answerFor(const QByteArray &head,
				   const QByteArray &snapshot)
{
	const QList<QByteArray> lines = head.split('\n');
	const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
	if (request.size() != 3 || !request.at(2).startsWith("HTTP/1.") ||
	    !request.at(1).startsWith('/'))
		return {false, plain(400, "Bad Request", "Bad request.")};
	const QByteArray &method = request.at(0);
	QByteArray path = request.at(1);
	const int query = int(path.indexOf('?'));
	if (query >= 0)
		path.truncate(query); // a cache-busting query changes nothing

	bool wantsUpgrade = false;
	for (int i = 1; i < lines.size(); ++i) {
		const QByteArray &line = lines.at(i);
		const int colon = int(line.indexOf(':'));
		if (colon > 0 &&
		    line.left(colon).trimmed().toLower() == "upgrade" &&
		    line.mid(colon + 1).toLower().contains("websocket"))
			wantsUpgrade = true;
	}

	if (path == "/live" && wantsUpgrade && method == "GET")
		return {true, {}};
	if (path == "/live.json" && !wantsUpgrade) {
		if (method == "GET")
			return {false, response(200, "OK", "application/json",
						snapshot)};
		if (method == "OPTIONS")
			// Chromium also asks before a public page may read
			// from this computer (Private Network Access).
			return {false,
				response(204, "No Content", {}, {},
					 "Access-Control-Allow-Methods: GET, "
					 "OPTIONS\r\n"
					 "Access-Control-Allow-Headers: *\r\n"
					 "Access-Control-Allow-Private-Network: "
					 "true\r\n"
					 "Access-Control-Max-Age: 600\r\n")};
		return {false, plain(405, "Method Not Allowed",
				     "Only GET and OPTIONS are allowed here.",
				     "Allow: GET, OPTIONS\r\n")};
	}
	if (path == "/live" && !wantsUpgrade)
		return {false, plain(426, "Upgrade Required",
				     "This address is a WebSocket: ws://…/live",
				     "Upgrade: websocket\r\n")};
	return {false, plain(404, "Not Found",
			     "Not found. Try /live.json or the WebSocket "
			     "/live.")};
}

WebFeed::WebFeed(LiveData *live, QObject *parent)
	: QObject(parent),
	  m_live(live),
	  m_server(new QTcpServer(this)),
	  m_webSockets(
		  new QWebSocketServer(QStringLiteral("Quillmarch live feed"),
				       QWebSocketServer::NonSecureMode, this))
{
	connect(m_server, &QTcpServer::newConnection, this,
		&WebFeed::onNewConnection);
	connect(m_webSockets, &QWebSocketServer::newConnection, this,
		&WebFeed::onWebSocket);
	if (live)
		connect(live, &LiveData::changed, this, &WebFeed::broadcast);
}

// The sockets are children, deleted after this class's members are gone:
// none of them may reach back into it then.
WebFeed::~WebFeed()
{
	for (QWebSocket *socket : std::as_const(m_clients))
		disconnect(socket, nullptr, this, nullptr);
	for (QTcpSocket *socket : m_server->findChildren<QTcpSocket *>(
		     QString(), Qt::FindDirectChildrenOnly))
		disconnect(socket, nullptr, this, nullptr);
}

bool WebFeed::start(int port, bool allowNetwork, QString *error)
{
	stop();
	const QHostAddress address =
		allowNetwork ? QHostAddress(QHostAddress::Any)
			     : QHostAddress(QHostAddress::LocalHost);
	if (port < 0 || port > 65535)
		m_error = QStringLiteral(
				  "Could not open the browser feed on port %1: "
				  "the port must be between 1 and 65535. "
				  "Choose a lower server port.")
				  .arg(port);
	else if (!m_server->listen(address, quint16(port)))
		m_error =
			QStringLiteral(
				"Could not open the browser feed on port %1: %2")
				.arg(QString::number(port),
				     m_server->errorString());
	else {
		m_webSockets->setHandshakeTimeout(m_timings.headMs);
		return true;
	}
	if (error)
		*error = m_error;
	return false;
}

void WebFeed::stop()
{
	m_error.clear();
	const QList<QWebSocket *> clients = std::exchange(m_clients, {});
	for (const Client &client : std::as_const(m_state))
		client.stallTimer->stop();
	m_state.clear();
	for (QWebSocket *socket : clients) {
		disconnect(socket, nullptr, this, nullptr);
		connect(socket, &QWebSocket::disconnected, socket,
			&QObject::deleteLater);
		socket->close(QWebSocketProtocol::CloseCodeGoingAway);
		if (socket->state() == QAbstractSocket::UnconnectedState)
			socket->deleteLater();
		else
			QTimer::singleShot(kCloseGraceMs, socket, [socket] {
				socket->abort();
				socket->deleteLater();
			});
	}
	// Connections still sending their head, being answered, or in the
	// WebSocket handshake; an upgraded one belongs to its QWebSocket.
	for (QTcpSocket *socket : m_server->findChildren<QTcpSocket *>(
		     QString(), Qt::FindDirectChildrenOnly)) {
		disconnect(socket, nullptr, this, nullptr);
		socket->abort();
		socket->deleteLater();
	}
	m_handshaking.clear();
	if (m_server->isListening())
		m_server->close();
	if (!clients.isEmpty())
		Q_EMIT clientsChanged(0);
}

bool WebFeed::isListening() const
{
	return m_server->isListening();
}

QHostAddress WebFeed::serverAddress() const
{
	return m_server->serverAddress();
}

quint16 WebFeed::serverPort() const
{
	return m_server->serverPort();
}

// Exactly the data server's line, without its line feed.
QString WebFeed::snapshot() const
{
	const QJsonObject object =
		m_live ? m_live->toJson()
		       : QJsonObject{{QStringLiteral("fields"), QJsonObject()},
				     {QStringLiteral("source"), QString()},
				     {QStringLiteral("sport"), QString()},
				     {QStringLiteral("updated_at"), QString()}};
	return QString::fromUtf8(HostedServer::encodeLine(object).chopped(1));
}

void WebFeed::onNewConnection()
{
	while (QTcpSocket *socket = m_server->nextPendingConnection()) {
		// Nothing past the head limit is pulled into memory.
		socket->setReadBufferSize(kMaxHead);
		auto *deadline = new QTimer(socket);
		deadline->setObjectName(QLatin1String(kHeadDeadline));
		deadline->setSingleShot(true);
		connect(deadline, &QTimer::timeout, socket,
			&QAbstractSocket::abort);
		deadline->start(m_timings.headMs);
		connect(socket, &QIODevice::readyRead, this,
			[this, socket] { readHead(socket); });
		connect(socket, &QAbstractSocket::disconnected, this,
			[socket] { socket->deleteLater(); });
	}
}

// The head is peeked, not read: a WebSocket upgrade is handed on with its
// bytes still in the socket, for the WebSocket server to read itself.
void WebFeed::readHead(QTcpSocket *socket)
{
	const QByteArray data = socket->peek(kMaxHead);
	int end = int(data.indexOf("\r\n\r\n"));
	if (end < 0)
		end = int(data.indexOf("\n\n"));
	if (end < 0) {
		if (data.size() >= kMaxHead)
			answer(socket,
			       plain(431, "Request Header Fields Too Large",
				     "Request head too large."));
		return;
	}
	const Answer routed = answerFor(data.left(end), snapshot().toUtf8());
	if (routed.upgrade)
		upgrade(socket);
	else
		answer(socket, routed.response);
}

void WebFeed::answer(QTcpSocket *socket, const QByteArray &response)
{
	disconnect(socket, &QIODevice::readyRead, this, nullptr);
	// The deadline now bounds the peer's reading of the answer.
	if (auto *deadline = socket->findChild<QTimer *>(
		    QLatin1String(kHeadDeadline), Qt::FindDirectChildrenOnly))
		deadline->start(kCloseGraceMs);
	socket->write(response);
	socket->disconnectFromHost();
}

// The QWebSocket made from the socket does not take it over: the socket stays
// the listener's child until onWebSocket hands it to its QWebSocket.
void WebFeed::upgrade(QTcpSocket *socket)
{
	disconnect(socket, nullptr, this, nullptr);
	delete socket->findChild<QTimer *>(QLatin1String(kHeadDeadline),
					   Qt::FindDirectChildrenOnly);
	socket->setReadBufferSize(0); // frames are limited by the WebSocket
	m_handshaking.insert(socket);
	connect(socket, &QObject::destroyed, this,
		[this, socket] { m_handshaking.remove(socket); });
	// A handshake that fails or never finishes leaves nothing behind.
	connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
		if (m_handshaking.contains(socket))
			socket->deleteLater();
	});
	QTimer::singleShot(m_timings.headMs, socket, [this, socket] {
		if (m_handshaking.contains(socket)) {
			socket->abort();
			socket->deleteLater();
		}
	});
	m_webSockets->handleConnection(socket);
}

void WebFeed::onWebSocket()
{
	while (QWebSocket *socket = m_webSockets->nextPendingConnection()) {
		socket->setParent(this);
		// Its connection is the one handed over from the same peer;
		// it lives and dies with the QWebSocket from now on.
		for (QTcpSocket *tcp : std::as_const(m_handshaking)) {
			if (tcp->peerPort() == socket->peerPort() &&
			    tcp->peerAddress() == socket->peerAddress()) {
				m_handshaking.remove(tcp);
				disconnect(tcp, nullptr, this, nullptr);
				tcp->setParent(socket);
				break;
			}
		}
		socket->setMaxAllowedIncomingFrameSize(kMaxIncoming);
		socket->setMaxAllowedIncomingMessageSize(kMaxIncoming);
		Client client;
		client.stallTimer = new QTimer(socket);
		client.stallTimer->setSingleShot(true);
		connect(client.stallTimer, &QTimer::timeout, this,
			[this, socket] { onStalled(socket); });
		m_clients.append(socket);
		m_state.insert(socket, client);
		connect(socket, &QWebSocket::textMessageReceived, this,
			[this, socket](const QString &message) {
				onMessage(socket, message);
			});
		connect(socket, &QWebSocket::bytesWritten, this,
			[this, socket] { onBytesWritten(socket); });
		connect(socket, &QWebSocket::disconnected, this,
			[this, socket] { removeClient(socket); });
		send(socket, snapshot());
		Q_EMIT clientsChanged(clientCount());
	}
}

// "get" is the only request. A lagging client's answer is the newest
// snapshot once it drains, so asking faster than it reads adds nothing.
void WebFeed::onMessage(QWebSocket *socket, const QString &message)
{
	const auto it = m_state.find(socket);
	if (it == m_state.end() || message.trimmed() != QLatin1String("get"))
		return;
	if (lagging(socket))
		it->pendingSnapshot = snapshot();
	else
		send(socket, snapshot());
}

// As in the data server: a client that keeps up gets every change in order;
// one that lags gets only the newest snapshot once it drains, since each is
// the whole state; one that stays over the mark is dropped.
void WebFeed::broadcast()
{
	if (m_clients.isEmpty())
		return;
	const QString message = snapshot();
	for (QWebSocket *socket : std::as_const(m_clients)) {
		const auto it = m_state.find(socket);
		if (it == m_state.end() ||
		    socket->state() != QAbstractSocket::ConnectedState)
			continue;
		if (lagging(socket)) {
			it->pendingSnapshot = message; // shared, not copied
			continue;
		}
		it->pendingSnapshot.clear();
		send(socket, message);
	}
}

void WebFeed::send(QWebSocket *socket, const QString &message)
{
	socket->sendTextMessage(message);
	if (!lagging(socket))
		return;
	const auto it = m_state.find(socket);
	if (it != m_state.end() && !it->stallTimer->isActive())
		it->stallTimer->start(m_timings.stallMs);
}

void WebFeed::onBytesWritten(QWebSocket *socket)
{
	const auto it = m_state.find(socket);
	if (it == m_state.end() || lagging(socket))
		return;
	it->stallTimer->stop();
	if (!it->pendingSnapshot.isEmpty())
		send(socket, std::exchange(it->pendingSnapshot, QString()));
}

void WebFeed::onStalled(QWebSocket *socket)
{
	if (!m_state.contains(socket) || !lagging(socket))
		return;
	disconnect(socket, nullptr, this, nullptr);
	socket->abort();
	removeClient(socket);
}

void WebFeed::removeClient(QWebSocket *socket)
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
