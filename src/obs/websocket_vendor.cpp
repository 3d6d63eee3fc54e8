#include "websocket_vendor.h"

#include "app.h"
#include "base/log.h"
#include "live/live_data.h"

#include <obs-frontend-api.h>
#include <obs-module.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

using namespace quillmarch;

namespace {

constexpr const char *kVendorName = "quillmarch";
constexpr const char *kLiveChanged = "live_changed";
// At most 20 live_changed events a second: a remote control redraws a
// button, it does not need every tick of the game clock.
constexpr int kMinEventGapMs = 50;
// A request waits this long for the main thread before it is answered
// with an error, so obs-websocket's thread is never held for good.
constexpr auto kRequestTimeout = std::chrono::seconds(5);

// obs-websocket's plug-in interface, reached through proc handlers by name:
// the global handler hands out obs-websocket's own one, which registers
// vendors, their requests and emits their events.
class WebsocketApi {
public:
	// False when obs-websocket is not loaded or refuses the vendor.
	bool attach(const char *vendorName)
	{
		calldata_t cd;
		calldata_init(&cd);
		proc_handler_t *global = obs_get_proc_handler();
		if (global &&
		    proc_handler_call(global, "obs_websocket_api_get_ph", &cd))
			m_ph = static_cast<proc_handler_t *>(
				calldata_ptr(&cd, "ph"));
		calldata_free(&cd);
		if (!m_ph) {
			logInfo(QStringLiteral(
				"obs-websocket not found; remote-control requests are off"));
			return false;
		}

		calldata_init(&cd);
		long long version = 0;
		if (proc_handler_call(m_ph, "get_api_version", &cd))
			version = calldata_int(&cd, "version");
		calldata_free(&cd);

		calldata_init(&cd);
		calldata_set_string(&cd, "name", vendorName);
		proc_handler_call(m_ph, "vendor_register", &cd);
		m_vendor = calldata_ptr(&cd, "vendor");
		calldata_free(&cd);
		if (!m_vendor) {
			logWarning(
				QStringLiteral(
					"obs-websocket (API %1) refused the vendor %2")
					.arg(version)
					.arg(QLatin1String(vendorName)));
			m_ph = nullptr;
			return false;
		}
		logInfo(QStringLiteral(
				"obs-websocket vendor %1 registered (API %2)")
				.arg(QLatin1String(vendorName))
				.arg(version));
		return true;
	}

	// obs-websocket keeps its own copy of *callback.
	bool registerRequest(const char *type, void *callback)
	{
		calldata_t cd;
		calldata_init(&cd);
		calldata_set_string(&cd, "type", type);
		calldata_set_ptr(&cd, "callback", callback);
		const bool ok = call("vendor_request_register", &cd);
		calldata_free(&cd);
		return ok;
	}

	void unregisterRequest(const char *type)
	{
		calldata_t cd;
		calldata_init(&cd);
		calldata_set_string(&cd, "type", type);
		call("vendor_request_unregister", &cd);
		calldata_free(&cd);
	}

	// Does not take over `data`.
	void emitEvent(const char *type, obs_data_t *data)
	{
		calldata_t cd;
		calldata_init(&cd);
		calldata_set_string(&cd, "type", type);
		calldata_set_ptr(&cd, "data", data);
		call("vendor_event_emit", &cd);
		calldata_free(&cd);
	}

	void detach()
	{
		m_ph = nullptr;
		m_vendor = nullptr;
	}

private:
	bool call(const char *proc, calldata_t *cd)
	{
		if (!m_ph || !m_vendor)
			return false;
		calldata_set_ptr(cd, "vendor", m_vendor);
		return proc_handler_call(m_ph, proc, cd) &&
		       calldata_bool(cd, "success");
	}

