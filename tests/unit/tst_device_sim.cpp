#include "../support/sim_host_end.h"

#include "device_model.h"
#include "live_data.h"
#include "sim_options.h"
#include "simulated_game.h"
#include "usb_frame.h"
#include "usb_side.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/ioctl.h>

using namespace quillmarch;
using namespace quillmarch::sim;
using namespace quillmarch::test;

namespace {

QStringList commandLine(const QString &arguments)
{
	return QStringList{QStringLiteral("quillmarch-sim")} +
	       arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// The simulator set up from a command line, as the program does it.
bool parseOptions(const QString &arguments, DeviceOptions *options)
{
	QString text;
	return parseDeviceCommandLine(commandLine(arguments), options, &text) ==
	       ParseOutcome::Run;
}

} // namespace

class TestDeviceSim : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase()
	{
		// The simulator's own progress lines are noise here.
		QLoggingCategory::setFilterRules(
			QStringLiteral("quillmarch.sim*.info=false"));
	}

	void game_isDeterministicAndPlaysBasketball();
	void options_rejected_data();
	void options_rejected();
	void hello_answer_data();
	void hello_answer();
	void hello_withheld_data();
	void hello_withheld();
	void envelopes_flowAfterHelloAtTheRate();
	void admin_signInAndChangePassword();
	void admin_rateLimit();
	void admin_badRequests_data();
	void admin_badRequests();
	void admin_chunkedRequestAndDelayedReply();
	void parser_skipsGarbageFromTheHost();
	void receiver_reportsStatusAndAnswersHello();
	void receiver_setsKeyAndChannel();
	void usb_unplugAndPlugAgain();
	void usb_hostReopensThePort();
	void usb_fullLineDropsWholeFrames();
	void process_printsPathAnswersAndStops();
};

void TestDeviceSim::game_isDeterministicAndPlaysBasketball()
{
	QCOMPARE(SimulatedGame::clockText(600), QStringLiteral("10:00"));
	QCOMPARE(SimulatedGame::clockText(59), QStringLiteral("0:59"));
	QCOMPARE(SimulatedGame::clockText(-3), QStringLiteral("0:00"));

	SimulatedGame::Config config;
	config.seed = 2024;
	config.periodSeconds = 120; // short quarters: a game in minutes
	config.finalHoldSeconds = 10;
	SimulatedGame a(config), b(config);
	config.seed = 2025;
	SimulatedGame other(config);

	QCOMPARE(a.fields().value("clock").toString(), QStringLiteral("2:00"));
	a.advance(999); // nothing yet: time is played in whole seconds
	QCOMPARE(a.fields().value("clock").toString(), QStringLiteral("2:00"));
	a.advance(1);
	QCOMPARE(a.fields().value("clock").toString(), QStringLiteral("1:59"));
	b.advance(1000);

	bool differs = false;
	int scoreChanges = 0;
	int lastHome = 0, lastAway = 0, maxPeriod = 1;
	bool sawFinal = false;
	const QRegularExpression clock(QStringLiteral("^\\d{1,2}:[0-5]\\d$"));
	for (int tick = 0; tick < 4000; ++tick) {
		a.advance(250);
		b.advance(250);
		other.advance(250);
		const QJsonObject env = a.nextEnvelope(1000 + tick);
		QCOMPARE(b.nextEnvelope(1000 + tick), env);
		differs = differs || other.fields() != a.fields();

		QCOMPARE(env.value("seq").toInt(), tick + 1);
		QCOMPARE(env.value("type").toString(), QStringLiteral("state"));
		const QJsonObject f = env.value("fields").toObject();
		QVERIFY(clock.match(f.value("clock").toString()).hasMatch());
		QVERIFY(f.value("shot_clock").toInt() <= 24);
		const int home = f.value("home_score").toInt();
		const int away = f.value("away_score").toInt();
		const bool newGame = home == 0 && away == 0 &&
				     f.value("period").toInt() == 1;
		if (!newGame) {
			// Scores only go up during a game.
			QVERIFY2(home >= lastHome && away >= lastAway,
				 qPrintable(QString::number(tick)));
		}
		if (home != lastHome || away != lastAway)
			++scoreChanges;
		lastHome = home;
		lastAway = away;
		maxPeriod = qMax(maxPeriod, f.value("period").toInt());
		sawFinal = sawFinal || f.value("status") == "final";
	}
	QVERIFY(differs);
	QVERIFY2(scoreChanges > 50, qPrintable(QString::number(scoreChanges)));
	QVERIFY(maxPeriod >= 4);
	// 1000 game seconds cover four 2-minute quarters, the final and
	// the start of the next game.
	QVERIFY(sawFinal);
	QVERIFY(a.gamesStarted() >= 2);
}

