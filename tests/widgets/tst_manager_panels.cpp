// The device manager's panels offscreen, against a simulated device on a
// pseudo-terminal reached through a real DeviceSession, driven by clicks
// and typing as a user would. The device clock stands still unless a test
// moves it, so slow device work finishes exactly when the test says.
#include "admin/device_session.h"
#include "app.h"
#include "manager/controller_panel.h"
#include "manager/device_manager.h"
#include "manager/panel_widgets.h"
#include "manager/share_panel.h"
#include "manager/status_panel.h"
#include "manager/wifi_panel.h"
#include "usb/usb_link.h"
#include "usb_side.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "support/temp_environment.h"

#include <memory>

using namespace quillmarch;

namespace {

const QString kPassword = QStringLiteral("Gym-Scores-2026");

// Nothing here talks to the portal.
const QString kNoPortal = QStringLiteral("http://127.0.0.1:9");

// A signed-in session to a simulated device whose clock stands still, and
// a count of the requests it handled by method.
struct Rig {
	QTemporaryDir dir;
	std::unique_ptr<sim::DeviceModel> device;
	std::unique_ptr<sim::UsbSide> side;
	QPointer<DeviceSession> session;
	QHash<QString, int> handled;

	~Rig()
	{
		delete session.data();
		side.reset();
		App::shutdown();
	}
	bool start()
	{
		App::init(std::make_unique<quillmarch::test::TempEnvironment>(
			dir.path(), kNoPortal));
		sim::DeviceModel::Config config;
		config.password = kPassword;
		config.operationSpeed = 0;
		device = std::make_unique<sim::DeviceModel>(config);
		QObject::connect(device.get(),
				 &sim::DeviceModel::requestHandled,
				 [this](const QString &method, bool) {
					 ++handled[method];
				 });
		device->start();
		side = std::make_unique<sim::UsbSide>(device.get(),
						      sim::UsbSide::Config());
		if (!side->plugIn())
			return false;
		session = new DeviceSession(new UsbLink(side->slavePath()));
		session->link()->setParent(session);
		session->start({kPassword});
		return QTest::qWaitFor(
			[this] {
				return session->state() == DeviceSession::Ready;
			},
			10000);
	}
};

void savePng(QWidget *w, const QString &name)
{
	const QDir out(QStringLiteral(QUILLMARCH_WIDGET_ARTIFACTS));
	out.mkpath(QStringLiteral("."));
	w->grab().save(out.filePath(name + QStringLiteral(".png")));
}

template<class W> W *child(QWidget *in, const QString &text)
{
	for (W *w : in->findChildren<W *>())
		if (w->text() == text)
			return w;
	return nullptr;
}

void click(QAbstractButton *button)
{
	QVERIFY(button);
	QVERIFY(button->isEnabled());
	QTest::mouseClick(button, Qt::LeftButton);
}

// Answers every Yes/No question that shows with `answer`, keeping its text.
class QuestionAnswerer : public QObject {
public:
	explicit QuestionAnswerer(QMessageBox::StandardButton answer)
		: m_answer(answer)
	{
		startTimer(10);
	}
	QStringList asked;

protected:
	void timerEvent(QTimerEvent *) override
	{
		auto *box = qobject_cast<QMessageBox *>(
			QApplication::activeModalWidget());
		if (!box || !box->button(m_answer))
			return;
		asked << box->text();
		box->button(m_answer)->click();
	}

private:
	QMessageBox::StandardButton m_answer;
};

} // namespace

class TestManagerPanels : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void statusTab();
	void wifiScanAndReceiverSwitch();
	void scoreboardChoiceAndSharing();
	void managerRefreshesTheShownTab();
};