	proc_handler_t *m_ph = nullptr;
	void *m_vendor = nullptr;
};

// The callback record obs-websocket's request registration takes.
struct RequestCallback {
	void (*callback)(obs_data_t *request, obs_data_t *response, void *priv);
	void *priv;
};

using Work = QJsonObject (*)(App &app, const QJsonObject &request);

struct Request {
	const char *type;
	Work work;
};

QJsonObject failure(const char *code, const QString &message)
{
	return QJsonObject{{QStringLiteral("ok"), false},
			   {QStringLiteral("error"), QLatin1String(code)},
			   {QStringLiteral("message"), message}};
}

QJsonObject getLive(App &app, const QJsonObject &)
{
	return app.liveData().toJson();
}

QJsonObject getStatus(App &app, const QJsonObject &)
{
	QJsonObject status = app.handleCommand(QStringLiteral("status"), {});
	status.insert(QStringLiteral("ok"), true);
	return status;
}

QJsonObject getDevices(App &app, const QJsonObject &)
{
	QJsonArray list;
	for (const PortalDevice &device : app.devices())
		list.append(QJsonObject{
			{QStringLiteral("id"), device.deviceId},
			{QStringLiteral("nickname"), device.nickname},
			{QStringLiteral("name"), device.displayName()},
			{QStringLiteral("status"), device.status},
			{QStringLiteral("online"),
			 device.status == QLatin1String("online")},
		});
	return QJsonObject{{QStringLiteral("ok"), true},
			   {QStringLiteral("devices"), list}};
}

QJsonObject selectDevice(App &app, const QJsonObject &request)
{
	const QString id =
		request.value(QLatin1String("device_id")).toString().trimmed();
	if (id.isEmpty())
		return failure("missing_device_id",
			       QStringLiteral("Give the device to use as "
					      "\"device_id\"."));
	bool known = false;
	for (const PortalDevice &device : app.devices())
		known = known || device.deviceId == id;
	if (!known)
		return failure("unknown_device",
			       QStringLiteral("%1 is not a device of the "
					      "signed-in account.")
				       .arg(id));
	app.selectCloudDevice(id);
	return QJsonObject{{QStringLiteral("ok"), true},
			   {QStringLiteral("device_id"), id}};
}

const Request kRequests[] = {
	{"get_live", &getLive},
	{"get_status", &getStatus},
	{"get_devices", &getDevices},
	{"select_device", &selectDevice},
};

// One request waiting for the main thread. Either the main thread answers
// it or closing does (or the wait gives up); whoever comes first wins.
struct Call {
	std::mutex mutex;
	std::condition_variable finished;
	bool done = false;
	QJsonObject answer;

	void finish(const QJsonObject &result)
	{
		{
			std::lock_guard<std::mutex> lock(mutex);
			if (done)
				return;
			done = true;
			answer = result;
		}
		finished.notify_all();
	}
};

// Main thread: follows the live data and emits the coalesced events; the
// requests' work is queued to it.
class VendorLink : public QObject {
public:
	explicit VendorLink(LiveData *live)
	{
		m_cooldown.setSingleShot(true);
		m_cooldown.setInterval(kMinEventGapMs);
		connect(&m_cooldown, &QTimer::timeout, this, [this] {
			if (m_pending)
				emitLiveChanged();
		});
		connect(live, &LiveData::changed, this, [this] {
			if (m_cooldown.isActive())
				m_pending = true;
			else
				emitLiveChanged();
		});
	}

	WebsocketApi api;

private:
	void emitLiveChanged()
	{
		m_pending = false;
		m_cooldown.start();
		App *app = App::get();
		if (!app)
			return;
		const QByteArray json = QJsonDocument(app->liveData().toJson())
						.toJson(QJsonDocument::Compact);
		obs_data_t *data = obs_data_create_from_json(json.constData());
		if (!data)
			return;
		api.emitEvent(kLiveChanged, data);
		obs_data_release(data);
	}

