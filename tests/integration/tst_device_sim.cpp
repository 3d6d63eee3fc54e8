// The simulated device on its cable, as the plug-in's end sees it: frame
// handling, sign-in rules and receiver mode. Other suites drive the
// simulator program end to end; these are the behaviours they rely on.

#include "support/sim_host_end.h"

#include "device_model.h"
#include "usb/usb_frame.h"
#include "usb_side.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace quillmarch;
using namespace quillmarch::sim;
using namespace quillmarch::test;

class TestDeviceSim : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase()
	{
		// The simulator's own progress lines are noise here.
		QLoggingCategory::setFilterRules(
			QStringLiteral("quillmarch.sim*.info=false"));
	}
	void garbageAndBadRequestsFromTheHost();
	void fullLineDropsWholeFrames();
	void signInRules();
	void receiverMode();
};

void TestDeviceSim::garbageAndBadRequestsFromTheHost()
{
	SimRig rig;
	QVERIFY(rig.plugIn());
	SimHost &host = *rig.host;
	QRandomGenerator random(42);
	QByteArray junk(300, '\0');
	for (char &c : junk)
		c = char(random.bounded(256));
	junk += QByteArray("\x00QM", 3); // a sync that leads nowhere
	QByteArray badHello = buildCtrlFrame({{"t", "hello"}});
	badHello[badHello.size() - 1] = char(badHello.back() ^ 0x5a);
	QByteArray badLogin = buildFrame(
		kFrameAdmin,
		R"({"id":1,"method":"login","params":{"password":"corvalinth"}})");
	badLogin[8] = 'X'; // payload damaged, checksum kept
	// Half a frame: a header for 12 bytes with only 5 of them.
	const QByteArray half = QByteArray("\x00QM\x03\x0c\x00", 6) + "{\"t\":";

	QVERIFY(host.write(junk + badHello + badLogin + half));
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 1);
	QCOMPARE(rig.usb.hellosReceived(), 1);
	QVERIFY(host.replies.isEmpty());

	// Requests it cannot use are answered with null for an unusable id,
	// and the device goes on answering.
	const struct {
		QByteArray request;
		QJsonValue id;
		const char *code;
	} bad[] = {
		{"{oops", QJsonValue(), "bad_request"},
		{R"({"id":"7","method":"getState"})", QJsonValue(),
		 "bad_request"},
		{R"({"id":1.5,"method":"getState"})", QJsonValue(),
		 "bad_request"},
		{R"({"id":8})", 8, "bad_request"},
		{R"({"id":10,"method":"login","params":[1]})", 10,
		 "bad_request"},
		{R"({"id":11,"method":"fly","params":{}})", 11,
		 "unknown_method"},
	};
	for (const auto &r : bad) {
		host.forget();
		QVERIFY(host.sendAdmin(r.request));
		QTRY_COMPARE(host.replies.size(), 1);
		QCOMPARE(host.replies.first().value("id"), r.id);
		QCOMPARE(errorCode(host.replies.first()), QString(r.code));
	}
	QVERIFY(ok(host.login()));
}

// Like a UART the device never waits for the host: on a full line whole
// frames are dropped, and what was accepted arrives intact.
void TestDeviceSim::fullLineDropsWholeFrames()
{
	SimRig rig;
	QVERIFY(rig.usb.plugIn());
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
	QCOMPARE(quint64(accepted) + rig.usb.framesDropped(), quint64(400));

	SimHost host(rig.usb.slavePath());
	QTRY_COMPARE_WITH_TIMEOUT(host.envelopes().size(), accepted, 5000);
	for (const QJsonObject &e : host.envelopes())
		QCOMPARE(e, big);
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 1);
}

void TestDeviceSim::signInRules()
{
	DeviceModel::Config device;
	device.maxFailedLogins = 3;
	device.lockoutMs = 400;
	SimRig rig(device);
	QVERIFY(rig.openHello());
	SimHost &host = *rig.host;

	QCOMPARE(errorCode(host.call("getStatus")), "unauthorized");
	QCOMPARE(errorCode(host.login("guess1234")), "invalid_credentials");
	QJsonObject reply = host.login();
	QCOMPARE(result(reply).value("must_change_password"), QJsonValue(true));
	QCOMPARE(result(host.call("getStatus")).value("must_change_password"),
		 QJsonValue(true));

	auto change = [&](const char *current, const char *next,
			  const char *confirm) {
		return errorCode(host.call("changePassword",
					   {{"current_password", current},
					    {"new_password", next},
					    {"confirm_password", confirm}}));
	};
	QCOMPARE(change("corvalinth", "short", "short"), "weak_password");
	QCOMPARE(change("corvalinth", "CorValinth", "CorValinth"),
		 "weak_password");
	QCOMPARE(change("corvalinth", "courtside42", "courtside43"),
		 "password_mismatch");
	QCOMPARE(change("wrong-one", "courtside42", "courtside42"),
		 "invalid_credentials");
	QCOMPARE(change("corvalinth", "courtside42", "courtside42"), "");

	// A new hello is a new host: it has to sign in again, now with the
	// new password only.
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 2);
	QCOMPARE(errorCode(host.call("getState")), "unauthorized");
	QCOMPARE(errorCode(host.login()), "invalid_credentials");
	reply = host.login("courtside42");
	QCOMPARE(result(reply).value("must_change_password"),
		 QJsonValue(false));
	QVERIFY(result(host.call("getState")).contains("fields"));

	// Three wrong passwords in a row lock sign-in out for a while, even
	// with the right one. Timed from before the third, which starts the
	// lock-out, so the wait seen here can only be longer than it.
	QElapsedTimer locked;
	for (int i = 0; i < 3; ++i) {
		locked.start();
		QCOMPARE(errorCode(host.login("nope")), "invalid_credentials");
	}
	QCOMPARE(errorCode(host.login("courtside42")), "rate_limited");
	QCOMPARE(errorCode(host.call("getStatus")), "unauthorized");
	QTRY_VERIFY_WITH_TIMEOUT(ok(host.login("courtside42")), 5000);
	QVERIFY2(locked.elapsed() >= device.lockoutMs,
		 qPrintable(QString::number(locked.elapsed())));
}

