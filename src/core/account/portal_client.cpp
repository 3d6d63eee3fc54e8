#include "account/portal_client.h"
#include "base/version.h"

#include <algorithm>
#include <cmath>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QUrl>
#include <QVariant>

#ifndef QUILLMARCH_PORTAL_URL
#error "QUILLMARCH_PORTAL_URL must name the account portal's base address"
#endif

namespace quillmarch {

namespace {

// A session file holds a handful of cookies; anything far larger is not
// ours and is not worth reading into memory.
constexpr qint64 kMaxSessionFileBytes = 1 << 20;

// Set on a successful HTTP status whose body is not what the route promises.
const QString kBadResponse = QStringLiteral("bad_response");

// A browser source between 16 and 8192 pixels a side is what the graphics
// source can show. A fractional size is rounded; nonsense (not a positive
// number) falls back to the default.
int outputSize(const QJsonValue &value, int fallback)
{
	const double d = value.toDouble(-1);
	if (!value.isDouble() || !std::isfinite(d) || d <= 0)
		return fallback;
	return int(std::lround(std::clamp(d, 16.0, 8192.0)));
}

QString stringMember(const QJsonObject &o, const char *key)
{
	return o.value(QLatin1String(key)).toString();
}

// The cut-off answer of a transfer that broke or timed out after the status
// line arrived counts as no answer for the user: the connection failed.
bool transferBroke(QNetworkReply::NetworkError error)
{
	switch (error) {
	case QNetworkReply::NoError:
	case QNetworkReply::ContentAccessDenied:
	case QNetworkReply::ContentOperationNotPermittedError:
	case QNetworkReply::ContentNotFoundError:
	case QNetworkReply::AuthenticationRequiredError:
	case QNetworkReply::ContentReSendError:
	case QNetworkReply::ContentConflictError:
	case QNetworkReply::ContentGoneError:
	case QNetworkReply::UnknownContentError:
	case QNetworkReply::ProtocolInvalidOperationError:
	case QNetworkReply::InternalServerError:
	case QNetworkReply::OperationNotImplementedError:
	case QNetworkReply::ServiceUnavailableError:
	case QNetworkReply::UnknownServerError:
		return false;
	default:
		return true;
	}
}

bool bodyHasExpectedShape(const QJsonObject &body, bool parsed,
			  const char *arrayKey)
{
	if (!parsed)
		return false;
	return !arrayKey || body.value(QLatin1String(arrayKey)).isArray();
}

} // namespace

QString PortalDevice::displayName() const
{
	if (nickname.isEmpty())
		return deviceId;
	return nickname + QStringLiteral(" (") + deviceId + QLatin1Char(')');
}

void PortalClient::Jar::load()
{
	if (m_sessionFile.isEmpty())
		return;
	QFile file(m_sessionFile);
	if (!file.open(QIODevice::ReadOnly))
		return;
	QJsonArray items;
	if (file.size() <= kMaxSessionFileBytes)
		items = QJsonDocument::fromJson(file.readAll()).array();
	QList<QNetworkCookie> cookies;
	for (const QJsonValue &item : items)
		cookies +=
			QNetworkCookie::parseCookies(item.toString().toUtf8());
	setAllCookies(cookies);
}

void PortalClient::Jar::save() const
{
	if (m_sessionFile.isEmpty())
		return;
	const QDateTime now = QDateTime::currentDateTimeUtc();
	QJsonArray items;
	for (const QNetworkCookie &cookie : allCookies()) {
		if (!cookie.isSessionCookie() && cookie.expirationDate() <= now)
			continue;
		items.append(QString::fromUtf8(
			cookie.toRawForm(QNetworkCookie::Full)));
	}
	QDir().mkpath(QFileInfo(m_sessionFile).absolutePath());
	QSaveFile file(m_sessionFile);
	if (!file.open(QIODevice::WriteOnly))
		return;
	// Before the first byte: the cookies are the user's sign-in.
	file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
	file.write(QJsonDocument(items).toJson(QJsonDocument::Compact));
	file.commit();
}

void PortalClient::Jar::wipe()
{
	setAllCookies({});
	if (!m_sessionFile.isEmpty())
		QFile::remove(m_sessionFile);
}

QString PortalClient::defaultBaseUrl()
{
	return QStringLiteral(QUILLMARCH_PORTAL_URL);
}

PortalClient::PortalClient(QObject *parent)
	: PortalClient(defaultBaseUrl(), parent)
{
}

PortalClient::PortalClient(const QString &baseUrl, QObject *parent)
	: QObject(parent),
	  m_baseUrl(baseUrl),
	  m_manager(new QNetworkAccessManager(this)),
	  m_jar(new Jar(m_manager))
{
	while (m_baseUrl.endsWith(QLatin1Char('/')))
		m_baseUrl.chop(1);
	m_manager->setCookieJar(m_jar);
	// The API never redirects. Something that does (a hotel's sign-in
	// page, a proxy) is not the portal, and Qt 5 and 6 would otherwise
	// treat it differently.
	m_manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

void PortalClient::setSessionFile(const QString &path)
{
	m_jar->setSessionFile(path);
	m_jar->load();
}

QString PortalClient::devicePath(const QString &deviceId)
{
	// One path segment whatever the id holds, slashes included.
	return QStringLiteral("/devices/") +
	       QString::fromLatin1(QUrl::toPercentEncoding(deviceId));
}

QNetworkRequest PortalClient::newRequest(const QUrl &url) const
{
	QNetworkRequest req(url);
	req.setHeader(QNetworkRequest::ContentTypeHeader,
		      QStringLiteral("application/json"));
	req.setRawHeader("Accept", "application/json");
	req.setRawHeader("User-Agent", "Quillmarch-OBS/" QUILLMARCH_VERSION);
	req.setTransferTimeout(m_transferTimeoutMs);
	return req;
}

void PortalClient::request(const QByteArray &verb, const QString &path,
			   const QJsonObject *body, Expect expect,
			   Callback done, bool signOutOn401)
{
	const QNetworkRequest req = newRequest(QUrl(m_baseUrl + path));
	const QByteArray payload =
		body ? QJsonDocument(*body).toJson(QJsonDocument::Compact)
		     : QByteArray();

	QNetworkReply *reply = nullptr;
	if (verb == "GET")
		reply = m_manager->get(req);
	else if (verb == "POST")
		reply = m_manager->post(req, payload);
	else if (verb == "PUT")
		reply = m_manager->put(req, payload);
	else
		reply = m_manager->sendCustomRequest(req, verb, payload);

	connect(reply, &QNetworkReply::finished, this,
		[this, reply, expect, done = std::move(done), signOutOn401] {
			finish(reply, expect, done, signOutOn401);
		});
}

void PortalClient::finish(QNetworkReply *reply, Expect expect,
			  const Callback &done, bool signOutOn401)
{
	reply->deleteLater();
	PortalResult r;
	r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute)
			   .toInt();
	const QNetworkReply::NetworkError error = reply->error();
	QJsonParseError parseError{};
	// A transfer that was abandoned has nothing left to read.
	const QJsonDocument doc = QJsonDocument::fromJson(
		reply->isOpen() ? reply->readAll() : QByteArray(), &parseError);
	const bool parsed = parseError.error == QJsonParseError::NoError &&
			    doc.isObject();
	if (parsed)
		r.body = doc.object();
	r.ok = r.status >= 200 && r.status <= 299 &&
	       error == QNetworkReply::NoError;

	bool unreadable = false;
	if (r.ok && expect != Expect::Nothing) {
		const char *arrayKey = expect == Expect::DeviceList ? "devices"
				       : expect == Expect::OutputList
					       ? "outputs"
					       : nullptr;
		unreadable = !bodyHasExpectedShape(r.body, parsed, arrayKey);
		r.ok = !unreadable;
	}

	if (!r.ok) {
		QString serverMessage;
		const QJsonValue detail = r.body.value(QLatin1String("detail"));
		if (detail.isObject())
			r.code = stringMember(detail.toObject(), "error");
		else if (detail.isString())
			serverMessage = detail.toString();
		if (r.code.isEmpty())
			r.code = stringMember(r.body, "error");
		if (r.code.isEmpty() && unreadable)
			r.code = kBadResponse;
		// An answer cut off after its status line is no answer.
		if (r.status != 0 && transferBroke(error))
			r.status = 0;
		r.message = friendly(r.status, r.code, serverMessage);
	}

	if (r.status == 401 && signOutOn401 && m_signedIn)
		setSignedIn(false);
	if (done)
		done(r);
}

void PortalClient::setSignedIn(bool signedIn)
{
	if (m_signedIn == signedIn)
		return;
	m_signedIn = signedIn;
	Q_EMIT signedInChanged(signedIn);
}

void PortalClient::finishSignIn(const QJsonObject &body)
{
	const QJsonObject user = body.value(QLatin1String("user")).toObject();
	m_email = stringMember(user, "email");
	m_role = stringMember(user, "role");
	setSignedIn(true);
	m_jar->save();
}

void PortalClient::signIn(const QString &email, const QString &password,
			  Callback done)
{
	const QJsonObject body{{QStringLiteral("email"), email.trimmed()},
			       {QStringLiteral("password"), password}};
	request(
		"POST", QStringLiteral("/auth/login"), &body, Expect::Object,
		[this, done = std::move(done)](const PortalResult &r) {
			if (r.ok &&
			    !r.body.value(QLatin1String("totp_required"))
				     .toBool())
				finishSignIn(r.body);
			if (done)
				done(r);
		},
		false);
}

void PortalClient::signInWithCode(const QString &challengeId,
				  const QString &code, Callback done)
{
	const QJsonObject body{{QStringLiteral("challenge_id"), challengeId},
			       {QStringLiteral("code"), code.trimmed()}};
	request(
		"POST", QStringLiteral("/auth/login/totp"), &body,
		Expect::Object,
		[this, done = std::move(done)](const PortalResult &r) {
			if (r.ok)
				finishSignIn(r.body);
			if (done)
				done(r);
		},
		false);
}

void PortalClient::restoreSession(Callback done)
{
	request(
		"GET", QStringLiteral("/auth/me"), nullptr, Expect::Object,
		[this, done = std::move(done)](const PortalResult &r) {
			if (r.ok)
				finishSignIn(r.body);
			else if (r.status == 401)
				m_jar->wipe();
			if (done)
				done(r);
		},
		false);
}

void PortalClient::signOut()
{
	// The request carries the cookies explicitly: the jar is emptied
	// below, before the request may have picked them up.
	const QUrl url(m_baseUrl + QStringLiteral("/auth/logout"));
	QNetworkRequest req = newRequest(url);
	const QList<QNetworkCookie> cookies = m_jar->cookiesForUrl(url);
	if (!cookies.isEmpty())
		req.setHeader(QNetworkRequest::CookieHeader,
			      QVariant::fromValue(cookies));
	QNetworkReply *reply = m_manager->post(req, QByteArray());
	connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);

