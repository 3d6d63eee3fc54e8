#pragma once

#include "lan/lan_device.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace quillmarch {

// The plug-in's own settings, kept in one JSON file. Every setter writes the
// file before it returns, atomically and readable by the owner only.
class SettingsStore {
public:
	static constexpr int kDefaultServerPort = 9001;

	void setPath(const QString &path) { m_path = path; }
	QString path() const { return m_path; }

	void load();
	void save();

	// The file that did not parse when it was loaded is kept beside the
	// settings under this name, so the next save cannot destroy it.
	QString unreadableCopyPath() const;

	QString selectedDevice() const;
	void setSelectedDevice(const QString &id);

	bool serverEnabled() const;
	void setServerEnabled(bool on);

	int serverPort() const;
	void setServerPort(int port);

	bool serverAllowNetwork() const;
	void setServerAllowNetwork(bool on);

	bool shareConnection() const;
	void setShareConnection(bool on);

	bool autoCheckUpdates() const;
	void setAutoCheckUpdates(bool on);
	// Seconds live changes are held back to match a stream delay, 0 ... 60
	// (a stored value outside that range is brought into it).
	int liveDelaySeconds() const;
	void setLiveDelaySeconds(int seconds);

	qint64 lastUpdateCheck() const;
	void setLastUpdateCheck(qint64 seconds);

	void setLastUsbPort(const QString &port);

	QString preferredRoute(const QString &deviceId) const;
	void setPreferredRoute(const QString &deviceId, const QString &route);

	QStringList lanDeviceIds() const;
	LanDevice lanDevice(const QString &deviceId) const;
	void setLanDevice(const QString &deviceId, const LanDevice &device);

	QJsonObject data() const { return m_data; }

private:
	bool boolOr(const char *key, bool fallback) const;
	void setValue(const char *key, const QJsonValue &value);

	QString m_path;
	QJsonObject m_data;
};

} // namespace quillmarch
