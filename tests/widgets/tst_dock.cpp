#include "admin/device_session.h"
#include "app.h"
#include "dock/dock.h"
#include "dock/dock_host.h"
#include "dock/score_line.h"
#include "live/source_manager.h"
#include "portal_sim.h"
#include "server/hosted_server.h"
#include "setup/setup_dialog.h"
#include "update/plugin_updater.h"
#include "update_site.h"
#include "usb/usb_link.h"
#include "usb_side.h"

#include "support/await.h"
#include "support/temp_environment.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QGroupBox>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace quillmarch;
using quillmarch::portalsim::FaultRule;
using quillmarch::portalsim::PortalSim;

namespace {

using quillmarch::test::TempEnvironment;

// Stands in for OBS's current scene.
struct FakeScene : DockHost {
	QStringList names;
	QStringList types;
	bool onAir = false;
	bool streamingOrRecording() const override { return onAir; }
	void addSourceToCurrentScene(const QString &typeId,
				     const QString &baseName) override
	{
		names << freeSourceName(baseName, [this](const QString &n) {
			return names.contains(n);
		});
		types << typeId;
	}
};

// The address the system browser was asked to open.
class UrlCatcher : public QObject {
	Q_OBJECT
public:
	QList<QUrl> opened;
public Q_SLOTS:
	void open(const QUrl &url) { opened << url; }
};

// The application object against a portal simulator, and its dock shown
// offscreen at the width of a dock beside OBS's preview.
struct Rig {
	QTemporaryDir dir;
	PortalSim sim;
	FakeScene *scene = nullptr;
	std::unique_ptr<Dock> dock;

	~Rig()
	{
		dock.reset();
		App::shutdown();
	}
	bool start(const QByteArray &settings = QByteArray())
	{
		QString error;
		if (!sim.start(0, portalsim::PortalSimOptions(), &error))
			return false;
		if (!settings.isEmpty()) {
			QFile f(dir.filePath("settings.json"));
			if (!f.open(QIODevice::WriteOnly) ||
			    f.write(settings) != settings.size())
				return false;
		}
		App::init(std::make_unique<TempEnvironment>(dir.path(),
							    sim.baseUrl()));
		auto host = std::make_unique<FakeScene>();
		scene = host.get();
		dock = std::make_unique<Dock>(std::move(host));
		dock->resize(380, 760);
		dock->show();
		QApplication::setActiveWindow(dock.get());
		return App::ready() && QTest::qWaitForWindowExposed(dock.get());
	}
	bool signIn(const QString &email)
	{
		return test::awaitResult<PortalResult>([&](auto done) {
			       App::get()->portal().signIn(email, "bleachers",
							   done);
		       }) &&
		       App::get()->portal().isSignedIn();
	}

	template<class W> QList<W *> all() const
	{
		return dock->findChildren<W *>();
	}
	QAbstractButton *button(const QString &text) const
	{
		for (QAbstractButton *b : all<QAbstractButton>())
			if (b->text() == text)
				return b;
		return nullptr;
	}
	QLineEdit *field(const QString &placeholder) const
	{
		for (QLineEdit *e : all<QLineEdit>())
			if (e->placeholderText() == placeholder)
				return e;
		return nullptr;
	}
	QGroupBox *group(const QString &title) const
	{
		for (QGroupBox *g : all<QGroupBox>())
			if (g->title() == title)
				return g;
		return nullptr;
	}
	// The label showing text, or one containing it.
	QLabel *label(const QString &text, bool exact = true) const
	{
		for (QLabel *l : all<QLabel>())
			if (exact ? l->text() == text
				  : l->text().contains(text))
				return l;
		return nullptr;
	}
	QLabel *statusLabel() const { return label("\u25cf", false); }
	QComboBox *devices() const { return dock->findChild<QComboBox *>(); }
	QSpinBox *port() const { return dock->findChild<QSpinBox *>(); }
	QString serverHint() const
	{
		const QList<QLabel *> labels =
			group("Share live data with other programs")
				->findChildren<QLabel *>();
		return labels.isEmpty() ? QString() : labels.last()->text();
	}

