// The device manager's Settings, Security, Updates, Cloud and Advanced tabs
// offscreen, driven by clicks and keys against a simulated device reached
// over a real USB session (the simulator runs in-process on a
// pseudo-terminal).

#include "admin/device_session.h"
#include "device_catalogue.h"
#include "device_model.h"
#include "manager/advanced_panel.h"
#include "manager/cloud_panel.h"
#include "manager/security_panel.h"
#include "manager/settings_panel.h"
#include "manager/updates_panel.h"
#include "usb/usb_link.h"
#include "usb_side.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace quillmarch;
using quillmarch::sim::DeviceModel;
using quillmarch::sim::UsbSide;

namespace {

const QString kPassword = QStringLiteral("Gym-Scores-2026");

// A simulated device on a cable and a signed-in session to it. Every
// request the device handled is kept as "method" or "method!" (failed).
struct Rig {
	DeviceModel device;
	UsbSide side;
	std::unique_ptr<DeviceSession> session;
	QStringList handled;

	explicit Rig(const DeviceModel::Config &config = {})
		: device(signedInWith(config)),
		  side(&device, UsbSide::Config())
	{
		QObject::connect(&device, &DeviceModel::requestHandled,
				 [this](const QString &method, bool ok) {
					 handled << (ok ? method
							: method + "!");
				 });
	}
	bool open()
	{
		if (!side.plugIn())
			return false;
		session = std::make_unique<DeviceSession>(
			new UsbLink(side.slavePath()));
		session->start({kPassword});
		return QTest::qWaitFor([this] {
			return session->state() == DeviceSession::Ready;
		});
	}
	static DeviceModel::Config signedInWith(DeviceModel::Config config)
	{
		config.password = kPassword;
		return config;
	}
	int count(const QString &request) const
	{
		return int(handled.count(request));
	}
};

// The field a form row labels.
template<typename T> T *field(QWidget *panel, const QString &label)
{
	for (QLabel *l : panel->findChildren<QLabel *>())
		if (l->text() == label)
			return qobject_cast<T *>(l->buddy());
	return nullptr;
}

QPushButton *button(QWidget *panel, const QString &text)
{
	for (QPushButton *b : panel->findChildren<QPushButton *>())
		if (b->text() == text)
			return b;
	return nullptr;
}

QCheckBox *checkBox(QWidget *panel, const QString &text)
{
	for (QCheckBox *c : panel->findChildren<QCheckBox *>())
		if (c->text() == text)
			return c;
	return nullptr;
}

bool hasLabel(QWidget *panel, const QString &text)
{
	for (QLabel *l : panel->findChildren<QLabel *>())
		if (l->text() == text)
			return true;
	return false;
}

QGroupBox *group(QWidget *panel, const QString &titleStart)
{
	for (QGroupBox *g : panel->findChildren<QGroupBox *>())
		if (g->title().startsWith(titleStart))
			return g;
	return nullptr;
}

QString status(PanelBase *panel)
{
	return panel->statusLabel()->text();
}

bool isError(PanelBase *panel)
{
	return panel->statusLabel()->styleSheet().contains("#d9534f");
}

void click(QAbstractButton *b)
{
	QVERIFY(b);
	// A check box only takes clicks on its box and text, which a wide
	// form row puts left of the centre.
	const QPoint at = qobject_cast<QCheckBox *>(b)
				  ? QPoint(8, b->height() / 2)
				  : b->rect().center();
	QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, at);
}

void typeInto(QLineEdit *edit, const QString &text)
{
	QVERIFY(edit);
	edit->clear();
	QTest::keyClicks(edit, text);
}

void pick(QComboBox *box, const QString &text)
{
	QVERIFY(box);
	const int index = box->findText(text);
	QVERIFY2(index >= 0, qPrintable(text));
	box->setCurrentIndex(index);
}

void savePng(QWidget *panel, const QString &name)
{
	for (int i = 0; i < 10; ++i)
		QCoreApplication::sendPostedEvents();
	const QDir out(QStringLiteral(QUILLMARCH_WIDGET_ARTIFACTS));
	QDir().mkpath(out.path());
	QVERIFY(panel->grab().save(out.filePath(name + ".png")));
}

