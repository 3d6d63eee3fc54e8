#include "usb/usb_link.h"

#include "support/pty_pair.h"
#include "admin/device_session.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QPointer>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QtTest>

#include <utility>

using namespace quillmarch;
using quillmarch::test::PtyPair;

namespace {

QString compact(const QJsonObject &o)
{
	return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// The device end of the cable: reads what the link writes, as frames with
// their arrival times, and writes frames back.
class FakeDevice {
public:
	struct Arrival {
		UsbFrame frame;
		qint64 at;
	};

	FakeDevice() : m_notifier(m_pty.masterFd(), QSocketNotifier::Read)
	{
		QObject::connect(&m_notifier, &QSocketNotifier::activated, [this] {
			for (const UsbFrame &f :
			     m_parser.feed(m_pty.drainMaster()))
				m_arrivals.append({f, m_clock.elapsed()});
		});
		m_clock.start();
	}

	QString path() const { return m_pty.slavePath(); }
	void unplug()
	{
		m_notifier.setEnabled(false);
		m_pty.closeMaster();
	}
	void write(const QByteArray &bytes)
	{
		QVERIFY(m_pty.writeMaster(bytes));
	}
	void sendCtrl(const QJsonObject &o) { write(buildCtrlFrame(o)); }
	// Answers the i-th admin request with a success.
	void answer(int i, const QJsonObject &result,
		    const QByteArray &then = {})
	{
		const QJsonObject reply{{"id", requests().value(i).value("id")},
					{"ok", true},
					{"result", result}};
		write(buildFrame(kFrameAdmin, compact(reply).toUtf8()) + then);
	}
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
		for (const QByteArray &p : payloads(kFrameAdmin))
			if (const QByteArray m = reassembler.feed(p);
			    !m.isEmpty())
				out.append(QJsonDocument::fromJson(m).object());
		return out;
	}
	// Control messages of one kind ("t") the link sent.
	QList<QJsonObject> ctrl(const QString &t) const
	{
		QList<QJsonObject> out;
		for (const QByteArray &p : payloads(kFrameCtrl))
			if (const auto o = QJsonDocument::fromJson(p).object();
			    o.value("t") == t)
				out.append(o);
		return out;
	}

private:
	PtyPair m_pty;
	QSocketNotifier m_notifier;
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
const QString kUnplugged =
	"closed The USB device was unplugged or stopped responding.";

// A link on a fake device with short timers, opened by `answer` when given.
// What the link reports goes to one log: "opened {info}", "closed reason",
// "failed code: message", "envelope {...}", "receiver {status}".
struct Rig {
	FakeDevice device;
	QStringList log;
	UsbLink link{device.path()};

	explicit Rig(const QJsonObject &answer = kHelloAnswer)
	{
		UsbLink::Timings t;
		t.helloMs = 60;
		t.helloGiveUpMs = 400;
		t.pingMs = 100;
		t.receiverMs = 300;
		link.setTimings(t);
		const auto note = [this](const char *what) {
			return [this, what](const QJsonObject &o) {
				log << what + compact(o);
			};
		};
		QObject::connect(&link, &DeviceLink::opened, note("opened "));
		QObject::connect(&link, &DeviceLink::envelope,
				 note("envelope "));
		QObject::connect(&link, &UsbLink::receiverUpdated,
				 note("receiver "));
		QObject::connect(&link, &DeviceLink::closed,
				 [this](const QString &r) {
					 log << "closed " + r;
				 });
		QObject::connect(&link, &DeviceLink::failed,
				 [this](const QString &c, const QString &m) {
					 log << "failed " + c + ": " + m;
				 });
		link.open();
		if (!answer.isEmpty())
			device.sendCtrl(answer);
	}
	int count(const QString &what) const
	{
		return int(log.filter(QRegularExpression("^" + what)).size());
	}
	bool waitOpened()
	{
		return QTest::qWaitFor([&] { return count("opened") == 1; });
	}
};

} // namespace

class TestUsbLink : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void helloRetriedThenGivenUpWhileThePortStaysOpen();
	void envelopesAmidGarbage();
	void adminMessagesBothWays();
	void adminAndOpenFailures();
	void receiverRequests();
	void pingUntilUnplugReportedOnce();
	void pipePacingAndOverflow();
	void listenersMayCloseOrReopenTheLinkMidRead_data();
	void listenersMayCloseOrReopenTheLinkMidRead();
	void sessionDroppedByAStatusListenerMidRead();
};

