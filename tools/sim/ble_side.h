#pragma once

#include "device_model.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class QTcpSocket;

namespace quillmarch::sim {

// The Bluetooth LE side of a simulated device: its radio as the Bluetooth
// helper's simulated central hears it. The central connects over TCP and
// the two talk JSON lines, one object per line with its kind in "t":
//
//   central -> radio: scan {on}; connect {id, link}; services {link};
//                     characteristics {link}; notify {link};
//                     write {link, b64}; cancel {link}
//   radio -> central: adv {id, localName, name, services};
//                     connected {link, writeLength}; services {link,
//                     services}; characteristics {link, characteristics};
//                     notify {link[, error]}; written {link[, error]};
//                     value {link, b64}; disconnected {link, reason}
//
// "link" numbers one connection attempt of the central, so nothing of an
// attempt it gave up on can reach a newer one. A connect to an id nobody
// advertises is never answered, as with a real radio.
//
// The device reassembles chunked writes (0xFF, tag, total BE16, index BE16,
// data) and single writes that start with "{", hands each request to the
// device model with a session of its own, and notifies each reply whole or
// in short or long fragments, as configured.
class BleSide : public QObject {
	Q_OBJECT

public:
	struct Config {
		QString name; // empty: "Quillmarch " + device id
		bool advertiseService = true;
		int otherAdvertisers = 0; // non-Quillmarch devices in range
		int writePayload = 185;   // 20..244
		// Enabling notifications fails as an encrypted characteristic
		// does for a computer that has not paired.
		bool requirePairing = false;
		enum class Fragments { Whole, Short, Long, Mixed };
		Fragments fragments = Fragments::Short;
		int notifySize = 20; // bytes per notification when fragmented
	};

	// The device must outlive this object.
	BleSide(DeviceModel *device, const Config &config,
		QObject *parent = nullptr);
	~BleSide() override;

	bool listen(const QHostAddress &address, quint16 port,
		    QString *error = nullptr);
	// "127.0.0.1:PORT": the value for QUILLMARCH_BLE_SIM.
	QString address() const;
	// The id the helper reports for this device.
	QString peripheralId() const;
	bool isLinked() const { return m_linked; }

	// The device ends the connection; the central hears the reason.
	void dropLink(const QString &reason);
	// The device goes out of range for good: it stops advertising, a
	// request in flight is never answered, and the link drops a moment
	// later.
	void vanish();

	// How long a vanished device's link lingers before it drops.
	static constexpr int kVanishDropMs = 300;

Q_SIGNALS:
	// One request reassembled from the central's writes.
	void requestReceived(const QByteArray &message);
	void linkChanged(bool linked);

private:
	void onNewConnection();
	void onReadable();
	void handleLine(const QJsonObject &line);
	void handleWrite(const QByteArray &bytes);
	void sendReply(const QByteArray &reply);
	void send(const QJsonObject &line);
	void sendToLink(QJsonObject line);
	void advertise();
	void endLink();
	QString otherId(int index) const;
	QByteArray fragment(const QByteArray &reply, int index, int offset,
			    bool longHeader, int *taken) const;

	DeviceModel *m_device;
	Config m_config;
	QTcpServer *m_server;
	QPointer<QTcpSocket> m_central;
	QByteArray m_input;

	bool m_vanished = false;
	bool m_linked = false; // a central is connected
	QString m_linkedId;    // to which advertiser
	bool m_notifying = false;
	qint64 m_link = -1; // the central's number of the current link
	DeviceModel::Session m_session;
	quint64 m_replyGeneration = 0; // replies of an older link are dropped
	int m_replies = 0;             // for the mixed form

	// The request being reassembled from chunks.
	QByteArray m_chunks;
	int m_chunkTotal = 0;
	int m_nextChunk = 0;
	int m_chunkTag = -1;
};

} // namespace quillmarch::sim
