#include "admin/device_session.h"

#include "support/await.h"
#include "support/fake_link.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QtTest>

#include <memory>

using namespace quillmarch;
using quillmarch::test::awaitResult;
using quillmarch::test::FakeLink;
using State = DeviceSession::State;

namespace {

constexpr int kNever = 600000;
const QString kLost = "The connection to the device was lost";
const QString kChecking = "Checking that the device can join Home…";
const QString kTransmitting =
	"This device is set to send its scores to a wireless receiver, so its "
	"Wi-Fi is switched off and it cannot see networks. Turn the wireless "
	"link off to use Wi-Fi.";

QJsonArray array(const QByteArray &json)
{
	return QJsonDocument::fromJson(json).array();
}

// A scripted device answer: "" is success, "code" or "code:message" a
// failure, "never" no answer at all.
struct Answer {
	QString error;
	QJsonObject result;
};

// A session on a fake link with a scripted device behind it. A method
// answers from its queue first, then with its standing answer, and with an
// empty success when nothing is scripted. States and recorded completions
// share one log, so their order shows.
struct Rig {
	FakeLink *link = new FakeLink(true);
	QStringList log;
	std::unique_ptr<DeviceSession> session{new DeviceSession(link)};
	QHash<QString, QList<Answer>> queued;
	QHash<QString, Answer> standing;

	explicit Rig(bool polls = true, DeviceSession::Timings t = fast())
	{
		link->setPollsState(polls);
		session->setTimings(t);
		QObject::connect(
			session.get(), &DeviceSession::stateChanged,
			[this](State s, const QString &detail) {
				const QString name =
					QMetaEnum::fromType<State>().valueToKey(
						s);
				log << (detail.isEmpty() ? name
							 : name + ":" + detail);
			});
		link->fake()->setResponder([this](const QJsonObject &req) {
			const QString m = req["method"].toString();
			const Answer a = queued[m].isEmpty()
						 ? standing.value(m)
						 : queued[m].takeFirst();
			const int id = req["id"].toInt();
			if (a.error.isEmpty())
				link->fake()->replyOk(id, a.result);
			else if (a.error != "never")
				link->fake()->replyError(
					id, a.error.section(':', 0, 0),
					a.error.section(':', 1));
		});
	}
	static DeviceSession::Timings fast()
	{
		DeviceSession::Timings t;
		t.pollMs = 5;
		t.wifiVerifyStepMs = 1;
		t.callMs = t.receiverLoginMs = t.pollCallMs = t.scanMs =
			t.rebootMs = kNever;
		return t;
	}
	// "method:code[:message]" makes that method fail from now on.
	void failAlways(const QString &spec)
	{
		if (!spec.isEmpty())
			standing[spec.section(':', 0, 0)].error =
				spec.section(':', 1);
	}
	void signIn(const QStringList &passwords = {"pw"},
		    const QJsonObject &info = {})
	{
		session->start(passwords);
		link->emitOpened(info);
	}
	QList<QJsonObject> sent(const QString &method) const
	{
		QList<QJsonObject> out;
		for (const QJsonObject &r : link->fake()->sent())
			if (r["method"] == method)
				out << r["params"].toObject();
		return out;
	}
	QStringList logins() const
	{
		QStringList out;
		for (const QJsonObject &p : sent("login"))
			out << p["password"].toString();
		return out;
	}
	DeviceSession::DoneCallback record(const QString &tag)
	{
		return [this, tag](bool ok, const QString &message) {
			log << QString("%1:%2:%3").arg(tag).arg(ok).arg(message);
		};
	}
	RpcClient::Callback recordCall(const QString &tag)
	{
		return [this, tag](const RpcResult &r) {
			log << QString("%1:%2:%3").arg(tag, r.code, r.message);
		};
	}
};

} // namespace

class TestDeviceSession : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase() { qRegisterMetaType<State>(); }
	void signIn_data();
	void signIn();
	void forcedPasswordChange();
	void receiverOnlyAndLoginTimeouts_data();
	void receiverOnlyAndLoginTimeouts();
	void pollYieldsToUserCalls();
	void pollOutcomes_data();
	void pollOutcomes();
	void linkLoss_data();
	void linkLoss();
	void stopIsSilent();
	void retryLossAndRestartDuringStop();
	void destructionDropsCompletions_data();
	void destructionDropsCompletions();
	void scanWifi_data();
	void scanWifi();
	void verifyWifi_data();
	void verifyWifi();
	void wirelessTransmitter_data();
	void wirelessTransmitter();
	void controllersAreDeduplicated();
};

