#include "usb/stream_relay.h"

namespace quillmarch {

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
