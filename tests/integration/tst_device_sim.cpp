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
#include <QRegularExpression>
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

QString errorCode(const QJsonObject &reply)
{
	return reply.value("error").toObject().value("code").toString();
}

bool ok(const QJsonObject &reply)
{
	return reply.value("ok").toBool();
}

// The host's end of the cable: the serial port and the frame code, no
// link logic, so everything the device sends is seen as it came.
struct Host {
	explicit Host(const QString &path)
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
		port.open(path, 115200);
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
	bool hello() { return port.write(buildCtrlFrame({{"t", "hello"}})); }
	bool sendAdmin(const QByteArray &message)
	{
		return port.write(buildAdminFrames(message).join());
	}
	// One request; its reply, or nothing after the time-out.
	QJsonObject call(const QString &method, const QJsonObject &params = {},
			 int timeoutMs = 3000)
	{
		const int id = ++nextId;
		sendAdmin(compact(
			{{"id", id}, {"method", method}, {"params", params}}));
		QJsonObject reply;
		(void)QTest::qWaitFor(
			[&] {
				for (const QJsonObject &r : replies)
					if (r.value("id") == id)
						reply = r;
				return !reply.isEmpty();
			},
			timeoutMs);
		return reply;
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
		QJsonObject answer;
		(void)QTest::qWaitFor([&] {
			for (const char *t : {"rx_set", "rx_error"})
				if (!ctrl(t).isEmpty())
					answer = ctrl(t).first();
			return !answer.isEmpty();
		});
		return answer;
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
	int envelopes() const
	{
		return int(std::count_if(
			frames.cbegin(), frames.cend(), [](const UsbFrame &f) {
				return f.type == kFrameEnvelope;
			}));
	}
	void forget()
	{
		frames.clear();
		replies.clear();
		received.clear();
	}

	SerialPort port;
	UsbFrameParser parser;
	AdminReassembler admin;
	int nextId = 0;
	QByteArray received; // every byte, frames or not
	QList<UsbFrame> frames;
	QList<QJsonObject> replies;
	bool hungUp = false;
};

// A device on its cable, set up from the program's command line, with its
// clock standing still: only skipTime() ends a restart.
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
		const auto outcome = parseDeviceCommandLine(
			QStringList{"quillmarch-sim", "device"} +
				arguments.split(' ', Qt::SkipEmptyParts),
			&out, &error);
		if (outcome != ParseOutcome::Run)
			qFatal("%s", qPrintable(error));
		out.device.operationSpeed = 0;
		out.device.maxFailedLogins = 3;
		out.device.lockoutMs = 300;
		out.usbSide.receiverStatusMs = 60000; // only on change
		return out;
	}
	bool plugIn()
	{
		if (!usb.plugIn())
			return false;
		host = std::make_unique<Host>(usb.slavePath());
		return host->port.isOpen();
	}
	bool hello()
	{
		const int before = host->ctrl("hello").size();
		return host->hello() && QTest::qWaitFor([&] {
			       return host->ctrl("hello").size() > before;
		       });
	}
	// Lets the running device publish a few envelopes; whether none of
	// them reached the host.
	bool hostSeesNoEnvelopes()
	{
		const quint64 until = device.game().seq() + 5;
		return QTest::qWaitFor(
			       [&] { return device.game().seq() >= until; }) &&
		       host->envelopes() == 0;
	}

	DeviceOptions options;
	DeviceModel device;
	UsbSide usb;
	std::unique_ptr<Host> host;
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
	Host &host = *rig.host;

	// Noise, a damaged hello and half a frame are skipped; the real
	// hello after them is answered once.
	QByteArray junk(300, '\x5a');
	junk += QByteArray("\x00QM", 3); // a sync that leads nowhere
	QByteArray badHello = buildCtrlFrame({{"t", "hello"}});
	badHello[badHello.size() - 1] = char(badHello.back() ^ 0x5a);
	const QByteArray half = QByteArray("\x00QM\x03\x0c\x00", 6) + "{\"t\":";
	QVERIFY(host.port.write(junk + badHello + half));
	QVERIFY(rig.hello());
	QCOMPARE(rig.usb.hellosReceived(), 1);

	// Requests it cannot use get an error, with no id for an unusable
	// one, and the device goes on answering.
	QVERIFY(host.sendAdmin("{oops"));
	QTRY_COMPARE(host.replies.size(), 1);
	QCOMPARE(host.replies.first().value("id"), QJsonValue());
	QCOMPARE(errorCode(host.replies.first()), "bad_request");
	QCOMPARE(errorCode(host.call("fly")), "unknown_method");
	QCOMPARE(errorCode(host.call("getStatus")), "unauthorized");

	// Wrong passwords in a row lock sign-in out for a while, even with
	// the right one.
	for (int i = 0; i < rig.options.device.maxFailedLogins; ++i)
		QCOMPARE(errorCode(host.login("nope")), "invalid_credentials");
	QCOMPARE(errorCode(host.login()), "rate_limited");
	QTRY_VERIFY(ok(host.login()));
	QCOMPARE(errorCode(host.call("changePassword",
				     {{"current_password", "corvalinth"},
				      {"new_password", "short"},
				      {"confirm_password", "short"}})),
		 "weak_password");

	// A reply too long for one frame comes in as many chunks as it needs.
	host.forget();
	const QJsonObject logs = host.call("getLogs");
	QVERIFY(logs.value("result").toObject().value("logs").toString().size() >
		2048);
	int chunks = 0;
	for (const UsbFrame &f : host.frames)
		chunks += f.type == kFrameAdmin ? 1 : 0;
	QCOMPARE(chunks, int((compact(logs).size() + 2044) / 2045));

	// A restart keeps the line: nobody answers, then boot text that is
	// no frame, then a device that wants a new hello and a new sign-in.
	QVERIFY(ok(host.call("reboot")));
	QVERIFY(rig.device.isRestarting());
	host.forget();
	QVERIFY(host.hello());
	QVERIFY(host.call("getStatus", {}, 300).isEmpty());
	QVERIFY(host.frames.isEmpty() && !host.hungUp);
	rig.device.skipTime(rig.device.config().restartMs);
	QTRY_VERIFY(host.received.contains("rst:0xc"));
	QVERIFY(host.frames.isEmpty());
	QVERIFY(rig.hello());
	QCOMPARE(errorCode(host.call("getStatus")), "unauthorized");
	QVERIFY(ok(host.login()));
}

