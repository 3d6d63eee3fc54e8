// The live text source inside a real libobs, without the OBS window: the
// plug-in module and OBS's own FreeType text module are loaded the way OBS
// loads them, and the source is driven through libobs' public API.
//
// libobs on Linux needs an X display even without graphics (its hotkey
// support opens one), so the test starts a private Xvfb first. libobs starts
// only once per process: everything happens in one walk.

#include "app.h"

#include <QApplication>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// After Qt: libobs' SIMD aliases clash with the compiler's own intrinsics
// headers that Qt 6 pulls in later.
#include <obs.h>
#include <util/base.h>

#include "support/libobs_host.h"

#include <dlfcn.h>

namespace {

using quillmarch::test::libobs::captureLog;
using quillmarch::test::libobs::logged;
using quillmarch::test::libobs::propertyNames;

const QString kPrefix = QStringLiteral("[quillmarch] ");
const QString kDefaultFields = QStringLiteral("clock, period ") + QChar(0x2026);

// The plug-in's own lines, without their level.
QStringList pluginLines()
{
	QStringList out;
	for (const QString &entry : logged()) {
		const QString line = entry.section(' ', 1);
		if (line.startsWith(kPrefix))
			out.append(line);
	}
	return out;
}

class ObsHost {
public:
	~ObsHost() { stop(); }

	// libobs with the plug-in module only.
	bool start()
	{
		if (!m_home.isValid())
			return false;
		// Nothing of the user's OBS or plug-in configuration is used.
		qputenv("HOME", m_home.path().toUtf8());
		qputenv("XDG_CONFIG_HOME", m_home.filePath("config").toUtf8());
		base_set_log_handler(captureLog, nullptr);
		m_running = obs_startup(
			"en-US", m_home.filePath("plugin_config").toUtf8(),
			nullptr);
		m_plugin = m_running ? load(QUILLMARCH_MODULE_FILE,
					    QUILLMARCH_DATA_DIR)
				     : nullptr;
		return m_plugin != nullptr;
	}
	static bool loadTextModule()
	{
		return load(QUILLMARCH_OBS_PLUGIN_DIR "/text-freetype2.so",
			    QUILLMARCH_OBS_DATA_DIR "/text-freetype2");
	}

	// Unloads every module: the plug-in's obs_module_unload runs here.
	void stop()
	{
		if (m_running)
			obs_shutdown();
		m_running = false;
	}

	// A function of the plug-in module itself, as OBS loaded it.
	template<typename F> F pluginFunction(const char *symbol) const
	{
		return reinterpret_cast<F>(
			dlsym(obs_get_module_lib(m_plugin), symbol));
	}

private:
	static obs_module_t *load(const char *file, const char *data)
	{
		obs_module_t *module = nullptr;
		if (obs_open_module(&module, file, data) != MODULE_SUCCESS ||
		    !obs_init_module(module))
			return nullptr;
		return module;
	}

	QTemporaryDir m_home;
	bool m_running = false;
	obs_module_t *m_plugin = nullptr;
};

QString hintOf(obs_properties_t *props)
{
	return QString::fromUtf8(
		obs_property_description(obs_properties_get(props, "hint")));
}

} // namespace

class TextSourceObs : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase();
	void cleanupTestCase();
	void creationNeedsTextModuleThenFollowsLiveFields();

private:
	QProcess m_xvfb;
};

void TextSourceObs::initTestCase()
{
	// Xvfb picks a free display itself and prints its number once it
	// accepts connections.
	const QString why = quillmarch::test::libobs::startXvfb(m_xvfb);
	if (why == quillmarch::test::libobs::kNoXvfb)
		QSKIP("Xvfb is not available");
	QVERIFY2(why.isEmpty(), qPrintable(why));
}

void TextSourceObs::cleanupTestCase()
{
	m_xvfb.terminate();
	m_xvfb.waitForFinished();
}