void TestDeviceSim::options_rejected_data()
{
	QTest::addColumn<QString>("arguments");
	QTest::newRow("rate 0") << "device --rate 0";
	QTest::newRow("rate 51") << "device --rate 51";
	QTest::newRow("tunnel without port") << "device --tunnel relay";
	QTest::newRow("stream port 0") << "device --stream a=h:0";
	QTest::newRow("stream without host") << "device --stream a=:80";
	QTest::newRow("hello after 0") << "device --answer-hello-after 0";
	QTest::newRow("unknown option") << "device --fly";
	QTest::newRow("no command") << "";
}

void TestDeviceSim::options_rejected()
{
	QFETCH(QString, arguments);
	DeviceOptions parsed;
	QString text;
	QCOMPARE(parseDeviceCommandLine(commandLine(arguments), &parsed, &text),
		 ParseOutcome::Error);
	QVERIFY(!text.isEmpty());
}

void TestDeviceSim::hello_answer_data()
{
	QTest::addColumn<QString>("arguments");
	QTest::addColumn<QString>("deviceId");
	QTest::addColumn<QJsonObject>("tunnel");
	QTest::addColumn<QJsonObject>("streams");
	QTest::newRow("defaults")
		<< "device"
		<< "QM-00A1B2" << QJsonObject{{"host", ""}, {"port", 0}}
		<< QJsonObject();
	QTest::newRow("tunnel and streams")
		<< "device --device-id QM-77 --tunnel relay.example.net:4443 "
		   "--stream scores=127.0.0.1:9100 --stream cam=[::1]:554"
		<< "QM-77"
		<< QJsonObject{{"host", "relay.example.net"}, {"port", 4443}}
		<< QJsonObject{{"scores", QJsonObject{{"host", "127.0.0.1"},
						      {"port", 9100}}},
			       {"cam",
				QJsonObject{{"host", "::1"}, {"port", 554}}}};
}

void TestDeviceSim::hello_answer()
{
	QFETCH(QString, arguments);
	QFETCH(QString, deviceId);
	QFETCH(QJsonObject, tunnel);
	QFETCH(QJsonObject, streams);
	DeviceOptions options;
	QVERIFY(parseOptions(arguments, &options));
	SimRig rig(options.device, options.usbSide);
	QVERIFY(rig.openHello());
	const QJsonObject hello = rig.host->ctrl("hello").first();
	QCOMPARE(hello.value("tunnel").toObject(), tunnel);
	QCOMPARE(hello.value("streams").toObject(), streams);
	QCOMPARE(hello.value("device_id").toString(), deviceId);
	QVERIFY(!hello.value("fw").toString().isEmpty());
	QVERIFY(!hello.contains("receiver"));

	// Pings are not answered; a later hello is, again.
	QVERIFY(rig.host->sendCtrl({{"t", "ping"}}));
	QVERIFY(rig.host->hello());
	QTRY_COMPARE(rig.host->ctrl("hello").size(), 2);
	QCOMPARE(rig.host->frames.size(), 2);
	QCOMPARE(rig.usb.hellosReceived(), 2);
}

void TestDeviceSim::hello_withheld_data()
{
	QTest::addColumn<QString>("arguments");
	QTest::addColumn<int>("answeredFrom"); // 0: never
	QTest::newRow("never") << "device --rate 50 --no-hello" << 0;
	QTest::newRow("from the third")
		<< "device --rate 50 --answer-hello-after 3" << 3;
}

