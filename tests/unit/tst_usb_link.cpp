#include "usb_link.h"

#include "../support/pty_pair.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QtTest>

using namespace quillmarch;
using quillmarch::test::PtyPair;

namespace {

// The device end of the cable: reads what the link writes, as frames with
// their arrival times, and writes frames back.
class FakeDevice : public QObject {
	Q_OBJECT

public:
	FakeDevice()
	{
		m_notifier = new QSocketNotifier(m_pty.masterFd(),
						 QSocketNotifier::Read, this);
		connect(m_notifier, &QSocketNotifier::activated, this,
			&FakeDevice::readAvailable);
		m_clock.start();
	}

	bool isValid() const { return m_pty.isValid(); }
	QString path() const { return m_pty.slavePath(); }

	void unplug()
	{
		m_notifier->setEnabled(false);
		m_pty.closeMaster();
	}

	void write(const QByteArray &bytes)
	{
		QVERIFY(m_pty.writeMaster(bytes));
	}
	void sendCtrl(const QJsonObject &o) { write(buildCtrlFrame(o)); }
	void sendEnvelope(const QByteArray &json)
	{
		write(buildFrame(kFrameEnvelope, json));
	}

	QList<UsbFrame> framesOfType(quint8 type) const
	{
		QList<UsbFrame> out;
		for (const UsbFrame &f : m_frames)
			if (f.type == type)
				out.append(f);
		return out;
	}
	QList<QJsonObject> ctrl(const QString &t) const
	{
		QList<QJsonObject> out;
		for (const UsbFrame &f : framesOfType(kFrameCtrl)) {
			const QJsonObject o =
				QJsonDocument::fromJson(f.payload).object();
			if (o.value("t").toString() == t)
				out.append(o);
		}
		return out;
	}
	QList<qint64> arrivalsOfType(quint8 type) const
	{
		QList<qint64> out;
		for (int i = 0; i < m_frames.size(); ++i)
			if (m_frames.at(i).type == type)
				out.append(m_arrivals.at(i));
		return out;
	}
	void forget()
	{
		m_frames.clear();
		m_arrivals.clear();
	}

private:
	void readAvailable()
	{
		const QByteArray bytes = m_pty.drainMaster();
		for (const UsbFrame &f : m_parser.feed(bytes)) {
			m_frames.append(f);
			m_arrivals.append(m_clock.elapsed());
		}
	}

	PtyPair m_pty;
	QSocketNotifier *m_notifier;
	UsbFrameParser m_parser;
	QList<UsbFrame> m_frames;
	QList<qint64> m_arrivals;
	QElapsedTimer m_clock;
};

UsbLink::Timings fastTimings()
{
	UsbLink::Timings t;
	t.helloMs = 60;
	t.helloGiveUpMs = 400;
	t.pingMs = 100;
	t.receiverMs = 300;
	return t;
}

const QJsonObject kHelloAnswer{
	{"t", "hello"},
	{"tunnel", QJsonObject{{"host", "relay.example"}, {"port", 7443}}},
	{"streams", QJsonObject{{"mqtt", QJsonObject{{"host", "m.example"},
						     {"port", 8883}}}}},
	{"fw", "2.4.1"}};

struct ReceiverAnswer {
	int calls = 0;
	bool ok = false;
	QString key;
	QString error;
	UsbLink::ReceiverCallback callback()
	{
		return [this](bool o, const QString &k, const QString &e) {
			++calls;
			ok = o;
			key = k;
			error = e;
		};
	}
};

} // namespace

class TestUsbLink : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void openFailureSendsNothing();
	void helloRetriedUntilAnswered();
	void noAnswerGivesUpButStaysOpen();
	void receiverStatusOpensTheLink();
	void tunnelTargets();
	void envelopesAmidGarbage();
	void adminMessagesBothWays();
	void adminSendFailures();
	void receiverRequests();
	void unplugReportedOnce();
	void pingWhileOpen();
	void reopenForgetsEarlierConnection();
	void pipePacing();
	void pipeQueueOverflow();
};

