#include "device_model.h"

#include "device_catalogue.h"
#include "device_internal.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QPointer>

#include <algorithm>
#include <climits>
#include <cmath>

Q_LOGGING_CATEGORY(lcDevice, "quillmarch.sim.device")

namespace quillmarch::sim {

using detail::str;

namespace {

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
	  m_rng(config.seed)
{
	m_config.replyDelayMs = std::max(0, m_config.replyDelayMs);
	m_config.operationSpeed = std::max(0.0, m_config.operationSpeed);
	m_config.restartMs = std::max(0, m_config.restartMs);
	m_busyLeft = std::max(0, m_config.busyReplies);
	m_tick.setTimerType(Qt::PreciseTimer);
	connect(&m_tick, &QTimer::timeout, this, [this] { tick(); });
	setEnvelopesPerSecond(config.envelopesPerSecond);
	m_dueTimer.setSingleShot(true);
	connect(&m_dueTimer, &QTimer::timeout, this, &DeviceModel::runDue);
	m_realClock.start();
	m_firmware = m_config.firmwareVersion;
	m_c6Version = m_config.c6Version;

	resetToFactory();
	// A device as it comes to us: set up as configured, not as it left
	// the factory.
	m_password = m_config.password;
	m_mustChangePassword = m_password == str(kFactoryPassword);
	m_apiToken = m_config.apiToken;
	m_cloudSignIn = m_config.cloudSignIn;
	if (const VenueNetwork *n = findNetwork(m_config.wifiSsid)) {
		m_wifiSsid = n->ssid;
		m_wifiPassword = n->password;
	}
	if (m_config.espNowRole == QLatin1String("tx"))
		m_espNowConfiguredRole = m_config.espNowRole;
	m_espNowRole = m_espNowConfiguredRole;
	m_espNowPeer = m_config.espNowPeerMac.toLower();
	m_espNowKey = m_config.espNowKey.toLower();
	if (m_espNowRole == QLatin1String("tx") && m_espNowKey.isEmpty())
		m_espNowKey = randomHex(32);
	seedLog();
	logBoot();
}

QStringList DeviceModel::methodNames()
{
	QStringList names = methodTable().keys();
	names.sort();
	return names;
}

const QHash<QString, DeviceModel::Handler> &DeviceModel::methodTable()
{
	static const QHash<QString, Handler> table{
		{str("login"), &DeviceModel::login},
		{str("getStatus"), &DeviceModel::getStatus},
		{str("getState"), &DeviceModel::getState},
		{str("changePassword"), &DeviceModel::changePassword},
		{str("networkTest"), &DeviceModel::networkTest},
		{str("getSettings"), &DeviceModel::getSettings},
		{str("setSettings"), &DeviceModel::setSettings},
		{str("getControllerList"), &DeviceModel::getControllerList},
		{str("getControllerConfig"), &DeviceModel::getControllerConfig},
		{str("setControllerConfig"), &DeviceModel::setControllerConfig},
		{str("scanWifi"), &DeviceModel::scanWifi},
		{str("configureWifi"), &DeviceModel::configureWifi},
		{str("getEspNow"), &DeviceModel::getEspNow},
		{str("setEspNow"), &DeviceModel::setEspNow},
		{str("ensureApiToken"), &DeviceModel::ensureApiToken},
		{str("blePasskey"), &DeviceModel::blePasskey},
		{str("reboot"), &DeviceModel::reboot},
		{str("otaCheck"), &DeviceModel::otaCheck},
		{str("otaApply"), &DeviceModel::otaApply},
		{str("otaProgress"), &DeviceModel::otaProgress},
		{str("c6OtaStatus"), &DeviceModel::c6OtaStatus},
		{str("c6OtaApply"), &DeviceModel::c6OtaApply},
		{str("setDeviceId"), &DeviceModel::setDeviceId},
		{str("clearMqttConfig"), &DeviceModel::clearMqttConfig},
		{str("getLogs"), &DeviceModel::getLogs},
		{str("resetLocalPassword"), &DeviceModel::resetLocalPassword},
		{str("factoryReset"), &DeviceModel::factoryReset},
	};
	return table;
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
	// The scoreboard plays on while the device restarts; nobody hears.
	m_game.advance(qint64(std::llround(stepMs)));
	if (m_restarting)
		return {};
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

void DeviceModel::setMethodSilent(const QString &method, bool silent)
{
	if (silent)
		m_config.silentMethods.insert(method);
	else
		m_config.silentMethods.remove(method);
}

void DeviceModel::setMethodFailure(const QString &method, const QString &code)
{
	if (code.isEmpty())
		m_config.failingMethods.remove(method);
	else
		m_config.failingMethods.insert(method, code);
}

// ---- the device clock ----------------------------------------------------

qint64 DeviceModel::now() const
{
	if (m_taskTime >= 0)
		return m_taskTime;
	const double speed = m_config.operationSpeed;
	return m_skippedMs +
	       (speed > 0 ? qint64(double(m_realClock.elapsed()) * speed) : 0);
}

void DeviceModel::skipTime(qint64 ms)
{
	m_skippedMs += std::max<qint64>(0, ms);
	runDue();
}

void DeviceModel::after(qint64 deviceMs, std::function<void()> task)
{
	m_due.emplace(now() + std::max<qint64>(0, deviceMs), std::move(task));
	armDueTimer();
}

void DeviceModel::runDue()
{
	// Each task runs at its own time, however far the clock has moved
	// past it: a download that breaks off at 50% reports half its bytes
	// even when a test skips a minute at once. A task may add tasks or,
	// by restarting, drop all of them.
	const qint64 outer = m_taskTime;
	const qint64 until = now(); // inside a task: that task's time
	while (!m_due.empty() && m_due.begin()->first <= until) {
		m_taskTime = m_due.begin()->first;
		std::function<void()> task = std::move(m_due.begin()->second);
		m_due.erase(m_due.begin());
		task();
	}
	m_taskTime = outer;
	armDueTimer();
}

void DeviceModel::armDueTimer()
{
	const double speed = m_config.operationSpeed;
	if (m_due.empty() || speed <= 0) {
		m_dueTimer.stop();
		return;
	}
	const double wait = double(m_due.begin()->first - now()) / speed;
	m_dueTimer.start(
		int(std::clamp(std::ceil(wait), 0.0, double(INT_MAX))));
}

// ---- lifecycle -------------------------------------------------------------

void DeviceModel::restart(const QString &cause)
{
	if (m_restarting)
		return;
	log(str("app"), QStringLiteral("restarting: %1").arg(cause));
	qCInfo(lcDevice).noquote() << "restarting:" << cause;
	m_restarting = true;
	++m_boot; // every sign-in and every answer on its way is gone
	m_due.clear();
	Q_EMIT restarting();
	// Whatever the cause, the chip sees a restart by software.
	after(m_config.restartMs, [this] { boot(str("software")); });
}

void DeviceModel::boot(const QString &reason)
{
	m_restarting = false;
	m_bootAt = now();
	m_resetReason = reason;
	m_espNowRole = m_espNowConfiguredRole;
	if (!m_nextFirmware.isEmpty())
		m_firmware = m_nextFirmware;
	m_nextFirmware.clear();
	m_provision = Provision();
	m_ota = Transfer();
	m_c6 = Transfer();
	m_netTest = NetworkTest();
	logBoot();
	qCInfo(lcDevice).noquote() << "up again, firmware" << m_firmware;
	Q_EMIT restarted();
}

void DeviceModel::resetToFactory()
{
	m_deviceId = m_config.deviceId;
	m_password = str(kFactoryPassword);
	m_mustChangePassword = true;
	m_apiToken.clear();
	m_passkey = QStringLiteral("%1").arg(draw() % 1000000, 6, 10,
					     QLatin1Char('0'));
	m_wifiSsid.clear();
	m_wifiPassword.clear();
	m_cloudSignIn = false;
	m_espNowConfiguredRole = str("off");
	m_espNowPeer.clear();
	m_espNowKey.clear();
	m_controller = defaultController();
	m_settings = QJsonObject{
		{str("http_endpoint_enabled"), true},
		{str("mqtt_config_enabled"), true},
		{str("tcp_feed_enabled"), true},
		{str("test_cloud_data_enabled"), false},
		{str("wireless_output_enabled"), false},
		{str("wireless_output_network_id"), 1},
		{str("wireless_output_channel"), 1},
		{str("ethernet_bridge_output_enabled"), false},
		{str("ethernet_bridge_peer_host"), QString()},
		{str("ethernet_bridge_port"), 1011},
		{str("usb_tunnel_enabled"), false},
		{str("usb_tunnel_port"), 18883},
		{str("wireless_auto_scan"), true},
		{str("wireless_group"), 0},
		{str("wireless_channel"), 0},
		{str("xbee_channel"), 255},
		{str("xbee_pan_id"), 65535},
	};
}

QString DeviceModel::randomHex(int digits)
{
	QString hex;
	while (hex.size() < digits)
		hex += QStringLiteral("%1").arg(draw(), 8, 16,
						QLatin1Char('0'));
	return hex.left(digits);
}

// ---- dispatch --------------------------------------------------------------

void DeviceModel::deliver(const QJsonObject &reply, const ReplyFn &to,
			  const std::function<void()> &afterReply)
{
	// An answer still waiting when the device restarts or goes away is
	// lost, as it would be on a device that lost power.
	QPointer<DeviceModel> self(this);
	const quint64 boot = m_boot;
	auto send = [self, boot, reply, to, afterReply] {
		if (!self || self->m_boot != boot)
			return;
		if (to)
			to(reply);
		if (afterReply)
			afterReply();
	};
	if (m_config.replyDelayMs <= 0)
		send();
	else
		QTimer::singleShot(m_config.replyDelayMs, this, send);
}

void DeviceModel::handleMessage(Session &session, const QByteArray &message,
				const ReplyFn &reply)
{
	if (m_restarting)
		return;
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

bool DeviceModel::answerBusy()
{
	if (m_busyLeft > 0) {
		--m_busyLeft;
		return true;
	}
	// Drawn for every request, so a seed fixes which ones are refused.
	const double chance = m_config.busyChance;
	return chance > 0 && double(draw()) / 4294967296.0 < chance;
}

void DeviceModel::handleRequest(Session &session, const QJsonObject &request,
				const ReplyFn &reply)
{
	runDue(); // a timer may lag behind the device clock
	if (m_restarting) {
		qCInfo(lcDevice) << "restarting; request not read";
		return;
	}
	QJsonValue id;
	const QJsonValue methodValue = request.value(QLatin1String("method"));
	const QJsonValue params = request.value(QLatin1String("params"));
	const QString method = methodValue.toString();
	const Handler handler = methodTable().value(method);

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
	} else if (!handler) {
		early = Outcome::failure(
			str("unknown_method"),
			QStringLiteral("The device does not know '%1'.")
				.arg(method));
	} else if (m_config.silentMethods.contains(method)) {
		qCInfo(lcDevice).noquote() << "not answering" << method;
		Q_EMIT requestUnanswered(method);
		return;
	} else if (answerBusy()) {
		early = Outcome::failure(
			str("busy"),
			str("The device is busy. Try again in a moment."));
	} else if (m_config.failingMethods.contains(method)) {
		early = Outcome::failure(
			m_config.failingMethods.value(method),
			QStringLiteral("The device could not complete '%1'.")
				.arg(method));
	} else if ((!session.signedIn || session.boot != m_boot) &&
		   method != QLatin1String("login")) {
		early = Outcome::failure(str("unauthorized"),
					 str("Sign in to the device first."));
	}
	if (!early.ok) {
		Q_EMIT requestHandled(method, false);
		deliver(replyFor(id, early), reply);
		return;
	}

	// A handler may answer later (a Wi-Fi scan takes a while), so the
	// reply is built when it responds, not when it returns.
	QPointer<DeviceModel> self(this);
	const quint64 boot = m_boot;
	const Respond respond = [self, boot, id, method,
				 reply](const Outcome &out) {
		if (!self || self->m_boot != boot)
			return;
		Q_EMIT self->requestHandled(method, out.ok);
		self->deliver(replyFor(id, out), reply, out.afterReply);
	};
	(this->*handler)(session, params.toObject(), respond);
}

// ---- sign-in and status ----------------------------------------------------

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
		log(str("admin"), str("sign-in refused: wrong password"), 'W');
		respond(Outcome::failure(str("invalid_credentials"),
					 str("Wrong password.")));
		return;
	}
	m_failedLogins = 0;
	session.signedIn = true;
	session.boot = m_boot;
	session.csrfToken = randomHex(32);
	log(str("admin"), str("signed in"));
	QJsonObject result;
	result.insert(str("must_change_password"), m_mustChangePassword);
	result.insert(str("csrf_token"), session.csrfToken);
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
	if (chosen.size() < 8 || chosen.toLower() == str(kFactoryPassword)) {
		respond(Outcome::failure(
			str("weak_password"),
			str("Use at least 8 characters, and not the factory "
			    "password.")));
		return;
	}
	m_password = chosen;
	m_mustChangePassword = false;
	log(str("admin"), str("admin password changed"));
	respond(Outcome::success());
}

void DeviceModel::getStatus(Session &session, const QJsonObject &,
			    const Respond &respond)
{
	QJsonObject s = wifiStatus();
	const bool cloud = m_cloudSignIn && wifiUp();
	s.insert(str("device_id"), m_deviceId);
	s.insert(str("firmware_version"), m_firmware);
	s.insert(str("eth_ip"), QString()); // no cable in this venue
	s.insert(str("mqtt_connected"), cloud);
	s.insert(str("mqtt_transport"), cloud ? str("mqtt_tls") : QString());
	s.insert(str("tcp_clients"), 0);
	s.insert(str("reset_reason"), m_resetReason);
	s.insert(str("uptime_s"), double((now() - m_bootAt) / 1000));
	s.insert(str("tls_fingerprint"), fingerprintFor(m_config.deviceId));
	s.insert(str("api_token_configured"), apiTokenConfigured());
	s.insert(str("must_change_password"), m_mustChangePassword);
	s.insert(str("csrf_token"), session.csrfToken);
	s.insert(str("wifi_provision"), provisionStatus());
	respond(Outcome::success(s));
}

void DeviceModel::getState(Session &, const QJsonObject &,
			   const Respond &respond)
{
	respond(Outcome::success(currentEnvelope()));
}

} // namespace quillmarch::sim
