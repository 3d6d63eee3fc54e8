// A fresh simulated device on a pseudo-terminal, set up the way the setup
// dialog drives it: sign-in with candidate passwords, the forced password
// change, Wi-Fi, the scoreboard controller, the wireless transmitter and
// back, and restarts. Everything goes through DeviceSession over a real
// USB link to the simulator program.
#include "admin/device_session.h"
#include "usb/usb_link.h"

#include "support/await.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace quillmarch;

namespace {

const QString kFactory = QStringLiteral("corvalinth");
const QString kNewPassword = QStringLiteral("Gym-Scores-2026");

// The simulator program; each "usb PATH" line it prints is a terminal the
// device can be reached on (a new one after every restart).
class Simulator {
public:
	explicit Simulator(const QStringList &options)
	{
		m_process.setProcessChannelMode(
			QProcess::ForwardedErrorChannel);
		m_process.start(QStringLiteral(QUILLMARCH_SIM_EXECUTABLE),
				QStringList{"device", "--usb"} + options);
	}
	~Simulator()
	{
		m_process.terminate();
		if (!m_process.waitForFinished(5000))
			m_process.kill();
		m_process.waitForFinished(2000);
	}

	// The next terminal the simulator announces.
	QString nextPath(int timeoutMs = 15000)
	{
		QElapsedTimer clock;
		clock.start();
		while (clock.elapsed() < timeoutMs) {
			if (!m_process.canReadLine() &&
			    !m_process.waitForReadyRead(100)) {
				QCoreApplication::processEvents();
				continue;
			}
			while (m_process.canReadLine()) {
				const auto m =
					QRegularExpression("^usb (/dev/\\S+)")
						.match(QString::fromLocal8Bit(
							m_process.readLine()));
				if (m.hasMatch())
					return m.captured(1);
			}
		}
		return QString();
	}

private:
	QProcess m_process;
};

// The ok and sentence of an operation that ends with them; not ok when it
// never ended.
std::tuple<bool, QString>
finish(const std::function<void(DeviceSession::DoneCallback)> &start,
       int timeoutMs = 10000)
{
	return test::awaitResult<bool, QString>(start, timeoutMs)
		.value_or(std::make_tuple(false, QStringLiteral("no answer")));
}

DeviceSession::Timings quickTimings()
{
	DeviceSession::Timings t;
	t.wifiVerifyStepMs = 150;
	return t;
}

std::unique_ptr<DeviceSession> openSession(const QString &path,
					   const QStringList &passwords)
{
	auto session = std::make_unique<DeviceSession>(new UsbLink(path));
	session->setTimings(quickTimings());
	session->start(passwords);
	return session;
}

// Ends the forced password change of a factory-fresh device.
bool changeFactoryPassword(DeviceSession *session)
{
	if (!QTest::qWaitFor(
		    [&] {
			    return session->state() ==
				   DeviceSession::NeedsNewPassword;
		    },
		    10000))
		return false;
	return std::get<0>(finish([&](auto done) {
		       session->changePassword(kFactory, kNewPassword, done);
	       })) &&
	       session->state() == DeviceSession::Ready;
}

WirelessLink wirelessLinkOf(DeviceSession *session)
{
	return test::awaitResult<WirelessLink>(
		       [&](auto done) { session->wirelessLink(done); })
		.value_or(WirelessLink{});
}

} // namespace

class TestDeviceSetup : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void freshDeviceSetUpEndToEnd();
	void managedThroughTheReceiver();
};