void TestDeviceSession::signIn_data()
{
	QTest::addColumn<QStringList>("candidates");
	QTest::addColumn<QStringList>("answers");
	QTest::addColumn<QStringList>("logins");
	QTest::addColumn<QString>("outcome");
	QTest::addColumn<QString>("lastError");
	const auto row = [](const char *name, QStringList candidates,
			    QStringList answers, QStringList logins,
			    QString outcome, QString lastError) {
		QTest::newRow(name) << candidates << answers << logins
				    << outcome << lastError;
	};
	const QStringList abc{"a", "b", "c"};
	row("second of three", abc, {"invalid_credentials", ""}, {"a", "b"},
	    "Ready", "");
	row("all wrong", abc, {"unauthorized", "forbidden", "bad_password"},
	    abc, "NeedsPassword", "");
	row("no candidates", {}, {}, {}, "NeedsPassword", "");
	row("rate limited", abc, {"rate_limited:Wait 60 s"}, {"a"},
	    "NeedsPassword", "Wait 60 s");
	row("other failure", abc, {"storage_full:Storage is full"}, {"a"},
	    "Error:Storage is full", "Storage is full");
}

void TestDeviceSession::signIn()
{
	QFETCH(QStringList, candidates);
	QFETCH(QStringList, answers);
	QFETCH(QString, outcome);
	Rig rig;
	for (const QString &a : answers)
		rig.queued["login"] << Answer{a, {}};
	rig.standing["getStatus"] = {"", {{"device_id", "QM-7"}}};
	rig.signIn(candidates, {{"device_id", "QM-HELLO"}, {"fw", "1.0.4"}});

	QTEST(rig.logins(), "logins");
	QCOMPARE(rig.log, (QStringList{"Connecting", "SigningIn", outcome}));
	QTEST(rig.session->lastError(), "lastError");
	// The status is read after a successful sign-in only; until then the
	// device's hello stands in for it.
	const bool ready = outcome == "Ready";
	QCOMPARE(rig.sent("getStatus").size(), ready ? 1 : 0);
	QCOMPARE(rig.session->deviceId(), ready ? "QM-7" : "QM-HELLO");
	QCOMPARE(rig.session->firmware(), QString("1.0.4"));
}

// A refused change leaves the state alone; the new password is what the
// session signs in with next.
void TestDeviceSession::forcedPasswordChange()
{
	Rig rig;
	rig.standing["login"] = {"", {{"must_change_password", true}}};
	rig.queued["changePassword"] << Answer{"weak_password:Too short", {}};
	rig.signIn({"factory"});
	QCOMPARE(rig.log.last(), QString("NeedsNewPassword"));

	rig.session->changePassword("factory", "abc", rig.record("change"));
	rig.session->changePassword("factory", "s3cret", rig.record("change"));
	QCOMPARE(rig.sent("changePassword").last(),
		 (QJsonObject{{"current_password", "factory"},
			      {"new_password", "s3cret"},
			      {"confirm_password", "s3cret"}}));
	QCOMPARE(rig.log.mid(2),
		 (QStringList{"NeedsNewPassword", "change:0:Too short", "Ready",
			      "change:1:"}));
	QVERIFY(!rig.session->mustChangePassword());
	// Polling starts only once the password is changed.
	QTRY_VERIFY(!rig.sent("getState").isEmpty());

	rig.link->emitClosed("gone");
	rig.signIn({"other"});
	QCOMPARE(rig.logins().last(), QString("s3cret"));
}

void TestDeviceSession::receiverOnlyAndLoginTimeouts_data()
{
	QTest::addColumn<bool>("viaReceiver");
	QTest::addColumn<QString>("error");
	QTest::newRow("through receiver")
		<< true
		<< "The paired device did not answer through the receiver. "
		   "Check that the device is powered, in range of the receiver "
		   "and linked to it, then try again.";
	QTest::newRow("direct")
		<< false << "The device did not answer 'login' in time";
}

