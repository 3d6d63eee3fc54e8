#pragma once

#include <QPointer>
#include <QWidget>

#include <memory>

class QStackedWidget;

namespace quillmarch {

class AccountRow;
class DevicesGroup;
class DockHost;
class PluginGroup;
class ScoreboardGroup;
class ServerGroup;
class SetupDialog;
class SignInGroup;
class UpdateBanner;

// The plug-in's panel inside OBS: sign-in, the scoreboard followed with its
// live status, adding sources to the scene, the data server's switches and
// the plug-in's version. It reads everything from App and refreshes from
// App's signals. Main thread only; it needs App to exist when it is built.
class Dock : public QWidget {
	Q_OBJECT

public:
	explicit Dock(std::unique_ptr<DockHost> host,
		      QWidget *parent = nullptr);
	~Dock() override;

	void refreshAll();
	void refreshDevices();
	void refreshStatus();
	void refreshScore();
	void refreshServer();
	void refreshRelays();
	void refreshUpdate();
	// Opens the setup dialog, or brings the open one to the front: one
	// at a time, since each holds its own device connection.
	void openSetup();

private:
	void connectApp();

	std::unique_ptr<DockHost> m_host;
	QStackedWidget *m_pages;
	SignInGroup *m_signIn;
	AccountRow *m_account;
	ScoreboardGroup *m_scoreboard;
	UpdateBanner *m_updateBanner;
	DevicesGroup *m_devices;
	ServerGroup *m_server;
	PluginGroup *m_plugin;
	QPointer<SetupDialog> m_setup;
};

} // namespace quillmarch
