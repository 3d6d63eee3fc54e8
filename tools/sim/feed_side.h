#pragma once

#include "device_model.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QSslConfiguration>
#include <QString>
#include <QTimer>

namespace quillmarch::sim {

class FeedClient;
class FeedListener;

// The secure live feed of a simulated device: TLS on port 1010 with the
// device's certificate. A client proves itself with one line,
// {"token": <the device's access token>, "type": "auth"}; the device answers
// {"type": "auth_ok"} and from then on sends every envelope of the game as
// one JSON line, or answers {"type": "auth_fail"} and closes.
//
// A client whose token stops being valid (a new token was made, or the
// device was reset) gets "auth_fail" with the next envelope and is closed.
// A restart drops every client and refuses connections until the device is
// up again.
class FeedSide : public QObject {
	Q_OBJECT

public:
	static constexpr quint16 kDefaultPort = 1010;

	struct Config {
		QHostAddress address = QHostAddress(QHostAddress::Any);
		quint16 port = kDefaultPort; // 0: any free port
		// PEM files of the device's certificate and private key.
		QString certificatePath;
		QString keyPath;
		// A client that has not sent its token by then is dropped.
		int authTimeoutMs = 10000;
		// A client that falls this far behind is dropped, as the
		// device's small send buffer would.
		int maxQueuedBytes = 256 * 1024;
		int maxClients = 16;
	};

	// The device must outlive this object.
	FeedSide(DeviceModel *device, const Config &config,
		 QObject *parent = nullptr);
	~FeedSide() override;

	// Loads the certificate and key and starts listening; false with the
	// reason when either fails.
	bool listen(QString *error = nullptr);
	void close();
	bool isListening() const;
	QHostAddress address() const { return m_address; }
	quint16 port() const { return m_port; }

	// Misbehaviour on request. Drops every connection at once, as a
	// network glitch does.
	void dropAll();
	// Sends "auth_fail" to every signed-in client and closes them.
	void rejectAuthenticated();
	// Refuses new connections for this long (0 ends a refusal early).
	void refuseFor(int ms);

	int clientCount() const { return m_clients.size(); }
	int authenticatedCount() const;
	// Since construction: connections taken and tokens refused.
	int connectionsAccepted() const { return m_accepted; }
	int rejections() const { return m_rejections; }

private:
	void onIncoming(qintptr descriptor);
	void onReadable(FeedClient *client);
	void authenticate(FeedClient *client, const QByteArray &line);
	void reject(FeedClient *client);
	void forget(FeedClient *client);
	void onEnvelope(const QJsonObject &envelope);
	void updateListening();

	DeviceModel *m_device;
	Config m_config;
	FeedListener *m_server;
	QSslConfiguration m_tls;
	QHostAddress m_address;
	quint16 m_port = 0;
	bool m_started = false;
	bool m_deviceDown = false;
	QTimer m_refusal;
	QTimer m_relisten;
	QSet<FeedClient *> m_clients;
	int m_accepted = 0;
	int m_rejections = 0;
};

} // namespace quillmarch::sim
