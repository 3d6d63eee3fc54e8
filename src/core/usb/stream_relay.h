#pragma once

#include <QJsonObject>
#include <QObject>
#include <QStringList>

namespace quillmarch {

// Public state of the relay that carries a USB device's multiplexed streams.
struct StreamRelayStatus {
	QStringList destinationNames;
	int activeStreams = 0;
	quint64 bytesFromDevice = 0;
	quint64 bytesToDevice = 0;
	QString lastError;
};

// The stream relay's bookkeeping: it keeps the device's destination table and
// counts stream bytes, but opens no connections yet.
class StreamRelay : public QObject {
	Q_OBJECT

public:
	using QObject::QObject;

	StreamRelayStatus status() const { return m_status; }
	bool isEnabled() const { return m_enabled; }

	void setDestinations(const QJsonObject &destinations);
	void reset();
	void setEnabled(bool on);
	void fromDevice(const QByteArray &payload);

Q_SIGNALS:
	void toDevice(const QByteArray &payload);
	void statusChanged();

private:
	StreamRelayStatus m_status;
	bool m_enabled = true;
};

} // namespace quillmarch