void TestDeviceSim::receiverMode()
{
	DeviceOptions options = simOptions("--rate 50 --receiver --unpaired");
	options.usbSide.receiverStatusMs = 100;
	SimRig rig(options.device, options.usbSide);
	QVERIFY(rig.plugIn());
	SimHost &host = *rig.host;

	const auto lastLink = [&] {
		const QList<QJsonObject> status = host.ctrl("rx_status");
		return status.isEmpty() ? QJsonValue() : status.last()["link"];
	};

	// Its status is reported on its own, hello or not, and right before
	// its hello answer.
	QTRY_VERIFY(host.ctrl("rx_status").size() >= 2);
	QCOMPARE(host.ctrl("rx_status").last(),
		 (QJsonObject{{"t", "rx_status"},
			      {"configured", false},
			      {"link", false},
			      {"rssi", 0},
			      {"channel", 1},
			      {"fw", "rx-1.3.0"}}));
	host.forget();
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 1);
	QStringList kinds;
	for (const UsbFrame &f : host.frames)
		kinds << parseObject(f.payload).value("t").toString();
	QVERIFY(kinds.indexOf("hello") >= 1);
	QCOMPARE(kinds.at(kinds.indexOf("hello") - 1), "rx_status");
	QCOMPARE(host.ctrl("hello").first().value("receiver"),
		 QJsonValue(true));

	// Without a link nothing of the device comes through: no envelopes,
	// no admin replies. The answer to rx_set shows the request before it
	// was read.
	QSignalSpy handled(&rig.device, &DeviceModel::requestHandled);
	rig.device.start();
	QVERIFY(host.sendAdmin(compact({{"id", 1}, {"method", "getState"}})));
	QCOMPARE(host.rxSet({{"channel", 3}}).value("ok"), QJsonValue(true));
	QVERIFY(rig.hostSeesNoEnvelopes());
	QVERIFY(host.replies.isEmpty());
	QCOMPARE(handled.size(), 0);

	// Pairing with a new key brings the link up at once, reported after
	// the answer, and the device's envelopes and replies through.
	QJsonObject answer = host.rxSet({{"generate_key", true}});
	const QString key = answer.value("key").toString();
	QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(key).hasMatch(),
		 qPrintable(key));
	QTRY_COMPARE(lastLink(), QJsonValue(true));
	QTRY_VERIFY(!host.envelopes().isEmpty());
	QVERIFY(ok(host.login()));

	const QString given = "0123456789ABCDEF0123456789abcdef";
	answer = host.rxSet({{"key", " " + given + " "}, {"channel", 6}});
	QCOMPARE(answer.value("key").toString(), given.toLower());
	// Refusals change nothing, even when part of the message was fine.
	const WirelessReceiver &receiver = *rig.usb.receiver();
	for (const QJsonObject &members :
	     {QJsonObject{{"channel", 14}}, QJsonObject{{"channel", "6"}},
	      QJsonObject{{"key", "abc"}}, QJsonObject{},
	      QJsonObject{{"generate_key", true}, {"channel", 0}}}) {
		answer = host.rxSet(members);
		QCOMPARE(answer.value("t"), QJsonValue("rx_error"));
		QVERIFY(!answer.value("error").toString().isEmpty());
		QCOMPARE(receiver.channel(), 6);
		QCOMPARE(receiver.key(), given.toLower());
	}

	// The paired device goes out of range: its envelopes stop.
	rig.usb.setDeviceInRange(false);
	QTRY_COMPARE(lastLink(), QJsonValue(false));
	host.forget();
	QVERIFY(rig.hostSeesNoEnvelopes());
}

QTEST_GUILESS_MAIN(TestDeviceSim)
#include "tst_device_sim.moc"
