#include "setup/setup_dialog.h"

#include "app.h"
#include "ble/ble_bridge.h"
#include "ble/ble_link.h"
#include "dock/dock_style.h"
#include "lan/http_link.h"
#include "live/source_manager.h"
#include "manager/controller_panel.h"
#include "manager/device_manager.h"
#include "manager/security_panel.h"
#include "manager/share_panel.h"
#include "manager/wifi_panel.h"
#include "usb/usb_link.h"

#include <QComboBox>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace quillmarch {

namespace {

constexpr int kIdRole = Qt::UserRole;
constexpr int kNameRole = Qt::UserRole + 1;

QString factoryPassword()
{
	return QString::fromLatin1(SetupDialog::kFactoryPassword);
}

// What a Bluetooth failure means for the user; shared by the scan and the
// link.
QString bluetoothFailure(const QString &code, const QString &message)
{
	if (code == QLatin1String("permission_denied"))
		return SetupDialog::tr(
			"Bluetooth access was denied. Allow \"Quillmarch Bluetooth Helper\" in your system's Privacy & Security → Bluetooth settings, then scan again.");
	if (code == QLatin1String("bluetooth_unavailable") && message.isEmpty())
		return SetupDialog::tr(
			"Bluetooth is turned off or unavailable on this computer.");
	return message;
}

// In a dialog every button that takes the focus becomes the one Return
// presses. Here Return belongs to the field it is typed in ("Connect" stays
// the default on its page): a password field whose Return hides it would
// otherwise hand the key on to whichever button got the focus, "Cancel"
// included.
void keepReturnInFields(QWidget *root, QPushButton *keep)
{
	for (QPushButton *button : root->findChildren<QPushButton *>())
		if (button != keep)
			button->setAutoDefault(false);
}

bool signedIn()
{
	App *app = App::get();
	return app && app->portal().isSignedIn();
}

} // namespace

SetupDialog::SetupDialog(QWidget *parent)
	: QDialog(parent),
	  m_listPorts(&listSerialPorts)
{
	setWindowTitle(tr("Set up or manage a Quillmarch device"));
	resize(500, 600);
	auto *layout = new QVBoxLayout(this);
	m_pages = new QStackedWidget(this);
	layout->addWidget(m_pages);
	m_pages->addWidget(buildConnectPage());
	m_pages->addWidget(buildSignInPage());
	m_pages->addWidget(buildWifiPage());
	m_pages->addWidget(buildControllerPage());
	m_pages->addWidget(buildReceiverPage());
	m_pages->addWidget(buildDonePage());
	m_pages->addWidget(buildManagerPage());
	keepReturnInFields(this, m_connect);
	showPage(ConnectPage);
	QTimer::singleShot(0, this, &SetupDialog::scan);
}

SetupDialog::~SetupDialog()
{
	++m_connectGeneration;
	if (!m_session)
		return;
	// Nothing of the session may reach this half-destroyed window.
	m_session->disconnect(this);
	m_session->link()->disconnect(this);
	App *app = App::get();
	if (app && app->keepUsbRelay(m_session)) {
		m_session = nullptr;
		return;
	}
	dropSession();
}

void SetupDialog::setPortLister(PortLister lister)
{
	m_listPorts = lister ? std::move(lister) : PortLister(&listSerialPorts);
}

int SetupDialog::currentPage() const
{
	return m_pages->currentIndex();
}

void SetupDialog::showPage(Page page)
{
	m_pages->setCurrentIndex(page);
}

SetupDialog::Mode SetupDialog::mode() const
{
	if (m_lanMode->isChecked())
		return Mode::Network;
	if (m_bleMode->isChecked())
		return Mode::Bluetooth;
	return Mode::Usb;
}

void SetupDialog::updateConnectEnabled()
{
	if (mode() == Mode::Network)
		m_connect->setEnabled(
			!normalizeLanHost(m_address->currentText()).isEmpty());
	else
		m_connect->setEnabled(!m_list->selectedItems().isEmpty());
}

