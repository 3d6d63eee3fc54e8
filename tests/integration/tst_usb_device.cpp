// The USB link against the device simulator program over a real
// pseudo-terminal: the whole cable path as a user's device would take it.
#include "admin/rpc_client.h"
#include "usb/usb_link.h"

#include "support/await.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace quillmarch;

class TestUsbDevice : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void cleanup();
	void liveScoresAndAdminOverTheCable();
	void receiverOpensTheLinkAndTakesSettings();

private:
	QString startSimulator(const QStringList &extra);

	QProcess m_sim;
};

void TestUsbDevice::cleanup()
{
	m_sim.terminate();
	if (!m_sim.waitForFinished(5000))
		m_sim.kill();
	m_sim.waitForFinished(5000);
}

QString TestUsbDevice::startSimulator(const QStringList &extra)
{
	m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
	m_sim.start(QStringLiteral(QUILLMARCH_SIM_EXECUTABLE),
		    QStringList{"device", "--usb"} + extra);
	if (!m_sim.waitForStarted(5000) || !m_sim.waitForReadyRead(5000))
		return QString();
	const auto m = QRegularExpression("^usb (/dev/\\S+)$")
			       .match(QString::fromLocal8Bit(m_sim.readLine())
					      .trimmed());
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
	QCOMPARE(opened.at(0).at(0).toJsonObject().value("t").toString(),
		 QStringLiteral("hello"));
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
	// password, which must be changed, then read the status; a request
	// that needs several frames is reassembled by the device.
	RpcClient rpc(link.transport());
	const auto call = [&](const QString &method,
			      const QJsonObject &params = {}) {
		return test::awaitResult<RpcResult>([&](auto done) {
			       rpc.call(method, params, done);
		       })
			.value_or(RpcResult{});
	};
	const RpcResult login = call("login", {{"password", "corvalinth"}});
	QVERIFY2(login.ok, qPrintable(login.message));
	QCOMPARE(login.result.value("must_change_password").toBool(), true);
	const RpcResult status = call("getStatus");
	QVERIFY2(status.ok, qPrintable(status.message));
	QVERIFY(!status.result.value("device_id").toString().isEmpty());
	const RpcResult chunked =
		call("getState", {{"padding", QString(6000, QChar('x'))}});
	QVERIFY2(chunked.ok, qPrintable(chunked.message));
	QVERIFY(chunked.result.contains("fields"));

	// Unplugging the device is reported with the cable's sentence.
	m_sim.terminate();
	QVERIFY(m_sim.waitForFinished(5000));
	QTRY_COMPARE_WITH_TIMEOUT(closed.count(), 1, 2000);
	QCOMPARE(
		closed.at(0).at(0).toString(),
		QStringLiteral(
			"The USB device was unplugged or stopped responding."));
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

	const auto set = test::awaitResult<bool, QString, QString>(
		[&](auto done) { link.receiverSet(QString(), true, 11, done); },
		6000);
	QVERIFY(set && std::get<0>(*set));
	const QString key = std::get<1>(*set);
	QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(key).hasMatch(),
		 qPrintable(key));
	QTRY_COMPARE_WITH_TIMEOUT(
		link.receiverStatus().value("channel").toInt(), 11, 3000);
}

QTEST_GUILESS_MAIN(TestUsbDevice)
#include "tst_usb_device.moc"
