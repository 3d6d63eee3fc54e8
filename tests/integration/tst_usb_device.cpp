// The USB link against the device simulator program over a real
// pseudo-terminal: the whole cable path as a user's device would take it.
#include "admin/rpc_client.h"
#include "usb/usb_link.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace quillmarch;

class TestUsbDevice : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void init();
	void cleanup();
	void liveScoresAndAdminOverTheCable();
	void receiverOpensTheLinkAndTakesSettings();

private:
	QString startSimulator(const QStringList &extra);

	QProcess *m_sim = nullptr;
};

void TestUsbDevice::init()
{
	m_sim = new QProcess(this);
	m_sim->setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

void TestUsbDevice::cleanup()
{
	if (m_sim->state() != QProcess::NotRunning) {
		m_sim->terminate();
		if (!m_sim->waitForFinished(5000))
			m_sim->kill();
		m_sim->waitForFinished(5000);
	}
	delete m_sim;
	m_sim = nullptr;
}

QString TestUsbDevice::startSimulator(const QStringList &extra)
{
	m_sim->start(QStringLiteral(QUILLMARCH_SIM_EXECUTABLE),
		     QStringList{"device", "--usb"} + extra);
	if (!m_sim->waitForStarted(5000) || !m_sim->waitForReadyRead(5000))
		return QString();
	const QString line =
		QString::fromLocal8Bit(m_sim->readLine()).trimmed();
	const auto m = QRegularExpression("^usb (/dev/\\S+)$").match(line);
	return m.hasMatch() ? m.captured(1) : QString();
}

void TestUsbDevice::liveScoresAndAdminOverTheCable()
{
	const QString path =
		startSimulator({"--rate", "20", "--seed", "7", "--speed", "20",
				"--tunnel", "relay.example:7443"});
	QVERIFY2(!path.isEmpty(), "the simulator printed no terminal path");

	UsbLink link(path);
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy envelopes(&link, &DeviceLink::envelope);
	QSignalSpy closed(&link, &DeviceLink::closed);
	link.open();
	QTRY_COMPARE_WITH_TIMEOUT(opened.count(), 1, 5000);
	const QJsonObject hello = opened.at(0).at(0).toJsonObject();
	QCOMPARE(hello.value("t").toString(), QStringLiteral("hello"));
	QVERIFY(link.cloudRelay()->status().hasTarget);
	QCOMPARE(link.cloudRelay()->status().port, 7443);

	// The simulated game's envelopes arrive, and its clock runs.
	QTRY_VERIFY_WITH_TIMEOUT(envelopes.count() >= 20, 5000);
	QSet<QString> clocks;
	for (const QList<QVariant> &args : envelopes) {
		const QJsonObject e = args.at(0).toJsonObject();
		QCOMPARE(e.value("type").toString(), QStringLiteral("state"));
		clocks.insert(
			e.value("fields").toObject().value("clock").toString());
	}
	QVERIFY2(clocks.size() > 1, "the game clock did not move");

	// Admin both ways through the RPC client: sign in with the factory
	// password, which must be changed, then read the status.
	RpcClient rpc(link.transport());
	RpcResult login, status, tooLarge;
	rpc.call(QStringLiteral("login"), {{"password", "corvalinth"}},
		 [&](const RpcResult &r) { login = r; });
	rpc.call(QStringLiteral("getStatus"), {},
		 [&](const RpcResult &r) { status = r; });
	QTRY_VERIFY_WITH_TIMEOUT(!status.code.isEmpty() || status.ok, 5000);
	QVERIFY2(login.ok, qPrintable(login.message));
	QCOMPARE(login.result.value("must_change_password").toBool(), true);
	QVERIFY2(status.ok, qPrintable(status.message));
	QVERIFY(!status.result.value("device_id").toString().isEmpty());

	// A request that needs several frames is reassembled by the device;
	// one too large for the cable is refused here, without a write.
	RpcResult chunked;
	const QString padding(6000, QChar('x'));
	rpc.call(QStringLiteral("getState"), {{"padding", padding}},
		 [&](const RpcResult &r) { chunked = r; });
	rpc.call(QStringLiteral("getState"),
		 {{"padding", QString(70000, QChar('y'))}},
		 [&](const RpcResult &r) { tooLarge = r; });
	QTRY_VERIFY_WITH_TIMEOUT(!tooLarge.code.isEmpty(), 5000);
	QVERIFY2(chunked.ok, qPrintable(chunked.message));
	QVERIFY(chunked.result.contains("fields"));
	QCOMPARE(tooLarge.code, QStringLiteral("request_too_large"));

	// Unplugging the device is reported once, and calls fail at once.
	m_sim->terminate();
	QVERIFY(m_sim->waitForFinished(5000));
	QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 2000);
	QCOMPARE(
		closed.at(0).at(0).toString(),
		QStringLiteral(
			"The USB device was unplugged or stopped responding."));
	RpcResult afterUnplug;
	rpc.call(QStringLiteral("getStatus"), {},
		 [&](const RpcResult &r) { afterUnplug = r; });
	QCOMPARE(afterUnplug.code, QStringLiteral("disconnected"));
	QTest::qWait(100);
	QCOMPARE(closed.count(), 1);
}

void TestUsbDevice::receiverOpensTheLinkAndTakesSettings()
{
	const QString path = startSimulator({"--receiver"});
	QVERIFY(!path.isEmpty());

	UsbLink link(path);
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy updated(&link, &UsbLink::receiverUpdated);
	link.open();
	QTRY_COMPARE_WITH_TIMEOUT(opened.count(), 1, 5000);
	QCOMPARE(opened.at(0).at(0).toJsonObject().value("receiver"),
		 QJsonValue(true));
	QVERIFY(updated.count() >= 1);

	bool done = false, ok = false;
	QString key;
	link.receiverSet(QString(), true, 11,
			 [&](bool o, const QString &k, const QString &) {
				 done = true;
				 ok = o;
				 key = k;
			 });
	QTRY_VERIFY_WITH_TIMEOUT(done, 6000);
	QVERIFY(ok);
	QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(key).hasMatch(),
		 qPrintable(key));
	QTRY_COMPARE_WITH_TIMEOUT(
		link.receiverStatus().value("channel").toInt(), 11, 3000);
}

QTEST_GUILESS_MAIN(TestUsbDevice)
#include "tst_usb_device.moc"
