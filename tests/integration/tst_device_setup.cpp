// A fresh simulated device on a pseudo-terminal, set up the way the setup
// dialog drives it: sign-in with candidate passwords, the forced password
// change, Wi-Fi, the scoreboard controller, the wireless transmitter and
// back, and restarts. Everything goes through DeviceSession over a real
// USB link to the simulator program.
#include "admin/device_session.h"
#include "usb/usb_link.h"

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

struct Outcome {
	bool done = false;
	bool ok = false;
	QString message;
	DeviceSession::DoneCallback callback()
	{
		return [this](bool o, const QString &m) {
			done = true;
			ok = o;
			message = m;
		};
	}
};

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

} // namespace

class TestDeviceSetup : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void freshDeviceSetUpEndToEnd();
	void wifiVerificationOutcomes();
	void rateLimitedSignIn();
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

	Outcome changed;
	session->changePassword(kFactory, kNewPassword, changed.callback());
	QTRY_VERIFY_WITH_TIMEOUT(changed.done, 5000);
	QVERIFY2(changed.ok, qPrintable(changed.message));
	QCOMPARE(session->state(), DeviceSession::Ready);

	// Wi-Fi: the scan is deduplicated and strongest first; the join is
	// confirmed through the device's provisioning state.
	bool scanned = false;
	QList<WifiNetwork> networks;
	session->scanWifi(
		[&](bool ok, const QList<WifiNetwork> &n, const QString &) {
			scanned = ok;
			networks = n;
		});
	QTRY_VERIFY_WITH_TIMEOUT(scanned, 10000);
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

	Outcome joined;
	QStringList progress;
	session->configureWifi(
		"VenueNet", "scoreboard1",
		[&](const QString &p) { progress.append(p); },
		joined.callback());
	QTRY_VERIFY_WITH_TIMEOUT(joined.done, 10000);
	QVERIFY2(joined.ok, qPrintable(joined.message));
	QCOMPARE(joined.message,
		 "Joined VenueNet (" + session->wifiIp() + ").");
	QVERIFY(!session->wifiIp().isEmpty());
	QCOMPARE(progress.first(),
		 QString::fromUtf8(
			 "Checking that the device can join VenueNet…"));

	// The scoreboard controller: chosen from the device's own list.
	bool listed = false;
	QList<ControllerChoice> controllers;
	session->listControllers([&](bool ok, const QList<ControllerChoice> &c,
				     const QString &) {
		listed = ok;
		controllers = c;
	});
	QTRY_VERIFY_WITH_TIMEOUT(listed, 5000);
	QVERIFY(controllers.size() >= 2);
	const ControllerChoice choice = controllers.at(1);
	Outcome set;
	session->setController(choice, set.callback());
	QTRY_VERIFY_WITH_TIMEOUT(set.done, 5000);
	QVERIFY2(set.ok, qPrintable(set.message));
	bool read = false;
	QJsonObject config;
	session->getControllerConfig(
		[&](bool ok, const QJsonObject &c, const QString &) {
			read = ok;
			config = c;
		});
	QTRY_VERIFY_WITH_TIMEOUT(read, 5000);
	for (const QString &key : choice.toJson().keys())
		QCOMPARE(config.value(key), choice.toJson().value(key));

	// Switch to the wireless transmitter: the device restarts, which
	// the session reports as Restarting, not as a lost device.
	QSignalSpy states(session.get(), &DeviceSession::stateChanged);
	bool switched = false;
	QString key;
	session->enableWirelessTransmitter(
		"  A4:CF:12:0B:7E:31 ", QString(), true,
		[&](bool ok, const QString &, const QString &k) {
			switched = ok;
			key = k;
		});
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Restarting,
				  10000);
	QVERIFY(switched);
	QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(key).hasMatch(),
		 qPrintable(key));
	for (const QList<QVariant> &s : states)
		QVERIFY(s.at(0).value<DeviceSession::State>() !=
			DeviceSession::Lost);

	// Back on its new terminal, the remembered password signs in and the
	// device reports itself a transmitter; then switch it back.
	session = openSession(sim.nextPath(), {kNewPassword});
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Ready,
				  10000);
	bool asked = false;
	WirelessLink link;
	session->wirelessLink([&](const WirelessLink &l) {
		asked = true;
		link = l;
	});
	QTRY_VERIFY_WITH_TIMEOUT(asked, 5000);
	QVERIFY(link.supported);
	QVERIFY(link.transmitter);
	QCOMPARE(link.peerMac, QStringLiteral("a4:cf:12:0b:7e:31"));

	Outcome back;
	session->disableEspNowSender(back.callback());
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Restarting,
				  10000);
	QVERIFY(back.ok);
	session = openSession(sim.nextPath(), {kNewPassword});
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Ready,
				  10000);
	asked = false;
	session->wirelessLink([&](const WirelessLink &l) {
		asked = true;
		link = l;
	});
	QTRY_VERIFY_WITH_TIMEOUT(asked, 5000);
	QVERIFY(!link.transmitter);
	QVERIFY(!session->wirelessTransmitter());

	// The access token for the network feed, and a plain restart.
	bool tokenDone = false;
	QString token;
	session->ensureApiToken(
		[&](bool ok, const QString &t, const QString &) {
			tokenDone = ok;
			token = t;
		});
	QTRY_VERIFY_WITH_TIMEOUT(tokenDone, 5000);
	QVERIFY(!token.isEmpty());
	Outcome restarted;
	session->reboot(restarted.callback());
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Restarting,
				  10000);
	QVERIFY(restarted.ok);
}

