// The USB sessions the application keeps alive for their cloud relays.
#include "app.h"

#include "admin/device_session.h"
#include "usb/usb_link.h"

namespace quillmarch {

namespace {

UsbLink *usbLinkOf(const DeviceSession *session)
{
	return session ? qobject_cast<UsbLink *>(session->link()) : nullptr;
}

bool ended(DeviceSession::State state)
{
	return state == DeviceSession::Idle || state == DeviceSession::Lost ||
	       state == DeviceSession::Error ||
	       state == DeviceSession::Restarting;
}

} // namespace

bool App::keepUsbRelay(DeviceSession *session)
{
	UsbLink *link = usbLinkOf(session);
	if (!link || !m_settings.shareConnection() || ended(session->state()))
		return false;
	// A device that asked for no cloud endpoint needs no relay; a
	// receiver still waiting for its device may ask later.
	if (!session->receiverOnly() && !link->cloudRelay()->status().hasTarget)
		return false;

	releaseUsbRelay(link->portPath());
	session->setParent(m_relayHolder);
	m_usbRelays.append(session);
	connect(link->cloudRelay(), &CloudRelay::statusChanged, this,
		&App::usbRelaysChanged);
	connect(session, &DeviceSession::stateChanged, this,
		[this, session](DeviceSession::State state) {
			if (state == DeviceSession::Lost ||
			    state == DeviceSession::Error ||
			    state == DeviceSession::Restarting)
				dropUsbRelay(session);
		});
	Q_EMIT usbRelaysChanged();
	return true;
}

void App::dropUsbRelay(DeviceSession *session)
{
	if (!m_usbRelays.removeAll(session))
		return;
	session->disconnect(this);
	if (UsbLink *link = usbLinkOf(session))
		link->cloudRelay()->disconnect(this);
	session->deleteLater();
	Q_EMIT usbRelaysChanged();
}

void App::releaseUsbRelay(const QString &portPath)
{
	QList<QPointer<DeviceSession>> kept;
	for (const QPointer<DeviceSession> &session : qAsConst(m_usbRelays)) {
		if (!session)
			continue;
		const UsbLink *link = usbLinkOf(session);
		if (link && link->portPath() == portPath) {
			session->disconnect(this);
			session->stop();
			session->deleteLater();
			continue;
		}
		kept.append(session);
	}
	m_usbRelays = kept;
	Q_EMIT usbRelaysChanged();
}

void App::stopUsbRelays()
{
	const QList<QPointer<DeviceSession>> sessions = m_usbRelays;
	m_usbRelays.clear();
	for (const QPointer<DeviceSession> &session : sessions) {
		if (!session)
			continue;
		session->disconnect(this);
		session->stop();
		session->deleteLater();
	}
	Q_EMIT usbRelaysChanged();
}

QStringList App::usbRelaySummaries() const
{
	QStringList lines;
	for (const QPointer<DeviceSession> &session : m_usbRelays) {
		const UsbLink *link = usbLinkOf(session);
		if (!link)
			continue;
		QString who;
		if (session->receiverOnly())
			who = tr("wireless receiver");
		else if (!session->deviceId().isEmpty())
			who = session->deviceId();
		else
			who = tr("USB device");
		const CloudRelayStatus &relay = link->cloudRelay()->status();
		QString how;
		if (relay.connected)
			how = tr(
				"connected to the cloud through this computer");
		else if (!relay.lastError.isEmpty())
			how = tr("cannot reach the cloud (%1)")
				      .arg(relay.lastError);
		else if (relay.hasTarget)
			how = tr("ready, waiting for the device");
		else
			how = tr("waiting for the paired device");
		lines.append(QStringLiteral("%1: %2").arg(who, how));
	}
	return lines;
}

} // namespace quillmarch
