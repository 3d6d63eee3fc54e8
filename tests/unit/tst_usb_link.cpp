#include "usb/usb_link.h"

#include "support/pty_pair.h"
#include "admin/device_session.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QPointer>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QtTest>

#include <memory>
#include <utility>

using namespace quillmarch;
using quillmarch::test::PtyPair;

namespace {

// The device end of the cable: reads what the link writes, as frames with
// their arrival times, and writes frames back.
class FakeDevice : public QObject {
	Q_OBJECT

public:
	struct Arrival {
		UsbFrame frame;
		qint64 at;
	};

	FakeDevice()
	{
		m_notifier = new QSocketNotifier(m_pty.masterFd(),
						 QSocketNotifier::Read, this);
		connect(m_notifier, &QSocketNotifier::activated, this, [this] {
			for (const UsbFrame &f :
			     m_parser.feed(m_pty.drainMaster()))
				m_arrivals.append({f, m_clock.elapsed()});
		});
		m_clock.start();
	}

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
	void forget() { m_arrivals.clear(); }
	// The clock of the arrival times.
	qint64 now() const { return m_clock.elapsed(); }

	QList<Arrival> ofType(quint8 type) const
	{
		QList<Arrival> out;
		for (const Arrival &a : m_arrivals)
			if (a.frame.type == type)
				out.append(a);
		return out;
	}
	QList<QByteArray> payloads(quint8 type) const
	{
		QList<QByteArray> out;
		for (const Arrival &a : ofType(type))
			out.append(a.frame.payload);
		return out;
	}
	// Admin requests as the device would read them, in order.
	QList<QJsonObject> requests() const
	{
		AdminReassembler reassembler;
		QList<QJsonObject> out;
		for (const QByteArray &p : payloads(kFrameAdmin)) {
			const QByteArray m = reassembler.feed(p);
			if (!m.isEmpty())
				out.append(QJsonDocument::fromJson(m).object());
		}
		return out;
	}
	static QByteArray answer(const QJsonObject &request,
				 const QJsonObject &result)
	{
		const QJsonObject reply{{"id", request.value("id")},
					{"ok", true},
					{"result", result}};
		return buildFrame(kFrameAdmin, QJsonDocument(reply).toJson(
						       QJsonDocument::Compact));
	}
	QList<QJsonObject> ctrl(const QString &t) const
	{
		QList<QJsonObject> out;
		for (const QByteArray &p : payloads(kFrameCtrl)) {
			const QJsonObject o =
				QJsonDocument::fromJson(p).object();
			if (o.value("t").toString() == t)
				out.append(o);
		}
		return out;
	}

private:
	PtyPair m_pty;
	QSocketNotifier *m_notifier;
	UsbFrameParser m_parser;
	QList<Arrival> m_arrivals;
	QElapsedTimer m_clock;
};

const QJsonObject kHelloAnswer{
	{"t", "hello"},
	{"tunnel", QJsonObject{{"host", "relay.example"}, {"port", 7443}}},
	{"streams", QJsonObject{{"mqtt", QJsonObject{{"host", "m.example"},
						     {"port", 8883}}}}},
	{"fw", "2.4.1"}};

// A link on a fake device with short timers, opened by `answer` when given.
struct Rig {
	FakeDevice device;
	UsbLink link{device.path()};
	QSignalSpy opened{&link, &DeviceLink::opened};
	QSignalSpy closed{&link, &DeviceLink::closed};
	QSignalSpy failed{&link, &DeviceLink::failed};

	explicit Rig(const QJsonObject &answer = kHelloAnswer)
	{
		UsbLink::Timings t;
		t.helloMs = 60;
		t.helloGiveUpMs = 400;
		t.pingMs = 100;
		t.receiverMs = 300;
		link.setTimings(t);
		link.open();
		if (!answer.isEmpty())
			device.sendCtrl(answer);
	}
	bool waitOpened()
	{
		return QTest::qWaitFor([&] { return opened.count() == 1; });
	}
};

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
	void openFailure();
	void helloRetriedThenGivenUpWhileThePortStaysOpen();
	void receiverStatusOpensTheLink();
	void tunnelTargets();
	void envelopesAmidGarbage();
	void adminMessagesBothWays();
	void adminSendFailures();
	void receiverRequests();
	void pingUntilUnplugReportedOnce();
	void reopenForgetsEarlierConnection();
	void pipePacingAndOverflow();
	void listenersMayCloseOrReopenTheLinkMidRead_data();
	void listenersMayCloseOrReopenTheLinkMidRead();
	void sessionDroppedByAStatusListenerMidRead();
};

