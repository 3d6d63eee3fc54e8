#include "sources.h"

#include "app.h"
#include "base/log.h"
#include "live/template_render.h"

#include <obs-module.h>

#include <QStringList>

#include <mutex>
#include <set>

using quillmarch::App;

namespace {

constexpr const char *kTextSourceId = "quillmarch_text";
constexpr const char *kDefaultTemplate = "{home_score} - {away_score}";
constexpr const char *kInnerName = "Quillmarch text";

// OBS's own text source types, best first: GDI+ on Windows, FreeType
// elsewhere.
constexpr const char *kInnerTypes[] = {"text_gdiplus_v3", "text_gdiplus_v2",
				       "text_gdiplus", "text_ft2_source_v2",
				       "text_ft2_source"};

// Properties of the inner text source that make no sense here: the text comes
// from the template, never from a file or a log.
constexpr const char *kHiddenProperties[] = {"text", "from_file", "text_file",
					     "log_mode"};

struct TextSource {
	obs_source_t *source = nullptr;
	obs_source_t *inner = nullptr;
	QString appliedTemplate;
};

// Every live instance, so a live-data change reaches all of them. OBS creates,
// updates and destroys sources on its own threads while live refreshes run
// on the main thread; this mutex also serialises every apply, so an update
// and a refresh of one instance never interleave. Lock order: this mutex,
// then the live data's.
std::mutex g_instancesMutex;
std::set<TextSource *> g_instances;

const char *innerTypeId()
{
	for (const char *id : kInnerTypes) {
		if (obs_get_source_output_flags(id) != 0)
			return id;
	}
	return nullptr;
}

// Caller holds g_instancesMutex.
void applySettings(TextSource *ts, obs_data_t *settings)
{
	ts->appliedTemplate =
		QString::fromUtf8(obs_data_get_string(settings, "template"));

	obs_data_t *innerSettings = obs_data_create();
	obs_data_apply(innerSettings, settings);

	App *app = App::get();
	const QString text = quillmarch::renderTemplate(
		ts->appliedTemplate, app ? &app->liveData() : nullptr);
	obs_data_set_string(innerSettings, "text", text.toUtf8().constData());

	obs_source_update(ts->inner, innerSettings);
	obs_data_release(innerSettings);
}

void refreshAll()
{
	std::lock_guard<std::mutex> lock(g_instancesMutex);
	for (TextSource *ts : g_instances) {
		obs_data_t *settings = obs_source_get_settings(ts->source);
		applySettings(ts, settings);
		obs_data_release(settings);
	}
}

QString fieldListForHint()
{
	App *app = App::get();
	const QStringList names = app ? app->liveData().fieldNames()
				      : QStringList();
	if (names.isEmpty())
		return QStringLiteral(
			       "home_score, away_score, clock, period ") +
		       QChar(0x2026);
	return names.join(QStringLiteral(", "));
}

const char *textGetName(void *)
{
	return obs_module_text("QuillmarchText");
}

void *textCreate(obs_data_t *settings, obs_source_t *source)
{
	const char *type = innerTypeId();
	if (!type) {
		quillmarch::logError(QStringLiteral(
			"no OBS text source is available on this system"));
		return nullptr;
	}
	auto *ts = new TextSource;
	ts->source = source;
	ts->inner = obs_source_create_private(type, kInnerName, nullptr);
	if (!ts->inner) {
		quillmarch::logError(QStringLiteral(
			"no OBS text source is available on this system"));
		delete ts;
		return nullptr;
	}

	std::lock_guard<std::mutex> lock(g_instancesMutex);
	applySettings(ts, settings);
	g_instances.insert(ts);
	return ts;
}

void textDestroy(void *data)
{
	auto *ts = static_cast<TextSource *>(data);
	{
		std::lock_guard<std::mutex> lock(g_instancesMutex);
		g_instances.erase(ts);
	}
	obs_source_release(ts->inner);
	delete ts;
}

void textUpdate(void *data, obs_data_t *settings)
{
	std::lock_guard<std::mutex> lock(g_instancesMutex);
	applySettings(static_cast<TextSource *>(data), settings);
}

uint32_t textWidth(void *data)
{
	return obs_source_get_width(static_cast<TextSource *>(data)->inner);
}

uint32_t textHeight(void *data)
{
	return obs_source_get_height(static_cast<TextSource *>(data)->inner);
}

void textDefaults(obs_data_t *settings)
{
	obs_data_set_default_string(settings, "template", kDefaultTemplate);
}

obs_properties_t *textProperties(void *data)
{
	auto *ts = static_cast<TextSource *>(data);
	obs_properties_t *props = ts ? obs_source_properties(ts->inner)
				     : nullptr;
	if (!props)
		props = obs_properties_create();
	for (const char *name : kHiddenProperties)
		obs_properties_remove_by_name(props, name);

	const QByteArray hint =
		QString::fromUtf8(obs_module_text("TextTemplateHint"))
			.replace(QStringLiteral("%1"), fieldListForHint())
			.toUtf8();
	obs_property_t *tmpl = obs_properties_add_text(
		props, "template", obs_module_text("TextTemplate"),
		OBS_TEXT_MULTILINE);
	obs_property_set_long_description(tmpl, hint.constData());
	obs_properties_add_text(props, "hint", hint.constData(), OBS_TEXT_INFO);
	return props;
}

void textRender(void *data, gs_effect_t *)
{
	obs_source_video_render(static_cast<TextSource *>(data)->inner);
}

} // namespace

const char *sources_default_text_template()
{
	return kDefaultTemplate;
}

void text_source_register()
{
	obs_source_info info = {};
	info.id = kTextSourceId;
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW;
	info.icon_type = OBS_ICON_TYPE_TEXT;
	info.get_name = textGetName;
	info.create = textCreate;
	info.destroy = textDestroy;
	info.get_width = textWidth;
	info.get_height = textHeight;
	info.get_defaults = textDefaults;
	info.get_properties = textProperties;
	info.update = textUpdate;
	info.video_render = textRender;
	obs_register_source(&info);
}

void sources_connect_live_data()
{
	App *app = App::get();
	if (!app)
		return;
	QObject::connect(&app->liveData(), &quillmarch::LiveData::changed,
			 &app->liveData(), &refreshAll);
}
