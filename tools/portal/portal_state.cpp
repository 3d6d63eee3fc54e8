#include "portal_state.h"

#include <QDateTime>
#include <QJsonDocument>

#include <algorithm>

namespace quillmarch::portalsim {

namespace {

// The accounts a demo needs: a plain sign-in, one behind an authenticator
// code, a team member who may only look, and an account without a cloud
// plan. Devices cover every status, an id with a slash and a space in it,
// and two devices no account holds yet, for linking.
const char kDefaultState[] = R"({
 "accounts": [
  {"email": "coach@example.com", "password": "bleachers", "role": "owner",
   "cloud_plan": true,
   "devices": ["QM-7F3A21", "QM-2B9C04", "QM/annex 3"],
   "outputs": [
    {"id": "out-main", "name": "Main gym scorebug",
     "share_token": "tok-main-7f3a", "device_id": "QM-7F3A21",
     "width": 1920, "height": 1080},
    {"id": "out-lower", "share_token": "tok-lower-2b9c",
     "device_id": "QM-2B9C04"},
    {"id": "out-draft", "name": "Draft, not shared yet",
     "device_id": "QM-7F3A21", "width": 1280, "height": 720}
   ]},
  {"email": "director@example.com", "password": "scoreboard",
   "role": "owner", "totp_code": "246810", "cloud_plan": true,
   "devices": ["QM-31D0E8"], "outputs": []},
  {"email": "viewer@example.com", "password": "bleachers", "role": "viewer",
   "cloud_plan": true, "devices": ["QM-7F3A21"], "outputs": []},
  {"email": "free@example.com", "password": "bleachers", "role": "owner",
   "cloud_plan": false, "devices": ["QM-5E0D77"], "outputs": []}
 ],
 "devices": [
  {"device_id": "QM-7F3A21", "nickname": "Main gym", "status": "online",
   "ble_passkey": "482913", "admin_password": "courtside-42",
   "firmware_version": "1.4.2", "sport": "basketball",
   "home_name": "Eagles", "away_name": "Hawks"},
  {"device_id": "QM-2B9C04", "nickname": "Field house", "status": "offline",
   "ble_passkey": "105377", "firmware_version": "1.3.9",
   "sport": "volleyball", "home_name": "Lions", "away_name": "Bears"},
  {"device_id": "QM/annex 3", "nickname": "", "status": "pending",
   "ble_passkey": "660142", "firmware_version": "1.4.2"},
  {"device_id": "QM-31D0E8", "nickname": "Stadium", "status": "online",
   "ble_passkey": "918274", "firmware_version": "1.4.2", "sport": "soccer",
   "home_name": "United", "away_name": "Rovers"},
  {"device_id": "QM-5E0D77", "nickname": "Practice court",
   "status": "online", "ble_passkey": "337201", "firmware_version": "1.4.1",
   "sport": "basketball", "home_name": "Blue", "away_name": "White"},
  {"device_id": "QM-9A1C55", "nickname": "", "status": "online",
   "ble_passkey": "550918", "claim_code": "K7P2-9QX4",
   "firmware_version": "1.4.2", "sport": "hockey",
   "home_name": "Wolves", "away_name": "Bisons"},
  {"device_id": "QM-64B2F0", "nickname": "", "status": "offline",
   "ble_passkey": "204466", "claim_code": "M3RT-5WZ8",
   "firmware_version": "1.4.0"}
 ]
})";

QString str(const QJsonObject &o, const char *key)
{
	return o.value(QLatin1String(key)).toString();
}

} // namespace

void Device::play(qint64 nowMs, qint64 tickMs, bool running)
{
	if (playedUntilMs < 0 || !running || tickMs <= 0) {
		playedUntilMs = nowMs;
		return;
	}
	const qint64 ticks = (nowMs - playedUntilMs) / tickMs;
	if (ticks <= 0)
		return;
	playedUntilMs += ticks * tickMs;
	// After a long idle spell the game need not replay every second.
	game.advance(std::min<qint64>(ticks, 100000) * 1000);
}