// Answers the next modal dialog once it shows: a Yes/No question with
// `answer`, or a text prompt with `text` (accepted when answer is Yes).
void answerNext(QMessageBox::StandardButton answer,
		const QString &text = QString())
{
	QTimer::singleShot(0, [answer, text] {
		QWidget *modal = QApplication::activeModalWidget();
		if (auto *box = qobject_cast<QMessageBox *>(modal)) {
			QTest::mouseClick(box->button(answer), Qt::LeftButton);
		} else if (auto *input = qobject_cast<QInputDialog *>(modal)) {
			input->setTextValue(text);
			if (answer == QMessageBox::Yes)
				input->accept();
			else
				input->reject();
		} else {
			answerNext(answer, text);
		}
	});
}

} // namespace

class TestManagerSettings : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void settingsCascadeAndRadioFields();
	void settingsWithoutControllerList();
	void securityRefusesWeakPasswordsBeforeAnyCall();
	void updatePollersSurviveFailedPollsAndGiveUp();
	void cloudAndAdvancedActions();
};

void TestManagerSettings::settingsCascadeAndRadioFields()
{
	Rig rig;
	QVERIFY(rig.open());
	SettingsPanel panel(rig.session.get());
	SettingsPanel::Timings timings;
	timings.reloadAfterSaveMs = 0;
	panel.setTimings(timings);
	panel.resize(560, 900);
	panel.show();

	QComboBox *maker = field<QComboBox>(&panel, "Maker");
	QComboBox *model = field<QComboBox>(&panel, "Model");
	QComboBox *sport = field<QComboBox>(&panel, "Sport");
	QComboBox *input = field<QComboBox>(&panel, "Connection");
	QVERIFY(maker && model && sport && input);
	QGroupBox *radio = group(&panel, "Wireless input");
	QVERIFY(radio);

	// The device's current choice is selected all the way down.
	const QJsonObject current = sim::defaultController();
	panel.refresh();
	QTRY_COMPARE(input->currentText(),
		     current.value("input_type").toString());
	QCOMPARE(maker->currentText(),
		 current.value("manufacturer").toString());
	QCOMPARE(model->currentText(), current.value("model").toString());
	QCOMPARE(sport->currentText(), current.value("sport").toString());
	QCOMPARE(status(&panel), QString());
	QVERIFY(radio->isHidden());

	// Each maker once, although the device lists entries twice.
	QSet<QString> makers;
	for (const QJsonValue &entry : sim::controllerList())
		makers.insert(
			entry.toObject().value("manufacturer").toString());
	QCOMPARE(maker->count(), makers.size());

	// Another maker: the lists below start over at their first entry,
	// not at the device's current model and sport.
	pick(maker, "oes");
	QCOMPARE(model->currentText(), QString("ISC85X"));
	QCOMPARE(model->count(), 3);
	QCOMPARE(sport->currentText(), QString("basketball"));
	QCOMPARE(input->currentText(), QString("rs485"));
	QVERIFY(radio->isHidden());

	// A wireless Xbee input: hexadecimal fields, blank keeps the device's
	// value, and what shows after the save is read back from the device.
	pick(model, "Pro");
	QCOMPARE(input->currentText(), QString("wireless"));
	QVERIFY(!radio->isHidden());
	QCOMPARE(radio->title(), QString("Wireless input (Xbee)"));
	QLineEdit *xbeeChannel = field<QLineEdit>(&panel, "Channel");
	QLineEdit *panId = field<QLineEdit>(&panel, "PAN ID");
	QVERIFY(xbeeChannel && panId && xbeeChannel->isVisibleTo(&panel));
	QCOMPARE(xbeeChannel->text(), QString());
	typeInto(panId, "1a2b");
	savePng(&panel, "manager-settings-xbee");
	click(button(&panel, "Save settings"));
	QTRY_COMPARE(panId->text(), QString("1A2B"));
	QCOMPARE(xbeeChannel->text(), QString());
	QCOMPARE(maker->currentText(), QString("oes"));
	QCOMPARE(model->currentText(), QString("Pro"));

	typeInto(xbeeChannel, "c");
	typeInto(panId, "xyz");
	click(button(&panel, "Save settings"));
	QTRY_COMPARE(panId->text(), QString("0000"));
	QCOMPARE(xbeeChannel->text(), QString("C"));

	// An RM024 input: with automatic channel finding the channel is sent
	// as 0 whatever the box shows; without it the box is sent.
	pick(maker, "daktronics");
	pick(sport, "hockey");
	QCOMPARE(input->currentText(), QString("wireless"));
	QCOMPARE(radio->title(), QString("Wireless input (RM024)"));
	QCheckBox *autoScan =
		checkBox(&panel, "Find the channel automatically");
	QSpinBox *channel = field<QSpinBox>(&panel, "Channel (0-79)");
	QSpinBox *radioGroup = field<QSpinBox>(&panel, "Group");
	QVERIFY(autoScan && channel && radioGroup);
	QVERIFY(autoScan->isChecked());
	QVERIFY(!channel->isEnabled());
	channel->setValue(42);
	radioGroup->setValue(7);
	click(button(&panel, "Save settings"));
	QTRY_COMPARE(status(&panel), QString());
	QTRY_COMPARE(channel->value(), 0);
	QCOMPARE(radioGroup->value(), 7);

	click(autoScan);
	QVERIFY(channel->isEnabled());
	channel->setValue(42);
	click(button(&panel, "Save settings"));
	QTRY_COMPARE(channel->value(), 42);
	QTRY_COMPARE(status(&panel), QString());
	QVERIFY(!autoScan->isChecked());
	QVERIFY(channel->isEnabled());

	// A value the device refuses keeps what the panel shows.
	QGroupBox *bridge = group(&panel, "Ethernet bridge output");
	QVERIFY(bridge);
	bridge->setChecked(true);
	click(button(&panel, "Save settings"));
	QTRY_COMPARE(rig.count("setSettings!"), 1);
	QTRY_VERIFY(isError(&panel));
	QVERIFY(bridge->isChecked());
	QVERIFY(button(&panel, "Save settings")->isEnabled());
	savePng(&panel, "manager-settings-rm024");
}

