// The Bluetooth bridge and link against a real helper process: the test
// build of the helper, whose radio is the simulated device running in this
// process. A stand-in helper (a script that only notes its command line and
// waits) covers what a real one never does: stay silent past the deadline,
// or have a stranger on its port. Every helper launched here hears the
// device that was put on the radio just before.
#include "admin/device_session.h"
#include "ble/ble_bridge.h"
#include "ble/ble_link.h"

#include "ble_side.h"
#include "device_model.h"

#include "support/await.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <signal.h>

using namespace quillmarch;
using quillmarch::sim::BleSide;
using quillmarch::sim::DeviceModel;

namespace {

const QString kFactory = QStringLiteral("corvalinth");
const QString kNewPassword = QStringLiteral("Gym-Scores-2026");

BleBridge *bridge()
{
	return BleBridge::instance();
}

// A simulated device in range of the next helper that starts.
struct Radio {
	explicit Radio(const BleSide::Config &config = BleSide::Config())
		: device(deviceConfig()),
		  side(&device, config)
	{
		listening = side.listen(QHostAddress::LocalHost, 0);
		qputenv("QUILLMARCH_BLE_SIM", side.address().toUtf8());
	}
	static DeviceModel::Config deviceConfig()
	{
		DeviceModel::Config c;
		c.operationSpeed = 20;
		return c;
	}
	DeviceModel device;
	BleSide side;
	bool listening = false;
};

BleReply call(const QString &op, const QJsonObject &params = {},
	      int timeoutMs = 30000)
{
	return test::awaitResult<BleReply>(
		       [&](auto done) {
			       bridge()->request(op, params, done, timeoutMs);
		       },
		       timeoutMs + 5000)
		.value_or(BleReply::failure("test", "no answer"));
}

// Whether a scan hears the device (the helper connects only to devices
// it has heard).
bool scanFinds(const QString &id)
{
	const auto scan = test::awaitResult<bool, QList<BleDeviceInfo>, int,
					    QString, QString>(
		[](auto done) { bridge()->scan(600, done); }, 20000);
	if (!scan || !std::get<0>(*scan))
		return false;
	for (const BleDeviceInfo &d : std::get<1>(*scan))
		if (d.id == id)
			return true;
	return false;
}

// Kills the running helper the way a crash would.
bool killHelper()
{
	const qint64 pid = bridge()->helperProcessId();
	return pid > 0 && ::kill(pid_t(pid), SIGKILL) == 0;
}

// Ends the helper of an earlier test: asked to quit, it goes on its own.
void quitHelper()
{
	bridge()->shutdown();
	QTRY_COMPARE_WITH_TIMEOUT(bridge()->helperProcessId(), qint64(0),
				  10000);
}

} // namespace

class TestBleBridge : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void init();
	void standInHelper();
	void realHelperRequests();
	void helperKilledAndDeviceGone();
	void linkLifecycle();
	void deviceSetUpOverBluetooth();
};

void TestBleBridge::init()
{
	quitHelper();
	bridge()->setTimings(BleBridge::Timings());
	bridge()->setHelperPath(
		QStringLiteral(QUILLMARCH_BLE_HELPER_SIM_EXECUTABLE));
}

