// The setup dialog's seven pages: their widgets, texts and the buttons'
// wiring, and what the receiver and done pages do.
// Connecting, signing in and moving between the pages live in
// setup_dialog.cpp.
#include "setup/setup_dialog.h"

#include "app.h"
#include "dock/dock_style.h"
#include "manager/share_panel.h"
#include "usb/usb_link.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QJsonObject>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QVBoxLayout>

namespace quillmarch {

namespace {

// A word-wrapped label for sentences that come from devices and the
// portal: shown as sent, never read as markup.
QLabel *plainLine(QWidget *parent, const QString &text = QString())
{
	auto *label = new QLabel(text, parent);
	label->setTextFormat(Qt::PlainText);
	label->setWordWrap(true);
	label->setTextInteractionFlags(Qt::TextSelectableByMouse);
	return label;
}

// A push button whose long text wraps onto more lines instead of widening
// the window or being cut off (OBS's fonts are wider than Qt's defaults).
// The button keeps its text for accessibility; a word-wrapped label draws it.
class WrappingButton : public QPushButton {
public:
	WrappingButton(const QString &text, QWidget *parent)
		: QPushButton(text, parent),
		  m_label(new QLabel(text, this))
	{
		m_label->setTextFormat(Qt::PlainText);
		m_label->setWordWrap(true);
		m_label->setAlignment(Qt::AlignCenter);
		m_label->setAttribute(Qt::WA_TransparentForMouseEvents);
		auto *layout = new QHBoxLayout(this);
		layout->setContentsMargins(10, 5, 10, 5);
		layout->addWidget(m_label);
	}

