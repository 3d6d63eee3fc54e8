// The device's settings, scoreboard choice, identity, credentials and log.

#include "device_catalogue.h"
#include "device_internal.h"
#include "device_model.h"

#include <QRegularExpression>

namespace quillmarch::sim {

using detail::str;

namespace {

constexpr int kMaxLogLines = 400;

// What setSettings accepts for each key. A "keep" value leaves the
// setting as it is (the radios' "unchanged").
struct SettingRule {
	const char *key;
	enum { Bool, Int, Text } kind;
	qint64 low = 0;
	qint64 high = 0;
	qint64 keep = -1;
};

const SettingRule kSettingRules[] = {
	{"http_endpoint_enabled", SettingRule::Bool},
	{"mqtt_config_enabled", SettingRule::Bool},
	{"tcp_feed_enabled", SettingRule::Bool},
	{"test_cloud_data_enabled", SettingRule::Bool},
	{"wireless_output_enabled", SettingRule::Bool},
	{"wireless_output_network_id", SettingRule::Int, 1, 20},
	{"wireless_output_channel", SettingRule::Int, 1, 10},
	{"ethernet_bridge_output_enabled", SettingRule::Bool},
	{"ethernet_bridge_peer_host", SettingRule::Text, 0, 63},
	{"ethernet_bridge_port", SettingRule::Int, 1, 65535},
	{"usb_tunnel_enabled", SettingRule::Bool},
	{"usb_tunnel_port", SettingRule::Int, 1, 65535},
	{"wireless_auto_scan", SettingRule::Bool},
	{"wireless_group", SettingRule::Int, 0, 255},
	{"wireless_channel", SettingRule::Int, 0, 79},
	{"xbee_channel", SettingRule::Int, 0x0B, 0x1A, 255},
	{"xbee_pan_id", SettingRule::Int, 0, 0xFFFE, 65535},
};

const char *const kControllerKeys[] = {"manufacturer", "model", "sport",
				       "input_type"};

// Checks one value against its rule; false with a sentence when it does
// not fit.
bool checkSetting(const SettingRule &rule, const QJsonValue &value,
		  QString *why)
{
	const QString key = str(rule.key);
	switch (rule.kind) {
	case SettingRule::Bool:
		if (value.isBool())
			return true;
		*why = QStringLiteral("%1 is true or false.").arg(key);
		return false;
	case SettingRule::Int:
		if (detail::wholeNumberIn(value, rule.low, rule.high) ||
		    (rule.keep >= 0 &&
		     detail::wholeNumberIn(value, rule.keep, rule.keep)))
			return true;
		*why = QStringLiteral("%1 takes %2 to %3.")
			       .arg(key)
			       .arg(rule.low)
			       .arg(rule.high);
		return false;
	case SettingRule::Text:
		if (value.isString() && value.toString().size() <= rule.high)
			return true;
		*why = QStringLiteral("%1 is a text of at most %2 characters.")
			       .arg(key)
			       .arg(rule.high);
		return false;
	}
	return false;
}

} // namespace

// ---- log -------------------------------------------------------------------

void DeviceModel::logAt(qint64 ms, char level, const char *tag,
			const QString &text)
{
	m_log.append(QStringLiteral("%1 (%2) %3: %4")
			     .arg(QLatin1Char(level))
			     .arg(ms)
			     .arg(str(tag), text));
	while (m_log.size() > kMaxLogLines)
		m_log.removeFirst();
}

void DeviceModel::log(const QString &tag, const QString &text, char level)
{
	logAt(now() - m_bootAt, level, tag.toUtf8().constData(), text);
}

void DeviceModel::seedLog()
{
	// The log lives in memory that survives a restart, so a device
	// read soon after power-on still shows how its last run went.
	qint64 ms = 3600000 + qint64(draw() % 600000);
	for (int i = 0; i < 220; ++i) {
		ms += 4000 + qint64(draw() % 2000);
		const int pick = int(draw() % 12);
		if (pick < 5)
			logAt(ms, 'I', "scoreboard",
			      QStringLiteral("%1 frames, %2 checksum errors")
				      .arg(40 + draw() % 20)
				      .arg(draw() % 7 == 0 ? 1 : 0));
		else if (pick < 7)
			logAt(ms, 'I', "wifi",
			      QStringLiteral("rssi %1 dBm")
				      .arg(-55 - int(draw() % 12)));
		else if (pick < 9)
			logAt(ms, 'I', "mqtt",
			      QStringLiteral("keepalive ok (%1 ms)")
				      .arg(30 + draw() % 140));
		else if (pick < 10)
			logAt(ms, 'I', "heap",
			      QStringLiteral("free %1 bytes, lowest %2")
				      .arg(118000 + draw() % 9000)
				      .arg(96000 + draw() % 4000));
		else if (pick < 11)
			logAt(ms, 'I', "tcp_feed",
			      QStringLiteral("%1 client(s)").arg(draw() % 3));
		else
			logAt(ms, 'W', "scoreboard",
			      str("no frame for 2.0 s; controller idle?"));
	}
	logAt(ms + 1200, 'W', "power", str("supply voltage falling"));
	logAt(ms + 1350, 'E', "power", str("supply lost"));
}

void DeviceModel::logBoot()
{
	const QString fw = m_nextFirmware.isEmpty() ? m_firmware
						    : m_nextFirmware;
	logAt(31, 'I', "boot", str("2nd stage bootloader"));
	logAt(52, 'I', "boot",
	      str("loaded app from partition at offset 0x10000"));
	logAt(268, 'I', "app",
	      QStringLiteral("Quillmarch %1, device %2, reset reason %3")
		      .arg(fw, m_deviceId, m_resetReason));
	logAt(301, 'I', "nvs", str("settings loaded"));
	logAt(412, 'I', "scoreboard",
	      QStringLiteral("%1 %2 %3 over %4")
		      .arg(m_controller.value(str("manufacturer")).toString(),
			   m_controller.value(str("model")).toString(),
			   m_controller.value(str("sport")).toString(),
			   m_controller.value(str("input_type")).toString()));
	if (m_espNowConfiguredRole == QLatin1String("tx"))
		logAt(530, 'I', "espnow",
		      QStringLiteral("Wi-Fi off; sending to receiver %1")
			      .arg(m_espNowPeer));
	else if (m_wifiSsid.isEmpty())
		logAt(530, 'W', "wifi", str("no network set up"));
	else
		logAt(530, 'I', "wifi",
		      QStringLiteral("joining %1").arg(m_wifiSsid));
	logAt(2110, 'I', "tls_feed", str("listening on port 1010"));
	logAt(2150, 'I', "ble",
	      QStringLiteral("advertising as %1").arg(m_deviceId));
	logAt(2203, 'I', "usb", str("frame link ready"));
}

void DeviceModel::getLogs(Session &, const QJsonObject &,
			  const Respond &respond)
{
	respond(Outcome::success(
		{{str("logs"), m_log.join(QLatin1Char('\n'))}}));
}

// ---- settings and scoreboard choice -------------------------------------

void DeviceModel::getSettings(Session &, const QJsonObject &,
			      const Respond &respond)
{
	QJsonObject settings = m_settings;
	for (const char *key : kControllerKeys)
		settings.insert(str(key), m_controller.value(str(key)));
	respond(Outcome::success(settings));
}

void DeviceModel::setSettings(Session &, const QJsonObject &params,
			      const Respond &respond)
{
	// All or nothing: one bad value and nothing is saved.
	QJsonObject next = m_settings;
	for (const SettingRule &rule : kSettingRules) {
		const QJsonValue value = params.value(QLatin1String(rule.key));
		if (value.isUndefined())
			continue;
		QString why;
		if (!checkSetting(rule, value, &why)) {
			respond(Outcome::failure(str("bad_request"), why));
			return;
		}
		if (rule.keep < 0 || value.toDouble() != double(rule.keep))
			next.insert(str(rule.key), value);
	}
	if (next.value(str("ethernet_bridge_output_enabled")).toBool() &&
	    next.value(str("ethernet_bridge_peer_host")).toString().isEmpty()) {
		respond(Outcome::failure(
			str("bad_request"),
			str("Give the receiver's address for the Ethernet "
			    "bridge output.")));
		return;
	}
	QJsonObject controller = m_controller;
	bool choosing = false;
	for (const char *key : kControllerKeys) {
		if (params.contains(QLatin1String(key))) {
			choosing = true;
			controller.insert(str(key), params.value(str(key)));
		}
	}
	if (choosing && !isKnownController(controller)) {
		respond(Outcome::failure(
			str("unknown_controller"),
			str("This device cannot read that scoreboard.")));
		return;
	}
	m_settings = next;
	m_controller = controller;
	log(str("nvs"), str("settings saved"));
	respond(Outcome::success());
}

void DeviceModel::getControllerList(Session &, const QJsonObject &,
				    const Respond &respond)
{
	respond(Outcome::success({{str("controllers"), controllerList()}}));
}

void DeviceModel::getControllerConfig(Session &, const QJsonObject &,
				      const Respond &respond)
{
	respond(Outcome::success(m_controller));
}

void DeviceModel::setControllerConfig(Session &, const QJsonObject &params,
				      const Respond &respond)
{
	QJsonObject choice;
	for (const char *key : kControllerKeys)
		choice.insert(str(key), params.value(str(key)));
	if (!isKnownController(choice)) {
		respond(Outcome::failure(
			str("unknown_controller"),
			str("This device cannot read that scoreboard.")));
		return;
	}
	m_controller = choice;
	log(str("scoreboard"),
	    QStringLiteral("now reading %1 %2")
		    .arg(choice.value(str("manufacturer")).toString(),
			 choice.value(str("model")).toString()));
	respond(Outcome::success());
}

// ---- identity and credentials ----------------------------------------------

void DeviceModel::ensureApiToken(Session &, const QJsonObject &params,
				 const Respond &respond)
{
	const QJsonValue force = params.value(QLatin1String("force_new"));
	if (!force.isUndefined() && !force.isBool()) {
		respond(Outcome::failure(str("bad_request"),
					 str("force_new is true or false.")));
		return;
	}
	if (m_apiToken.isEmpty() || force.toBool()) {
		m_apiToken = randomHex(40);
		log(str("admin"), str("new access token made"));
	}
	respond(Outcome::success({{str("token"), m_apiToken}}));
}

void DeviceModel::blePasskey(Session &, const QJsonObject &,
			     const Respond &respond)
{
	respond(Outcome::success({{str("passkey"), m_passkey}}));
}

void DeviceModel::setDeviceId(Session &, const QJsonObject &params,
			      const Respond &respond)
{
	static const QRegularExpression valid(
		QStringLiteral("^[A-Za-z0-9_-]{3,32}$"));
	const QString id = params.value(QLatin1String("device_id")).toString();
	if (!valid.match(id).hasMatch()) {
		respond(Outcome::failure(
			str("bad_request"),
			str("A device ID has 3 to 32 letters, digits, '-' or "
			    "'_'.")));
		return;
	}
	m_deviceId = id;
	log(str("admin"), QStringLiteral("device ID is now %1").arg(id));
	respond(Outcome::success());
}

void DeviceModel::clearMqttConfig(Session &, const QJsonObject &,
				  const Respond &respond)
{
	m_cloudSignIn = false;
	log(str("mqtt"), str("cloud credentials erased"), 'W');
	respond(Outcome::success());
}

void DeviceModel::resetLocalPassword(Session &, const QJsonObject &params,
				     const Respond &respond)
{
	if (!detail::confirmed(params)) {
		respond(Outcome::failure(
			str("bad_request"),
			str("Confirm with \"confirm\": true.")));
		return;
	}
	m_password = str(kFactoryPassword);
	m_mustChangePassword = true;
	log(str("admin"), str("admin password reset to the factory one"), 'W');
	respond(Outcome::success());
}

void DeviceModel::factoryReset(Session &, const QJsonObject &params,
			       const Respond &respond)
{
	if (!detail::confirmed(params)) {
		respond(Outcome::failure(
			str("bad_request"),
			str("Confirm with \"confirm\": true.")));
		return;
	}
	log(str("admin"), str("factory reset"), 'W');
	Outcome out = Outcome::success();
	out.afterReply = [this] {
		resetToFactory();
		restart(str("factory reset"));
	};
	respond(out);
}

} // namespace quillmarch::sim
