#pragma once

#include "device_model.h"
#include "http_server.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

namespace quillmarch::sim {

using tools::HttpReply;
using tools::HttpRequest;
using tools::HttpServer;

// The HTTP admin interface of a simulated device: one URL path per admin
// method, a session cookie per signed-in client and a CSRF token that every
// POST but the sign-in must repeat in its "X-CSRF-Token" header.
//
// Answers as the device gives them:
// - 200 with the method's result object as JSON; a sign-in also sets the
//   session cookie;
// - 400 {"code", "message"} for a request the method refused;
// - 401 {"error", "message"} without a signed-in session (a missing or
//   unknown cookie, a wrong password, or a sign-in from before a restart);
// - 403 {"error": "csrf_invalid"} for a POST with a missing or wrong token;
// - 429 when sign-in is locked after wrong passwords, 503 while busy;
// - 404 for a path the device has no route for, and for the routes of
//   methods this device does not have (the cloud broker pages, reading the
//   device id, provisioning); 405 for the wrong verb.
// "reboot" and "otaApply" are answered with "Connection: close" and the
// connection ends. A restart closes every connection (after the answer that
// caused it has gone out) and the port refuses connections until the device
// is up again, with every sign-in forgotten.
//
// Served as a small embedded server does: keep-alive, one request at a time
// per connection, Content-Length bodies only, a limit on connections and an
// idle time-out. Malformed requests get 400, oversized heads 431, oversized
// bodies 413 and chunked ones 501, and the connection closes.
class HttpSide : public QObject {
	Q_OBJECT

public:
	// The next `count` requests to `path` get `status` instead of
	// reaching the device: 400, 401, 403, 429 and 503 with the device's
	// JSON error, any other status with an HTML error page; status 0
	// closes the connection without an answer.
	struct Failure {
		QString path;
		int status = 500;
		int count = 1;
	};

	struct Config {
		QHostAddress address = QHostAddress(QHostAddress::LocalHost);
		quint16 port = 80; // 0: any free port
		QByteArray cookieName = "qm_session";
		int maxHeadBytes = 16 * 1024;
		int maxBodyBytes = 64 * 1024;
		int maxConnections = 32;
		// Sign-ins the device remembers; the oldest is forgotten.
		int maxSessions = 8;
		// An idle keep-alive connection is closed after this long.
		int idleTimeoutMs = 60000;
		QList<Failure> failures;
	};

	// The device must outlive this object.
	HttpSide(DeviceModel *device, const Config &config,
		 QObject *parent = nullptr);

	// Starts listening; false with the reason when the port cannot be
	// had.
	bool listen(QString *error = nullptr);
	void close();
	bool isListening() const;
	QHostAddress address() const { return m_address; }
	// The port listened on (the one chosen when the config asked for 0).
	quint16 port() const { return m_port; }

	void failNext(const QString &path, int status, int count = 1);
	void clearFailures() { m_failures.clear(); }
	// Gives every signed-in client a new CSRF token without sending it:
	// its next POST is refused with "csrf_invalid" until it signs in
	// again (or takes the token from the status, which carries it).
	void expireCsrfTokens();

private:
	using SessionPtr = std::shared_ptr<DeviceModel::Session>;

	void handle(const HttpRequest &request,
		    const HttpServer::Respond &respond);
	bool injectedFailure(const HttpRequest &request,
			     const HttpServer::Respond &respond);
	void callDevice(const HttpRequest &request, const QString &method,
			const SessionPtr &session,
			const HttpServer::Respond &respond);
	HttpReply answerFromDevice(const HttpRequest &request,
				   const QString &method,
				   const SessionPtr &session,
				   const QJsonObject &reply);
	SessionPtr sessionFor(const HttpRequest &request) const;
	QByteArray remember(const SessionPtr &session);
	void onDeviceRestarting();
	void onDeviceRestarted();
	bool relisten();

	DeviceModel *m_device;
	Config m_config;
	HttpServer *m_server;
	QHostAddress m_address;
	quint16 m_port = 0;
	bool m_deviceDown = false;
	QTimer m_relistenTimer;
	quint64 m_nextRequestId = 0;
	QHash<QByteArray, SessionPtr> m_sessions; // by cookie value
	QList<QByteArray> m_sessionOrder;         // oldest first
	QList<Failure> m_failures;
};

} // namespace quillmarch::sim