	m_jar->wipe();
	m_email.clear();
	m_role.clear();
	setSignedIn(false);
}

void PortalClient::listDevices(Callback done)
{
	request("GET", QStringLiteral("/devices"), nullptr, Expect::DeviceList,
		std::move(done), true);
}

void PortalClient::deviceState(const QString &deviceId, Callback done)
{
	request("GET", devicePath(deviceId) + QStringLiteral("/state"), nullptr,
		Expect::Object, std::move(done), true);
}

void PortalClient::sendCommand(const QString &deviceId, const QString &command,
			       const QJsonObject &args, Callback done)
{
	const QJsonObject body{{QStringLiteral("args"), args}};
	request("POST",
		devicePath(deviceId) + QStringLiteral("/cmd/") + command, &body,
		Expect::Nothing, std::move(done), true);
}

void PortalClient::setConfig(const QString &deviceId, const QJsonObject &config,
			     Callback done)
{
	const QJsonObject body{{QStringLiteral("config"), config}};
	request("POST", devicePath(deviceId) + QStringLiteral("/config"), &body,
		Expect::Nothing, std::move(done), true);
}

void PortalClient::linkDevice(const QString &deviceId, const QString &code,
			      const QString &via, Callback done)
{
	QJsonObject body{{QStringLiteral("device_id"), deviceId},
			 {QStringLiteral("via"), via}};
	if (!code.isEmpty())
		body.insert(QStringLiteral("code"), code);
	request("POST", QStringLiteral("/devices/link"), &body, Expect::Nothing,
		std::move(done), true);
}

