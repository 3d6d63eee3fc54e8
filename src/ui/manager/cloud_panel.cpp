#include "cloud_panel.h"

#include "admin/device_session.h"
#include "manager/share_panel.h"
#include "usb/usb_link.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmarch {

namespace {

constexpr int kCallMs = 20000;

} // namespace

CloudPanel::CloudPanel(DeviceSession *session, QWidget *parent)
	: PanelBase(session, parent)
{
	auto *layout = new QVBoxLayout(this);

	m_state = new QLabel(this);
	m_state->setWordWrap(true);
	m_state->setTextInteractionFlags(Qt::TextSelectableByMouse);
	layout->addWidget(m_state);

	// Only a device on a USB cable can borrow this computer's internet.
	m_share = new SharePanel(this);
	m_share->setLink(session ? qobject_cast<UsbLink *>(session->link())
				 : nullptr,
			 false);
	layout->addWidget(m_share);

	auto *refreshButton = new QPushButton(tr("Refresh"), this);
	layout->addWidget(refreshButton, 0, Qt::AlignLeft);

	layout->addWidget(new QLabel(tr("<b>Device ID</b>"), this));
	auto *idNote = new QLabel(
		tr("Identifies this device in your Quillmarch account. Only change it if instructed by support."),
		this);
	idNote->setWordWrap(true);
	layout->addWidget(idNote);
	m_deviceId = new QLineEdit(this);
	m_deviceId->setPlaceholderText(tr("Device ID, e.g. quillmarch0029"));
	layout->addWidget(m_deviceId);
	m_saveButton = new QPushButton(tr("Save device ID"), this);
	layout->addWidget(m_saveButton, 0, Qt::AlignLeft);

	m_forgetButton = new QPushButton(
		tr("Forget cloud sign-in on this device…"), this);
	layout->addWidget(m_forgetButton, 0, Qt::AlignLeft);
	layout->addWidget(statusLabel());
	layout->addStretch();

	connect(refreshButton, &QPushButton::clicked, this,
		&CloudPanel::refresh);
	connect(m_saveButton, &QPushButton::clicked, this,
		&CloudPanel::saveDeviceId);
	connect(m_forgetButton, &QPushButton::clicked, this,
		&CloudPanel::forget);
}

void CloudPanel::refresh()
{
	call(
		QStringLiteral("getStatus"), {},
		[this](const RpcResult &r) {
			if (!r.ok) {
				setMessage(r.message, true);
				return;
			}
			QString text =
				tr("Connected to the cloud: %1")
					.arg(r.result.value(QStringLiteral(
								    "mqtt_connected"))
							     .toBool()
						     ? tr("yes")
						     : tr("no"));
			const QString route =
				r.result.value(QStringLiteral("mqtt_transport"))
					.toString();
			if (!route.isEmpty())
				text += QLatin1Char('\n') +
					tr("Route: %1").arg(route);
			m_state->setText(text);
			m_deviceId->setText(
				r.result.value(QStringLiteral("device_id"))
					.toString());
		},
		kCallMs);
}

void CloudPanel::saveDeviceId()
{
	const QString id = m_deviceId->text();
	if (id.isEmpty())
		return;
	call(
		QStringLiteral("setDeviceId"),
		{{QStringLiteral("device_id"), id}},
		[this](const RpcResult &r) {
			if (r.ok)
				setMessage(tr("Saved."));
			else
				setMessage(r.message, true);
		},
		kCallMs);
}

void CloudPanel::forget()
{
	if (!ask(tr("Forget cloud sign-in"),
		 tr("The device stops sending scores to the cloud until it is set up for it again. Continue?")))
		return;
	call(
		QStringLiteral("clearMqttConfig"), {},
		[this](const RpcResult &r) {
			if (r.ok)
				setMessage(tr(
					"Done. The device no longer has cloud credentials."));
			else
				setMessage(r.message, true);
		},
		kCallMs);
}

} // namespace quillmarch
