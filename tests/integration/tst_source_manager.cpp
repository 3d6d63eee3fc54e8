// The live source selection against real peers: the portal simulator for
// the cloud route, a TLS feed server for the network route, and a scripted
// link for a device session.
#include "account/portal_client.h"
#include "admin/device_session.h"
#include "lan/tls_feed.h"
#include "live/live_data.h"
#include "live/source_manager.h"
#include "portal_sim.h"

#include "support/await.h"
#include "support/fake_link.h"
#include "support/fake_tls_feed_server.h"

#include <QSignalSpy>
#include <QtTest>

using namespace quillmarch;
using quillmarch::portalsim::FaultRule;
using quillmarch::portalsim::PortalSim;
using quillmarch::test::FakeTlsFeedServer;

namespace {

struct Rig {
	PortalSim sim;
	std::unique_ptr<PortalClient> portal;
	LiveData live;
	std::unique_ptr<SourceManager> sources;
	QStringList statuses;

	bool start()
	{
		QString error;
		if (!sim.start(0, portalsim::PortalSimOptions(), &error))
			return false;
		portal = std::make_unique<PortalClient>(sim.baseUrl());
		sources = std::make_unique<SourceManager>(portal.get(), &live);
		sources->setTimings({40, 120});
		QObject::connect(
			sources.get(), &SourceManager::statusChanged, [this] {
				statuses.append(
					(sources->isLive() ? "live:" : "") +
					sources->statusText());
			});
		return true;
	}
	bool signIn()
	{
		return test::awaitResult<PortalResult>([&](auto done) {
			       portal->signIn("coach@example.com", "bleachers",
					      done);
		       }) &&
		       portal->isSignedIn();
	}
	int stateRequests(const QString &id) const
	{
		int n = 0;
		for (const auto &r : sim.requests())
			if (r.path.contains("/state") &&
			    QUrl::fromPercentEncoding(r.path).contains(id))
				++n;
		return n;
	}
	// A forced answer to the state route, in the simulator's key=value
	// form.
	bool addFault(const QString &text)
	{
		FaultRule rule;
		QString error;
		if (!FaultRule::fromText("path=/*/state," + text, &rule,
					 &error))
			return false;
		sim.addFault(rule);
		return true;
	}
};

} // namespace

class TestSourceManager : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void cloudStates();
	void cloudFailuresSlowDownRecoverAndStop();
	void signOutStopsCloudPolling();
	void networkFeed();
	void deviceSession();
};

void TestSourceManager::cloudStates()
{
	Rig rig;
	QVERIFY(rig.start());
	// Signed out, the poll keeps ticking without asking the portal.
	rig.sources->useCloud("QM-7F3A21");
	QCOMPARE(rig.sources->statusText(),
		 QStringLiteral("Sign in to see live scores."));
	QTest::qWait(200);
	QVERIFY(rig.sources->isPolling());
	QCOMPARE(rig.stateRequests("QM-7F3A21"), 0);

	// Polling resumes by itself after sign-in. Online: the game's fields
	// reach the live data.
	QVERIFY(rig.signIn());
	QTRY_VERIFY(rig.sources->isLive());
	QCOMPARE(rig.sources->statusText(),
		 QStringLiteral("Live from QM-7F3A21"));
	QVERIFY(!rig.live.fieldNames().isEmpty());
	QCOMPARE(rig.live.sourceLabel(), QStringLiteral("QM-7F3A21"));

	// Offline: its last scores, not live.
	rig.sources->useCloud("QM-2B9C04");
	QTRY_COMPARE(rig.sources->statusText(),
		     QStringLiteral(
			     "QM-2B9C04 is offline. Showing its last scores."));
	QVERIFY(!rig.sources->isLive());

	// Pending: nothing reaches the live data (switching cleared it).
	rig.sources->useCloud("QM/annex 3");
	QTRY_COMPARE(
		rig.sources->statusText(),
		QStringLiteral(
			"QM/annex 3 has not sent any scoreboard data yet."));
	QTest::qWait(100);
	QVERIFY(rig.live.fieldNames().isEmpty());

	// An envelope without "online" counts as online.
	QVERIFY(rig.sim.postEnvelope("QM-2B9C04",
				     {{"type", "state"}, {"home_score", 9}}));
	rig.sources->useCloud("QM-2B9C04");
	QTRY_VERIFY(rig.sources->isLive());
	QCOMPARE(rig.live.value("home_score"), QStringLiteral("9"));
}

