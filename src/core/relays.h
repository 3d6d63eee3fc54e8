#pragma once

#include <QJsonObject>
#include <QObject>
#include <QStringList>

namespace quillmarch {

// Public state of the relay that carries a USB device's raw cloud
// connection through this computer.
struct CloudRelayStatus {
	bool enabled = true;
	bool hasTarget = false;
	bool connected = false;
	QString host;
	int port = 0;
	quint64 bytesUp = 0;
	quint64 bytesDown = 0;
	QString lastError;
};

// Public state of the relay that carries a USB device's multiplexed streams.
struct StreamRelayStatus {
	QStringList destinationNames;
	int activeStreams = 0;
	quint64 bytesFromDevice = 0;
	quint64 bytesToDevice = 0;
	QString lastError;
};

// The cloud relay's bookkeeping. It does not connect anywhere yet: bytes from
// the device are counted and dropped, so a device that asks for the relay
// sees no connection rather than a broken one.
class CloudRelay : public QObject {
	Q_OBJECT

public:
	using QObject::QObject;

	const CloudRelayStatus &status() const { return m_status; }

	void configure(const QString &host, int port);
	void clearTarget() { configure(QString(), 0); }
	void setEnabled(bool on);
	void reset();
	void fromDevice(const QByteArray &bytes);

Q_SIGNALS:
	void toDevice(const QByteArray &bytes);
	void statusChanged();

private:
	CloudRelayStatus m_status;
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