void TestDeviceSim::hello_withheld()
{
	QFETCH(QString, arguments);
	QFETCH(int, answeredFrom);
	DeviceOptions options;
	QVERIFY(parseOptions(arguments, &options));
	SimRig rig(options.device, options.usbSide);
	QVERIFY(rig.plugIn());
	rig.device.start();

	for (int n = 1; n <= 3; ++n) {
		QVERIFY(rig.host->hello());
		QTRY_COMPARE(rig.usb.hellosReceived(), n);
		// Whatever the simulator does with a hello it does at once.
		QCOMPARE(rig.host->ctrl("hello").size(),
			 answeredFrom > 0 && n >= answeredFrom ? 1 : 0);
	}
	if (answeredFrom > 0) {
		QTRY_VERIFY(!rig.host->envelopes().isEmpty());
	} else {
		QVERIFY(rig.hostSeesNoEnvelopes());
		// The admin side works without a hello.
		QCOMPARE(errorCode(rig.host->call("getState")),
			 QStringLiteral("unauthorized"));
	}
}

void TestDeviceSim::envelopes_flowAfterHelloAtTheRate()
{
	DeviceModel::Config device;
	device.envelopesPerSecond = 20;
	device.gameSpeed = 60; // a minute of play per second
	device.game.seed = 7;
	SimRig rig(device);
	QVERIFY(rig.plugIn());
	rig.device.start();
	QVERIFY2(rig.hostSeesNoEnvelopes(), "envelopes before any hello");
	QVERIFY(rig.host->frames.isEmpty());

	QVERIFY(rig.host->hello());
	QTRY_VERIFY_WITH_TIMEOUT(rig.host->envelopes().size() >= 21, 5000);
	const QList<qint64> &at = rig.host->envelopeTimes;
	const qint64 twentyIntervals = at.at(20) - at.at(0);
	QVERIFY2(twentyIntervals >= 500 && twentyIntervals <= 2500,
		 qPrintable(QString::number(twentyIntervals)));

	const QList<QJsonObject> envelopes = rig.host->envelopes();
	QSet<QString> scores;
	LiveData live;
	for (int i = 0; i < envelopes.size(); ++i) {
		const QJsonObject &e = envelopes.at(i);
		QCOMPARE(e.value("type").toString(), QStringLiteral("state"));
		QCOMPARE(e.value("sport").toString(),
			 QStringLiteral("basketball"));
		QVERIFY(e.value("ts_ms").toDouble() > 0);
		if (i > 0)
			QCOMPARE(e.value("seq").toInt(),
				 envelopes.at(i - 1).value("seq").toInt() + 1);
		// The plug-in's own reader takes it.
		QVERIFY(live.ingest(e));
		scores.insert(live.value("home_score") + "-" +
			      live.value("away_score"));
	}
	QVERIFY(!live.value("clock").isEmpty());
	QVERIFY2(scores.size() > 1, "the score never changed");
}

void TestDeviceSim::admin_signInAndChangePassword()
{
	SimRig rig;
	QVERIFY(rig.openHello());
	SimHost &host = *rig.host;

	QJsonObject reply = host.call("getStatus");
	QCOMPARE(reply.value("ok").toBool(true), false);
	QCOMPARE(errorCode(reply), QStringLiteral("unauthorized"));

	reply = host.login("guess1234");
	QCOMPARE(errorCode(reply), QStringLiteral("invalid_credentials"));
	QVERIFY(!reply.value("error")
			 .toObject()
			 .value("message")
			 .toString()
			 .isEmpty());

	reply = host.login();
	QVERIFY(reply.value("ok").toBool());
	QCOMPARE(result(reply).value("must_change_password"), QJsonValue(true));

	reply = host.call("getStatus");
	QVERIFY(reply.value("ok").toBool());
	const QJsonObject status = result(reply);
	QCOMPARE(status.value("device_id").toString(),
		 QStringLiteral("QM-00A1B2"));
	QCOMPARE(status.value("must_change_password"), QJsonValue(true));
	QCOMPARE(status.value("api_token_configured"), QJsonValue(false));

	auto change = [&](const char *current, const char *next,
			  const char *confirm) {
		return host.call("changePassword",
				 {{"current_password", current},
				  {"new_password", next},
				  {"confirm_password", confirm}});
	};
	const char *const refusals[][4] = {
		{"corvalinth", "short", "short", "weak_password"},
		{"corvalinth", "CorValinth", "CorValinth", "weak_password"},
		{"corvalinth", "courtside42", "courtside43",
		 "password_mismatch"},
		{"wrong-one", "courtside42", "courtside42",
		 "invalid_credentials"},
	};
	for (const auto &r : refusals)
		QCOMPARE(errorCode(change(r[0], r[1], r[2])), QString(r[3]));
	QVERIFY(rig.device.mustChangePassword());
	QVERIFY(change("corvalinth", "courtside42", "courtside42")
			.value("ok")
			.toBool());

	reply = host.call("getStatus");
	QCOMPARE(result(reply).value("must_change_password"),
		 QJsonValue(false));

	// A new hello is a new host: it has to sign in again, now with the
	// new password only.
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 2);
	QCOMPARE(errorCode(host.call("getState")),
		 QStringLiteral("unauthorized"));
	QCOMPARE(errorCode(host.login()),
		 QStringLiteral("invalid_credentials"));
	reply = host.login("courtside42");
	QCOMPARE(result(reply).value("must_change_password"),
		 QJsonValue(false));

	reply = host.call("getState");
	QVERIFY(reply.value("ok").toBool());
	QCOMPARE(result(reply).value("type").toString(),
		 QStringLiteral("state"));
	QVERIFY(result(reply).value("fields").toObject().contains(
		"home_score"));
}

