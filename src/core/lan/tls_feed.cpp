#include "lan/tls_feed.h"

#include "lan/http_link.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QSslSocket>

#if defined(Q_OS_UNIX)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace quillmarch {

namespace {

// Asks the kernel to probe the connection once it has been silent for a
// while, and to end it when the probes go unanswered.
void enableKeepAlive(qintptr descriptor)
{
#if defined(Q_OS_UNIX)
	const int fd = int(descriptor);
	const auto set = [fd](int level, int name, int value) {
		::setsockopt(fd, level, name, &value, sizeof value);
	};
	set(SOL_SOCKET, SO_KEEPALIVE, 1);
#if defined(Q_OS_MACOS)
	set(IPPROTO_TCP, TCP_KEEPALIVE, TlsFeed::kKeepAliveIdleS);
#else
	set(IPPROTO_TCP, TCP_KEEPIDLE, TlsFeed::kKeepAliveIdleS);
#endif
	set(IPPROTO_TCP, TCP_KEEPINTVL, TlsFeed::kKeepAliveIntervalS);
	set(IPPROTO_TCP, TCP_KEEPCNT, TlsFeed::kKeepAliveProbes);
#else
	Q_UNUSED(descriptor);
#endif
}

} // namespace

TlsFeed::TlsFeed(QObject *parent) : QObject(parent)
{
	m_reconnectTimer.setSingleShot(true);
	// Precise, so the delays between attempts are the ones asked for.
	m_reconnectTimer.setTimerType(Qt::PreciseTimer);
	connect(&m_reconnectTimer, &QTimer::timeout, this,
		&TlsFeed::openSocket);
	m_authTimer.setSingleShot(true);
	connect(&m_authTimer, &QTimer::timeout, this, &TlsFeed::onAuthTimeout);
}

TlsFeed::~TlsFeed()
{
	stop();
}

void TlsFeed::setBackoff(int initialMs, int maxMs)
{
	m_initialBackoffMs = qMax(1, initialMs);
	m_maxBackoffMs = qMax(m_initialBackoffMs, maxMs);
	m_backoffMs = m_initialBackoffMs;
}

void TlsFeed::connectTo(const QString &host, quint16 port, const QString &token)
{
	stop();
	// The feed has its own port; one the user typed is the admin port.
	m_host = lanHostWithoutPort(host);
	m_port = port == 0 ? kDefaultPort : port;
	m_token = token;
	m_wanted = true;
	m_backoffMs = m_initialBackoffMs;
	openSocket();
}

void TlsFeed::stop()
{
	m_wanted = false;
	m_reconnectTimer.stop();
	dropSocket();
	if (m_authenticated) {
		m_authenticated = false;
		Q_EMIT connectedChanged(false, QString());
	}
}

void TlsFeed::openSocket()
{
	if (!m_wanted)
		return;
	dropSocket();
	m_authenticated = false;
	m_authFailed = false;

	auto *socket = new QSslSocket(this);
	m_socket = socket;
	// The device's certificate is self-signed and cannot be checked; the
	// feed relies on the access token instead.
	socket->setPeerVerifyMode(QSslSocket::VerifyNone);
	connect(socket, &QAbstractSocket::connected, this,
		&TlsFeed::onConnected);
	connect(socket, &QSslSocket::encrypted, this, &TlsFeed::onEncrypted);
	connect(socket, &QIODevice::readyRead, this, &TlsFeed::onReadyRead);
	connect(socket, &QAbstractSocket::errorOccurred, this,
		&TlsFeed::onSocketError);
	connect(socket, &QAbstractSocket::disconnected, this,
		&TlsFeed::onConnectionLost);
	// Started first: a connection that fails at once stops it again.
	m_authTimer.start(m_authTimeoutMs);
	socket->connectToHostEncrypted(m_host, m_port);
}

qintptr TlsFeed::socketDescriptor() const
{
	return m_socket ? m_socket->socketDescriptor() : qintptr(-1);
}