void TestBleBridge::standInHelper()
{
	// Nothing there: the install is broken, said at once.
	bridge()->setHelperPath("/nonexistent/quillmarch-ble-helper");
	BleReply missing;
	bridge()->request(
		"start", {}, [&](const BleReply &r) { missing = r; }, 1000);
	QCOMPARE(missing.code, QStringLiteral("bluetooth_unavailable"));
	QCOMPARE(
		missing.message,
		QStringLiteral(
			"The Bluetooth helper is missing from this install. Reinstall the Quillmarch plugin."));

	QTemporaryDir dir;
	const QString script = dir.filePath("helper");
	const QString argsFile = dir.filePath("args");
	{
		QFile f(script);
		QVERIFY(f.open(QIODevice::WriteOnly));
		f.write("#!/bin/sh\necho \"$@\" > '" + argsFile.toUtf8() +
			".tmp'\nmv '" + argsFile.toUtf8() + ".tmp' '" +
			argsFile.toUtf8() + "'\nexec sleep 60\n");
		f.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
	}
	bridge()->setHelperPath(script);
	const auto launchArgs = [&]() -> QStringList {
		if (!QTest::qWaitFor([&] { return QFile::exists(argsFile); },
				     10000))
			return {};
		QFile f(argsFile);
		f.open(QIODevice::ReadOnly);
		const QStringList out =
			QString::fromUtf8(f.readAll()).simplified().split(' ');
		f.remove();
		return out;
	};

	// A helper that never says hello: both waiters fail together at the
	// deadline and that helper is killed, but not the new launch the
	// second waiter asks for at once.
	BleBridge::Timings quick;
	quick.launchDeadlineMs = 400;
	bridge()->setTimings(quick);
	QStringList failures;
	bool ready = false;
	bridge()->ensureHelper([&](bool ok, const QString &error) {
		failures.append(ok ? "ok" : error);
	});
	bridge()->ensureHelper([&](bool ok, const QString &error) {
		failures.append(ok ? "ok" : error);
		bridge()->setTimings(BleBridge::Timings());
		bridge()->ensureHelper(
			[&](bool ok, const QString &) { ready = ok; });
	});
	const qint64 silentPid = bridge()->helperProcessId();
	const QStringList first = launchArgs();
	QTRY_COMPARE_WITH_TIMEOUT(failures.size(), 2, 5000);
	QCOMPARE(
		failures.first(),
		QStringLiteral(
			"The Bluetooth helper did not start. Bluetooth setup is unavailable on this system."));
	QCOMPARE(failures.last(), failures.first());
	QCOMPARE(first.value(1).toInt(), int(bridge()->port()));
	QTRY_VERIFY(::kill(pid_t(silentPid), 0) != 0);

	// The new launch: same port, fresh token. Strangers on the port
	// (silent, with a wrong token, or flooding) do not keep the helper
	// out.
	const QStringList args = launchArgs();
	QCOMPARE(args.size(), 4);
	QCOMPARE(args.at(0), QStringLiteral("--port"));
	QCOMPARE(args.at(1).toInt(), int(bridge()->port()));
	QCOMPARE(args.at(2), QStringLiteral("--token"));
	const QString token = args.at(3);
	QVERIFY(QRegularExpression("^[0-9a-f]{1,32}$").match(token).hasMatch());
	QVERIFY(token != first.value(3));

	QSignalSpy stopped(bridge(), &BleBridge::helperStopped);
	QTcpSocket silent, wrong, flood, helper;
	for (QTcpSocket *s : {&silent, &wrong, &flood, &helper}) {
		s->connectToHost(QHostAddress::LocalHost, bridge()->port());
		QVERIFY(s->waitForConnected(5000));
	}
	QString wrongToken = token.toUpper();
	if (wrongToken == token)
		wrongToken += '0';
	wrong.write("{\"hello\":\"" + wrongToken.toUtf8() + "\"}\n");
	QTRY_COMPARE(wrong.state(), QAbstractSocket::UnconnectedState);
	// A line without end is not held in memory for ever.
	flood.write(QByteArray(JsonLineSplitter::kMaxLine + 4096, 'x'));
	QTRY_COMPARE(flood.state(), QAbstractSocket::UnconnectedState);
	QVERIFY(!ready);

	// Requests made before the hello go out once it comes, one line
	// each, in the order made.
	QList<BleReply> replies;
	QSignalSpy data(bridge(), &BleBridge::dataReceived);
	bridge()->request(
		"connect", {{"id", "AB"}, {"op", "ignored"}},
		[&](const BleReply &r) { replies.append(r); }, 30000);
	bridge()->request(
		"write", {{"b64", "e30="}},
		[&](const BleReply &r) { replies.append(r); }, 30000);
	helper.write("  {\"hello\":\"" + token.toUtf8() + "\"}\r\n");
	QTRY_VERIFY(ready);
	QTRY_COMPARE(silent.state(), QAbstractSocket::UnconnectedState);
	QCOMPARE(helper.state(), QAbstractSocket::ConnectedState);
	QCOMPARE(stopped.size(), 0);
	QTRY_VERIFY(helper.peek(4096).count('\n') == 2);
	const QJsonObject connect =
		QJsonDocument::fromJson(helper.readLine()).object();
	const QJsonObject write =
		QJsonDocument::fromJson(helper.readLine()).object();
	QCOMPARE(connect.value("op").toString(), QStringLiteral("connect"));
	QCOMPARE(write.value("reqId").toInt(),
		 connect.value("reqId").toInt() + 1);
	const QByteArray connectId =
		QByteArray::number(connect.value("reqId").toInt());
	const QByteArray writeId =
		QByteArray::number(write.value("reqId").toInt());
	// A reply split across reads, an event and a second reply in the
	// same read: all arrive.
	helper.write("{\"reqId\":" + connectId + ",\"ok\":tr");
	helper.write("ue,\"result\":{\"writePayload\":100}}\n"
		     "{\"ev\":\"data\",\"b64\":\"eyJpZCI6MX0=\"}\n"
		     "{\"reqId\":" +
		     writeId + ",\"ok\":false,\"error\":{}}\n");
	QTRY_COMPARE(replies.size(), 2);
	QVERIFY(replies.at(0).ok);
	QCOMPARE(replies.at(0).result.value("writePayload").toInt(), 100);
	QCOMPARE(replies.at(1).code, QStringLiteral("ble_error"));
	QCOMPARE(replies.at(1).message, QStringLiteral("Bluetooth error"));
	QCOMPARE(data.size(), 1);
	QCOMPARE(data.first().first().toByteArray(), QByteArray("{\"id\":1}"));

	// Shutdown: the pending request is dropped without a call and the
	// helper gets the quit line, then the end of the connection.
	int called = 0;
	bridge()->request(
		"scan", {{"ms", 6000}}, [&](auto) { ++called; }, 30000);
	QTRY_VERIFY(helper.canReadLine());
	helper.readLine();
	bridge()->shutdown();
	QTRY_COMPARE(helper.state(), QAbstractSocket::UnconnectedState);
	QCOMPARE(helper.readAll(),
		 QByteArray("{\"op\":\"quit\",\"reqId\":0}\n"));
	QCOMPARE(called, 0);
	QCOMPARE(stopped.size(), 0);
	QVERIFY(!bridge()->isReady());
	QVERIFY(killHelper()); // the stand-in never quits by itself
}

