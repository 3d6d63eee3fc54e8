// The manage-through-account dialog offscreen, driven by clicks against the
// in-process portal simulator, with the application signed in as a user
// whose account holds an online and an offline device.

#include "account/manage_dialog.h"
#include "app.h"
#include "portal_sim.h"

#include "support/await.h"
#include "support/temp_environment.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace quillmarch;
using quillmarch::portalsim::FaultRule;
using quillmarch::portalsim::HttpReply;
using quillmarch::portalsim::PortalSim;

namespace {

using quillmarch::test::TempEnvironment;

const QString kOnline = QStringLiteral("QM-7F3A21");
const QString kOffline = QStringLiteral("QM-2B9C04");
const QString kIntro = QStringLiteral(
	"These actions reach the device through your Quillmarch account, so it must be online.");
const QString kRed = QStringLiteral("color: #d9534f;");

// One open dialog and the widgets a user looks at.
struct Window {
	QPointer<ManageDialog> dialog;
	QLabel *message = nullptr;
	QPlainTextEdit *output = nullptr;

	explicit Window(const QString &deviceId)
		: dialog(new ManageDialog(deviceId))
	{
		dialog->show();
		for (QLabel *l : dialog->findChildren<QLabel *>())
			if (l->text() == kIntro)
				message = l;
		output = dialog->findChild<QPlainTextEdit *>();
	}
	~Window() { delete dialog; }

	QPushButton *button(const QString &text) const
	{
		for (QPushButton *b : dialog->findChildren<QPushButton *>())
			if (b->text() == text)
				return b;
		return nullptr;
	}
	QStringList disabledActions() const
	{
		QStringList out;
		for (const char *t :
		     {"Check device status", "Change scoreboard",
		      "Check for update", "Restart device"})
			if (!button(t)->isEnabled())
				out << t;
		return out;
	}
	// The drop-down list of a form row.
	QComboBox *box(const QString &row) const
	{
		for (QLabel *l : dialog->findChildren<QLabel *>())
			if (l->text() == row)
				return qobject_cast<QComboBox *>(l->buddy());
		return nullptr;
	}
	QStringList texts(const QString &row) const
	{
		QStringList out;
		QComboBox *b = box(row);
		for (int i = 0; i < b->count(); ++i)
			out << b->itemText(i);
		return out;
	}
	void choose(const QString &row, const QString &text) const
	{
		QComboBox *b = box(row);
		b->setCurrentIndex(b->findText(text));
	}
	bool waitIdle() const
	{
		return QTest::qWaitFor(
			[this] { return disabledActions().isEmpty(); });
	}
	void savePng(const QString &name) const
	{
		for (int i = 0; i < 10; ++i)
			QCoreApplication::sendPostedEvents();
		const QDir out(QStringLiteral(QUILLMARCH_WIDGET_ARTIFACTS));
		QDir().mkpath(out.path());
		QVERIFY(dialog->grab().save(out.filePath(name + ".png")));
	}
};

// Answers the next Yes/No question with `answer` once it shows, and keeps
// its text.
void answerNextQuestion(QMessageBox::StandardButton answer, QString *text)
{
	QTimer::singleShot(0, [answer, text] {
		auto *box = qobject_cast<QMessageBox *>(
			QApplication::activeModalWidget());
		if (!box) {
			answerNextQuestion(answer, text);
			return;
		}
		*text = box->windowTitle() + " | " + box->text();
		QTest::mouseClick(box->button(answer), Qt::LeftButton);
	});
}

} // namespace

class TestManageDialog : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase();
	void cleanupTestCase();
	void statusUpdateAndScoreboard();
	void restartAndFailures();

private:
	QTemporaryDir m_dir;
	PortalSim m_sim;

	int commandsTo(const QString &deviceId, const char *command) const
	{
		return m_sim
			.requestsTo("POST", "/devices/" + deviceId.toUtf8() +
						    "/cmd/" + command)
			.size();
	}
};

void TestManageDialog::initTestCase()
{
	QString error;
	QVERIFY2(m_sim.start(0, portalsim::PortalSimOptions(), &error),
		 qPrintable(error));
	App::init(std::make_unique<TempEnvironment>(m_dir.path(),
						    m_sim.baseUrl()));
	QVERIFY(App::ready());
	QVERIFY(test::awaitResult<PortalResult>([](auto done) {
		App::get()->portal().signIn("coach@example.com", "bleachers",
					    done);
	}));
	QVERIFY(App::get()->portal().isSignedIn());
}

void TestManageDialog::cleanupTestCase()
{
	App::shutdown();
}

