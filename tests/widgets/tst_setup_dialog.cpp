// The setup dialog offscreen, driven by clicks and keys the way a user walks
// it, against simulated devices in this process: on a pseudo-terminal listed
// as a serial port, on 127.0.0.1 over HTTP and on the Bluetooth helper's
// simulated radio, with the portal simulator for the account. Every page
// is left as a PNG (setup-*.png) for a look.
#include "admin/device_session.h"
#include "app.h"
#include "ble/ble_bridge.h"
#include "ble_side.h"
#include "device_model.h"
#include "http_side.h"
#include "live/source_manager.h"
#include "manager/controller_panel.h"
#include "manager/wifi_panel.h"
#include "portal_sim.h"
#include "setup/setup_dialog.h"
#include "usb/serial_posix.h"
#include "usb/usb_link.h"
#include "usb_side.h"

#include "support/await.h"
#include "support/temp_environment.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace quillmarch;
using quillmarch::portalsim::PortalSim;

namespace {

const QString kPassword = QStringLiteral("Gym-Scores-2026");
const QString kRed = QStringLiteral("color: #d9534f;");

// An application, a folder of serial ports and at most one dialog.
struct Rig {
	QTemporaryDir dir;
	QTemporaryDir ports;
	QPointer<SetupDialog> dialog;

	explicit Rig(const QString &portal)
	{
		App::init(std::make_unique<test::TempEnvironment>(dir.path(),
								  portal));
		// Two ports that are not the device, as a USB-serial adapter
		// and a phone would show.
		for (const char *other : {"ttyUSB0", "ttyUSB1"}) {
			QFile f(ports.filePath(other));
			f.open(QIODevice::WriteOnly);
		}
	}
	~Rig()
	{
		delete dialog.data();
		App::shutdown();
	}
	// A device whose cable is listed as ttyACM0.
	sim::UsbSide::Config usbConfig() const
	{
		sim::UsbSide::Config c;
		c.linkPath = ports.filePath("ttyACM0");
		return c;
	}
	void open()
	{
		dialog = new SetupDialog;
		dialog->setAttribute(Qt::WA_DeleteOnClose);
		SetupDialog::Timings quick;
		quick.afterWifiJoinMs = 10;
		quick.bluetoothScanMs = 600;
		quick.session.wifiVerifyStepMs = 50;
		quick.session.pollMs = 200;
		dialog->setTimings(quick);
		const QString dirPath = ports.path();
		dialog->setPortLister(
			[dirPath] { return serial_platform::listIn(dirPath); });
		dialog->show();
		QVERIFY(QTest::qWaitForWindowExposed(dialog.data()));
	}

	template<class W> W *named(const char *name) const
	{
		return dialog->findChild<W *>(QLatin1String(name));
	}
	QAbstractButton *button(const QString &text) const
	{
		for (QAbstractButton *b :
		     dialog->findChildren<QAbstractButton *>())
			if (b->text() == text && b->isVisible())
				return b;
		return nullptr;
	}
	// The shown page's labels in order: its title first, then on the
	// sign-in page the message.
	QLabel *pageLabel(int index) const
	{
		const QList<QLabel *> labels = dialog->findChildren<QLabel *>();
		int seen = 0;
		for (QLabel *l : labels)
			if (l->isVisible() && seen++ == index)
				return l;
		return nullptr;
	}
	QString title() const { return pageLabel(0)->text(); }
	QString signInMessage() const { return pageLabel(1)->text(); }
	QString signInStyle() const { return pageLabel(1)->styleSheet(); }
	QString connectMessage() const
	{
		// The line above the buttons on the connect page.
		QLabel *last = nullptr;
		for (QLabel *l : dialog->findChildren<QLabel *>())
			if (l->isVisible())
				last = l;
		return last ? last->text() : QString();
	}
	QListWidget *list() const { return named<QListWidget>("deviceList"); }
	QStringList rows() const
	{
		QStringList out;
		for (int i = 0; i < list()->count(); ++i)
			out << list()->item(i)->text();
		return out;
	}
	void savePng(const QString &name) const
	{
		for (int i = 0; i < 10; ++i)
			QCoreApplication::sendPostedEvents();
		const QDir out(QStringLiteral(QUILLMARCH_WIDGET_ARTIFACTS));
		QDir().mkpath(out.path());
		QVERIFY(dialog->grab().save(
			out.filePath("setup-" + name + ".png")));
	}
};

void click(QAbstractButton *button)
{
	QVERIFY(button);
	QVERIFY(button->isVisible() && button->isEnabled());
	QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
}

void type(QLineEdit *field, const QString &text)
{
	QVERIFY(field && field->isVisible());
	field->clear();
	QTest::keyClicks(field, text);
}

sim::DeviceModel::Config deviceConfig(const QString &password,
				      const QString &wifi)
{
	sim::DeviceModel::Config c;
	c.password = password;
	c.wifiSsid = wifi;
	c.operationSpeed = 50;
	return c;
}

} // namespace