void TestDeviceSim::admin_rateLimit()
{
	DeviceModel::Config device;
	device.maxFailedLogins = 5;
	device.lockoutMs = 400;
	SimRig rig(device);
	QVERIFY(rig.openHello());
	SimHost &host = *rig.host;

	for (int i = 0; i < 5; ++i)
		QCOMPARE(errorCode(host.login("nope")),
			 QStringLiteral("invalid_credentials"));
	QElapsedTimer locked;
	locked.start();
	// Locked out: even the right password is refused for a while.
	const QJsonObject refused = host.login();
	QCOMPARE(errorCode(refused), QStringLiteral("rate_limited"));
	QCOMPARE(errorCode(host.call("getStatus")),
		 QStringLiteral("unauthorized"));

	bool signedIn = false;
	QElapsedTimer deadline;
	deadline.start();
	while (!signedIn && deadline.elapsed() < 5000) {
		const QJsonObject r = host.login();
		signedIn = r.value("ok").toBool();
		if (!signedIn) {
			QCOMPARE(errorCode(r), QStringLiteral("rate_limited"));
			QTest::qWait(50);
		}
	}
	QVERIFY(signedIn);
	QVERIFY2(locked.elapsed() >= 300,
		 qPrintable(QString::number(locked.elapsed())));
}

void TestDeviceSim::admin_badRequests_data()
{
	QTest::addColumn<QByteArray>("request");
	QTest::addColumn<QJsonValue>("id");
	QTest::addColumn<QString>("code");
	QTest::newRow("not JSON")
		<< QByteArray("{oops") << QJsonValue() << "bad_request";
	QTest::newRow("no id") << QByteArray(R"({"method":"getState"})")
			       << QJsonValue() << "bad_request";
	QTest::newRow("text id")
		<< QByteArray(R"({"id":"7","method":"getState"})")
		<< QJsonValue() << "bad_request";
	QTest::newRow("fractional id")
		<< QByteArray(R"({"id":1.5,"method":"getState"})")
		<< QJsonValue() << "bad_request";
	QTest::newRow("no method")
		<< QByteArray(R"({"id":8})") << QJsonValue(8) << "bad_request";
	QTest::newRow("params not an object")
		<< QByteArray(R"({"id":10,"method":"login","params":[1]})")
		<< QJsonValue(10) << "bad_request";
	QTest::newRow("unknown method")
		<< QByteArray(R"({"id":11,"method":"fly","params":{}})")
		<< QJsonValue(11) << "unknown_method";
}

void TestDeviceSim::admin_badRequests()
{
	QFETCH(QByteArray, request);
	QFETCH(QJsonValue, id);
	QFETCH(QString, code);
	SimRig rig;
	QVERIFY(rig.openHello());
	QVERIFY(rig.host->sendAdmin(request));
	QTRY_COMPARE(rig.host->replies.size(), 1);
	const QJsonObject reply = rig.host->replies.first();
	QCOMPARE(reply.value("ok"), QJsonValue(false));
	QCOMPARE(errorCode(reply), code);
	// Without a usable id the reply carries null.
	QCOMPARE(reply.value("id"), id);
	// And the device goes on answering.
	QVERIFY(rig.host->login().value("ok").toBool());
}

