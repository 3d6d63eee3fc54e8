// The application's side of keeping the plug-in current: the updater's
// configuration, leftovers of the last update, the automatic checks and
// what a finished check or installation changes.
#include "app.h"

#include "base/log.h"
#include "update/plugin_updater.h"
#include "update/update_platform.h"

#include <QDateTime>
#include <QDir>
#include <QTimer>

namespace quillmarch {

QString AppEnvironment::updateSiteUrl() const
{
	return QStringLiteral(QUILLMARCH_UPDATE_SITE_URL);
}

void App::setUpUpdates()
{
	const QString site = m_environment->updateSiteUrl();
	UpdateConfig config;
	config.manifestUrl =
		site + QStringLiteral("/downloads/obs/latest.json");
	config.currentVersion = QLatin1String(kVersion);
	config.platformKey = PluginUpdater::platformKey();
	config.obsVersion = m_environment->hostVersion();
	config.websiteUrl = site + QStringLiteral("/download");
	config.downloadDir =
		m_environment->configPath(QStringLiteral("update"));
	const QString dataDir = m_environment->moduleFile(QString());
	config.bundlePath = update::bundlePathFromDataDir(dataDir);
	config.timeoutMs = 15000;

	m_updater = new PluginUpdater(this);
	m_updater->setConfig(config);
	// An earlier update may have left the replaced files behind.
	if (!config.bundlePath.isEmpty())
		PluginUpdater::cleanupLeftovers(config.bundlePath);
	connect(m_updater, &PluginUpdater::stateChanged, this,
		&App::onUpdateStateChanged);

	m_firstUpdateCheck = new QTimer(this);
	m_firstUpdateCheck->setSingleShot(true);
	m_firstUpdateCheck->setTimerType(Qt::CoarseTimer);
	m_dailyUpdateCheck = new QTimer(this);
	const auto automatic = [this] {
		checkForUpdates(false);
	};
	connect(m_firstUpdateCheck, &QTimer::timeout, this, automatic);
	connect(m_dailyUpdateCheck, &QTimer::timeout, this, automatic);
	setUpdateTimings(UpdateTimings());
}

void App::setUpdateTimings(const UpdateTimings &timings)
{
	m_firstUpdateCheck->start(timings.firstCheckMs);
	m_dailyUpdateCheck->start(timings.everyMs);
}

void App::checkForUpdates(bool manual)
{
	if (manual || m_settings.autoCheckUpdates())
		m_updater->check(manual);
}

void App::onUpdateStateChanged()
{
	switch (m_updater->state()) {
	case PluginUpdater::UpToDate:
	case PluginUpdater::Available:
		m_settings.setLastUpdateCheck(
			QDateTime::currentMSecsSinceEpoch() / 1000);
		break;
	case PluginUpdater::Installed:
		logInfo(QStringLiteral("plugin %1 installed; takes effect on "
				       "the next OBS start")
				.arg(m_updater->info().version));
		break;
	default:
		break;
	}
}

} // namespace quillmarch