// Each row can only end if the session gave the client the time-out of its
// route: the other one never fires.
void TestDeviceSession::receiverOnlyAndLoginTimeouts()
{
	QFETCH(bool, viaReceiver);
	QFETCH(QString, error);
	DeviceSession::Timings t = Rig::fast();
	(viaReceiver ? t.receiverLoginMs : t.callMs) = 30;
	Rig rig(true, t);
	rig.standing["login"] = {"never", {}};

	if (viaReceiver) {
		rig.signIn({"pw"}, {{"receiver", true}});
		QTest::qWait(10 * t.pollMs);
		QCOMPARE(rig.log, (QStringList{"Connecting", "Ready"}));
		QVERIFY(rig.session->receiverOnly());
		QVERIFY(rig.link->fake()->sent().isEmpty());
		rig.session->manageViaReceiver({"pw"});
		QVERIFY(!rig.session->receiverOnly());
	} else {
		rig.signIn({"pw"});
	}
	QCOMPARE(rig.log.last(), QString("SigningIn"));
	QTRY_COMPARE_WITH_TIMEOUT(rig.log.last(), "Error:" + error, 5000);
	QCOMPARE(rig.session->lastError(), error);
	QCOMPARE(rig.logins(), QStringList{"pw"});
}

void TestDeviceSession::pollYieldsToUserCalls()
{
	Rig rig;
	rig.standing["getSettings"] = {"never", {}};
	rig.signIn();
	QTRY_VERIFY(!rig.sent("getState").isEmpty());

	rig.session->rpc()->call("getSettings");
	const int polls = rig.sent("getState").size();
	QTest::qWait(20 * Rig::fast().pollMs);
	QCOMPARE(rig.sent("getState").size(), polls);
	// Skipped, not queued behind the user's call.
	QCOMPARE(rig.session->rpc()->pending(), 1);
	rig.link->fake()->replyOk(rig.link->fake()->lastId());
	QTRY_VERIFY(rig.sent("getState").size() > polls);
}

void TestDeviceSession::pollOutcomes_data()
{
	QTest::addColumn<QString>("kind");
	QTest::addColumn<QString>("lost");
	const QString silent = "The device stopped answering. Check that it is "
			       "powered and ";
	QTest::newRow("network") << "lan" << silent + "on the network.";
	QTest::newRow("bluetooth")
		<< "ble" << silent + "within Bluetooth range of this computer.";
}

// One run through what poll answers do: forward the state, sign in again
// when the device forgot the sign-in, and give up on the link after three
// time-outs in a row, a success in between starting the count afresh.
void TestDeviceSession::pollOutcomes()
{
	QFETCH(QString, kind);
	QFETCH(QString, lost);
	Rig rig;
	rig.link->setKind(kind);
	QSignalSpy envelopes(rig.session.get(), &DeviceSession::envelope);
	const Answer timeout{"timeout:late", {}};
	rig.queued["getState"] = {{"", {{"home_score", "3"}}},
				  {"unauthorized:Sign in", {}},
				  timeout,
				  timeout,
				  {},
				  timeout,
				  timeout};
	rig.standing["getState"] = timeout;
	rig.signIn({"pw", "spare"});
	QTRY_COMPARE(rig.link->closeCount(), 1);

	// close() reports nothing, so the session reports the loss itself,
	// and nothing polls the dead link.
	QTest::qWait(10 * Rig::fast().pollMs);
	QCOMPARE(rig.sent("getState").size(), 8);
	QCOMPARE(rig.logins(), (QStringList{"pw", "pw"}));
	QCOMPARE(rig.log, (QStringList{"Connecting", "SigningIn", "Ready",
				       "Ready", "Lost:" + lost}));
	QCOMPARE(rig.session->state(), DeviceSession::Lost);
	QCOMPARE(envelopes.size(), 2);
	QCOMPARE(envelopes.at(0).at(0).toJsonObject(),
		 (QJsonObject{{"home_score", "3"}}));

	// Envelopes the carrier pushes pass straight through.
	Q_EMIT rig.link->envelope({{"away_score", "1"}});
	QCOMPARE(envelopes.last().at(0).toJsonObject(),
		 (QJsonObject{{"away_score", "1"}}));
}

