#pragma once

#include "app_environment.h"
#include "live_data.h"
#include "settings_store.h"

#include <QObject>

#include <memory>

namespace quillmarch {

// The plug-in's one long-lived object: it owns every service and wires them
// together. It lives on the Qt main thread from module load to unload.
class App : public QObject {
	Q_OBJECT

public:
	static constexpr const char *kVersion = "1.0.1";

	// Creates the instance if there is none; a second call keeps the
	// existing one and drops the environment it was given.
	static void init(std::unique_ptr<AppEnvironment> environment);
	// Clears the instance pointer first, so code reached during tear-down
	// sees "not ready", then destroys the instance.
	static void shutdown();
	static App *get();
	static bool ready();

	~App() override;

	LiveData &liveData() { return m_liveData; }
	const LiveData &liveData() const { return m_liveData; }
	SettingsStore &settings() { return m_settings; }
	const AppEnvironment &environment() const { return *m_environment; }

private:
	explicit App(std::unique_ptr<AppEnvironment> environment);

	std::unique_ptr<AppEnvironment> m_environment;
	LiveData m_liveData;
	SettingsStore m_settings;
};

} // namespace quillmarch