	// The whole dock as a user sees it, kept for a look.
	void savePng(const QString &name) const
	{
		// Layouts settle level by level in posted events, as they
		// would before the next paint.
		for (int i = 0; i < 10; ++i)
			QCoreApplication::sendPostedEvents();
		const QDir out(QStringLiteral(QUILLMARCH_WIDGET_ARTIFACTS));
		QDir().mkpath(out.path());
		QVERIFY(dock->grab().save(out.filePath(name + ".png")));
		// Every group, also those scrolled out of view.
		if (name == QLatin1String("dock-server-on"))
			QVERIFY(dock->findChild<QScrollArea *>()
					->widget()
					->grab()
					.save(out.filePath(name + "-all.png")));
	}
};

void click(QAbstractButton *button)
{
	QVERIFY(button && button->isVisible());
	// A check box takes clicks on its box and text only, not on the
	// empty rest of its row.
	const QPoint at = qobject_cast<QCheckBox *>(button)
				  ? QPoint(8, button->height() / 2)
				  : button->rect().center();
	QTest::mouseClick(button, Qt::LeftButton, {}, at);
}

void typeInto(QWidget *field, const QString &text)
{
	QVERIFY(field && field->isVisible());
	field->setFocus();
	QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
	QTest::keyClicks(field, text);
}

quint16 freePort()
{
	QTcpServer probe;
	return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

} // namespace

class TestDock : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void signInToLiveScore();
	void deviceListAndLocalNetwork();
	void serverSwitches();
	void usbRelayRow();
	void updateNewsAndControls();
	void upToDate();
	void scoreLine_data();
	void scoreLine();
};

