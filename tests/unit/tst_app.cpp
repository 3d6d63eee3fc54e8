#include "app.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using quillmarch::App;
using quillmarch::AppEnvironment;

namespace {

// Stands in for OBS: configuration files live in a temporary directory.
class TempEnvironment : public AppEnvironment {
public:
	explicit TempEnvironment(QString configDir, int *destroyed = nullptr)
		: m_configDir(std::move(configDir)),
		  m_destroyed(destroyed)
	{
	}
	~TempEnvironment() override
	{
		if (m_destroyed)
			++*m_destroyed;
	}
	QString configPath(const QString &file) const override
	{
		return m_configDir.isEmpty() ? QString()
					     : m_configDir + '/' + file;
	}
	QString moduleFile(const QString &) const override { return {}; }
	QString hostVersion() const override
	{
		return QStringLiteral("29.0.2");
	}

private:
	QString m_configDir;
	int *m_destroyed;
};

} // namespace

class TestApp : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void cleanup() { App::shutdown(); }
	void lifetime();
	void secondInitKeepsInstance();
	void loadsSettingsFromConfigPath();
	void noConfigPathMeansNoFile();
	void tearDownSeesNotReady();
};

void TestApp::lifetime()
{
	QVERIFY(!App::ready());
	QCOMPARE(App::get(), nullptr);

	QTemporaryDir dir;
	App::init(std::make_unique<TempEnvironment>(dir.path()));
	QVERIFY(App::ready());
	QVERIFY(App::get() != nullptr);
	QCOMPARE(App::get()->environment().hostVersion(),
		 QStringLiteral("29.0.2"));

	App::shutdown();
	QVERIFY(!App::ready());
	QCOMPARE(App::get(), nullptr);
	App::shutdown(); // safe with no instance
	QVERIFY(!App::ready());
}

void TestApp::secondInitKeepsInstance()
{
	QTemporaryDir dir;
	int dropped = 0;
	App::init(std::make_unique<TempEnvironment>(dir.path()));
	App *first = App::get();
	first->liveData().ingest(
		QJsonDocument::fromJson(R"({"home_score":5})").object());

	App::init(std::make_unique<TempEnvironment>(dir.path(), &dropped));
	QCOMPARE(App::get(), first);
	QCOMPARE(dropped, 1); // the second environment was not kept
	QCOMPARE(App::get()->liveData().value(QStringLiteral("home_score")),
		 QStringLiteral("5"));
}

void TestApp::loadsSettingsFromConfigPath()
{
	QTemporaryDir dir;
	{
		QFile f(dir.filePath("settings.json"));
		QVERIFY(f.open(QIODevice::WriteOnly));
		f.write(R"({"server_port": 9123, "selected_device": "QM-4"})");
	}
	App::init(std::make_unique<TempEnvironment>(dir.path()));
	QCOMPARE(App::get()->settings().serverPort(), 9123);
	QCOMPARE(App::get()->settings().selectedDevice(),
		 QStringLiteral("QM-4"));
	App::get()->settings().setServerPort(9124);
	App::shutdown();

	App::init(std::make_unique<TempEnvironment>(dir.path()));
	QCOMPARE(App::get()->settings().serverPort(), 9124);
}

void TestApp::noConfigPathMeansNoFile()
{
	App::init(std::make_unique<TempEnvironment>(QString()));
	QCOMPARE(App::get()->settings().path(), QString());
	App::get()->settings().setServerEnabled(true);
	QCOMPARE(App::get()->settings().serverEnabled(), true);
}

void TestApp::tearDownSeesNotReady()
{
	// Objects destroyed with the application object must already see
	// "not ready", the way OBS source callbacks do during unload.
	QTemporaryDir dir;
	App::init(std::make_unique<TempEnvironment>(dir.path()));
	bool readyDuringTearDown = true;
	auto *probe = new QObject(App::get());
	connect(probe, &QObject::destroyed,
		[&] { readyDuringTearDown = App::ready(); });
	App::shutdown();
	QCOMPARE(readyDuringTearDown, false);
}

QTEST_GUILESS_MAIN(TestApp)
#include "tst_app.moc"
