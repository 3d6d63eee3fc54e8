#pragma once

#include <QObject>
#include <QString>

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

} // namespace quillmarch