void TestUsbLink::openFailureSendsNothing()
{
	UsbLink link(QStringLiteral("/dev/quillmarch-no-such-port"));
	QSignalSpy failed(&link, &DeviceLink::failed);
	QSignalSpy opened(&link, &DeviceLink::opened);
	link.open();
	QCOMPARE(failed.count(), 1);
	QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("open_failed"));
	QVERIFY(failed.at(0).at(1).toString().startsWith(
		"Could not open the USB port: "));
	QVERIFY(!link.transport()->isOpen());
	QTest::qWait(50);
	QCOMPARE(opened.count(), 0);
	QCOMPARE(link.kind(), QStringLiteral("usb"));
	QVERIFY(!link.pollsState());
}

void TestUsbLink::helloRetriedUntilAnswered()
{
	FakeDevice device;
	QVERIFY(device.isValid());
	UsbLink link(device.path());
	link.setTimings(fastTimings());
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy failed(&link, &DeviceLink::failed);
	link.open();

	QTRY_COMPARE_WITH_TIMEOUT(device.ctrl("hello").size(), 3, 2000);
	QCOMPARE(device.ctrl("hello").first(),
		 QJsonObject({{"t", "hello"}, {"streams", 1}}));
	QCOMPARE(opened.count(), 0);

	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(opened.count(), 1);
	QCOMPARE(opened.at(0).at(0).toJsonObject(), kHelloAnswer);
	QCOMPARE(link.tunnel().value("host").toString(),
		 QStringLiteral("relay.example"));

	// Later hellos from the device update, but never reopen.
	const int hellos = device.ctrl("hello").size();
	device.sendCtrl(kHelloAnswer);
	QTest::qWait(250);
	QCOMPARE(opened.count(), 1);
	QCOMPARE(failed.count(), 0);
	QVERIFY(device.ctrl("hello").size() <= hellos + 1);
}

void TestUsbLink::noAnswerGivesUpButStaysOpen()
{
	FakeDevice device;
	UsbLink link(device.path());
	link.setTimings(fastTimings());
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy failed(&link, &DeviceLink::failed);
	QElapsedTimer clock;
	clock.start();
	link.open();

	QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 3000);
	QVERIFY(clock.elapsed() >= 400);
	QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("no_response"));
	QCOMPARE(
		failed.at(0).at(1).toString(),
		QStringLiteral(
			"This USB port did not answer like a Quillmarch device. Check the cable and that the device has finished starting."));
	// Hellos went out every tick until the give-up, then stopped.
	const int hellos = device.ctrl("hello").size();
	QVERIFY2(hellos >= 5, qPrintable(QString::number(hellos)));
	QTest::qWait(200);
	QCOMPARE(device.ctrl("hello").size(), hellos);

	// The port stayed open: a device that finally answers opens it.
	QVERIFY(link.transport()->isOpen());
	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(opened.count(), 1);
	QCOMPARE(failed.count(), 1);
}

void TestUsbLink::receiverStatusOpensTheLink()
{
	FakeDevice device;
	UsbLink link(device.path());
	link.setTimings(fastTimings());
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy updated(&link, &UsbLink::receiverUpdated);
	link.open();
	QTRY_VERIFY(!device.ctrl("hello").isEmpty());

	const QJsonObject status{{"t", "rx_status"}, {"configured", true},
				 {"link", false},    {"rssi", -61},
				 {"channel", 6},     {"fw", "rx-1.3.0"}};
	device.sendCtrl(status);
	QTRY_COMPARE(opened.count(), 1);
	QJsonObject expected = status;
	expected.insert("receiver", true);
	QCOMPARE(opened.at(0).at(0).toJsonObject(), expected);
	QCOMPARE(updated.count(), 1);
	QCOMPARE(updated.at(0).at(0).toJsonObject(), status);

	// The device behind the receiver answering later does not reopen,
	// and every status is passed on.
	device.sendCtrl(kHelloAnswer);
	QJsonObject linked = status;
	linked.insert("link", true);
	device.sendCtrl(linked);
	QTRY_COMPARE(updated.count(), 2);
	QCOMPARE(link.receiverStatus(), linked);
	QCOMPARE(opened.count(), 1);
}

