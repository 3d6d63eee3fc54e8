#include "relays.h"

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

void StreamRelay::setDestinations(const QJsonObject &destinations)
{
	reset();
	m_status.destinationNames = destinations.keys();
	Q_EMIT statusChanged();
}

void StreamRelay::reset()
{
	m_status.activeStreams = 0;
	m_status.lastError.clear();
	Q_EMIT statusChanged();
}

void StreamRelay::setEnabled(bool on)
{
	if (m_enabled == on)
		return;
	m_enabled = on;
	if (!on)
		reset();
}

void StreamRelay::fromDevice(const QByteArray &payload)
{
	// Only the data operation carries stream bytes; the id and operation
	// bytes in front of them are framing.
	constexpr char kDataOp = 4;
	if (payload.size() > 2 && payload.at(1) == kDataOp)
		m_status.bytesFromDevice +=
			static_cast<quint64>(payload.size() - 2);
}

} // namespace quillmarch