class TestSetupDialog : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase();
	void cleanup();
	void freshDeviceOverUsbIntoObs();
	void wirelessReceiver();
	void rememberedNetworkDevice();
	void accountPasswordAndClaim();
	void bluetooth();
	void lostAndFailedConnections();

private:
	PortalSim m_portal;
};

void TestSetupDialog::initTestCase()
{
	QString error;
	QVERIFY2(m_portal.start(0, portalsim::PortalSimOptions(), &error),
		 qPrintable(error));
}

void TestSetupDialog::cleanup()
{
	BleBridge::instance()->shutdown();
}

// A factory-fresh device on the cable: new password, Wi-Fi, scoreboard, the
// summary, and its live scores in OBS after the window has gone.
void TestSetupDialog::freshDeviceOverUsbIntoObs()
{
	Rig rig(m_portal.baseUrl());
	sim::DeviceModel device(
		deviceConfig(sim::DeviceModel::kFactoryPassword, QString()));
	QHash<QString, int> handled;
	connect(&device, &sim::DeviceModel::requestHandled,
		[&handled](const QString &method, bool) { ++handled[method]; });
	device.start();
	sim::UsbSide usb(&device, rig.usbConfig());
	QVERIFY(usb.plugIn());
	rig.open();

	// The one port that looks like a device is picked already.
	QTRY_COMPARE(rig.rows(),
		     QStringList({"ttyACM0  – likely a Quillmarch device",
				  "ttyUSB0", "ttyUSB1"}));
	QCOMPARE(rig.list()->currentRow(), 0);
	QVERIFY(rig.list()->item(0)->isSelected());
	QCOMPARE(rig.connectMessage(),
		 "3 USB port(s) found. Pick the Quillmarch device.");
	rig.savePng("0-connect");

	click(rig.button("Connect"));
	QCOMPARE(rig.dialog->currentPage(), int(SetupDialog::SignInPage));
	QCOMPARE(rig.title(), "<b>Connecting to ttyACM0</b>");
	QTRY_COMPARE(rig.title(), "<b>Choose a new device password</b>");
	rig.savePng("1-new-password");

	// Refused before anything reaches the device.
	auto *next = rig.named<QLineEdit>("newPassword");
	auto *again = rig.named<QLineEdit>("newPasswordAgain");
	type(next, "CorValinth");
	type(again, "CorValinth");
	click(rig.button("Set password"));
	QCOMPARE(rig.signInMessage(),
		 "Use at least 8 characters, and not the factory password.");
	QCOMPARE(rig.signInStyle(), kRed);
	type(next, kPassword);
	type(again, kPassword + "!");
	click(rig.button("Set password"));
	QCOMPARE(rig.signInMessage(), "The two passwords do not match.");
	QCOMPARE(handled.value("changePassword"), 0);
	rig.savePng("1-new-password-refused");

	type(again, kPassword);
	click(rig.button("Set password"));
	QTRY_COMPARE(rig.dialog->currentPage(), int(SetupDialog::WifiPage));
	QCOMPARE(device.password(), kPassword);
	QPointer<DeviceSession> session(rig.dialog->session());

	// The device scans, the user joins the press box network.
	auto *wifi = rig.dialog->findChild<WifiPanel *>();
	QTRY_VERIFY(wifi->statusLabel()->text().endsWith("network(s) found."));
	rig.savePng("2-wifi");
	wifi->findChild<QComboBox *>()->setEditText("PressBox");
	for (QLineEdit *e : wifi->findChildren<QLineEdit *>())
		if (e->placeholderText() == "Wi-Fi password")
			type(e, "deadline24");
	click(rig.button("Connect to this network"));
	QTRY_COMPARE_WITH_TIMEOUT(rig.dialog->currentPage(),
				  int(SetupDialog::ControllerPage), 15000);
	// The live source can now find the device on that network.
	QTRY_VERIFY(
		!App::get()->settings().lanDevice("QM-00A1B2").token.isEmpty());
	const LanDevice lan = App::get()->settings().lanDevice("QM-00A1B2");
	QCOMPARE(lan.host, "172.16.4.61");
	QCOMPARE(lan.token, device.apiToken());

	QTRY_VERIFY(rig.button("Save scoreboard") &&
		    rig.button("Save scoreboard")->isEnabled());
	rig.savePng("3-scoreboard");
	click(rig.button("Save scoreboard"));
	QTRY_COMPARE(rig.dialog->currentPage(), int(SetupDialog::DonePage));
	QCOMPARE(rig.named<QLabel>("summary")->text(),
		 "Device: QM-00A1B2\nFirmware: 2.4.1\n"
		 "Wi-Fi: connected (172.16.4.61)");
	// Not signed in: nothing to add the device to.
	QVERIFY(!rig.named<QLineEdit>("claimCode")->isVisible());
	rig.savePng("5-done");

	click(rig.button("Use this device's live scores in OBS"));
	QTRY_VERIFY(!rig.dialog);
	SourceManager *sources = App::get()->sources();
	QVERIFY(session);
	QCOMPARE(session->parent(), sources);
	QCOMPARE(sources->mode(), SourceManager::Session);
	QCOMPARE(sources->label(), "QM-00A1B2");
	QTRY_VERIFY(sources->isLive());
	QCOMPARE(session->state(), DeviceSession::Ready);
}

