#include "share_panel.h"

#include "app.h"
#include "usb/usb_link.h"

#include <QCheckBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

namespace quillmarch {

namespace {

bool shareSetting()
{
	App *app = App::get();
	return !app || app->settings().shareConnection();
}

} // namespace

SharePanel::SharePanel(QWidget *parent)
	: QGroupBox(tr("Share this computer's internet connection"), parent)
{
	auto *layout = new QVBoxLayout(this);
	m_share = new QCheckBox(tr("Let the device reach the Quillmarch cloud "
				   "through this computer"),
				this);
	layout->addWidget(m_share);
	m_info = new QLabel(this);
	m_info->setWordWrap(true);
	layout->addWidget(m_info);

	connect(m_share, &QCheckBox::toggled, this, [this](bool on) {
		if (App *app = App::get())
			app->settings().setShareConnection(on);
		if (m_link)
			m_link->cloudRelay()->setEnabled(on);
		update();
	});
	m_timer = new QTimer(this);
	m_timer->setInterval(1000);
	connect(m_timer, &QTimer::timeout, this, &SharePanel::update);
	m_timer->start();
	hide();
}

void SharePanel::setLink(UsbLink *link, bool compact)
{
	if (link && link != m_link)
		connect(link, &UsbLink::tunnelChanged, this,
			&SharePanel::update, Qt::UniqueConnection);
	m_link = link;
	m_compact = compact;
	if (!link) {
		hide();
		return;
	}
	show();
	link->cloudRelay()->setEnabled(shareSetting());
	update();
}

QString SharePanel::byteText(quint64 bytes)
{
	if (bytes < 1024)
		return tr("%1 B").arg(bytes);
	if (bytes < 1024 * 1024)
		return tr("%1 KB").arg(double(bytes) / 1024.0, 0, 'f', 1);
	return tr("%1 MB").arg(double(bytes) / (1024.0 * 1024.0), 0, 'f', 1);
}

void SharePanel::update()
{
	if (!m_link) {
		hide();
		return;
	}
	const CloudRelayStatus cloud = m_link->cloudRelay()->status();
	{
		const QSignalBlocker blocker(m_share);
		m_share->setChecked(cloud.enabled);
	}
	QString text;
	if (!cloud.enabled) {
		text = tr("Sharing is off, so the device cannot reach the "
			  "cloud over this cable.");
	} else if (!cloud.hasTarget) {
		text = m_compact
			       ? tr("Waiting for the paired device to ask for "
				    "the cloud. This starts once the device "
				    "is linked to the receiver and has its "
				    "cloud sign-in.")
			       : tr("The device is not asking for a cloud "
				    "connection over USB. Turn on \"Cloud over "
				    "USB\" in this device's Settings tab (the "
				    "device also needs its cloud sign-in).");
	} else if (cloud.connected) {
		text = tr("Connected to the cloud through this computer.  "
			  "Sent %1, received %2.")
			       .arg(byteText(cloud.bytesUp),
				    byteText(cloud.bytesDown));
	} else if (!cloud.lastError.isEmpty()) {
		text = tr("This computer could not reach the cloud (%1). Check "
			  "its internet connection.")
			       .arg(cloud.lastError);
	} else {
		text = tr("Ready. This computer connects to %1 as soon as the "
			  "device asks.")
			       .arg(cloud.host);
	}
	const StreamRelayStatus streams = m_link->streamRelay()->status();
	text += QLatin1Char('\n');
	if (streams.destinationNames.contains(QLatin1String("ota"))) {
		const QString now =
			streams.activeStreams > 0
				? tr(" (downloading now: %1 received)")
					  .arg(byteText(streams.bytesToDevice))
				: QString();
		text += tr("Firmware updates for a device with no Wi-Fi or "
			   "Ethernet also download through this computer%1.")
				.arg(now);
	} else {
		text += tr("Only the live-score cloud link travels over the "
			   "cable. This device downloads firmware itself, so "
			   "it needs Wi-Fi or Ethernet for updates (or update "
			   "its firmware over Wi-Fi once).");
	}
	m_info->setText(text);
}

} // namespace quillmarch