void TestUsbLink::tunnelTargets()
{
	FakeDevice device;
	UsbLink link(device.path());
	link.setTimings(fastTimings());
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy tunnelChanged(&link, &UsbLink::tunnelChanged);
	link.open();
	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(opened.count(), 1);
	QVERIFY(link.cloudRelay()->status().hasTarget);
	QCOMPARE(link.cloudRelay()->status().port, 7443);
	QCOMPARE(link.streamRelay()->status().destinationNames,
		 QStringList{"mqtt"});
	QVERIFY(tunnelChanged.count() > 0);

	// Port 0 or an empty host clears the target.
	for (const QJsonObject &tunnel :
	     {QJsonObject{{"host", "relay.example"}, {"port", 0}},
	      QJsonObject{{"host", ""}, {"port", 7443}}}) {
		device.sendCtrl(kHelloAnswer);
		QTRY_VERIFY(link.cloudRelay()->status().hasTarget);
		QJsonObject answer = kHelloAnswer;
		answer.insert("tunnel", tunnel);
		device.sendCtrl(answer);
		QTRY_VERIFY(!link.cloudRelay()->status().hasTarget);
	}
}

void TestUsbLink::envelopesAmidGarbage()
{
	FakeDevice device;
	UsbLink link(device.path());
	link.setTimings(fastTimings());
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy envelopes(&link, &DeviceLink::envelope);
	link.open();
	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(opened.count(), 1);

	QByteArray stream("noise\x00Q", 7);
	stream += buildFrame(kFrameEnvelope, R"({"home_score":1})");
	QByteArray damaged = buildFrame(kFrameEnvelope, R"({"home_score":9})");
	damaged[damaged.size() - 1] = char(damaged.at(damaged.size() - 1) ^ 1);
	stream += damaged;
	stream += buildFrame(kFrameEnvelope, "[1,2]");      // not an object
	stream += buildFrame(kFrameEnvelope, "{truncated"); // not JSON
	stream += buildFrame(9, "{}");                      // unknown type
	stream += buildFrame(kFrameCtrl, R"({"t":"mystery"})");
	stream += buildFrame(kFrameEnvelope, R"({"home_score":2})");
	// Split the stream mid-frame across two writes.
	device.write(stream.left(20));
	QTest::qWait(40);
	device.write(stream.mid(20));

	QTRY_COMPARE(envelopes.count(), 2);
	QTest::qWait(50);
	QCOMPARE(envelopes.count(), 2);
	QCOMPARE(envelopes.at(0).at(0).toJsonObject().value("home_score"),
		 QJsonValue(1));
	QCOMPARE(envelopes.at(1).at(0).toJsonObject().value("home_score"),
		 QJsonValue(2));
}

void TestUsbLink::adminMessagesBothWays()
{
	FakeDevice device;
	UsbLink link(device.path());
	link.setTimings(fastTimings());
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy messages(link.transport(), &RpcTransport::message);
	QSignalSpy sendFailed(link.transport(), &RpcTransport::sendFailed);
	link.open();
	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(opened.count(), 1);
	QVERIFY(link.transport()->isOpen());

	// A small request goes out as one whole admin frame.
	const QByteArray request =
		R"({"id":1,"method":"getStatus","params":{}})";
	link.transport()->send(request);
	QTRY_COMPARE(device.framesOfType(kFrameAdmin).size(), 1);
	QCOMPARE(device.framesOfType(kFrameAdmin).first().payload, request);

	// 5000 bytes: three chunks, back to back, not paced.
	const QByteArray big = "{\"pad\":\"" + QByteArray(4990, 'x') + "\"}";
	QCOMPARE(big.size(), 5000);
	device.forget();
	link.transport()->send(big);
	QTRY_COMPARE(device.framesOfType(kFrameAdmin).size(), 3);
	const QList<qint64> at = device.arrivalsOfType(kFrameAdmin);
	QVERIFY(at.last() - at.first() < 30);
	AdminReassembler reassembler;
	QByteArray rebuilt;
	for (const UsbFrame &f : device.framesOfType(kFrameAdmin))
		rebuilt = reassembler.feed(f.payload);
	QCOMPARE(rebuilt, big);

	// Replies come back whole or chunked, in order.
	const QByteArray reply = R"({"id":1,"ok":true,"result":{}})";
	const QByteArray bigReply =
		"{\"id\":2,\"ok\":true,\"result\":{\"log\":\"" +
		QByteArray(9000, 'l') + "\"}}";
	QByteArray wire = buildFrame(kFrameAdmin, reply);
	for (const QByteArray &frame : buildAdminFrames(bigReply))
		wire += frame;
	device.write(wire);
	QTRY_COMPARE(messages.count(), 2);
	QCOMPARE(messages.at(0).at(0).toByteArray(), reply);
	QCOMPARE(messages.at(1).at(0).toByteArray(), bigReply);
	QCOMPARE(sendFailed.count(), 0);
}