void TestSourceManager::cloudFailuresSlowDownRecoverAndStop()
{
	Rig rig;
	QVERIFY(rig.start());
	QVERIFY(rig.signIn());
	// Five failures in a row keep the pace, the sixth slows it. Each takes
	// a while, so the sixth request is seen while its answer is pending.
	QVERIFY(rig.addFault("status=500,code=server_error,count=6,"
			     "delay_ms=200"));
	rig.sources->useCloud("QM-7F3A21");
	QTRY_COMPARE_WITH_TIMEOUT(rig.stateRequests("QM-7F3A21"), 6, 5000);
	QCOMPARE(rig.sources->pollInterval(), 40);
	QVERIFY(!rig.sources->isLive());
	QVERIFY(!rig.sources->statusText().isEmpty());
	QTRY_COMPARE(rig.sources->pollInterval(), 120);
	QTRY_VERIFY(rig.sources->isLive());        // success...
	QCOMPARE(rig.sources->pollInterval(), 40); // ...speeds up

	// A failure that waiting cannot mend stops the polling.
	QVERIFY(rig.addFault(
		"status=402,code=cloud_subscription_required,count=0"));
	QTRY_VERIFY(!rig.sources->isPolling());
	QVERIFY(!rig.sources->isLive());
	QVERIFY(!rig.sources->statusText().isEmpty());
	const int requests = rig.stateRequests("QM-7F3A21");
	QTest::qWait(200);
	QCOMPARE(rig.stateRequests("QM-7F3A21"), requests);
}

void TestSourceManager::signOutStopsCloudPolling()
{
	Rig rig;
	QVERIFY(rig.start());
	QVERIFY(rig.signIn());
	rig.sources->useCloud("QM-7F3A21");
	QTRY_VERIFY(rig.sources->isLive());

	// A poll on its way at sign-out must not bring "live" back.
	FaultRule slow;
	QString error;
	QVERIFY(FaultRule::fromJson(
		{{"path", "/*/state"},
		 {"status", 200},
		 {"type", "application/json"},
		 {"body", R"({"type":"state","home_score":77})"},
		 {"delay_ms", 300}},
		&slow, &error));
	rig.sim.addFault(slow);
	const int before = rig.stateRequests("QM-7F3A21");
	QTRY_COMPARE(rig.stateRequests("QM-7F3A21"), before + 1);
	rig.portal->signOut();
	QTRY_COMPARE(rig.sources->statusText(),
		     QStringLiteral("Signed out. Sign in to see live scores."));
	QVERIFY(!rig.sources->isPolling());
	QTest::qWait(500); // the slow answer has come and gone
	QVERIFY(!rig.sources->isLive());
	QCOMPARE(rig.sources->statusText(),
		 QStringLiteral("Signed out. Sign in to see live scores."));
	QVERIFY(rig.live.value("home_score") != QStringLiteral("77"));
	// Signing in again does not restart it by itself.
	QVERIFY(rig.signIn());
	QTest::qWait(150);
	QVERIFY(!rig.sources->isPolling());
}

