#include "app.h"
#include "base/log.h"
#include "live/source_manager.h"
#include "portal_sim.h"
#include "server/hosted_server.h"
#include "update/plugin_updater.h"
#include "update_site.h"

#include "support/await.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace quillmarch;
using quillmarch::portalsim::FaultRule;
using quillmarch::portalsim::PortalSim;

namespace {

// Stands in for OBS: configuration files live in a temporary directory.
struct TempEnvironment : AppEnvironment {
	TempEnvironment(QString dir, QString portal = {},
			int *dropped = nullptr)
		: dir(std::move(dir)),
		  portal(std::move(portal)),
		  dropped(dropped)
	{
	}
	~TempEnvironment() override
	{
		if (dropped)
			++*dropped;
	}
	QString configPath(const QString &file) const override
	{
		return dir.isEmpty() ? QString() : dir + '/' + file;
	}
	QString moduleFile(const QString &) const override { return {}; }
	QString hostVersion() const override { return "29.0.2"; }
	QString portalBaseUrl() const override
	{
		return portal.isEmpty() ? AppEnvironment::portalBaseUrl()
					: portal;
	}
	QString updateSiteUrl() const override
	{
		return site.isEmpty() ? AppEnvironment::updateSiteUrl() : site;
	}
	QString dir, portal, site;
	int *dropped;
};

QStringList g_log;

// The lines logged while `act` runs.
template<class Act> QStringList logged(Act act)
{
	g_log.clear();
	setLogSink([](LogLevel, const QString &line) { g_log.append(line); });
	act();
	setLogSink(nullptr);
	return g_log;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
	QFile f(path);
	return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// An application object talking to a portal simulator, with its
// configuration in a temporary directory.
struct Rig {
	QTemporaryDir dir;
	PortalSim sim;

	bool start(const QByteArray &settings = QByteArray())
	{
		QString error;
		if (!sim.start(0, portalsim::PortalSimOptions(), &error))
			return false;
		if (!settings.isEmpty() &&
		    !writeFile(dir.filePath("settings.json"), settings))
			return false;
		App::init(std::make_unique<TempEnvironment>(dir.path(),
							    sim.baseUrl()));
		return App::ready();
	}
	bool signIn(const QString &email)
	{
		return test::awaitResult<PortalResult>([&](auto done) {
			       App::get()->portal().signIn(email, "bleachers",
							   done);
		       }) &&
		       App::get()->portal().isSignedIn();
	}
	// A forced answer in the simulator's key=value form.
	bool addFault(const QString &text)
	{
		FaultRule rule;
		QString error;
		if (!FaultRule::fromText(text, &rule, &error))
			return false;
		sim.addFault(rule);
		return true;
	}
	QJsonObject command(const QString &op, const QJsonObject &req = {})
	{
		return App::get()->handleCommand(op, req);
	}
};

} // namespace

class TestApp : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void cleanup() { App::shutdown(); }
	void lifetimeAndSettingsFile();
	void signInListsAndSelects();
	void rememberedLanRouteNeedsToken();
	void outputsFollowTheAccount();
	void serverCommands();
	void serverFollowsSettings();
	void restoreFailureIsLogged();
	void automaticUpdateChecks();
};