// Device information in its fixed order, the scoreboard as it changes, and
// the network test: one that finishes, one that never does.
void TestManagerPanels::statusTab()
{
	Rig rig;
	QVERIFY(rig.start());
	StatusPanel panel(rig.session);
	StatusPanel::Timings quick;
	quick.testPollMs = 10;
	panel.setTimings(quick);
	panel.resize(520, 760);
	panel.show();

	auto texts = panel.findChildren<QPlainTextEdit *>();
	QCOMPARE(texts.size(), 3);
	QPlainTextEdit *device = texts[0];
	QPlainTextEdit *scoreboard = texts[1];
	QPlainTextEdit *results = texts[2];

	click(child<QPushButton>(&panel, "Refresh"));
	QTRY_VERIFY(!device->toPlainText().isEmpty());
	const QStringList lines = device->toPlainText().split('\n');
	QStringList names;
	for (const QString &line : lines)
		names << line.section(": ", 0, 0);
	// The seven a user looks for first, then the rest by key; the
	// session's anti-forgery token never shows.
	QCOMPARE(names,
		 QStringList({"Device ID", "Firmware", "Wi-Fi network",
			      "Wi-Fi address", "Ethernet address",
			      "Cloud connected", "Cloud route",
			      "api_token_configured", "Password change needed",
			      "Last restart", "TCP clients", "TLS fingerprint",
			      "Uptime (s)", "wifi_provision",
			      "Wi-Fi signal (dBm)", "Wi-Fi status"}));
	QVERIFY(!device->toPlainText().contains("csrf"));
	QCOMPARE(lines[0], "Device ID: QM-00A1B2");
	QCOMPARE(lines[5], "Cloud connected: yes");
	QCOMPARE(lines[8], "Password change needed: no");
	QCOMPARE(lines[13],
		 "wifi_provision: detail=, elapsed_ms=0, state=idle");
	QTRY_VERIFY(scoreboard->toPlainText().startsWith("Sport: "));
	savePng(&panel, "manager-status");

	// A test the device finishes while it is being watched.
	QPushButton *test = child<QPushButton>(&panel, "Run network test");
	click(test);
	QVERIFY(!test->isEnabled());
	QTRY_VERIFY(results->toPlainText().endsWith("Still running…"));
	rig.device->skipTime(15000);
	QTRY_VERIFY(test->isEnabled());
	const QString address = lines[3].section(": ", 1);
	QCOMPARE(results->toPlainText().split('\n'),
		 QStringList({"✓ Local network – address " + address +
				      " on BoxOffice",
			      "✓ DNS – api.quillmarch.com resolved in 38 ms",
			      "✓ Cloud (secure port) – port 8883 reachable, "
			      "signed in",
			      "✓ Cloud (backup route) – port 443 reachable",
			      "✓ Internet – outbound traffic allowed",
			      "✓ End to end – test message went round in 212 "
			      "ms",
			      "All checks passed."}));
	savePng(&panel, "manager-status-network-test");

	// One that never finishes: the panel gives up after its last
	// answer instead of polling for ever.
	rig.device->skipTime(60000);
	rig.handled.remove("networkTest");
	click(test);
	QTRY_VERIFY(test->isEnabled());
	QCOMPARE(rig.handled.value("networkTest"),
		 StatusPanel::kMaxTestAttempts + 1);
	QTest::qWait(100); // ten more poll intervals
	QCOMPARE(rig.handled.value("networkTest"),
		 StatusPanel::kMaxTestAttempts + 1);
	QVERIFY(results->toPlainText().endsWith("Still running…"));

	// The device went away: nothing is sent and the user is told.
	delete rig.session.data();
	click(child<QPushButton>(&panel, "Refresh"));
	QCOMPARE(panel.statusLabel()->text(), "Not connected to a device.");
}

// A scan that fails keeps what the user typed; the receiver switch shows
// its form first, asks only on the second press, and the restart banner
// counts down to "The device should be back." with the new key shown once.
void TestManagerPanels::wifiScanAndReceiverSwitch()
{
	Rig rig;
	QVERIFY(rig.start());
	WifiPanel panel(rig.session);
	WifiPanel::Timings quick;
	// The countdown stands still until the test lets it run.
	quick.countdownTickMs = 3600 * 1000;
	panel.setTimings(quick);
	panel.resize(520, 640);
	panel.show();
	QuestionAnswerer yes(QMessageBox::Yes);

	panel.refresh();
	QTRY_COMPARE(panel.statusLabel()->text(),
		     "Scanning… this can take up to 15 seconds.");
	// Typing while the device scans: the answer must not undo it.
	auto *networks = panel.findChild<QComboBox *>();
	networks->setEditText("Gym Loft");
	// The scan request may still be on its way: move the device clock
	// until the answer is in.
	QTRY_VERIFY(
		(rig.device->skipTime(500),
		 panel.statusLabel()->text().endsWith("network(s) found.")));
	QCOMPARE(networks->currentText(), "Gym Loft");
	QVERIFY(networks->count() > 0);
	QVERIFY(networks->itemText(0).endsWith(" dBm)"));
	savePng(&panel, "manager-wifi");

	rig.device->setMethodFailure("scanWifi", "radio_busy");
	click(child<QPushButton>(&panel, "Scan for networks"));
	QTRY_VERIFY(panel.statusLabel()->text().endsWith(
		" You can still type the network name."));
	QCOMPARE(panel.statusLabel()->styleSheet(), "color: #d9534f;");
	QCOMPARE(networks->currentText(), "Gym Loft");
	QVERIFY(child<QPushButton>(&panel, "Scan for networks")->isEnabled());

	auto *box = panel.findChild<QGroupBox *>();
	QVERIFY(box && box->isVisible());
	QCOMPARE(box->title(), "Wi-Fi or Quillmarch wireless receiver");
	QLineEdit *address = nullptr;
	for (QLineEdit *e : panel.findChildren<QLineEdit *>())
		if (e->placeholderText().startsWith("aa:bb"))
			address = e;
	QVERIFY(address && !address->isVisible());
	click(child<QPushButton>(
		&panel, "Set up a Quillmarch wireless receiver instead of "
			"Wi-Fi…"));
	QVERIFY(address->isVisible());
	QVERIFY(yes.asked.isEmpty());
	savePng(&panel, "manager-wifi-receiver-form");

	// Second press without an address: told, not asked.
	auto *sw = child<QPushButton>(
		&panel, "Switch to the wireless receiver and restart");
	click(sw);
	QCOMPARE(panel.statusLabel()->text(),
		 "Enter the receiver's address first. It is printed on the "
		 "receiver.");
	QVERIFY(yes.asked.isEmpty());

	auto *banner = panel.findChild<RestartBanner *>();
	QVERIFY(banner && !banner->isVisible());
	QList<int> counted;
	connect(banner, &RestartBanner::ticked, this,
		[&counted](int left) { counted << left; });
	QTest::keyClicks(address, "AA:BB:CC:00:11:22");
	click(sw);
	QTRY_VERIFY(banner->isVisible());
	QCOMPARE(yes.asked.size(), 1);
	QVERIFY(yes.asked[0].startsWith("The device will stop using Wi-Fi"));
	QVERIFY(!box->isVisible());
	QVERIFY(banner->titleLabel()->text().contains(">15<"));
	QVERIFY(banner->titleLabel()->text().contains("Wait 15 seconds"));
	// The key the device made up, shown once in the banner.
	const QString key = banner->detail().section('\n', 1);
	QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(key).hasMatch());
	QVERIFY(banner->detailLabel()->text().contains("<br>" + key));
	quick.countdownTickMs = 5;
	panel.setTimings(quick);
	QTRY_COMPARE(banner->secondsLeft(), 0);
	QList<int> expected;
	for (int s = 14; s >= 0; --s)
		expected << s;
	QCOMPARE(counted, expected);
	QVERIFY(banner->titleLabel()->text().contains(
		"The device should be back."));
	QVERIFY(!banner->titleLabel()->text().contains("Wait "));
	savePng(&panel, "manager-wifi-restarting");
}