void TestDeviceSim::admin_chunkedRequestAndDelayedReply()
{
	DeviceModel::Config device;
	device.envelopesPerSecond = 20;
	device.replyDelayMs = 300;
	SimRig rig(device);
	QVERIFY(rig.openHello());
	rig.device.start();
	QVERIFY(rig.host->login().value("ok").toBool());

	// 5000 bytes of request: three admin chunks.
	const QJsonObject padded{{"note", QString(5000, QLatin1Char('x'))}};
	rig.host->forget();
	QElapsedTimer clock;
	clock.start();
	const QJsonObject reply = rig.host->call("getStatus", padded);
	const qint64 waited = clock.elapsed();
	QVERIFY(reply.value("ok").toBool());
	QCOMPARE(result(reply).value("device_id").toString(),
		 QStringLiteral("QM-00A1B2"));
	QVERIFY2(waited >= 280, qPrintable(QString::number(waited)));
	// The delay holds the reply, not the device: envelopes went on.
	QVERIFY(!rig.host->envelopes().isEmpty());
}

void TestDeviceSim::parser_skipsGarbageFromTheHost()
{
	SimRig rig;
	QVERIFY(rig.plugIn());
	QRandomGenerator random(42);
	QByteArray junk(300, '\0');
	for (char &c : junk)
		c = char(random.bounded(256));
	junk += QByteArray("\x00QM", 3); // a sync that leads nowhere

	QByteArray badHello = buildCtrlFrame(kHello);
	badHello[badHello.size() - 1] = char(badHello.back() ^ 0x5a);
	QByteArray badLogin = buildFrame(
		kFrameAdmin,
		R"({"id":1,"method":"login","params":{"password":"corvalinth"}})");
	badLogin[8] = 'X'; // payload damaged, checksum kept
	// Half a frame: a header for 12 bytes with only 5 of them.
	const QByteArray half = QByteArray("\x00QM\x03\x0c\x00", 6) + "{\"t\":";

	QVERIFY(rig.host->write(junk + badHello + badLogin + half));
	QVERIFY(rig.host->hello());
	QTRY_COMPARE(rig.host->ctrl("hello").size(), 1);
	QCOMPARE(rig.usb.hellosReceived(), 1);
	QVERIFY(rig.host->replies.isEmpty());
	QVERIFY(rig.host->login().value("ok").toBool());
}

void TestDeviceSim::receiver_reportsStatusAndAnswersHello()
{
	DeviceOptions options;
	QVERIFY(parseOptions("device --rate 50 --receiver --unpaired",
			     &options));
	options.usbSide.receiverStatusMs = 100;
	SimRig rig(options.device, options.usbSide);
	QVERIFY(rig.plugIn());
	SimHost &host = *rig.host;

	// Reported on its own, hello or not.
	QTRY_VERIFY(host.ctrl("rx_status").size() >= 2);
	const QJsonObject status = host.ctrl("rx_status").last();
	QCOMPARE(status, (QJsonObject{{"t", "rx_status"},
				      {"configured", false},
				      {"link", false},
				      {"rssi", 0},
				      {"channel", 1},
				      {"fw", "rx-1.3.0"}}));
	QVERIFY(host.ctrl("hello").isEmpty());

	host.forget();
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 1);
	// The receiver's status comes right before its hello answer.
	QStringList kinds;
	for (const UsbFrame &f : host.frames)
		kinds << parseObject(f.payload).value("t").toString();
	const int at = kinds.indexOf("hello");
	QVERIFY(at >= 1);
	QCOMPARE(kinds.at(at - 1), QStringLiteral("rx_status"));
	const QJsonObject hello = host.ctrl("hello").first();
	QCOMPARE(hello.value("receiver"), QJsonValue(true));
	QCOMPARE(hello.value("fw"), QJsonValue("rx-1.3.0"));
	QCOMPARE(hello.value("tunnel").toObject().value("port").toInt(-1), 0);

	// Without a link nothing of the device comes through: no
	// envelopes, no admin replies.
	QSignalSpy handled(&rig.device, &DeviceModel::requestHandled);
	rig.device.start();
	QVERIFY(host.sendAdmin(compact(
		{{"id", 1}, {"method", "login"}, {"params", QJsonObject()}})));
	// Its answer also shows that the request before it was read.
	QCOMPARE(host.rxSet({{"channel", 3}}).value("ok"), QJsonValue(true));
	QVERIFY(rig.hostSeesNoEnvelopes());
	QVERIFY(host.replies.isEmpty());
	QCOMPARE(handled.size(), 0);
}