void TestApp::lifetimeAndSettingsFile()
{
	QVERIFY(!App::ready());
	QCOMPARE(App::get(), nullptr);
	App::shutdown(); // safe with no instance

	// The settings come from the host's configuration folder.
	QTemporaryDir dir;
	QVERIFY(writeFile(
		dir.filePath("settings.json"),
		R"({"server_port": 9123, "selected_device": "QM-4"})"));
	App::init(std::make_unique<TempEnvironment>(dir.path()));
	App *first = App::get();
	QVERIFY(App::ready() && first);
	QCOMPARE(first->environment().hostVersion(), QStringLiteral("29.0.2"));
	QCOMPARE(first->settings().serverPort(), 9123);
	QCOMPARE(first->settings().selectedDevice(), QStringLiteral("QM-4"));
	first->settings().setServerPort(9124);
	first->liveData().ingest({{"home_score", 5}});

	// A second init keeps the instance and drops the new environment.
	int dropped = 0;
	App::init(std::make_unique<TempEnvironment>(dir.path(), "", &dropped));
	QCOMPARE(App::get(), first);
	QCOMPARE(dropped, 1);
	QCOMPARE(first->liveData().value("home_score"), QStringLiteral("5"));

	// Objects destroyed with the application object must already see
	// "not ready", the way OBS source callbacks do during unload.
	bool readyDuringTearDown = true;
	connect(new QObject(first), &QObject::destroyed,
		[&] { readyDuringTearDown = App::ready(); });
	App::shutdown();
	QCOMPARE(readyDuringTearDown, false);
	QCOMPARE(App::get(), nullptr);

	App::init(std::make_unique<TempEnvironment>(dir.path()));
	QCOMPARE(App::get()->settings().serverPort(), 9124);
	App::shutdown();

	// Without a configuration folder there is no file, but settings work.
	App::init(std::make_unique<TempEnvironment>(QString()));
	QCOMPARE(App::get()->settings().path(), QString());
	App::get()->settings().setServerEnabled(true);
	QCOMPARE(App::get()->settings().serverEnabled(), true);
}

// One device: chosen. Several and none remembered: none chosen. A
// remembered device is chosen while it is there.
void TestApp::signInListsAndSelects()
{
	const struct {
		const char *email, *settings, *selected;
	} rows[] = {
		{"free@example.com", "", "QM-5E0D77"},
		{"coach@example.com", "", ""},
		{"coach@example.com", R"({"selected_device":"QM-2B9C04"})",
		 "QM-2B9C04"},
		{"free@example.com", R"({"selected_device":"QM-GONE"})",
		 "QM-5E0D77"},
	};
	for (const auto &row : rows) {
		App::shutdown();
		Rig rig;
		QVERIFY(rig.start(row.settings));
		App *app = App::get();
		QSignalSpy devices(app, &App::devicesChanged);
		QVERIFY(rig.signIn(row.email));
		QTRY_COMPARE(devices.count(), 1);
		QVERIFY(!app->devices().isEmpty());
		if (!*row.selected)
			QTest::qWait(100);
		QTRY_COMPARE(app->sources()->mode(),
			     *row.selected ? SourceManager::Cloud
					   : SourceManager::None);
		QCOMPARE(app->sources()->deviceId(), row.selected);
		QCOMPARE(app->settings().selectedDevice(), row.selected);
	}
}

void TestApp::rememberedLanRouteNeedsToken()
{
	Rig rig;
	QVERIFY(rig.start(R"({"routes":{"QM-5E0D77":"lan"},
		"lan":{"QM-5E0D77":{"host":"127.0.0.1","name":"Court"}}})"));
	App *app = App::get();
	app->selectCloudDevice("QM-5E0D77");
	QCOMPARE(app->sources()->mode(), SourceManager::Cloud);

	app->settings().setLanDevice("QM-5E0D77",
				     {"127.0.0.1", "tok", "Court"});
	app->selectCloudDevice("QM-5E0D77");
	QCOMPARE(app->sources()->mode(), SourceManager::Lan);
	QCOMPARE(app->sources()->label(), QStringLiteral("Court"));
	// "lan" is matched exactly.
	app->settings().setPreferredRoute("QM-5E0D77", "LAN");
	app->selectCloudDevice("QM-5E0D77");
	QCOMPARE(app->sources()->mode(), SourceManager::Cloud);
}