// A wireless receiver on the cable: its state, a new pairing key that stays
// readable while the receiver keeps reporting, and managing the device
// behind it.
void TestSetupDialog::wirelessReceiver()
{
	Rig rig(m_portal.baseUrl());
	sim::DeviceModel device(
		deviceConfig(sim::DeviceModel::kFactoryPassword, QString()));
	device.start();
	sim::UsbSide::Config config = rig.usbConfig();
	config.receiver = true;
	config.receiverStatusMs = 50;
	config.relayDelayMs = 20;
	sim::UsbSide usb(&device, config);
	QVERIFY(usb.plugIn());
	rig.open();
	QTRY_VERIFY(rig.button("Connect") &&
		    rig.button("Connect")->isEnabled());
	click(rig.button("Connect"));

	QTRY_COMPARE(rig.dialog->currentPage(), int(SetupDialog::ReceiverPage));
	auto *status = rig.named<QLabel>("receiverStatus");
	QTRY_COMPARE(status->text(), "Paired with a device.\n"
				     "Receiving from the device now.\n"
				     "Signal: -55 dBm\nChannel: 1\n"
				     "Firmware: rx-1.3.0");
	rig.savePng("4-receiver");

	auto *link = qobject_cast<UsbLink *>(rig.dialog->session()->link());
	click(rig.button("Make a new pairing key"));
	auto *note = rig.named<QLabel>("receiverNote");
	QTRY_VERIFY(note->text().startsWith("New pairing key"));
	QCOMPARE(note->text(), "New pairing key (write this down and enter "
			       "it on the sending device):\n" +
				       usb.receiver()->key());
	// Later reports refresh the state but keep the key in view.
	QSignalSpy reports(link, &UsbLink::receiverUpdated);
	QTRY_VERIFY(reports.size() >= 2);
	QVERIFY(note->text().endsWith(usb.receiver()->key()));
	QVERIFY(status->text().startsWith("Paired with a device."));
	rig.savePng("4-receiver-new-key");

	click(rig.button("Set up or manage the paired Quillmarch device "
			 "through this receiver…"));
	QCOMPARE(rig.dialog->currentPage(), int(SetupDialog::SignInPage));
	QCOMPARE(rig.title(), "<b>Connecting to the paired device through the "
			      "receiver</b>");
	QCOMPARE(rig.signInMessage(), "Asking the device over the wireless "
				      "link. This can take up to a minute.");
	QTRY_COMPARE_WITH_TIMEOUT(rig.title(),
				  "<b>Choose a new device password</b>", 15000);
}