void TestDeviceSession::linkLoss_data()
{
	QTest::addColumn<QString>("reboot");
	QTest::addColumn<QStringList>("log");
	const QString call = "call:disconnected:" + kLost;
	const QString lost = "Lost:Cable unplugged";
	const QStringList restarting{"reboot:1:", call, "Restarting"};
	QTest::newRow("no restart") << "" << QStringList{call, lost};
	QTest::newRow("restart unanswered") << "never" << restarting;
	QTest::newRow("restart timed out") << "timeout:late" << restarting;
	QTest::newRow("restart refused")
		<< "forbidden:No" << QStringList{"reboot:0:No", call, lost};
}

// On a link that pushes its state nothing is polled. Calls hear of the loss
// before the state changes.
void TestDeviceSession::linkLoss()
{
	QFETCH(QString, reboot);
	QFETCH(QStringList, log);
	Rig rig(false);
	rig.standing["getSettings"] = {"never", {}};
	rig.standing["reboot"] = {reboot, {}};
	rig.signIn();
	QTest::qWait(10 * Rig::fast().pollMs);
	QVERIFY(rig.sent("getState").isEmpty());
	if (!reboot.isEmpty())
		rig.session->reboot(rig.record("reboot"));
	rig.session->rpc()->call("getSettings", {}, rig.recordCall("call"));
	rig.link->emitClosed("Cable unplugged");
	QCOMPARE(rig.log.mid(3), log);
	QCOMPARE(rig.session->restarting(), log.last() == "Restarting");
}

// Neither the sign-in nor a pending call reports anything after stop().
void TestDeviceSession::stopIsSilent()
{
	for (const bool signingIn : {true, false}) {
		Rig rig;
		rig.standing["login"] = {signingIn ? "never" : "", {}};
		rig.standing["getSettings"] = {"never", {}};
		rig.signIn();
		QStringList expected = rig.log;
		if (!signingIn) {
			rig.session->rpc()->call("getSettings", {},
						 rig.recordCall("call"));
			expected << "call:disconnected:Disconnected";
		}
		rig.session->stop();
		rig.link->emitClosed("late");
		QTest::qWait(10 * Rig::fast().pollMs);
		QCOMPARE(rig.log, expected);
		QCOMPARE(rig.session->state(), State::Idle);
		QCOMPARE(rig.link->closeCount(), 1);
	}
}

// A user's way back: the link fails, the user retries, and a session whose
// status cannot be read is still signed in. The password that worked is
// used again after a loss, until stop(): a caller whose pending call fails
// on stop() starts the session again, and stop() leaves that start alone.
void TestDeviceSession::retryLossAndRestartDuringStop()
{
	const QString noAnswer = "This USB port did not answer.";
	Rig rig(false);
	rig.session->start({"pw"});
	Q_EMIT rig.link->failed("no_response", noAnswer);
	QCOMPARE(rig.log, (QStringList{"Connecting", "Error:" + noAnswer}));
	QCOMPARE(rig.session->lastError(), noAnswer);

	rig.queued["login"] << Answer{"unauthorized", {}};
	rig.standing["getStatus"] = {"timeout:late", {}};
	rig.signIn({"a", "b", "c"}, {{"device_id", "QM-HELLO"}});
	QCOMPARE(rig.session->lastError(), QString());
	QCOMPARE(rig.session->deviceId(), QString("QM-HELLO"));
	rig.link->emitClosed("Cable unplugged");
	rig.signIn({"x"});
	QCOMPARE(rig.logins(), (QStringList{"a", "b", "b"}));
	QCOMPARE(rig.log.mid(2),
		 (QStringList{"Connecting", "SigningIn", "Ready",
			      "Lost:Cable unplugged", "Connecting", "SigningIn",
			      "Ready"}));

	rig.standing["getSettings"] = {"never", {}};
	rig.session->rpc()->call("getSettings", {}, [&](const RpcResult &r) {
		rig.log << "call:" + r.code;
		rig.session->start({"new"});
	});
	rig.session->stop();
	QCOMPARE(rig.log.mid(9),
		 (QStringList{"call:disconnected", "Connecting"}));
	QCOMPARE(rig.session->state(), State::Connecting);
	QCOMPARE(rig.link->openCount(), 4);
	QCOMPARE(rig.link->closeCount(), 1);
	rig.link->emitOpened();
	QCOMPARE(rig.logins().last(), QString("new"));
	QCOMPARE(rig.log.last(), QString("Ready"));
}

