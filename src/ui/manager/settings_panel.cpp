#include "settings_panel.h"

#include "panel_widgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

namespace quillmarch {

namespace {

// What the device means when a radio field is left alone.
constexpr int kXbeeChannelUnchanged = 255;
constexpr int kXbeePanIdUnchanged = 65535;

const QString kWireless = QStringLiteral("wireless");

QSpinBox *spinBox(int low, int high, QWidget *parent)
{
	auto *box = new QSpinBox(parent);
	box->setRange(low, high);
	return box;
}

// A hexadecimal radio field: blank keeps the device's value, anything that
// is not hexadecimal is sent as 0 and left to the device to refuse.
int parseHex(const QString &text, int blank)
{
	const QString trimmed = text.trimmed();
	if (trimmed.isEmpty())
		return blank;
	bool ok = false;
	const int value = trimmed.toInt(&ok, 16);
	return ok ? value : 0;
}

} // namespace

SettingsPanel::SettingsPanel(DeviceSession *session, QWidget *parent)
	: PanelBase(session, parent)
{
	QWidget *content = panelwidgets::scrollingContent(this);
	auto *layout = new QVBoxLayout(content);

	auto *connections = new QGroupBox(tr("Connections"), content);
	auto *connectionsLayout = new QVBoxLayout(connections);
	m_httpEndpoint = new QCheckBox(
		tr("Allow scoreboard changes over the network (controller config API)"),
		connections);
	m_tcpFeed = new QCheckBox(
		tr("Send live scores over the network (secure TCP, port 1010)"),
		connections);
	m_testCloudData =
		new QCheckBox(tr("Send test data to the cloud"), connections);
	connectionsLayout->addWidget(m_httpEndpoint);
	connectionsLayout->addWidget(m_tcpFeed);
	connectionsLayout->addWidget(m_testCloudData);
	layout->addWidget(connections);

	auto *scoreboard = new QGroupBox(tr("Scoreboard"), content);
	auto *scoreboardForm = new QFormLayout(scoreboard);
	m_maker = new QComboBox(scoreboard);
	m_model = new QComboBox(scoreboard);
	m_sport = new QComboBox(scoreboard);
	m_input = new QComboBox(scoreboard);
	scoreboardForm->addRow(tr("Maker"), m_maker);
	scoreboardForm->addRow(tr("Model"), m_model);
	scoreboardForm->addRow(tr("Sport"), m_sport);
	scoreboardForm->addRow(tr("Connection"), m_input);
	layout->addWidget(scoreboard);

	m_wirelessInput = new QGroupBox(tr("Wireless input"), content);
	auto *wirelessLayout = new QVBoxLayout(m_wirelessInput);
	m_rm024Block = new QWidget(m_wirelessInput);
	auto *rm024Form = new QFormLayout(m_rm024Block);
	rm024Form->setContentsMargins(0, 0, 0, 0);
	m_autoScan = new QCheckBox(tr("Find the channel automatically"),
				   m_rm024Block);
	m_group = spinBox(0, 255, m_rm024Block);
	m_channel = spinBox(0, 79, m_rm024Block);
	rm024Form->addRow(m_autoScan);
	rm024Form->addRow(tr("Group"), m_group);
	rm024Form->addRow(tr("Channel (0-79)"), m_channel);
	m_xbeeBlock = new QWidget(m_wirelessInput);
	auto *xbeeForm = new QFormLayout(m_xbeeBlock);
	xbeeForm->setContentsMargins(0, 0, 0, 0);
	m_xbeeChannel = new QLineEdit(m_xbeeBlock);
	m_xbeeChannel->setPlaceholderText(tr("hex 0B-1A, blank = unchanged"));
	m_xbeePanId = new QLineEdit(m_xbeeBlock);
	m_xbeePanId->setPlaceholderText(tr("hex 16-bit, blank = unchanged"));
	xbeeForm->addRow(tr("Channel"), m_xbeeChannel);
	xbeeForm->addRow(tr("PAN ID"), m_xbeePanId);
	wirelessLayout->addWidget(m_rm024Block);
	wirelessLayout->addWidget(m_xbeeBlock);
	m_wirelessInput->hide();
	layout->addWidget(m_wirelessInput);

	m_wirelessOutput = new QGroupBox(
		tr("Wireless output (send scores to a receiver)"), content);
	m_wirelessOutput->setCheckable(true);
	auto *wirelessOutputForm = new QFormLayout(m_wirelessOutput);
	m_outputNetworkId = spinBox(1, 20, m_wirelessOutput);
	m_outputChannel = spinBox(1, 10, m_wirelessOutput);
	wirelessOutputForm->addRow(tr("Network ID (1-20)"), m_outputNetworkId);
	wirelessOutputForm->addRow(tr("Channel (1-10)"), m_outputChannel);
	layout->addWidget(m_wirelessOutput);

	m_bridgeOutput = new QGroupBox(
		tr("Ethernet bridge output (send scores to a wired receiver)"),
		content);
	m_bridgeOutput->setCheckable(true);
	auto *bridgeForm = new QFormLayout(m_bridgeOutput);
	m_bridgeHost = new QLineEdit(m_bridgeOutput);
	m_bridgeHost->setPlaceholderText(
		tr("receiver address, e.g. quillmarch0042.local"));
	m_bridgePort = spinBox(1, 65535, m_bridgeOutput);
	bridgeForm->addRow(tr("Receiver"), m_bridgeHost);
	bridgeForm->addRow(tr("TCP port"), m_bridgePort);
	layout->addWidget(m_bridgeOutput);

	m_usbTunnel = new QGroupBox(
		tr("Cloud over USB (use this computer's internet)"), content);
	m_usbTunnel->setCheckable(true);
	auto *tunnelForm = new QFormLayout(m_usbTunnel);
	m_usbTunnelPort = spinBox(1, 65535, m_usbTunnel);
	tunnelForm->addRow(tr("Local port"), m_usbTunnelPort);
	layout->addWidget(m_usbTunnel);

	m_saveButton = new QPushButton(tr("Save settings"), content);
	layout->addWidget(m_saveButton);
	layout->addWidget(statusLabel());
	layout->addStretch();

	const auto changed =
		QOverload<int>::of(&QComboBox::currentIndexChanged);
	connect(m_maker, changed, this, [this] { populateModels(false); });
	connect(m_model, changed, this, [this] { populateSports(false); });
	connect(m_sport, changed, this, [this] { populateInputs(false); });
	connect(m_input, changed, this, [this] { updateWirelessVisibility(); });
	connect(m_autoScan, &QCheckBox::toggled, this,
		[this](bool on) { m_channel->setEnabled(!on); });
	connect(m_saveButton, &QPushButton::clicked, this,
		&SettingsPanel::save);

	// Until the device has been read, show what a new device has.
	showSettings();
}

void SettingsPanel::refresh()
{
	setMessage(tr("Loading…"));
	call(
		QStringLiteral("getControllerList"), {},
		[this](const RpcResult &r) {
			m_controllers =
				r.ok ? r.result.value(QStringLiteral(
							      "controllers"))
						.toArray()
				     : QJsonArray();
			loadConfig();
		},
		m_timings.callMs);
}

void SettingsPanel::loadConfig()
{
	call(
		QStringLiteral("getControllerConfig"), {},
		[this](const RpcResult &r) {
			m_config = r.ok ? r.result : QJsonObject();
			loadSettings();
		},
		m_timings.callMs);
}

void SettingsPanel::loadSettings()
{
	call(
		QStringLiteral("getSettings"), {},
		[this](const RpcResult &r) {
			if (!r.ok) {
				setMessage(r.message, true);
				return;
			}
			m_settings = r.result;
			showSettings();
			fill(m_maker, QStringLiteral("manufacturer"), {}, true);
			populateModels(true);
			if (m_controllers.isEmpty())
				setMessage(tr(
					"The device did not list its controllers; scoreboard choices are unavailable."));
			else
				setMessage(QString());
		},
		m_timings.callMs);
}

void SettingsPanel::showSettings()
{
	const auto flag = [this](const char *key, bool fallback) {
		return m_settings.value(QLatin1String(key)).toBool(fallback);
	};
	const auto number = [this](const char *key, int fallback) {
		return m_settings.value(QLatin1String(key)).toInt(fallback);
	};
	m_httpEndpoint->setChecked(flag("http_endpoint_enabled", true));
	m_tcpFeed->setChecked(flag("tcp_feed_enabled", true));
	m_testCloudData->setChecked(flag("test_cloud_data_enabled", false));
	m_wirelessOutput->setChecked(flag("wireless_output_enabled", false));
	m_outputNetworkId->setValue(number("wireless_output_network_id", 1));
	m_outputChannel->setValue(number("wireless_output_channel", 1));
	m_bridgeOutput->setChecked(
		flag("ethernet_bridge_output_enabled", false));
	m_bridgeHost->setText(
		m_settings.value(QStringLiteral("ethernet_bridge_peer_host"))
			.toString());
	m_bridgePort->setValue(number("ethernet_bridge_port", 1011));
	m_usbTunnel->setChecked(flag("usb_tunnel_enabled", false));
	m_usbTunnelPort->setValue(number("usb_tunnel_port", 18883));
}

void SettingsPanel::fill(QComboBox *box, const QString &key,
			 const QList<QPair<QString, QString>> &filter,
			 bool initial)
{
	QStringList values;
	for (const QJsonValue &entry : m_controllers) {
		const QJsonObject choice = entry.toObject();
		bool matches = true;
		for (const auto &f : filter)
			matches = matches &&
				  choice.value(f.first).toString() == f.second;
		const QString value = choice.value(key).toString();
		if (matches && !values.contains(value))
			values.append(value);
	}
	values.sort();

	// The caller runs the next step of the cascade itself, once.
	const QSignalBlocker blocker(box);
	box->clear();
	box->addItems(values);
	if (initial) {
		const QString wanted = m_config.value(key).toString();
		for (int i = 0; i < values.size(); ++i) {
			if (values.at(i).compare(wanted, Qt::CaseInsensitive) ==
			    0) {
				box->setCurrentIndex(i);
				break;
			}
		}
	}
}

void SettingsPanel::populateModels(bool initial)
{
	fill(m_model, QStringLiteral("model"),
	     {{QStringLiteral("manufacturer"), m_maker->currentText()}},
	     initial);
	populateSports(initial);
}

void SettingsPanel::populateSports(bool initial)
{
	fill(m_sport, QStringLiteral("sport"),
	     {{QStringLiteral("manufacturer"), m_maker->currentText()},
	      {QStringLiteral("model"), m_model->currentText()}},
	     initial);
	populateInputs(initial);
}

void SettingsPanel::populateInputs(bool initial)
{
	fill(m_input, QStringLiteral("input_type"),
	     {{QStringLiteral("manufacturer"), m_maker->currentText()},
	      {QStringLiteral("model"), m_model->currentText()},
	      {QStringLiteral("sport"), m_sport->currentText()}},
	     initial);
	updateWirelessVisibility();
}

SettingsPanel::Radio SettingsPanel::radioKind() const
{
	const QString maker = m_maker->currentText().toLower();
	return maker == QLatin1String("oes") ||
			       maker == QLatin1String("varsity")
		       ? Radio::Xbee
		       : Radio::Rm024;
}

bool SettingsPanel::isWireless() const
{
	return m_input->currentText() == kWireless;
}

void SettingsPanel::updateWirelessVisibility()
{
	m_wirelessInput->setVisible(isWireless());
	if (!isWireless())
		return;
	const bool xbee = radioKind() == Radio::Xbee;
	m_wirelessInput->setTitle(xbee ? tr("Wireless input (Xbee)")
				       : tr("Wireless input (RM024)"));
	m_xbeeBlock->setVisible(xbee);
	m_rm024Block->setVisible(!xbee);
	if (xbee) {
		const int channel =
			m_settings.value(QStringLiteral("xbee_channel"))
				.toInt(kXbeeChannelUnchanged);
		const int panId =
			m_settings.value(QStringLiteral("xbee_pan_id"))
				.toInt(kXbeePanIdUnchanged);
		m_xbeeChannel->setText(
			channel == kXbeeChannelUnchanged
				? QString()
				: QString::number(channel, 16).toUpper());
		m_xbeePanId->setText(
			panId == kXbeePanIdUnchanged
				? QString()
				: QStringLiteral("%1")
					  .arg(panId, 4, 16, QLatin1Char('0'))
					  .toUpper());
	} else {
		const bool autoScan =
			m_settings.value(QStringLiteral("wireless_auto_scan"))
				.toBool(true);
		m_autoScan->setChecked(autoScan);
		m_group->setValue(
			m_settings.value(QStringLiteral("wireless_group"))
				.toInt(0));
		m_channel->setValue(
			m_settings.value(QStringLiteral("wireless_channel"))
				.toInt(0));
		m_channel->setEnabled(!autoScan);
	}
}

void SettingsPanel::save()
{
	const QString maker = m_maker->currentText();
	const QString model = m_model->currentText();
	const QString sport = m_sport->currentText();
	const QString input = m_input->currentText();
	if (maker.isEmpty() || model.isEmpty() || sport.isEmpty() ||
	    input.isEmpty()) {
		setMessage(
			tr("Choose the scoreboard's maker, model, sport and connection first."),
			true);
		return;
	}

	QJsonObject params{
		{QStringLiteral("http_endpoint_enabled"),
		 m_httpEndpoint->isChecked()},
		{QStringLiteral("mqtt_config_enabled"), true},
		{QStringLiteral("tcp_feed_enabled"), m_tcpFeed->isChecked()},
		{QStringLiteral("test_cloud_data_enabled"),
		 m_testCloudData->isChecked()},
		{QStringLiteral("manufacturer"), maker},
		{QStringLiteral("model"), model},
		{QStringLiteral("sport"), sport},
		{QStringLiteral("input_type"), input},
		{QStringLiteral("wireless_output_enabled"),
		 m_wirelessOutput->isChecked()},
		{QStringLiteral("wireless_output_network_id"),
		 m_outputNetworkId->value()},
		{QStringLiteral("wireless_output_channel"),
		 m_outputChannel->value()},
		{QStringLiteral("ethernet_bridge_output_enabled"),
		 m_bridgeOutput->isChecked()},
		{QStringLiteral("ethernet_bridge_peer_host"),
		 m_bridgeHost->text()},
		{QStringLiteral("ethernet_bridge_port"), m_bridgePort->value()},
		{QStringLiteral("usb_tunnel_enabled"),
		 m_usbTunnel->isChecked()},
		{QStringLiteral("usb_tunnel_port"), m_usbTunnelPort->value()},
	};
	if (input == kWireless) {
		if (radioKind() == Radio::Xbee) {
			params.insert(QStringLiteral("xbee_channel"),
				      parseHex(m_xbeeChannel->text(),
					       kXbeeChannelUnchanged));
			params.insert(QStringLiteral("xbee_pan_id"),
				      parseHex(m_xbeePanId->text(),
					       kXbeePanIdUnchanged));
		} else {
			const bool autoScan = m_autoScan->isChecked();
			params.insert(QStringLiteral("wireless_auto_scan"),
				      autoScan);
			params.insert(QStringLiteral("wireless_group"),
				      m_group->value());
			// The radio ignores a fixed channel while it searches.
			params.insert(QStringLiteral("wireless_channel"),
				      autoScan ? 0 : m_channel->value());
		}
	}

	setMessage(tr("Saving…"));
	// Without a session nothing is sent and no answer comes back.
	m_saveButton->setEnabled(!session());
	call(
		QStringLiteral("setSettings"), params,
		[this](const RpcResult &r) {
			m_saveButton->setEnabled(true);
			if (!r.ok) {
				setMessage(r.message, true);
				return;
			}
			setMessage(tr(
				"Saved. The device is switching to the new settings."));
			QTimer::singleShot(m_timings.reloadAfterSaveMs, this,
					   &SettingsPanel::refresh);
		},
		m_timings.callMs);
}

} // namespace quillmarch