	QSize sizeHint() const override { return layout()->sizeHint(); }
	QSize minimumSizeHint() const override
	{
		return layout()->minimumSize();
	}

protected:
	void paintEvent(QPaintEvent *) override
	{
		QStylePainter painter(this);
		QStyleOptionButton option;
		initStyleOption(&option);
		option.text.clear();
		painter.drawControl(QStyle::CE_PushButton, option);
	}

private:
	QLabel *m_label;
};

QPushButton *wideButton(const QString &text, QWidget *parent)
{
	return new WrappingButton(text, parent);
}

QLineEdit *maskedField(const QString &placeholder, QWidget *parent)
{
	auto *field = new QLineEdit(parent);
	field->setEchoMode(QLineEdit::Password);
	field->setPlaceholderText(placeholder);
	return field;
}

} // namespace

QLabel *SetupDialog::title(const QString &text, QWidget *parent)
{
	auto *label = new QLabel(QStringLiteral("<b>%1</b>").arg(text), parent);
	label->setTextFormat(Qt::RichText);
	label->setWordWrap(true);
	QFont font = label->font();
	font.setPointSizeF(font.pointSizeF() * 1.15);
	label->setFont(font);
	return label;
}

QWidget *SetupDialog::buildConnectPage()
{
	auto *page = new QWidget(m_pages);
	auto *layout = new QVBoxLayout(page);
	layout->addWidget(title(tr("Connect to your device"), page));
	auto *intro = new QLabel(
		tr("You do not need a Quillmarch account for this. Connect with a USB cable, Bluetooth, or over your local network."),
		page);
	intro->setWordWrap(true);
	layout->addWidget(intro);

	auto *modes = new QHBoxLayout;
	m_usbMode = new QRadioButton(tr("USB cable"), page);
	m_bleMode = new QRadioButton(tr("Bluetooth"), page);
	m_lanMode = new QRadioButton(tr("Local network"), page);
	// Checked before the buttons are wired: the first scan waits for
	// the event loop, when the whole page exists.
	m_usbMode->setChecked(true);
	auto *group = new QButtonGroup(page);
	for (QRadioButton *radio : {m_usbMode, m_bleMode, m_lanMode}) {
		group->addButton(radio);
		modes->addWidget(radio);
		connect(radio, &QRadioButton::toggled, this,
			[this](bool checked) {
				if (checked)
					scan();
			});
	}
	modes->addStretch();
	layout->addLayout(modes);

	m_connectHint = dockstyle::hintLabel(QString(), page);
	layout->addWidget(m_connectHint);

	m_list = new QListWidget(page);
	m_list->setObjectName(QStringLiteral("deviceList"));
	m_list->setSelectionMode(QAbstractItemView::SingleSelection);
	layout->addWidget(m_list, 1);
	connect(m_list, &QListWidget::itemSelectionChanged, this,
		&SetupDialog::updateConnectEnabled);
	connect(m_list, &QListWidget::itemDoubleClicked, this,
		&SetupDialog::beginConnect);

	m_addressRow = new QWidget(page);
	auto *addressLayout = new QHBoxLayout(m_addressRow);
	addressLayout->setContentsMargins(0, 0, 0, 0);
	m_address = new QComboBox(m_addressRow);
	m_address->setObjectName(QStringLiteral("address"));
	m_address->setEditable(true);
	m_address->setInsertPolicy(QComboBox::NoInsert);
	m_address->lineEdit()->setPlaceholderText(
		tr("Device number or address, e.g. 0029 or 192.168.1.20"));
	addressLayout->addWidget(m_address);
	m_addressRow->hide();
	layout->addWidget(m_addressRow);
	connect(m_address, &QComboBox::editTextChanged, this,
		&SetupDialog::updateConnectEnabled);
	connect(m_address->lineEdit(), &QLineEdit::returnPressed, this,
		&SetupDialog::beginConnect);

	m_connectMessage = plainLine(page);
	layout->addWidget(m_connectMessage);
	// Takes the list's room in network mode, where the list is hidden.
	layout->addStretch(0);

	auto *buttons = new QHBoxLayout;
	m_scanAgain = new QPushButton(tr("Scan again"), page);
	m_connect = new QPushButton(tr("Connect"), page);
	m_connect->setDefault(true);
	m_connect->setEnabled(false);
	buttons->addWidget(m_scanAgain);
	buttons->addStretch();
	buttons->addWidget(m_connect);
	layout->addLayout(buttons);
	connect(m_scanAgain, &QPushButton::clicked, this, &SetupDialog::scan);
	connect(m_connect, &QPushButton::clicked, this,
		&SetupDialog::beginConnect);
	return page;
}

QWidget *SetupDialog::buildSignInPage()
{
	auto *page = new QWidget(m_pages);
	auto *layout = new QVBoxLayout(page);
	m_signInTitle = title(tr("Connecting…"), page);
	layout->addWidget(m_signInTitle);
	m_signInMessage = plainLine(page);
	layout->addWidget(m_signInMessage);
	m_busy = new QProgressBar(page);
	m_busy->setRange(0, 0);
	m_busy->setTextVisible(false);
	layout->addWidget(m_busy);

	m_passwordBox = new QWidget(page);
	auto *passwordLayout = new QVBoxLayout(m_passwordBox);
	passwordLayout->setContentsMargins(0, 0, 0, 0);
	auto *passwordText = new QLabel(
		tr("Enter this device's admin password. The factory password did not work."),
		m_passwordBox);
	passwordText->setWordWrap(true);
	passwordLayout->addWidget(passwordText);
	m_password = maskedField(tr("Device admin password"), m_passwordBox);
	m_password->setObjectName(QStringLiteral("password"));
	passwordLayout->addWidget(m_password);
	auto *signIn = new QPushButton(tr("Sign in to device"), m_passwordBox);
	passwordLayout->addWidget(signIn, 0, Qt::AlignLeft);
	m_passwordBox->hide();
	layout->addWidget(m_passwordBox);
	connect(signIn, &QPushButton::clicked, this, &SetupDialog::signIn);
	connect(m_password, &QLineEdit::returnPressed, this,
		&SetupDialog::signIn);

	m_newPasswordBox = new QWidget(page);
	auto *newLayout = new QVBoxLayout(m_newPasswordBox);
	newLayout->setContentsMargins(0, 0, 0, 0);
	auto *newText = new QLabel(
		tr("This device still has its factory password. Choose a new admin password (at least 8 characters)."),
		m_newPasswordBox);
	newText->setWordWrap(true);
	newLayout->addWidget(newText);
	m_newPassword = maskedField(tr("New admin password"), m_newPasswordBox);
	m_newPassword->setObjectName(QStringLiteral("newPassword"));
	newLayout->addWidget(m_newPassword);
	m_newPasswordAgain = maskedField(tr("Type it again"), m_newPasswordBox);
	m_newPasswordAgain->setObjectName(QStringLiteral("newPasswordAgain"));
	newLayout->addWidget(m_newPasswordAgain);
	auto *setPassword =
		new QPushButton(tr("Set password"), m_newPasswordBox);
	newLayout->addWidget(setPassword, 0, Qt::AlignLeft);
	m_newPasswordBox->hide();
	layout->addWidget(m_newPasswordBox);
	connect(setPassword, &QPushButton::clicked, this,
		&SetupDialog::setNewPassword);

	layout->addStretch();
	auto *cancel = new QPushButton(tr("Cancel"), page);
	layout->addWidget(cancel, 0, Qt::AlignRight);
	connect(cancel, &QPushButton::clicked, this,
		&SetupDialog::cancelConnect);
	return page;
}

QWidget *SetupDialog::buildWifiPage()
{
	auto *page = new QWidget(m_pages);
	auto *layout = new QVBoxLayout(page);
	layout->addWidget(title(tr("Connect the device to Wi-Fi"), page));
	m_wifiPlace = new QVBoxLayout;
	layout->addLayout(m_wifiPlace, 1);
	auto *skip = wideButton(
		tr("Skip – use this computer's internet over USB, or the device already has Wi-Fi"),
		page);
	layout->addWidget(skip);
	connect(skip, &QPushButton::clicked, this,
		[this] { loadControllerPage(); });
	return page;
}

QWidget *SetupDialog::buildControllerPage()
{
	auto *page = new QWidget(m_pages);
	auto *layout = new QVBoxLayout(page);
	layout->addWidget(title(tr("Choose the scoreboard"), page));
	m_controllerPlace = new QVBoxLayout;
	layout->addLayout(m_controllerPlace, 1);
	auto *skip = new QPushButton(tr("Skip"), page);
	layout->addWidget(skip, 0, Qt::AlignRight);
	connect(skip, &QPushButton::clicked, this, &SetupDialog::showDone);
	return page;
}

QWidget *SetupDialog::buildReceiverPage()
{
	auto *page = new QWidget(m_pages);
	auto *layout = new QVBoxLayout(page);
	layout->addWidget(title(tr("Wireless receiver"), page));
	m_receiverStatus = plainLine(page);
	m_receiverStatus->setObjectName(QStringLiteral("receiverStatus"));
	layout->addWidget(m_receiverStatus);
	m_receiverNote = plainLine(page);
	m_receiverNote->setObjectName(QStringLiteral("receiverNote"));
	layout->addWidget(m_receiverNote);
	m_share = new SharePanel(page);
	layout->addWidget(m_share);

	auto *newKey = new QPushButton(tr("Make a new pairing key"), page);
	layout->addWidget(newKey, 0, Qt::AlignLeft);
	auto *keyRow = new QHBoxLayout;
	m_pairingKey = new QLineEdit(page);
	m_pairingKey->setObjectName(QStringLiteral("pairingKey"));
	m_pairingKey->setPlaceholderText(
		tr("…or enter an existing 32-character key"));
	keyRow->addWidget(m_pairingKey, 1);
	auto *useKey = new QPushButton(tr("Use this key"), page);
	keyRow->addWidget(useKey);
	layout->addLayout(keyRow);
	layout->addStretch();
	auto *live =
		wideButton(tr("Use this receiver's live scores in OBS"), page);
	layout->addWidget(live);
	auto *manage = wideButton(
		tr("Set up or manage the paired Quillmarch device through this receiver…"),
		page);
	layout->addWidget(manage);

	connect(newKey, &QPushButton::clicked, this,
		[this] { sendReceiverKey(QString(), true); });
	connect(useKey, &QPushButton::clicked, this,
		[this] { sendReceiverKey(m_pairingKey->text(), false); });
	connect(live, &QPushButton::clicked, this, [this] {
		useInObs(m_label.isEmpty() ? tr("wireless receiver") : m_label);
	});
	connect(manage, &QPushButton::clicked, this,
		&SetupDialog::manageThroughReceiver);
	return page;
}

QWidget *SetupDialog::buildDonePage()
{
	auto *page = new QWidget(m_pages);
	auto *layout = new QVBoxLayout(page);
	layout->addWidget(title(tr("All set"), page));
	m_summary = plainLine(page);
	m_summary->setObjectName(QStringLiteral("summary"));
	layout->addWidget(m_summary);
	auto *live =
		wideButton(tr("Use this device's live scores in OBS"), page);
	layout->addWidget(live);
	auto *more = wideButton(tr("More settings and tools…"), page);
	layout->addWidget(more);

	m_claimCode = new QLineEdit(page);
	m_claimCode->setObjectName(QStringLiteral("claimCode"));
	m_claimCode->setPlaceholderText(
		tr("Claim code from the device's box or account email"));
	m_claimCode->hide();
	layout->addWidget(m_claimCode);
	m_claim = wideButton(tr("Add this device to my account"), page);
	m_claim->hide();
	layout->addWidget(m_claim);
	layout->addStretch();
	auto *closeButton = new QPushButton(tr("Close"), page);
	layout->addWidget(closeButton, 0, Qt::AlignRight);

	connect(live, &QPushButton::clicked, this,
		[this] { useInObs(deviceIdOrLabel()); });
	connect(more, &QPushButton::clicked, this, &SetupDialog::openManager);
	connect(m_claim, &QPushButton::clicked, this,
		&SetupDialog::claimDevice);
	connect(closeButton, &QPushButton::clicked, this, &QDialog::close);
	return page;
}

QWidget *SetupDialog::buildManagerPage()
{
	auto *page = new QWidget(m_pages);
	auto *layout = new QVBoxLayout(page);
	m_managerTitle = title(QString(), page);
	layout->addWidget(m_managerTitle);
	m_managerPlace = new QVBoxLayout;
	layout->addLayout(m_managerPlace, 1);
	auto *buttons = new QHBoxLayout;
	auto *live = new QPushButton(tr("Use live scores in OBS"), page);
	auto *disconnectButton = new QPushButton(tr("Disconnect"), page);
	buttons->addWidget(live);
	buttons->addStretch();
	buttons->addWidget(disconnectButton);
	layout->addLayout(buttons);
	connect(live, &QPushButton::clicked, this,
		[this] { useInObs(deviceIdOrLabel()); });
	connect(disconnectButton, &QPushButton::clicked, this,
		&SetupDialog::disconnectDevice);
	return page;
}

void SetupDialog::updateReceiverText()
{
	auto *usb = m_session ? qobject_cast<UsbLink *>(m_session->link())
			      : nullptr;
	if (!usb)
		return;
	m_share->setLink(usb, true);
	const QJsonObject status = usb->receiverStatus();
	const bool configured =
		status.value(QStringLiteral("configured")).toBool();
	QStringList lines;
	lines << (configured ? tr("Paired with a device.")
			     : tr("Not paired yet."));
	if (configured)
		lines << (status.value(QStringLiteral("link")).toBool()
				  ? tr("Receiving from the device now.")
				  : tr("Not hearing the device right now."));
	const auto text = [&status](const char *key) {
		return status.value(QLatin1String(key)).toVariant().toString();
	};
	if (status.contains(QStringLiteral("rssi")))
		lines << tr("Signal: %1 dBm").arg(text("rssi"));
	if (status.contains(QStringLiteral("channel")))
		lines << tr("Channel: %1").arg(text("channel"));
	if (status.contains(QStringLiteral("fw")))
		lines << tr("Firmware: %1").arg(text("fw"));
	m_receiverStatus->setText(lines.join(QLatin1Char('\n')));
}

void SetupDialog::sendReceiverKey(const QString &key, bool generate)
{
	auto *usb = m_session ? qobject_cast<UsbLink *>(m_session->link())
			      : nullptr;
	if (!usb)
		return;
	m_receiverNote->setText(tr("Sending to the receiver…"));
	const QPointer<SetupDialog> self(this);
	usb->receiverSet(
		key, generate, 0,
		[self](bool ok, const QString &newKey, const QString &error) {
			if (!self)
				return;
			if (!ok)
				self->m_receiverNote->setText(error);
			else if (!newKey.isEmpty())
				self->m_receiverNote->setText(
					tr("New pairing key (write this down and enter it on the sending device):\n%1")
						.arg(newKey));
			else
				self->m_receiverNote->setText(tr(
					"Saved. The receiver restarts to apply it."));
		});
}

void SetupDialog::manageThroughReceiver()
{
	if (!m_session)
		return;
	m_readySession = nullptr;
	m_accountPasswordTried = false;
	m_password->clear();
	m_passwordBox->hide();
	m_newPasswordBox->hide();
	m_busy->show();
	setSignInTitle(
		tr("Connecting to the paired device through the receiver"));
	setSignInMessage(
		tr("Asking the device over the wireless link. This can take up to a minute."),
		false);
	showPage(SignInPage);
	m_session->manageViaReceiver({QString::fromLatin1(kFactoryPassword)});
}

void SetupDialog::showDone()
{
	if (!m_session)
		return;
	const QPointer<SetupDialog> self(this);
	const QPointer<DeviceSession> session(m_session);
	m_session->refreshStatus([self, session](bool, const QString &) {
		if (!self || !session || session != self->m_session)
			return;
		const QString id = session->deviceId();
		QStringList lines;
		if (!id.isEmpty())
			lines << tr("Device: %1").arg(id);
		if (!session->firmware().isEmpty())
			lines << tr("Firmware: %1").arg(session->firmware());
		lines << (session->wifiIp().isEmpty()
				  ? tr("Wi-Fi: not connected")
				  : tr("Wi-Fi: connected (%1)")
					    .arg(session->wifiIp()));
		self->m_summary->setStyleSheet(QString());
		self->m_summary->setText(lines.join(QLatin1Char('\n')));
		App *app = App::get();
		bool offer = app && app->portal().isSignedIn() && !id.isEmpty();
		if (offer)
			for (const PortalDevice &d : app->devices())
				if (d.deviceId == id)
					offer = false;
		self->m_claimCode->setVisible(offer);
		self->m_claim->setVisible(offer);
		self->m_claim->setEnabled(true);
		self->showPage(DonePage);
	});
}

void SetupDialog::claimDevice()
{
	App *app = App::get();
	if (!app || !m_session)
		return;
	m_claim->setEnabled(false);
	const QString via = m_kind == QLatin1String("lan")
				    ? QStringLiteral("manual")
				    : m_kind;
	const QPointer<SetupDialog> self(this);
	app->portal().linkDevice(
		m_session->deviceId(), m_claimCode->text().trimmed(), via,
		[self](const PortalResult &result) {
			if (!self)
				return;
			self->m_claim->setEnabled(true);
			if (!result.ok) {
				self->m_summary->setStyleSheet(
					QString::fromLatin1(
						dockstyle::kErrorText));
				self->m_summary->setText(result.message);
				return;
			}
			self->m_summary->setStyleSheet(QString());
			self->m_summary->setText(tr("Added to your account."));
			self->m_claimCode->hide();
			self->m_claim->hide();
			if (App *app = App::get())
				app->refreshDevices();
		});
}

} // namespace quillmarch