void TestDeviceSession::destructionDropsCompletions_data()
{
	QTest::addColumn<int>("pending");
	QTest::newRow("sign-in") << 0;
	QTest::newRow("wifi check timer") << 1;
	QTest::newRow("wireless link after empty scan") << 2;
	QTest::newRow("destroyed by a progress callback") << 3;
	QTest::newRow("destroyed by a status listener") << 4;
}

// Meant for the sanitizer build, where a completion or timer that outlives
// the session reports its use of freed memory.
void TestDeviceSession::destructionDropsCompletions()
{
	QFETCH(int, pending);
	DeviceSession::Timings t = Rig::fast();
	t.wifiVerifyStepMs = 20;
	Rig rig(true, t);
	int completions = 0;
	const auto done = [&](bool, const QString &) {
		++completions;
	};
	const auto drop = [&] {
		rig.session.reset();
	};
	rig.standing["login"] = {pending == 0 ? "never" : "", {}};
	rig.standing["scanWifi"] = {"", {{"networks", QJsonArray()}}};
	rig.standing["getEspNow"] = {"never", {}};
	rig.signIn();
	if (pending == 1)
		rig.session->configureWifi("Home", "pw", {}, done);
	if (pending == 2)
		rig.session->scanWifi([&](bool, const QList<WifiNetwork> &,
					  const QString &) { ++completions; });
	if (pending == 3)
		rig.session->configureWifi(
			"Home", "pw", [&](const QString &) { drop(); }, done);
	if (pending == 4) {
		QObject::connect(rig.session.get(),
				 &DeviceSession::statusUpdated, drop);
		rig.session->configureWifi("Home", "pw", {}, done);
		QTRY_VERIFY(!rig.session);
	}
	rig.session.reset();
	QTest::qWait(3 * t.wifiVerifyStepMs);
	QCOMPARE(completions, 0);
}

void TestDeviceSession::scanWifi_data()
{
	QTest::addColumn<QString>("scan");
	QTest::addColumn<QByteArray>("networks");
	QTest::addColumn<QString>("espnow");
	QTest::addColumn<QJsonObject>("block");
	QTest::addColumn<QString>("expected");
	QTest::addColumn<int>("linkReads");
	const auto row = [](const char *name, const char *networks,
			    const QString &expected, int linkReads,
			    const QString &scan = {},
			    const QString &espnow = {},
			    const QJsonObject &block = {{"role", "tx"}}) {
		QTest::newRow(name) << scan << QByteArray(networks) << espnow
				    << block << expected << linkReads;
	};
	row("repeats, blanks, order, numeric auth",
	    R"([{"ssid":"Cafe","rssi":-70,"auth":"WPA2"},
	    {"ssid":"","rssi":-10,"auth":0},{"ssid":"Home","rssi":-40,"auth":3},
	    {"ssid":"Cafe","rssi":-20,"auth":"OPEN"},
	    {"ssid":"Lab","rssi":-55,"auth":"WPA3"}])",
	    "1 Home -40 3|Lab -55 WPA3|Cafe -70 WPA2", 0);
	row("empty, transmitter", "[]", "1 " + kTransmitting, 1);
	row("nameless only, transmitter from next start",
	    R"([{"ssid":"","rssi":-30,"auth":1}])", "1 " + kTransmitting, 1, "",
	    "", {{"role", "off"}, {"configured_role", "tx"}});
	row("empty, no wireless link", "[]", "1 ", 1, "", "not_available_here");
	row("scan failed", "[]", "0 Radio is off", 0, "radio_off:Radio is off");
}