void TestDeviceSim::receiver_setsKeyAndChannel()
{
	DeviceOptions options;
	QVERIFY(parseOptions("device --rate 50 --receiver --unpaired",
			     &options));
	options.usbSide.receiverStatusMs = 60000; // only reports on change
	SimRig rig(options.device, options.usbSide);
	QVERIFY(rig.openHello());
	rig.device.start();
	SimHost &host = *rig.host;
	const WirelessReceiver &receiver = *rig.usb.receiver();

	QJsonObject answer = host.rxSet({{"generate_key", true}});
	QCOMPARE(answer.value("ok"), QJsonValue(true));
	const QString key = answer.value("key").toString();
	QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(key).hasMatch(),
		 qPrintable(key));
	// The change is reported at once, after the answer.
	QTRY_COMPARE(host.ctrl("rx_status").size(), 1);
	QCOMPARE(host.ctrl("rx_status").first(),
		 (QJsonObject{{"t", "rx_status"},
			      {"configured", true},
			      {"link", true},
			      {"rssi", -55},
			      {"channel", 1},
			      {"fw", "rx-1.3.0"}}));
	QTRY_VERIFY(!host.envelopes().isEmpty());
	QVERIFY(host.login().value("ok").toBool());

	answer = host.rxSet({{"channel", 6}});
	QCOMPARE(answer.value("ok"), QJsonValue(true));
	QCOMPARE(answer.value("key").toString(), key);
	QTRY_COMPARE(host.ctrl("rx_status").size(), 1);
	QCOMPARE(host.ctrl("rx_status").first().value("channel").toInt(), 6);

	const QString given =
		QStringLiteral("0123456789ABCDEF0123456789abcdef");
	answer = host.rxSet({{"key", " " + given + " "}});
	QCOMPARE(answer.value("key").toString(), given.toLower());

	// Refusals change nothing, even when part of the message was fine.
	const QList<QJsonObject> refused{
		{{"channel", 14}},
		{{"channel", 0}},
		{{"channel", "6"}},
		{{"key", "abc"}},
		{{"key", ""}},
		{},
		{{"generate_key", true}, {"channel", 99}},
	};
	for (const QJsonObject &members : refused) {
		answer = host.rxSet(members);
		QCOMPARE(answer.value("t"), QJsonValue("rx_error"));
		QVERIFY(!answer.value("error").toString().isEmpty());
		QCOMPARE(receiver.channel(), 6);
		QCOMPARE(receiver.key(), given.toLower());
	}

	// The paired device goes out of range: status says so at once and
	// its envelopes stop.
	host.forget();
	rig.usb.setDeviceInRange(false);
	QTRY_COMPARE(host.ctrl("rx_status").size(), 1);
	QCOMPARE(host.ctrl("rx_status").first().value("link"),
		 QJsonValue(false));
	host.forget();
	QVERIFY(rig.hostSeesNoEnvelopes());
}

void TestDeviceSim::usb_unplugAndPlugAgain()
{
	QTemporaryDir dir;
	QVERIFY(dir.isValid());
	UsbSide::Config config;
	config.linkPath = dir.filePath("ttyQM0");
	SimRig rig({}, config);
	QVERIFY(rig.usb.plugIn());
	QCOMPARE(QFileInfo(config.linkPath).symLinkTarget(),
		 rig.usb.slavePath());
	SimHost first(config.linkPath);
	QVERIFY(first.isOpen());
	QVERIFY(first.hello());
	QTRY_COMPARE(first.ctrl("hello").size(), 1);

	QSignalSpy unplugged(&rig.usb, &UsbSide::unplugged);
	rig.usb.unplug();
	QCOMPARE(unplugged.size(), 1);
	QVERIFY(!rig.usb.isPluggedIn());
	QTRY_VERIFY(first.hungUp);
	QVERIFY(!QFileInfo(config.linkPath).isSymLink());
	QVERIFY(!rig.usb.sendEnvelope({{"type", "state"}}));

	// Plugged in again: a fresh line, the link follows it.
	QVERIFY(rig.usb.plugIn());
	QCOMPARE(QFileInfo(config.linkPath).symLinkTarget(),
		 rig.usb.slavePath());
	SimHost second(config.linkPath);
	QVERIFY(second.hello());
	QTRY_COMPARE(second.ctrl("hello").size(), 1);
	QCOMPARE(rig.usb.hellosReceived(), 1);

	// A link path taken by a real file is left alone.
	QFile file(dir.filePath("taken"));
	QVERIFY(file.open(QIODevice::WriteOnly));
	file.close();
	UsbSide::Config clash;
	clash.linkPath = file.fileName();
	DeviceModel device;
	UsbSide other(&device, clash);
	QString error;
	QVERIFY(!other.plugIn(&error));
	QVERIFY(!error.isEmpty());
	QVERIFY(QFileInfo(file.fileName()).isFile());
}