void TestManagerSettings::settingsWithoutControllerList()
{
	Rig rig;
	QVERIFY(rig.open());
	rig.device.setMethodFailure("getControllerList", "internal_error");
	SettingsPanel panel(rig.session.get());
	panel.show();

	panel.refresh();
	QTRY_COMPARE(status(&panel),
		     QString("The device did not list its controllers; "
			     "scoreboard choices are unavailable."));
	for (QComboBox *box : panel.findChildren<QComboBox *>())
		QCOMPARE(box->count(), 0);
	click(button(&panel, "Save settings"));
	QCOMPARE(status(&panel),
		 QString("Choose the scoreboard's maker, model, sport and "
			 "connection first."));
	QVERIFY(isError(&panel));

	// Only the settings read itself stops the refresh.
	rig.device.setMethodFailure("getSettings", "internal_error");
	panel.refresh();
	QTRY_VERIFY(isError(&panel));
	QVERIFY(status(&panel).contains("getSettings"));
	QCOMPARE(rig.count("setSettings") + rig.count("setSettings!"), 0);
}

void TestManagerSettings::securityRefusesWeakPasswordsBeforeAnyCall()
{
	Rig rig;
	QVERIFY(rig.open());
	SecurityPanel panel(rig.session.get());
	QSignalSpy tokens(&panel, &SecurityPanel::apiToken);
	QSignalSpy passwords(&panel, &SecurityPanel::passwordChanged);
	panel.resize(560, 640);
	panel.show();

	auto *fingerprint =
		field<QLineEdit>(&panel, "Security fingerprint (SHA-256)");
	auto *token = field<QLineEdit>(&panel, "Access token");
	QVERIFY(fingerprint && token);
	panel.refresh();
	QTRY_VERIFY(!fingerprint->text().isEmpty());

	// A new token only on yes; it is shown once and handed on.
	answerNext(QMessageBox::No);
	click(button(&panel, "Make a new access token"));
	QCOMPARE(rig.count("ensureApiToken"), 0);
	answerNext(QMessageBox::Yes);
	click(button(&panel, "Make a new access token"));
	QTRY_VERIFY(!token->text().isEmpty());
	QCOMPARE(token->text(), rig.device.apiToken());
	QCOMPARE(tokens.count(), 1);
	QCOMPARE(tokens.at(0).at(0).toString(), rig.device.apiToken());

	click(button(&panel, "Show pairing passkey"));
	auto *passkey = field<QLineEdit>(&panel, "6-digit passkey");
	QTRY_COMPARE(passkey->text().size(), 6);

	auto *current = field<QLineEdit>(&panel, "Current password");
	auto *next = field<QLineEdit>(&panel,
				      "New password (at least 8 characters)");
	auto *again = field<QLineEdit>(&panel, "New password again");
	QVERIFY(current && next && again);
	const struct {
		QString current, next, again, message;
	} refused[] = {
		{"", "Rink-Side-2027", "Rink-Side-2027",
		 "Fill in the current and new password."},
		{kPassword, "Rink-Side-2027", "Rink-Side-2028",
		 "The two new passwords do not match."},
		{kPassword, "CorVALinth", "CorVALinth",
		 "Use at least 8 characters, and not the factory password."},
		{kPassword, "Rink-27", "Rink-27",
		 "Use at least 8 characters, and not the factory password."},
	};
	for (const auto &c : refused) {
		typeInto(current, c.current);
		typeInto(next, c.next);
		typeInto(again, c.again);
		click(button(&panel, "Change password"));
		QCOMPARE(status(&panel), c.message);
		QVERIFY(isError(&panel));
	}
	QCOMPARE(rig.count("changePassword") + rig.count("changePassword!"), 0);

	typeInto(current, kPassword);
	typeInto(next, "Rink-Side-2027");
	typeInto(again, "Rink-Side-2027");
	click(button(&panel, "Change password"));
	QTRY_COMPARE(status(&panel), QString("Password changed."));
	QCOMPARE(rig.device.password(), QString("Rink-Side-2027"));
	QCOMPARE(passwords.count(), 1);
	QCOMPARE(passwords.at(0).at(0).toString(), QString("Rink-Side-2027"));
	QVERIFY(current->text().isEmpty() && next->text().isEmpty() &&
		again->text().isEmpty());
	savePng(&panel, "manager-security");
}