// A device remembered on the network, typed by its id in other letters,
// is reached at its remembered address; a device with Wi-Fi opens on the
// manager; disconnecting goes back to the start.
void TestSetupDialog::rememberedNetworkDevice()
{
	Rig rig(m_portal.baseUrl());
	sim::DeviceModel device(deviceConfig(kPassword, "BoxOffice"));
	device.start();
	sim::HttpSide::Config config;
	config.port = 0;
	sim::HttpSide http(&device, config);
	QVERIFY(http.listen());
	const QString host = QStringLiteral("127.0.0.1:%1").arg(http.port());
	App::get()->settings().setLanDevice("QM-00A1B2",
					    {host, "feed-token", "QM-00A1B2"});
	rig.open();

	click(rig.button("Local network"));
	QVERIFY(!rig.list()->isVisible());
	auto *address = rig.named<QComboBox>("address");
	QVERIFY(address->isVisible());
	QCOMPARE(address->count(), 1);
	QCOMPARE(address->itemText(0), "QM-00A1B2");
	QVERIFY(!rig.button("Connect")->isEnabled());

	// The number printed on a device's case names it on the network; a
	// name nobody answers to ends in a sentence, and Cancel goes back.
	QTest::keyClicks(address->lineEdit(), "29");
	QTest::keyClick(address->lineEdit(), Qt::Key_Return);
	QCOMPARE(rig.title(), "<b>Connecting to quillmarch0029.local</b>");
	QTRY_COMPARE_WITH_TIMEOUT(rig.title(), "<b>Could not connect</b>",
				  30000);
	QVERIFY2(
		rig.signInMessage().startsWith(
			"Could not reach quillmarch0029.local on your network."),
		qPrintable(rig.signInMessage()));
	click(rig.button("Cancel"));
	QCOMPARE(rig.dialog->currentPage(), int(SetupDialog::ConnectPage));
	address->lineEdit()->clear();

	QTest::keyClicks(address->lineEdit(), "qm-00a1b2");
	QVERIFY(rig.button("Connect")->isEnabled());
	rig.savePng("0-network");
	QTest::keyClick(address->lineEdit(), Qt::Key_Return);
	QCOMPARE(rig.title(), "<b>Connecting to " + host + "</b>");

	QTRY_COMPARE(rig.title(), "<b>Device password needed</b>");
	rig.savePng("1-password");
	type(rig.named<QLineEdit>("password"), kPassword);
	QTest::keyClick(rig.named<QLineEdit>("password"), Qt::Key_Return);
	QTRY_COMPARE(rig.dialog->currentPage(), int(SetupDialog::ManagerPage));
	QCOMPARE(rig.title(), "<b>QM-00A1B2</b>");
	rig.savePng("6-manager");

	const QPointer<DeviceSession> session(rig.dialog->session());
	click(rig.button("Disconnect"));
	QCOMPARE(rig.dialog->currentPage(), int(SetupDialog::ConnectPage));
	QTRY_VERIFY(!session);
	QVERIFY(address->isVisible());
	QCOMPARE(address->currentText(), QString());
	QCOMPARE(address->count(), 1);
}