void TestDeviceSetup::freshDeviceSetUpEndToEnd()
{
	Simulator sim(
		{"--reboot-unplugs", "--operation-speed", "20", "--seed", "5"});
	const QString path = sim.nextPath();
	QVERIFY(!path.isEmpty());

	// Sign-in walks the candidates: the wrong one, then the factory
	// password, which must be changed.
	auto session = openSession(path, {"not-it", kFactory, "never-tried"});
	QTRY_COMPARE_WITH_TIMEOUT(session->state(),
				  DeviceSession::NeedsNewPassword, 10000);
	QVERIFY(session->mustChangePassword());
	QVERIFY(!session->deviceId().isEmpty());
	QVERIFY(changeFactoryPassword(session.get()));

	// Wi-Fi: the scan is deduplicated and strongest first; the join is
	// confirmed through the device's provisioning state.
	const auto scan = test::awaitResult<bool, QList<WifiNetwork>, QString>(
		[&](auto done) { session->scanWifi(done); }, 10000);
	QVERIFY(scan && std::get<0>(*scan));
	const QList<WifiNetwork> networks = std::get<1>(*scan);
	QVERIFY(networks.size() >= 3);
	QSet<QString> names;
	for (int i = 0; i < networks.size(); ++i) {
		QVERIFY(!networks.at(i).ssid.isEmpty());
		QVERIFY2(!names.contains(networks.at(i).ssid),
			 qPrintable(networks.at(i).ssid));
		names.insert(networks.at(i).ssid);
		if (i > 0)
			QVERIFY(networks.at(i - 1).rssi >= networks.at(i).rssi);
	}
	QVERIFY(names.contains("VenueNet"));

	// A wrong password ends "reverted" with the device's reason.
	const auto wrong = finish([&](auto done) {
		session->configureWifi(
			"PressBox", "not-the-password", [](const QString &) {},
			done);
	});
	QCOMPARE(
		wrong,
		std::make_tuple(
			false,
			QStringLiteral(
				"The device could not join PressBox: wrong password. Check the password and try again.")));

	// A network that never finishes: thirteen checks, then the
	// still-working sentence.
	int checks = 0;
	const auto pending = finish(
		[&](auto done) {
			session->configureWifi(
				"LockerRoom", "whatever",
				[&](const QString &p) {
					if (p.contains(QLatin1String(" s)")))
						++checks;
				},
				done);
		},
		15000);
	QCOMPARE(
		pending,
		std::make_tuple(
			false,
			QStringLiteral(
				"The device is still working on joining LockerRoom. Check back in a minute.")));
	QCOMPARE(checks, DeviceSession::kWifiVerifyChecks - 1);
	QStringList progress;
	const auto [joined, joinedText] = finish([&](auto done) {
		session->configureWifi(
			"VenueNet", "scoreboard1",
			[&](const QString &p) { progress.append(p); }, done);
	});
	QVERIFY2(joined, qPrintable(joinedText));
	QVERIFY(!session->wifiIp().isEmpty());
	QCOMPARE(joinedText, "Joined VenueNet (" + session->wifiIp() + ").");
	QCOMPARE(progress.first(),
		 QString::fromUtf8(
			 "Checking that the device can join VenueNet…"));

	// The scoreboard controller: chosen from the device's own list.
	const auto listed =
		test::awaitResult<bool, QList<ControllerChoice>, QString>(
			[&](auto done) { session->listControllers(done); });
	QVERIFY(listed && std::get<1>(*listed).size() >= 2);
	const ControllerChoice choice = std::get<1>(*listed).at(1);
	const auto [set, setText] = finish(
		[&](auto done) { session->setController(choice, done); });
	QVERIFY2(set, qPrintable(setText));
	const auto config = test::awaitResult<bool, QJsonObject, QString>(
		[&](auto done) { session->getControllerConfig(done); });
	QVERIFY(config && std::get<0>(*config));
	for (const QString &key : choice.toJson().keys())
		QCOMPARE(std::get<1>(*config).value(key),
			 choice.toJson().value(key));

	// Switch to the wireless transmitter: the device restarts, which
	// the session reports as Restarting, not as a lost device.
	QSignalSpy states(session.get(), &DeviceSession::stateChanged);
	const auto switched = test::awaitResult<bool, QString, QString>(
		[&](auto done) {
			session->enableWirelessTransmitter(
				"  A4:CF:12:0B:7E:31 ", QString(), true, done);
		},
		10000);
	QVERIFY(switched && std::get<0>(*switched));
	QVERIFY2(QRegularExpression("^[0-9a-f]{32}$")
			 .match(std::get<2>(*switched))
			 .hasMatch(),
		 qPrintable(std::get<2>(*switched)));
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Restarting,
				  10000);
	for (const QList<QVariant> &s : states)
		QVERIFY(s.at(0).value<DeviceSession::State>() !=
			DeviceSession::Lost);

	// Back on its new terminal, the remembered password signs in and the
	// device reports itself a transmitter; then switch it back.
	session = openSession(sim.nextPath(), {kNewPassword});
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Ready,
				  10000);
	WirelessLink link = wirelessLinkOf(session.get());
	QVERIFY(link.supported);
	QVERIFY(link.transmitter);
	QCOMPARE(link.peerMac, QStringLiteral("a4:cf:12:0b:7e:31"));

	QVERIFY(std::get<0>(finish(
		[&](auto done) { session->disableEspNowSender(done); })));
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Restarting,
				  10000);
	session = openSession(sim.nextPath(), {kNewPassword});
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Ready,
				  10000);
	QVERIFY(!wirelessLinkOf(session.get()).transmitter);
	QVERIFY(!session->wirelessTransmitter());

	// The access token for the network feed, and a plain restart.
	const auto token = test::awaitResult<bool, QString, QString>(
		[&](auto done) { session->ensureApiToken(done); });
	QVERIFY(token && std::get<0>(*token) && !std::get<1>(*token).isEmpty());
	QVERIFY(std::get<0>(finish([&](auto done) { session->reboot(done); })));
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Restarting,
				  10000);
}

void TestDeviceSetup::managedThroughTheReceiver()
{
	Simulator sim({"--receiver", "--relay-delay-ms", "200"});
	auto session = openSession(sim.nextPath(), {kFactory});
	// The receiver answers for itself: ready at once, without sign-in.
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Ready, 5000);
	QVERIFY(session->receiverOnly());

	// Then the device behind it, through the receiver; it sends its
	// scores wirelessly.
	session->manageViaReceiver({"wrong", kFactory});
	QVERIFY(changeFactoryPassword(session.get()));
	QVERIFY(session->viaReceiver());
	QVERIFY(!session->receiverOnly());
	QVERIFY(wirelessLinkOf(session.get()).transmitter);
}

QTEST_GUILESS_MAIN(TestDeviceSetup)
#include "tst_device_setup.moc"