void SetupDialog::scan()
{
	++m_scanGeneration;
	m_list->clear();
	m_connect->setEnabled(false);
	const bool network = mode() == Mode::Network;
	m_list->setVisible(!network);
	m_scanAgain->setVisible(!network);
	m_addressRow->setVisible(network);
	if (mode() == Mode::Usb) {
		scanUsb();
	} else if (mode() == Mode::Bluetooth) {
		scanBluetooth();
	} else {
		// A Bluetooth scan may have left the button off.
		m_scanAgain->setEnabled(true);
		m_connectHint->setText(tr(
			"Type the device's number (the last digits of its name) or its network address. This computer and the device must be on the same network."));
		m_connectMessage->setText(tr(
			"The admin password is sent over your local network without encryption. Use USB when you can."));
		m_address->clear();
		if (App *app = App::get()) {
			SettingsStore &settings = app->settings();
			for (const QString &id : settings.lanDeviceIds())
				m_address->addItem(id,
						   settings.lanDevice(id).host);
		}
		m_address->setCurrentIndex(-1);
		m_address->setEditText(QString());
	}
	updateConnectEnabled();
}

void SetupDialog::scanUsb()
{
	m_scanAgain->setEnabled(true);
	m_connectHint->setText(tr(
		"Use the USB port on the device (or on the wireless receiver). Close any serial monitor first."));
	const QList<SerialPortInfo> ports = m_listPorts();
	int likely = 0;
	int likelyRow = -1;
	for (const SerialPortInfo &port : ports) {
		QString text = port.name;
		if (port.likelyDevice) {
			text += tr("  – likely a Quillmarch device");
			++likely;
			likelyRow = m_list->count();
		}
		auto *item = new QListWidgetItem(text, m_list);
		item->setData(kIdRole, port.path);
		item->setData(kNameRole, port.name);
	}
	if (ports.isEmpty())
		m_connectMessage->setText(tr(
			"No USB devices found. Plug the device in and press Scan again."));
	else
		m_connectMessage->setText(
			tr("%1 USB port(s) found. Pick the Quillmarch device.")
				.arg(ports.size()));
	if (likely == 1)
		m_list->setCurrentRow(likelyRow);
	else if (ports.size() == 1)
		m_list->setCurrentRow(0);
}

void SetupDialog::scanBluetooth()
{
	m_connectHint->setText(tr(
		"The device must be paired with this computer first. The 6-digit passkey is on the device's label and in your Quillmarch account."));
	m_connectMessage->setText(tr("Looking for devices… (about 6 seconds)"));
	m_scanAgain->setEnabled(false);
	const QPointer<SetupDialog> self(this);
	const quint64 generation = m_connectGeneration;
	const quint64 scanGeneration = m_scanGeneration;
	BleBridge::instance()->scan(
		m_timings.bluetoothScanMs,
		[self, generation, scanGeneration](
			bool ok, const QList<BleDeviceInfo> &devices, int seen,
			const QString &code, const QString &message) {
			if (!self || self->m_connectGeneration != generation ||
			    self->m_scanGeneration != scanGeneration)
				return;
			self->m_scanAgain->setEnabled(true);
			if (!ok) {
				self->m_connectMessage->setText(
					bluetoothFailure(code, message));
				return;
			}
			if (devices.isEmpty()) {
				self->m_connectMessage->setText(
					seen == 0
						? tr("No Bluetooth devices were seen at all. Check that Bluetooth is on.")
						: tr("Bluetooth is working but no Quillmarch device is in range. Move closer and scan again."));
				return;
			}
			for (const BleDeviceInfo &d : devices) {
				auto *item = new QListWidgetItem(d.name,
								 self->m_list);
				item->setData(kIdRole, d.id);
				item->setData(kNameRole, d.name);
			}
			self->m_connectMessage->setText(
				tr("%1 device(s) found.").arg(devices.size()));
			if (devices.size() == 1)
				self->m_list->setCurrentRow(0);
		});
}