	QTimer m_cooldown;
	bool m_pending = false;
};

// g_mutex guards g_link (null once closed) and g_calls against the
// requests arriving on obs-websocket's threads.
std::mutex g_mutex;
VendorLink *g_link = nullptr;
std::vector<std::shared_ptr<Call>> g_calls;
RequestCallback g_callbacks[std::size(kRequests)];
bool g_frontendCallback = false;
// OBS has sent its exit event: obs-websocket may unload before we do, so
// it is not called after that (nor is the frontend API).
bool g_frontendClosed = false;

void respond(obs_data_t *response, const QJsonObject &answer)
{
	if (!response)
		return;
	const QByteArray json =
		QJsonDocument(answer).toJson(QJsonDocument::Compact);
	obs_data_t *data = obs_data_create_from_json(json.constData());
	if (!data)
		return;
	obs_data_apply(response, data);
	obs_data_release(data);
}

QJsonObject parseRequest(obs_data_t *request)
{
	const char *json = request ? obs_data_get_json(request) : nullptr;
	if (!json)
		return {};
	return QJsonDocument::fromJson(QByteArray(json)).object();
}

QJsonObject unavailable()
{
	return failure("unavailable",
		       QStringLiteral("Quillmarch is not running."));
}

QJsonObject runOnMainThread(const Request &request, const QJsonObject &input)
{
	auto call = std::make_shared<Call>();
	bool here = false;
	{
		std::lock_guard<std::mutex> lock(g_mutex);
		if (!g_link)
			return unavailable();
		// Another plug-in calling in from the main thread: waiting for
		// it would wait for ourselves. Closing happens on this thread
		// too, so the link stays while the work runs below.
		here = QThread::currentThread() == g_link->thread();
		if (!here) {
			// A closed link deletes its pending work with it;
			// closing also finishes every call still waiting.
			g_calls.push_back(call);
			QMetaObject::invokeMethod(
				g_link,
				[call, work = request.work, input] {
					App *app = App::get();
					call->finish(app ? work(*app, input)
							 : unavailable());
				},
				Qt::QueuedConnection);
		}
	}
	if (here) {
		App *app = App::get();
		return app ? request.work(*app, input) : unavailable();
	}

	QJsonObject answer;
	{
		std::unique_lock<std::mutex> lock(call->mutex);
		if (call->finished.wait_for(lock, kRequestTimeout,
					    [&call] { return call->done; }))
			answer = call->answer;
		else
			answer = failure(
				"timeout",
				QStringLiteral("OBS did not answer in time."));
	}
	std::lock_guard<std::mutex> lock(g_mutex);
	g_calls.erase(std::remove(g_calls.begin(), g_calls.end(), call),
		      g_calls.end());
	return answer;
}

void onRequest(obs_data_t *requestData, obs_data_t *responseData, void *priv)
{
	const auto *request = static_cast<const Request *>(priv);
	respond(responseData,
		runOnMainThread(*request, parseRequest(requestData)));
}

// Main thread. Stops the events and answers every request from now on
// (and those waiting) with "unavailable"; unregisters the requests while
// obs-websocket is surely still there.
void close(bool unregister)
{
	VendorLink *link = nullptr;
	{
		std::lock_guard<std::mutex> lock(g_mutex);
		link = g_link;
		g_link = nullptr;
		for (const auto &call : g_calls)
			call->finish(unavailable());
	}
	if (!link)
		return;
	if (unregister)
		for (const Request &request : kRequests)
			link->api.unregisterRequest(request.type);
	link->api.detach();
	delete link;
}

void onFrontendEvent(enum obs_frontend_event event, void *)
{
	// Scripting shuts down first: the earliest sign that OBS is closing.
	if (event == OBS_FRONTEND_EVENT_SCRIPTING_SHUTDOWN ||
	    event == OBS_FRONTEND_EVENT_EXIT) {
		close(true);
		if (event == OBS_FRONTEND_EVENT_EXIT)
			g_frontendClosed = true;
	}
}

} // namespace

void websocket_vendor_register()
{
	App *app = App::get();
	if (!app || g_link)
		return;
	auto *link = new VendorLink(&app->liveData());
	if (!link->api.attach(kVendorName)) {
		delete link;
		return;
	}
	for (size_t i = 0; i < std::size(kRequests); ++i) {
		g_callbacks[i] = {&onRequest,
				  const_cast<Request *>(&kRequests[i])};
		if (!link->api.registerRequest(kRequests[i].type,
					       &g_callbacks[i]))
			logWarning(
				QStringLiteral("obs-websocket refused the "
					       "request %1")
					.arg(QLatin1String(kRequests[i].type)));
	}
	{
		std::lock_guard<std::mutex> lock(g_mutex);
		g_link = link;
	}
	g_frontendClosed = false;
	g_frontendCallback = true;
	obs_frontend_add_event_callback(onFrontendEvent, nullptr);
}

void websocket_vendor_unregister()
{
	if (g_frontendCallback && !g_frontendClosed)
		obs_frontend_remove_event_callback(onFrontendEvent, nullptr);
	g_frontendCallback = false;
	// Without the exit event we cannot tell whether obs-websocket is
	// still loaded: its requests stay registered and answer
	// "unavailable" from here on, which is safe either way.
	close(false);
}