QJsonObject Device::envelope(bool online) const
{
	const qint64 now = QDateTime::currentMSecsSinceEpoch();
	return QJsonObject{
		{QStringLiteral("type"), QStringLiteral("state")},
		{QStringLiteral("v"), 1},
		{QStringLiteral("seq"), double(game.secondsPlayed())},
		{QStringLiteral("ts_ms"), double(now)},
		{QStringLiteral("device_ts_ms"), double(now - 40)},
		{QStringLiteral("sport"), game.sport()},
		{QStringLiteral("online"), online},
		{QStringLiteral("fw_version"), firmware},
		{QStringLiteral("transport"), QStringLiteral("wifi")},
		{QStringLiteral("fields"), game.fields()},
	};
}

QJsonObject PortalState::defaultState()
{
	return QJsonDocument::fromJson(QByteArray(kDefaultState)).object();
}

bool PortalState::load(const QJsonObject &state, quint32 seed, QString *error)
{
	QMap<QString, Device> devices;
	const QJsonArray deviceList =
		state.value(QLatin1String("devices")).toArray();
	for (const QJsonValue &v : deviceList) {
		const QJsonObject o = v.toObject();
		Device d;
		d.id = str(o, "device_id");
		d.nickname = str(o, "nickname");
		d.status = str(o, "status");
		d.blePasskey = str(o, "ble_passkey");
		d.claimCode = str(o, "claim_code");
		d.adminPassword = str(o, "admin_password");
		d.firmware = str(o, "firmware_version");
		if (d.id.isEmpty() || devices.contains(d.id)) {
			*error =
				QStringLiteral("every device needs a device_id "
					       "of its own");
			return false;
		}
		if (d.status != QLatin1String("online") &&
		    d.status != QLatin1String("offline") &&
		    d.status != QLatin1String("pending")) {
			*error = QStringLiteral("device %1: status must be "
						"online, offline or pending")
					 .arg(d.id);
			return false;
		}
		tools::SimulatedGame::Config game;
		game.seed = seed + quint32(devices.size()) * 7919u;
		if (!str(o, "sport").isEmpty())
			game.sport = str(o, "sport");
		game.homeName = str(o, "home_name");
		game.awayName = str(o, "away_name");
		d.game = tools::SimulatedGame(game);
		devices.insert(d.id, d);
	}

	QList<Account> accounts;
	const QJsonArray accountList =
		state.value(QLatin1String("accounts")).toArray();
	for (const QJsonValue &v : accountList) {
		const QJsonObject o = v.toObject();
		Account a;
		a.email = str(o, "email");
		a.password = str(o, "password");
		a.role = str(o, "role");
		a.totpCode = str(o, "totp_code");
		a.cloudPlan = o.value(QLatin1String("cloud_plan")).toBool(true);
		a.outputs = o.value(QLatin1String("outputs")).toArray();
		if (a.email.isEmpty() || a.password.isEmpty()) {
			*error = QStringLiteral("every account needs an email "
						"and a password");
			return false;
		}
		for (const QJsonValue &id :
		     o.value(QLatin1String("devices")).toArray()) {
			if (!devices.contains(id.toString())) {
				*error = QStringLiteral("account %1 lists the "
							"unknown device %2")
						 .arg(a.email, id.toString());
				return false;
			}
			a.deviceIds.append(id.toString());
		}
		accounts.append(a);
	}
	if (accounts.isEmpty()) {
		*error = QStringLiteral("the state holds no accounts");
		return false;
	}
	m_accounts = accounts;
	m_devices = devices;
	return true;
}

Account *PortalState::account(const QString &email)
{
	for (Account &a : m_accounts) {
		if (a.email.compare(email, Qt::CaseInsensitive) == 0)
			return &a;
	}
	return nullptr;
}

Device *PortalState::device(const QString &id)
{
	const auto it = m_devices.find(id);
	return it == m_devices.end() ? nullptr : &it.value();
}

Account *PortalState::ownerOf(const QString &deviceId)
{
	for (Account &a : m_accounts) {
		if (a.deviceIds.contains(deviceId))
			return &a;
	}
	return nullptr;
}

QJsonObject PortalState::outputByToken(const QString &token) const
{
	for (const Account &a : m_accounts) {
		for (const QJsonValue &v : a.outputs) {
			const QJsonObject o = v.toObject();
			if (!token.isEmpty() && str(o, "share_token") == token)
				return o;
		}
	}
	return QJsonObject();
}

} // namespace quillmarch::portalsim