void TestUsbLink::openFailure()
{
	UsbLink link(QStringLiteral("/dev/quillmarch-no-such-port"));
	QSignalSpy failed(&link, &DeviceLink::failed);
	link.open();
	QCOMPARE(failed.count(), 1);
	QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("open_failed"));
	QVERIFY(failed.at(0).at(1).toString().startsWith(
		"Could not open the USB port: "));
	QVERIFY(!link.transport()->isOpen());
}

void TestUsbLink::helloRetriedThenGivenUpWhileThePortStaysOpen()
{
	QElapsedTimer clock;
	clock.start();
	Rig rig(QJsonObject{});
	QTRY_COMPARE_WITH_TIMEOUT(rig.failed.count(), 1, 3000);
	QVERIFY(clock.elapsed() >= 400);
	QCOMPARE(rig.failed.at(0).at(0).toString(),
		 QStringLiteral("no_response"));
	QCOMPARE(
		rig.failed.at(0).at(1).toString(),
		QStringLiteral(
			"This USB port did not answer like a Quillmarch device. Check the cable and that the device has finished starting."));
	// Hellos went out every tick until the give-up, then stopped.
	const int hellos = rig.device.ctrl("hello").size();
	QVERIFY2(hellos >= 5, qPrintable(QString::number(hellos)));
	QCOMPARE(rig.device.ctrl("hello").first(),
		 QJsonObject({{"t", "hello"}, {"streams", 1}}));
	QTest::qWait(200);
	QCOMPARE(rig.device.ctrl("hello").size(), hellos);
	QCOMPARE(rig.opened.count(), 0);

	// The port stayed open: a device that finally answers opens it.
	QVERIFY(rig.link.transport()->isOpen());
	rig.device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(rig.opened.count(), 1);
	QCOMPARE(rig.opened.at(0).at(0).toJsonObject(), kHelloAnswer);
	// Later hellos from the device update, but never reopen.
	rig.device.sendCtrl(kHelloAnswer);
	QTest::qWait(150);
	QCOMPARE(rig.opened.count(), 1);
	QCOMPARE(rig.failed.count(), 1);
}

void TestUsbLink::receiverStatusOpensTheLink()
{
	const QJsonObject status{{"t", "rx_status"}, {"configured", true},
				 {"link", false},    {"rssi", -61},
				 {"channel", 6},     {"fw", "rx-1.3.0"}};
	Rig rig(status);
	QSignalSpy updated(&rig.link, &UsbLink::receiverUpdated);
	QVERIFY(rig.waitOpened());
	QJsonObject expected = status;
	expected.insert("receiver", true);
	QCOMPARE(rig.opened.at(0).at(0).toJsonObject(), expected);
	QCOMPARE(updated.count(), 1);
	QCOMPARE(updated.at(0).at(0).toJsonObject(), status);

	// The device behind the receiver answering later does not reopen,
	// and every status is passed on.
	rig.device.sendCtrl(kHelloAnswer);
	QJsonObject linked = status;
	linked.insert("link", true);
	rig.device.sendCtrl(linked);
	QTRY_COMPARE(updated.count(), 2);
	QCOMPARE(rig.link.receiverStatus(), linked);
	QCOMPARE(rig.opened.count(), 1);
}

void TestUsbLink::tunnelTargets()
{
	Rig rig;
	QVERIFY(rig.waitOpened());
	QVERIFY(rig.link.cloudRelay()->status().hasTarget);
	QCOMPARE(rig.link.cloudRelay()->status().port, 7443);
	QCOMPARE(rig.link.streamRelay()->status().destinationNames,
		 QStringList{"mqtt"});

	// Port 0 or an empty host clears the target.
	QSignalSpy tunnelChanged(&rig.link, &UsbLink::tunnelChanged);
	for (const QJsonObject &tunnel :
	     {QJsonObject{{"host", "relay.example"}, {"port", 0}},
	      QJsonObject{{"host", ""}, {"port", 7443}}}) {
		rig.device.sendCtrl(kHelloAnswer);
		QTRY_VERIFY(rig.link.cloudRelay()->status().hasTarget);
		QJsonObject answer = kHelloAnswer;
		answer.insert("tunnel", tunnel);
		rig.device.sendCtrl(answer);
		QTRY_VERIFY(!rig.link.cloudRelay()->status().hasTarget);
	}
	QVERIFY(tunnelChanged.count() >= 2);
}

