#include "usb/cloud_relay.h"

namespace quillmarch {

void CloudRelay::configure(const QString &host, int port)
{
	m_status.connected = false;
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
	if (!on)
		m_status.connected = false;
	Q_EMIT statusChanged();
}

void CloudRelay::reset()
{
	m_status.connected = false;
	Q_EMIT statusChanged();
}

void CloudRelay::fromDevice(const QByteArray &bytes)
{
	m_status.bytesUp += static_cast<quint64>(bytes.size());
}

} // namespace quillmarch