void TestBleBridge::realHelperRequests()
{
	BleSide::Config config;
	config.otherAdvertisers = 2;
	Radio radio(config);
	QVERIFY(radio.listening);

	// Requests before the helper is up: one launch serves them all. The
	// scan's own start shares the one already on its way.
	QList<QString> order;
	bridge()->start([&](const BleReply &r) {
		order.append("start " + QString(r.ok ? "ok" : r.message));
	});
	const qint64 pid = bridge()->helperProcessId();
	QVERIFY(pid > 0);
	bridge()->request(
		"nonsense", {},
		[&](const BleReply &r) { order.append(r.code); }, 30000);
	QList<BleDeviceInfo> devices;
	int seen = 0;
	bridge()->scan(600, [&](bool ok, const QList<BleDeviceInfo> &heard,
				int seenAll, const QString &, const QString &) {
		devices = heard;
		seen = seenAll;
		order.append(ok ? "scan" : "scan failed");
	});
	QTRY_COMPARE_WITH_TIMEOUT(order.size(), 3, 20000);
	order.sort();
	QCOMPARE(order, (QList<QString>{"scan", "start ok", "unknown_op"}));
	QCOMPARE(bridge()->helperProcessId(), pid);
	QCOMPARE(devices.size(), 1);
	QCOMPARE(devices.first().id, radio.side.peripheralId());
	QCOMPARE(devices.first().name, QStringLiteral("Quillmarch QM-00A1B2"));
	QCOMPARE(seen, 3);

	// Started once per helper: answered at once, nothing sent.
	bool atOnce = false;
	bridge()->start([&](const BleReply &r) { atOnce = r.ok; });
	QVERIFY(atOnce);

	const BleReply connected =
		call("connect", {{"id", radio.side.peripheralId()}});
	QVERIFY2(connected.ok, qPrintable(connected.message));
	QCOMPARE(connected.result.value("writePayload").toInt(), 185);
	QVERIFY(radio.side.isLinked());

	// Unloading: the helper is told to quit and leaves on its own.
	bridge()->shutdown();
	QTRY_COMPARE_WITH_TIMEOUT(bridge()->helperProcessId(), qint64(0),
				  10000);
	QCOMPARE(bridge()->launcher()->exitStatus(), QProcess::NormalExit);
	QCOMPARE(bridge()->launcher()->exitCode(), 0);
}