// A user signs in through the authenticator step, sees the live score of
// the account's only device, puts score text into the scene and signs out.
void TestDock::signInToLiveScore()
{
	Rig rig;
	QVERIFY(rig.start());
	App *app = App::get();

	// Signed out: the form, no device list, the amber "pick one" status.
	QVERIFY(rig.group("Quillmarch account (optional)")->isVisible());
	QVERIFY(!rig.devices()->isVisible());
	QVERIFY(!rig.button("Sign out")->isVisible());
	QLineEdit *code = rig.field("6-digit code from your authenticator app");
	QVERIFY(code && !code->isVisible());
	QCOMPARE(rig.statusLabel()->text(),
		 QStringLiteral("<span style=\"color:#d9a441\">\u25cf</span> "
				"Pick a scoreboard above."));
	QVERIFY(rig.label("Version " + QString(App::kVersion)));
	rig.savePng("dock-signed-out");

	// The links open the portal's own pages.
	UrlCatcher browser;
	QDesktopServices::setUrlHandler("http", &browser, "open");
	QLabel *links = rig.label("Create an account", false);
	QTest::mouseClick(links, Qt::LeftButton, {},
			  QPoint(5, links->height() / 2));
	QTest::mouseClick(links, Qt::LeftButton, {},
			  QPoint(links->sizeHint().width() - 5,
				 links->height() / 2));
	QDesktopServices::unsetUrlHandler("http");
	QCOMPARE(browser.opened,
		 (QList<QUrl>{QUrl(rig.sim.baseUrl() + "/signup.html"),
			      QUrl(rig.sim.baseUrl() + "/reset.html")}));

	// Nothing typed: the portal's own sentence, in red.
	click(rig.button("Sign in"));
	QLabel *message = nullptr;
	QTRY_VERIFY((
		message = rig.label("Enter your email address and password.")));
	QCOMPARE(message->styleSheet(), QStringLiteral("color: #d9534f;"));
	QVERIFY(rig.button("Sign in")->isEnabled());

	// The account asks for a code; Return in the password field signs in.
	typeInto(rig.field("Email"), "director@example.com");
	typeInto(rig.field("Password"), "scoreboard");
	QTest::keyClick(rig.field("Password"), Qt::Key_Return);
	QTRY_VERIFY(code->isVisible());
	QCOMPARE(message->text(),
		 QStringLiteral("Enter the code from your authenticator app."));
	QCOMPARE(message->styleSheet(), QString());
	QTRY_VERIFY(code->hasFocus());
	rig.savePng("dock-code-step");

	// A mistyped code keeps the step. A challenge that expired does not:
	// the next try starts again from the password.
	QTest::keyClicks(code, "111111");
	QTest::keyClick(code, Qt::Key_Return);
	QTRY_COMPARE(message->styleSheet(), QStringLiteral("color: #d9534f;"));
	QVERIFY(code->isVisible() && !message->text().isEmpty());
	FaultRule expired;
	QString error;
	QVERIFY(FaultRule::fromText("path=/auth/login/totp,status=401,"
				    "code=challenge_expired",
				    &expired, &error));
	rig.sim.addFault(expired);
	typeInto(code, "246810");
	QTest::keyClick(code, Qt::Key_Return);
	QTRY_VERIFY(code->isHidden());
	QCOMPARE(message->styleSheet(), QStringLiteral("color: #d9534f;"));
	QTest::keyClick(rig.field("Password"), Qt::Key_Return);
	QTRY_VERIFY(code->isVisible());
	typeInto(code, "246810");
	QTest::keyClick(code, Qt::Key_Return);
	QTRY_VERIFY(app->portal().isSignedIn());
	QTRY_VERIFY(!rig.group("Quillmarch account (optional)")->isVisible());
	QVERIFY(rig.field("Password")->text().isEmpty());
	QVERIFY(code->text().isEmpty() && code->isHidden());
	QVERIFY(message->text().isEmpty() && message->isHidden());
	QVERIFY(rig.label("Signed in as <b>director@example.com</b>"));
	QVERIFY(rig.button("Sign out")->isVisible());

	// Its only device is followed through the cloud and goes live.
	QTRY_COMPARE(rig.devices()->currentText(),
		     QStringLiteral("Stadium (QM-31D0E8)"));
	QVERIFY(rig.devices()->isVisible());
	QTRY_VERIFY_WITH_TIMEOUT(
		rig.statusLabel()->text().startsWith(
			"<span style=\"color:#3cb371\">\u25cf</span> "),
		10000);
	QTRY_VERIFY(!app->liveData().fieldNames().isEmpty());
	QLabel *score = rig.label(quillmarch::scoreLine(app->liveData()));
	QVERIFY(score && score->text().contains(QString::fromUtf8(" – ")));
	rig.savePng("dock-signed-in-live");

	// A line too long for the dock wraps, with room for every line; a
	// short one gives the room back.
	const int oneLine = score->height();
	app->liveData().ingest(
		{{"type", "state"},
		 {"fields",
		  QJsonObject{{"inning", "Bottom of the ninth, two out, "
					 "bases loaded, full count"}}}});
	QTRY_VERIFY(score->height() > oneLine);
	QTRY_COMPARE(score->height(), score->heightForWidth(score->width()));
	rig.savePng("dock-long-score-line");
	app->liveData().ingest(
		{{"type", "state"}, {"fields", QJsonObject{{"inning", ""}}}});
	QTRY_COMPARE(score->height(), oneLine);

	// Each press adds a source under a name of its own.
	click(rig.button("Add live score text to this scene"));
	click(rig.button("Add live score text to this scene"));
	click(rig.button("Add a graphic to this scene"));
	QCOMPARE(rig.scene->names,
		 (QStringList{"Quillmarch Score", "Quillmarch Score 2",
			      "Quillmarch Graphics"}));
	QCOMPARE(rig.scene->types,
		 (QStringList{"quillmarch_text", "quillmarch_text",
			      "quillmarch_graphics"}));

	// The followed device can be managed through the account.
	const QString manage =
		"Manage the selected device through my account\u2026";
	click(rig.button(manage));
	QDialog *dialog = nullptr;
	QTRY_VERIFY(dialog = rig.dock->findChild<QDialog *>());
	QVERIFY(dialog->windowTitle().contains("QM-31D0E8"));
	dialog->close();
	QTRY_VERIFY(!rig.dock->findChild<QDialog *>());

	click(rig.button("Sign out"));
	QTRY_VERIFY(!rig.button(manage)->isVisible());
	QTRY_VERIFY(rig.group("Quillmarch account (optional)")->isVisible());
	QVERIFY(!rig.devices()->isVisible());
	QVERIFY(!rig.button("Sign out")->isVisible());
	QCOMPARE(rig.devices()->count(), 1);
	QCOMPARE(rig.devices()->itemText(0),
		 QStringLiteral("No devices on this account yet"));
}