void TestUsbLink::envelopesAmidGarbage()
{
	Rig rig;
	QSignalSpy envelopes(&rig.link, &DeviceLink::envelope);
	QVERIFY(rig.waitOpened());

	QByteArray stream("noise\x00Q", 7);
	stream += buildFrame(kFrameEnvelope, R"({"home_score":1})");
	QByteArray damaged = buildFrame(kFrameEnvelope, R"({"home_score":9})");
	damaged[damaged.size() - 1] = char(damaged.back() ^ 1);
	stream += damaged;
	stream += buildFrame(kFrameEnvelope, "[1,2]");      // not an object
	stream += buildFrame(kFrameEnvelope, "{truncated"); // not JSON
	stream += buildFrame(9, "{}");                      // unknown type
	stream += buildFrame(kFrameCtrl, R"({"t":"mystery"})");
	stream += buildFrame(kFrameEnvelope, R"({"home_score":2})");
	// Split the stream mid-frame across two writes.
	rig.device.write(stream.left(20));
	QTest::qWait(40);
	rig.device.write(stream.mid(20));

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
	Rig rig;
	QSignalSpy messages(rig.link.transport(), &RpcTransport::message);
	QSignalSpy sendFailed(rig.link.transport(), &RpcTransport::sendFailed);
	QVERIFY(rig.waitOpened());
	QVERIFY(rig.link.transport()->isOpen());

	// A small request goes out as one whole admin frame.
	const QByteArray request =
		R"({"id":1,"method":"getStatus","params":{}})";
	rig.link.transport()->send(request);
	QTRY_COMPARE(rig.device.payloads(kFrameAdmin),
		     QList<QByteArray>{request});

	// 5000 bytes: three chunks, back to back, not paced: all three are
	// out before a relay frame that waits for its pacing turn.
	const QByteArray big = "{\"pad\":\"" + QByteArray(4990, 'x') + "\"}";
	rig.device.forget();
	rig.link.queuePipe(QByteArray(2 * UsbLink::kPipeChunk, 'p'));
	rig.link.transport()->send(big);
	QTRY_COMPARE(rig.device.ofType(kFramePipe).size(), 2);
	QCOMPARE(rig.device.ofType(kFrameAdmin).size(), 3);
	QVERIFY(rig.device.ofType(kFrameAdmin).last().at <=
		rig.device.ofType(kFramePipe).at(1).at);
	AdminReassembler reassembler;
	QByteArray rebuilt;
	for (const QByteArray &p : rig.device.payloads(kFrameAdmin))
		rebuilt = reassembler.feed(p);
	QCOMPARE(rebuilt, big);

	// Replies come back whole or chunked, in order.
	const QByteArray reply = R"({"id":1,"ok":true,"result":{}})";
	const QByteArray bigReply =
		"{\"id\":2,\"ok\":true,\"result\":{\"log\":\"" +
		QByteArray(9000, 'l') + "\"}}";
	rig.device.write(buildFrame(kFrameAdmin, reply) +
			 buildAdminFrames(bigReply).join());
	QTRY_COMPARE(messages.count(), 2);
	QCOMPARE(messages.at(0).at(0).toByteArray(), reply);
	QCOMPARE(messages.at(1).at(0).toByteArray(), bigReply);
	QCOMPARE(sendFailed.count(), 0);
}

void TestUsbLink::adminSendFailures()
{
	FakeDevice device;
	UsbLink link(device.path());
	QSignalSpy sendFailed(link.transport(), &RpcTransport::sendFailed);
	const QStringList notConnected{"disconnected",
				       "The USB device is not connected"};
	auto last = [&] {
		return QStringList{sendFailed.last().at(0).toString(),
				   sendFailed.last().at(1).toString()};
	};

	link.transport()->send("{}");
	QCOMPARE(sendFailed.count(), 1);
	QCOMPARE(last(), notConnected);

	link.open();
	link.transport()->send(QByteArray(70000, '{'));
	QCOMPARE(sendFailed.count(), 2);
	QCOMPARE(last(),
		 QStringList({"request_too_large",
			      "That request is too large for the device"}));
	QTest::qWait(30);
	QVERIFY(device.ofType(kFrameAdmin).isEmpty());

	link.close();
	link.transport()->send("{}");
	QCOMPARE(sendFailed.count(), 3);
	QCOMPARE(last(), notConnected);
}