void TestBleBridge::helperKilledAndDeviceGone()
{
	Radio radio;
	QVERIFY(radio.listening);
	QVERIFY(scanFinds(radio.side.peripheralId()));
	QVERIFY(call("connect", {{"id", radio.side.peripheralId()}}).ok);

	// A device out of range never confirms a write: the request times out
	// once, and nothing follows when the link drops after it.
	QSignalSpy dropped(bridge(), &BleBridge::disconnected);
	radio.side.vanish();
	QList<BleReply> answers;
	bridge()->request(
		"write", {{"b64", "e30="}},
		[&](const BleReply &r) { answers.append(r); }, 100);
	QTRY_COMPARE(answers.size(), 1);
	QCOMPARE(answers.first().code, QStringLiteral("timeout"));
	QCOMPARE(answers.first().message,
		 QStringLiteral("Bluetooth did not respond in time."));
	QTRY_COMPARE_WITH_TIMEOUT(dropped.size(), 1, 5000);
	QCOMPARE(answers.size(), 1);

	// The helper dies mid-request: the request fails, the bridge says so,
	// and the next request starts a fresh helper.
	QSignalSpy stopped(bridge(), &BleBridge::helperStopped);
	answers.clear();
	bridge()->request(
		"scan", {{"ms", 5000}},
		[&](const BleReply &r) { answers.append(r); }, 30000);
	const qint64 pid = bridge()->helperProcessId();
	QVERIFY(killHelper());
	QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 1, 5000);
	QCOMPARE(answers.first().code, QStringLiteral("bluetooth_unavailable"));
	QCOMPARE(answers.first().message,
		 QStringLiteral("The Bluetooth helper stopped."));
	QCOMPARE(stopped.size(), 1);
	QCOMPARE(stopped.first().first().toString(), QStringLiteral("stopped"));
	QVERIFY(!bridge()->isReady());

	QVERIFY(call("start").ok);
	QVERIFY(bridge()->helperProcessId() != pid);
	QCOMPARE(answers.size(), 1);
}