// The device list follows the account; the local-network box appears only
// for a device remembered with both host and token, and only the user's
// clicks change the route.
void TestDock::deviceListAndLocalNetwork()
{
	Rig rig;
	QVERIFY(rig.start(R"({"selected_device": "QM-7F3A21",
		"routes": {"QM-7F3A21": "lan"},
		"lan": {"QM-7F3A21": {"host": "127.0.0.1", "token": "t0k"},
		        "QM-2B9C04": {"host": "127.0.0.1"}}})"));
	App *app = App::get();
	const auto routes = [app] {
		return app->settings().data().value("routes").toObject();
	};
	QVERIFY(rig.signIn("coach@example.com"));
	QTRY_COMPARE(rig.devices()->count(), 3);
	QComboBox *devices = rig.devices();
	QAbstractButton *lan =
		rig.button("Use my local network (works without internet)");
	QTRY_COMPARE(app->sources()->mode(), SourceManager::Lan);
	QCOMPARE(devices->currentData().toString(),
		 QStringLiteral("QM-7F3A21"));
	QVERIFY(lan->isVisible() && lan->isChecked());

	// A device with a host but no token: no box, and hiding it did not
	// store a route for it.
	devices->setFocus();
	QTest::keyClick(devices, Qt::Key_Down);
	QCOMPARE(devices->currentData().toString(),
		 QStringLiteral("QM-2B9C04"));
	QCOMPARE(app->settings().selectedDevice(), QStringLiteral("QM-2B9C04"));
	QCOMPARE(app->sources()->mode(), SourceManager::Cloud);
	QVERIFY(!lan->isVisible() && !lan->isChecked());
	QVERIFY(!routes().contains("QM-2B9C04"));

	// Back to the first: the box is shown and checked again, and the
	// user's clicks switch between the cloud and the local network.
	QTest::keyClick(devices, Qt::Key_Up);
	QVERIFY(lan->isVisible() && lan->isChecked());
	QCOMPARE(app->sources()->mode(), SourceManager::Lan);
	click(lan);
	QCOMPARE(routes().value("QM-7F3A21").toString(),
		 QStringLiteral("cloud"));
	QCOMPARE(app->sources()->mode(), SourceManager::Cloud);
	click(lan);
	QCOMPARE(routes().value("QM-7F3A21").toString(), QStringLiteral("lan"));
	QCOMPARE(app->sources()->mode(), SourceManager::Lan);
	QCOMPARE(routes().size(), 1);

	// A program on the data server switches devices: the list follows.
	app->handleCommand("use", {{"device", "QM/annex 3"}});
	QCOMPARE(devices->currentText(), QStringLiteral("QM/annex 3"));
	QVERIFY(!lan->isVisible());

	// An account without devices says so and offers nothing to pick.
	click(rig.button("Sign out"));
	FaultRule rule;
	QString error;
	QVERIFY(FaultRule::fromJson({{"method", "GET"},
				     {"path", "/devices"},
				     {"status", 200},
				     {"type", "application/json"},
				     {"body", R"({"devices": []})"}},
				    &rule, &error));
	rig.sim.addFault(rule);
	QVERIFY(rig.signIn("coach@example.com"));
	QTRY_COMPARE(devices->itemText(0),
		     QStringLiteral("No devices on this account yet"));
	QCOMPARE(devices->count(), 1);
	QCOMPARE(devices->currentData().toString(), QString());
	QVERIFY(!lan->isVisible());
}

