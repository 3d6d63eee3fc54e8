// The device's radios: Wi-Fi scan and join, the network self-test, and the
// wireless (ESP-NOW) link to a receiver that replaces Wi-Fi when it is on.

#include "device_catalogue.h"
#include "device_internal.h"
#include "device_model.h"

namespace quillmarch::sim {

using detail::str;

namespace {

// Device milliseconds for each step, roughly what the radio takes.
constexpr qint64 kScanMs = 2500;
constexpr qint64 kJoinMs = 4000;
constexpr qint64 kWrongPasswordMs = 5000;
constexpr qint64 kNotFoundMs = 6000;
constexpr qint64 kNoAddressMs = 3000;
constexpr qint64 kTestStepMs = 2000;
// A finished network test is still reported for this long, so that the
// poll after its last step sees the result rather than starting over.
constexpr qint64 kTestResultKeptMs = 5000;
constexpr int kScanJitterDbm = 3;

// The strongest access point of a network.
int strongest(const QString &ssid)
{
	int best = -127;
	for (const VenueNetwork &n : venueNetworks())
		if (n.ssid == ssid)
			best = qMax(best, n.rssi);
	return best;
}

} // namespace

bool DeviceModel::espNowTransmitting() const
{
	return m_espNowRole == QLatin1String("tx");
}

QString DeviceModel::wifiState() const
{
	if (espNowTransmitting())
		return str("off");
	if (m_provision.state == QLatin1String("connecting"))
		return str("connecting");
	if (m_wifiSsid.isEmpty())
		return str("not_configured");
	return findNetwork(m_wifiSsid) ? str("connected") : str("disconnected");
}

bool DeviceModel::wifiUp() const
{
	return wifiState() == QLatin1String("connected");
}

QJsonObject DeviceModel::wifiStatus() const
{
	const QString state = wifiState();
	QString ssid;
	QString address;
	int rssi = 0;
	if (state == QLatin1String("connected")) {
		ssid = m_wifiSsid;
		address = findNetwork(ssid)->address;
		rssi = strongest(ssid);
	} else if (state == QLatin1String("connecting")) {
		ssid = m_provision.ssid;
	} else if (state == QLatin1String("disconnected")) {
		ssid = m_wifiSsid;
	}
	return QJsonObject{{str("wifi_sta_status"), state},
			   {str("wifi_sta_ssid"), ssid},
			   {str("wifi_sta_ip"), address},
			   {str("wifi_sta_rssi"), rssi}};
}

QJsonObject DeviceModel::provisionStatus() const
{
	const Provision &p = m_provision;
	const qint64 end = p.endedAt < 0 ? now() : p.endedAt;
	const bool idle = p.state == QLatin1String("idle");
	return QJsonObject{{str("state"), p.state},
			   {str("detail"), p.detail},
			   {str("elapsed_ms"),
			    double(idle ? 0 : end - p.startedAt)}};
}

void DeviceModel::finishJoin(bool joined, const QString &detail)
{
	m_provision.endedAt = now();
	m_provision.state = joined ? str("ok") : str("reverted");
	m_provision.detail = detail;
	if (joined) {
		m_wifiSsid = m_provision.ssid;
		m_wifiPassword = m_provision.password;
		log(str("wifi"),
		    QStringLiteral("joined %1, address %2")
			    .arg(m_wifiSsid, findNetwork(m_wifiSsid)->address));
	} else {
		// Back to the network that worked before, if any.
		log(str("wifi"),
		    QStringLiteral("could not join %1 (%2); back to %3")
			    .arg(m_provision.ssid, detail,
				 m_wifiSsid.isEmpty() ? str("no network")
						      : m_wifiSsid),
		    'W');
	}
}

void DeviceModel::scanWifi(Session &, const QJsonObject &,
			   const Respond &respond)
{
	if (espNowTransmitting()) {
		// The radio belongs to the wireless link: nothing to see.
		respond(Outcome::success({{str("networks"), QJsonArray()}}));
		return;
	}
	log(str("wifi"), str("scanning"));
	after(kScanMs, [this, respond] {
		const QJsonArray networks =
			scanResult([this] { return draw(); }, kScanJitterDbm);
		respond(Outcome::success({{str("networks"), networks}}));
	});
}

void DeviceModel::configureWifi(Session &, const QJsonObject &params,
				const Respond &respond)
{
	const QJsonValue ssidValue = params.value(QLatin1String("ssid"));
	const QJsonValue passValue = params.value(QLatin1String("pass"));
	const QString ssid = ssidValue.toString();
	const QString pass = passValue.toString();
	if (!ssidValue.isString() || ssid.isEmpty() ||
	    ssid.toUtf8().size() > 32) {
		respond(Outcome::failure(
			str("bad_request"),
			str("Give a network name of 1 to 32 bytes.")));
		return;
	}
	if (!(passValue.isString() || passValue.isUndefined()) ||
	    pass.toUtf8().size() > 63) {
		respond(Outcome::failure(
			str("bad_request"),
			str("A Wi-Fi password has at most 63 characters.")));
		return;
	}
	if (espNowTransmitting()) {
		respond(Outcome::failure(
			str("wifi_off"),
			str("Wi-Fi is off while the device sends its scores "
			    "to a wireless receiver.")));
		return;
	}

	Provision next;
	next.attempt = m_provision.attempt + 1;
	next.state = str("connecting");
	next.detail = QStringLiteral("joining %1").arg(ssid);
	next.ssid = ssid;
	next.password = pass;
	next.startedAt = now();
	m_provision = next;
	log(str("wifi"), QStringLiteral("joining %1").arg(ssid));
	respond(Outcome::success());

	// The device knows nothing of the outcome yet; the network decides.
	// A later join replaces this one, whose steps then do nothing.
	const int attempt = next.attempt;
	auto step = [this, attempt](qint64 ms, std::function<void()> task) {
		after(ms, [this, attempt, task] {
			if (m_provision.attempt == attempt)
				task();
		});
	};
	const VenueNetwork *network = findNetwork(ssid);
	if (!network) {
		step(kNotFoundMs,
		     [this] { finishJoin(false, str("network not found")); });
	} else if (network->behaviour == JoinBehaviour::NeverFinishes) {
		step(kNoAddressMs, [this] {
			m_provision.detail = str("waiting for an address");
		});
	} else if (!network->password.isEmpty() && pass != network->password) {
		step(kWrongPasswordMs,
		     [this] { finishJoin(false, str("wrong password")); });
	} else {
		step(kJoinMs, [this, network] {
			finishJoin(true, QStringLiteral("address %1")
						 .arg(network->address));
		});
	}
}

void DeviceModel::networkTest(Session &, const QJsonObject &,
			      const Respond &respond)
{
	// Each call reports how far the test has got; a call with no test
	// running (or its result long read) starts a new one.
	NetworkTest &t = m_netTest;
	const qint64 steps = t.online ? 6 : 1;
	const bool stale =
		t.startedAt < 0 ||
		now() > t.startedAt + steps * kTestStepMs + kTestResultKeptMs;
	if (stale) {
		t.startedAt = now();
		t.online = wifiUp();
		t.cloud = m_cloudSignIn;
		log(str("nettest"), str("network test started"));
	}
	const bool online = t.online;
	const bool cloud = online && t.cloud;
	const QString skipped = str("skipped: no network");
	struct Check {
		const char *key;
		bool ok;
		QString detail;
	};
	const Check checks[] = {
		{"local_network", online,
		 online ? QStringLiteral("address %1 on %2")
				  .arg(findNetwork(m_wifiSsid)
					       ? findNetwork(m_wifiSsid)->address
					       : QString(),
				       m_wifiSsid)
			: str("no Wi-Fi or Ethernet connection")},
		{"dns", online,
		 online ? str("api.quillmarch.com resolved in 38 ms")
			: skipped},
		{"mqtt", cloud,
		 cloud    ? str("port 8883 reachable, signed in")
		 : online ? str("no cloud sign-in on this device")
			  : skipped},
		{"websocket_https", online,
		 online ? str("port 443 reachable") : skipped},
		{"firewall", online,
		 online ? str("outbound traffic allowed") : skipped},
		{"end_to_end", cloud,
		 cloud ? str("test message went round in 212 ms")
		       : str("the cloud did not answer")},
	};
	const qint64 elapsed = now() - t.startedAt;
	QJsonObject reported;
	bool overall = true;
	for (int i = 0; i < 6; ++i) {
		// Offline, every check fails at once with the first.
		const qint64 doneAt = (online ? i + 1 : 1) * kTestStepMs;
		if (elapsed < doneAt)
			continue;
		reported.insert(str(checks[i].key),
				QJsonObject{{str("ok"), checks[i].ok},
					    {str("detail"), checks[i].detail}});
		overall = overall && checks[i].ok;
	}
	const bool done = elapsed >= steps * kTestStepMs;
	respond(Outcome::success(
		{{str("checks"), reported},
		 {str("status"), done ? str("done") : str("running")},
		 {str("done"), done},
		 {str("overall"), done && overall}}));
}

void DeviceModel::getEspNow(Session &, const QJsonObject &,
			    const Respond &respond)
{
	const QJsonObject espnow{
		{str("role"), m_espNowRole},
		{str("configured_role"), m_espNowConfiguredRole},
		{str("peer_mac"), m_espNowPeer},
		{str("key_set"),
		 !m_espNowPeer.isEmpty() && !m_espNowKey.isEmpty()},
		{str("start_error"), QString()},
		{str("channel"), 1}};
	respond(Outcome::success({{str("espnow"), espnow}}));
}

void DeviceModel::setEspNow(Session &, const QJsonObject &params,
			    const Respond &respond)
{
	const QString role = params.value(QLatin1String("role")).toString();
	if (role == QLatin1String("off")) {
		// The pairing stays, so switching back needs no new key.
		m_espNowConfiguredRole = role;
		log(str("espnow"), str("transmitter off from the next start"));
		respond(Outcome::success());
		return;
	}
	if (role != QLatin1String("tx")) {
		respond(Outcome::failure(str("bad_request"),
					 str("The role is \"tx\" or \"off\".")));
		return;
	}
	const QJsonValue macValue = params.value(QLatin1String("peer_mac"));
	const QJsonValue keyValue = params.value(QLatin1String("key"));
	const bool generate = params.value(QLatin1String("generate_key")) ==
			      QJsonValue(true);
	QString peer = m_espNowPeer;
	if (!macValue.isUndefined()) {
		peer = macValue.toString().trimmed().toLower();
		if (!detail::isMacAddress(peer)) {
			respond(Outcome::failure(
				str("bad_request"),
				str("The receiver address looks like "
				    "aa:bb:cc:dd:ee:ff.")));
			return;
		}
	}
	QString key = m_espNowKey;
	if (!generate && !keyValue.isUndefined()) {
		key = keyValue.toString().trimmed().toLower();
		if (!detail::isHex(key, 32)) {
			respond(Outcome::failure(
				str("bad_request"),
				str("The pairing key is 32 hexadecimal "
				    "characters.")));
			return;
		}
	}
	if (peer.isEmpty()) {
		respond(Outcome::failure(str("bad_request"),
					 str("Give the receiver's address.")));
		return;
	}
	if (!generate && key.isEmpty()) {
		respond(Outcome::failure(
			str("bad_request"),
			str("Give a pairing key or ask for a new one.")));
		return;
	}
	QString made;
	if (generate)
		key = made = randomHex(32);
	m_espNowPeer = peer;
	m_espNowKey = key;
	m_espNowConfiguredRole = role;
	log(str("espnow"),
	    QStringLiteral("transmitter to %1 from the next start").arg(peer));
	respond(Outcome::success({{str("key"), made}}));
}

} // namespace quillmarch::sim