void TestBleBridge::linkLifecycle()
{
	Radio radio;
	QVERIFY(radio.listening);
	QVERIFY(scanFinds(radio.side.peripheralId()));
	BleLink link(radio.side.peripheralId(), "Gym");
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy closed(&link, &DeviceLink::closed);
	QSignalSpy failed(&link, &DeviceLink::failed);

	// Closed while connecting: the late success opens nothing, and the
	// device the helper did reach is let go again.
	QSignalSpy linked(&radio.side, &BleSide::linkChanged);
	link.open();
	link.close();
	QTRY_COMPARE_WITH_TIMEOUT(linked.size(), 2, 10000);
	QCOMPARE(linked.at(0).first().toBool(), true);
	QCOMPARE(linked.at(1).first().toBool(), false);
	QCOMPARE(opened.size(), 0);
	QVERIFY(!link.transport()->isOpen());

	// Up, then dropped by the device, with and without a reason.
	for (const QString &reason :
	     {QString("Connection timed out"), QString()}) {
		link.open();
		QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, 10000);
		QVERIFY(link.transport()->isOpen());
		radio.side.dropLink(reason);
		QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 1, 5000);
		QCOMPARE(closed.takeFirst().first().toString(),
			 reason.isEmpty()
				 ? QStringLiteral("Bluetooth link lost")
				 : reason);
		QVERIFY(!link.transport()->isOpen());
		opened.clear();
	}

	// The helper goes away under an open link.
	link.open();
	QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, 10000);
	QVERIFY(killHelper());
	QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 1, 5000);
	QCOMPARE(closed.first().first().toString(),
		 QStringLiteral("The Bluetooth helper stopped"));
	QCOMPARE(failed.size(), 0);

	// A device that wants pairing first: the user is told how.
	quitHelper();
	BleSide::Config pairing;
	pairing.requirePairing = true;
	Radio locked(pairing);
	QVERIFY(locked.listening);
	QVERIFY(scanFinds(locked.side.peripheralId()));
	BleLink lockedLink(locked.side.peripheralId(), "Locked");
	QSignalSpy lockedFailed(&lockedLink, &DeviceLink::failed);
	lockedLink.open();
	QTRY_COMPARE_WITH_TIMEOUT(lockedFailed.size(), 1, 10000);
	QCOMPARE(lockedFailed.first().at(0).toString(),
		 QStringLiteral("not_paired"));
	QCOMPARE(
		lockedFailed.first().at(1).toString(),
		QStringLiteral(
			"This computer is not paired with the device yet. Pair it once with the 6-digit passkey from the device's label or your Quillmarch account (macOS asks automatically; on Windows pair it in Bluetooth settings first), then connect again."));
}

void TestBleBridge::deviceSetUpOverBluetooth()
{
	// Long requests in short notifications, and replies in both header
	// forms and whole.
	BleSide::Config config;
	config.writePayload = 64;
	config.fragments = BleSide::Config::Fragments::Mixed;
	Radio radio(config);
	QVERIFY(radio.listening);

	// What the setup dialog does: scan, pick the device, sign in.
	QVERIFY(scanFinds(radio.side.peripheralId()));
	DeviceSession::Timings timings;
	timings.pollMs = 200;
	auto session = std::make_unique<DeviceSession>(
		new BleLink(radio.side.peripheralId(), "Gym"));
	session->setTimings(timings);
	session->start({"not-it", kFactory});
	QTRY_COMPARE_WITH_TIMEOUT(session->state(),
				  DeviceSession::NeedsNewPassword, 20000);
	QVERIFY(session->mustChangePassword());
	QCOMPARE(session->deviceId(), QStringLiteral("QM-00A1B2"));

	const auto changed = test::awaitResult<bool, QString>(
		[&](auto done) {
			session->changePassword(kFactory, kNewPassword, done);
		},
		20000);
	QVERIFY(changed);
	QVERIFY2(std::get<0>(*changed), qPrintable(std::get<1>(*changed)));
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Ready,
				  10000);

	const auto status = test::awaitResult<bool, QString>(
		[&](auto done) { session->refreshStatus(done); }, 20000);
	QVERIFY(status && std::get<0>(*status));
	QVERIFY(!session->status().isEmpty());

	// Live state comes by polling over the same link.
	QSignalSpy envelopes(session.get(), &DeviceSession::envelope);
	QTRY_VERIFY_WITH_TIMEOUT(envelopes.size() >= 2, 10000);
}

QTEST_GUILESS_MAIN(TestBleBridge)
#include "tst_ble_bridge.moc"
