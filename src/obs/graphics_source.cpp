// The account's web graphics as an OBS source: a private browser source
// pointed at the chosen graphics output's share address.

#include "sources.h"

#include "account/graphics_choice.h"
#include "app.h"
#include "base/log.h"

#include <obs-module.h>

#include <QJsonDocument>

#include <atomic>

using quillmarch::App;

namespace {

constexpr const char *kGraphicsSourceId = "quillmarch_graphics";
constexpr const char *kBrowserSourceId = "browser_source";
constexpr const char *kInnerName = "Quillmarch graphics";
// The refresh button blocks OBS's window while it waits for the portal.
constexpr int kRefreshWaitMs = 8000;

struct GraphicsSource {
	obs_source_t *source = nullptr;
	obs_source_t *inner = nullptr;
	// Set by updates, read by OBS's graphics thread.
	std::atomic<int> width{quillmarch::kGraphicsDefaultWidth};
	std::atomic<int> height{quillmarch::kGraphicsDefaultHeight};
};

QString settingString(obs_data_t *settings, const char *key)
{
	return QString::fromUtf8(obs_data_get_string(settings, key));
}

void applySettings(GraphicsSource *gs, obs_data_t *settings)
{
	const QString url = settingString(settings, "url");
	gs->width =
		quillmarch::graphicsWidth(obs_data_get_int(settings, "width"));
	gs->height = quillmarch::graphicsHeight(
		obs_data_get_int(settings, "height"));

	const QByteArray json =
		QJsonDocument(quillmarch::graphicsBrowserSettings(
				      url, gs->width.load(), gs->height.load()))
			.toJson(QJsonDocument::Compact);
	obs_data_t *inner = obs_data_create_from_json(json.constData());
	obs_source_update(gs->inner, inner);
	obs_data_release(inner);
}

QString statusText()
{
	App *app = App::get();
	return quillmarch::graphicsStatusText(
		app != nullptr, app && app->portal().isSignedIn(),
		app ? app->outputsError() : QString(),
		app ? int(app->outputs().size()) : 0,
		QString::fromUtf8(obs_module_text("GraphicsSignIn")),
		QString::fromUtf8(obs_module_text("GraphicsFound")));
}

QList<quillmarch::GraphicsOutput> accountOutputs()
{
	App *app = App::get();
	return app ? app->outputs() : QList<quillmarch::GraphicsOutput>();
}

void fillOutputList(obs_property_t *list, obs_data_t *settings)
{
	obs_property_list_clear(list);
	const auto items = quillmarch::graphicsListItems(
		accountOutputs(), settingString(settings, "output_id"),
		settingString(settings, "output_name"),
		QString::fromUtf8(obs_module_text("GraphicsNone")));
	for (const quillmarch::GraphicsListItem &item : items)
		obs_property_list_add_string(list,
					     item.text.toUtf8().constData(),
					     item.value.toUtf8().constData());
}

bool outputChosen(obs_properties_t *, obs_property_t *, obs_data_t *settings)
{
	const auto output = quillmarch::graphicsChoice(
		accountOutputs(), settingString(settings, "output_id"),
		settingString(settings, "url"));
	if (!output)
		return false;
	obs_data_set_string(settings, "url",
			    output->shareUrl.toUtf8().constData());
	obs_data_set_string(settings, "output_name",
			    output->name.toUtf8().constData());
	obs_data_set_int(settings, "width", output->width);
	obs_data_set_int(settings, "height", output->height);
	return true;
}

bool refreshClicked(obs_properties_t *props, obs_property_t *, void *data)
{
	if (App *app = App::get())
		app->refreshOutputsBlocking(kRefreshWaitMs);
	auto *gs = static_cast<GraphicsSource *>(data);
	obs_data_t *settings = gs ? obs_source_get_settings(gs->source)
				  : obs_data_create();
	fillOutputList(obs_properties_get(props, "output_id"), settings);
	obs_data_release(settings);
	obs_property_set_description(obs_properties_get(props, "status"),
				     statusText().toUtf8().constData());
	return true;
}

const char *graphicsGetName(void *)
{
	return obs_module_text("QuillmarchGraphics");
}

void *graphicsCreate(obs_data_t *settings, obs_source_t *source)
{
	// Builds without a web engine (Debian's OBS, for one) have no
	// browser source to show the page in.
	if (obs_get_source_output_flags(kBrowserSourceId) == 0) {
		quillmarch::logError(QStringLiteral(
			"this OBS has no browser source, so graphics cannot be shown"));
		return nullptr;
	}
	obs_source_t *inner = obs_source_create_private(kBrowserSourceId,
							kInnerName, nullptr);
	if (!inner) {
		quillmarch::logError(QStringLiteral(
			"this OBS has no browser source, so graphics cannot be shown"));
		return nullptr;
	}
	auto *gs = new GraphicsSource;
	gs->source = source;
	gs->inner = inner;
	applySettings(gs, settings);
	return gs;
}

void graphicsDestroy(void *data)
{
	auto *gs = static_cast<GraphicsSource *>(data);
	obs_source_release(gs->inner);
	delete gs;
}

void graphicsUpdate(void *data, obs_data_t *settings)
{
	applySettings(static_cast<GraphicsSource *>(data), settings);
}

uint32_t graphicsWidth(void *data)
{
	return uint32_t(static_cast<GraphicsSource *>(data)->width);
}

uint32_t graphicsHeight(void *data)
{
	return uint32_t(static_cast<GraphicsSource *>(data)->height);
}

void graphicsDefaults(obs_data_t *settings)
{
	obs_data_set_default_int(settings, "width",
				 quillmarch::kGraphicsDefaultWidth);
	obs_data_set_default_int(settings, "height",
				 quillmarch::kGraphicsDefaultHeight);
}

obs_properties_t *graphicsProperties(void *data)
{
	auto *gs = static_cast<GraphicsSource *>(data);
	obs_properties_t *props = obs_properties_create();

	obs_property_t *list = obs_properties_add_list(
		props, "output_id", obs_module_text("GraphicsOutput"),
		OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
	obs_data_t *settings = gs ? obs_source_get_settings(gs->source)
				  : obs_data_create();
	fillOutputList(list, settings);
	obs_data_release(settings);
	obs_property_set_modified_callback(list, outputChosen);

	obs_properties_add_button(props, "refresh",
				  obs_module_text("GraphicsRefresh"),
				  refreshClicked);
	obs_properties_add_text(props, "status",
				statusText().toUtf8().constData(),
				OBS_TEXT_INFO);
	obs_properties_add_int(props, "width", obs_module_text("Width"),
			       quillmarch::kGraphicsMinSize,
			       quillmarch::kGraphicsMaxSize, 1);
	obs_properties_add_int(props, "height", obs_module_text("Height"),
			       quillmarch::kGraphicsMinSize,
			       quillmarch::kGraphicsMaxSize, 1);
	return props;
}

void graphicsShow(void *data)
{
	obs_source_inc_showing(static_cast<GraphicsSource *>(data)->inner);
}

void graphicsHide(void *data)
{
	obs_source_dec_showing(static_cast<GraphicsSource *>(data)->inner);
}

void graphicsActivate(void *data)
{
	obs_source_inc_active(static_cast<GraphicsSource *>(data)->inner);
}

void graphicsDeactivate(void *data)
{
	obs_source_dec_active(static_cast<GraphicsSource *>(data)->inner);
}

void graphicsRender(void *data, gs_effect_t *)
{
	obs_source_video_render(static_cast<GraphicsSource *>(data)->inner);
}

} // namespace

void graphics_source_register()
{
	obs_source_info info = {};
	info.id = kGraphicsSourceId;
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW;
	info.icon_type = OBS_ICON_TYPE_BROWSER;
	info.get_name = graphicsGetName;
	info.create = graphicsCreate;
	info.destroy = graphicsDestroy;
	info.get_width = graphicsWidth;
	info.get_height = graphicsHeight;
	info.get_defaults = graphicsDefaults;
	info.get_properties = graphicsProperties;
	info.update = graphicsUpdate;
	info.activate = graphicsActivate;
	info.deactivate = graphicsDeactivate;
	info.show = graphicsShow;
	info.hide = graphicsHide;
	info.video_render = graphicsRender;
	obs_register_source(&info);
}
