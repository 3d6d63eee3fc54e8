#include "account/manage_dialog.h"

#include "app.h"
#include "catalogue/controller_catalog.h"
#include "dock/dock_style.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmarch {

namespace {

constexpr int kOutputLines = 200;
constexpr int kOutputMinHeight = 110;

// The top-level values of a status answer, one "key: value" line each in
// key order; nested objects and lists are left to the device manager.
QString statusLines(const QJsonObject &data)
{
	QStringList lines;
	for (auto it = data.begin(); it != data.end(); ++it) {
		if (it.value().isArray() || it.value().isObject())
			continue;
		lines << QStringLiteral("%1: %2").arg(
			it.key(), it.value().toVariant().toString());
	}
	return lines.join(QLatin1Char('\n'));
}

} // namespace

ManageDialog::ManageDialog(const QString &deviceId, QWidget *parent)
	: QDialog(parent),
	  m_deviceId(deviceId)
{
	setAttribute(Qt::WA_DeleteOnClose);
	setWindowTitle(tr("Manage %1").arg(deviceId));
	resize(440, 520);

	auto *layout = new QVBoxLayout(this);

	auto *heading = new QLabel(
		QStringLiteral("<b>%1</b>").arg(deviceId.toHtmlEscaped()),
		this);
	heading->setTextFormat(Qt::RichText);
	QFont headingFont = heading->font();
	headingFont.setPointSizeF(headingFont.pointSizeF() * 1.15);
	heading->setFont(headingFont);
	layout->addWidget(heading);

	m_messageLabel = new QLabel(
		tr("These actions reach the device through your Quillmarch account, so it must be online."),
		this);
	// The portal's sentences are shown as sent, never as markup.
	m_messageLabel->setTextFormat(Qt::PlainText);
	m_messageLabel->setWordWrap(true);
	m_messageLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
	layout->addWidget(m_messageLabel);

	auto *status = new QPushButton(tr("Check device status"), this);
	layout->addWidget(status);

	m_output = new QPlainTextEdit(this);
	m_output->setReadOnly(true);
	m_output->setMaximumBlockCount(kOutputLines);
	m_output->setMinimumHeight(kOutputMinHeight);
	layout->addWidget(m_output);

	auto *scoreboard = new QLabel(tr("<b>Scoreboard</b>"), this);
	scoreboard->setWordWrap(true);
	scoreboard->setTextInteractionFlags(Qt::TextSelectableByMouse);
	layout->addWidget(scoreboard);

	auto *form = new QFormLayout;
	m_manufacturerBox = new QComboBox(this);
	m_modelBox = new QComboBox(this);
	m_sportBox = new QComboBox(this);
	m_inputBox = new QComboBox(this);
	form->addRow(tr("Manufacturer"), m_manufacturerBox);
	form->addRow(tr("Model"), m_modelBox);
	form->addRow(tr("Sport"), m_sportBox);
	form->addRow(tr("Input type"), m_inputBox);
	layout->addLayout(form);

	auto *change = new QPushButton(tr("Change scoreboard"), this);
	layout->addWidget(change);

	auto *row = new QHBoxLayout;
	auto *update = new QPushButton(tr("Check for update"), this);
	auto *restart = new QPushButton(tr("Restart device"), this);
	row->addWidget(update);
	row->addWidget(restart);
	layout->addLayout(row);
	layout->addStretch();

	m_actionButtons = {status, change, update, restart};

	const ControllerCatalog &catalog = controllerCatalog();
	for (auto it = catalog.begin(); it != catalog.end(); ++it)
		m_manufacturerBox->addItem(it->label, it.key());
	fillForManufacturer();

	connect(m_manufacturerBox,
		QOverload<int>::of(&QComboBox::currentIndexChanged), this,
		&ManageDialog::fillForManufacturer);
	connect(status, &QPushButton::clicked, this,
		&ManageDialog::checkStatus);
	connect(change, &QPushButton::clicked, this,
		&ManageDialog::changeScoreboard);
	connect(update, &QPushButton::clicked, this,
		&ManageDialog::checkUpdate);
	connect(restart, &QPushButton::clicked, this,
		&ManageDialog::restartDevice);
}