void TestDeviceSim::usb_hostReopensThePort()
{
	SimRig rig;
	QVERIFY(rig.plugIn());
	SimHost &first = *rig.host;
	// The plug-in claims the port exclusively while it has it open.
	QCOMPARE(::ioctl(first.fd(), TIOCEXCL), 0);
	QVERIFY(first.hello());
	QTRY_COMPARE(first.ctrl("hello").size(), 1);
#ifdef TIOCGEXCL
	// The claim is lifted, or a non-root plug-in could never reopen
	// the terminal that our own descriptor keeps alive.
	int exclusive = -1;
	QCOMPARE(::ioctl(first.fd(), TIOCGEXCL, &exclusive), 0);
	QCOMPARE(exclusive, 0);
#endif
	first.close();

	SimHost second(rig.usb.slavePath());
	QVERIFY(second.isOpen());
	QVERIFY(second.hello());
	QTRY_COMPARE(second.ctrl("hello").size(), 1);
	QVERIFY(!second.hungUp);
}

void TestDeviceSim::usb_fullLineDropsWholeFrames()
{
	SimRig rig;
	QVERIFY(rig.usb.plugIn());
	// Nobody reads: the terminal fills up and frames must be dropped
	// without ever holding up the device.
	const QJsonObject big{
		{"type", "state"},
		{"fields",
		 QJsonObject{{"note", QString(1500, QLatin1Char('n'))}}}};
	QElapsedTimer clock;
	clock.start();
	int accepted = 0;
	for (int i = 0; i < 400; ++i)
		accepted += rig.usb.sendEnvelope(big) ? 1 : 0;
	QVERIFY2(clock.elapsed() < 2000,
		 qPrintable(QString::number(clock.elapsed())));
	QVERIFY(accepted > 0);
	QVERIFY(rig.usb.framesDropped() > 0);
	QCOMPARE(quint64(accepted) + rig.usb.framesDropped(), quint64(400));

	// What was accepted arrives whole, every frame of it.
	SimHost host(rig.usb.slavePath());
	QTRY_COMPARE_WITH_TIMEOUT(host.envelopes().size(), accepted, 5000);
	for (const QJsonObject &e : host.envelopes())
		QCOMPARE(e, big);
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 1);
}

void TestDeviceSim::process_printsPathAnswersAndStops()
{
	QProcess sim;
	sim.setStandardInputFile(QProcess::nullDevice()); // stdin at EOF
	sim.start(QStringLiteral(QUILLMARCH_SIM_EXECUTABLE),
		  {"device", "--usb", "--rate", "10", "--device-id", "QM-77"});
	QVERIFY(sim.waitForStarted(5000));
	QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 10000);
	const QString line = QString::fromLocal8Bit(sim.readLine()).trimmed();
	const QRegularExpressionMatch match =
		QRegularExpression("^usb (/dev/\\S+)$").match(line);
	QVERIFY2(match.hasMatch(), qPrintable(line));

	SimHost host(match.captured(1));
	QVERIFY(host.isOpen());
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 1);
	QCOMPARE(host.ctrl("hello").first().value("device_id"),
		 QJsonValue("QM-77"));
	QTRY_VERIFY(!host.envelopes().isEmpty());
	QCOMPARE(sim.state(), QProcess::Running);

	QElapsedTimer clock;
	clock.start();
	sim.terminate(); // SIGTERM
	QVERIFY(sim.waitForFinished(5000));
	QVERIFY2(clock.elapsed() < 3000,
		 qPrintable(QString::number(clock.elapsed())));
	QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
	QCOMPARE(sim.exitCode(), 0);
	QTRY_VERIFY(host.hungUp);
	QVERIFY(sim.readAllStandardOutput().trimmed().isEmpty());
}

QTEST_GUILESS_MAIN(TestDeviceSim)
#include "tst_device_sim.moc"
