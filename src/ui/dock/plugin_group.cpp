#include "plugin_group.h"

#include "app.h"
#include "dock_style.h"
#include "update/plugin_updater.h"

#include <QCheckBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace quillmarch {

PluginGroup::PluginGroup(QWidget *parent) : QGroupBox(parent)
{
	setTitle(tr("Quillmarch plugin"));
	auto *layout = new QVBoxLayout(this);
	auto *row = new QHBoxLayout;
	row->addWidget(new QLabel(
		tr("Version %1").arg(QLatin1String(App::kVersion)), this));
	row->addStretch();
	m_check = new QPushButton(tr("Check for updates"), this);
	row->addWidget(m_check);
	layout->addLayout(row);
	m_status = dockstyle::hintLabel(QString(), this);
	layout->addWidget(m_status);
	m_autoCheck =
		new QCheckBox(tr("Check for updates automatically"), this);
	layout->addWidget(m_autoCheck);

	// Scores shown before the picture they belong to give the play away:
	// a stream delay needs the same delay here.
	auto *delayRow = new QHBoxLayout;
	auto *delayLabel = new QLabel(tr("Delay live data by"), this);
	m_delay = new QSpinBox(this);
	m_delay->setObjectName(QStringLiteral("quillmarchLiveDelay"));
	m_delay->setRange(0, 60);
	m_delay->setSuffix(tr(" s"));
	// Typing "15" must not apply 1 s first.
	m_delay->setKeyboardTracking(false);
	delayLabel->setBuddy(m_delay);
	delayRow->addWidget(delayLabel);
	delayRow->addWidget(m_delay);
	delayRow->addStretch();
	layout->addLayout(delayRow);
	layout->addWidget(dockstyle::hintLabel(
		tr("Holds scores back to match a stream delay, in every source "
		   "and for other programs. The status line stays immediate."),
		this));

	App *app = App::get();
	m_autoCheck->setChecked(!app || app->settings().autoCheckUpdates());
	m_delay->setValue(app ? app->settings().liveDelaySeconds() : 0);
	connect(m_delay, qOverload<int>(&QSpinBox::valueChanged), this,
		[](int seconds) {
			if (App *app = App::get())
				app->setLiveDelaySeconds(seconds);
		});
	connect(m_check, &QPushButton::clicked, this, [] {
		if (App *app = App::get())
			app->checkForUpdates(true);
	});
	connect(m_autoCheck, &QCheckBox::toggled, this, [](bool on) {
		if (App *app = App::get())
			app->settings().setAutoCheckUpdates(on);
	});
}

void PluginGroup::refreshUpdate()
{
	App *app = App::get();
	if (!app)
		return;
	const PluginUpdater *updater = app->updater();
	const PluginUpdater::State state = updater->state();
	const bool busy = updater->busy() || state == PluginUpdater::Checking ||
			  state == PluginUpdater::Downloading ||
			  state == PluginUpdater::Installing;
	m_check->setEnabled(!busy && state != PluginUpdater::Installed);

	QString status = updater->message();
	const qint64 checked = app->settings().lastUpdateCheck();
	if (state == PluginUpdater::UpToDate && checked > 0)
		status += tr(" Checked %1.")
				  .arg(QDateTime::fromSecsSinceEpoch(checked)
					       .toString(Qt::TextDate));
	m_status->setText(status);
	m_status->setVisible(!status.isEmpty());
	m_status->setStyleSheet(
		state == PluginUpdater::Failed
			? QStringLiteral("color: #d9534f;")
			: QStringLiteral("color: palette(placeholder-text);"));
}

} // namespace quillmarch