void TestDeviceSetup::wifiVerificationOutcomes()
{
	Simulator sim({"--operation-speed", "20"});
	auto session = openSession(sim.nextPath(), {kFactory});
	QTRY_COMPARE_WITH_TIMEOUT(session->state(),
				  DeviceSession::NeedsNewPassword, 10000);
	Outcome changed;
	session->changePassword(kFactory, kNewPassword, changed.callback());
	QTRY_VERIFY_WITH_TIMEOUT(changed.ok, 5000);

	// A wrong password ends "reverted" with the device's reason.
	Outcome wrong;
	session->configureWifi(
		"PressBox", "not-the-password", [](const QString &) {},
		wrong.callback());
	QTRY_VERIFY_WITH_TIMEOUT(wrong.done, 10000);
	QVERIFY(!wrong.ok);
	QCOMPARE(
		wrong.message,
		QStringLiteral(
			"The device could not join PressBox: wrong password. Check the password and try again."));

	// A network that never finishes: thirteen checks, then the
	// still-working sentence.
	Outcome pending;
	int checks = 0;
	session->configureWifi(
		"LockerRoom", "whatever",
		[&](const QString &p) {
			if (p.contains(QLatin1String(" s)")))
				++checks;
		},
		pending.callback());
	QTRY_VERIFY_WITH_TIMEOUT(pending.done, 15000);
	QVERIFY(!pending.ok);
	QCOMPARE(
		pending.message,
		QStringLiteral(
			"The device is still working on joining LockerRoom. Check back in a minute."));
	QCOMPARE(checks, DeviceSession::kWifiVerifyChecks - 1);
}

void TestDeviceSetup::rateLimitedSignIn()
{
	Simulator sim({});
	// Five wrong passwords lock sign-in; the sixth candidate is refused
	// as rate limited, and the right one after it is never tried.
	auto session = openSession(sim.nextPath(), {"a1", "a2", "a3", "a4",
						    "a5", "a6", kFactory});
	QTRY_COMPARE_WITH_TIMEOUT(session->state(),
				  DeviceSession::NeedsPassword, 10000);
	QVERIFY2(!session->lastError().isEmpty(), "no rate-limit sentence");

	// The lock holds even for the right password.
	session->submitPassword(kFactory);
	QTRY_COMPARE_WITH_TIMEOUT(session->state(),
				  DeviceSession::NeedsPassword, 5000);
}

void TestDeviceSetup::managedThroughTheReceiver()
{
	Simulator sim({"--receiver", "--relay-delay-ms", "200"});
	auto session = openSession(sim.nextPath(), {kFactory});
	// The receiver answers for itself: ready at once, without sign-in.
	QTRY_COMPARE_WITH_TIMEOUT(session->state(), DeviceSession::Ready, 5000);
	QVERIFY(session->receiverOnly());

	// Then the device behind it, through the receiver.
	session->manageViaReceiver({"wrong", kFactory});
	QTRY_COMPARE_WITH_TIMEOUT(session->state(),
				  DeviceSession::NeedsNewPassword, 10000);
	QVERIFY(session->viaReceiver());
	QVERIFY(!session->receiverOnly());
	Outcome changed;
	session->changePassword(kFactory, kNewPassword, changed.callback());
	QTRY_VERIFY_WITH_TIMEOUT(changed.done, 5000);
	QVERIFY2(changed.ok, qPrintable(changed.message));
	QCOMPARE(session->state(), DeviceSession::Ready);
	// The device behind a receiver sends its scores wirelessly.
	bool asked = false;
	WirelessLink link;
	session->wirelessLink([&](const WirelessLink &l) {
		asked = true;
		link = l;
	});
	QTRY_VERIFY_WITH_TIMEOUT(asked, 5000);
	QVERIFY(link.transmitter);
}

QTEST_GUILESS_MAIN(TestDeviceSetup)
#include "tst_device_setup.moc"