void TestUsbLink::adminSendFailures()
{
	FakeDevice device;
	UsbLink link(device.path());
	link.setTimings(fastTimings());
	QSignalSpy sendFailed(link.transport(), &RpcTransport::sendFailed);

	link.transport()->send("{}");
	QCOMPARE(sendFailed.count(), 1);
	QCOMPARE(sendFailed.at(0).at(0).toString(),
		 QStringLiteral("disconnected"));
	QCOMPARE(sendFailed.at(0).at(1).toString(),
		 QStringLiteral("The USB device is not connected"));

	link.open();
	link.transport()->send(QByteArray(70000, '{'));
	QCOMPARE(sendFailed.count(), 2);
	QCOMPARE(sendFailed.at(1).at(0).toString(),
		 QStringLiteral("request_too_large"));
	QCOMPARE(sendFailed.at(1).at(1).toString(),
		 QStringLiteral("That request is too large for the device"));
	QTest::qWait(30);
	QVERIFY(device.framesOfType(kFrameAdmin).isEmpty());

	link.close();
	link.transport()->send("{}");
	QCOMPARE(sendFailed.count(), 3);
	QCOMPARE(sendFailed.at(2).at(0).toString(),
		 QStringLiteral("disconnected"));
}

void TestUsbLink::receiverRequests()
{
	FakeDevice device;
	UsbLink link(device.path());
	link.setTimings(fastTimings());
	QSignalSpy opened(&link, &DeviceLink::opened);
	link.open();
	device.sendCtrl({{"t", "rx_status"}, {"configured", false}});
	QTRY_COMPARE(opened.count(), 1);

	// Nothing to set fails at once, without a message.
	ReceiverAnswer nothing;
	link.receiverSet(QString(), false, 0, nothing.callback());
	QCOMPARE(nothing.calls, 1);
	QCOMPARE(nothing.error,
		 QStringLiteral(
			 "Give a key, ask for a new key, or choose a channel"));

	// A channel alone: the message holds only the channel.
	ReceiverAnswer channel;
	link.receiverSet(QString(), false, 6, channel.callback());
	QTRY_COMPARE(device.ctrl("rx_set").size(), 1);
	QCOMPARE(device.ctrl("rx_set").first(),
		 QJsonObject({{"t", "rx_set"}, {"channel", 6}}));

	// A second request while one is pending is refused.
	ReceiverAnswer second;
	link.receiverSet(QStringLiteral("k"), false, 0, second.callback());
	QCOMPARE(second.calls, 1);
	QCOMPARE(second.error,
		 QStringLiteral(
			 "Another receiver request is still in progress"));

	// The answer completes the pending request.
	device.sendCtrl({{"t", "rx_set"}, {"ok", true}, {"key", "abc123"}});
	QTRY_COMPARE(channel.calls, 1);
	QVERIFY(channel.ok);
	QCOMPARE(channel.key, QStringLiteral("abc123"));
	QVERIFY(channel.error.isEmpty());

	// A callback may start the next request at once.
	ReceiverAnswer generated;
	ReceiverAnswer chained;
	link.receiverSet(QStringLiteral("ignored"), true, 0,
			 [&](bool ok, const QString &key, const QString &e) {
				 generated.callback()(ok, key, e);
				 link.receiverSet(
					 QStringLiteral("  padded key \n"),
					 false, 0, chained.callback());
			 });
	QTRY_COMPARE(device.ctrl("rx_set").size(), 2);
	QCOMPARE(device.ctrl("rx_set").last(),
		 QJsonObject({{"t", "rx_set"}, {"generate_key", true}}));
	device.sendCtrl({{"t", "rx_set"}, {"key", "newkey"}}); // ok absent
	QTRY_COMPARE(generated.calls, 1);
	QVERIFY(generated.ok);
	QCOMPARE(generated.key, QStringLiteral("newkey"));
	// The chained request went out with its key trimmed.
	QTRY_COMPARE(device.ctrl("rx_set").size(), 3);
	QCOMPARE(device.ctrl("rx_set").last(),
		 QJsonObject({{"t", "rx_set"}, {"key", "padded key"}}));

	// Refusals: rx_error without members, and ok false with a reason.
	device.sendCtrl({{"t", "rx_error"}});
	QTRY_COMPARE(chained.calls, 1);
	QVERIFY(!chained.ok);
	QCOMPARE(chained.error,
		 QStringLiteral("The receiver refused the settings"));
	ReceiverAnswer refused;
	link.receiverSet(QString(), false, 3, refused.callback());
	device.sendCtrl({{"t", "rx_reboot"}, {"ok", false}, {"error", "busy"}});
	QTRY_COMPARE(refused.calls, 1);
	QCOMPARE(refused.error, QStringLiteral("busy"));
	QVERIFY(refused.key.isEmpty());

	// An answer with nothing pending is ignored; no answer times out.
	// An envelope right behind it tells when the link has read both.
	QSignalSpy envelopes(&link, &DeviceLink::envelope);
	device.sendCtrl({{"t", "rx_set"}, {"ok", true}});
	device.sendEnvelope(R"({"seq":1})");
	QTRY_COMPARE(envelopes.count(), 1);
	ReceiverAnswer silent;
	QElapsedTimer clock;
	clock.start();
	link.receiverSet(QString(), false, 2, silent.callback());
	QTRY_COMPARE_WITH_TIMEOUT(silent.calls, 1, 2000);
	QVERIFY(clock.elapsed() >= 250);
	QVERIFY(!silent.ok);
	QCOMPARE(silent.error, QStringLiteral("The receiver did not answer"));
}

