#include "update_banner.h"

#include "app.h"
#include "dock_host.h"
#include "dock_style.h"
#include "update/plugin_updater.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace quillmarch {

namespace {

const char *const kInstalledStyle =
	"QFrame#quillmarchUpdateBanner { border: 3px solid #e8a317; "
	"border-radius: 8px; background: rgba(232, 163, 23, 0.18); }";
const char *const kNewsStyle =
	"QFrame#quillmarchUpdateBanner { border: 2px solid #3d8bdb; "
	"border-radius: 8px; background: rgba(61, 139, 219, 0.14); }";

} // namespace

UpdateBanner::UpdateBanner(const DockHost *host, QWidget *parent)
	: QFrame(parent),
	  m_host(host)
{
	setObjectName(QStringLiteral("quillmarchUpdateBanner"));
	auto *layout = new QVBoxLayout(this);
	m_text = new QLabel(this);
	m_text->setWordWrap(true);
	layout->addWidget(m_text);
	// Release notes come from the web site: shown as they are.
	m_notes = dockstyle::hintLabel(QString(), this);
	m_notes->setTextFormat(Qt::PlainText);
	layout->addWidget(m_notes);
	m_progress = new QProgressBar(this);
	m_progress->setRange(0, 100);
	m_progress->setTextVisible(false);
	layout->addWidget(m_progress);
	auto *row = new QHBoxLayout;
	m_install = new QPushButton(tr("Update now"), this);
	m_downloadPage = new QPushButton(tr("Open the download page"), this);
	row->addWidget(m_install);
	row->addWidget(m_downloadPage);
	row->addStretch();
	layout->addLayout(row);

	connect(m_install, &QPushButton::clicked, this, [] {
		if (App *app = App::get())
			app->updater()->install();
	});
	connect(m_downloadPage, &QPushButton::clicked, this, [] {
		if (App *app = App::get())
			QDesktopServices::openUrl(
				QUrl(app->updater()->config().websiteUrl));
	});
	hide();
}

void UpdateBanner::refresh()
{
	App *app = App::get();
	if (!app) {
		hide();
		return;
	}
	const PluginUpdater *updater = app->updater();
	const PluginUpdater::State state = updater->state();
	const UpdateInfo &info = updater->info();
	const bool busy = state == PluginUpdater::Checking ||
			  state == PluginUpdater::Downloading ||
			  state == PluginUpdater::Installing;
	const bool installed = state == PluginUpdater::Installed;

	const bool shown =
		state == PluginUpdater::Failed
			? !info.url.isEmpty()
			: state == PluginUpdater::Available ||
				  state == PluginUpdater::Downloading ||
				  state == PluginUpdater::Installing ||
				  installed;
	setVisible(shown);
	if (!shown)
		return;
	setStyleSheet(QLatin1String(installed ? kInstalledStyle : kNewsStyle));

	QString text;
	if (installed) {
		text = tr("Restart OBS to finish updating to version %1.")
			       .arg(info.version);
		if (m_host && m_host->streamingOrRecording())
			text += tr(" OBS is streaming or recording right now, "
				   "so wait until you are done.");
	} else if (state == PluginUpdater::Failed) {
		text = tr("The update to version %1 did not finish.")
			       .arg(info.version);
	} else if (busy) {
		text = updater->message();
	} else {
		text = tr("Quillmarch %1 is available (you have %2).")
			       .arg(info.version, QLatin1String(App::kVersion));
	}
	m_text->setText(text);

	m_notes->setText(info.notes);
	m_notes->setVisible(state == PluginUpdater::Available &&
			    !info.notes.isEmpty());

	const bool downloading = state == PluginUpdater::Downloading;
	const bool installing = state == PluginUpdater::Installing;
	m_progress->setVisible(downloading || installing);
	// An endless busy bar while the files are replaced.
	m_progress->setRange(0, installing ? 0 : 100);
	m_progress->setValue(updater->progress());

	const bool actionable = !installed && !busy;
	const bool inPlace = updater->canInstallInPlace();
	m_install->setText(state == PluginUpdater::Failed ? tr("Try again")
							  : tr("Update now"));
	m_install->setVisible(actionable && inPlace);
	m_downloadPage->setVisible(actionable && !inPlace);
}

} // namespace quillmarch