// The data server's three switches, and the hint that says where to
// connect, with the real number of connected programs.
void TestDock::serverSwitches()
{
	const quint16 port = freePort();
	QVERIFY(port >= 1024);
	Rig rig;
	QVERIFY(rig.start(
		QStringLiteral(R"({"server_port": %1})").arg(port).toUtf8()));
	App *app = App::get();
	QCOMPARE(rig.serverHint(), QStringLiteral("Off."));

	// Squeezed, the dock stays wide enough for its longest check box.
	rig.dock->resize(150, 760);
	QTest::qWait(0);
	const QWidget *viewport =
		rig.dock->findChild<QAbstractScrollArea *>()->viewport();
	const QAbstractButton *widest =
		rig.button("Let other computers on my network connect");
	QVERIFY(widest->mapTo(viewport, QPoint(widest->sizeHint().width(), 0))
			.x() <= viewport->width());
	rig.dock->resize(380, 760);
	QCOMPARE(rig.port()->value(), int(port));

	const QString listening = QStringLiteral(
		"Connect to %1:%2 and read one JSON line per update. %3 connected.");
	click(rig.button("Send scores over TCP"));
	QCOMPARE(rig.serverHint(), listening.arg("127.0.0.1").arg(port).arg(0));
	QTcpSocket first;
	first.connectToHost(QHostAddress::LocalHost, port);
	QTRY_COMPARE(rig.serverHint(),
		     listening.arg("127.0.0.1").arg(port).arg(1));

	// Typing a port changes nothing until the editing is finished, and a
	// client arriving meanwhile does not undo the typing.
	QTcpServer squatter;
	QVERIFY(squatter.listen(QHostAddress::Any));
	const QString taken = QString::number(squatter.serverPort());
	typeInto(rig.port(), taken);
	QTcpSocket second;
	second.connectToHost(QHostAddress::LocalHost, port);
	QTRY_COMPARE(rig.serverHint(),
		     listening.arg("127.0.0.1").arg(port).arg(2));
	QCOMPARE(rig.port()->text(), taken);
	QCOMPARE(app->settings().serverPort(), int(port));

	// Return takes the port, which is in use; Return again retries it
	// once it is free.
	QTest::keyClick(rig.port(), Qt::Key_Return);
	QCOMPARE(app->settings().serverPort(), int(squatter.serverPort()));
	QCOMPARE(rig.serverHint(),
		 QStringLiteral("Could not start - port %1 may be in use. "
				"Try another port.")
			 .arg(taken));
	QTRY_COMPARE(first.state(), QAbstractSocket::UnconnectedState);
	squatter.close();
	QTest::keyClick(rig.port(), Qt::Key_Return);
	QCOMPARE(rig.serverHint(),
		 listening.arg("127.0.0.1").arg(taken).arg(0));

	// Leaving the field without a change keeps the clients connected.
	QTcpSocket third;
	third.connectToHost(QHostAddress::LocalHost, quint16(taken.toUInt()));
	QTRY_COMPARE(rig.serverHint(),
		     listening.arg("127.0.0.1").arg(taken).arg(1));
	rig.field("Email")->setFocus();
	QVERIFY(!rig.port()->hasFocus());
	QCOMPARE(rig.serverHint(),
		 listening.arg("127.0.0.1").arg(taken).arg(1));

	// Other computers may connect: the hint no longer names the loopback.
	click(rig.button("Let other computers on my network connect"));
	QVERIFY(app->server()->isListening());
	QCOMPARE(app->server()->serverAddress(),
		 QHostAddress(QHostAddress::Any));
	QTRY_COMPARE(
		rig.serverHint(),
		listening.arg("this computer's address").arg(taken).arg(0));
	rig.savePng("dock-server-on");
	// Browsers get the feed on the next port, named the same way.
	const QString browsers =
		QStringLiteral("Browsers and overlays: http://this computer's "
			       "address:%1/live.json or ws://this computer's "
			       "address:%1/live")
			.arg(taken.toUInt() + 1);
	bool named = false;
	for (const QLabel *label :
	     rig.group("Share live data with other programs")
		     ->findChildren<QLabel *>())
		named = named || label->text() == browsers;
	QVERIFY2(named, qPrintable(browsers));

	// The stream delay, typed and confirmed, holds live data back from now.
	auto *delay = rig.dock->findChild<QSpinBox *>("quillmarchLiveDelay");
	QVERIFY(delay);
	delay->setFocus();
	delay->selectAll();
	QTest::keyClicks(delay, "15");
	QCOMPARE(app->liveData().delayMs(), 0); // not 1 s on the way to 15
	QTest::keyClick(delay, Qt::Key_Return);
	QCOMPARE(app->settings().liveDelaySeconds(), 15);
	QCOMPARE(app->liveData().delayMs(), 15000);
	delay->setValue(0);
	QCOMPARE(app->liveData().delayMs(), 0);

	click(rig.button("Send scores over TCP"));
	QCOMPARE(rig.serverHint(), QStringLiteral("Off."));
	QVERIFY(!app->server()->isListening());
	QVERIFY(!app->settings().serverEnabled());
	QVERIFY(app->settings().serverAllowNetwork());
}