void TestUsbLink::unplugReportedOnce()
{
	FakeDevice device;
	UsbLink link(device.path());
	link.setTimings(fastTimings());
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy closed(&link, &DeviceLink::closed);
	QSignalSpy failed(&link, &DeviceLink::failed);
	link.open();
	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(opened.count(), 1);

	device.unplug();
	QTRY_COMPARE(closed.count(), 1);
	QCOMPARE(
		closed.at(0).at(0).toString(),
		QStringLiteral(
			"The USB device was unplugged or stopped responding."));
	QVERIFY(!link.transport()->isOpen());
	// Nothing more: no second closed, no hello give-up later.
	QTest::qWait(600);
	QCOMPARE(closed.count(), 1);
	QCOMPARE(failed.count(), 0);
}

void TestUsbLink::pingWhileOpen()
{
	FakeDevice device;
	UsbLink link(device.path());
	link.setTimings(fastTimings());
	QSignalSpy opened(&link, &DeviceLink::opened);
	link.open();
	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(opened.count(), 1);
	QTRY_COMPARE_WITH_TIMEOUT(device.ctrl("ping").size() >= 3, true, 2000);
	QCOMPARE(device.ctrl("ping").first(), QJsonObject({{"t", "ping"}}));

	link.close();
	const int pings = device.ctrl("ping").size();
	QTest::qWait(250);
	QCOMPARE(device.ctrl("ping").size(), pings);
}