// A user reads the device's status, checks for an update and moves the
// device to another scoreboard.
void TestManageDialog::statusUpdateAndScoreboard()
{
	Window w(kOnline);

	// While the request runs no action can be started.
	QTest::mouseClick(w.button("Check device status"), Qt::LeftButton);
	QCOMPARE(w.message->text(), QString("Asking the device\u2026"));
	QCOMPARE(w.disabledActions().size(), 4);
	QTest::mouseClick(w.button("Check for update"), Qt::LeftButton);
	QVERIFY(w.waitIdle());
	QCOMPARE(commandsTo(kOnline, "ota_check"), 0);
	QCOMPARE(w.message->text(), QString("Status received."));
	QCOMPARE(w.message->styleSheet(), QString());
	const QStringList lines = w.output->toPlainText().split('\n');
	QVERIFY2(lines.contains("device_id: " + kOnline) &&
			 lines.contains("wifi_rssi: -58"),
		 qPrintable(lines.join('\n')));
	// The nested configuration is not flattened into the lines.
	QVERIFY(!w.output->toPlainText().contains("config"));
	w.savePng("manage-dialog-status");

	// A status answer with nothing but nested values.
	m_sim.addFault(FaultRule{
		"POST", "/devices/" + kOnline + "/cmd/get_status", 1,
		HttpReply::json(
			200,
			QJsonObject{
				{"ok", true},
				{"data",
				 QJsonObject{{"config",
					      QJsonObject{{"sport", "hockey"}}},
					     {"peers", QJsonArray{1, 2}}}}})});
	QTest::mouseClick(w.button("Check device status"), Qt::LeftButton);
	QVERIFY(w.waitIdle());
	QCOMPARE(w.output->toPlainText(), QString("The device answered."));

	QTest::mouseClick(w.button("Check for update"), Qt::LeftButton);
	QCOMPARE(w.message->text(),
		 QString("Checking for a firmware update\u2026"));
	QVERIFY(w.waitIdle());
	QCOMPARE(w.message->text(), QString("Update check finished."));
	QVERIFY2(
		w.output->toPlainText().contains("\n    \"latest\": \"1.4.2\""),
		qPrintable(w.output->toPlainText()));

	// Makers come from the catalogue; one that lists no sports offers
	// them all.
	QCOMPARE(w.dialog->windowTitle(), "Manage " + kOnline);
	w.choose("Manufacturer", "Electromech");
	QCOMPARE(w.texts("Sport"), QStringList{"Football"});
	QCOMPARE(w.texts("Input type"), QStringList{"Current loop (CL)"});
	w.choose("Manufacturer", "Quillmarch wireless / ethernet bridge");
	QCOMPARE(w.texts("Sport"),
		 (QStringList{"Basketball", "Football", "Baseball",
			      "Volleyball", "Soccer", "Hockey", "Lacrosse",
			      "Wrestling"}));
	QCOMPARE(w.texts("Input type").at(9), QString("Wireless channel 10"));

	w.choose("Manufacturer", "OES");
	w.choose("Model", "ISC9000");
	w.choose("Sport", "Volleyball");
	w.choose("Input type", "RS-485");
	QTest::mouseClick(w.button("Change scoreboard"), Qt::LeftButton);
	QCOMPARE(w.message->text(), QString("Sending to the device\u2026"));
	QCOMPARE(w.disabledActions().size(), 4);
	QVERIFY(w.waitIdle());
	QCOMPARE(w.message->text(),
		 QString("The device accepted the new scoreboard."));
	const QJsonObject config = m_sim.state().device(kOnline)->config;
	QCOMPARE(config.value("manufacturer").toString(), QString("oes"));
	QCOMPARE(config.value("model").toString(), QString("ISC9000"));
	QCOMPARE(config.value("sport").toString(), QString("volleyball"));
	QCOMPARE(config.value("input_type").toString(), QString("rs485"));
}

// Restarting asks first; an offline device queues the restart but cannot
// answer anything else, and a closed window ignores a late answer.
void TestManageDialog::restartAndFailures()
{
	Window w(kOffline);
	QString question;

	answerNextQuestion(QMessageBox::No, &question);
	QTest::mouseClick(w.button("Restart device"), Qt::LeftButton);
	QCOMPARE(question,
		 "Restart device | Restart " + kOffline +
			 " now? Live scores pause for about a minute.");
	QCOMPARE(w.message->text(), kIntro);
	QCOMPARE(w.disabledActions(), QStringList());
	QCOMPARE(commandsTo(kOffline, "reboot"), 0);

	answerNextQuestion(QMessageBox::Yes, &question);
	QTest::mouseClick(w.button("Restart device"), Qt::LeftButton);
	QCOMPARE(w.message->text(), QString("Restarting\u2026"));
	QVERIFY(w.waitIdle());
	QCOMPARE(
		w.message->text(),
		QString("The device is offline; it will restart when it reconnects."));
	QCOMPARE(commandsTo(kOffline, "reboot"), 1);

	// A failure shows the portal's sentence in red and keeps the output.
	w.output->setPlainText("earlier answer");
	QTest::mouseClick(w.button("Check device status"), Qt::LeftButton);
	QVERIFY(w.waitIdle());
	QCOMPARE(
		w.message->text(),
		QString("The device did not answer. Check that it is powered on and online."));
	QCOMPARE(w.message->styleSheet(), kRed);
	QCOMPARE(w.output->toPlainText(), QString("earlier answer"));
	w.savePng("manage-dialog-offline");

	// Closed while the portal is still answering: the answer finds no
	// window and is dropped.
	m_sim.addFault(FaultRule{
		"POST", "/devices/*/cmd/ota_check", 1,
		HttpReply::json(200, QJsonObject{{"ok", true}}).after(100)});
	QSignalSpy finished(App::get()->portal().manager(),
			    &QNetworkAccessManager::finished);
	QTest::mouseClick(w.button("Check for update"), Qt::LeftButton);
	w.dialog->close();
	QTRY_VERIFY(!w.dialog);
	QTRY_COMPARE(finished.count(), 1);
	QCOMPARE(commandsTo(kOffline, "ota_check"), 1);
}

int main(int argc, char **argv)
{
	QApplication app(argc, argv);
	TestManageDialog test;
	return QTest::qExec(&test, argc, argv);
}

#include "tst_manage_dialog.moc"
