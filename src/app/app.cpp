#include "app.h"

#include "base/log.h"
#include "live/source_manager.h"
#include "server/hosted_server.h"
#include "server/web_feed.h"
#include "update/plugin_updater.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QTimer>

#include <atomic>

namespace quillmarch {

namespace {

// Source callbacks read this from OBS's own threads.
std::atomic<App *> g_instance{nullptr};

} // namespace

QString AppEnvironment::portalBaseUrl() const
{
	return PortalClient::defaultBaseUrl();
}

App::App(std::unique_ptr<AppEnvironment> environment)
	: m_environment(std::move(environment)),
	  m_portal(m_environment->portalBaseUrl())
{
	m_settings.setPath(
		m_environment->configPath(QStringLiteral("settings.json")));
	m_settings.load();
	m_portal.setSessionFile(
		m_environment->configPath(QStringLiteral("session.json")));

	m_relayHolder = new QObject(this);
	m_liveData.setDelayMs(m_settings.liveDelaySeconds() * 1000);
	m_sources = new SourceManager(&m_portal, &m_liveData, this);

	m_server = new HostedServer(&m_liveData, this);
	m_server->setCommandHandler(
		[this](const QString &op, const QJsonObject &request) {
			return handleCommand(op, request);
		});
	connect(m_server, &HostedServer::clientsChanged, this,
		&App::serverStateChanged);
	m_webFeed = new WebFeed(&m_liveData, this);

	connect(&m_portal, &PortalClient::signedInChanged, this,
		&App::onSignedInChanged);
	applyServerSettings();
	setUpUpdates();

	m_portal.restoreSession([](const PortalResult &r) {
		if (!r.ok && r.status != 0 && r.status != 401)
			logWarning(QStringLiteral(
					   "could not restore sign-in: HTTP %1")
					   .arg(r.status));
	});
}

App::~App()
{
	// The children hold pointers to the members above; they must go
	// first, while those still exist.
	delete m_updater;
	delete m_webFeed;
	delete m_server;
	delete m_sources;
	delete m_relayHolder;
}

void App::init(std::unique_ptr<AppEnvironment> environment)
{
	if (g_instance.load() || !environment)
		return;
	g_instance.store(new App(std::move(environment)));
}

void App::shutdown()
{
	App *app = g_instance.exchange(nullptr);
	delete app;
}

App *App::get()
{
	return g_instance.load();
}

bool App::ready()
{
	return g_instance.load() != nullptr;
}

void App::onSignedInChanged(bool signedIn)
{
	if (signedIn) {
		refreshDevices([this](bool ok, const QString &) {
			if (ok)
				autoSelectSource();
		});
		refreshOutputs();
		return;
	}
	m_devices.clear();
	m_outputs.clear();
	Q_EMIT devicesChanged();
	Q_EMIT outputsChanged();
}

void App::refreshDevices(DoneCallback done)
{
	m_portal.listDevices([this, done](const PortalResult &r) {
		if (r.ok) {
			m_devices = PortalClient::parseDevices(r.body);
			Q_EMIT devicesChanged();
		}
		if (done)
			done(r.ok, r.message);
	});
}

void App::refreshOutputs(DoneCallback done)
{
	if (!m_portal.isSignedIn()) {
		m_outputsError = tr(
			"Sign in from the Quillmarch dock to see your graphics.");
		if (done)
			done(false, m_outputsError);
		return;
	}
	m_portal.listGraphicsOutputs([this, done](const PortalResult &r) {
		if (r.ok) {
			m_outputs = PortalClient::parseOutputs(
				r.body, m_portal.baseUrl());
			m_outputsError.clear();
			Q_EMIT outputsChanged();
		} else if (r.code == QLatin1String(
					     "cloud_subscription_required") ||
			   r.status == 402) {
			m_outputsError = tr(
				"Graphics need an active Quillmarch cloud plan.");
		} else {
			m_outputsError = r.message;
		}
		if (done)
			done(r.ok, m_outputsError);
	});
}

bool App::refreshOutputsBlocking(int timeoutMs)
{
	// The portal may answer after the wait gave up; the answer then
	// finds the shared record, not this function's dead stack.
	struct Wait {
		bool finished = false;
		bool ok = false;
		QEventLoop *loop = nullptr;
	};
	auto wait = std::make_shared<Wait>();
	refreshOutputs([wait](bool success, const QString &) {
		wait->finished = true;
		wait->ok = success;
		if (wait->loop)
			wait->loop->quit();
	});
	if (wait->finished)
		return wait->ok;
	QEventLoop loop;
	wait->loop = &loop;
	QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
	loop.exec();
	wait->loop = nullptr;
	return wait->finished && wait->ok;
}

void App::autoSelectSource()
{
	if (m_sources->mode() != SourceManager::None)
		return;
	const QString remembered = m_settings.selectedDevice();
	QString id;
	for (const PortalDevice &device : m_devices) {
		if (device.deviceId == remembered) {
			id = remembered;
			break;
		}
	}
	if (id.isEmpty() && m_devices.size() == 1)
		id = m_devices.first().deviceId;
	if (!id.isEmpty())
		selectCloudDevice(id);
}

void App::selectCloudDevice(const QString &deviceId)
{
	m_settings.setSelectedDevice(deviceId);
	const LanDevice lan = m_settings.lanDevice(deviceId);
	if (m_settings.preferredRoute(deviceId) == QLatin1String("lan") &&
	    !lan.host.isEmpty() && !lan.token.isEmpty())
		m_sources->useLan(deviceId, lan);
	else
		m_sources->useCloud(deviceId);
}

void App::setLiveDelaySeconds(int seconds)
{
	m_settings.setLiveDelaySeconds(seconds);
	m_liveData.setDelayMs(m_settings.liveDelaySeconds() * 1000);
	logInfo(QStringLiteral("live data delay %1 s")
			.arg(m_settings.liveDelaySeconds()));
}

void App::applyServerSettings()
{
	if (!m_settings.serverEnabled()) {
		m_webFeed->stop();
		m_server->stop();
		Q_EMIT serverStateChanged();
		return;
	}
	QString error;
	const int port = m_settings.serverPort();
	// A hand-edited port past 65535 would otherwise wrap to another one
	// (70000 to 4464) and other programs would look in the wrong place.
	if (port < 1 || port > 65535) {
		m_webFeed->stop();
		m_server->stop();
		logWarning(
			QStringLiteral(
				"Could not listen on port %1: the port must be between 1 and 65535.")
				.arg(port));
	} else if (!m_server->start(quint16(port),
				    m_settings.serverAllowNetwork(), &error)) {
		m_webFeed->stop();
		logWarning(error);
	} else if (!m_webFeed->start(port + 1, m_settings.serverAllowNetwork(),
				     &error)) {
		// The TCP clients are served all the same.
		logWarning(error);
	}
	Q_EMIT serverStateChanged();
}

QJsonObject App::handleCommand(const QString &op, const QJsonObject &request)
{
	if (op == QLatin1String("status")) {
		return QJsonObject{
			{QStringLiteral("signed_in"), m_portal.isSignedIn()},
			{QStringLiteral("account"), m_portal.email()},
			{QStringLiteral("source"), m_sources->label()},
			{QStringLiteral("device"), m_sources->deviceId()},
			{QStringLiteral("live"), m_sources->isLive()},
			{QStringLiteral("message"), m_sources->statusText()},
			{QStringLiteral("sport"), m_liveData.sport()},
		};
	}
	if (op == QLatin1String("devices")) {
		QJsonArray list;
		for (const PortalDevice &device : m_devices)
			list.append(QJsonObject{{QStringLiteral("id"),
						 device.deviceId},
						{QStringLiteral("name"),
						 device.displayName()}});
		return QJsonObject{{QStringLiteral("devices"), list}};
	}
	if (op == QLatin1String("use")) {
		const QString id =
			request.value(QLatin1String("device")).toString();
		for (const PortalDevice &device : m_devices) {
			if (!id.isEmpty() && device.deviceId == id) {
				selectCloudDevice(id);
				return QJsonObject{
					{QStringLiteral("device"), id}};
			}
		}
		return QJsonObject{{QStringLiteral("ok"), false},
				   {QStringLiteral("error"),
				    QStringLiteral("unknown_device")}};
	}
	return QJsonObject{{QStringLiteral("ok"), false},
			   {QStringLiteral("error"),
			    QStringLiteral("unknown_op")}};
}

} // namespace quillmarch
