#include "device_model.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPointer>

#include <algorithm>
#include <cmath>

Q_LOGGING_CATEGORY(lcDevice, "quillmarch.sim.device")

namespace quillmarch::sim {

namespace {

QString str(const char *text)
{
	return QString::fromLatin1(text);
}

// The id of a request, when it is usable: an integral JSON number.
bool readId(const QJsonObject &request, QJsonValue *id)
{
	const QJsonValue value = request.value(QLatin1String("id"));
	if (!value.isDouble())
		return false;
	const double number = value.toDouble();
	if (!std::isfinite(number) || std::floor(number) != number ||
	    std::fabs(number) > 9007199254740992.0)
		return false;
	*id = value;
	return true;
}

QJsonObject replyFor(const QJsonValue &id, const DeviceModel::Outcome &out)
{
	QJsonObject reply;
	reply.insert(QStringLiteral("id"), id);
	reply.insert(QStringLiteral("ok"), out.ok);
	if (out.ok) {
		reply.insert(QStringLiteral("result"), out.result);
	} else {
		QJsonObject error;
		error.insert(QStringLiteral("code"), out.code);
		error.insert(QStringLiteral("message"), out.message);
		reply.insert(QStringLiteral("error"), error);
	}
	return reply;
}

// A fingerprint that looks like the SHA-256 of a certificate and stays the
// same for a device id, as a real device's does across restarts.
QString fingerprintFor(const QString &deviceId)
{
	const QByteArray hex =
		QCryptographicHash::hash(deviceId.toUtf8(),
					 QCryptographicHash::Sha256)
			.toHex()
			.toUpper();
	QStringList pairs;
	for (int i = 0; i + 1 < hex.size(); i += 2)
		pairs.append(QString::fromLatin1(hex.mid(i, 2)));
	return pairs.join(QLatin1Char(':'));
}

} // namespace

DeviceModel::Outcome DeviceModel::Outcome::success(const QJsonObject &result)
{
	Outcome out;
	out.result = result;
	return out;
}

DeviceModel::Outcome DeviceModel::Outcome::failure(const QString &code,
						   const QString &message)
{
	Outcome out;
	out.ok = false;
	out.code = code;
	out.message = message;
	return out;
}

DeviceModel::DeviceModel(QObject *parent) : DeviceModel(Config(), parent) {}

DeviceModel::DeviceModel(const Config &config, QObject *parent)
	: QObject(parent),
	  m_config(config),
	  m_game(config.game),
	  m_password(config.password)
{
	m_mustChangePassword = m_password ==
			       QString::fromLatin1(kFactoryPassword);
	m_config.replyDelayMs = std::max(0, m_config.replyDelayMs);
	m_tick.setTimerType(Qt::PreciseTimer);
	connect(&m_tick, &QTimer::timeout, this, [this] { tick(); });
	setEnvelopesPerSecond(config.envelopesPerSecond);
	m_uptime.start();
	registerMethods();
}

void DeviceModel::start()
{
	m_tick.start();
}

void DeviceModel::stop()
{
	m_tick.stop();
}

void DeviceModel::setEnvelopesPerSecond(int rate)
{
	m_rate = std::clamp(rate, 1, kMaxRate);
	m_tick.setInterval(1000 / m_rate);
}

QJsonObject DeviceModel::tick()
{
	const double stepMs = 1000.0 / m_rate * m_config.gameSpeed;
	m_game.advance(qint64(std::llround(stepMs)));
	const QJsonObject env =
		m_game.nextEnvelope(QDateTime::currentMSecsSinceEpoch());
	Q_EMIT envelope(env);
	return env;
}

QJsonObject DeviceModel::currentEnvelope() const
{
	QJsonObject env = m_game.lastEnvelope();
	if (m_game.seq() == 0)
		env.insert(QStringLiteral("ts_ms"),
			   double(QDateTime::currentMSecsSinceEpoch()));
	return env;
}

void DeviceModel::registerMethods()
{
	m_methods.insert(QStringLiteral("login"), &DeviceModel::login);
	m_methods.insert(QStringLiteral("getStatus"), &DeviceModel::getStatus);
	m_methods.insert(QStringLiteral("getState"), &DeviceModel::getState);
	m_methods.insert(QStringLiteral("changePassword"),
			 &DeviceModel::changePassword);
}

void DeviceModel::deliver(const QJsonObject &reply, const ReplyFn &to)
{
	if (!to)
		return;
	if (m_config.replyDelayMs <= 0) {
		to(reply);
		return;
	}
	// Bound to this object: a reply still waiting when the device goes
	// away is dropped, as it would be by a device that lost power.
	QTimer::singleShot(m_config.replyDelayMs, this,
			   [reply, to] { to(reply); });
}

void DeviceModel::handleMessage(Session &session, const QByteArray &message,
				const ReplyFn &reply)
{
	QJsonParseError error{};
	const QJsonDocument doc = QJsonDocument::fromJson(message, &error);
	if (error.error != QJsonParseError::NoError || !doc.isObject()) {
		Q_EMIT requestHandled(QString(), false);
		deliver(replyFor(QJsonValue::Null,
				 Outcome::failure(
					 str("bad_request"),
					 str("The request is not a JSON "
					     "object."))),
			reply);
		return;
	}
	handleRequest(session, doc.object(), reply);
}

void DeviceModel::handleRequest(Session &session, const QJsonObject &request,
				const ReplyFn &reply)
{
	QJsonValue id;
	const QJsonValue methodValue = request.value(QLatin1String("method"));
	const QJsonValue params = request.value(QLatin1String("params"));
	const QString method = methodValue.toString();

	Outcome early;
	if (!readId(request, &id)) {
		early = Outcome::failure(str("bad_request"),
					 str("The request has no usable id."));
		id = QJsonValue::Null;
	} else if (!methodValue.isString() || method.isEmpty()) {
		early = Outcome::failure(str("bad_request"),
					 str("The request names no method."));
	} else if (!params.isUndefined() && !params.isObject()) {
		early = Outcome::failure(str("bad_request"),
					 str("The parameters must be an "
					     "object."));
	} else if (!m_methods.contains(method)) {
		early = Outcome::failure(
			str("unknown_method"),
			QStringLiteral("The device does not know '%1'.")
				.arg(method));
	} else if (!session.signedIn && method != QLatin1String("login")) {
		early = Outcome::failure(str("unauthorized"),
					 str("Sign in to the device first."));
	}
	if (!early.ok) {
		Q_EMIT requestHandled(method, false);
		deliver(replyFor(id, early), reply);
		return;
	}

	const Handler handler = m_methods.value(method);
	// A handler may answer later (a Wi-Fi scan takes a while), so the
	// reply is built when it responds, not when it returns.
	QPointer<DeviceModel> self(this);
	const Respond respond = [self, id, method, reply](const Outcome &out) {
		if (!self)
			return;
		Q_EMIT self->requestHandled(method, out.ok);
		self->deliver(replyFor(id, out), reply);
	};
	(this->*handler)(session, params.toObject(), respond);
}

bool DeviceModel::lockedOut() const
{
	return m_lockout.isValid() && m_lockout.elapsed() < m_config.lockoutMs;
}

void DeviceModel::login(Session &session, const QJsonObject &params,
			const Respond &respond)
{
	if (m_lockout.isValid() && !lockedOut()) {
		m_lockout.invalidate();
		m_failedLogins = 0;
	}
	if (lockedOut()) {
		respond(Outcome::failure(
			str("rate_limited"),
			str("Too many wrong passwords. Wait a minute and try "
			    "again.")));
		return;
	}
	const QJsonValue password = params.value(QLatin1String("password"));
	if (!password.isString() || password.toString() != m_password) {
		session.signedIn = false;
		if (++m_failedLogins >= m_config.maxFailedLogins)
			m_lockout.start();
		qCInfo(lcDevice) << "login refused, failure" << m_failedLogins;
		respond(Outcome::failure(str("invalid_credentials"),
					 str("Wrong password.")));
		return;
	}
	m_failedLogins = 0;
	session.signedIn = true;
	qCInfo(lcDevice)
		<< "signed in; must change password:" << m_mustChangePassword;
	QJsonObject result;
	result.insert(QStringLiteral("must_change_password"),
		      m_mustChangePassword);
	respond(Outcome::success(result));
}

void DeviceModel::changePassword(Session &, const QJsonObject &params,
				 const Respond &respond)
{
	const QString current =
		params.value(QLatin1String("current_password")).toString();
	const QJsonValue next = params.value(QLatin1String("new_password"));
	const QJsonValue confirm =
		params.value(QLatin1String("confirm_password"));
	if (!next.isString() || !confirm.isString()) {
		respond(Outcome::failure(
			str("bad_request"),
			str("Give the new password and its confirmation.")));
		return;
	}
	if (current != m_password) {
		respond(Outcome::failure(str("invalid_credentials"),
					 str("The current password is wrong.")));
		return;
	}
	if (next.toString() != confirm.toString()) {
		respond(Outcome::failure(
			str("password_mismatch"),
			str("The new password and its confirmation differ.")));
		return;
	}
	const QString chosen = next.toString();
	if (chosen.size() < 8 ||
	    chosen.toLower() == QString::fromLatin1(kFactoryPassword)) {
		respond(Outcome::failure(
			str("weak_password"),
			str("Use at least 8 characters, and not the factory "
			    "password.")));
		return;
	}
	m_password = chosen;
	m_mustChangePassword = false;
	qCInfo(lcDevice) << "admin password changed";
	respond(Outcome::success());
}

void DeviceModel::getStatus(Session &, const QJsonObject &,
			    const Respond &respond)
{
	QJsonObject provision;
	provision.insert(QStringLiteral("state"), QStringLiteral("idle"));
	provision.insert(QStringLiteral("detail"), QString());
	provision.insert(QStringLiteral("elapsed_ms"), 0);

	QJsonObject s;
	s.insert(QStringLiteral("device_id"), m_config.deviceId);
	s.insert(QStringLiteral("firmware_version"), m_config.firmwareVersion);
	s.insert(QStringLiteral("wifi_sta_ip"), QStringLiteral("192.168.1.57"));
	s.insert(QStringLiteral("wifi_sta_ssid"), QStringLiteral("VenueNet"));
	s.insert(QStringLiteral("wifi_sta_status"),
		 QStringLiteral("connected"));
	s.insert(QStringLiteral("wifi_sta_rssi"), -58);
	s.insert(QStringLiteral("eth_ip"), QString());
	s.insert(QStringLiteral("mqtt_connected"), false);
	s.insert(QStringLiteral("mqtt_transport"), QStringLiteral("none"));
	s.insert(QStringLiteral("tcp_clients"), 0);
	s.insert(QStringLiteral("reset_reason"), QStringLiteral("power_on"));
	s.insert(QStringLiteral("uptime_s"), double(m_uptime.elapsed() / 1000));
	s.insert(QStringLiteral("tls_fingerprint"),
		 fingerprintFor(m_config.deviceId));
	s.insert(QStringLiteral("api_token_configured"), apiTokenConfigured());
	s.insert(QStringLiteral("must_change_password"), m_mustChangePassword);
	s.insert(QStringLiteral("wifi_provision"), provision);
	respond(Outcome::success(s));
}

void DeviceModel::getState(Session &, const QJsonObject &,
			   const Respond &respond)
{
	respond(Outcome::success(currentEnvelope()));
}

} // namespace quillmarch::sim