void PortalClient::revealPairing(const QString &deviceId, Callback done)
{
	request("POST",
		devicePath(deviceId) + QStringLiteral("/pairing/reveal"),
		nullptr, Expect::Object, std::move(done), true);
}

void PortalClient::savePairing(const QString &deviceId,
			       const QString &adminPassword, Callback done)
{
	const QJsonObject body{
		{QStringLiteral("admin_password"), adminPassword}};
	request("PUT", devicePath(deviceId) + QStringLiteral("/pairing"), &body,
		Expect::Nothing, std::move(done), true);
}

void PortalClient::listGraphicsOutputs(Callback done)
{
	request("GET", QStringLiteral("/api/graphics/outputs"), nullptr,
		Expect::OutputList, std::move(done), true);
}

QList<PortalDevice> PortalClient::parseDevices(const QJsonObject &body)
{
	QList<PortalDevice> out;
	const QJsonArray items = body.value(QLatin1String("devices")).toArray();
	for (const QJsonValue &item : items) {
		const QJsonObject o = item.toObject();
		PortalDevice d;
		d.deviceId = stringMember(o, "device_id");
		if (d.deviceId.isEmpty())
			continue;
		d.nickname = stringMember(o, "nickname");
		d.status = stringMember(o, "status");
		d.blePasskey = stringMember(o, "ble_passkey");
		out.append(d);
	}
	return out;
}

