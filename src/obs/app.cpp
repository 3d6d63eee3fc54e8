#include "app.h"

#include <atomic>

namespace quillmarch {

namespace {

// Source callbacks read this from OBS's own threads.
std::atomic<App *> g_instance{nullptr};

} // namespace

App::App(std::unique_ptr<AppEnvironment> environment)
	: m_environment(std::move(environment))
{
	m_settings.setPath(
		m_environment->configPath(QStringLiteral("settings.json")));
	m_settings.load();
}

App::~App() = default;

void App::init(std::unique_ptr<AppEnvironment> environment)
{
	if (g_instance.load() || !environment)
		return;
	g_instance.store(new App(std::move(environment)));
}

void App::shutdown()
{
	App *app = g_instance.exchange(nullptr);
	delete app;
}

App *App::get()
{
	return g_instance.load();
}

bool App::ready()
{
	return g_instance.load() != nullptr;
}

} // namespace quillmarch