void TestManagerSettings::updatePollersSurviveFailedPollsAndGiveUp()
{
	// The device clock stands still: the update moves only when the test
	// moves it.
	DeviceModel::Config config;
	config.operationSpeed = 0;
	Rig rig(config);
	QVERIFY(rig.open());
	UpdatesPanel panel(rig.session.get());
	UpdatesPanel::Timings timings;
	timings.pollMs = 5;
	timings.retryMs = 5;
	panel.setTimings(timings);
	panel.resize(520, 360);
	panel.show();

	QPushButton *install = button(&panel, "Install update and restart");
	QPushButton *chip = button(&panel, "Update wireless chip and restart");
	const auto bars = panel.findChildren<QProgressBar *>();
	QVERIFY(install && chip && bars.size() == 2);
	QProgressBar *firmwareBar = bars.at(0);

	panel.refresh();
	QTRY_VERIFY(
		hasLabel(&panel, "Running: " + rig.device.firmwareVersion()));
	QTRY_VERIFY(
		hasLabel(&panel, "Running: " + rig.device.config().c6Version));
	QVERIFY(!install->isEnabled());
	click(button(&panel, "Check for update"));
	QTRY_COMPARE(status(&panel),
		     QString("Version %1 is available.")
			     .arg(rig.device.config().updateVersion));
	QVERIFY(install->isEnabled());

	// Four failed polls in a row are survived; the fifth poll answers.
	int failures = 0;
	QObject::connect(&rig.device, &DeviceModel::requestHandled,
			 [&](const QString &method, bool ok) {
				 if (method != "otaProgress" || ok)
					 return;
				 if (++failures == 4)
					 rig.device.setMethodFailure(method,
								     {});
			 });
	rig.device.setMethodFailure("otaProgress", "internal_error");
	answerNext(QMessageBox::Yes);
	click(install);
	QVERIFY(!install->isEnabled());
	QTRY_COMPARE(status(&panel), QString("Downloading… 0%"));
	QCOMPARE(failures, 4);

	rig.device.skipTime(6000);
	QTRY_COMPARE(firmwareBar->value(), 50);
	QTRY_COMPARE(status(&panel), QString("Downloading… 50%"));
	rig.device.skipTime(6000);
	QTRY_COMPARE(status(&panel),
		     QString("Verifying and applying the update…"));
	QCOMPARE(firmwareBar->value(), 100);
	rig.device.skipTime(2500);
	QTRY_COMPARE(status(&panel),
		     QString("Update applied. The device is restarting – "
			     "reconnect in a minute."));
	QVERIFY(install->isEnabled());
	savePng(&panel, "manager-updates");

	// The wireless chip's poller gives up after five failed polls.
	int chipFailures = 0;
	QObject::connect(&rig.device, &DeviceModel::requestHandled,
			 [&](const QString &method, bool ok) {
				 if (method == "c6OtaStatus" && !ok)
					 ++chipFailures;
			 });
	rig.device.setMethodFailure("c6OtaStatus", "internal_error");
	answerNext(QMessageBox::Yes);
	click(chip);
	QTRY_COMPARE(status(&panel),
		     QString("Lost contact with the device (it may be "
			     "restarting)."));
	QVERIFY(isError(&panel));
	QVERIFY(chip->isEnabled());
	QCOMPARE(rig.count("c6OtaApply"), 1);
	// No poll after giving up.
	QTest::qWait(4 * timings.retryMs);
	QCOMPARE(chipFailures, UpdatesPanel::kMaxPollFailures);

	// A flash that fails its check is reported with the device's reason.
	config.c6FailAtPercent = 50;
	Rig failing(config);
	QVERIFY(failing.open());
	UpdatesPanel second(failing.session.get());
	second.setTimings(timings);
	second.show();
	QPushButton *chip2 =
		button(&second, "Update wireless chip and restart");
	answerNext(QMessageBox::Yes);
	click(chip2);
	QTRY_COMPARE(failing.count("c6OtaApply"), 1);
	failing.device.skipTime(600000);
	QTRY_COMPARE(status(&second),
		     QString("Update failed: image check failed after "
			     "flashing"));
	QVERIFY(isError(&second));
	QVERIFY(chip2->isEnabled());
}