// The handshake: hellos until the device answers or the time is up; the
// answer's tunnel and streams become the relays' targets.
void TestUsbLink::helloRetriedThenGivenUpWhileThePortStaysOpen()
{
	QElapsedTimer clock;
	clock.start();
	Rig rig(QJsonObject{});
	QTRY_COMPARE_WITH_TIMEOUT(rig.count("failed"), 1, 3000);
	QVERIFY(clock.elapsed() >= 400);
	QCOMPARE(rig.log,
		 QStringList{"failed no_response: This USB port did not "
			     "answer like a Quillmarch device. Check the cable "
			     "and that the device has finished starting."});
	// Hellos went out every tick until the give-up, then stopped.
	const int hellos = rig.device.ctrl("hello").size();
	QVERIFY2(hellos >= 5, qPrintable(QString::number(hellos)));
	QCOMPARE(rig.device.ctrl("hello").first(),
		 QJsonObject({{"t", "hello"}, {"streams", 1}}));
	QTest::qWait(200);
	QCOMPARE(rig.device.ctrl("hello").size(), hellos);

	// The port stayed open: a device that finally answers opens it, and
	// its later hellos update, but never reopen.
	QVERIFY(rig.link.transport()->isOpen());
	rig.device.sendCtrl(kHelloAnswer);
	QVERIFY(rig.waitOpened());
	rig.device.sendCtrl(kHelloAnswer);
	QTest::qWait(150);
	QCOMPARE(rig.log.mid(1),
		 QStringList{"opened " + compact(kHelloAnswer)});

	// The hello's tunnel and streams are the relays' targets.
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

// Reading: envelopes amid garbage, and nothing of a connection carried
// into the next.
void TestUsbLink::envelopesAmidGarbage()
{
	Rig rig;
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

	QTRY_COMPARE(rig.count("envelope"), 2);
	QTest::qWait(50);
	QCOMPARE(rig.log.mid(1), (QStringList{R"(envelope {"home_score":1})",
					      R"(envelope {"home_score":2})"}));

	// Half a chunked reply and half a frame are pending when the link
	// is reopened; neither may leak into the new connection, and
	// closing says nothing.
	QSignalSpy messages(rig.link.transport(), &RpcTransport::message);
	const QList<QByteArray> chunks =
		buildAdminFrames("{" + QByteArray(3000, 'a') + "}");
	rig.device.write(chunks.first());
	rig.device.write(buildFrame(kFrameCtrl, R"({"t":"hello"})").left(9));
	QTest::qWait(40);
	QVERIFY(rig.link.tunnel().contains("host"));
	rig.link.close();
	rig.link.open();
	QVERIFY(rig.link.tunnel().isEmpty());
	QVERIFY(!rig.link.cloudRelay()->status().hasTarget);
	rig.device.write(chunks.last());
	rig.device.sendCtrl(kHelloAnswer);
	QTRY_COMPARE(rig.count("opened"), 2);
	QTest::qWait(40);
	QCOMPARE(messages.count(), 0);
	QCOMPARE(rig.log.size(), 4);
}

void TestUsbLink::adminMessagesBothWays()
{
	Rig rig;
	QSignalSpy messages(rig.link.transport(), &RpcTransport::message);
	QSignalSpy sendFailed(rig.link.transport(), &RpcTransport::sendFailed);
	QVERIFY(rig.waitOpened());

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
	QCOMPARE(rig.device.requests(),
		 QList<QJsonObject>{QJsonDocument::fromJson(big).object()});

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

void TestUsbLink::adminAndOpenFailures()
{
	// The port's own sentence is the serial port suite's to pin.
	UsbLink missing("/dev/quillmarch-no-such-port");
	QSignalSpy failed(&missing, &DeviceLink::failed);
	missing.open();
	QCOMPARE(failed.count(), 1);
	QCOMPARE(failed.at(0).at(0).toString(), "open_failed");
	QVERIFY(!missing.transport()->isOpen());

	FakeDevice device;
	UsbLink link(device.path());
	QStringList log;
	connect(link.transport(), &RpcTransport::sendFailed,
		[&](const QString &code, const QString &m) {
			log << code + m;
		});
	const QString notConnected =
		"disconnectedThe USB device is not connected";
	link.transport()->send("{}");
	link.open();
	link.transport()->send(QByteArray(70000, '{'));
	link.close();
	link.transport()->send("{}");
	QCOMPARE(log, (QStringList{notConnected,
				   "request_too_largeThat request is too "
				   "large for the device",
				   notConnected}));
	QTest::qWait(30);
	QVERIFY(device.ofType(kFrameAdmin).isEmpty());
}

// A receiver's status opens the link as the receiver; the device behind it
// answering later does not reopen it, and every status is passed on. Then
// the receiver's settings, one request at a time.
void TestUsbLink::receiverRequests()
{
	const QJsonObject status{{"t", "rx_status"},
				 {"configured", false},
				 {"rssi", -61},
				 {"fw", "rx-1.3.0"}};
	Rig rig(status);
	QVERIFY(rig.waitOpened());
	QJsonObject opened = status, linked = status;
	opened.insert("receiver", true);
	linked.insert("configured", true);
	rig.device.sendCtrl(kHelloAnswer);
	rig.device.sendCtrl(linked);
	QTRY_COMPARE(rig.count("receiver"), 2);
	QCOMPARE(rig.log, (QStringList{"receiver " + compact(status),
				       "opened " + compact(opened),
				       "receiver " + compact(linked)}));
	QCOMPARE(rig.link.receiverStatus(), linked);
	rig.log.clear();
	UsbLink &link = rig.link;
	const auto sent = [&] {
		return rig.device.ctrl("rx_set");
	};
	const auto answered = [&](const QString &tag) {
		return [&rig, tag](bool ok, const QString &k,
				   const QString &e) {
			rig.log << QString("%1 %2 %3:%4")
					   .arg(tag)
					   .arg(ok)
					   .arg(k, e);
		};
	};
	const auto set = [&](const QString &tag, int channel,
			     const QString &key = {}, bool generate = false) {
		link.receiverSet(key, generate, channel, answered(tag));
	};
	const QString refused = "The receiver refused the settings";

	// Nothing to set fails at once, and so does a second request while
	// one is pending; neither sends anything.
	set("nothing", 0);
	set("channel", 6);
	set("second", 0, "k");
	QCOMPARE(rig.log,
		 (QStringList{"nothing 0 :Give a key, ask for a new key, or "
			      "choose a channel",
			      "second 0 :Another receiver request is still in "
			      "progress"}));
	QTRY_COMPARE(sent().size(), 1);
	QCOMPARE(sent().first(),
		 QJsonObject({{"t", "rx_set"}, {"channel", 6}}));

	// The answer completes the pending request, whose callback may start
	// the next one at once; that one's key is trimmed.
	rig.device.sendCtrl({{"t", "rx_set"}, {"ok", true}, {"key", "abc123"}});
	QTRY_COMPARE(rig.log.size(), 3);
	QCOMPARE(rig.log.last(), "channel 1 abc123:");
	link.receiverSet("ignored", true, 0,
			 [&](bool ok, const QString &key, const QString &e) {
				 answered("generated")(ok, key, e);
				 set("chained", 0, "  padded key \n");
			 });
	QTRY_COMPARE(sent().size(), 2);
	QCOMPARE(sent().last(),
		 QJsonObject({{"t", "rx_set"}, {"generate_key", true}}));
	rig.device.sendCtrl({{"t", "rx_set"}, {"key", "newkey"}}); // ok absent
	QTRY_COMPARE(sent().size(), 3);
	QCOMPARE(sent().last(),
		 QJsonObject({{"t", "rx_set"}, {"key", "padded key"}}));
	QCOMPARE(rig.log.last(), "generated 1 newkey:");

	// Refusals: rx_error without members, ok false with a reason; only
	// a real true is success, and a reason that is no text gets the
	// general sentence rather than an empty one.
	rig.log.clear();
	const QList<QJsonObject> refusals{
		{{"t", "rx_error"}},
		{{"t", "rx_reboot"}, {"ok", false}, {"error", "busy"}},
		{{"t", "rx_set"}, {"ok", false}, {"error", QJsonValue()}},
		{{"t", "rx_set"}, {"ok", false}, {"error", 42}},
		{{"t", "rx_set"}, {"ok", "true"}, {"key", "k"}}};
	for (int i = 0; i < refusals.size(); ++i) {
		if (i > 0)
			set(QString::number(i), 3);
		rig.device.sendCtrl(refusals.at(i));
		QTRY_COMPARE(rig.log.size(), i + 1);
	}
	QCOMPARE(rig.log, (QStringList{"chained 0 :" + refused, "1 0 :busy",
				       "2 0 :" + refused, "3 0 :" + refused,
				       "4 0 :" + refused}));

	// An answer with nothing pending is ignored; no answer times out.
	// An envelope right behind it tells when the link has read both.
	rig.device.sendCtrl({{"t", "rx_set"}, {"ok", true}});
	rig.device.write(buildFrame(kFrameEnvelope, R"({"seq":1})"));
	QTRY_COMPARE(rig.count("envelope"), 1);
	QElapsedTimer clock;
	clock.start();
	set("silent", 2);
	QTRY_COMPARE_WITH_TIMEOUT(
		rig.log.last(), "silent 0 :The receiver did not answer", 2000);
	QVERIFY(clock.elapsed() >= 250);
	QCOMPARE(rig.log.size(), 7);
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
	QTRY_COMPARE(rig.count("closed"), 1);
	QVERIFY(!rig.link.transport()->isOpen());
	QTRY_COMPARE(waiting.count("closed"), 1);
	// Nothing more: no second closed, no hello give-up later (the
	// waiting link's give-up time passes here).
	QTest::qWait(600);
	QCOMPARE(rig.log.mid(1), QStringList{kUnplugged});
	QCOMPARE(waiting.log, QStringList{kUnplugged});

	// close() stops the keep-alive.
	Rig other;
	QVERIFY(other.waitOpened());
	other.link.close();
	const int pings = other.device.ctrl("ping").size();
	QTest::qWait(250);
	QCOMPARE(other.device.ctrl("ping").size(), pings);
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
	QCOMPARE(rig.device.payloads(kFramePipe),
		 (QList<QByteArray>{bytes.left(512), bytes.mid(512, 512),
				    bytes.mid(1024)}));
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
	QTest::addColumn<bool>("reopen");
	QTest::addColumn<int>("opened");
	QTest::newRow("envelope listener closes") << "envelope" << false << 0;
	QTest::newRow("envelope listener reopens") << "envelope" << true << 0;
	QTest::newRow("receiver listener closes") << "receiver" << false << 0;
	// The receiver status ahead of the hello has opened the link.
	QTest::newRow("tunnel listener closes") << "tunnel" << false << 1;
}

// The rest of a read belongs to the connection it came from: once a listener
// closed or reopened the link, none of it is handled, and a closed link
// stays silent.
void TestUsbLink::listenersMayCloseOrReopenTheLinkMidRead()
{
	QFETCH(QString, trigger);
	QFETCH(bool, reopen);
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
		if (reopen)
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

	if (reopen) {
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
	device.answer(0, {});
	QTRY_COMPARE(device.requests().size(), 2);
	QCOMPARE(device.requests().at(1).value("method"), "getStatus");
	device.answer(1, {{"device_id", "QM-1"}},
		      buildFrame(kFrameEnvelope, R"({"seq":1})"));
	QTRY_VERIFY(!session);
}

QTEST_GUILESS_MAIN(TestUsbLink)
#include "tst_usb_link.moc"