void TestDeviceSession::scanWifi()
{
	QFETCH(QString, scan);
	QFETCH(QByteArray, networks);
	QFETCH(QString, espnow);
	QFETCH(QJsonObject, block);
	Rig rig;
	rig.signIn();
	rig.standing["scanWifi"] = {scan, {{"networks", array(networks)}}};
	rig.standing["getEspNow"] = {espnow, {{"espnow", block}}};
	const auto got = awaitResult<bool, QList<WifiNetwork>, QString>(
		[&](auto done) { rig.session->scanWifi(done); });
	QVERIFY(got);
	const auto &[ok, list, message] = *got;
	QStringList items;
	for (const WifiNetwork &n : list)
		items << QString("%1 %2 %3").arg(n.ssid).arg(n.rssi).arg(n.auth);
	QTEST(QString("%1 %2%3").arg(ok).arg(items.join('|'), message),
	      "expected");
	QTEST(int(rig.sent("getEspNow").size()), "linkReads");
}

void TestDeviceSession::verifyWifi_data()
{
	QTest::addColumn<QString>("failure");
	QTest::addColumn<QJsonArray>("reports");
	QTest::addColumn<QString>("ip");
	QTest::addColumn<QString>("result");
	QTest::addColumn<QStringList>("progress");
	const auto row = [](const char *name, const QStringList &reports,
			    const QString &result, const QStringList &progress,
			    const QString &failure = {},
			    const QString &ip = {}) {
		QTest::newRow(name)
			<< failure
			<< array(("[" + reports.join(',') + "]").toUtf8()) << ip
			<< result << progress;
	};
	const QString working = R"({"state":"connecting","elapsed_ms":4999})";
	const QString joined = R"({"state":"ok"})";
	// Reverted with a reason and still working after thirteen checks: the
	// integration suite's setup walk against the simulated device.
	row("joined", {joined}, "1:Joined Home (192.168.1.7).", {kChecking}, "",
	    "192.168.1.7");
	row("working, then joined, address unknown", {working, joined},
	    "1:Joined Home.", {kChecking, kChecking + " (4 s)"});
	row("reverted without detail", {R"({"state":"reverted","detail":""})"},
	    "0:The device could not join Home. Check the password and try "
	    "again.",
	    {kChecking});
	// A time the device cannot have taken is left out of the sentence.
	row("working, time unknown or absurd",
	    {R"({"state":"connecting","elapsed_ms":-9.3e18})",
	     R"({"state":"connecting","elapsed_ms":1e300})",
	     R"({"state":"connecting"})", joined},
	    "1:Joined Home.",
	    QStringList{kChecking, kChecking, kChecking, kChecking});
	row("status unreadable", {}, "0:Status timed out", {kChecking},
	    "getStatus:timeout:Status timed out");
	row("refused", {}, "0:SSID too long", {},
	    "configureWifi:bad_request:SSID too long");
}

// One status read per progress report, and none after the result.
void TestDeviceSession::verifyWifi()
{
	QFETCH(QString, failure);
	QFETCH(QJsonArray, reports);
	QFETCH(QString, ip);
	Rig rig;
	rig.signIn();
	for (const QJsonValue &report : reports) {
		const Answer a{"",
			       {{"wifi_provision", report},
				{"wifi_sta_ip", ip}}};
		rig.queued["getStatus"] << a;
		rig.standing["getStatus"] = a; // the last report repeats
	}
	rig.failAlways(failure);
	const int before = rig.sent("getStatus").size();

	QStringList progress;
	const auto got = awaitResult<bool, QString>([&](auto done) {
		rig.session->configureWifi(
			"Home", "secret",
			[&](const QString &t) { progress << t; }, done);
	});
	QVERIFY(got);
	QTest::qWait(20);
	QTEST(QString("%1:%2").arg(std::get<0>(*got)).arg(std::get<1>(*got)),
	      "result");
	QTEST(progress, "progress");
	QCOMPARE(rig.sent("getStatus").size() - before, progress.size());
	QCOMPARE(rig.sent("configureWifi").first(),
		 (QJsonObject{{"ssid", "Home"}, {"pass", "secret"}}));
}

