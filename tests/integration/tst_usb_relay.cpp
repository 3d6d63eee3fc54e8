// The relays that carry a USB device's internet traffic through this
// computer, end to end: a simulated device on a pseudo-terminal reaches a
// local "cloud" server and a stream destination through the plug-in's USB
// link, both ways, with pacing and credit honoured; and the application
// keeps such a session running after setup.
#include "admin/device_session.h"
#include "app.h"
#include "usb/usb_link.h"
#include "usb_side.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace quillmarch;
using quillmarch::sim::DeviceModel;
using quillmarch::sim::UsbSide;

namespace {

constexpr int kPaceMs = 40;

// What the device got on its stream frames, in order.
struct StreamLog {
	QList<std::tuple<quint8, quint8, QByteArray>> frames;
	QByteArray dataOf(quint8 id) const
	{
		QByteArray all;
		for (const auto &[i, op, data] : frames)
			if (i == id && op == StreamRelay::OpData)
				all += data;
		return all;
	}
	bool has(quint8 id, quint8 op, const QByteArray &data = {}) const
	{
		for (const auto &[i, o, d] : frames)
			if (i == id && o == op && (data.isNull() || d == data))
				return true;
		return false;
	}
};

// A far end that keeps its one accepted connection.
struct FarEnd {
	QTcpServer server;
	QTcpSocket *peer = nullptr;
	QByteArray received;
	FarEnd()
	{
		server.listen(QHostAddress::LocalHost);
		QObject::connect(&server, &QTcpServer::newConnection, [this] {
			peer = server.nextPendingConnection();
			QObject::connect(peer, &QTcpSocket::readyRead, [this] {
				received += peer->readAll();
			});
		});
	}
	quint16 port() const { return server.serverPort(); }
};

struct Rig {
	FarEnd cloud, scores;
	DeviceModel device;
	std::unique_ptr<UsbSide> side;
	std::unique_ptr<UsbLink> link;
	StreamLog streams;
	QByteArray pipe;
	QList<qint64> pipeFrameTimes;
	int largestPipeFrame = 0;
	QElapsedTimer clock;

	explicit Rig(quint16 unreachablePort)
	{
		UsbSide::Config config;
		config.tunnelHost = QStringLiteral("127.0.0.1");
		config.tunnelPort = cloud.port();
		config.streams.insert("scores", {"127.0.0.1", scores.port()});
		config.streams.insert("nowhere",
				      {"127.0.0.1", unreachablePort});
		side = std::make_unique<UsbSide>(&device, config);
		clock.start();
		QObject::connect(side.get(), &UsbSide::pipeReceived,
				 [this](const QByteArray &bytes) {
					 largestPipeFrame =
						 qMax(largestPipeFrame,
						      int(bytes.size()));
					 pipe += bytes;
					 pipeFrameTimes.append(clock.elapsed());
				 });
		QObject::connect(side.get(), &UsbSide::streamReceived,
				 [this](quint8 id, quint8 op,
					const QByteArray &data) {
					 streams.frames.append({id, op, data});
				 });
	}
	bool open()
	{
		if (!side->plugIn())
			return false;
		link = std::make_unique<UsbLink>(side->slavePath());
		UsbLink::Timings timings;
		timings.paceMs = kPaceMs;
		link->setTimings(timings);
		QSignalSpy opened(link.get(), &DeviceLink::opened);
		link->open();
		return opened.wait(5000) || opened.count() == 1;
	}
};

quint16 closedPort()
{
	QTcpServer probe;
	probe.listen(QHostAddress::LocalHost);
	return probe.serverPort(); // free again once probe is gone
}

} // namespace

class TestUsbRelay : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void cloudAndStreamsBothWaysOverTheCable();
	void overflowDropsTheRelaysAndTellsTheDevice();
	void appKeepsUsbSessionsForTheirRelay();
};