void TestUsbLink::receiverRequests()
{
	Rig rig({{"t", "rx_status"}, {"configured", false}});
	QVERIFY(rig.waitOpened());
	UsbLink &link = rig.link;
	auto sent = [&] {
		return rig.device.ctrl("rx_set");
	};

	// Nothing to set fails at once, without a message.
	ReceiverAnswer nothing;
	link.receiverSet(QString(), false, 0, nothing.callback());
	QCOMPARE(nothing.calls, 1);
	QCOMPARE(nothing.error,
		 "Give a key, ask for a new key, or choose a channel");

	// A channel alone: the message holds only the channel.
	ReceiverAnswer channel;
	link.receiverSet(QString(), false, 6, channel.callback());
	QTRY_COMPARE(sent().size(), 1);
	QCOMPARE(sent().first(),
		 QJsonObject({{"t", "rx_set"}, {"channel", 6}}));

	// A second request while one is pending is refused.
	ReceiverAnswer second;
	link.receiverSet(QStringLiteral("k"), false, 0, second.callback());
	QCOMPARE(second.calls, 1);
	QCOMPARE(second.error, "Another receiver request is still in progress");

	// The answer completes the pending request.
	rig.device.sendCtrl({{"t", "rx_set"}, {"ok", true}, {"key", "abc123"}});
	QTRY_COMPARE(channel.calls, 1);
	QVERIFY(channel.ok);
	QCOMPARE(channel.key, QStringLiteral("abc123"));

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
	QTRY_COMPARE(sent().size(), 2);
	QCOMPARE(sent().last(),
		 QJsonObject({{"t", "rx_set"}, {"generate_key", true}}));
	rig.device.sendCtrl({{"t", "rx_set"}, {"key", "newkey"}}); // ok absent
	QTRY_COMPARE(generated.calls, 1);
	QVERIFY(generated.ok);
	QCOMPARE(generated.key, QStringLiteral("newkey"));
	// The chained request went out with its key trimmed.
	QTRY_COMPARE(sent().size(), 3);
	QCOMPARE(sent().last(),
		 QJsonObject({{"t", "rx_set"}, {"key", "padded key"}}));

	// Refusals: rx_error without members, and ok false with a reason.
	rig.device.sendCtrl({{"t", "rx_error"}});
	QTRY_COMPARE(chained.calls, 1);
	QVERIFY(!chained.ok);
	QCOMPARE(chained.error, "The receiver refused the settings");
	ReceiverAnswer refused;
	link.receiverSet(QString(), false, 3, refused.callback());
	rig.device.sendCtrl(
		{{"t", "rx_reboot"}, {"ok", false}, {"error", "busy"}});
	QTRY_COMPARE(refused.calls, 1);
	QCOMPARE(refused.error, QStringLiteral("busy"));
	// Only a real true is success, and a reason that is no text gets
	// the general sentence rather than an empty one.
	for (const QJsonObject &answer :
	     {QJsonObject{{"t", "rx_set"},
			  {"ok", false},
			  {"error", QJsonValue()}},
	      QJsonObject{{"t", "rx_set"}, {"ok", false}, {"error", 42}},
	      QJsonObject{{"t", "rx_set"}, {"ok", "true"}, {"key", "k"}}}) {
		ReceiverAnswer odd;
		link.receiverSet(QString(), false, 3, odd.callback());
		rig.device.sendCtrl(answer);
		QTRY_COMPARE(odd.calls, 1);
		QVERIFY(!odd.ok);
		QCOMPARE(odd.error, "The receiver refused the settings");
	}

	// An answer with nothing pending is ignored; no answer times out.
	// An envelope right behind it tells when the link has read both.
	QSignalSpy envelopes(&link, &DeviceLink::envelope);
	rig.device.sendCtrl({{"t", "rx_set"}, {"ok", true}});
	rig.device.write(buildFrame(kFrameEnvelope, R"({"seq":1})"));
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

void TestUsbLink::pingUntilUnplugReportedOnce()
{
	Rig rig;
	// A device unplugged while the handshake still waits for its answer.
	Rig waiting(QJsonObject{});
	QVERIFY(rig.waitOpened());
	const int hellos = int(rig.device.ctrl("hello").size());
	QTRY_VERIFY_WITH_TIMEOUT(rig.device.ctrl("ping").size() >= 3, 2000);
	QCOMPARE(rig.device.ctrl("ping").first(), QJsonObject({{"t", "ping"}}));
	// Open, the link keeps the device alive with pings, not hellos (each
	// hello starts a new conversation and loses the sign-in).
	QVERIFY(rig.device.ctrl("hello").size() <= hellos + 1);

	rig.device.unplug();
	waiting.device.unplug();
	QTRY_COMPARE(rig.closed.count(), 1);
	QCOMPARE(rig.closed.at(0).at(0).toString(),
		 "The USB device was unplugged or stopped responding.");
	QVERIFY(!rig.link.transport()->isOpen());
	QTRY_COMPARE(waiting.closed.count(), 1);
	// Nothing more: no second closed, no hello give-up later (the
	// waiting link's give-up time passes here).
	QTest::qWait(600);
	QCOMPARE(rig.closed.count(), 1);
	QCOMPARE(rig.failed.count(), 0);
	QCOMPARE(waiting.closed.count(), 1);
	QCOMPARE(waiting.failed.count(), 0);
	QCOMPARE(waiting.opened.count(), 0);

	// close() stops the keep-alive.
	Rig other;
	QVERIFY(other.waitOpened());
	other.link.close();
	const int pings = other.device.ctrl("ping").size();
	QTest::qWait(250);
	QCOMPARE(other.device.ctrl("ping").size(), pings);
}

void TestUsbLink::reopenForgetsEarlierConnection()
{
	Rig rig;
	QSignalSpy messages(rig.link.transport(), &RpcTransport::message);
	QVERIFY(rig.waitOpened());

	// Half a chunked reply and half a frame are pending when the link
	// is reopened; neither may leak into the new connection.
	const QList<QByteArray> chunks =
		buildAdminFrames("{" + QByteArray(3000, 'a') + "}");
	rig.device.write(chunks.first());
	rig.device.write(buildFrame(kFrameCtrl, R"({"t":"hello"})").left(9));
	QTest::qWait(40);
	QVERIFY(rig.link.tunnel().contains("host"));
	rig.link.close();
	QCOMPARE(rig.closed.count() + rig.failed.count(), 0); // silent
	rig.link.open();
	QVERIFY(rig.link.tunnel().isEmpty());
	QVERIFY(!rig.link.cloudRelay()->status().hasTarget);

	rig.device.write(chunks.last());
	rig.device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(rig.opened.count(), 2);
	QTest::qWait(40);
	QCOMPARE(messages.count(), 0);
}

void TestUsbLink::pipePacingAndOverflow()
{
	Rig rig;
	QVERIFY(rig.waitOpened());
	UsbLink &link = rig.link;

	// Closed port: nothing is queued.
	UsbLink closedLink(rig.device.path());
	closedLink.queuePipe(QByteArray(100, 'x'));
	QCOMPARE(closedLink.pipeQueueSize(), 0);

	QByteArray bytes(1100, '\0');
	for (int i = 0; i < bytes.size(); ++i)
		bytes[i] = char(i % 256);
	const qint64 queuedAt = rig.device.now();
	link.queuePipe(bytes);
	// 512-byte frames: the first goes at once, the rest wait their turn.
	QCOMPARE(link.pipeQueueSize(), 2);
	QTRY_COMPARE(rig.device.ofType(kFramePipe).size(), 3);
	QCOMPARE(rig.device.payloads(kFramePipe).join(), bytes);
	QCOMPARE(rig.device.payloads(kFramePipe).first().size(), 512);
	QCOMPARE(rig.device.payloads(kFramePipe).last().size(), 76);
	// Frame i cannot be written before i pacing intervals (40 ms, less
	// a coarse timer's slack) have passed, nor read before it is written.
	// Measured from the queueing, a busy machine only lengthens this.
	const QList<FakeDevice::Arrival> at = rig.device.ofType(kFramePipe);
	for (int i = 1; i < at.size(); ++i)
		QVERIFY2(at.at(i).at - queuedAt >= i * 30,
			 qPrintable(QString::number(at.at(i).at - queuedAt)));

	// Control traffic is never held behind relay traffic.
	rig.device.forget();
	link.queuePipe(QByteArray(512 * 6, 'p'));
	link.transport()->send(R"({"id":7,"method":"getState","params":{}})");
	QTRY_COMPARE(rig.device.ofType(kFrameAdmin).size(), 1);
	QTRY_COMPARE(rig.device.ofType(kFramePipe).size(), 6);
	QVERIFY(rig.device.ofType(kFrameAdmin).first().at <=
		rig.device.ofType(kFramePipe).at(1).at);

	// Once the pace interval has passed the first frame is written at
	// once, so 1024 fit in the queue and one more overflows it: both
	// relays are reset.
	QTest::qWait(60);
	QSignalSpy cloudReset(link.cloudRelay(), &CloudRelay::statusChanged);
	QSignalSpy streamReset(link.streamRelay(), &StreamRelay::statusChanged);
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
	QTRY_COMPARE(rig.device.payloads(kFramePipe).last(),
		     QByteArray("again"));
}

void TestUsbLink::listenersMayCloseOrReopenTheLinkMidRead_data()
{
	QTest::addColumn<QString>("trigger");
	QTest::addColumn<QString>("action");
	QTest::addColumn<int>("opened");
	QTest::newRow("envelope listener closes") << "envelope"
						  << "close" << 0;
	QTest::newRow("envelope listener reopens") << "envelope"
						   << "reopen" << 0;
	QTest::newRow("receiver listener closes") << "receiver"
						  << "close" << 0;
	// The receiver status ahead of the hello has opened the link.
	QTest::newRow("tunnel listener closes") << "tunnel"
						<< "close" << 1;
}

// The rest of a read belongs to the connection it came from: once a listener
// closed or reopened the link, none of it is handled, and a closed link
// stays silent.
void TestUsbLink::listenersMayCloseOrReopenTheLinkMidRead()
{
	QFETCH(QString, trigger);
	QFETCH(QString, action);
	FakeDevice device;
	// Outlives the link: its destructor reports relay changes too.
	bool acted = false;
	UsbLink link(device.path());
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy envelopes(&link, &DeviceLink::envelope);
	link.open();
	const auto act = [&] {
		// close() reports its own relay changes: act once.
		if (std::exchange(acted, true))
			return;
		link.close();
		if (action == "reopen")
			link.open();
	};
	if (trigger == "envelope")
		connect(&link, &DeviceLink::envelope, act);
	else if (trigger == "receiver")
		connect(&link, &UsbLink::receiverUpdated, act);
	else
		connect(&link, &UsbLink::tunnelChanged, act);

	device.write(
		buildFrame(kFrameEnvelope, R"({"seq":1})") +
		buildCtrlFrame({{"t", "rx_status"}, {"configured", true}}) +
		buildCtrlFrame(kHelloAnswer) +
		buildFrame(kFrameEnvelope, R"({"seq":2})"));
	QTRY_VERIFY(acted);
	QTest::qWait(50);
	QTEST(int(opened.count()), "opened");
	QCOMPARE(envelopes.count(), 1);

	if (action == "reopen") {
		// The reopened link waits for an answer of its own.
		QTRY_COMPARE(device.ctrl("hello").size(), 2);
		device.sendCtrl(kHelloAnswer);
		QTRY_COMPARE(opened.count(), 1);
		QCOMPARE(opened.at(0).at(0).toJsonObject(), kHelloAnswer);
	}
}

// A user's path over the cable: the session signs in, and a listener drops
// it when the status arrives, while a live envelope waits behind the answer
// in the same read. The sanitizer build reports a link that reads on after
// it was deleted with the session.
void TestUsbLink::sessionDroppedByAStatusListenerMidRead()
{
	FakeDevice device;
	QObject owner;
	QPointer<DeviceSession> session =
		new DeviceSession(new UsbLink(device.path()), &owner);
	connect(session, &DeviceSession::statusUpdated,
		[&] { delete session; });
	session->start({"pw"});
	device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(device.requests().size(), 1);
	QCOMPARE(device.requests().at(0).value("method"), "login");
	device.write(FakeDevice::answer(device.requests().at(0), {}));
	QTRY_COMPARE(device.requests().size(), 2);
	QCOMPARE(device.requests().at(1).value("method"), "getStatus");

	device.write(FakeDevice::answer(device.requests().at(1),
					{{"device_id", "QM-1"}}) +
		     buildFrame(kFrameEnvelope, R"({"seq":1})"));
	QTRY_VERIFY(!session);
}

QTEST_GUILESS_MAIN(TestUsbLink)
#include "tst_usb_link.moc"