void TextSourceObs::creationNeedsTextModuleThenFollowsLiveFields()
{
	ObsHost host;
	QVERIFY2(host.start(), qPrintable(logged().join('\n')));

	// No text module: libobs keeps the source object of a failed creation
	// (so its settings survive); the plug-in's instance is what must be
	// missing. The type still offers its own fields, with the default
	// hint.
	QCOMPARE(obs_get_source_output_flags("text_ft2_source_v2"), 0u);
	obs_source_t *source =
		obs_source_create("quillmarch_text", "Score", nullptr, nullptr);
	QVERIFY(!obs_obj_get_data(source));
	obs_source_release(source);
	QVERIFY2(logged().contains(
			 QString::number(LOG_ERROR) + ' ' + kPrefix +
			 "no OBS text source is available on this system"),
		 qPrintable(logged().join('\n')));
	obs_properties_t *props = obs_get_source_properties("quillmarch_text");
	QCOMPARE(propertyNames(props), QStringList({"template", "hint"}));
	QVERIFY(hintOf(props).endsWith(kDefaultFields));
	obs_properties_destroy(props);

	if (!QFile::exists(QUILLMARCH_OBS_PLUGIN_DIR "/text-freetype2.so"))
		QSKIP("OBS's text-freetype2 module is not installed");
	QVERIFY2(ObsHost::loadTextModule(), qPrintable(logged().join('\n')));

	// The removed properties must really exist in the inner source, or
	// checking their absence would prove nothing.
	props = obs_get_source_properties("text_ft2_source_v2");
	QStringList expected = propertyNames(props);
	obs_properties_destroy(props);
	for (const char *name : {"text", "from_file", "text_file", "log_mode"})
		QVERIFY2(expected.removeAll(name) == 1, name);
	expected << "template"
		 << "hint";

	source =
		obs_source_create("quillmarch_text", "Score", nullptr, nullptr);
	QVERIFY(obs_obj_get_data(source));
	props = obs_source_properties(source);
	QCOMPARE(propertyNames(props), expected);
	obs_property_t *tmpl = obs_properties_get(props, "template");
	QCOMPARE(obs_property_text_type(tmpl), OBS_TEXT_MULTILINE);
	QCOMPARE(obs_property_description(tmpl), "Template");
	QCOMPARE(obs_property_text_type(obs_properties_get(props, "hint")),
		 OBS_TEXT_INFO);
	const QString hint = hintOf(props);
	QVERIFY2(hint.endsWith("Fields: home_score, away_score, " +
			       kDefaultFields),
		 qPrintable(hint));
	QCOMPARE(obs_property_long_description(tmpl), hint.toUtf8());
	obs_properties_destroy(props);

	// Live data reaches the module's own application object as a live
	// source delivers it (a non-virtual member takes `this` first); the
	// hint then lists the fields it really has.
	using AppGet = quillmarch::App *(*)();
	using Ingest = bool (*)(quillmarch::LiveData *, const QJsonObject &);
	auto appGet = host.pluginFunction<AppGet>("_ZN10quillmarch3App3getEv");
	auto ingest = host.pluginFunction<Ingest>(
		"_ZN10quillmarch8LiveData6ingestERK11QJsonObject");
	QVERIFY(appGet && ingest && appGet());
	QVERIFY(ingest(&appGet()->liveData(), QJsonObject{{"sport", "hockey"},
							  {"home_score", 3},
							  {"away_score", 1},
							  {"shots_home", 12}}));
	props = obs_source_properties(source);
	const QString liveHint = hintOf(props);
	obs_properties_destroy(props);
	QVERIFY2(
		liveHint.endsWith("Fields: away_score, home_score, shots_home"),
		qPrintable(liveHint));

	obs_source_release(source);
	host.stop();
	QVERIFY(pluginLines().contains(kPrefix + "loading plugin 1.0.1"));
	QCOMPARE(pluginLines().last(), kPrefix + "plugin unloaded");
}

int main(int argc, char **argv)
{
	if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
		qputenv("QT_QPA_PLATFORM", "offscreen");
	// The plug-in is a Qt Widgets module; OBS runs it in a QApplication.
	QApplication app(argc, argv);
	TextSourceObs test;
	return QTest::qExec(&test, argc, argv);
}

#include "tst_text_source_obs.moc"
