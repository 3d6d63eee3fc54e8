#pragma once

#include "http_server.h"
#include "portal_state.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QRegularExpression>

#include <optional>

namespace quillmarch::portalsim {

using tools::HttpHeader;
using tools::HttpReply;
using tools::HttpRequest;
using tools::HttpServer;

// The portal's error shape: {"detail": {"error": code}}.
HttpReply errorReply(int status, const QString &code);
// An error with a sentence for the user: {"detail": text}, plus
// {"error": code} when a code is given.
HttpReply messageReply(int status, const QString &text,
		       const QString &code = QString());

struct PortalSimOptions {
	// The accounts and devices; empty means the built-in ones.
	QJsonObject state;
	quint32 seed = 1;
	// How often the simulated games move on.
	int tickMs = 1000;
	// Lifetime of the persistent "remember me" cookie.
	qint64 rememberSeconds = 30 * 24 * 3600;
	// One line per request on stderr.
	bool log = false;
	// Sessions open from the start, as if these accounts had signed in:
	// the qm_session cookie value and the account's e-mail address. Lets
	// a test hand a client a stored sign-in without going through a
	// sign-in form.
	QList<QPair<QByteArray, QString>> sessions;
};

// An answer forced onto the next requests that match, in place of what the
// portal would say.
struct FaultRule {
	QByteArray method; // empty matches every method
	// Wildcard pattern over the raw (still percent-encoded) path; "*"
	// matches any run of characters, slashes included.
	QString path;
	// How many requests it answers; 0 answers all of them until cleared.
	int count = 1;
	HttpReply reply;

	// Keys: method, path, status, code, detail, body, type (content type
	// of body), count, action (answer, drop or stall), delay_ms. With
	// "body" the answer is that text; otherwise code and detail make the
	// portal's JSON error shape, and neither makes an empty body.
	static bool fromJson(const QJsonObject &fields, FaultRule *out,
			     QString *error);
	// The same keys written as "key=value,key=value".
	static bool fromText(const QString &text, FaultRule *out,
			     QString *error);
};

// A stand-in for the maker's account portal, on 127.0.0.1 over plain HTTP.
//
// It speaks the account API the plug-in uses: sign-in with and without an
// authenticator code through cookies (one session cookie and one that
// expires), the account's devices with live state from a simulated game,
// commands, configuration, linking, the device's admin password kept on the
// account, and graphics outputs with a page at their share address. Routes
// under "/_sim/" let tests and demos look inside and steer it: the request
// log, forced failures, posted envelopes, device status, cloud plans and
// ending every session.
class PortalSim : public QObject {
	Q_OBJECT

public:
	static constexpr quint16 kDefaultPort = 8787;

	explicit PortalSim(QObject *parent = nullptr);

	bool start(quint16 port, const PortalSimOptions &options,
		   QString *error);
	quint16 port() const { return m_server.port(); }
	QString baseUrl() const;

	PortalState &state() { return m_state; }

	void addFault(const FaultRule &rule) { m_faults.append(rule); }
	void clearFaults() { m_faults.clear(); }

	// Every request to the account API, in arrival order.
	const QList<HttpRequest> &requests() const { return m_requests; }
	QList<HttpRequest> requestsTo(const QByteArray &method,
				      const QByteArray &path) const;
	void clearRequests() { m_requests.clear(); }

	// Served as the device's live state until an empty object clears it.
	bool postEnvelope(const QString &deviceId, const QJsonObject &envelope);
	bool setDeviceStatus(const QString &deviceId, const QString &status);
	bool setCloudPlan(const QString &email, bool on);
	void revokeSessions();

private:
	struct Session {
		QString email;
		QByteArray rememberToken;
		qint64 rememberUntilMs = 0;
	};
	struct Challenge {
		QString email;
		qint64 expiresMs = 0;
		int attemptsLeft = 5;
	};
	using Args = QStringList;
	using RouteFn = HttpReply (PortalSim::*)(const HttpRequest &,
						 const Args &);
	struct Route {
		const char *method;
		QStringList pattern; // "*" takes one segment as an argument
		RouteFn fn;
	};

	HttpReply handle(const HttpRequest &request);
	HttpReply route(const HttpRequest &request);
	HttpReply admin(const HttpRequest &request, const QStringList &path);
	bool takeFault(const HttpRequest &request, HttpReply *reply);
	void logLine(const HttpRequest &request, const HttpReply &reply) const;
	qint64 nowMs() const { return m_clock.elapsed(); }

	// The signed-in account of the request, or none.
	Account *caller(const HttpRequest &request);
	// Resolves the device of a device route for the caller, or gives the
	// answer that refuses it (401, 403 for a role that may only look,
	// 404 for a device not on the account, 402 without a cloud plan).
	std::optional<HttpReply> refuseDevice(const HttpRequest &request,
					      const QString &deviceId,
					      bool changes, Device **device);
	// Signs the account in: its cookies go on the reply.
	void openSession(const QString &email, HttpReply *reply);

	// The account API, one function per route.
	HttpReply login(const HttpRequest &r, const Args &a);
	HttpReply loginTotp(const HttpRequest &r, const Args &a);
	HttpReply me(const HttpRequest &r, const Args &a);
	HttpReply logout(const HttpRequest &r, const Args &a);
	HttpReply devices(const HttpRequest &r, const Args &a);
	HttpReply link(const HttpRequest &r, const Args &a);
	HttpReply deviceState(const HttpRequest &r, const Args &a);
	HttpReply command(const HttpRequest &r, const Args &a);
	HttpReply config(const HttpRequest &r, const Args &a);
	HttpReply revealPairing(const HttpRequest &r, const Args &a);
	HttpReply savePairing(const HttpRequest &r, const Args &a);
	HttpReply outputs(const HttpRequest &r, const Args &a);
	HttpReply graphicsPage(const HttpRequest &r, const Args &a);
	HttpReply sitePage(const HttpRequest &r, const Args &a);

	static const QList<Route> &routes();

	HttpServer m_server;
	PortalState m_state;
	PortalSimOptions m_options;
	QElapsedTimer m_clock;
	QHash<QByteArray, Session> m_sessions; // by session token
	QHash<QString, Challenge> m_challenges;
	QList<FaultRule> m_faults;
	QList<HttpRequest> m_requests;
};

} // namespace quillmarch::portalsim