// Setting up a device opens one window at a time. A USB device kept
// connected to the cloud shows in the dock until the user stops sharing.
void TestDock::usbRelayRow()
{
	Rig rig;
	QVERIFY(rig.start());
	QGroupBox *devices = rig.group("Devices");
	QVERIFY(devices && devices->isVisible());
	QLabel *relays = devices->findChild<QLabel *>();
	QVERIFY(relays && !relays->isVisible());

	// A second click brings the open window forward instead of opening
	// another; once closed, the next click opens a fresh one.
	QAbstractButton *setUp = rig.button("Set up or manage a device\u2026");
	click(setUp);
	QList<SetupDialog *> open = rig.all<SetupDialog>();
	QCOMPARE(open.size(), 1);
	const QPointer<SetupDialog> first(open.first());
	QVERIFY(first->isVisible());
	QApplication::setActiveWindow(rig.dock.get());
	QTRY_COMPARE(QApplication::activeWindow(), rig.dock.get());
	click(setUp);
	QCOMPARE(rig.all<SetupDialog>(), open);
	QTRY_COMPARE(QApplication::activeWindow(), first.data());
	first->close();
	QTRY_VERIFY(!first);
	click(setUp);
	QCOMPARE(rig.all<SetupDialog>().size(), 1);
	rig.all<SetupDialog>().first()->close();

	QTcpServer cloud;
	QVERIFY(cloud.listen(QHostAddress::LocalHost));
	sim::DeviceModel device;
	sim::UsbSide::Config config;
	config.tunnelHost = "127.0.0.1";
	config.tunnelPort = cloud.serverPort();
	sim::UsbSide side(&device, config);
	QVERIFY(side.plugIn());
	auto *session = new DeviceSession(new UsbLink(side.slavePath()));
	session->link()->setParent(session);
	session->start({sim::DeviceModel::kFactoryPassword});
	QTRY_COMPARE(session->state(), DeviceSession::NeedsNewPassword);
	QVERIFY(App::get()->keepUsbRelay(session));

	QTRY_VERIFY(relays->isVisible());
	QCOMPARE(relays->text(), "USB cloud relay\n" + session->deviceId() +
					 ": ready, waiting for the device");
	rig.savePng("dock-usb-relay");

	const QPointer<DeviceSession> kept(session);
	click(rig.button(
		"Stop sharing this computer's internet with USB devices"));
	QVERIFY(devices->isVisible() && !relays->isVisible());
	QTRY_VERIFY(!kept);
}

