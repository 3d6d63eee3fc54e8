#include "usb/cloud_relay.h"

#include <QTcpSocket>

namespace quillmarch {

// Every handler below emits last and touches nothing afterwards: a listener
// may reset the relay, or delete the link that owns it, from inside a signal.

CloudRelay::~CloudRelay()
{
	dropSocket();
}

void CloudRelay::configure(const QString &host, int port)
{
	dropSocket();
	m_status.connected = false;
	m_pending.clear();
	m_status.host = host;
	m_status.port = port;
	m_status.hasTarget = port >= 1 && !host.isEmpty();
	m_status.lastError.clear();
	Q_EMIT statusChanged();
}

void CloudRelay::setEnabled(bool on)
{
	if (m_status.enabled == on)
		return;
	m_status.enabled = on;
	if (!on) {
		dropSocket();
		m_status.connected = false;
		m_pending.clear();
	}
	Q_EMIT statusChanged();
}

void CloudRelay::reset()
{
	dropSocket();
	m_status.connected = false;
	m_pending.clear();
	Q_EMIT statusChanged();
}

void CloudRelay::fromDevice(const QByteArray &bytes)
{
	if (bytes.isEmpty() || !m_status.enabled || !m_status.hasTarget)
		return;
	m_status.bytesUp += quint64(bytes.size());
	if (m_socket && m_status.connected) {
		m_socket->write(bytes);
		return;
	}
	if (m_pending.size() + bytes.size() <= kPendingLimit)
		m_pending.append(bytes);
	if (!m_socket)
		dial();
}

void CloudRelay::dial()
{
	m_socket = new QTcpSocket(this);
	connect(m_socket, &QTcpSocket::connected, this,
		&CloudRelay::onConnected);
	connect(m_socket, &QTcpSocket::readyRead, this,
		&CloudRelay::onReadyRead);
	connect(m_socket, &QTcpSocket::errorOccurred, this,
		&CloudRelay::onError);
	connect(m_socket, &QTcpSocket::disconnected, this,
		&CloudRelay::onDisconnected);
	m_socket->connectToHost(m_status.host, quint16(m_status.port));
}

void CloudRelay::dropSocket()
{
	if (!m_socket)
		return;
	QTcpSocket *socket = m_socket;
	m_socket = nullptr;
	socket->disconnect(this);
	socket->abort();
	socket->deleteLater();
}

void CloudRelay::onConnected()
{
	m_status.connected = true;
	m_status.lastError.clear();
	m_socket->write(m_pending);
	m_pending.clear();
	Q_EMIT statusChanged();
}

void CloudRelay::onReadyRead()
{
	const QByteArray bytes = m_socket->readAll();
	m_status.bytesDown += quint64(bytes.size());
	if (!bytes.isEmpty())
		Q_EMIT toDevice(bytes);
}

void CloudRelay::onError()
{
	m_status.lastError = m_socket->errorString();
	const bool wasConnected = m_status.connected;
	m_status.connected = false;
	// A dial that failed leaves nothing to wait for: the device's next
	// bytes dial again.
	if (!wasConnected)
		dropSocket();
	Q_EMIT statusChanged();
}

void CloudRelay::onDisconnected()
{
	dropSocket();
	m_status.connected = false;
	Q_EMIT statusChanged();
}

} // namespace quillmarch