void SetupDialog::beginConnect()
{
	const Mode how = mode();
	QString host;
	QListWidgetItem *row = nullptr;
	if (how == Mode::Network) {
		host = normalizeLanHost(m_address->currentText());
		if (host.isEmpty())
			return;
		const QString typed = m_address->currentText().trimmed();
		for (int i = 0; i < m_address->count(); ++i) {
			const QString remembered =
				m_address->itemData(i).toString();
			if (m_address->itemText(i).compare(
				    typed, Qt::CaseInsensitive) == 0 &&
			    !remembered.isEmpty()) {
				host = remembered;
				break;
			}
		}
	} else {
		const QList<QListWidgetItem *> selected =
			m_list->selectedItems();
		if (selected.isEmpty())
			return;
		row = selected.first();
	}

	++m_connectGeneration;
	dropSession();
	m_readySession = nullptr;

	App *app = App::get();
	DeviceLink *link = nullptr;
	QString waiting;
	if (how == Mode::Network) {
		m_kind = QStringLiteral("lan");
		m_label = host;
		link = new HttpLink(host);
		waiting = tr("Contacting the device on your network…");
	} else if (how == Mode::Bluetooth) {
		m_kind = QStringLiteral("ble");
		m_label = row->data(kNameRole).toString();
		link = new BleLink(row->data(kIdRole).toString(), m_label);
		waiting = tr(
			"Connecting over Bluetooth. If your computer asks for a passkey, enter the 6-digit number from the device's label.");
	} else {
		m_kind = QStringLiteral("usb");
		m_label = row->data(kNameRole).toString();
		const QString path = row->data(kIdRole).toString();
		// A session kept for its cloud relay holds the port open.
		if (app)
			app->releaseUsbRelay(path);
		auto *usb = new UsbLink(path);
		usb->cloudRelay()->setEnabled(
			app ? app->settings().shareConnection() : false);
		if (app)
			app->settings().setLastUsbPort(path);
		link = usb;
		waiting = tr(
			"Waiting for the device to answer. If it just powered on this can take up to a minute.");
	}

	auto *session = new DeviceSession(link, this);
	session->setTimings(m_timings.session);
	m_session = session;
	connect(session, &DeviceSession::stateChanged, this,
		&SetupDialog::onSessionState);
	connect(link, &DeviceLink::failed, this, &SetupDialog::onLinkFailed);

	setSignInTitle(tr("Connecting to %1").arg(m_label));
	setSignInMessage(waiting, false);
	m_passwordBox->hide();
	m_newPasswordBox->hide();
	m_busy->show();
	showPage(SignInPage);
	session->start({factoryPassword()});
}

void SetupDialog::setSignInTitle(const QString &text)
{
	m_signInTitle->setText(
		QStringLiteral("<b>%1</b>").arg(text.toHtmlEscaped()));
}

void SetupDialog::setSignInMessage(const QString &text, bool isError)
{
	m_signInMessage->setText(text);
	m_signInMessage->setStyleSheet(
		isError ? QString::fromLatin1(dockstyle::kErrorText)
			: QString());
}

void SetupDialog::onLinkFailed(const QString &code, const QString &message)
{
	if (!m_session || sender() != m_session->link())
		return;
	m_busy->hide();
	m_passwordBox->hide();
	m_newPasswordBox->hide();
	setSignInTitle(tr("Could not connect"));
	setSignInMessage(bluetoothFailure(code, message), true);
	showPage(SignInPage);
}

void SetupDialog::onSessionState(DeviceSession::State state,
				 const QString &detail)
{
	switch (state) {
	case DeviceSession::Connecting:
	case DeviceSession::SigningIn:
		m_busy->show();
		break;
	case DeviceSession::NeedsPassword:
		m_busy->hide();
		setSignInTitle(tr("Device password needed"));
		m_passwordBox->show();
		m_password->setFocus();
		setSignInMessage(QString(), false);
		tryPortalPassword();
		break;
	case DeviceSession::NeedsNewPassword:
		m_busy->hide();
		setSignInTitle(tr("Choose a new device password"));
		m_newPasswordBox->show();
		m_newPassword->setFocus();
		setSignInMessage(QString(), false);
		break;
	case DeviceSession::Ready:
		onReady();
		break;
	case DeviceSession::Lost:
		m_busy->hide();
		if (currentPage() == ConnectPage)
			break;
		// A password typed now would go to a connection that is gone.
		m_passwordBox->hide();
		m_newPasswordBox->hide();
		setSignInTitle(tr("Connection lost"));
		setSignInMessage(
			detail.isEmpty()
				? tr("The connection to the device was lost. Check the cable, Bluetooth or network and try again.")
				: detail,
			true);
		showPage(SignInPage);
		break;
	case DeviceSession::Error:
		m_busy->hide();
		m_passwordBox->hide();
		m_newPasswordBox->hide();
		setSignInTitle(tr("Could not connect"));
		setSignInMessage(detail.isEmpty() && m_session
					 ? m_session->lastError()
					 : detail,
				 true);
		showPage(SignInPage);
		break;
	case DeviceSession::Restarting:
		// The Wi-Fi panel shows its own restart notice.
		m_busy->hide();
		break;
	case DeviceSession::Idle:
		break;
	}
}

