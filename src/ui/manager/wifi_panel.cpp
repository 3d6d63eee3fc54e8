#include "wifi_panel.h"

#include "panel_widgets.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmarch {

WifiPanel::WifiPanel(DeviceSession *session, QWidget *parent)
	: PanelBase(session, parent)
{
	auto *layout = new QVBoxLayout(this);

	m_receiverBox = new QGroupBox(
		tr("Wi-Fi or Quillmarch wireless receiver"), this);
	auto *boxLayout = new QVBoxLayout(m_receiverBox);
	m_receiverInfo = new QLabel(m_receiverBox);
	m_receiverInfo->setWordWrap(true);
	boxLayout->addWidget(m_receiverInfo);
	m_receiverForm = new QWidget(m_receiverBox);
	auto *form = new QFormLayout(m_receiverForm);
	form->setContentsMargins(0, 0, 0, 0);
	m_address = new QLineEdit(m_receiverForm);
	m_address->setPlaceholderText(
		tr("aa:bb:cc:dd:ee:ff (printed on the receiver)"));
	form->addRow(tr("Receiver address"), m_address);
	m_key = new QLineEdit(m_receiverForm);
	m_key->setPlaceholderText(
		tr("32-character pairing key, or leave empty to make a new "
		   "one"));
	form->addRow(tr("Pairing key"), m_key);
	m_receiverForm->hide();
	boxLayout->addWidget(m_receiverForm);
	m_receiverButton = new QPushButton(m_receiverBox);
	boxLayout->addWidget(m_receiverButton, 0, Qt::AlignLeft);
	m_receiverBox->hide();
	layout->addWidget(m_receiverBox);

	m_wifiSection = new QWidget(this);
	auto *wifi = new QVBoxLayout(m_wifiSection);
	wifi->setContentsMargins(0, 0, 0, 0);
	auto *intro = new QLabel(tr("Pick the venue's network. The device uses "
				    "it to reach your account and the "
				    "internet."),
				 m_wifiSection);
	intro->setWordWrap(true);
	wifi->addWidget(intro);
	m_networks = new QComboBox(m_wifiSection);
	m_networks->setEditable(true);
	m_networks->setInsertPolicy(QComboBox::NoInsert);
	m_networks->lineEdit()->setPlaceholderText(tr("Network name"));
	wifi->addWidget(m_networks);
	m_password = new QLineEdit(m_wifiSection);
	m_password->setEchoMode(QLineEdit::Password);
	m_password->setPlaceholderText(tr("Wi-Fi password"));
	wifi->addWidget(m_password);
	auto *buttons = new QHBoxLayout;
	m_scan = new QPushButton(tr("Scan for networks"), m_wifiSection);
	m_connect =
		new QPushButton(tr("Connect to this network"), m_wifiSection);
	m_connect->setDefault(true);
	buttons->addWidget(m_scan);
	buttons->addWidget(m_connect);
	buttons->addStretch();
	wifi->addLayout(buttons);
	layout->addWidget(m_wifiSection);

	m_banner = new RestartBanner(this);
	layout->addWidget(m_banner);
	layout->addWidget(statusLabel());
	layout->addStretch();

	connect(m_scan, &QPushButton::clicked, this, &WifiPanel::scan);
	connect(m_connect, &QPushButton::clicked, this,
		&WifiPanel::connectToNetwork);
	connect(m_password, &QLineEdit::returnPressed, this,
		&WifiPanel::connectToNetwork);
	connect(m_receiverButton, &QPushButton::clicked, this,
		&WifiPanel::onReceiverButton);
}

void WifiPanel::setTimings(const Timings &timings)
{
	m_banner->setTickInterval(timings.countdownTickMs);
}

void WifiPanel::refresh()
{
	loadLink([this] { scan(); });
}

void WifiPanel::scan()
{
	DeviceSession *s = connectedSession();
	if (!s)
		return;
	setMessage(tr("Scanning… this can take up to 15 seconds."));
	m_scan->setEnabled(false);
	QPointer<WifiPanel> self(this);
	s->scanWifi([self](bool ok, const QList<WifiNetwork> &networks,
			   const QString &message) {
		if (!self)
			return;
		self->m_scan->setEnabled(true);
		if (!ok) {
			self->setMessage(
				message + tr(" You can still type the network "
					     "name."),
				true);
			return;
		}
		// Refilling the list must not throw away what the user typed
		// while the device was scanning.
		const QString typed = self->m_networks->currentText();
		self->m_networks->clear();
		for (const WifiNetwork &n : networks)
			self->m_networks->addItem(
				tr("%1   (%2 dBm)").arg(n.ssid).arg(n.rssi),
				n.ssid);
		self->m_networks->setCurrentIndex(-1);
		self->m_networks->setEditText(typed);
		if (networks.isEmpty()) {
			DeviceSession *s = self->session();
			if (s && s->wirelessTransmitter()) {
				// The radio is busy with the receiver link;
				// the link state explains why.
				self->setMessage(QString());
				self->loadLink({});
			} else {
				self->setMessage(
					tr("No networks found. Move the device "
					   "closer to the router, or type the "
					   "network name."));
			}
			return;
		}
		self->setMessage(
			tr("%1 network(s) found.").arg(networks.size()));
	});
}