// Signed in, the password kept on the account signs in once by itself; a
// device the account does not hold yet can be added to it.
void TestSetupDialog::accountPasswordAndClaim()
{
	const QString id = QStringLiteral("QM-7F3A21");
	Rig rig(m_portal.baseUrl());
	QVERIFY(test::awaitResult<PortalResult>([](auto done) {
		App::get()->portal().signIn("coach@example.com", "bleachers",
					    done);
	}));
	QTRY_COMPARE(App::get()->devices().size(), 3);
	sim::DeviceModel::Config config = deviceConfig("courtside-42", "");
	config.deviceId = id;
	sim::DeviceModel device(config);
	device.start();
	sim::UsbSide usb(&device, rig.usbConfig());
	QVERIFY(usb.plugIn());
	m_portal.clearRequests();
	const auto reveals = [this, id] {
		return m_portal
			.requestsTo("POST", "/devices/" + id.toUtf8() +
						    "/pairing/reveal")
			.size();
	};
	rig.open();
	QTRY_VERIFY(rig.button("Connect") &&
		    rig.button("Connect")->isEnabled());
	click(rig.button("Connect"));
	QTRY_COMPARE(rig.dialog->currentPage(), int(SetupDialog::WifiPage));
	QCOMPARE(reveals(), 1);

	const auto skipToDone = [&rig] {
		click(rig.button("Skip – use this computer's internet over "
				 "USB, or the device already has Wi-Fi"));
		QCOMPARE(rig.dialog->currentPage(),
			 int(SetupDialog::ControllerPage));
		click(rig.button("Skip"));
		QTRY_COMPARE(rig.dialog->currentPage(),
			     int(SetupDialog::DonePage));
	};
	skipToDone();
	// Already on the account: nothing to add.
	QVERIFY(!rig.named<QLineEdit>("claimCode")->isVisible());
	QVERIFY(!rig.button("Add this device to my account"));

	// The account lets go of the device; the user connects again.
	for (const char *holder : {"coach@example.com", "viewer@example.com"})
		m_portal.state().account(holder)->deviceIds.removeAll(id);
	App::get()->refreshDevices();
	QTRY_COMPARE(App::get()->devices().size(), 2);
	click(rig.button("More settings and tools…"));
	QCOMPARE(rig.dialog->currentPage(), int(SetupDialog::ManagerPage));
	click(rig.button("Disconnect"));
	QTRY_VERIFY(rig.button("Connect") &&
		    rig.button("Connect")->isEnabled());
	click(rig.button("Connect"));
	// The account's password was tried once in this window: now the
	// user types it.
	QTRY_COMPARE(rig.title(), "<b>Device password needed</b>");
	type(rig.named<QLineEdit>("password"), "courtside-42");
	click(rig.button("Sign in to device"));
	QTRY_COMPARE(rig.dialog->currentPage(), int(SetupDialog::WifiPage));
	QCOMPARE(reveals(), 1);
	skipToDone();

	auto *code = rig.named<QLineEdit>("claimCode");
	QVERIFY(code->isVisible());
	auto *summary = rig.named<QLabel>("summary");
	type(code, "NOT-THE-CODE");
	click(rig.button("Add this device to my account"));
	QTRY_COMPARE(summary->styleSheet(), kRed);
	QVERIFY(!summary->text().startsWith("Device: "));
	QVERIFY(rig.button("Add this device to my account")->isEnabled());
	rig.savePng("5-done-claim-failed");
	code->clear();
	click(rig.button("Add this device to my account"));
	QTRY_COMPARE(summary->text(), "Added to your account.");
	QCOMPARE(summary->styleSheet(), QString());
	QVERIFY(!code->isVisible());
	QTRY_COMPARE(App::get()->devices().size(), 3);
}