void TestUsbLink::reopenForgetsEarlierConnection()
{
	FakeDevice device;
	UsbLink link(device.path());
	link.setTimings(fastTimings());
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy closed(&link, &DeviceLink::closed);
	QSignalSpy failed(&link, &DeviceLink::failed);
	QSignalSpy messages(link.transport(), &RpcTransport::message);
	link.open();
	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(opened.count(), 1);

	// Half a chunked reply and half a frame are pending when the link
	// is reopened; neither may leak into the new connection.
	const QList<QByteArray> chunks =
		buildAdminFrames("{" + QByteArray(3000, 'a') + "}");
	device.write(chunks.first());
	device.write(buildFrame(kFrameCtrl, R"({"t":"hello"})").left(9));
	QTest::qWait(40);
	link.close();
	QCOMPARE(closed.count() + failed.count(), 0); // close() is silent
	QVERIFY(link.tunnel().contains("host"));
	link.open();
	QVERIFY(link.tunnel().isEmpty());
	QVERIFY(!link.cloudRelay()->status().hasTarget);

	device.write(chunks.last());
	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(opened.count(), 2);
	QTest::qWait(40);
	QCOMPARE(messages.count(), 0);
}

void TestUsbLink::pipePacing()
{
	FakeDevice device;
	UsbLink link(device.path());
	QSignalSpy opened(&link, &DeviceLink::opened);
	link.open();
	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(opened.count(), 1);

	// Closed port: nothing is queued.
	UsbLink closedLink(device.path());
	closedLink.queuePipe(QByteArray(100, 'x'));
	QCOMPARE(closedLink.pipeQueueSize(), 0);

	QByteArray bytes(1100, '\0');
	for (int i = 0; i < bytes.size(); ++i)
		bytes[i] = char(i % 256);
	link.queuePipe(bytes);
	// The first frame goes at once, the rest wait for the pace timer.
	QCOMPARE(link.pipeQueueSize(), 2);
	QTRY_COMPARE(device.framesOfType(kFramePipe).size(), 3);
	const QList<UsbFrame> frames = device.framesOfType(kFramePipe);
	QCOMPARE(frames.at(0).payload.size(), 512);
	QCOMPARE(frames.at(1).payload.size(), 512);
	QCOMPARE(frames.at(2).payload.size(), 76);
	QCOMPARE(frames.at(0).payload + frames.at(1).payload +
			 frames.at(2).payload,
		 bytes);
	const QList<qint64> at = device.arrivalsOfType(kFramePipe);
	for (int i = 1; i < at.size(); ++i)
		QVERIFY2(at.at(i) - at.at(i - 1) >= 30,
			 qPrintable(QString::number(at.at(i) - at.at(i - 1))));

	// Control traffic is never held behind relay traffic.
	device.forget();
	link.queuePipe(QByteArray(512 * 6, 'p'));
	link.transport()->send(R"({"id":7,"method":"getState","params":{}})");
	QTRY_COMPARE(device.framesOfType(kFrameAdmin).size(), 1);
	QVERIFY(device.framesOfType(kFramePipe).size() < 6);
	QTRY_COMPARE(device.framesOfType(kFramePipe).size(), 6);
	QVERIFY(device.arrivalsOfType(kFrameAdmin).first() <=
		device.arrivalsOfType(kFramePipe).at(1));
}

void TestUsbLink::pipeQueueOverflow()
{
	FakeDevice device;
	UsbLink link(device.path());
	QSignalSpy opened(&link, &DeviceLink::opened);
	link.open();
	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(opened.count(), 1);

	QSignalSpy cloudReset(link.cloudRelay(), &CloudRelay::statusChanged);
	QSignalSpy streamReset(link.streamRelay(), &StreamRelay::statusChanged);
	// The first frame is written at once, so 1024 fit in the queue and
	// the 1026th call overflows it.
	for (int i = 0; i < 1025; ++i)
		link.queueFrame(kFrameStream, stream::encode(1, 4, "x"));
	QCOMPARE(link.pipeQueueSize(), 1024);
	QCOMPARE(cloudReset.count(), 0);
	link.queueFrame(kFrameStream, stream::encode(1, 4, "x"));
	QCOMPARE(link.pipeQueueSize(), 0);
	QCOMPARE(cloudReset.count(), 1);
	QCOMPARE(streamReset.count(), 1);

	// After the overflow the queue works again.
	link.queuePipe("again");
	QTRY_VERIFY(!device.framesOfType(kFramePipe).isEmpty());
	QCOMPARE(device.framesOfType(kFramePipe).last().payload,
		 QByteArray("again"));
}

QTEST_GUILESS_MAIN(TestUsbLink)
#include "tst_usb_link.moc"