void WifiPanel::connectToNetwork()
{
	QString name;
	const int index = m_networks->currentIndex();
	if (index >= 0 &&
	    m_networks->currentText() == m_networks->itemText(index))
		name = m_networks->itemData(index).toString();
	else
		name = m_networks->currentText().trimmed();
	if (name.isEmpty()) {
		setMessage(tr("Choose or type a network name first."), true);
		return;
	}
	DeviceSession *s = connectedSession();
	if (!s)
		return;
	setMessage(tr("Sending the network to the device…"));
	m_connect->setEnabled(false);
	QPointer<WifiPanel> self(this);
	s->configureWifi(
		name, m_password->text(),
		[self](const QString &text) {
			if (self)
				self->setMessage(text);
		},
		[self](bool ok, const QString &message) {
			if (!self)
				return;
			self->m_connect->setEnabled(true);
			self->setMessage(message, !ok);
			if (ok)
				Q_EMIT self->joined(
					self->session()
						? self->session()->wifiIp()
						: QString());
		});
}

void WifiPanel::loadLink(std::function<void()> then)
{
	DeviceSession *s = session();
	if (!s) {
		if (then)
			then();
		return;
	}
	QPointer<WifiPanel> self(this);
	s->wirelessLink([self, then](const WirelessLink &link) {
		if (!self)
			return;
		self->m_link = link;
		self->showLink();
		if (then)
			then();
	});
}

void WifiPanel::showLink()
{
	const WirelessLink &l = m_link;
	m_receiverBox->setVisible(l.supported);
	m_wifiSection->setEnabled(!l.transmitter);
	m_receiverForm->setVisible(!l.transmitter && !l.keySet && m_formOpen);
	const QString peer = l.peerMac.isEmpty()
				     ? QString()
				     : QStringLiteral(" (%1)").arg(l.peerMac);
	if (l.transmitter) {
		QString info =
			tr("This device is sending its scores to a Quillmarch "
			   "wireless receiver%1, so its Wi-Fi is switched off.")
				.arg(peer);
		if (!l.startError.isEmpty())
			info += tr("\n\nThe wireless transmitter could not "
				   "start: %1")
					.arg(l.startError);
		m_receiverInfo->setText(info);
		m_receiverButton->setText(
			tr("Switch off the wireless transmitter and use "
			   "Wi-Fi"));
	} else if (l.keySet) {
		m_receiverInfo->setText(
			tr("This device connects over Wi-Fi. It is also paired "
			   "with a Quillmarch wireless receiver%1, so it can "
			   "send its scores there instead.")
				.arg(peer));
		m_receiverButton->setText(
			tr("Use the wireless receiver instead of Wi-Fi"));
	} else {
		m_receiverInfo->setText(
			tr("This device connects over Wi-Fi. If the venue has "
			   "no Wi-Fi it can send its scores to a Quillmarch "
			   "wireless receiver instead."));
		m_receiverButton->setText(
			m_formOpen ? tr("Switch to the wireless receiver and "
					"restart")
				   : tr("Set up a Quillmarch wireless receiver "
					"instead of Wi-Fi…"));
	}
}

void WifiPanel::onReceiverButton()
{
	QPointer<WifiPanel> self(this);
	if (m_link.transmitter) {
		if (!ask(tr("Switch off the wireless transmitter"),
			 tr("The device will stop sending its scores to the "
			    "wireless receiver and restart so it can use "
			    "Wi-Fi. The receiver's pairing is kept, so you "
			    "can switch back later.\n\nContinue?"),
			 true))
			return;
		DeviceSession *s = connectedSession();
		if (!s)
			return;
		m_receiverButton->setEnabled(false);
		setMessage(tr("Switching off the wireless transmitter…"));
		s->disableEspNowSender([self](bool ok, const QString &error) {
			if (!self)
				return;
			self->m_receiverButton->setEnabled(true);
			if (!ok) {
				self->setMessage(error, true);
				return;
			}
			self->m_link.transmitter = false;
			self->m_receiverBox->hide();
			self->startCountdown(
				tr("The device is restarting to use Wi-Fi."),
				QString());
		});
		return;
	}

	QString address;
	QString key;
	bool generate = false;
	if (!m_link.keySet) {
		if (!m_formOpen) {
			// The first press only shows what the switch needs.
			m_formOpen = true;
			showLink();
			return;
		}
		address = m_address->text().trimmed();
		key = m_key->text().trimmed();
		if (address.isEmpty()) {
			setMessage(tr("Enter the receiver's address first. It "
				      "is printed on the receiver."),
				   true);
			return;
		}
		generate = key.isEmpty();
	}
	if (!ask(tr("Use the wireless receiver"),
		 tr("The device will stop using Wi-Fi and send its scores "
		    "to the Quillmarch wireless receiver, then restart. "
		    "Its scores reach the cloud through a computer "
		    "connected to that receiver.\n\nMake sure the receiver "
		    "is set up first - you can switch back over USB or "
		    "Bluetooth.\n\nContinue?"),
		 true))
		return;
	DeviceSession *s = connectedSession();
	if (!s)
		return;
	m_receiverButton->setEnabled(false);
	setMessage(tr("Switching to the wireless receiver…"));
	s->enableWirelessTransmitter(
		address, key, generate,
		[self](bool ok, const QString &message, const QString &newKey) {
			if (!self)
				return;
			self->m_receiverButton->setEnabled(true);
			if (!ok) {
				self->setMessage(message, true);
				return;
			}
			self->m_formOpen = false;
			self->m_link.transmitter = true;
			self->m_receiverForm->hide();
			self->m_receiverBox->hide();
			self->startCountdown(
				tr("The device is restarting and will send its "
				   "scores to the wireless receiver. Wi-Fi is "
				   "off."),
				newKey.isEmpty()
					? QString()
					: tr("New pairing key - enter it on the "
					     "receiver (shown only once):\n%1")
						  .arg(newKey));
		});
}

void WifiPanel::startCountdown(const QString &title, const QString &detail)
{
	m_wifiSection->setEnabled(false);
	m_receiverBox->hide();
	setMessage(QString());
	m_banner->start(title, detail, kRestartSeconds);
}

} // namespace quillmarch
