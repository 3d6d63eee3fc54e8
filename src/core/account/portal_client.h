#pragma once

#include <QJsonObject>
#include <QList>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QObject>
#include <QString>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QUrl;

namespace quillmarch {

// The answer to one portal request. `ok` is true for an HTTP status of 200 to
// 299 that arrived without a network error and could be read; `status` is 0
// when no HTTP answer arrived. `body` is the reply's JSON object, failures
// included. `code` and `message` are set for failures only.
struct PortalResult {
	bool ok = false;
	int status = 0;
	QJsonObject body;
	QString code;
	QString message;
};

// One device of the signed-in account.
struct PortalDevice {
	QString deviceId;
	QString nickname;
	QString status;
	QString blePasskey;

	// "Nickname (id)", or the id alone for a device without a nickname.
	QString displayName() const;
};

// One web graphic of the account, with the address a browser shows it at.
struct GraphicsOutput {
	QString id;
	QString name;
	QString shareToken;
	QString deviceId;
	int width = 1920;
	int height = 1080;
	QString shareUrl;
};

// The client of the maker's account portal, a JSON-over-HTTPS service.
//
// The sign-in lives in cookies the portal sets. They are kept in a cookie jar
// that is written to the session file after every successful sign-in, so the
// sign-in survives a restart of OBS. Every operation returns at once and
// calls its callback (which may be empty) exactly once with the outcome;
// nothing is retried. A 401 on a device or graphics route signs the client
// out but keeps the cookies, so a later restoreSession() may still succeed;
// only signOut() and a 401 from restoreSession() forget them.
//
// Main thread only. Any number of requests may run at once; destroying the
// client drops the callbacks of those still running.
class PortalClient : public QObject {
	Q_OBJECT

public:
	using Callback = std::function<void(const PortalResult &)>;

	static constexpr int kTransferTimeoutMs = 20000;

	// Qt's cookie jar with the usual domain and path matching, plus the
	// file it is kept in.
	class Jar : public QNetworkCookieJar {
	public:
		using QNetworkCookieJar::QNetworkCookieJar;

		QString sessionFile() const { return m_sessionFile; }
		void setSessionFile(const QString &path)
		{
			m_sessionFile = path;
		}

		// Replaces the whole content with the cookies in the session
		// file. A file that cannot be opened leaves the jar as it is;
		// one that does not hold a JSON array of cookie strings empties
		// it.
		void load();
		// Writes the cookies that have not expired, session cookies
		// included, owner-only and atomically.
		void save() const;
		// Empties the jar and deletes the session file.
		void wipe();

		QList<QNetworkCookie> cookies() const { return allCookies(); }

	private:
		QString m_sessionFile;
	};

	// The portal the plug-in was built for.
	static QString defaultBaseUrl();

	explicit PortalClient(QObject *parent = nullptr);
	// Talks to another portal, for instance a simulator on 127.0.0.1.
	explicit PortalClient(const QString &baseUrl,
			      QObject *parent = nullptr);

	// Scheme and host of the portal, without a trailing slash. Request
	// paths, graphics share addresses and the dock's links start with it.
	QString baseUrl() const { return m_baseUrl; }

	// Stores the path in the jar and loads the jar from it.
	void setSessionFile(const QString &path);

	bool isSignedIn() const { return m_signedIn; }
	QString email() const { return m_email; }
	QString role() const { return m_role; }

	QNetworkAccessManager *manager() const { return m_manager; }
	Jar *jar() const { return m_jar; }

	// A success whose body has "totp_required" true leaves the client
	// signed out; the caller then sends the code with signInWithCode()
	// and the body's "challenge_id".
	void signIn(const QString &email, const QString &password,
		    Callback done);
	void signInWithCode(const QString &challengeId, const QString &code,
			    Callback done);
	void restoreSession(Callback done);
	// Forgets the sign-in at once, whatever the portal answers.
	void signOut();

	void listDevices(Callback done);
	void deviceState(const QString &deviceId, Callback done);
	void sendCommand(const QString &deviceId, const QString &command,
			 const QJsonObject &args, Callback done);
	void setConfig(const QString &deviceId, const QJsonObject &config,
		       Callback done);
	// `via` tells how the plug-in reached the device: "usb", "ble" or
	// "manual". An empty claim code is left out of the request.
	void linkDevice(const QString &deviceId, const QString &code,
			const QString &via, Callback done);
	void revealPairing(const QString &deviceId, Callback done);
	void savePairing(const QString &deviceId, const QString &adminPassword,
			 Callback done);
	void listGraphicsOutputs(Callback done);

	static QList<PortalDevice> parseDevices(const QJsonObject &body);
	static QList<GraphicsOutput> parseOutputs(const QJsonObject &body,
						  const QString &base);

	// The sentence the user sees for a failed request.
	static QString friendly(int status, const QString &code,
				const QString &serverMessage);

	// How long a transfer may go without moving a byte before it is
	// abandoned. Tests shorten it.
	void setTransferTimeoutMs(int ms) { m_transferTimeoutMs = ms; }

Q_SIGNALS:
	void signedInChanged(bool signedIn);

private:
	// What a successful answer must hold before its body is believed. A
	// captive Wi-Fi page or a half-sent answer must not sign the user in
	// or empty the device list.
	enum class Expect {
		Nothing,    // the body is not read
		Object,     // a JSON object
		DeviceList, // an object with a "devices" array
		OutputList, // an object with an "outputs" array
	};

	QNetworkRequest newRequest(const QUrl &url) const;
	void request(const QByteArray &verb, const QString &path,
		     const QJsonObject *body, Expect expect, Callback done,
		     bool signOutOn401);
	void finish(QNetworkReply *reply, Expect expect, const Callback &done,
		    bool signOutOn401);
	void finishSignIn(const QJsonObject &body);
	void setSignedIn(bool signedIn);
	static QString devicePath(const QString &deviceId);

	QString m_baseUrl;
	QNetworkAccessManager *m_manager = nullptr;
	Jar *m_jar = nullptr;
	bool m_signedIn = false;
	QString m_email;
	QString m_role;
	int m_transferTimeoutMs = kTransferTimeoutMs;
};

} // namespace quillmarch