// Aborts the current socket without letting it signal anything more.
void TlsFeed::dropSocket()
{
	m_authTimer.stop();
	m_lines.clear();
	if (!m_socket)
		return;
	QSslSocket *socket = m_socket;
	m_socket = nullptr;
	disconnect(socket, nullptr, this, nullptr);
	socket->abort();
	// We may be inside one of its own signals.
	socket->deleteLater();
}

void TlsFeed::onConnected()
{
	enableKeepAlive(m_socket->socketDescriptor());
}

void TlsFeed::onEncrypted()
{
	// QJsonObject keeps its members sorted by name, so "token" comes before
	// "type", which is the order the device reads them in.
	const QJsonObject auth{{QStringLiteral("token"), m_token},
			       {QStringLiteral("type"),
				QStringLiteral("auth")}};
	m_socket->write(QJsonDocument(auth).toJson(QJsonDocument::Compact) +
			"\r\n");
}

void TlsFeed::onReadyRead()
{
	m_lines.append(m_socket->readAll());
	QJsonObject object;
	// A receiver of our signals may stop or restart the feed; that drops
	// this socket and its buffered lines.
	QSslSocket *const socket = m_socket;
	while (m_socket == socket && m_lines.next(&object)) {
		if (!handleObject(object))
			return;
	}
	if (m_socket == socket && m_lines.overflowed()) {
		m_lastError = tr(
			"The device sent data that is not a live update. Check that the address belongs to a Quillmarch device.");
		dropSocket();
		onConnectionLost();
	}
}

// False when reading has to stop because the device refused us.
bool TlsFeed::handleObject(const QJsonObject &object)
{
	const QString type = object.value(QLatin1String("type")).toString();
	if (!m_authenticated) {
		if (type == QLatin1String("auth_ok")) {
			m_authTimer.stop();
			m_authenticated = true;
			m_backoffMs = m_initialBackoffMs;
			m_lastError.clear();
			Q_EMIT connectedChanged(true, QString());
			return true;
		}
		// Anything else first means the token is no longer valid;
		// retrying with it would only be refused again.
		m_lastError = tr(
			"The device rejected the connection. Re-run device setup to refresh its access.");
		m_wanted = false;
		m_reconnectTimer.stop();
		dropSocket();
		Q_EMIT connectedChanged(false, m_lastError);
		return false;
	}
	if (type == QLatin1String("auth_fail")) {
		// The device closes the connection itself; this is the reason
		// to report when it does.
		m_lastError = tr("The device rejected the connection.");
		m_authFailed = true;
		return true;
	}
	Q_EMIT envelope(object);
	return true;
}

void TlsFeed::onSocketError()
{
	QSslSocket *const socket = m_socket;
	// The device closing the connection after refusing the token is the
	// end it announced, not a network problem: keep its reason.
	if (!(m_authFailed &&
	      socket->error() == QAbstractSocket::RemoteHostClosedError))
		m_lastError =
			tr("Could not reach the device on your network (%1).")
				.arg(socket->errorString());
	// An attempt that never got connected ends here, without a
	// disconnected signal.
	if (socket->state() == QAbstractSocket::UnconnectedState)
		onConnectionLost();
}

void TlsFeed::onConnectionLost()
{
	m_authTimer.stop();
	QSslSocket *const socket = m_socket;
	if (m_authenticated) {
		m_authenticated = false;
		Q_EMIT connectedChanged(false, m_lastError);
		if (m_socket != socket)
			return; // the receiver stopped or restarted the feed
	}
	if (m_wanted && !m_reconnectTimer.isActive()) {
		const int delayMs = m_backoffMs;
		m_reconnectTimer.start(delayMs);
		m_backoffMs = m_backoffMs > m_maxBackoffMs / 2
				      ? m_maxBackoffMs
				      : m_backoffMs * 2;
		Q_EMIT retryScheduled(delayMs);
	}
}

// The device took the connection but has not finished the secure handshake
// or answered the token: give the attempt up and try again later.
void TlsFeed::onAuthTimeout()
{
	m_lastError = tr(
		"The device did not answer in time. Check that it is switched on and that the address belongs to a Quillmarch device.");
	dropSocket();
	onConnectionLost();
}

} // namespace quillmarch
