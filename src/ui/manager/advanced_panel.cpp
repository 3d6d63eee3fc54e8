#include "advanced_panel.h"

#include "admin/device_session.h"

#include <QHBoxLayout>
#include <QInputDialog>
#include <QJsonDocument>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmarch {

namespace {

constexpr int kCallMs = 20000;
// The device gathers its log from flash, which takes a while.
constexpr int kLogCallMs = 30000;

} // namespace

AdvancedPanel::AdvancedPanel(DeviceSession *session, QWidget *parent)
	: PanelBase(session, parent)
{
	auto *layout = new QVBoxLayout(this);

	auto *row = new QHBoxLayout;
	auto *restartButton = new QPushButton(tr("Restart device"), this);
	auto *logButton = new QPushButton(tr("Show device log"), this);
	row->addWidget(restartButton);
	row->addWidget(logButton);
	row->addStretch();
	layout->addLayout(row);

	layout->addWidget(new QLabel(tr("<b>Danger zone</b>"), this));
	auto *dangerRow = new QHBoxLayout;
	auto *resetPasswordButton = new QPushButton(
		tr("Reset admin password to the factory password…"), this);
	auto *factoryResetButton = new QPushButton(tr("Factory reset…"), this);
	dangerRow->addWidget(resetPasswordButton);
	dangerRow->addWidget(factoryResetButton);
	dangerRow->addStretch();
	layout->addLayout(dangerRow);

	m_log = new QPlainTextEdit(this);
	m_log->setReadOnly(true);
	layout->addWidget(m_log, 1);
	layout->addWidget(statusLabel());

	connect(restartButton, &QPushButton::clicked, this,
		&AdvancedPanel::restart);
	connect(logButton, &QPushButton::clicked, this,
		&AdvancedPanel::showLog);
	connect(resetPasswordButton, &QPushButton::clicked, this,
		&AdvancedPanel::resetPassword);
	connect(factoryResetButton, &QPushButton::clicked, this,
		&AdvancedPanel::factoryReset);
}

void AdvancedPanel::refresh() {}

void AdvancedPanel::restart()
{
	if (!ask(tr("Restart device"),
		 tr("Restart the device now? Live scores pause for about a minute.")))
		return;
	// The question may have stayed open while the device went away.
	DeviceSession *s = session();
	if (!s)
		return;
	QPointer<AdvancedPanel> self(this);
	s->reboot([self](bool ok, const QString &message) {
		if (!self)
			return;
		if (ok)
			self->setMessage(tr("Restarting…"));
		else
			self->setMessage(message, true);
	});
}

void AdvancedPanel::showLog()
{
	setMessage(tr("Reading the log…"));
	call(
		QStringLiteral("getLogs"), {},
		[this](const RpcResult &r) {
			if (!r.ok) {
				setMessage(r.message, true);
				return;
			}
			const QString logs =
				r.result.value(QStringLiteral("logs"))
					.toString();
			m_log->setPlainText(
				!logs.isEmpty()
					? logs
					: QString::fromUtf8(
						  QJsonDocument(r.result).toJson(
							  QJsonDocument::
								  Indented)));
			setMessage(QString());
		},
		kLogCallMs);
}

void AdvancedPanel::resetPassword()
{
	if (!ask(tr("Reset admin password"),
		 tr("Set the admin password back to the factory password? You will be asked to choose a new one next time.")))
		return;
	call(
		QStringLiteral("resetLocalPassword"),
		{{QStringLiteral("confirm"), true}},
		[this](const RpcResult &r) {
			if (r.ok)
				setMessage(tr("Password reset."));
			else
				setMessage(r.message, true);
		},
		kCallMs);
}

void AdvancedPanel::factoryReset()
{
	bool accepted = false;
	const QString word = QInputDialog::getText(
		this, tr("Factory reset"),
		tr("This erases every setting on the device, including Wi-Fi and its cloud sign-in.\n\nType RESET to continue."),
		QLineEdit::Normal, QString(), &accepted);
	// Only the exact word: a slip of the keyboard must not erase a device.
	if (!accepted || word.trimmed() != QLatin1String("RESET"))
		return;
	call(
		QStringLiteral("factoryReset"),
		{{QStringLiteral("confirm"), true}},
		[this](const RpcResult &r) {
			if (r.ok)
				setMessage(tr("The device is resetting."));
			else
				setMessage(r.message, true);
		},
		kCallMs);
}

} // namespace quillmarch
