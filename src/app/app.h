#pragma once

#include "account/portal_client.h"
#include "app_environment.h"
#include "base/settings_store.h"
#include "base/version.h"
#include "live/live_data.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>

class QTimer;

#include <functional>
#include <memory>

namespace quillmarch {

class DeviceSession;
class HostedServer;
class PluginUpdater;
class SourceManager;
class WebFeed;

// The plug-in's one long-lived object: it owns every service and wires them
// together. It lives on the Qt main thread from module load to unload.
class App : public QObject {
	Q_OBJECT

public:
	static constexpr const char *kVersion = QUILLMARCH_VERSION;

	using DoneCallback =
		std::function<void(bool ok, const QString &message)>;

	// Creates the instance if there is none; a second call keeps the
	// existing one and drops the environment it was given.
	static void init(std::unique_ptr<AppEnvironment> environment);
	// Clears the instance pointer first, so code reached during tear-down
	// sees "not ready", then destroys the instance.
	static void shutdown();
	static App *get();
	static bool ready();

	~App() override;

	PortalClient &portal() { return m_portal; }
	LiveData &liveData() { return m_liveData; }
	const LiveData &liveData() const { return m_liveData; }
	SettingsStore &settings() { return m_settings; }
	SourceManager *sources() const { return m_sources; }
	HostedServer *server() const { return m_server; }
	// The same live data for browsers, on the port after the server's.
	WebFeed *webFeed() const { return m_webFeed; }
	QList<PortalDevice> devices() const { return m_devices; }
	QList<GraphicsOutput> outputs() const { return m_outputs; }
	QString outputsError() const { return m_outputsError; }
	const AppEnvironment &environment() const { return *m_environment; }

	// The account's devices and graphics, read again from the portal.
	// A failure keeps the lists as they were.
	void refreshDevices(DoneCallback done = {});
	void refreshOutputs(DoneCallback done = {});
	// For the graphics source's refresh button, which must answer on the
	// spot: waits in a local event loop for at most timeoutMs.
	bool refreshOutputsBlocking(int timeoutMs);
	// After sign-in: the remembered device, or the account's only one.
	void autoSelectSource();
	void selectCloudDevice(const QString &deviceId);

	// Starts or stops the shared data server, and the browser feed with
	// it, from the settings.
	void applyServerSettings();
	// Stores the stream delay and holds live changes back by it from now
	// on (status texts are never held back).
	void setLiveDelaySeconds(int seconds);
	// USB sessions kept running after the setup dialog closes, so that
	// their devices stay connected to the cloud through this computer.
	// keepUsbRelay answers whether it took the session over.
	bool keepUsbRelay(DeviceSession *session);
	void releaseUsbRelay(const QString &portPath);
	void stopUsbRelays();
	// One line per kept session: who it is and how its relay is doing.
	QStringList usbRelaySummaries() const;

	// Keeps the plug-in current: automatic checks a while after start
	// and then daily, while the settings allow them.
	PluginUpdater *updater() const { return m_updater; }
	// A manual check always runs; an automatic one only when allowed.
	void checkForUpdates(bool manual);
	struct UpdateTimings {
		int firstCheckMs = 20000;
		int everyMs = 86400000;
	};
	// Restarts both timers with these intervals (tests shorten them).
	void setUpdateTimings(const UpdateTimings &timings);

	// Commands of the data server's clients other than "get".
	QJsonObject handleCommand(const QString &op,
				  const QJsonObject &request);

Q_SIGNALS:
	void usbRelaysChanged();
	void devicesChanged();
	void outputsChanged();
	void serverStateChanged();

private:
	explicit App(std::unique_ptr<AppEnvironment> environment);
	void onSignedInChanged(bool signedIn);
	void dropUsbRelay(DeviceSession *session);
	void setUpUpdates();
	void onUpdateStateChanged();

	std::unique_ptr<AppEnvironment> m_environment;
	PortalClient m_portal;
	LiveData m_liveData;
	SettingsStore m_settings;
	SourceManager *m_sources = nullptr;
	HostedServer *m_server = nullptr;
	WebFeed *m_webFeed = nullptr;
	QList<PortalDevice> m_devices;
	QList<GraphicsOutput> m_outputs;
	QString m_outputsError;
	QObject *m_relayHolder = nullptr;
	PluginUpdater *m_updater = nullptr;
	QTimer *m_firstUpdateCheck = nullptr;
	QTimer *m_dailyUpdateCheck = nullptr;
	QList<QPointer<DeviceSession>> m_usbRelays;
};

} // namespace quillmarch