void SetupDialog::signIn()
{
	const QString password = m_password->text();
	if (!m_session || password.isEmpty())
		return;
	m_passwordBox->hide();
	setSignInMessage(tr("Signing in…"), false);
	m_session->submitPassword(password);
}

void SetupDialog::setNewPassword()
{
	const QString next = m_newPassword->text();
	if (next.size() < 8 || next.toLower() == factoryPassword()) {
		setSignInMessage(
			tr("Use at least 8 characters, and not the factory password."),
			true);
		return;
	}
	if (next != m_newPasswordAgain->text()) {
		setSignInMessage(tr("The two passwords do not match."), true);
		return;
	}
	if (!m_session)
		return;
	m_pendingNewPassword = next;
	m_newPasswordBox->hide();
	setSignInMessage(tr("Saving the new password…"), false);
	const QString current = m_password->text().isEmpty()
					? factoryPassword()
					: m_password->text();
	const QPointer<SetupDialog> self(this);
	const QPointer<DeviceSession> session(m_session);
	m_session->changePassword(
		current, next,
		[self, session](bool ok, const QString &message) {
			if (!self || !session || session != self->m_session)
				return;
			if (!ok) {
				self->m_newPasswordBox->show();
				self->setSignInMessage(message, true);
				return;
			}
			self->rememberPassword(self->m_pendingNewPassword);
			self->m_pendingNewPassword.clear();
		});
}

void SetupDialog::cancelConnect()
{
	++m_connectGeneration;
	dropSession();
	showPage(ConnectPage);
}

void SetupDialog::disconnectDevice()
{
	++m_connectGeneration;
	dropSession();
	m_readySession = nullptr;
	showPage(ConnectPage);
	scan();
}

void SetupDialog::dropSession()
{
	DeviceSession *session = m_session;
	m_session = nullptr;
	if (!session)
		return;
	session->disconnect(this);
	session->link()->disconnect(this);
	session->stop();
	session->deleteLater();
}

void SetupDialog::tryPortalPassword()
{
	if (m_accountPasswordTried || !m_session || !signedIn())
		return;
	QString deviceId = m_session->deviceId();
	if (deviceId.isEmpty())
		deviceId = App::get()->settings().selectedDevice();
	// Without an id there is nothing to ask the account about.
	if (deviceId.isEmpty())
		return;
	m_accountPasswordTried = true;
	const QPointer<SetupDialog> self(this);
	const QPointer<DeviceSession> session(m_session);
	App::get()->portal().revealPairing(deviceId, [self, session](
							     const PortalResult
								     &result) {
		if (!self || !session || session != self->m_session ||
		    session->state() != DeviceSession::NeedsPassword)
			return;
		const QString password =
			result.body.value(QStringLiteral("pairing"))
				.toObject()
				.value(QStringLiteral("admin_password"))
				.toString();
		if (!result.ok || password.isEmpty())
			return;
		self->m_password->setText(password);
		self->m_passwordBox->hide();
		self->setSignInMessage(
			tr("Signing in with the password saved on your account…"),
			false);
		session->submitPassword(password);
	});
}

void SetupDialog::rememberPassword(const QString &password)
{
	if (!m_session || m_session->deviceId().isEmpty() || !signedIn())
		return;
	App::get()->portal().savePairing(m_session->deviceId(), password,
					 [](const PortalResult &) {});
}

void SetupDialog::onReady()
{
	if (!m_session || m_readySession == m_session)
		return;
	m_readySession = m_session;
	m_busy->hide();
	if (m_session->receiverOnly()) {
		updateReceiverText();
		showPage(ReceiverPage);
		if (auto *usb = qobject_cast<UsbLink *>(m_session->link()))
			connect(usb, &UsbLink::receiverUpdated, this,
				&SetupDialog::updateReceiverText,
				Qt::UniqueConnection);
		return;
	}
	rememberNetworkAccess();
	if (!m_session->wifiIp().isEmpty() || m_kind == QLatin1String("lan")) {
		installGuidedPanels();
		openManager();
		return;
	}
	installGuidedPanels();
	if (m_wifiPanel)
		m_wifiPanel->refresh();
	showPage(WifiPage);
}

