// "Quillmarch: show when…": a filter any source can carry that draws the
// source only while a live field meets a condition, so two images with
// opposite conditions make a possession arrow or a bonus light. The
// condition is evaluated when the live data changes, never per frame; the
// render thread only reads the last answer.
#include "sources.h"

#include "app.h"
#include "live/live_condition.h"

#include <obs-module.h>

#include <QStringList>

#include <atomic>
#include <mutex>
#include <set>

using quillmarch::App;
using quillmarch::LiveCondition;

namespace {

constexpr const char *kFilterId = "quillmarch_visibility";

struct VisibilityFilter {
	obs_source_t *filter = nullptr;
	LiveCondition condition;
	std::atomic<bool> shown{true};
};

// Every live instance, for the live-data refresh on the main thread; OBS
// creates, updates and destroys filters on its own threads. Lock order:
// this mutex, then the live data's.
std::mutex g_filtersMutex;
std::set<VisibilityFilter *> g_filters;

// Caller holds g_filtersMutex.
void evaluate(VisibilityFilter *f)
{
	App *app = App::get();
	const QString value = app ? app->liveData().value(f->condition.field)
				  : QString();
	f->shown = f->condition.holds(value);
}

// Caller holds g_filtersMutex.
void applySettings(VisibilityFilter *f, obs_data_t *settings)
{
	LiveCondition &c = f->condition;
	c.field = QString::fromUtf8(obs_data_get_string(settings, "field"))
			  .trimmed();
	c.compare = LiveCondition::compareFromKey(
		QString::fromUtf8(obs_data_get_string(settings, "compare")));
	c.value = QString::fromUtf8(obs_data_get_string(settings, "value"));
	c.invert = obs_data_get_bool(settings, "invert");
	evaluate(f);
}

const char *filterGetName(void *)
{
	return obs_module_text("VisibilityFilter");
}

void *filterCreate(obs_data_t *settings, obs_source_t *source)
{
	auto *f = new VisibilityFilter;
	f->filter = source;
	std::lock_guard<std::mutex> lock(g_filtersMutex);
	applySettings(f, settings);
	g_filters.insert(f);
	return f;
}

void filterDestroy(void *data)
{
	auto *f = static_cast<VisibilityFilter *>(data);
	{
		std::lock_guard<std::mutex> lock(g_filtersMutex);
		g_filters.erase(f);
	}
	delete f;
}

void filterUpdate(void *data, obs_data_t *settings)
{
	std::lock_guard<std::mutex> lock(g_filtersMutex);
	applySettings(static_cast<VisibilityFilter *>(data), settings);
}

void filterDefaults(obs_data_t *settings)
{
	obs_data_set_default_string(settings, "compare", "equals");
}

obs_properties_t *filterProperties(void *)
{
	obs_properties_t *props = obs_properties_create();
	obs_property_t *field = obs_properties_add_list(
		props, "field", obs_module_text("VisibilityField"),
		OBS_COMBO_TYPE_EDITABLE, OBS_COMBO_FORMAT_STRING);
	// The fields the device sends now; any other name can be typed.
	App *app = App::get();
	const QStringList names = app ? app->liveData().fieldNames()
				      : QStringList();
	for (const QString &name : names) {
		const QByteArray utf8 = name.toUtf8();
		obs_property_list_add_string(field, utf8.constData(),
					     utf8.constData());
	}

	obs_property_t *compare = obs_properties_add_list(
		props, "compare", obs_module_text("VisibilityCompare"),
		OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
	static const struct {
		LiveCondition::Compare compare;
		const char *text;
	} kChoices[] = {
		{LiveCondition::Compare::Equals, "VisibilityEquals"},
		{LiveCondition::Compare::Differs, "VisibilityDiffers"},
		{LiveCondition::Compare::Greater, "VisibilityGreater"},
		{LiveCondition::Compare::Less, "VisibilityLess"},
		{LiveCondition::Compare::Empty, "VisibilityEmpty"},
		{LiveCondition::Compare::NotEmpty, "VisibilityNotEmpty"},
	};
	for (const auto &choice : kChoices) {
		const QByteArray key =
			LiveCondition::keyOf(choice.compare).toUtf8();
		obs_property_list_add_string(
			compare, obs_module_text(choice.text), key.constData());
	}
	obs_properties_add_text(props, "value",
				obs_module_text("VisibilityValue"),
				OBS_TEXT_DEFAULT);
	obs_properties_add_bool(props, "invert",
				obs_module_text("VisibilityInvert"));
	obs_properties_add_text(props, "hint",
				obs_module_text("VisibilityHint"),
				OBS_TEXT_INFO);
	return props;
}

void filterRender(void *data, gs_effect_t *)
{
	auto *f = static_cast<VisibilityFilter *>(data);
	if (f->shown)
		obs_source_skip_video_filter(f->filter);
}

void refreshFilters()
{
	std::lock_guard<std::mutex> lock(g_filtersMutex);
	for (VisibilityFilter *f : g_filters)
		evaluate(f);
}

} // namespace

void visibility_filter_register()
{
	obs_source_info info = {};
	info.id = kFilterId;
	info.type = OBS_SOURCE_TYPE_FILTER;
	info.output_flags = OBS_SOURCE_VIDEO;
	info.get_name = filterGetName;
	info.create = filterCreate;
	info.destroy = filterDestroy;
	info.get_defaults = filterDefaults;
	info.get_properties = filterProperties;
	info.update = filterUpdate;
	info.video_render = filterRender;
	obs_register_source(&info);
}

void visibility_filter_connect_live_data()
{
	App *app = App::get();
	if (!app)
		return;
	QObject::connect(&app->liveData(), &quillmarch::LiveData::changed,
			 &app->liveData(), &refreshFilters);
}