void TestApp::outputsFollowTheAccount()
{
	Rig rig;
	QVERIFY(rig.start());
	App *app = App::get();
	QVERIFY(rig.signIn("coach@example.com"));
	QTRY_VERIFY(!app->devices().isEmpty() && !app->outputs().isEmpty());

	QStringList order;
	connect(app, &App::devicesChanged, [&] { order << "devices"; });
	connect(app, &App::outputsChanged, [&] { order << "outputs"; });
	app->portal().signOut();
	QTRY_COMPARE(order, (QStringList{"devices", "outputs"}));
	QVERIFY(app->devices().isEmpty());
	QVERIFY(app->outputs().isEmpty());
	QCOMPARE(rig.command("devices"),
		 QJsonObject({{"devices", QJsonArray()}}));

	// Signed out, the blocking refresh answers at once.
	QElapsedTimer clock;
	clock.start();
	QVERIFY(!app->refreshOutputsBlocking(8000));
	QVERIFY(clock.elapsed() < 1000);
	QCOMPARE(
		app->outputsError(),
		QStringLiteral(
			"Sign in from the Quillmarch dock to see your graphics."));

	// The next refresh that works clears the sentence.
	QVERIFY(rig.signIn("coach@example.com"));
	QVERIFY(app->refreshOutputsBlocking(8000));
	QVERIFY(app->outputsError().isEmpty());
	QVERIFY(!app->outputs().isEmpty());

	// An account without a plan has no graphics, and says why.
	app->portal().signOut();
	QVERIFY(rig.signIn("free@example.com"));
	QTRY_COMPARE(app->outputsError(),
		     QStringLiteral(
			     "Graphics need an active Quillmarch cloud plan."));

	// A refresh that outlives its wait gives false, and its answer, which
	// comes while the test still runs, must not touch the finished wait.
	QVERIFY(rig.addFault("path=/api/graphics/outputs,delay_ms=400"));
	QVERIFY(!app->refreshOutputsBlocking(100));
	QTest::qWait(600);
}

void TestApp::serverCommands()
{
	Rig rig;
	QVERIFY(rig.start());
	App *app = App::get();
	QVERIFY(rig.signIn("coach@example.com"));
	QTRY_COMPARE(app->devices().size(), 3);

	const QJsonObject status = rig.command("status");
	QCOMPARE(status.value("signed_in").toVariant().toString() + ' ' +
			 status.value("account").toString(),
		 "true coach@example.com");
	for (const char *key : {"source", "device", "live", "message", "sport"})
		QVERIFY2(status.contains(key), key);

	const QJsonArray devices =
		rig.command("devices").value("devices").toArray();
	QCOMPARE(devices.size(), 3);
	QCOMPARE(devices.at(0).toObject().value("name").toString(),
		 app->devices().at(0).displayName());

	QCOMPARE(rig.command("use", {{"device", "QM/annex 3"}}),
		 QJsonObject({{"device", "QM/annex 3"}}));
	QCOMPARE(app->sources()->deviceId(), QStringLiteral("QM/annex 3"));
	QCOMPARE(rig.command("use", {{"device", "QM-NOPE"}}),
		 QJsonObject({{"ok", false}, {"error", "unknown_device"}}));
	QCOMPARE(rig.command("GET"),
		 QJsonObject({{"ok", false}, {"error", "unknown_op"}}));
}

