#include "base/settings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <limits>

namespace quillmarch {

namespace {

QJsonValue member(const QJsonObject &o, const char *key)
{
	return o.value(QLatin1String(key));
}

} // namespace

QString SettingsStore::unreadableCopyPath() const
{
	return m_path.isEmpty() ? QString()
				: m_path + QStringLiteral(".unreadable");
}

void SettingsStore::load()
{
	m_data = QJsonObject();
	if (m_path.isEmpty())
		return;
	QFile file(m_path);
	if (!file.open(QIODevice::ReadOnly))
		return;
	const QByteArray bytes = file.readAll();
	file.close();

	QJsonParseError error{};
	const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
	if (error.error == QJsonParseError::NoError && doc.isObject()) {
		m_data = doc.object();
		return;
	}
	// Settings start over from defaults, but a file we cannot read may
	// still hold something the user wants back (a hand edit gone wrong):
	// keep a copy before the next save replaces it.
	if (!bytes.isEmpty()) {
		QFile::remove(unreadableCopyPath());
		if (QFile::copy(m_path, unreadableCopyPath()))
			QFile::setPermissions(unreadableCopyPath(),
					      QFileDevice::ReadOwner |
						      QFileDevice::WriteOwner);
	}
}

void SettingsStore::save()
{
	if (m_path.isEmpty())
		return;
	QDir().mkpath(QFileInfo(m_path).absolutePath());
	QSaveFile file(m_path);
	if (!file.open(QIODevice::WriteOnly))
		return;
	file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
	file.write(QJsonDocument(m_data).toJson(QJsonDocument::Indented));
	file.commit();
}

bool SettingsStore::boolOr(const char *key, bool fallback) const
{
	const QJsonValue v = member(m_data, key);
	return v.isBool() ? v.toBool() : fallback;
}

void SettingsStore::setValue(const char *key, const QJsonValue &value)
{
	m_data.insert(QLatin1String(key), value);
	save();
}

QString SettingsStore::selectedDevice() const
{
	return member(m_data, "selected_device").toString();
}

void SettingsStore::setSelectedDevice(const QString &id)
{
	setValue("selected_device", id);
}

bool SettingsStore::serverEnabled() const
{
	return boolOr("server_enabled", false);
}

void SettingsStore::setServerEnabled(bool on)
{
	setValue("server_enabled", on);
}

int SettingsStore::serverPort() const
{
	// toInt() gives the fallback for strings and for non-integral numbers.
	return member(m_data, "server_port").toInt(kDefaultServerPort);
}

void SettingsStore::setServerPort(int port)
{
	setValue("server_port", port);
}

bool SettingsStore::serverAllowNetwork() const
{
	return boolOr("server_allow_network", false);
}

void SettingsStore::setServerAllowNetwork(bool on)
{
	setValue("server_allow_network", on);
}

bool SettingsStore::shareConnection() const
{
	return boolOr("share_connection", true);
}

void SettingsStore::setShareConnection(bool on)
{
	setValue("share_connection", on);
}

bool SettingsStore::autoCheckUpdates() const
{
	return boolOr("auto_check_updates", true);
}

void SettingsStore::setAutoCheckUpdates(bool on)
{
	setValue("auto_check_updates", on);
}

int SettingsStore::liveDelaySeconds() const
{
	return std::clamp(member(m_data, "live_delay_s").toInt(0), 0, 60);
}

void SettingsStore::setLiveDelaySeconds(int seconds)
{
	setValue("live_delay_s", std::clamp(seconds, 0, 60));
}

qint64 SettingsStore::lastUpdateCheck() const
{
	const double v = member(m_data, "last_update_check").toDouble(0);
	// A hand-edited huge value must not overflow the conversion.
	constexpr double limit = 9223372036854775807.0;
	if (!std::isfinite(v) || v >= limit)
		return std::numeric_limits<qint64>::max();
	if (v <= -limit)
		return std::numeric_limits<qint64>::min();
	return static_cast<qint64>(v);
}

void SettingsStore::setLastUpdateCheck(qint64 seconds)
{
	setValue("last_update_check", static_cast<double>(seconds));
}

void SettingsStore::setLastUsbPort(const QString &port)
{
	setValue("last_usb_port", port);
}

QString SettingsStore::preferredRoute(const QString &deviceId) const
{
	const QJsonValue v =
		member(m_data, "routes").toObject().value(deviceId);
	return v.isString() ? v.toString() : QStringLiteral("cloud");
}

void SettingsStore::setPreferredRoute(const QString &deviceId,
				      const QString &route)
{
	QJsonObject routes = member(m_data, "routes").toObject();
	routes.insert(deviceId, route);
	setValue("routes", routes);
}

QStringList SettingsStore::lanDeviceIds() const
{
	return member(m_data, "lan").toObject().keys();
}

LanDevice SettingsStore::lanDevice(const QString &deviceId) const
{
	const QJsonObject o =
		member(m_data, "lan").toObject().value(deviceId).toObject();
	return LanDevice{o.value(QLatin1String("host")).toString(),
			 o.value(QLatin1String("token")).toString(),
			 o.value(QLatin1String("name")).toString()};
}

void SettingsStore::setLanDevice(const QString &deviceId,
				 const LanDevice &device)
{
	QJsonObject lan = member(m_data, "lan").toObject();
	lan.insert(deviceId,
		   QJsonObject{{QStringLiteral("host"), device.host},
			       {QStringLiteral("token"), device.token},
			       {QStringLiteral("name"), device.name}});
	setValue("lan", lan);
}

} // namespace quillmarch
