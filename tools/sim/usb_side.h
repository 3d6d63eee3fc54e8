#pragma once

#include "device_model.h"
#include "usb/usb_frame.h"
#include "wireless_receiver.h"

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QSocketNotifier;

namespace quillmarch::sim {

// The USB cable of a simulated device (or of a wireless receiver with the
// device behind it). It owns a pseudo-terminal: the plug-in opens the slave
// side as if it were the device's serial port, this class plays the device
// on the master side with the frame protocol.
//
// Like a UART, it never waits for the other end: when the plug-in does not
// read and the terminal's buffer is full, whole frames are dropped.
//
// When the device restarts, the plug-in sees one of two things:
// - by default the line stays (a USB-to-serial bridge chip keeps the port
//   while the device behind it restarts): nothing is answered and every
//   frame from the plug-in is dropped for the restart time; then the chip's
//   boot text arrives as bytes that are no frame, and the device answers
//   hello again and wants a new sign-in;
// - with rebootUnplugs the port goes away as when the cable is pulled (the
//   plug-in reads a hang-up once it has read the answer to "reboot") and
//   comes back after the restart time as a new terminal; the link path, if
//   any, follows it and pluggedIn() tells.
// Behind a wireless receiver the cable is the receiver's and stays: the
// receiver reports its link down for the restart time, then up again.
class UsbSide : public QObject {
	Q_OBJECT

public:
	struct Destination {
		QString host;
		int port = 0;
	};

	struct Config {
		// The cloud relay target and the stream destinations the
		// device names in its hello answer. Empty host and port 0: no
		// tunnel.
		QString tunnelHost;
		int tunnelPort = 0;
		QMap<QString, Destination> streams;
		// A symbolic link to the slave, made at plug-in and removed at
		// unplug (e.g. a stable name for a demo).
		QString linkPath;
		// Hello handling: not at all, or only from the Nth hello on.
		bool answerHello = true;
		int answerHelloAfter = 1;
		// Act as a wireless receiver with the device behind it.
		bool receiver = false;
		WirelessReceiver::Config receiverConfig;
		int receiverStatusMs = 1000;
		// How long a request takes over the air from the receiver to
		// the device behind it.
		int relayDelayMs = 1500;
		// A device restart looks like an unplug and a new plug-in.
		bool rebootUnplugs = false;
	};

	// The device must outlive this object.
	UsbSide(DeviceModel *device, const Config &config,
		QObject *parent = nullptr);
	~UsbSide() override;

	// Creates the pseudo-terminal; the plug-in can then open slavePath().
	// Plugging in again after an unplug gives a new terminal.
	bool plugIn(QString *error = nullptr);
	// Closes the master side: the plug-in sees a hang-up, as when the
	// cable is pulled. Emits unplugged().
	void unplug();
	bool isPluggedIn() const { return m_master >= 0; }
	QString slavePath() const { return m_slavePath; }
	// The link made for this plug-in, empty when none was asked for.
	QString linkPath() const { return m_madeLink; }

	// Writing toward the plug-in, now and without the hello or link
	// conditions that govern the game's envelopes. Each returns false
	// when the bytes were dropped (unplugged, or the terminal is full).
	bool sendEnvelope(const QJsonObject &envelope);
	bool sendCtrl(const QJsonObject &message);
	bool writeFrame(quint8 type, const QByteArray &payload);
	bool writeRaw(const QByteArray &bytes);

	// The device's side of the relays: bytes for its cloud connection
	// (cut into pipe frames as the device firmware does) and its
	// streams, opened by name, fed, granted credit and closed by id.
	void sendPipe(const QByteArray &bytes);
	void openStream(quint8 id, const QString &name);
	void sendStreamData(quint8 id, const QByteArray &data);
	void grantCredit(quint8 id, quint32 bytes);
	void closeStream(quint8 id);

	// Receiver mode only (null otherwise): its state, and whether the
	// paired device is in range. A change sends "rx_status" at once.
	const WirelessReceiver *receiver() const { return m_receiver.get(); }
	void setDeviceInRange(bool inRange);

	int hellosReceived() const { return m_hellos; }
	bool helloAnswered() const { return m_helloAnswered; }
	quint64 envelopesSent() const { return m_envelopesSent; }
	quint64 framesDropped() const { return m_framesDropped; }

Q_SIGNALS:
	// A ctrl message from the plug-in (hello, ping, rx_set, ...).
	void controlReceived(const QJsonObject &message);
	void helloReceived(int count);
	// Relay traffic from the plug-in: cloud bytes, and one stream frame
	// (its id, operation and data).
	void pipeReceived(const QByteArray &bytes);
	void streamReceived(quint8 id, quint8 op, const QByteArray &data);
	void unplugged();
	// A new terminal is there (after plugIn(), also the one after a
	// restart with rebootUnplugs).
	void pluggedIn();

private:
	void onReadable();
	void onWritable();
	void handleFrame(const UsbFrame &frame);
	void handleControl(const QJsonObject &message);
	void handleHello();
	void handleReceiverSet(const QJsonObject &message);
	void handleAdmin(const QByteArray &payload);
	void onDeviceEnvelope(const QJsonObject &envelope);
	void onDeviceRestarting();
	void onDeviceRestarted();
	void updateReceiverLink();
	void unplugWhenRead(int triesLeft);
	void forwardAdmin(const QByteArray &message);
	void sendReceiverStatusIfChanged(const QJsonObject &before);
	QJsonObject helloAnswer() const;
	bool deviceReachable() const;
	void closeDescriptors();

	DeviceModel *m_device;
	Config m_config;
	std::unique_ptr<WirelessReceiver> m_receiver;

	int m_master = -1;
	int m_slaveKeeper = -1;
	QString m_slavePath;
	QString m_madeLink;
	QSocketNotifier *m_readNotifier = nullptr;
	QSocketNotifier *m_writeNotifier = nullptr;
	QByteArray m_tail; // the unwritten end of a frame begun earlier
	quint64 m_plugGeneration = 0;

	UsbFrameParser m_parser;
	AdminReassembler m_admin;
	DeviceModel::Session m_session;
	QTimer m_statusTimer;

	bool m_deviceInRange = true; // receiver mode: as the operator says
	bool m_deviceDown = false;   // the device is restarting

	int m_hellos = 0;
	bool m_helloAnswered = false;
	quint64 m_envelopesSent = 0;
	quint64 m_framesDropped = 0;
};

} // namespace quillmarch::sim