void TestSourceManager::networkFeed()
{
	auto server =
		std::make_unique<FakeTlsFeedServer>(QUILLMARCH_TLS_TEST_DATA);
	QVERIFY(server->hasIdentity() && server->start());
	Rig rig;
	QVERIFY(rig.start());
	rig.sources->feed()->setBackoff(30, 60);
	rig.sources->setFeedPort(server->port());

	// Switched from the cloud while a slow cloud answer is on its way.
	QVERIFY(rig.signIn());
	QVERIFY(rig.addFault("action=answer,delay_ms=300"));
	rig.sources->useCloud("QM-7F3A21");
	QTRY_COMPARE(rig.stateRequests("QM-7F3A21"), 1);

	// A device without a name is called by its id; an admin port typed
	// after its address does not reach the feed.
	rig.sources->useLan("QM-31D0E8", {"127.0.0.1:8080", "secret", ""});
	QCOMPARE(rig.sources->mode(), SourceManager::Lan);
	QCOMPARE(rig.sources->statusText(),
		 QStringLiteral("Connecting to QM-31D0E8 on your network…"));
	QTRY_COMPARE(
		rig.sources->statusText(),
		QStringLiteral(
			"Connected to QM-31D0E8, waiting for scoreboard data…"));
	QCOMPARE(server->authLines().size(), 1);
	QVERIFY(server->authLines().first().contains("\"secret\""));
	// The slow cloud answer has come and gone without touching anything.
	QTest::qWait(400);
	QVERIFY(rig.live.fieldNames().isEmpty());
	QVERIFY(!rig.sources->isLive());
	QCOMPARE(
		rig.sources->statusText(),
		QStringLiteral(
			"Connected to QM-31D0E8, waiting for scoreboard data…"));

	// The first accepted envelope turns the source live, once; an
	// envelope of a type the data ignores does not.
	rig.statuses.clear();
	server->send("{\"type\":\"pending\"}\n");
	QTest::qWait(100);
	QVERIFY(!rig.sources->isLive());
	server->send("{\"type\":\"state\",\"home_score\":1}\n"
		     "{\"type\":\"state\",\"home_score\":2}\n");
	QTRY_COMPARE(rig.live.value("home_score"), QStringLiteral("2"));
	QCOMPARE(rig.statuses,
		 QStringList{"live:Live from QM-31D0E8 over your network"});

	// A drop: the feed's reason, then connected again after the backoff
	// (which may be over before a check could look at the status).
	rig.statuses.clear();
	server->closeClients();
	QTRY_COMPARE(
		rig.statuses.value(1),
		QStringLiteral(
			"Connected to QM-31D0E8, waiting for scoreboard data…"));
	QVERIFY2(rig.statuses.first().startsWith(
			 "Could not reach the device on your network"),
		 qPrintable(rig.statuses.join('|')));
}

void TestSourceManager::deviceSession()
{
	Rig rig;
	QVERIFY(rig.start());
	auto *link = new test::FakeLink;
	DeviceSession session(link);
	rig.sources->useSession(&session, "Gym (USB)");
	QCOMPARE(
		rig.sources->statusText(),
		QStringLiteral(
			"Connected to Gym (USB), waiting for scoreboard data…"));

	Q_EMIT link->envelope({{"type", "state"}, {"home_score", 4}});
	QVERIFY(rig.sources->isLive());
	QCOMPARE(rig.sources->statusText(),
		 QStringLiteral("Live from Gym (USB)"));
	QCOMPARE(rig.live.value("home_score"), QStringLiteral("4"));

	// Ready after going live leaves the live status alone.
	Q_EMIT session.stateChanged(DeviceSession::Ready, QString());
	QVERIFY(rig.sources->isLive());

	Q_EMIT session.stateChanged(DeviceSession::Restarting, QString());
	QCOMPARE(
		rig.sources->statusText(),
		QStringLiteral(
			"Gym (USB) is restarting. Reopen the setup window to reconnect."));
	Q_EMIT session.stateChanged(DeviceSession::Lost, QString());
	QCOMPARE(rig.sources->statusText(),
		 QStringLiteral("Lost the connection to Gym (USB)"));
	Q_EMIT session.stateChanged(DeviceSession::Error, "Cable unplugged");
	QCOMPARE(rig.sources->statusText(), QStringLiteral("Cable unplugged"));

	// Another source: the session's envelopes no longer count.
	rig.sources->useCloud("QM-7F3A21");
	Q_EMIT link->envelope({{"type", "state"}, {"home_score", 8}});
	QCOMPARE(rig.live.value("home_score"), QString());
}

QTEST_GUILESS_MAIN(TestSourceManager)
#include "tst_source_manager.moc"
