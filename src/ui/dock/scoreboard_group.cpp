#include "scoreboard_group.h"

#include "app.h"
#include "dock_style.h"
#include "line_holder.h"
#include "live/source_manager.h"
#include "score_line.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QVBoxLayout>

namespace quillmarch {

ScoreboardGroup::ScoreboardGroup(QWidget *parent) : QGroupBox(parent)
{
	setTitle(tr("Scoreboard"));
	auto *layout = new QVBoxLayout(this);

	m_devices = new QComboBox(this);
	// Long device names must not widen the dock.
	m_devices->setSizeAdjustPolicy(
		QComboBox::AdjustToMinimumContentsLengthWithIcon);
	m_devices->setMinimumContentsLength(12);
	layout->addWidget(m_devices);

	m_lan = new QCheckBox(
		tr("Use my local network (works without internet)"), this);
	m_lan->hide();
	layout->addWidget(m_lan);

	m_status = new QLabel(this);
	m_status->setWordWrap(true);
	m_status->setTextFormat(Qt::RichText);
	layout->addWidget(m_status);

	// Plain text: field values show as sent, and the separator keeps its
	// three spaces on each side (rich text would fold them into one).
	m_score = new QLabel(this);
	m_score->setWordWrap(true);
	m_score->setTextFormat(Qt::PlainText);
	m_score->setTextInteractionFlags(Qt::TextSelectableByMouse);
	m_scoreHolder = new LineHolder(m_score, this);
	m_scoreHolder->hide();
	layout->addWidget(m_scoreHolder);

	connect(m_devices, QOverload<int>::of(&QComboBox::currentIndexChanged),
		this,
		[this] { Q_EMIT currentDeviceChanged(currentDeviceId()); });
	// activated() comes from the user only, never from refreshDevices().
	connect(m_devices, QOverload<int>::of(&QComboBox::activated), this,
		&ScoreboardGroup::onDeviceChosen);
	connect(m_lan, &QCheckBox::toggled, this,
		&ScoreboardGroup::onLanToggled);
}

void ScoreboardGroup::setSignedIn(bool signedIn)
{
	m_devices->setVisible(signedIn);
}

QString ScoreboardGroup::currentDeviceId() const
{
	return m_devices->currentData().toString();
}

void ScoreboardGroup::refreshDevices()
{
	App *app = App::get();
	if (!app)
		return;
	QString id = app->sources()->deviceId();
	if (id.isEmpty())
		id = app->settings().selectedDevice();

	m_devices->clear();
	const QList<PortalDevice> devices = app->devices();
	for (const PortalDevice &device : devices)
		m_devices->addItem(device.displayName(), device.deviceId);
	if (devices.isEmpty())
		m_devices->addItem(tr("No devices on this account yet"),
				   QString());
	for (int i = 0; i < m_devices->count(); ++i) {
		if (!id.isEmpty() && m_devices->itemData(i).toString() == id) {
			m_devices->setCurrentIndex(i);
			break;
		}
	}
	refreshLanBox();
}

void ScoreboardGroup::refreshLanBox()
{
	App *app = App::get();
	if (!app)
		return;
	const QString id = currentDeviceId();
	const LanDevice lan = app->settings().lanDevice(id);
	const bool shown = !id.isEmpty() && !lan.host.isEmpty() &&
			   !lan.token.isEmpty();
	m_settingLanBox = true;
	m_lan->setVisible(shown);
	m_lan->setChecked(shown && app->settings().preferredRoute(id) ==
					   QLatin1String("lan"));
	m_settingLanBox = false;
}

void ScoreboardGroup::onDeviceChosen(int index)
{
	App *app = App::get();
	const QString id = m_devices->itemData(index).toString();
	if (!app || id.isEmpty())
		return;
	app->selectCloudDevice(id);
	refreshLanBox();
}

void ScoreboardGroup::onLanToggled(bool checked)
{
	App *app = App::get();
	const QString id = currentDeviceId();
	if (m_settingLanBox || !app || id.isEmpty())
		return;
	app->settings().setPreferredRoute(
		id, checked ? QStringLiteral("lan") : QStringLiteral("cloud"));
	app->selectCloudDevice(id);
}

void ScoreboardGroup::refreshStatus()
{
	App *app = App::get();
	if (!app)
		return;
	const SourceManager *sources = app->sources();
	// Another program may switch devices through the data server; the
	// list shows the one actually followed.
	const QString followed = sources->deviceId();
	const int index = m_devices->findData(followed);
	if (!followed.isEmpty() && index >= 0 &&
	    index != m_devices->currentIndex()) {
		m_devices->setCurrentIndex(index);
		refreshLanBox();
	}

	QString text = sources->statusText();
	if (text.isEmpty())
		text = tr("Pick a scoreboard above.");
	m_status->setText(
		QStringLiteral("<span style=\"color:%1\">\u25cf</span> %2")
			.arg(QLatin1String(sources->isLive()
						   ? dockstyle::kLiveColour
						   : dockstyle::kWaitingColour),
			     text.toHtmlEscaped()));
}

void ScoreboardGroup::refreshScore()
{
	App *app = App::get();
	if (!app)
		return;
	const QString line = scoreLine(app->liveData());
	m_score->setText(line);
	m_scoreHolder->setVisible(!line.isEmpty());
}

} // namespace quillmarch