void TestUsbRelay::cloudAndStreamsBothWaysOverTheCable()
{
	Rig rig(closedPort());
	QVERIFY(rig.open());
	const CloudRelay *cloud = rig.link->cloudRelay();
	QVERIFY(cloud->status().hasTarget);
	QCOMPARE(rig.link->streamRelay()->status().destinationNames,
		 QStringList({"nowhere", "scores"}));

	// Cloud: what the device sends before the connection is up arrives
	// whole and in order once it is.
	rig.side->sendPipe("first,");
	rig.side->sendPipe("second");
	QTRY_COMPARE(rig.cloud.received, QByteArray("first,second"));
	QVERIFY(cloud->status().connected);
	QCOMPARE(cloud->status().bytesUp, quint64(12));

	// The cloud's answer reaches the device in pipe frames of at most
	// 512 bytes, no faster than one per pacing interval.
	QByteArray answer(3000, 'c');
	for (int i = 0; i < answer.size(); ++i)
		answer[i] = char('a' + i % 26);
	// Arrival times can bunch up (the device may read several frames at
	// once), but the last frame cannot arrive before five intervals have
	// passed since the answer was sent.
	const qint64 sent = rig.clock.elapsed();
	rig.cloud.peer->write(answer);
	QTRY_COMPARE(rig.pipe, answer);
	QCOMPARE(rig.pipeFrameTimes.size(), 6);
	QCOMPARE(rig.largestPipeFrame, 512);
	QVERIFY2(rig.pipeFrameTimes.last() - sent >= 5 * kPaceMs - 2,
		 "pipe frames were not paced");

	// Streams: opened by name, data up at once, data down only within
	// the credit the device grants, in pieces of at most 512 bytes.
	rig.side->openStream(1, "scores");
	QTRY_VERIFY(rig.streams.has(1, StreamRelay::OpOpened));
	rig.side->sendStreamData(1, "GET /");
	QTRY_COMPARE(rig.scores.received, QByteArray("GET /"));
	rig.scores.peer->write(QByteArray(1500, 's'));
	rig.scores.peer->flush();
	QTest::qWait(200);
	QVERIFY2(rig.streams.dataOf(1).isEmpty(), "data sent without credit");
	rig.side->grantCredit(1, 1000);
	QTRY_COMPARE(rig.streams.dataOf(1).size(), 1000);
	for (const auto &[id, op, data] : rig.streams.frames)
		QVERIFY(data.size() <= 512);

	// The far end closes with 500 bytes still unsent: the close waits
	// until the device has taken them.
	rig.scores.peer->disconnectFromHost();
	QTest::qWait(200);
	QVERIFY(!rig.streams.has(1, StreamRelay::OpClose));
	rig.side->grantCredit(1, 500);
	QTRY_VERIFY(rig.streams.has(1, StreamRelay::OpClose));
	QCOMPARE(rig.streams.dataOf(1).size(), 1500);

	// Refusals the device is told about.
	rig.side->openStream(2, "elsewhere");
	QTRY_VERIFY(rig.streams.has(2, StreamRelay::OpError, "unknown_stream"));
	rig.side->openStream(3, "nowhere");
	QTRY_VERIFY(rig.streams.has(3, StreamRelay::OpError, "dial_failed"));
	rig.link->cloudRelay()->setEnabled(false); // sharing switched off
	rig.side->openStream(4, "scores");
	QTRY_VERIFY(rig.streams.has(4, StreamRelay::OpError, "disabled"));
	const quint64 up = cloud->status().bytesUp;
	rig.side->sendPipe("dropped");
	QTest::qWait(100);
	QCOMPARE(cloud->status().bytesUp, up);
}

void TestUsbRelay::overflowDropsTheRelaysAndTellsTheDevice()
{
	Rig rig(closedPort());
	QVERIFY(rig.open());
	rig.side->openStream(7, "scores");
	QTRY_VERIFY(rig.streams.has(7, StreamRelay::OpOpened));
	rig.side->sendPipe("hi");
	QTRY_VERIFY(rig.cloud.peer);

	// A cloud far faster than the cable: more than 1024 frames pile up.
	QSignalSpy cloudGone(rig.cloud.peer, &QTcpSocket::disconnected);
	QSignalSpy streamGone(rig.scores.peer, &QTcpSocket::disconnected);
	rig.cloud.peer->write(QByteArray(700 * 1024, 'x'));
	QVERIFY(cloudGone.wait(10000));
	QTRY_VERIFY(streamGone.count() == 1);
	QTRY_VERIFY(rig.streams.has(7, StreamRelay::OpClose));
	QVERIFY(!rig.link->cloudRelay()->status().connected);
	QCOMPARE(rig.link->streamRelay()->status().activeStreams, 0);
	// Far less than was sent reached the device before the drop.
	QVERIFY(rig.pipe.size() < 100 * 1024);
}

