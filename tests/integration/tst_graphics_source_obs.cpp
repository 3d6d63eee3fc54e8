// The graphics source inside a real libobs, without the OBS window, the
// plug-in signed in to the portal simulator (run as its own program on the
// address the plug-in was built for). A stand-in registered under the
// browser source's id receives what a real browser source would.
//
// libobs needs an X display (see tst_text_source_obs) and starts once per
// process: everything happens in one walk.

#include "app.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFormLayout>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

// After Qt: libobs' SIMD aliases clash with the compiler's intrinsics
// headers that Qt 6 pulls in later.
#include <obs-nix-platform.h>
#include <obs.h>
#include <util/base.h>

#include "support/libobs_host.h"

#include <dlfcn.h>

namespace {

using quillmarch::test::libobs::captureLog;
using quillmarch::test::libobs::logged;
using quillmarch::test::libobs::propertyNames;

const QString kNoBrowser = QStringLiteral(
	"[quillmarch] this OBS has no browser source, so graphics cannot be shown");

// The stand-in browser source: remembers the one instance made.
obs_source_t *g_inner = nullptr;

void registerStandInBrowser()
{
	obs_source_info info = {};
	info.id = "browser_source";
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO;
	info.get_name = [](void *) {
		return "Stand-in browser";
	};
	info.create = [](obs_data_t *, obs_source_t *source) -> void * {
		g_inner = source;
		return source;
	};
	info.destroy = [](void *) {
		g_inner = nullptr;
	};
	// libobs refuses a video source type without a size and a renderer.
	info.get_width = [](void *) {
		return 0u;
	};
	info.get_height = [](void *) {
		return 0u;
	};
	info.video_render = [](void *, gs_effect_t *) {
	};
	obs_register_source(&info);
}

QJsonObject settingsOf(obs_source_t *source)
{
	obs_data_t *data = obs_source_get_settings(source);
	const QJsonObject out =
		QJsonDocument::fromJson(obs_data_get_json(data)).object();
	obs_data_release(data);
	return out;
}

// "name=value" per item of a list property.
QStringList listItems(obs_property_t *list)
{
	QStringList out;
	for (size_t i = 0; i < obs_property_list_item_count(list); ++i)
		out << QString::fromUtf8(obs_property_list_item_name(list, i)) +
				'=' +
				QString::fromUtf8(
					obs_property_list_item_string(list, i));
	return out;
}

// OBS's own properties view lives in the OBS program, not in a library; this
// draws the same properties with the plain widgets it would use.
QWidget *propertiesWidget(obs_properties_t *props, obs_data_t *settings)
{
	auto *page = new QWidget;
	auto *form = new QFormLayout(page);
	for (obs_property_t *p = obs_properties_first(props); p;
	     obs_property_next(&p)) {
		const QString label =
			QString::fromUtf8(obs_property_description(p));
		const char *name = obs_property_name(p);
		switch (obs_property_get_type(p)) {
		case OBS_PROPERTY_LIST: {
			auto *box = new QComboBox;
			for (size_t i = 0; i < obs_property_list_item_count(p);
			     ++i)
				box->addItem(QString::fromUtf8(
					obs_property_list_item_name(p, i)));
			box->setCurrentIndex(box->findText(QString::fromUtf8(
				obs_data_get_string(settings, "output_name"))));
			form->addRow(label, box);
			break;
		}
		case OBS_PROPERTY_BUTTON:
			form->addRow(QString(), new QPushButton(label));
			break;
		case OBS_PROPERTY_INT: {
			auto *spin = new QSpinBox;
			spin->setRange(obs_property_int_min(p),
				       obs_property_int_max(p));
			spin->setValue(int(obs_data_get_int(settings, name)));
			form->addRow(label, spin);
			break;
		}
		default: {
			auto *text = new QLabel(label);
			text->setWordWrap(true);
			form->addRow(text);
		}
		}
	}
	page->resize(420, page->sizeHint().height());
	return page;
}

// OBS applies a video source's settings on its video thread, so that thread
// has to run: a small canvas on Mesa's software OpenGL in the private X
// server.
bool startVideo()
{
	using OpenDisplay = void *(*)(const char *);
	void *x11 = dlopen("libX11.so.6", RTLD_NOW);
	auto open =
		x11 ? reinterpret_cast<OpenDisplay>(dlsym(x11, "XOpenDisplay"))
		    : nullptr;
	void *display = open ? open(nullptr) : nullptr;
	if (!display)
		return false;
	obs_set_nix_platform(OBS_NIX_PLATFORM_X11_EGL);
	obs_set_nix_platform_display(display);
	return true;
}

bool resetVideo()
{
	obs_video_info ovi = {};
	ovi.graphics_module = "libobs-opengl";
	ovi.fps_num = 30;
	ovi.fps_den = 1;
	ovi.base_width = ovi.output_width = 320;
	ovi.base_height = ovi.output_height = 180;
	ovi.output_format = VIDEO_FORMAT_NV12;
	ovi.gpu_conversion = true;
	ovi.colorspace = VIDEO_CS_709;
	ovi.range = VIDEO_RANGE_PARTIAL;
	ovi.scale_type = OBS_SCALE_BICUBIC;
	return obs_reset_video(&ovi) == OBS_VIDEO_SUCCESS;
}

// Steers the portal simulator through its own routes.
bool postToSim(const QString &base, const QString &path,
	       const QJsonObject &body)
{
	QNetworkAccessManager manager;
	QNetworkRequest request(QUrl(base + path));
	request.setHeader(QNetworkRequest::ContentTypeHeader,
			  "application/json");
	QNetworkReply *reply =
		manager.post(request, QJsonDocument(body).toJson());
	const bool done =
		QTest::qWaitFor([reply] { return reply->isFinished(); }, 5000);
	const bool ok = done && reply->error() == QNetworkReply::NoError;
	delete reply;
	return ok;
}

// Two graphics of different sizes, so a choice visibly brings its own.
const char kState[] = R"({
 "accounts": [
  {"email": "coach@example.com", "password": "bleachers", "role": "owner",
   "cloud_plan": true, "devices": [],
   "outputs": [
    {"id": "out-main", "name": "Main gym scorebug", "share_token": "tok-main",
     "width": 1920, "height": 1080},
    {"id": "out-lower", "name": "Lower third", "share_token": "tok-lower",
     "width": 1280, "height": 200}
   ]}
 ],
 "devices": []
})";

} // namespace

