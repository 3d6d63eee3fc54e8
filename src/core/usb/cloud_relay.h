#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

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

// Carries one raw byte stream between a USB device without a network of
// its own and the cloud endpoint its hello answer names. Device bytes that
// arrive before the connection is up wait (up to a cap) and go out in order
// once it is; what the cloud sends goes to the device as it comes, and the
// link paces it onto the cable.
class CloudRelay : public QObject {
	Q_OBJECT

public:
	// Device bytes held while the connection is being made.
	static constexpr int kPendingLimit = 262144;

	using QObject::QObject;
	~CloudRelay() override;

	const CloudRelayStatus &status() const { return m_status; }

	void configure(const QString &host, int port);
	void clearTarget() { configure(QString(), 0); }
	void setEnabled(bool on);
	// Drops the connection and the waiting bytes; the target, the
	// counters and the last error stay.
	void reset();
	void fromDevice(const QByteArray &bytes);

Q_SIGNALS:
	void toDevice(const QByteArray &bytes);
	void statusChanged();

private:
	void dial();
	void dropSocket();
	void onConnected();
	void onReadyRead();
	void onError();
	void onDisconnected();

	CloudRelayStatus m_status;
	QTcpSocket *m_socket = nullptr;
	QByteArray m_pending;
};

} // namespace quillmarch
