#pragma once

#include "device_model.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QTcpServer;

namespace quillmarch::sim {

class HttpConnection;
struct HttpRequest;

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
// A small HTTP/1.1 server: keep-alive, one request at a time per
// connection, Content-Length bodies only. Malformed requests get 400,
// oversized heads 431 and oversized bodies 413, and the connection closes.
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
	~HttpSide() override;

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

	int connectionCount() const { return m_connections.size(); }
	int sessionCount() const { return m_sessions.size(); }

private:
	struct Answer;
	using SessionPtr = std::shared_ptr<DeviceModel::Session>;

	void onNewConnection();
	bool dropLeastRecentlyUsed();
	void onReadable(HttpConnection *connection);
	void serve(HttpConnection *connection);
	void dispatch(HttpConnection *connection, const HttpRequest &request);
	bool injectedFailure(HttpConnection *connection,
			     const HttpRequest &request);
	void callDevice(HttpConnection *connection, const HttpRequest &request,
			const QString &method, SessionPtr session);
	void answerFromDevice(HttpConnection *connection,
			      const HttpRequest &request, const QString &method,
			      const SessionPtr &session,
			      const QJsonObject &reply);
	void send(HttpConnection *connection, const HttpRequest &request,
		  const Answer &answer);
	void refuse(HttpConnection *connection, int status,
		    const QByteArray &message);
	SessionPtr sessionFor(const HttpRequest &request) const;
	QByteArray remember(const SessionPtr &session);
	void onDeviceRestarting();
	void onDeviceRestarted();
	bool relisten();

	DeviceModel *m_device;
	Config m_config;
	QTcpServer *m_server;
	QHostAddress m_address;
	quint16 m_port = 0;
	bool m_deviceDown = false;
	QTimer m_relistenTimer;
	// Every open connection with when it was last used.
	QHash<HttpConnection *, quint64> m_connections;
	quint64 m_lastUse = 0;
	quint64 m_nextRequestId = 0;
	QHash<QByteArray, SessionPtr> m_sessions; // by cookie value
	QList<QByteArray> m_sessionOrder;         // oldest first
	QList<Failure> m_failures;
};

} // namespace quillmarch::sim
