#include "app.h"
#include "base/log.h"
#include "ble/ble_bridge.h"
#include "ble/ble_launch.h"
#include "dock_registration.h"
#include "obs_environment.h"
#include "sources.h"
#include "websocket_vendor.h"

#include <obs-module.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSslSocket>

#include <dlfcn.h>

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("quillmarch-obs", "en-US")

using namespace quillmarch;

namespace {

void obsLogSink(LogLevel level, const QString &line)
{
	const int obsLevel = level == LogLevel::Error     ? LOG_ERROR
			     : level == LogLevel::Warning ? LOG_WARNING
							  : LOG_INFO;
	blog(obsLevel, "%s", line.toUtf8().constData());
}

// A packaged plug-in carries its own Qt plug-ins (the TLS backend among them)
// in "Resources" beside its binary's folder; without them HTTPS may fail.
void registerBundledQtPlugins()
{
	Dl_info info{};
	if (!dladdr(reinterpret_cast<void *>(&registerBundledQtPlugins),
		    &info) ||
	    !info.dli_fname) {
		logWarning(QStringLiteral(
			"could not locate the plugin bundle; HTTPS may fail"));
		return;
	}
	QDir dir = QFileInfo(QString::fromUtf8(info.dli_fname)).absoluteDir();
	dir.cdUp();
	const QString resources = dir.filePath(QStringLiteral("Resources"));
	if (QFileInfo(resources).isDir())
		QCoreApplication::addLibraryPath(resources);
	logInfo(QStringLiteral("Qt TLS backend available: %1")
			.arg(QSslSocket::supportsSsl() ? QStringLiteral("yes")
						       : QStringLiteral("no")));
}

} // namespace

const char *obs_module_name(void)
{
	return "Quillmarch";
}

const char *obs_module_author(void)
{
	return "Quillmarch";
}

const char *obs_module_description(void)
{
	return "Live Quillmarch scoreboard data, graphics and device setup inside OBS.";
}

bool obs_module_load(void)
{
	setLogSink(&obsLogSink);
	logInfo(QStringLiteral("loading plugin %1")
			.arg(QLatin1String(App::kVersion)));
	registerBundledQtPlugins();
	App::init(std::make_unique<ObsEnvironment>());
	// Empty when the helper is missing from this install: Bluetooth then
	// tells the user to reinstall instead of failing to start it.
	const QString helper = ObsEnvironment().moduleFile(bleHelperFileName());
	if (helper.isEmpty())
		logWarning(QStringLiteral("Bluetooth helper %1 not found; "
					  "Bluetooth setup is unavailable")
				   .arg(bleHelperFileName()));
	BleBridge::instance()->setHelperPath(helper);
	sources_register();
	sources_connect_live_data();
	visibility_filter_connect_live_data();
	dock_register();
	return true;
}

// obs-websocket may load after us: it is looked for once all have loaded.
void obs_module_post_load(void)
{
	websocket_vendor_register();
}

void obs_module_unload(void)
{
	websocket_vendor_unregister();
	dock_unregister();
	BleBridge::instance()->shutdown();
	App::shutdown();
	logInfo(QStringLiteral("plugin unloaded"));
}