QList<GraphicsOutput> PortalClient::parseOutputs(const QJsonObject &body,
						 const QString &base)
{
	QList<GraphicsOutput> out;
	const QJsonArray items = body.value(QLatin1String("outputs")).toArray();
	for (const QJsonValue &item : items) {
		const QJsonObject o = item.toObject();
		GraphicsOutput g;
		g.id = stringMember(o, "id");
		g.name = stringMember(o, "name");
		g.shareToken = stringMember(o, "share_token");
		g.deviceId = stringMember(o, "device_id");
		const QJsonValue w = o.value(QLatin1String("width"));
		const QJsonValue h = o.value(QLatin1String("height"));
		g.width = outputSize(w, 1920);
		g.height = outputSize(h, 1080);
		if (g.id.isEmpty() || g.shareToken.isEmpty())
			continue;
		if (g.name.isEmpty())
			g.name = g.id;
		g.shareUrl =
			base + QStringLiteral("/graphics/o/") + g.shareToken;
		out.append(g);
	}
	return out;
}

QString PortalClient::friendly(int status, const QString &code,
			       const QString &serverMessage)
{
	const auto is = [&code](const char *c) {
		return code == QLatin1String(c);
	};
	if (is("invalid_credentials"))
		return tr(
			"That email and password did not match. Check them and try again.");
	if (is("invalid_totp_code"))
		return tr(
			"That code was not accepted. Enter the current 6-digit code from your authenticator app.");
	if (is("rate_limited") || status == 429)
		return tr("Too many attempts. Wait a minute and try again.");
	if (is("cloud_subscription_required") || status == 402)
		return tr(
			"This device needs an active Quillmarch cloud plan for that.");
	if (is("device_unreachable_or_timeout") || status == 504)
		return tr(
			"The device did not answer. Check that it is powered on and online.");
	if (is("gateway_unreachable") || status == 502)
		return tr(
			"The Quillmarch service could not reach the live data feed. Try again shortly.");
	if (is("device_not_found_or_not_owned") ||
	    is("claim_code_device_mismatch"))
		return tr("That device is not on this account.");
	if (is("not_authenticated") || status == 401)
		return tr("You have been signed out. Sign in again.");
	if (status == 0)
		return tr(
			"Could not reach Quillmarch. Check your internet connection.");
	if (status == 403)
		return tr("Your account role is not allowed to do that.");
	// A blank message from the server would leave the user with nothing
	// to read; the generic sentences below say more.
	if (!serverMessage.trimmed().isEmpty())
		return serverMessage;
	if (is("bad_response"))
		return tr(
			"Quillmarch sent an answer that could not be read. Try again shortly.");
	return tr("Quillmarch returned an error (%1).").arg(status);
}

} // namespace quillmarch
