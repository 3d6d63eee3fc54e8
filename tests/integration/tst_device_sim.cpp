// The simulated device on its cable as a host sees it, byte by byte: what
// the product suites, which talk to it through the plug-in's own classes,
// cannot see. Garbage on the line, replies in several chunks, the silent
// restart that keeps the line, and the receiver relaying to its device.

#include "device_model.h"
#include "sim_options.h"
#include "usb_side.h"

#include "usb/serial_port.h"
#include "usb/usb_frame.h"

#include <QJsonDocument>
#include <QtTest>

#include <memory>

using namespace quillmarch;
using namespace quillmarch::sim;

namespace {

QByteArray compact(const QJsonObject &object)
{
	return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject parseObject(const QByteArray &json)
{
	return QJsonDocument::fromJson(json).object();
}

// "ok", or the error code of a reply; "" for none.
QString outcome(const QJsonObject &reply)
{
	return reply.value("ok").toBool()
		       ? "ok"
		       : reply["error"].toObject()["code"].toString();
}

// A device on its cable, set up from the program's command line, with its
// clock standing still: only skipTime() ends a restart. The host's end is
// the serial port and the frame code, no link logic, so everything the
// device sends is seen as it came.
struct Rig {
	explicit Rig(const QString &arguments)
		: options(parse(arguments)),
		  device(options.device),
		  usb(&device, options.usbSide)
	{
	}
	static DeviceOptions parse(const QString &arguments)
	{
		DeviceOptions out;
		QString error;
		if (parseDeviceCommandLine(
			    QStringList{"quillmarch-sim", "device"} +
				    arguments.split(' ', Qt::SkipEmptyParts),
			    &out, &error) != ParseOutcome::Run)
			qFatal("%s", qPrintable(error));
		out.device.operationSpeed = 0;
		out.device.maxFailedLogins = 3;
		out.device.lockoutMs = 300;
		out.usbSide.receiverStatusMs = 60000; // only on change
		return out;
	}
	bool plugIn()
	{
		QObject::connect(&port, &SerialPort::readyRead,
				 [this](const QByteArray &bytes) {
					 received += bytes;
					 for (const UsbFrame &f :
					      parser.feed(bytes))
						 take(f);
				 });
		QObject::connect(&port, &SerialPort::errorOccurred,
				 [this] { hungUp = true; });
		return usb.plugIn() && port.open(usb.slavePath(), 115200);
	}
	void take(const UsbFrame &f)
	{
		frames.append(f);
		const QByteArray m = f.type == kFrameAdmin
					     ? admin.feed(f.payload)
					     : QByteArray();
		if (!m.isEmpty())
			replies.append(parseObject(m));
	}
	bool sendHello()
	{
		return port.write(buildCtrlFrame({{"t", "hello"}}));
	}
	// Sends a hello and waits for its answer.
	bool hello()
	{
		const int before = ctrl("hello").size();
		return sendHello() && QTest::qWaitFor([&] {
			       return ctrl("hello").size() > before;
		       });
	}
	bool sendAdmin(const QByteArray &message)
	{
		return port.write(buildAdminFrames(message).join());
	}
	// The first object `find` gives within the time-out, or nothing.
	template<class Find> static QJsonObject await(Find find, int ms = 5000)
	{
		QJsonObject out;
		(void)QTest::qWaitFor([&] { return !(out = find()).isEmpty(); },
				      ms);
		return out;
	}
	// One request; its reply, or nothing after the time-out.
	QJsonObject call(const QString &method, const QJsonObject &params = {},
			 int timeoutMs = 3000)
	{
		const int id = ++nextId;
		sendAdmin(compact(
			{{"id", id}, {"method", method}, {"params", params}}));
		return await(
			[&] {
				for (const QJsonObject &r : replies)
					if (r.value("id") == id)
						return r;
				return QJsonObject();
			},
			timeoutMs);
	}
	QJsonObject login(const QString &password = "corvalinth")
	{
		return call("login", {{"password", password}});
	}
	// The receiver's answer to "rx_set" with these members.
	QJsonObject rxSet(QJsonObject members)
	{
		members.insert("t", "rx_set");
		forget();
		port.write(buildCtrlFrame(members));
		return await([&] {
			return (ctrl("rx_set") + ctrl("rx_error")).value(0);
		});
	}
	QList<QJsonObject> ctrl(const QString &t) const
	{
		QList<QJsonObject> out;
		for (const UsbFrame &f : frames)
			if (f.type == kFrameCtrl &&
			    parseObject(f.payload).value("t") == t)
				out.append(parseObject(f.payload));
		return out;
	}
	int count(quint8 type) const
	{
		int n = 0;
		for (const UsbFrame &f : frames)
			n += f.type == type ? 1 : 0;
		return n;
	}
	void forget()
	{
		frames.clear();
		replies.clear();
		received.clear();
	}
	// Lets the running device publish a few envelopes; whether none of
	// them reached the host.
	bool hostSeesNoEnvelopes()
	{
		const quint64 until = device.game().seq() + 5;
		return QTest::qWaitFor(
			       [&] { return device.game().seq() >= until; }) &&
		       count(kFrameEnvelope) == 0;
	}

	DeviceOptions options;
	DeviceModel device;
	UsbSide usb;
	SerialPort port;
	UsbFrameParser parser;
	AdminReassembler admin;
	int nextId = 0;
	QByteArray received; // every byte, frames or not
	QList<UsbFrame> frames;
	QList<QJsonObject> replies;
	bool hungUp = false;
};

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
	void cableGarbageChunksAndRestart();
	void receiverRelaysToItsDevice();
};

void TestDeviceSim::cableGarbageChunksAndRestart()
{
	Rig rig(QString{});
	QVERIFY(rig.plugIn());

	// Noise, a damaged hello and half a frame are skipped; the real
	// hello after them is answered once.
	QByteArray junk(300, '\x5a');
	junk += QByteArray("\x00QM", 3); // a sync that leads nowhere
	QByteArray badHello = buildCtrlFrame({{"t", "hello"}});
	badHello[badHello.size() - 1] = char(badHello.back() ^ 0x5a);
	const QByteArray half = QByteArray("\x00QM\x03\x0c\x00", 6) + "{\"t\":";
	QVERIFY(rig.port.write(junk + badHello + half));
	QVERIFY(rig.hello());
	QCOMPARE(rig.usb.hellosReceived(), 1);

	// Requests it cannot use get an error, with no id for an unusable
	// one, and the device goes on answering.
	QVERIFY(rig.sendAdmin("{oops"));
	QTRY_COMPARE(rig.replies.size(), 1);
	QCOMPARE(rig.replies.first().value("id"), QJsonValue());
	QCOMPARE(outcome(rig.replies.first()), "bad_request");
	QCOMPARE(outcome(rig.call("fly")), "unknown_method");
	QCOMPARE(outcome(rig.call("getStatus")), "unauthorized");

	// Wrong passwords in a row lock sign-in out for a while, even with
	// the right one.
	for (int i = 0; i < rig.options.device.maxFailedLogins; ++i)
		QCOMPARE(outcome(rig.login("nope")), "invalid_credentials");
	QCOMPARE(outcome(rig.login()), "rate_limited");
	QTRY_COMPARE(outcome(rig.login()), "ok");
	QCOMPARE(outcome(rig.call("changePassword",
				  {{"current_password", "corvalinth"},
				   {"new_password", "short"},
				   {"confirm_password", "short"}})),
		 "weak_password");

	// A reply too long for one frame comes in as many chunks as it needs.
	rig.forget();
	const QJsonObject logs = rig.call("getLogs");
	QVERIFY(logs.value("result").toObject().value("logs").toString().size() >
		2048);
	QCOMPARE(rig.count(kFrameAdmin),
		 int((compact(logs).size() + 2044) / 2045));

	// A restart keeps the line: nobody answers, then boot text that is
	// no frame, then a device that wants a new hello and a new sign-in.
	QCOMPARE(outcome(rig.call("reboot")), "ok");
	QVERIFY(rig.device.isRestarting());
	rig.forget();
	QVERIFY(rig.sendHello());
	QVERIFY(rig.call("getStatus", {}, 300).isEmpty());
	QVERIFY(rig.frames.isEmpty() && !rig.hungUp);
	rig.device.skipTime(rig.device.config().restartMs);
	QTRY_VERIFY(rig.received.contains("rst:0xc"));
	QVERIFY(rig.frames.isEmpty());
	QVERIFY(rig.hello());
	QCOMPARE(outcome(rig.call("getStatus")), "unauthorized");
	QCOMPARE(outcome(rig.login()), "ok");
}

void TestDeviceSim::receiverRelaysToItsDevice()
{
	Rig rig("--rate 50 --receiver --unpaired --relay-delay-ms 300");
	QVERIFY(rig.plugIn());
	rig.device.start();

	// The receiver answers for itself, its status right before its hello
	// answer; unpaired, nothing of the device comes through.
	QVERIFY(rig.hello());
	QStringList kinds;
	for (const UsbFrame &f : rig.frames)
		kinds << parseObject(f.payload).value("t").toString();
	QCOMPARE(kinds.mid(kinds.indexOf("hello") - 1, 2),
		 QStringList({"rx_status", "hello"}));
	QVERIFY(rig.call("getState", {}, 400).isEmpty());
	QVERIFY(rig.hostSeesNoEnvelopes());

	// A refused setting changes nothing; a new key pairs, and the link
	// comes up after the answer.
	const auto link = [&rig] {
		const QList<QJsonObject> status = rig.ctrl("rx_status");
		return status.isEmpty() ? QJsonValue() : status.last()["link"];
	};
	QCOMPARE(rig.rxSet({{"channel", 14}}).value("t").toString(),
		 "rx_error");
	QCOMPARE(rig.usb.receiver()->channel(), 1);
	// (The key's form is the USB device suite's business.)
	QVERIFY(rig.rxSet({{"generate_key", true}}).value("key").isString());
	QTRY_COMPARE(link(), QJsonValue(true));
	QTRY_VERIFY(rig.count(kFrameEnvelope) > 0);

	// Every request takes the relay's time.
	QElapsedTimer clock;
	clock.start();
	QCOMPARE(outcome(rig.login()), "ok");
	QVERIFY2(clock.elapsed() >= 290,
		 qPrintable(QString::number(clock.elapsed())));

	// The device's restart shows as its link going down and up again,
	// while the receiver stays awake.
	rig.forget();
	QCOMPARE(outcome(rig.call("reboot")), "ok");
	QTRY_COMPARE(link(), QJsonValue(false));
	QVERIFY(rig.hello());
	QVERIFY(rig.call("getStatus", {}, 700).isEmpty());
	rig.forget();
	rig.device.skipTime(rig.device.config().restartMs);
	QTRY_COMPARE(link(), QJsonValue(true));
	QCOMPARE(outcome(rig.call("getStatus")), "unauthorized");

	// Out of range, the device's envelopes stop.
	rig.usb.setDeviceInRange(false);
	QTRY_COMPARE(link(), QJsonValue(false));
	rig.forget();
	QVERIFY(rig.hostSeesNoEnvelopes());
}

QTEST_GUILESS_MAIN(TestDeviceSim)
#include "tst_device_sim.moc"