// A newer release as a user meets it in the dock: the banner, its notes, the
// download that fails and the retry, and the plain "up to date" answer.
void TestDock::updateNewsAndControls()
{
	Rig rig;
	QVERIFY(rig.start());
	QTemporaryDir siteDir;
	updatesite::UpdateSite site(siteDir.path());
	QVERIFY(site.listen());
	const auto publish = [&](const QString &version) {
		QDir().mkpath(siteDir.filePath("downloads/obs"));
		QFile f(siteDir.filePath("downloads/obs/latest.json"));
		const QString url =
			site.baseUrl() + "/downloads/obs/missing.zip";
		return f.open(QIODevice::WriteOnly) &&
		       f.write(QStringLiteral(
				       R"({"schema": 1, "version": "%1", "released": "2026-12-01",
				   "notes": ["Faster scores.", "Fewer clicks."],
				   "packages": {"%2": {"url": "%3", "sha256": "%4", "size": 1000}}})")
				       .arg(version,
					    PluginUpdater::platformKey(), url,
					    QString(64, 'a'))
				       .toUtf8()) > 0;
	};
	// A bundle this user may replace, laid out as OBS loads it.
	QTemporaryDir plugins;
	const QString bundle = plugins.filePath("quillmarch-obs");
	QDir().mkpath(bundle + "/bin/64bit");
	QFile binary(bundle + "/bin/64bit/quillmarch-obs.so");
	QVERIFY(binary.open(QIODevice::WriteOnly));
	binary.close();
	App *app = App::get();
	UpdateConfig config = app->updater()->config();
	config.manifestUrl = site.baseUrl() + "/downloads/obs/latest.json";
	config.websiteUrl = site.baseUrl() + "/download";
	config.bundlePath = bundle;
	app->updater()->setConfig(config);

	auto *banner = rig.dock->findChild<QFrame *>("quillmarchUpdateBanner");
	QVERIFY(banner && !banner->isVisible());
	QCheckBox *automatic = qobject_cast<QCheckBox *>(
		rig.button("Check for updates automatically"));
	QVERIFY(automatic && automatic->isChecked());
	click(automatic);
	QVERIFY(!app->settings().autoCheckUpdates());

	QVERIFY(publish("9.9.9"));
	click(rig.button("Check for updates"));
	QTRY_VERIFY(banner->isVisible());
	QVERIFY(rig.label("Quillmarch 9.9.9 is available (you have 1.0.1)."));
	QVERIFY(rig.label("Faster scores.\nFewer clicks.")->isVisible());
	QVERIFY(rig.button("Update now")->isVisible());
	QVERIFY(!rig.button("Open the download page")->isVisible());
	QVERIFY(banner->styleSheet().contains("#3d8bdb"));
	rig.savePng("dock-update-available");

	// The package is not there: the update did not finish, and the user
	// may try again.
	click(rig.button("Update now"));
	QTRY_VERIFY(rig.label("The update to version 9.9.9 did not finish."));
	QVERIFY(rig.button("Try again")->isVisible());
	QVERIFY(rig.button("Check for updates")->isEnabled());
	QLabel *status = rig.label(app->updater()->message());
	QVERIFY(status && status->styleSheet().contains("#d9534f"));
	rig.savePng("dock-update-failed");

	// A bundle without its binary cannot be replaced here: the user is
	// sent to the download page instead.
	QVERIFY(binary.remove());
	click(rig.button("Check for updates"));
	QTRY_VERIFY(rig.button("Open the download page")->isVisible());
	QVERIFY(!rig.button("Update now")->isVisible());

	// A real package, made by the release tool: installed, the banner
	// asks for a restart (and to wait while OBS is on air).
	QVERIFY(binary.open(QIODevice::WriteOnly));
	binary.close();
	QTemporaryDir release;
	const QString next = release.filePath("quillmarch-obs");
	QDir().mkpath(next + "/bin/64bit");
	QFile nextBinary(next + "/bin/64bit/quillmarch-obs.so");
	QVERIFY(nextBinary.open(QIODevice::WriteOnly) &&
		nextBinary.write("the next release") > 0);
	nextBinary.close();
	QProcess tool;
	tool.start(QUILLMARCH_RELEASE_TOOL,
		   {"--tree", next, "--version", "9.9.9", "--platform",
		    PluginUpdater::platformKey(), "--url-base",
		    site.baseUrl() + "/downloads/obs/", "--out",
		    siteDir.filePath("downloads/obs")});
	QVERIFY(tool.waitForFinished(30000) && tool.exitCode() == 0);
	rig.scene->onAir = true;
	click(rig.button("Check for updates"));
	QTRY_VERIFY(rig.button("Update now")->isVisible());
	click(rig.button("Update now"));
	QTRY_COMPARE_WITH_TIMEOUT(app->updater()->state(),
				  PluginUpdater::Installed, 30000);
	QVERIFY(rig.label("Restart OBS to finish updating to version 9.9.9. "
			  "OBS is streaming or recording right now, so wait "
			  "until you are done."));
	QVERIFY(banner->styleSheet().contains("#e8a317"));
	QVERIFY(!rig.button("Update now")->isVisible());
	QVERIFY(!rig.button("Check for updates")->isEnabled());
	QVERIFY(nextBinary.open(QIODevice::ReadOnly));
	QCOMPARE(QFile(binary.fileName()).size(), nextBinary.size());
	rig.savePng("dock-update-installed");
}