void ManageDialog::setMessage(const QString &text, bool isError)
{
	m_messageLabel->setText(text);
	m_messageLabel->setStyleSheet(
		isError ? QLatin1String(dockstyle::kErrorText) : QString());
}

void ManageDialog::fillForManufacturer()
{
	m_modelBox->clear();
	m_inputBox->clear();
	m_sportBox->clear();
	const ControllerCatalog &catalog = controllerCatalog();
	const auto it =
		catalog.constFind(m_manufacturerBox->currentData().toString());
	if (it == catalog.constEnd())
		return;
	m_modelBox->addItems(it->models);
	for (const QString &sport :
	     it->sports.isEmpty() ? allSports() : it->sports)
		m_sportBox->addItem(sportLabel(sport), sport);
	for (const QString &input : it->inputs)
		m_inputBox->addItem(inputTypeLabel(input), input);
}

void ManageDialog::setBusy(bool busy)
{
	for (QPushButton *b : m_actionButtons)
		b->setEnabled(!busy);
}

void ManageDialog::start(const QString &busyText, const Request &request,
			 SuccessCallback onSuccess)
{
	App *app = App::get();
	if (!app) {
		setMessage(
			tr("Quillmarch is still starting. Try again in a moment."),
			true);
		return;
	}
	setMessage(busyText);
	setBusy(true);
	QPointer<ManageDialog> self(this);
	request([self, onSuccess](const PortalResult &result) {
		// The window may have been closed while the device answered.
		if (!self)
			return;
		self->setBusy(false);
		if (!result.ok) {
			self->setMessage(result.message, true);
			return;
		}
		if (onSuccess)
			onSuccess(result);
	});
}

void ManageDialog::run(const QString &command, const QJsonObject &args,
		       const QString &busyText, SuccessCallback onSuccess)
{
	const QString id = m_deviceId;
	start(
		busyText,
		[id, command, args](PortalClient::Callback done) {
			App::get()->portal().sendCommand(id, command, args,
							 std::move(done));
		},
		std::move(onSuccess));
}

void ManageDialog::checkStatus()
{
	run(QStringLiteral("get_status"), QJsonObject(),
	    tr("Asking the device\u2026"), [this](const PortalResult &r) {
		    const QString lines = statusLines(
			    r.body.value(QLatin1String("data")).toObject());
		    m_output->setPlainText(lines.isEmpty()
						   ? tr("The device answered.")
						   : lines);
		    setMessage(tr("Status received."));
	    });
}

void ManageDialog::changeScoreboard()
{
	const QString id = m_deviceId;
	const QJsonObject config{
		{QStringLiteral("manufacturer"),
		 m_manufacturerBox->currentData().toString()},
		{QStringLiteral("model"), m_modelBox->currentText()},
		{QStringLiteral("sport"), m_sportBox->currentData().toString()},
		{QStringLiteral("input_type"),
		 m_inputBox->currentData().toString()},
	};
	start(
		tr("Sending to the device\u2026"),
		[id, config](PortalClient::Callback done) {
			App::get()->portal().setConfig(id, config,
						       std::move(done));
		},
		[this](const PortalResult &) {
			setMessage(
				tr("The device accepted the new scoreboard."));
		});
}

void ManageDialog::checkUpdate()
{
	run(QStringLiteral("ota_check"), QJsonObject(),
	    tr("Checking for a firmware update\u2026"),
	    [this](const PortalResult &r) {
		    const QJsonObject data =
			    r.body.value(QLatin1String("data")).toObject();
		    m_output->setPlainText(QString::fromUtf8(
			    QJsonDocument(data)
				    .toJson(QJsonDocument::Indented)
				    .trimmed()));
		    setMessage(tr("Update check finished."));
	    });
}

void ManageDialog::restartDevice()
{
	const auto answer = QMessageBox::question(
		this, tr("Restart device"),
		tr("Restart %1 now? Live scores pause for about a minute.")
			.arg(m_deviceId),
		QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
	if (answer != QMessageBox::Yes)
		return;
	run(QStringLiteral("reboot"), QJsonObject(), tr("Restarting\u2026"),
	    [this](const PortalResult &r) {
		    setMessage(
			    r.body.value(QLatin1String("queued")).toBool()
				    ? tr("The device is offline; it will restart when it reconnects.")
				    : tr("Restart sent."));
	    });
}

} // namespace quillmarch
