#include "live/source_manager.h"

#include "account/portal_client.h"
#include "admin/device_session.h"
#include "lan/tls_feed.h"
#include "live/live_data.h"

namespace quillmarch {

SourceManager::SourceManager(PortalClient *portal, LiveData *live,
			     QObject *parent)
	: QObject(parent),
	  m_portal(portal),
	  m_live(live),
	  m_feed(new TlsFeed(this)),
	  m_feedPort(TlsFeed::kDefaultPort)
{
	m_pollTimer.setInterval(m_timings.pollMs);
	connect(&m_pollTimer, &QTimer::timeout, this,
		&SourceManager::pollCloud);
	connect(m_feed, &TlsFeed::envelope, this,
		&SourceManager::onFeedEnvelope);
	connect(m_feed, &TlsFeed::connectedChanged, this,
		&SourceManager::onFeedConnected);
	connect(m_portal, &PortalClient::signedInChanged, this,
		&SourceManager::onSignedInChanged);
}

SourceManager::~SourceManager() = default;

void SourceManager::setTimings(const Timings &timings)
{
	m_timings = timings;
	m_pollTimer.setInterval(timings.pollMs);
}

void SourceManager::setStatus(bool live, const QString &text)
{
	if (live == m_isLive && text == m_statusText)
		return;
	m_isLive = live;
	m_statusText = text;
	Q_EMIT statusChanged();
}

void SourceManager::switchSource(Mode mode, const QString &deviceId,
				 const QString &label)
{
	// Everything of the previous source stops first; the generation
	// makes its late answers harmless.
	++m_generation;
	m_pollTimer.stop();
	m_pollInFlight = false;
	m_feed->stop();
	if (m_session) {
		disconnect(m_session, nullptr, this, nullptr);
		m_session = nullptr;
	}
	m_live->clear();

	m_mode = mode;
	m_deviceId = deviceId;
	m_label = label;
	m_live->setSourceLabel(label);
}

void SourceManager::useSession(DeviceSession *session, const QString &label)
{
	switchSource(Session, session ? session->deviceId() : QString(), label);
	m_session = session;
	if (!session)
		return;
	connect(session, &DeviceSession::envelope, this,
		[this](const QJsonObject &envelope) {
			if (m_live->ingest(envelope) && !m_isLive)
				setStatus(true,
					  tr("Live from %1").arg(m_label));
		});
	connect(session, &DeviceSession::stateChanged, this,
		[this](DeviceSession::State state, const QString &detail) {
			switch (state) {
			case DeviceSession::Restarting:
				setStatus(
					false,
					tr("%1 is restarting. Reopen the setup window to reconnect.")
						.arg(m_label));
				break;
			case DeviceSession::Lost:
			case DeviceSession::Error:
				setStatus(
					false,
					detail.isEmpty()
						? tr("Lost the connection to %1")
							  .arg(m_label)
						: detail);
				break;
			case DeviceSession::Ready:
				if (!m_isLive)
					setStatus(
						false,
						tr("Connected to %1, waiting for scoreboard data…")
							.arg(m_label));
				break;
			default:
				break;
			}
		});
	setStatus(false, tr("Connected to %1, waiting for scoreboard data…")
				 .arg(m_label));
}

void SourceManager::useLan(const QString &deviceId, const LanDevice &device)
{
	switchSource(Lan, deviceId,
		     device.name.isEmpty() ? deviceId : device.name);
	setStatus(false, tr("Connecting to %1 on your network…").arg(m_label));
	m_feed->connectTo(device.host, m_feedPort, device.token);
}

void SourceManager::onFeedEnvelope(const QJsonObject &envelope)
{
	if (m_mode != Lan)
		return;
	if (m_live->ingest(envelope) && !m_isLive)
		setStatus(true,
			  tr("Live from %1 over your network").arg(m_label));
}

void SourceManager::onFeedConnected(bool connected, const QString &detail)
{
	if (m_mode != Lan)
		return;
	if (connected)
		setStatus(false,
			  tr("Connected to %1, waiting for scoreboard data…")
				  .arg(m_label));
	else
		setStatus(false,
			  detail.isEmpty()
				  ? tr("Reconnecting to %1…").arg(m_label)
				  : detail);
}

void SourceManager::useCloud(const QString &deviceId)
{
	switchSource(Cloud, deviceId, deviceId);
	m_pollFailures = 0;
	setStatus(false, tr("Connecting to %1…").arg(m_label));
	// The interval is left as it is: a slowed poll only speeds up again
	// after a poll that works.
	m_pollTimer.start();
	pollCloud();
}

void SourceManager::pollCloud()
{
	if (m_mode != Cloud || m_pollInFlight)
		return;
	if (!m_portal->isSignedIn()) {
		// The timer keeps running, so polling resumes after sign-in.
		setStatus(false, tr("Sign in to see live scores."));
		return;
	}
	m_pollInFlight = true;
	const int generation = m_generation;
	m_portal->deviceState(m_deviceId, [this,
					   generation](const PortalResult &r) {
		if (generation != m_generation)
			return;
		m_pollInFlight = false;
		if (!r.ok) {
			++m_pollFailures;
			if (r.code == QLatin1String(
					      "cloud_subscription_required") ||
			    r.code ==
				    QLatin1String(
					    "device_not_found_or_not_owned")) {
				// Retrying cannot fix these.
				m_pollTimer.stop();
				setStatus(false, r.message);
				return;
			}
			setStatus(false, r.message);
			if (m_pollFailures >= kFailuresBeforeSlowPoll)
				m_pollTimer.setInterval(m_timings.slowPollMs);
			return;
		}
		m_pollFailures = 0;
		m_pollTimer.setInterval(m_timings.pollMs);
		if (r.body.value(QLatin1String("type")).toString() ==
		    QLatin1String("pending")) {
			setStatus(false,
				  tr("%1 has not sent any scoreboard data yet.")
					  .arg(m_label));
			return;
		}
		const bool online =
			r.body.value(QLatin1String("online")).toBool(true);
		m_live->ingest(r.body);
		if (online)
			setStatus(true, tr("Live from %1").arg(m_label));
		else
			setStatus(false,
				  tr("%1 is offline. Showing its last scores.")
					  .arg(m_label));
	});
}

void SourceManager::onSignedInChanged(bool signedIn)
{
	if (signedIn || m_mode != Cloud)
		return;
	// A poll already on its way would otherwise bring the scores and
	// "Live from …" back after the user signed out.
	++m_generation;
	m_pollInFlight = false;
	m_pollTimer.stop();
	setStatus(false, tr("Signed out. Sign in to see live scores."));
}

} // namespace quillmarch
