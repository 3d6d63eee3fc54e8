#pragma once

#include "link/device_link.h"
#include "usb/cloud_relay.h"
#include "usb/stream_relay.h"
#include "usb/usb_frame.h"

#include <QElapsedTimer>
#include <QList>
#include <QTimer>

#include <functional>

namespace quillmarch {

class SerialPort;
class UsbLink;

// Admin messages over the cable: written at once, never behind relay traffic.
class UsbAdminTransport : public RpcTransport {
	Q_OBJECT

public:
	UsbAdminTransport(SerialPort *port, QObject *parent);

	bool isOpen() const override;
	void send(const QByteArray &message) override;

private:
	SerialPort *m_port;
};

// A Quillmarch device, or its wireless receiver, on a USB serial cable.
class UsbLink : public DeviceLink {
	Q_OBJECT

public:
	// Intervals of the handshake, keep-alive, receiver and pacing timers.
	// Tests shorten them; the device expects the defaults.
	struct Timings {
		int helloMs = 3000;
		int helloGiveUpMs = 45000;
		int pingMs = 5000;
		int receiverMs = 5000;
		int paceMs = 40;
	};
	static constexpr int kBaudRate = 115200;
	static constexpr int kPipeChunk = 512;
	static constexpr int kPipeQueueLimit = 1024;

	using ReceiverCallback = std::function<void(bool ok, const QString &key,
						    const QString &error)>;

	explicit UsbLink(const QString &portPath, QObject *parent = nullptr);
	~UsbLink() override;

	void setTimings(const Timings &timings);

	QString kind() const override { return QStringLiteral("usb"); }
	void open() override;
	void close() override;
	RpcTransport *transport() override { return m_transport; }
	bool pollsState() const override { return false; }

	QString portPath() const { return m_portPath; }
	QJsonObject tunnel() const { return m_tunnel; }
	QJsonObject receiverStatus() const { return m_receiverStatus; }
	CloudRelay *cloudRelay() { return m_cloudRelay; }
	const CloudRelay *cloudRelay() const { return m_cloudRelay; }
	StreamRelay *streamRelay() { return m_streamRelay; }
	int pipeQueueSize() const { return m_pipeQueue.size(); }

	void receiverSet(const QString &key, bool generateKey, int channel,
			 ReceiverCallback done);
	void queueFrame(quint8 type, const QByteArray &payload);
	void queuePipe(const QByteArray &bytes);

Q_SIGNALS:
	void receiverUpdated(const QJsonObject &status);
	void tunnelChanged();

private:
	void onBytes(const QByteArray &bytes);
	void onSerialError(const QString &message);
	void handleControl(const QJsonObject &message);
	void markOpened(const QJsonObject &info);
	void sendHello();
	void onHelloTick();
	void onReceiverTimeout();
	void writeControl(const QJsonObject &message);
	void pace();
	void writeOneQueued();

	QString m_portPath;
	Timings m_timings;
	SerialPort *m_port;
	UsbAdminTransport *m_transport;
	UsbFrameParser m_parser;
	AdminReassembler m_reassembler;
	QTimer m_helloTimer;
	QTimer m_pingTimer;
	QElapsedTimer m_helloClock;
	bool m_opened = false;
	// Changes on every open() and close(), so that work begun for one
	// connection notices when a signal's receiver ended or replaced it.
	quint64 m_connection = 0;
	CloudRelay *m_cloudRelay;
	StreamRelay *m_streamRelay;
	QJsonObject m_tunnel;
	QJsonObject m_receiverStatus;
	ReceiverCallback m_pendingReceiver;
	QTimer m_receiverTimer;
	QList<QByteArray> m_pipeQueue;
	QElapsedTimer m_lastPipeWrite;
	QTimer m_paceTimer;
};

} // namespace quillmarch