void TestDeviceSim::receiverRelaysToItsDevice()
{
	Rig rig("--rate 50 --receiver --unpaired --relay-delay-ms 300");
	QVERIFY(rig.plugIn());
	Host &host = *rig.host;
	rig.device.start();

	// The receiver answers for itself, its status right before its hello
	// answer; unpaired, nothing of the device comes through.
	QVERIFY(rig.hello());
	QCOMPARE(host.ctrl("hello").first().value("receiver"),
		 QJsonValue(true));
	QStringList kinds;
	for (const UsbFrame &f : host.frames)
		kinds << parseObject(f.payload).value("t").toString();
	QCOMPARE(kinds.mid(kinds.indexOf("hello") - 1, 2),
		 QStringList({"rx_status", "hello"}));
	QVERIFY(host.call("getState", {}, 400).isEmpty());
	QVERIFY(rig.hostSeesNoEnvelopes());

	// A refused setting changes nothing; a new key pairs, and the link
	// comes up after the answer.
	const auto link = [&host] {
		const QList<QJsonObject> status = host.ctrl("rx_status");
		return status.isEmpty() ? QJsonValue() : status.last()["link"];
	};
	const WirelessReceiver &receiver = *rig.usb.receiver();
	QCOMPARE(host.rxSet({{"channel", 14}}).value("t").toString(),
		 "rx_error");
	QCOMPARE(receiver.channel(), 1);
	const QString key =
		host.rxSet({{"generate_key", true}}).value("key").toString();
	QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(key).hasMatch(),
		 qPrintable(key));
	QTRY_COMPARE(link(), QJsonValue(true));
	QTRY_VERIFY(host.envelopes() > 0);

	// Every request takes the relay's time.
	QElapsedTimer clock;
	clock.start();
	QVERIFY(ok(host.login()));
	QVERIFY2(clock.elapsed() >= 290,
		 qPrintable(QString::number(clock.elapsed())));

	// The device's restart shows as its link going down and up again,
	// while the receiver stays awake.
	host.forget();
	QVERIFY(ok(host.call("reboot")));
	QTRY_COMPARE(link(), QJsonValue(false));
	QVERIFY(rig.hello());
	QVERIFY(host.call("getStatus", {}, 700).isEmpty());
	host.forget();
	rig.device.skipTime(rig.device.config().restartMs);
	QTRY_COMPARE(link(), QJsonValue(true));
	QCOMPARE(errorCode(host.call("getStatus")), "unauthorized");

	// Out of range, the device's envelopes stop.
	rig.usb.setDeviceInRange(false);
	QTRY_COMPARE(link(), QJsonValue(false));
	host.forget();
	QVERIFY(rig.hostSeesNoEnvelopes());
}

QTEST_GUILESS_MAIN(TestDeviceSim)
#include "tst_device_sim.moc"