void TestApp::serverFollowsSettings()
{
	// A port taken by someone else: the start fails with a log line.
	QTcpServer squatter;
	QVERIFY(squatter.listen(QHostAddress::LocalHost));
	Rig rig;
	QVERIFY(rig.start(
		QStringLiteral(R"({"server_enabled":true,"server_port":%1})")
			.arg(squatter.serverPort())
			.toUtf8()));
	App *app = App::get();
	QVERIFY(!app->server()->isListening());

	QSignalSpy state(app, &App::serverStateChanged);
	squatter.close();
	QCOMPARE(logged([app] { app->applyServerSettings(); }), QStringList());
	QVERIFY(app->server()->isListening());
	QVERIFY(state.count() >= 1);

	// A client gets the snapshot, and the text status command.
	QTcpSocket client;
	client.connectToHost(QHostAddress::LocalHost,
			     quint16(app->settings().serverPort()));
	QTRY_VERIFY(client.canReadLine());
	client.readLine(); // the snapshot, which the server's suite checks
	client.write("status\n");
	QTRY_VERIFY(client.canReadLine());
	const QJsonObject reply =
		QJsonDocument::fromJson(client.readLine()).object();
	QCOMPARE(reply.value("op").toString() + ' ' +
			 reply.value("signed_in").toVariant().toString(),
		 "status false");

	app->settings().setServerEnabled(false);
	app->applyServerSettings();
	QVERIFY(!app->server()->isListening());
	QCOMPARE(state.count() >= 2, true);

	// Enabled on a port in use: logged with the server's own sentence.
	QVERIFY(squatter.listen(QHostAddress::LocalHost));
	app->settings().setServerPort(squatter.serverPort());
	app->settings().setServerEnabled(true);
	const QStringList taken = logged([app] { app->applyServerSettings(); });
	QCOMPARE(taken.size(), 1);
	QVERIFY2(taken.first().startsWith(
			 QStringLiteral(
				 "[quillmarch] Could not listen on port %1: ")
				 .arg(squatter.serverPort())),
		 qPrintable(taken.first()));
	// A hand-edited port past 65535 is refused, not wrapped to another.
	app->settings().setServerPort(70000);
	QCOMPARE(
		logged([app] { app->applyServerSettings(); }),
		QStringList{
			"[quillmarch] Could not listen on port 70000: the port must be between 1 and 65535."});
	QVERIFY(!app->server()->isListening());
}

void TestApp::restoreFailureIsLogged()
{
	// A saved session the portal answers with a server error is logged;
	// a 401 is not.
	for (int status : {500, 401}) {
		App::shutdown();
		Rig rig;
		QVERIFY(rig.addFault(
			QStringLiteral("path=/auth/me,status=%1,count=0")
				.arg(status)));
		bool asked = false;
		const QStringList log = logged([&] {
			asked = rig.start() && QTest::qWaitFor([&] {
					return !rig.sim.requestsTo("GET",
								   "/auth/me")
							.isEmpty();
				});
			QTest::qWait(100);
		});
		QVERIFY(asked);
		QCOMPARE(log, status == 500
				      ? QStringList{"[quillmarch] could not "
						    "restore sign-in: HTTP 500"}
				      : QStringList());
	}
}

// Automatic checks come after the first delay and then at every interval,
// only while the settings allow them; a manual check always runs.
void TestApp::automaticUpdateChecks()
{
	QTemporaryDir siteDir;
	updatesite::UpdateSite site(siteDir.path());
	QVERIFY(site.listen());
	QVERIFY(QDir().mkpath(siteDir.filePath("downloads/obs")));
	QVERIFY(writeFile(siteDir.filePath("downloads/obs/latest.json"),
			  R"({"version": "1.0.1", "packages": {}})"));
	QTemporaryDir dir;
	auto environment = std::make_unique<TempEnvironment>(dir.path());
	environment->site = site.baseUrl();
	App::init(std::move(environment));
	App *app = App::get();
	QCOMPARE(app->updater()->config().manifestUrl,
		 site.baseUrl() + "/downloads/obs/latest.json");
	QCOMPARE(app->updater()->config().obsVersion, QStringLiteral("29.0.2"));

	const auto checks = [&] {
		return site.requestCount("latest.json");
	};
	app->setUpdateTimings({30, 60});
	QTRY_VERIFY(checks() >= 2);
	QTRY_COMPARE(app->updater()->state(), PluginUpdater::UpToDate);
	QVERIFY(app->settings().lastUpdateCheck() > 0);

	app->settings().setAutoCheckUpdates(false);
	QTRY_VERIFY(!app->updater()->busy());
	const int before = checks();
	QTest::qWait(200);
	app->checkForUpdates(false);
	QTest::qWait(50);
	QCOMPARE(checks(), before);
	app->checkForUpdates(true);
	QTRY_COMPARE(checks(), before + 1);
}

QTEST_MAIN(TestApp)
#include "tst_app.moc"
