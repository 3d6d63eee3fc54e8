// The simulated device's admin side on its cable: answers too long for one
// frame, and restarts as a host on the cable sees them.

#include "support/sim_host_end.h"

#include "device_model.h"
#include "usb_side.h"

#include <QSignalSpy>
#include <QtTest>

using namespace quillmarch;
using namespace quillmarch::sim;
using namespace quillmarch::test;

namespace {

DeviceModel::Config stillClock()
{
	DeviceModel::Config config;
	config.operationSpeed = 0; // only skipTime() moves device time
	return config;
}

} // namespace

class TestDeviceSimRpc : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase()
	{
		QLoggingCategory::setFilterRules(
			QStringLiteral("quillmarch.sim*.info=false"));
	}
	void chunkedRequestsAndAnswers();
	void restartKeepsTheLine();
	void restartUnplugs();
	void receiverRelaysSlowlyAndReportsRestart();
};

void TestDeviceSimRpc::chunkedRequestsAndAnswers()
{
	DeviceModel::Config device;
	device.envelopesPerSecond = 20;
	device.replyDelayMs = 300;
	SimRig rig(device);
	QVERIFY(rig.openHello());
	rig.device.start();
	QVERIFY(ok(rig.host->login()));

	// 5000 bytes of request: three admin chunks. The delay holds the
	// reply, not the device: envelopes go on meanwhile.
	rig.host->forget();
	QElapsedTimer clock;
	clock.start();
	QJsonObject reply = rig.host->call(
		"getStatus", {{"note", QString(5000, QLatin1Char('x'))}});
	QVERIFY2(clock.elapsed() >= 280,
		 qPrintable(QString::number(clock.elapsed())));
	QCOMPARE(result(reply).value("device_id"), QJsonValue("QM-00A1B2"));
	QVERIFY(!rig.host->envelopes().isEmpty());

	// One reply, cut into as many chunks as it needs.
	rig.host->forget();
	reply = rig.host->call("getLogs");
	QVERIFY(result(reply).value("logs").toString().size() > 2048);
	int chunks = 0;
	for (const UsbFrame &f : rig.host->frames)
		chunks += f.type == kFrameAdmin ? 1 : 0;
	QCOMPARE(chunks, int((compact(reply).size() + 2044) / 2045));
}

// By default the line stays while the device restarts: nobody answers,
// then boot text that is no frame, then a device that wants a new hello
// and a new sign-in.
void TestDeviceSimRpc::restartKeepsTheLine()
{
	DeviceModel::Config config = stillClock();
	config.busyReplies = 1;
	SimRig rig(config);
	QVERIFY(rig.openHello());
	SimHost &host = *rig.host;
	QCOMPARE(errorCode(host.login()), "busy");
	QVERIFY(ok(host.login()));

	QVERIFY(ok(host.call("reboot")));
	QVERIFY(rig.device.isRestarting());
	host.forget();
	QVERIFY(host.hello());
	QVERIFY(host.call("getStatus", {}, 300).isEmpty());
	QVERIFY(host.frames.isEmpty() && !host.hungUp);

	rig.device.skipTime(6000);
	QTRY_VERIFY(host.received.contains("rst:0xc"));
	QVERIFY(host.frames.isEmpty());
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 1);
	QCOMPARE(errorCode(host.call("getStatus")), "unauthorized");
	QVERIFY(ok(host.login()));
}

// With rebootUnplugs the answer arrives, then the hang-up, and after the
// restart a new terminal with the device's saved state behind it.
void TestDeviceSimRpc::restartUnplugs()
{
	SimRig rig(stillClock(), simOptions("--reboot-unplugs").usbSide);
	QVERIFY(rig.openHello());
	QVERIFY(ok(rig.host->login()));
	QVERIFY(ok(rig.host->call("setDeviceId", {{"device_id", "QM-NEW"}})));
	const QString before = rig.usb.slavePath();
	QSignalSpy plugged(&rig.usb, &UsbSide::pluggedIn);

	QVERIFY(ok(rig.host->call("reboot")));
	QTRY_VERIFY(rig.host->hungUp);
	rig.device.skipTime(6000);
	QCOMPARE(plugged.size(), 1);
	QVERIFY(rig.usb.slavePath() != before); // the old one is still open

	SimHost again(rig.usb.slavePath());
	QVERIFY(again.hello());
	QTRY_COMPARE(again.ctrl("hello").size(), 1);
	QCOMPARE(again.ctrl("hello").first().value("device_id"),
		 QJsonValue("QM-NEW"));
	QVERIFY(ok(again.login()));
}

// Behind a receiver every request takes the relay delay, and a restart of
// the device shows as the receiver's link going down and up again.
void TestDeviceSimRpc::receiverRelaysSlowlyAndReportsRestart()
{
	DeviceOptions options = simOptions("--receiver --relay-delay-ms 300");
	options.device.operationSpeed = 0;
	options.usbSide.receiverStatusMs = 60000; // only on change
	SimRig rig(options.device, options.usbSide);
	QVERIFY(rig.openHello());
	SimHost &host = *rig.host;

	QElapsedTimer clock;
	clock.start();
	QVERIFY(ok(host.login()));
	QVERIFY2(clock.elapsed() >= 290,
		 qPrintable(QString::number(clock.elapsed())));

	host.forget();
	QVERIFY(ok(host.call("reboot")));
	QTRY_COMPARE(host.ctrl("rx_status").size(), 1);
	QCOMPARE(host.ctrl("rx_status").first().value("link"),
		 QJsonValue(false));
	// The receiver itself stays awake; the device is out of reach.
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 1);
	QVERIFY(host.call("getStatus", {}, 600).isEmpty());

	host.forget();
	rig.device.skipTime(6000);
	QTRY_COMPARE(host.ctrl("rx_status").size(), 1);
	QCOMPARE(host.ctrl("rx_status").first().value("link"),
		 QJsonValue(true));
	QCOMPARE(errorCode(host.call("getStatus")), "unauthorized");
}

QTEST_GUILESS_MAIN(TestDeviceSimRpc)
#include "tst_device_sim_rpc.moc"
