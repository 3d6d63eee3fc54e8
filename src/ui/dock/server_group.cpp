#include "server_group.h"

#include "app.h"
#include "dock_style.h"
#include "server/hosted_server.h"
#include "server/web_feed.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

namespace quillmarch {

ServerGroup::ServerGroup(QWidget *parent) : QGroupBox(parent)
{
	setTitle(tr("Share live data with other programs"));
	auto *layout = new QVBoxLayout(this);

	m_enabled = new QCheckBox(tr("Send scores over TCP"), this);
	layout->addWidget(m_enabled);

	auto *portRow = new QHBoxLayout;
	portRow->addWidget(new QLabel(tr("Port"), this));
	m_port = new QSpinBox(this);
	m_port->setRange(1024, 65535);
	// Other programs lose their connection on every restart: take the
	// port once it is typed, not at every digit.
	m_port->setKeyboardTracking(false);
	portRow->addWidget(m_port);
	portRow->addStretch();
	layout->addLayout(portRow);

	m_network = new QCheckBox(
		tr("Let other computers on my network connect"), this);
	layout->addWidget(m_network);

	// Made first, laid out last: the data server's hint stays the group's
	// last label, as before the feed existed.
	m_webHint = dockstyle::hintLabel(QString(), this);
	m_webHint->hide();
	m_hint = dockstyle::hintLabel(QString(), this);
	layout->addWidget(m_hint);
	layout->addWidget(m_webHint);

	connect(m_enabled, &QCheckBox::toggled, this, &ServerGroup::store);
	connect(m_network, &QCheckBox::toggled, this, &ServerGroup::store);
	connect(m_port, &QSpinBox::editingFinished, this,
		&ServerGroup::onPortEdited);
}

void ServerGroup::store()
{
	App *app = App::get();
	if (!app)
		return;
	SettingsStore &settings = app->settings();
	settings.setServerEnabled(m_enabled->isChecked());
	settings.setServerPort(m_port->value());
	settings.setServerAllowNetwork(m_network->isChecked());
	app->applyServerSettings();
}

void ServerGroup::onPortEdited()
{
	App *app = App::get();
	if (!app)
		return;
	// Editing also finishes when the field merely loses focus. A running
	// server on an unchanged port is left alone, so its clients stay
	// connected; a server that could not start is tried again.
	if (m_port->value() == app->settings().serverPort() &&
	    (!app->settings().serverEnabled() || app->server()->isListening()))
		return;
	store();
}

void ServerGroup::refresh()
{
	App *app = App::get();
	if (!app)
		return;
	const SettingsStore &settings = app->settings();
	{
		const QSignalBlocker blockEnabled(m_enabled);
		const QSignalBlocker blockPort(m_port);
		const QSignalBlocker blockNetwork(m_network);
		m_enabled->setChecked(settings.serverEnabled());
		// Clients come and go while the user may be typing a new
		// port; that typing must survive the refresh.
		if (!m_port->hasFocus())
			m_port->setValue(settings.serverPort());
		m_network->setChecked(settings.serverAllowNetwork());
	}

	const HostedServer *server = app->server();
	const WebFeed *feed = app->webFeed();
	const QString host = settings.serverAllowNetwork()
				     ? tr("this computer's address")
				     : QStringLiteral("127.0.0.1");
	// The feed runs only with the data server; when its own port cannot
	// be had, this line says why.
	QString web;
	if (settings.serverEnabled() && server->isListening())
		web = feed->isListening()
			      ? tr("Browsers and overlays: http://%1:%2/live.json or ws://%1:%2/live")
					.arg(host)
					.arg(feed->serverPort())
			      : feed->errorString();
	m_webHint->setText(web);
	m_webHint->setVisible(!web.isEmpty());
	if (!settings.serverEnabled()) {
		m_hint->setText(tr("Off."));
	} else if (server->isListening()) {
		m_hint->setText(
			tr("Connect to %1:%2 and read one JSON line per update. %3 connected.")
				.arg(host)
				.arg(server->serverPort())
				.arg(server->clientCount()));
	} else {
		m_hint->setText(
			tr("Could not start - port %1 may be in use. Try another port.")
				.arg(settings.serverPort()));
	}
}

} // namespace quillmarch