void TestDeviceSession::wirelessTransmitter_data()
{
	QTest::addColumn<bool>("enable");
	QTest::addColumn<QString>("peer");
	QTest::addColumn<QString>("key");
	QTest::addColumn<bool>("generate");
	QTest::addColumn<QString>("failure");
	QTest::addColumn<QJsonObject>("params");
	QTest::addColumn<QString>("done");
	const auto row = [](const char *name, bool enable, QString peer,
			    QString key, bool generate, QString failure,
			    QJsonObject params, QString done) {
		QTest::newRow(name) << enable << peer << key << generate
				    << failure << params << done;
	};
	const QJsonObject generated{{"role", "tx"}, {"generate_key", true}};
	row("address cleaned, key given", true, " AA:BB:CC:DD:EE:0F ", " k3y ",
	    false, "",
	    {{"role", "tx"}, {"peer_mac", "aa:bb:cc:dd:ee:0f"}, {"key", "k3y"}},
	    "1::K-NEW");
	row("generated key, never a key", true, "", "k3y", true, "", generated,
	    "1::K-NEW");
	row("blanks left out", true, "  ", "  ", false, "", {{"role", "tx"}},
	    "1::K-NEW");
	row("restart refused, key handed on", true, "", "", true,
	    "reboot:forbidden:No", generated, "0:No:K-NEW");
	row("setting refused", true, "", "", true, "setEspNow:bad_request:Bad",
	    generated, "0:Bad:");
	row("off", false, "", "", false, "", {{"role", "off"}}, "1::");
}

void TestDeviceSession::wirelessTransmitter()
{
	QFETCH(bool, enable);
	QFETCH(QString, failure);
	Rig rig;
	rig.signIn();
	rig.standing["setEspNow"] = {"", {{"key", "K-NEW"}}};
	rig.failAlways(failure);
	// Start from the opposite role so that every change shows. A key
	// without a receiver address pairs with nothing.
	rig.standing["getEspNow"] = {
		"",
		{{"espnow", QJsonObject{{"role", enable ? "rx" : "tx"},
					{"key_set", true}}}}};
	const auto before = awaitResult<WirelessLink>(
		[&](auto done) { rig.session->wirelessLink(done); });
	QVERIFY(before && before->supported && !before->keySet);
	QCOMPARE(rig.session->wirelessTransmitter(), !enable);

	QString done;
	if (enable) {
		QFETCH(QString, peer);
		QFETCH(QString, key);
		QFETCH(bool, generate);
		rig.session->enableWirelessTransmitter(
			peer, key, generate,
			[&](bool ok, const QString &m, const QString &k) {
				done = QString("%1:%2:%3").arg(ok).arg(m, k);
			});
	} else {
		rig.session->disableEspNowSender(
			[&](bool ok, const QString &m) {
				done = QString("%1:%2:").arg(ok).arg(m);
			});
	}
	QTEST(rig.sent("setEspNow").value(0), "params");
	QTEST(done, "done");
	const bool set = !failure.startsWith("setEspNow");
	QCOMPARE(rig.session->wirelessTransmitter(), enable == set);
	QCOMPARE(rig.sent("reboot").size(), set ? 1 : 0);
	QCOMPARE(rig.session->restarting(), failure.isEmpty());
}

void TestDeviceSession::controllersAreDeduplicated()
{
	Rig rig;
	rig.signIn();
	const QByteArray d = R"("manufacturer":"D","model":"M","sport":"b")";
	const QJsonArray list =
		array("[{" + d + R"(,"input_type":"rs232"},{)" + d +
		      R"(,"input_type":"rs232"},{)" + d +
		      R"(,"input_type":"loop"},{"manufacturer":"O"},{)" + d +
		      R"(,"input_type":"loop"}])");
	rig.standing["getControllerList"] = {"", {{"controllers", list}}};
	const auto got = awaitResult<bool, QList<ControllerChoice>, QString>(
		[&](auto done) { rig.session->listControllers(done); });
	QVERIFY(got && std::get<0>(*got));
	QJsonArray choices;
	for (const ControllerChoice &c : std::get<1>(*got))
		choices << c.toJson();
	const QJsonObject bare =
		array(R"([{"manufacturer":"O","model":"","sport":"","input_type":""}])")
			[0]
				.toObject();
	QCOMPARE(choices, (QJsonArray{list[0], list[2], bare}));
}

QTEST_GUILESS_MAIN(TestDeviceSession)
#include "tst_device_session.moc"