void TestManagerSettings::cloudAndAdvancedActions()
{
	Rig rig;
	QVERIFY(rig.open());

	CloudPanel cloud(rig.session.get());
	cloud.resize(560, 520);
	cloud.show();
	auto *id = cloud.findChild<QLineEdit *>();
	QVERIFY(id);
	cloud.refresh();
	QTRY_COMPARE(id->text(), rig.device.deviceId());
	typeInto(id, "QM-00C3D4");
	click(button(&cloud, "Save device ID"));
	QTRY_COMPARE(status(&cloud), QString("Saved."));
	QCOMPARE(rig.device.deviceId(), QString("QM-00C3D4"));
	answerNext(QMessageBox::Yes);
	click(button(&cloud, "Forget cloud sign-in on this device…"));
	QTRY_COMPARE(status(&cloud),
		     QString("Done. The device no longer has cloud "
			     "credentials."));
	QVERIFY(hasLabel(&cloud,
			 "Connected to the cloud: yes\nRoute: mqtt_tls"));
	cloud.refresh();
	QTRY_VERIFY(hasLabel(&cloud, "Connected to the cloud: no"));
	savePng(&cloud, "manager-cloud");

	AdvancedPanel advanced(rig.session.get());
	advanced.resize(560, 480);
	advanced.show();
	auto *log = advanced.findChild<QPlainTextEdit *>();
	click(button(&advanced, "Show device log"));
	QVERIFY(log);
	QTRY_VERIFY(!log->toPlainText().isEmpty());
	savePng(&advanced, "manager-advanced");

	// Factory reset only on the exact word, spaces around it allowed.
	answerNext(QMessageBox::Yes, "reset");
	click(button(&advanced, "Factory reset…"));
	answerNext(QMessageBox::No, "RESET");
	click(button(&advanced, "Factory reset…"));
	QCOMPARE(rig.count("factoryReset"), 0);
	answerNext(QMessageBox::Yes, "  RESET ");
	click(button(&advanced, "Factory reset…"));
	QTRY_COMPARE(status(&advanced), QString("The device is resetting."));
	QCOMPARE(rig.count("factoryReset"), 1);
}

QTEST_MAIN(TestManagerSettings)
#include "tst_manager_settings.moc"
