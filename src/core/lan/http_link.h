#pragma once

#include "link/device_link.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

namespace quillmarch {

// Where one device method lives in the device's HTTP admin interface.
struct HttpRoute {
	bool found = false;
	QByteArray verb; // "GET" or "POST"
	QString path;
	// A POST body is sent form-encoded instead of as JSON.
	bool form = false;
};

// The route of a device method, or a record with `found` false for a method
// the device does not offer over the network. Names are case-sensitive.
HttpRoute httpRouteFor(const QString &method);

// What the device sent back for one HTTP request. `status` is 0 when no HTTP
// answer came at all (refused, unreachable, timed out, dropped).
struct HttpAnswer {
	int status = 0;
	QByteArray body;
	// The raw "Set-Cookie" header, empty when there was none.
	QByteArray setCookie;
	// The body outgrew HttpAdminTransport::kMaxAnswerBytes; the transfer
	// was cut off and `body` is not the device's answer.
	bool tooLarge = false;
};

// One HTTP answer as the transport takes it: the reply message for the RPC
// client and, after a successful sign-in, the session to use from then on.
struct HttpAdminReply {
	QByteArray message;
	bool signedIn = false;
	QByteArray cookie;
	QByteArray csrfToken;
};

// The admin message pipe to a device on the local network. The device speaks
// plain HTTP with one path per function, a session cookie and a CSRF token;
// this turns each RPC request into that request and each HTTP answer back
// into an RPC reply, so the RPC client works unchanged over the network.
//
// Every outcome, refusals included, comes back as a `message`; sendFailed is
// never emitted. Requests are not serialised here: one abandoned by the RPC
// client's time-out may still be running when the next starts, and each
// answer carries its own request id.
class HttpAdminTransport : public RpcTransport {
	Q_OBJECT

public:
	static constexpr int kTransferTimeoutMs = 30000;
	// The longest answer taken from a device, status probe included. Real
	// answers are a few kilobytes (even the device's whole log, 400 short
	// lines, is tens); past this the peer is not a device, and its answer
	// is cut off rather than held in memory.
	static constexpr qint64 kMaxAnswerBytes = 4 << 20;

	// `port` 0 or less means HTTP's default port.
	HttpAdminTransport(const QString &host, int port,
			   QObject *parent = nullptr);

	bool isOpen() const override { return m_open; }
	void send(const QByteArray &message) override;

	// Emits the reply message {"id", "ok", and "result" or "error"}.
	void answer(int id, bool ok, const QJsonObject &result,
		    const QString &code, const QString &message);

	// The owning link opens the pipe once the device has answered and
	// closes it, forgetting the sign-in, when the link closes.
	void setOpen(bool open) { m_open = open; }
	void forgetSignIn();

	QString host() const { return m_host; }
	int port() const { return m_port; }
	QByteArray cookie() const { return m_cookie; }
	QByteArray csrfToken() const { return m_csrfToken; }

	// Tests shorten it; the device expects the default.
	void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }

	// Turns one HTTP answer to `method` into the reply for request `id`.
	// Pure, so it can be checked without sockets.
	static HttpAdminReply replyFromHttp(int id, const QString &method,
					    const HttpAnswer &answer);
	// The reply message of the RPC protocol, compactly serialised.
	static QByteArray replyMessage(int id, bool ok,
				       const QJsonObject &result,
				       const QString &code,
				       const QString &message);
	// The form body of a POST: "key=value" per parameter in the object's
	// key order, joined by "&".
	static QByteArray formBody(const QJsonObject &params);
	// The "name=value" part of a Set-Cookie header.
	static QByteArray sessionCookie(const QByteArray &setCookie);
	// Why an answer cut off at kMaxAnswerBytes was refused, for the user.
	static QString tooLargeMessage();

private:
	void onFinished(QNetworkReply *reply, int id, const QString &method,
			quint32 epoch, bool tooLarge);

	QNetworkAccessManager *m_network;
	QString m_host;
	int m_port;
	bool m_open = false;
	QByteArray m_cookie;
	QByteArray m_csrfToken;
	// Raised whenever the sign-in is forgotten, so that a login answer
	// arriving afterwards is not taken.
	quint32 m_signInEpoch = 0;
	int m_transferTimeoutMs = kTransferTimeoutMs;
};

// The host to use for what the user typed as a device's address, or an empty
// text when it cannot be one. A bare device number becomes the device's
// multicast-DNS name; a port after a colon is kept.
QString normalizeLanHost(const QString &text);

// A host from normalizeLanHost without the admin port the user may have
// typed, for what is stored and for the secure feed, whose port is its own.
// Drops a trailing ":digits" after a name or IPv4 address and unwraps a
// bracketed IPv6 address ("[fe80::1]:8080" gives "fe80::1"); a bare IPv6
// address and anything else come back unchanged.
QString lanHostWithoutPort(const QString &host);

// A device on the local network. Live scores come over the secure feed, so
// this link only checks that the device answers HTTP and owns the admin
// transport; it never emits `envelope` or `closed`.
class HttpLink : public DeviceLink {
	Q_OBJECT

public:
	static constexpr int kProbeTimeoutMs = 8000;

	// `address` is a host, optionally followed by ":port".
	explicit HttpLink(const QString &address, QObject *parent = nullptr);
	~HttpLink() override;

	QString kind() const override { return QStringLiteral("lan"); }
	void open() override;
	void close() override;
	RpcTransport *transport() override { return m_transport; }
	bool pollsState() const override { return true; }

	HttpAdminTransport *adminTransport() const { return m_transport; }
	QString host() const { return m_host; }
	// 0 when the address carries no port.
	int port() const { return m_port; }

	// Tests shorten it; the device expects the default.
	void setProbeTimeout(int ms) { m_probeTimeoutMs = ms; }

private:
	void onProbeFinished(QNetworkReply *reply, quint32 generation,
			     bool tooLarge);

	QString m_host;
	int m_port = 0;
	HttpAdminTransport *m_transport;
	QNetworkAccessManager *m_network;
	quint32 m_generation = 0;
	int m_probeTimeoutMs = kProbeTimeoutMs;
};

} // namespace quillmarch