// Up to date: no banner, and the hint says when it was checked.
void TestDock::upToDate()
{
	Rig rig;
	QVERIFY(rig.start());
	QTemporaryDir siteDir;
	updatesite::UpdateSite site(siteDir.path());
	QVERIFY(site.listen());
	QDir().mkpath(siteDir.filePath("downloads/obs"));
	QFile manifest(siteDir.filePath("downloads/obs/latest.json"));
	QVERIFY(manifest.open(QIODevice::WriteOnly) &&
		manifest.write(
			R"({"schema": 1, "version": "1.0.1", "packages": {}})") >
			0);
	manifest.close();
	App *app = App::get();
	UpdateConfig config = app->updater()->config();
	config.manifestUrl = site.baseUrl() + "/downloads/obs/latest.json";
	app->updater()->setConfig(config);
	auto *banner = rig.dock->findChild<QFrame *>("quillmarchUpdateBanner");
	click(rig.button("Check for updates"));
	QTRY_COMPARE(app->updater()->state(), PluginUpdater::UpToDate);
	QVERIFY(!banner->isVisible());
	QVERIFY(app->settings().lastUpdateCheck() > 0);
	QVERIFY(rig.label(" Checked ", false));
}

void TestDock::scoreLine_data()
{
	QTest::addColumn<QByteArray>("fields");
	QTest::addColumn<QString>("line");
	const QString dot = QStringLiteral("   \u00b7   ");
	QTest::newRow("no fields") << QByteArray("{}") << QString();
	QTest::newRow("score and period")
		<< QByteArray(
			   R"({"home_score": 2, "away_score": 1, "period": 3})")
		<< QString("2 \u2013 1" + dot + "3");
	QTest::newRow("a missing score is 0, then the parts in order")
		<< QByteArray(R"({"clock": "5:00", "inning": "7", "half": "2",
			"quarter": "4", "period": "1", "away_score": "3"})")
		<< QString("0 \u2013 3" + dot + "1" + dot + "4" + dot + "2" +
			   dot + "7" + dot + "5:00");
	QTest::newRow("clock alone")
		<< QByteArray(R"({"clock": "12:00"})") << QString("12:00");
	QTest::newRow("only shots")
		<< QByteArray(R"({"shots": 14})") << QString("shots: 14");
	QTest::newRow("empty scores: the first three fields")
		<< QByteArray(R"({"home_score": "", "away_score": "",
			"fouls": "<3>", "timeouts": 2})")
		<< QString("away_score: " + dot + "fouls: <3>" + dot +
			   "home_score: ");
}

void TestDock::scoreLine()
{
	QFETCH(QByteArray, fields);
	QFETCH(QString, line);
	LiveData data;
	data.ingest({{"type", "state"},
		     {"fields", QJsonDocument::fromJson(fields).object()}});
	QCOMPARE(quillmarch::scoreLine(data), line);
}

QTEST_MAIN(TestDock)
#include "tst_dock.moc"