// The scoreboard choice saves what the lists show; sharing stores the
// user's choice and switches the cable's cloud relay with it.
void TestManagerPanels::scoreboardChoiceAndSharing()
{
	Rig rig;
	QVERIFY(rig.start());
	ControllerPanel choice(rig.session);
	choice.resize(480, 320);
	choice.show();
	QSignalSpy saved(&choice, &ControllerPanel::saved);
	choice.load();
	QTRY_VERIFY(
		child<QPushButton>(&choice, "Save scoreboard")->isEnabled());
	QTRY_VERIFY(choice.statusLabel()->text() != "Loading the list…");
	for (QComboBox *list : choice.findChildren<QComboBox *>())
		QVERIFY(list->count() > 0 && !list->currentText().isEmpty());
	savePng(&choice, "manager-scoreboard-choice");
	click(child<QPushButton>(&choice, "Save scoreboard"));
	QTRY_COMPARE(saved.count(), 1);
	QCOMPARE(choice.statusLabel()->text(), "Saved.");

	SharePanel share;
	share.resize(480, 200);
	QVERIFY(share.isHidden());
	auto *link = qobject_cast<UsbLink *>(rig.session->link());
	share.setLink(link, false);
	QVERIFY(share.isVisible());
	QVERIFY(link->cloudRelay()->status().enabled);
	auto *box = share.findChild<QCheckBox *>();
	QVERIFY(box->isChecked());
	click(box);
	QVERIFY(!App::get()->settings().shareConnection());
	QVERIFY(!link->cloudRelay()->status().enabled);
	auto *info = share.findChildren<QLabel *>().value(0);
	QVERIFY(info->text().startsWith("Sharing is off, so the device"));
	savePng(&share, "manager-share");
	// A fresh panel on the same link follows the stored choice.
	click(box);
	QVERIFY(App::get()->settings().shareConnection());
	QVERIFY(link->cloudRelay()->status().enabled);
	share.setLink(nullptr, false);
	QVERIFY(share.isHidden());

	QCOMPARE(SharePanel::byteText(1023), "1023 B");
	QCOMPARE(SharePanel::byteText(1536), "1.5 KB");
	QCOMPARE(SharePanel::byteText(3 * 1048576 / 2), "1.5 MB");
}

// Every tab in order, each reloaded when chosen, also when chosen again.
void TestManagerPanels::managerRefreshesTheShownTab()
{
	Rig rig;
	QVERIFY(rig.start());
	DeviceManager manager(rig.session);
	manager.resize(640, 720);
	manager.show();
	QStringList tabs;
	for (int i = 0; i < manager.count(); ++i)
		tabs << manager.tabText(i);
	QCOMPARE(tabs, QStringList({"Status", "Wi-Fi", "Settings", "Security",
				    "Updates", "Cloud", "Advanced"}));
	manager.showPage(0);
	QTRY_COMPARE(rig.handled.value("getStatus") > 0, true);
	const int before = rig.handled.value("getStatus");
	manager.showPage(0);
	QTRY_COMPARE(rig.handled.value("getStatus"), before + 1);
	savePng(&manager, "manager");
	manager.showPage(1);
	QTRY_COMPARE(rig.handled.value("getEspNow"), 1);
}

QTEST_MAIN(TestManagerPanels)
#include "tst_manager_panels.moc"
