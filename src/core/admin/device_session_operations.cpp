// The configuration operations of DeviceSession: Wi-Fi, the wireless link
// to a receiver, the scoreboard controller, the access token and restarts.

#include "admin/device_session.h"

#include <QJsonArray>
#include <QPointer>
#include <QSet>

#include <algorithm>
#include <cmath>

namespace quillmarch {

namespace {

QString text(const QJsonObject &object, const char *key)
{
	return object.value(QLatin1String(key)).toString();
}

QString failureMessage(const RpcResult &r)
{
	return r.ok ? QString() : r.message;
}

// Whole seconds the device says it has spent joining, or -1 when it gives no
// time it can have taken: none, not a number, negative, or beyond a day.
int joinSeconds(const QJsonObject &provision)
{
	constexpr double kDayMs = 24.0 * 60 * 60 * 1000;
	const QJsonValue value = provision.value(QStringLiteral("elapsed_ms"));
	const double ms = value.toDouble(-1);
	if (!value.isDouble() || !std::isfinite(ms) || ms < 0 || ms > kDayMs)
		return -1;
	return static_cast<int>(ms / 1000);
}

} // namespace

void DeviceSession::scanWifi(ScanCallback done)
{
	m_rpc->call(
		QStringLiteral("scanWifi"), QJsonObject(),
		[this, done](const RpcResult &r) {
			if (!r.ok) {
				if (done)
					done(false, {}, r.message);
				return;
			}
			QList<WifiNetwork> networks;
			QSet<QString> seen;
			const QJsonArray list =
				r.result.value(QStringLiteral("networks"))
					.toArray();
			for (const QJsonValue &value : list) {
				const QJsonObject o = value.toObject();
				WifiNetwork n;
				n.ssid = text(o, "ssid");
				// Several access points of one network show
				// up as repeats; the first one stands for it.
				if (n.ssid.isEmpty() || seen.contains(n.ssid))
					continue;
				seen.insert(n.ssid);
				const QJsonValue auth =
					o.value(QStringLiteral("auth"));
				n.auth =
					auth.isString()
						? auth.toString()
						: QString::number(auth.toInt());
				n.rssi =
					o.value(QStringLiteral("rssi")).toInt();
				networks.append(n);
			}
			std::stable_sort(networks.begin(), networks.end(),
					 [](const WifiNetwork &a,
					    const WifiNetwork &b) {
						 return a.rssi > b.rssi;
					 });
			if (!networks.isEmpty()) {
				if (done)
					done(true, networks, QString());
				return;
			}
			// A device that sends to a receiver has its Wi-Fi
			// radio off; say so rather than show an empty list.
			wirelessLink([done](const WirelessLink &link) {
				if (!done)
					return;
				done(true, {},
				     link.transmitter
					     ? tr("This device is set to send its scores to a wireless receiver, so its Wi-Fi is switched off and it cannot see networks. Turn the wireless link off to use Wi-Fi.")
					     : QString());
			});
		},
		m_timings.scanMs);
}

void DeviceSession::configureWifi(const QString &ssid, const QString &pass,
				  ProgressCallback progress, DoneCallback done)
{
	m_rpc->call(
		QStringLiteral("configureWifi"),
		QJsonObject{{QStringLiteral("ssid"), ssid},
			    {QStringLiteral("pass"), pass}},
		[this, ssid, progress, done](const RpcResult &r) {
			if (!r.ok) {
				if (done)
					done(false, r.message);
				return;
			}
			if (progress) {
				const QPointer<DeviceSession> alive(this);
				progress(
					tr("Checking that the device can join %1…")
						.arg(ssid));
				if (!alive)
					return;
			}
			verifyWifi(ssid, 0, progress, done);
		},
		m_timings.callMs);
}

void DeviceSession::verifyWifi(const QString &ssid, int attempt,
			       ProgressCallback progress, DoneCallback done)
{
	// The timer has the session as context, so a session that goes away
	// mid-check takes the rest of the chain with it.
	QTimer::singleShot(
		m_timings.wifiVerifyStepMs, this,
		[this, ssid, attempt, progress, done]() {
			refreshStatus([this, ssid, attempt, progress,
				       done](bool ok, const QString &message) {
				if (ok)
					checkWifiJoin(ssid, attempt, progress,
						      done);
				else if (done)
					done(false, message);
			});
		});
}

void DeviceSession::checkWifiJoin(const QString &ssid, int attempt,
				  const ProgressCallback &progress,
				  const DoneCallback &done)
{
	const QJsonObject provision =
		m_status.value(QStringLiteral("wifi_provision")).toObject();
	const QString state = text(provision, "state");
	if (state == QLatin1String("ok")) {
		const QString ip = wifiIp();
		const QString where = ip.isEmpty()
					      ? QString()
					      : QStringLiteral(" (%1)").arg(ip);
		if (done)
			done(true, tr("Joined %1%2.").arg(ssid, where));
		return;
	}
	if (state == QLatin1String("reverted")) {
		// The device gave up and went back to its previous network.
		const QString detail = text(provision, "detail");
		const QString why = detail.isEmpty()
					    ? QString()
					    : QStringLiteral(": ") + detail;
		if (done)
			done(false,
			     tr("The device could not join %1%2. Check the password and try again.")
				     .arg(ssid, why));
		return;
	}
	if (attempt + 1 >= kWifiVerifyChecks) {
		if (done)
			done(false,
			     tr("The device is still working on joining %1. Check back in a minute.")
				     .arg(ssid));
		return;
	}
	if (progress) {
		const int seconds = joinSeconds(provision);
		const QPointer<DeviceSession> alive(this);
		progress(
			seconds < 0
				? tr("Checking that the device can join %1…")
					  .arg(ssid)
				: tr("Checking that the device can join %1… (%2 s)")
					  .arg(ssid, QString::number(seconds)));
		if (!alive)
			return;
	}
	verifyWifi(ssid, attempt + 1, progress, done);
}

void DeviceSession::wirelessLink(WirelessLinkCallback done)
{
	m_rpc->call(
		QStringLiteral("getEspNow"), QJsonObject(),
		[this, done](const RpcResult &r) {
			WirelessLink link;
			const QJsonObject espnow =
				r.result.value(QStringLiteral("espnow"))
					.toObject();
			// A failure reads as "no wireless link": over the
			// network the call has no route at all.
			if (r.ok && !espnow.isEmpty()) {
				link.supported = true;
				// Set to transmit from its next start counts
				// too: its Wi-Fi goes off then.
				link.transmitter =
					text(espnow, "role") ==
						QLatin1String("tx") ||
					text(espnow, "configured_role") ==
						QLatin1String("tx");
				link.peerMac = text(espnow, "peer_mac");
				link.keySet =
					!link.peerMac.isEmpty() &&
					espnow.value(QStringLiteral("key_set"))
						.toBool();
				link.startError = text(espnow, "start_error");
			}
			m_wirelessTransmitter = link.transmitter;
			if (done)
				done(link);
		},
		m_timings.callMs);
}

void DeviceSession::enableWirelessTransmitter(const QString &peerMac,
					      const QString &key,
					      bool generateKey,
					      TransmitterCallback done)
{
	QJsonObject params{{QStringLiteral("role"), QStringLiteral("tx")}};
	const QString mac = peerMac.trimmed();
	if (!mac.isEmpty())
		params.insert(QStringLiteral("peer_mac"), mac.toLower());
	if (generateKey) {
		params.insert(QStringLiteral("generate_key"), true);
	} else if (!key.trimmed().isEmpty()) {
		params.insert(QStringLiteral("key"), key.trimmed());
	}
	m_rpc->call(
		QStringLiteral("setEspNow"), params,
		[this, done](const RpcResult &r) {
			if (!r.ok) {
				if (done)
					done(false, r.message, QString());
				return;
			}
			// The transmitter only starts after a restart. A
			// generated key is handed on even if the restart
			// request fails: it is shown to the user only once.
			const QString newKey = text(r.result, "key");
			m_wirelessTransmitter = true;
			reboot([done, newKey](bool ok, const QString &message) {
				if (done)
					done(ok, message, newKey);
			});
		},
		m_timings.callMs);
}

void DeviceSession::disableEspNowSender(DoneCallback done)
{
	m_rpc->call(
		QStringLiteral("setEspNow"),
		QJsonObject{{QStringLiteral("role"), QStringLiteral("off")}},
		[this, done](const RpcResult &r) {
			if (!r.ok) {
				if (done)
					done(false, r.message);
				return;
			}
			m_wirelessTransmitter = false;
			reboot(done);
		},
		m_timings.callMs);
}

void DeviceSession::listControllers(ControllersCallback done)
{
	m_rpc->call(
		QStringLiteral("getControllerList"), QJsonObject(),
		[done](const RpcResult &r) {
			if (!done)
				return;
			if (!r.ok) {
				done(false, {}, r.message);
				return;
			}
			QList<ControllerChoice> choices;
			QSet<QString> seen;
			const QJsonArray list =
				r.result.value(QStringLiteral("controllers"))
					.toArray();
			for (const QJsonValue &value : list) {
				const QJsonObject o = value.toObject();
				ControllerChoice c;
				c.manufacturer = text(o, "manufacturer");
				c.model = text(o, "model");
				c.sport = text(o, "sport");
				c.inputType = text(o, "input_type");
				const QString id = c.manufacturer + '|' +
						   c.model + '|' + c.sport +
						   '|' + c.inputType;
				if (seen.contains(id))
					continue;
				seen.insert(id);
				choices.append(c);
			}
			done(true, choices, QString());
		},
		m_timings.callMs);
}

void DeviceSession::getControllerConfig(ConfigCallback done)
{
	m_rpc->call(
		QStringLiteral("getControllerConfig"), QJsonObject(),
		[done](const RpcResult &r) {
			if (done)
				done(r.ok, r.ok ? r.result : QJsonObject(),
				     failureMessage(r));
		},
		m_timings.callMs);
}

void DeviceSession::setController(const ControllerChoice &choice,
				  DoneCallback done)
{
	m_rpc->call(
		QStringLiteral("setControllerConfig"), choice.toJson(),
		[done](const RpcResult &r) {
			if (done)
				done(r.ok, failureMessage(r));
		},
		m_timings.callMs);
}

void DeviceSession::ensureApiToken(TokenCallback done)
{
	m_rpc->call(
		QStringLiteral("ensureApiToken"), QJsonObject(),
		[done](const RpcResult &r) {
			if (done)
				done(r.ok, text(r.result, "token"),
				     failureMessage(r));
		},
		m_timings.callMs);
}

void DeviceSession::reboot(DoneCallback done)
{
	// Set before the call: the link may drop before any answer comes,
	// and that loss must read as the restart, not as a lost device.
	m_restarting = true;
	m_rpc->call(
		QStringLiteral("reboot"), QJsonObject(),
		[this, done](const RpcResult &r) {
			// A device that restarts before answering, or whose
			// link drops, has done what was asked.
			if (r.ok || r.code == QLatin1String("timeout") ||
			    r.code == QLatin1String("disconnected")) {
				if (done)
					done(true, QString());
				return;
			}
			m_restarting = false;
			if (done)
				done(false, r.message);
		},
		m_timings.rebootMs);
}

} // namespace quillmarch