class GraphicsSourceObs : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase();
	void cleanupTestCase();
	void withoutBrowserThenChoosingAGraphic();

private:
	QProcess m_xvfb;
	QProcess m_portal;
	QTemporaryDir m_home;
};

void GraphicsSourceObs::initTestCase()
{
	const QString why = quillmarch::test::libobs::startXvfb(m_xvfb);
	if (why == quillmarch::test::libobs::kNoXvfb)
		QSKIP("Xvfb is not available");
	QVERIFY2(why.isEmpty(), qPrintable(why));
}

void GraphicsSourceObs::cleanupTestCase()
{
	m_portal.terminate();
	m_portal.waitForFinished();
	m_xvfb.terminate();
	m_xvfb.waitForFinished();
}

void GraphicsSourceObs::withoutBrowserThenChoosingAGraphic()
{
	// The plug-in signs in at load from its stored session, so the
	// simulator must already listen where the plug-in was built to look.
	static const QRegularExpression local(
		QStringLiteral("^http://127\\.0\\.0\\.1:(\\d+)/?$"));
	const QRegularExpressionMatch portal =
		local.match(QStringLiteral(QUILLMARCH_PORTAL_URL));
	const QString base = QStringLiteral(QUILLMARCH_PORTAL_URL);
	if (portal.hasMatch()) {
		QFile state(m_home.filePath("state.json"));
		QVERIFY(state.open(QIODevice::WriteOnly));
		state.write(kState);
		state.close();
		m_portal.setStandardErrorFile(QProcess::nullDevice());
		m_portal.start(QUILLMARCH_PORTAL_SIM,
			       {"--port", portal.captured(1), "--state",
				state.fileName(), "--session",
				"graphics-test=coach@example.com"});
		QVERIFY(m_portal.waitForReadyRead(10000));
		QVERIFY(m_portal.readLine().startsWith("portal http://"));
		QDir().mkpath(m_home.filePath("plugin_config/quillmarch-obs"));
		QFile session(m_home.filePath(
			"plugin_config/quillmarch-obs/session.json"));
		QVERIFY(session.open(QIODevice::WriteOnly));
		session.write(
			QJsonDocument(QJsonArray{"qm_session=graphics-test; "
						 "domain=127.0.0.1; path=/"})
				.toJson());
	}

	qputenv("HOME", m_home.path().toUtf8());
	qputenv("XDG_CONFIG_HOME", m_home.filePath("config").toUtf8());
	qputenv("LIBGL_ALWAYS_SOFTWARE", "1");
	base_set_log_handler(captureLog, nullptr);
	QVERIFY(startVideo());
	QVERIFY(obs_startup("en-US", m_home.filePath("plugin_config").toUtf8(),
			    nullptr));
	QVERIFY2(resetVideo(), qPrintable(logged().join('\n')));
	obs_module_t *plugin = nullptr;
	QVERIFY2(obs_open_module(&plugin, QUILLMARCH_MODULE_FILE,
				 QUILLMARCH_DATA_DIR) == MODULE_SUCCESS &&
			 obs_init_module(plugin),
		 qPrintable(logged().join('\n')));

	QStringList inputs;
	const char *id = nullptr;
	for (size_t i = 0; obs_enum_input_types(i, &id); ++i)
		inputs << id;
	QVERIFY(inputs.contains("quillmarch_graphics"));
	QCOMPARE(obs_source_get_display_name("quillmarch_graphics"),
		 "Quillmarch Graphics");

	// No browser source (Debian's OBS has none): the creation fails with
	// one error line and libobs carries on.
	QCOMPARE(obs_get_source_output_flags("browser_source"), 0u);
	obs_source_t *failed = obs_source_create("quillmarch_graphics",
						 "Scorebug", nullptr, nullptr);
	QVERIFY(!obs_obj_get_data(failed));
	obs_source_release(failed);
	QCOMPARE(logged().filter(kNoBrowser),
		 QStringList(QString::number(LOG_ERROR) + ' ' + kNoBrowser));

	registerStandInBrowser();
	obs_source_t *source = obs_source_create("quillmarch_graphics",
						 "Scorebug", nullptr, nullptr);
	QVERIFY2(obs_obj_get_data(source) && g_inner,
		 qPrintable(logged().join('\n')));
	QJsonObject inner = settingsOf(g_inner);
	QCOMPARE(inner.value("url").toString(), QString());
	QCOMPARE(inner.value("width").toInt(), 1920);
	QCOMPARE(inner.value("fps").toInt(), 30);
	QVERIFY(inner.value("fps_custom").toBool());
	QVERIFY(inner.value("css").toString().contains("rgba(0, 0, 0, 0)"));
	QCOMPARE(obs_source_get_width(source), 1920u);
	QCOMPARE(obs_source_get_height(source), 1080u);

	if (!portal.hasMatch()) {
		obs_source_release(source);
		obs_shutdown();
		QSKIP("the plug-in was built for a portal that is not on this "
		      "computer; the account part needs the simulator");
	}

	using AppGet = quillmarch::App *(*)();
	auto appGet = reinterpret_cast<AppGet>(
		dlsym(obs_get_module_lib(plugin), "_ZN10quillmarch3App3getEv"));
	QVERIFY(appGet && appGet());
	QTRY_COMPARE_WITH_TIMEOUT(appGet()->outputs().size(), 2, 10000);

	obs_properties_t *props = obs_source_properties(source);
	QCOMPARE(propertyNames(props),
		 QStringList({"output_id", "refresh", "status", "width",
			      "height"}));
	obs_property_t *list = obs_properties_get(props, "output_id");
	QCOMPARE(listItems(list), QStringList({"Main gym scorebug=out-main",
					       "Lower third=out-lower"}));
	QCOMPARE(obs_property_description(obs_properties_get(props, "status")),
		 "2 graphics found in your account.");

	// Choosing a graphic brings its address and size; OBS then updates
	// the source, which passes both to the browser.
	obs_data_t *settings = obs_source_get_settings(source);
	obs_data_set_string(settings, "output_id", "out-lower");
	QVERIFY(obs_property_modified(list, settings));
	QCOMPARE(obs_data_get_string(settings, "url"),
		 base + "/graphics/o/tok-lower");
	QCOMPARE(obs_data_get_int(settings, "width"), 1280);
	{
		const QDir out(QStringLiteral(QUILLMARCH_WIDGET_ARTIFACTS));
		QDir().mkpath(out.path());
		std::unique_ptr<QWidget> page(
			propertiesWidget(props, settings));
		QVERIFY(page->grab().save(
			out.filePath("graphics-source-properties.png")));
	}
	obs_properties_destroy(props);
	obs_source_update(source, settings);
	QTRY_COMPARE(obs_source_get_width(source), 1280u);
	inner = settingsOf(g_inner);
	QCOMPARE(inner.value("url").toString(), base + "/graphics/o/tok-lower");
	QCOMPARE(inner.value("width").toInt(), 1280);
	QCOMPARE(inner.value("height").toInt(), 200);

	// A width the user typed survives opening the properties again
	// (OBS re-applies the list's choice then).
	obs_data_set_int(settings, "width", 1000);
	obs_source_update(source, settings);
	QTRY_COMPARE(obs_source_get_width(source), 1000u);
	obs_properties_destroy(obs_source_properties(source));
	QCOMPARE(obs_data_get_int(settings, "width"), 1000);

	obs_data_set_int(settings, "width", 0);
	obs_source_update(source, settings);
	QTRY_COMPARE(obs_source_get_width(source), 1920u);
	QCOMPARE(settingsOf(g_inner).value("width").toInt(), 1920);

	// The plan lapses: the refresh says so and keeps the list.
	QVERIFY(postToSim(base, "/_sim/fail",
			  {{"path", "/api/graphics/outputs"},
			   {"status", 402},
			   {"code", "cloud_subscription_required"}}));
	props = obs_source_properties(source);
	QVERIFY(obs_property_button_clicked(
		obs_properties_get(props, "refresh"), source));
	QCOMPARE(obs_property_description(obs_properties_get(props, "status")),
		 "Graphics need an active Quillmarch cloud plan.");
	QCOMPARE(listItems(obs_properties_get(props, "output_id")).size(), 2);
	obs_properties_destroy(props);
	obs_data_release(settings);

	obs_source_release(source);
	obs_shutdown();
	QVERIFY(!g_inner);
	QCOMPARE(logged().filter("[quillmarch]").last(),
		 QString::number(LOG_INFO) + " [quillmarch] plugin unloaded");
}

int main(int argc, char **argv)
{
	if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
		qputenv("QT_QPA_PLATFORM", "offscreen");
	QApplication app(argc, argv);
	GraphicsSourceObs test;
	return QTest::qExec(&test, argc, argv);
}

#include "tst_graphics_source_obs.moc"
