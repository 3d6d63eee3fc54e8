#include "obs_dock_host.h"

#include "base/log.h"
#include "dock/show_in_obs_group.h"
#include "sources.h"

#include <obs-frontend-api.h>
#include <obs.h>

namespace quillmarch {

namespace {

// Source names are unique across scenes and sources alike.
bool sourceNameTaken(const QString &name)
{
	obs_source_t *existing =
		obs_get_source_by_name(name.toUtf8().constData());
	obs_source_release(existing);
	return existing != nullptr;
}

} // namespace

void ObsDockHost::addSourceToCurrentScene(const QString &typeId,
					  const QString &baseName)
{
	obs_source_t *sceneSource = obs_frontend_get_current_scene();
	obs_scene_t *scene = obs_scene_from_source(sceneSource);
	if (!scene) {
		obs_source_release(sceneSource);
		return;
	}

	const QByteArray type = typeId.toUtf8();
	const QByteArray name =
		freeSourceName(baseName, &sourceNameTaken).toUtf8();
	obs_data_t *settings = obs_data_create();
	if (typeId == QLatin1String(ShowInObsGroup::kTextSourceType))
		obs_data_set_string(settings, "template",
				    sources_default_text_template());
	obs_source_t *source = obs_source_create(
		type.constData(), name.constData(), settings, nullptr);
	obs_data_release(settings);
	// OBS keeps a source whose type refused to create it (a graphics
	// source without a browser engine, say); an empty box in the scene
	// would only puzzle the user, and the reason is already in the log.
	if (source && obs_obj_invalid(source)) {
		logWarning(QStringLiteral("%1 not added to the scene")
				   .arg(baseName));
		obs_source_release(source);
		source = nullptr;
	}
	if (source) {
		obs_scene_add(scene, source);
		obs_frontend_open_source_properties(source);
		obs_source_release(source);
	}
	obs_source_release(sceneSource);
}

bool ObsDockHost::streamingOrRecording() const
{
	return obs_frontend_streaming_active() ||
	       obs_frontend_recording_active();
}

} // namespace quillmarch