void SetupDialog::storeLanDevice(const QString &token)
{
	App *app = App::get();
	if (!app || !m_session || token.isEmpty())
		return;
	const QString id = m_session->deviceId();
	const QString host = m_session->wifiIp();
	if (id.isEmpty() || host.isEmpty())
		return;
	app->settings().setLanDevice(id, LanDevice{host, token, id});
}

void SetupDialog::rememberNetworkAccess()
{
	if (!m_session ||
	    (m_kind != QLatin1String("usb") && m_kind != QLatin1String("ble")))
		return;
	if (m_session->wifiIp().isEmpty() || m_session->deviceId().isEmpty())
		return;
	const QPointer<SetupDialog> self(this);
	const QPointer<DeviceSession> session(m_session);
	m_session->ensureApiToken([self, session](bool ok, const QString &token,
						  const QString &) {
		if (ok && self && session && session == self->m_session)
			self->storeLanDevice(token);
	});
}

void SetupDialog::installGuidedPanels()
{
	if (m_wifiPanel)
		m_wifiPanel->deleteLater();
	if (m_controllerPanel)
		m_controllerPanel->deleteLater();
	auto *wifi = new WifiPanel(m_session, m_pages->widget(WifiPage));
	auto *controller =
		new ControllerPanel(m_session, m_pages->widget(ControllerPage));
	m_wifiPlace->addWidget(wifi);
	m_controllerPlace->addWidget(controller);
	m_wifiPanel = wifi;
	m_controllerPanel = controller;
	keepReturnInFields(wifi, nullptr);
	keepReturnInFields(controller, nullptr);
	connect(wifi, &WifiPanel::joined, this, [this] {
		rememberNetworkAccess();
		const quint64 generation = m_connectGeneration;
		const QPointer<WifiPanel> panel(m_wifiPanel);
		QTimer::singleShot(m_timings.afterWifiJoinMs, this,
				   [this, generation, panel] {
					   // Only if the user is still on
					   // the same device and page.
					   if (generation ==
						       m_connectGeneration &&
					       panel && panel == m_wifiPanel &&
					       currentPage() == WifiPage)
						   loadControllerPage();
				   });
	});
	connect(controller, &ControllerPanel::saved, this,
		&SetupDialog::showDone);
}

void SetupDialog::loadControllerPage()
{
	if (m_controllerPanel)
		m_controllerPanel->load();
	showPage(ControllerPage);
}

void SetupDialog::openManager()
{
	if (!m_session)
		return;
	if (m_manager)
		m_manager->deleteLater();
	auto *manager =
		new DeviceManager(m_session, m_pages->widget(ManagerPage));
	m_managerPlace->addWidget(manager);
	m_manager = manager;
	keepReturnInFields(manager, nullptr);
	for (PanelBase *panel : manager->panels()) {
		auto *security = qobject_cast<SecurityPanel *>(panel);
		if (!security)
			continue;
		connect(security, &SecurityPanel::passwordChanged, this,
			&SetupDialog::rememberPassword);
		connect(security, &SecurityPanel::apiToken, this,
			&SetupDialog::storeLanDevice);
	}
	m_managerTitle->setText(
		QStringLiteral("<b>%1</b>")
			.arg(deviceIdOrLabel().toHtmlEscaped()));
	showPage(ManagerPage);
	manager->showPage(0);
}

QString SetupDialog::deviceIdOrLabel() const
{
	const QString id = m_session ? m_session->deviceId() : QString();
	return id.isEmpty() ? m_label : id;
}

void SetupDialog::useInObs(const QString &label)
{
	App *app = App::get();
	DeviceSession *session = m_session;
	if (!app || !session)
		return;
	// The live source owns the session from now on; this window must
	// neither stop it nor follow it any more.
	session->disconnect(this);
	session->link()->disconnect(this);
	app->sources()->useSession(session, label);
	session->setParent(app->sources());
	m_session = nullptr;
	m_readySession = nullptr;
	close();
}

} // namespace quillmarch