// Through the helper's simulated central: a scan that finds the device, a
// scan answer that comes after the user moved on, a connect, and a device
// that refuses an unpaired computer.
void TestSetupDialog::bluetooth()
{
#ifndef QUILLMARCH_BLE_HELPER_SIM_EXECUTABLE
	QSKIP("The Bluetooth helper is not built in this tree.");
#else
	Rig rig(m_portal.baseUrl());
	sim::DeviceModel device(
		deviceConfig(sim::DeviceModel::kFactoryPassword, "BoxOffice"));
	device.start();
	sim::BleSide radio(&device, sim::BleSide::Config());
	QVERIFY(radio.listen(QHostAddress::LocalHost, 0));
	qputenv("QUILLMARCH_BLE_SIM", radio.address().toUtf8());
	BleBridge::instance()->setHelperPath(
		QStringLiteral(QUILLMARCH_BLE_HELPER_SIM_EXECUTABLE));
	sim::DeviceModel cabled(deviceConfig(kPassword, "BoxOffice"));
	sim::UsbSide usb(&cabled, rig.usbConfig());
	QVERIFY(usb.plugIn());
	rig.open();
	QTRY_COMPARE(rig.rows().size(), 3);

	click(rig.button("Bluetooth"));
	QCOMPARE(rig.connectMessage(),
		 "Looking for devices… (about 6 seconds)");
	QVERIFY(!rig.button("Scan again")->isEnabled());
	QTRY_COMPARE_WITH_TIMEOUT(rig.connectMessage(), "1 device(s) found.",
				  20000);
	QCOMPARE(rig.rows(), QStringList{"Quillmarch QM-00A1B2"});
	QVERIFY(rig.button("Connect")->isEnabled());
	rig.savePng("0-bluetooth");

	// Scanning again, the user goes back to the cable before the
	// answer: it must not land in the cable's list.
	click(rig.button("Scan again"));
	click(rig.button("USB cable"));
	const QStringList cableRows = rig.rows();
	QCOMPARE(cableRows.size(), 3);
	// Requests to the helper are answered in order: once a later scan
	// is answered, the dialog's has been too.
	const auto later = test::awaitResult<bool, QList<BleDeviceInfo>, int,
					     QString, QString>(
		[](auto done) { BleBridge::instance()->scan(500, done); },
		20000);
	QVERIFY(later.has_value());
	QCOMPARE(rig.rows(), cableRows);
	QVERIFY(rig.connectMessage().startsWith("3 USB port(s) found."));

	click(rig.button("Bluetooth"));
	QTRY_COMPARE_WITH_TIMEOUT(rig.connectMessage(), "1 device(s) found.",
				  20000);
	click(rig.button("Connect"));
	QCOMPARE(rig.title(), "<b>Connecting to Quillmarch QM-00A1B2</b>");
	QTRY_COMPARE_WITH_TIMEOUT(rig.title(),
				  "<b>Choose a new device password</b>", 20000);
	type(rig.named<QLineEdit>("newPassword"), kPassword);
	type(rig.named<QLineEdit>("newPasswordAgain"), kPassword);
	click(rig.button("Set password"));
	// The device is on Wi-Fi: straight to the manager, and the address
	// and a token are kept for the live feed.
	QTRY_COMPARE_WITH_TIMEOUT(rig.dialog->currentPage(),
				  int(SetupDialog::ManagerPage), 20000);
	QTRY_COMPARE_WITH_TIMEOUT(
		App::get()->settings().lanDevice("QM-00A1B2").host,
		"192.168.10.57", 20000);
	rig.savePng("6-manager-bluetooth");
	click(rig.button("Disconnect"));
	QTRY_COMPARE_WITH_TIMEOUT(rig.connectMessage(), "1 device(s) found.",
				  20000);

	// A device that wants this computer paired first.
	BleBridge::instance()->shutdown();
	sim::BleSide::Config strict;
	strict.requirePairing = true;
	sim::BleSide pairedOnly(&device, strict);
	QVERIFY(pairedOnly.listen(QHostAddress::LocalHost, 0));
	qputenv("QUILLMARCH_BLE_SIM", pairedOnly.address().toUtf8());
	click(rig.button("Scan again"));
	QTRY_COMPARE_WITH_TIMEOUT(rig.connectMessage(), "1 device(s) found.",
				  20000);
	click(rig.button("Connect"));
	QTRY_COMPARE_WITH_TIMEOUT(rig.title(), "<b>Could not connect</b>",
				  20000);
	QVERIFY(rig.signInMessage().contains("pair", Qt::CaseInsensitive));
	QCOMPARE(rig.signInStyle(), kRed);
	rig.savePng("1-bluetooth-error");
#endif
}

// A cable pulled while signing in, a port that is no device, and a loss
// reported while the connect page shows.
void TestSetupDialog::lostAndFailedConnections()
{
	Rig rig(m_portal.baseUrl());
	sim::DeviceModel device(deviceConfig(kPassword, "BoxOffice"));
	device.start();
	sim::UsbSide usb(&device, rig.usbConfig());
	QVERIFY(usb.plugIn());
	rig.open();
	QTRY_VERIFY(rig.button("Connect") &&
		    rig.button("Connect")->isEnabled());
	click(rig.button("Connect"));
	QTRY_COMPARE(rig.title(), "<b>Device password needed</b>");
	usb.unplug();
	QTRY_COMPARE(rig.title(), "<b>Connection lost</b>");
	QVERIFY(!rig.signInMessage().isEmpty());
	QVERIFY(!rig.named<QLineEdit>("password")->isVisible());
	QCOMPARE(rig.signInStyle(), kRed);
	rig.savePng("1-lost");

	click(rig.button("Cancel"));
	QCOMPARE(rig.dialog->currentPage(), int(SetupDialog::ConnectPage));
	QVERIFY(!rig.dialog->session());
	rig.dialog->onSessionState(DeviceSession::Lost, "gone");
	QCOMPARE(rig.dialog->currentPage(), int(SetupDialog::ConnectPage));

	// ttyUSB0 is a plain file, not a terminal.
	QListWidget *list = rig.list();
	QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
			  list->visualItemRect(list->item(1)).center());
	QCOMPARE(list->currentItem()->text(), "ttyUSB0");
	click(rig.button("Connect"));
	QTRY_COMPARE(rig.title(), "<b>Could not connect</b>");
	QVERIFY(!rig.signInMessage().isEmpty());
	QCOMPARE(rig.signInStyle(), kRed);
	rig.savePng("1-error");
}

QTEST_MAIN(TestSetupDialog)
#include "tst_setup_dialog.moc"
