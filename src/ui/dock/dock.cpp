#include "dock.h"

#include "app.h"
#include "devices_group.h"
#include "dock_host.h"
#include "live/source_manager.h"
#include "plugin_group.h"
#include "scoreboard_group.h"
#include "server_group.h"
#include "setup/setup_dialog.h"
#include "show_in_obs_group.h"
#include "sign_in_group.h"
#include "update/plugin_updater.h"
#include "update_banner.h"

#include <QEvent>
#include <QFrame>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace quillmarch {

namespace {

// Scrolls up and down only, and is never narrower than its content's
// widest row: check boxes do not wrap their text, and a plain scroll area
// would let OBS squeeze the dock until their ends were cut off.
class VerticalScrollArea : public QScrollArea {
public:
	using QScrollArea::QScrollArea;

	QSize minimumSizeHint() const override
	{
		QSize size = QScrollArea::minimumSizeHint();
		if (widget())
			size.setWidth(widget()->minimumSizeHint().width() +
				      verticalScrollBar()->sizeHint().width() +
				      2 * frameWidth());
		return size;
	}

protected:
	bool eventFilter(QObject *watched, QEvent *event) override
	{
		// Rows come and go (sign-in, the local-network box): the
		// widest one sets the minimum width again.
		if (watched == widget() &&
		    event->type() == QEvent::LayoutRequest)
			updateGeometry();
		return QScrollArea::eventFilter(watched, event);
	}
};

} // namespace

Dock::Dock(std::unique_ptr<DockHost> host, QWidget *parent)
	: QWidget(parent),
	  m_host(std::move(host))
{
	auto *outer = new QVBoxLayout(this);
	outer->setContentsMargins(0, 0, 0, 0);
	auto *scroll = new VerticalScrollArea(this);
	scroll->setFrameShape(QFrame::NoFrame);
	scroll->setWidgetResizable(true);
	scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
	outer->addWidget(scroll);

	auto *content = new QWidget(scroll);
	auto *contentLayout = new QVBoxLayout(content);
	m_pages = new QStackedWidget(content);
	contentLayout->addWidget(m_pages);
	contentLayout->addStretch();
	scroll->setWidget(content);

	// The home page, top to bottom. Features that arrive later (update
	// news, device setup, graphics) add their own group here.
	auto *home = new QWidget(m_pages);
	auto *layout = new QVBoxLayout(home);
	layout->setContentsMargins(0, 0, 0, 0);
	m_updateBanner = new UpdateBanner(m_host.get(), home);
	layout->addWidget(m_updateBanner);
	m_signIn = new SignInGroup(home);
	layout->addWidget(m_signIn);
	m_account = new AccountRow(home);
	layout->addWidget(m_account);
	m_scoreboard = new ScoreboardGroup(home);
	layout->addWidget(m_scoreboard);
	layout->addWidget(new ShowInObsGroup(m_host.get(), home));
	m_devices = new DevicesGroup(home);
	layout->addWidget(m_devices);
	connect(m_devices, &DevicesGroup::setupRequested, this,
		&Dock::openSetup);
	connect(m_scoreboard, &ScoreboardGroup::currentDeviceChanged, this,
		[this](const QString &id) {
			App *app = App::get();
			m_devices->setAccountDevice(
				app && app->portal().isSignedIn(), id);
		});
	m_server = new ServerGroup(home);
	layout->addWidget(m_server);
	m_plugin = new PluginGroup(home);
	layout->addWidget(m_plugin);
	m_pages->addWidget(home);

	connectApp();
	refreshAll();
	refreshUpdate();
}

Dock::~Dock() = default;

void Dock::connectApp()
{
	App *app = App::get();
	if (!app)
		return;
	connect(&app->portal(), &PortalClient::signedInChanged, this,
		&Dock::refreshAll);
	connect(app, &App::devicesChanged, this, &Dock::refreshDevices);
	connect(app->sources(), &SourceManager::statusChanged, this,
		&Dock::refreshStatus);
	connect(&app->liveData(), &LiveData::changed, this,
		&Dock::refreshScore);
	connect(app, &App::serverStateChanged, this, &Dock::refreshServer);
	connect(app, &App::usbRelaysChanged, this, &Dock::refreshRelays);
	connect(app->updater(), &PluginUpdater::stateChanged, this,
		&Dock::refreshUpdate);
	// A relay's byte counts and errors change without a signal to App.
	auto *relayTimer = new QTimer(this);
	relayTimer->setInterval(2000);
	connect(relayTimer, &QTimer::timeout, this, &Dock::refreshRelays);
	relayTimer->start();
}

void Dock::refreshAll()
{
	App *app = App::get();
	const bool signedIn = app && app->portal().isSignedIn();
	m_signIn->setVisible(!signedIn);
	m_account->setVisible(signedIn);
	m_account->refresh();
	m_scoreboard->setSignedIn(signedIn);
	refreshDevices();
	m_devices->setAccountDevice(signedIn, m_scoreboard->currentDeviceId());
	refreshStatus();
	refreshScore();
	refreshServer();
	refreshRelays();
}

void Dock::refreshDevices()
{
	m_scoreboard->refreshDevices();
}

void Dock::refreshStatus()
{
	m_scoreboard->refreshStatus();
}

void Dock::refreshScore()
{
	m_scoreboard->refreshScore();
}

void Dock::refreshServer()
{
	m_server->refresh();
}

void Dock::refreshRelays()
{
	m_devices->refreshRelays();
}

void Dock::openSetup()
{
	if (!m_setup) {
		m_setup = new SetupDialog(window());
		m_setup->setAttribute(Qt::WA_DeleteOnClose);
	}
	m_setup->show();
	m_setup->raise();
	m_setup->activateWindow();
}

void Dock::refreshUpdate()
{
	m_updateBanner->refresh();
	m_plugin->refreshUpdate();
}

} // namespace quillmarch