namespace {

struct TempEnvironment : AppEnvironment {
	explicit TempEnvironment(QString dir) : dir(std::move(dir)) {}
	QString configPath(const QString &file) const override
	{
		return dir + '/' + file;
	}
	QString moduleFile(const QString &) const override { return {}; }
	QString hostVersion() const override { return "30.2.3"; }
	QString portalBaseUrl() const override
	{
		return "http://127.0.0.1:1"; // nothing there
	}
	QString dir;
};

} // namespace

void TestUsbRelay::appKeepsUsbSessionsForTheirRelay()
{
	QTemporaryDir dir;
	App::init(std::make_unique<TempEnvironment>(dir.path()));
	App *app = App::get();
	QSignalSpy changed(app, &App::usbRelaysChanged);

	Rig rig(closedPort());
	QVERIFY(rig.side->plugIn());
	const auto startSession = [](const QString &port) {
		auto *session = new DeviceSession(new UsbLink(port));
		session->link()->setParent(session);
		session->start({DeviceModel::kFactoryPassword});
		return QPointer<DeviceSession>(session);
	};
	const auto waitActive = [](DeviceSession *s) {
		return QTest::qWaitFor([s] {
			return s->state() == DeviceSession::NeedsNewPassword ||
			       s->state() == DeviceSession::Ready;
		});
	};

	// Not started yet, or sharing switched off: refused.
	QPointer<DeviceSession> first = startSession(rig.side->slavePath());
	DeviceSession idle(new UsbLink(rig.side->slavePath()));
	QVERIFY(!app->keepUsbRelay(&idle));
	QVERIFY(waitActive(first));
	app->settings().setShareConnection(false);
	QVERIFY(!app->keepUsbRelay(first));
	app->settings().setShareConnection(true);

	QVERIFY(app->keepUsbRelay(first));
	const QString id = first->deviceId();
	QCOMPARE(
		app->usbRelaySummaries(),
		QStringList{(id.isEmpty() ? QStringLiteral("USB device") : id) +
			    ": ready, waiting for the device"});
	rig.side->sendPipe("up");
	QTRY_COMPARE(
		app->usbRelaySummaries().value(0).section(": ", 1),
		QStringLiteral("connected to the cloud through this computer"));

	// A second session on the same port stops the first. (The first
	// lets go of the port here the way a replugged cable would.)
	first->link()->close();
	QPointer<DeviceSession> second = startSession(rig.side->slavePath());
	QVERIFY(waitActive(second));
	QVERIFY(app->keepUsbRelay(second));
	QTRY_VERIFY(!first);
	QCOMPARE(app->usbRelaySummaries().size(), 1);

	// A lost device leaves the list.
	changed.clear();
	rig.side->unplug();
	QTRY_VERIFY(!second);
	QVERIFY(changed.count() >= 1);
	QVERIFY(app->usbRelaySummaries().isEmpty());

	// A device that asked for no cloud endpoint needs no relay; a
	// wireless receiver without one is kept for the device it pairs.
	DeviceModel plain;
	UsbSide noTunnel(&plain, UsbSide::Config());
	QVERIFY(noTunnel.plugIn());
	QPointer<DeviceSession> untunnelled =
		startSession(noTunnel.slavePath());
	QVERIFY(waitActive(untunnelled));
	QVERIFY(!app->keepUsbRelay(untunnelled));
	delete untunnelled;

	DeviceModel behind;
	UsbSide::Config receiverConfig;
	receiverConfig.receiver = true;
	UsbSide receiver(&behind, receiverConfig);
	QVERIFY(receiver.plugIn());
	QPointer<DeviceSession> rx = startSession(receiver.slavePath());
	QTRY_VERIFY(rx->state() == DeviceSession::Ready);
	QVERIFY(rx->receiverOnly());
	QVERIFY(app->keepUsbRelay(rx));
	QCOMPARE(app->usbRelaySummaries(),
		 QStringList{
			 "wireless receiver: waiting for the paired device"});

	app->stopUsbRelays();
	QVERIFY(app->usbRelaySummaries().isEmpty());
	QTRY_VERIFY(!rx);
	App::shutdown();
}

QTEST_MAIN(TestUsbRelay)
#include "tst_usb_relay.moc"
