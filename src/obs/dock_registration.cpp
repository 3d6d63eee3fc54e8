#include "dock_registration.h"

#include "app.h"
#include "dock/dock.h"
#include "dock_compat.h"
#include "obs_dock_host.h"

#include <obs-frontend-api.h>
#include <util/config-file.h>

#include <QDockWidget>
#include <QMainWindow>
#include <QPointer>

using namespace quillmarch;

namespace {

constexpr const char *kDockId = "quillmarch-dock";
constexpr const char *kDockTitle = "Quillmarch";
// In the profile's own configuration: the dock was shown to this profile
// once. From then on OBS keeps whatever the user does with it.
constexpr const char *kConfigSection = "Quillmarch";
constexpr const char *kShownKey = "DockShown";

QPointer<Dock> g_dock;
// OBS is closing: after its exit event the frontend API may no longer be
// called, and the window takes the dock with it.
bool g_frontendClosed = false;

// OBS adds a plug-in's dock hidden (and, after resetting its layout,
// floating). A first-time user would have to know to look in the Docks
// menu, so the first start in a profile puts it beside the preview.
void showOnFirstLoad()
{
	config_t *profile = obs_frontend_get_profile_config();
	if (!g_dock || !profile ||
	    config_get_bool(profile, kConfigSection, kShownKey))
		return;
	auto *frame = qobject_cast<QDockWidget *>(g_dock->parentWidget());
	if (!frame)
		return;
	auto *main = static_cast<QMainWindow *>(obs_frontend_get_main_window());
	if (frame->isFloating() && main) {
		frame->setFloating(false);
		main->addDockWidget(Qt::RightDockWidgetArea, frame);
	}
	frame->show();
	frame->raise();
	config_set_bool(profile, kConfigSection, kShownKey, true);
	config_save_safe(profile, "tmp", nullptr);
}

// OBS restores (or resets) its window layout after the modules load, so
// the dock is shown only once loading has finished.
void onFrontendEvent(enum obs_frontend_event event, void *)
{
	if (event == OBS_FRONTEND_EVENT_FINISHED_LOADING)
		showOnFirstLoad();
	else if (event == OBS_FRONTEND_EVENT_EXIT)
		g_frontendClosed = true;
}

} // namespace

void dock_register()
{
	if (g_dock || !App::ready())
		return;
	g_frontendClosed = false;
	auto *dock = new Dock(std::make_unique<ObsDockHost>());
	if (!addObsDock(kDockId, kDockTitle, dock)) {
		delete dock;
		return;
	}
	g_dock = dock;
	obs_frontend_add_event_callback(onFrontendEvent, nullptr);
}

void dock_unregister()
{
	if (!g_frontendClosed) {
		obs_frontend_remove_event_callback(onFrontendEvent, nullptr);
		if (g_dock)
			removeObsDock(kDockId);
	}
	// OBS deletes the dock it removes; should it only schedule that, or
	// not be asked, the dock still goes now, while App is there to
	// disconnect from.
	delete g_dock.data();
}
