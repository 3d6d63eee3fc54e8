// The updater's pure rules: version order and what a published manifest
// must hold before the plug-in offers it.
#include "update/plugin_updater.h"
#include "update/update_manifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace quillmarch;

namespace {

const QString kSha = QStringLiteral(
	"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");

// A manifest offering 1.1.0 for linux-x86_64, changed by `edit`.
QByteArray manifest(const std::function<void(QJsonObject &)> &edit = {})
{
	QJsonObject package{{"url", "https://updates.example.com/q-1.1.0.zip"},
			    {"sha256", kSha},
			    {"size", 123456}};
	QJsonObject o{{"schema", 1},
		      {"version", "1.1.0"},
		      {"released", "2026-11-30"},
		      {"min_obs", "29.0.0"},
		      {"notes", "Fixes."},
		      {"packages", QJsonObject{{"linux-x86_64", package}}}};
	if (edit)
		edit(o);
	return QJsonDocument(o).toJson();
}

void setPackage(QJsonObject &o, const char *key, const QJsonValue &value)
{
	QJsonObject packages = o["packages"].toObject();
	QJsonObject package = packages["linux-x86_64"].toObject();
	package[key] = value;
	packages["linux-x86_64"] = package;
	o["packages"] = packages;
}

} // namespace

class TstUpdateManifest : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void compareVersions_data()
	{
		QTest::addColumn<QString>("a");
		QTest::addColumn<QString>("b");
		QTest::addColumn<int>("expected");
		QTest::newRow("leading v, missing patch") << "v1.2"
							  << "1.2.0" << 0;
		QTest::newRow("numeric, not text") << "1.10.0"
						   << "1.9.9" << 1;
		QTest::newRow("pre-release before release") << "1.2.0-beta"
							    << "1.2.0" << -1;
		QTest::newRow("pre-release texts not compared")
			<< "1.2.0-beta.1"
			<< "1.2.0-rc.2" << 0;
		QTest::newRow("fourth part counts") << "1.2.0.1"
						    << "1.2.0" << 1;
		QTest::newRow("non-number part is 0") << "1.x.3"
						      << "1.0.3" << 0;
		QTest::newRow("empty part is 0") << "1..3"
						 << "1.0.3" << 0;
		QTest::newRow("white space") << " 2.0.0 "
					     << "1.99.99" << 1;
		QTest::newRow("major decides first") << "2.0.0-rc"
						     << "1.9.9" << 1;
	}
	void compareVersions()
	{
		QFETCH(QString, a);
		QFETCH(QString, b);
		QFETCH(int, expected);
		QCOMPARE(PluginUpdater::compareVersions(a, b), expected);
		QCOMPARE(PluginUpdater::compareVersions(b, a), -expected);
	}

	void parseManifest_data()
	{
		QTest::addColumn<QByteArray>("bytes");
		QTest::addColumn<QString>("obs");
		QTest::addColumn<bool>("ok");
		QTest::addColumn<bool>("available");
		QTest::addColumn<QString>("error");

		const QString unreadable =
			"The update information was not readable.";
		const QString incomplete =
			"The update information is incomplete.";
		const QString badVersion =
			"The update information has no valid version.";
		const QString notHere =
			"Version 1.1.0 is out, but not available for this computer yet.";

		QTest::newRow("newer, installable")
			<< manifest() << "29.0.2" << true << true << "";
		QTest::newRow("not JSON")
			<< QByteArray("<html>portal</html>") << "29.0.2"
			<< false << false << unreadable;
		QTest::newRow("JSON array") << QByteArray("[1]") << "29.0.2"
					    << false << false << unreadable;
		QTest::newRow("schema 2")
			<< manifest([](QJsonObject &o) { o["schema"] = 2; })
			<< "29.0.2" << false << false
			<< "This update needs a newer Quillmarch plugin than the one installed. Download the installer from the Quillmarch website.";
		QTest::newRow("schema missing means 1")
			<< manifest([](QJsonObject &o) { o.remove("schema"); })
			<< "29.0.2" << true << true << "";
		QTest::newRow("version with two parts")
			<< manifest(
				   [](QJsonObject &o) { o["version"] = "1.2"; })
			<< "29.0.2" << false << false << badVersion;
		QTest::newRow("version with v") << manifest([](QJsonObject &o) {
			o["version"] = "v1.2.0";
		}) << "29.0.2" << false << false << badVersion;
		QTest::newRow("version as number")
			<< manifest([](QJsonObject &o) { o["version"] = 2; })
			<< "29.0.2" << false << false << badVersion;
		QTest::newRow("pre-release version")
			<< manifest([](QJsonObject &o) {
				   o["version"] = "1.1.0-rc.1";
			   })
			<< "29.0.2" << true << true << "";
		QTest::newRow("same version, no packages: up to date")
			<< manifest([](QJsonObject &o) {
				   o["version"] = "1.0.1";
				   o.remove("packages");
			   })
			<< "29.0.2" << true << false << "";
		QTest::newRow("installed one is newer")
			<< manifest([](QJsonObject &o) {
				   o["version"] = "1.0.0";
			   })
			<< "29.0.2" << true << false << "";
		QTest::newRow("no package for this platform")
			<< manifest([](QJsonObject &o) {
				   o["packages"] = QJsonObject{
					   {"macos-arm64",
					    o.value("packages")
						    .toObject()
						    .value("linux-x86_64")}};
			   })
			<< "29.0.2" << false << false << notHere;
		QTest::newRow("empty package entry")
			<< manifest([](QJsonObject &o) {
				   o["packages"] = QJsonObject{
					   {"linux-x86_64", QJsonObject()}};
			   })
			<< "29.0.2" << false << false << notHere;
		QTest::newRow("plain http elsewhere")
			<< manifest([](QJsonObject &o) {
				   setPackage(
					   o, "url",
					   "http://updates.example.com/q.zip");
			   })
			<< "29.0.2" << false << false << incomplete;
		QTest::newRow("plain http to 127.0.0.1")
			<< manifest([](QJsonObject &o) {
				   setPackage(o, "url",
					      "http://127.0.0.1:8080/q.zip");
			   })
			<< "29.0.2" << true << true << "";
		QTest::newRow("plain http to another loopback address")
			<< manifest([](QJsonObject &o) {
				   setPackage(o, "url",
					      "http://127.0.0.2/q.zip");
			   })
			<< "29.0.2" << false << false << incomplete;
		QTest::newRow("https without host")
			<< manifest([](QJsonObject &o) {
				   setPackage(o, "url", "https:///q.zip");
			   })
			<< "29.0.2" << false << false << incomplete;
		QTest::newRow("upper-case checksum")
			<< manifest([](QJsonObject &o) {
				   setPackage(o, "sha256", kSha.toUpper());
			   })
			<< "29.0.2" << true << true << "";
		QTest::newRow("63 hex digits") << manifest([](QJsonObject &o) {
			setPackage(o, "sha256", kSha.left(63));
		}) << "29.0.2" << false << false
					       << incomplete;
		QTest::newRow("OBS too old")
			<< manifest([](QJsonObject &o) {
				   o["min_obs"] = "30.0.0";
			   })
			<< "29.1.3" << false << false
			<< "Version 1.1.0 needs OBS 30.0.0 or newer (this is OBS 29.1.3).";
		// Text that is no version is not put in front of the user.
		QTest::newRow("unreadable OBS minimum")
			<< manifest([](QJsonObject &o) {
				   o["min_obs"] = "30.0.0.....%%%";
			   })
			<< "29.1.3" << false << false << incomplete;
		QTest::newRow("OBS exactly the minimum")
			<< manifest([](QJsonObject &o) {
				   o["min_obs"] = "29.1.3";
			   })
			<< "29.1.3" << true << true << "";
		QTest::newRow("OBS version unknown")
			<< manifest([](QJsonObject &o) {
				   o["min_obs"] = "30.0.0";
			   })
			<< "" << true << true << "";
	}
	void parseManifest()
	{
		QFETCH(QByteArray, bytes);
		QFETCH(QString, obs);
		QFETCH(bool, ok);
		QFETCH(bool, available);
		QFETCH(QString, error);

		UpdateConfig config;
		config.currentVersion = "1.0.1";
		config.platformKey = "linux-x86_64";
		config.obsVersion = obs;
		const ManifestResult r =
			PluginUpdater::parseManifest(bytes, config);
		QCOMPARE(r.ok, ok);
		QCOMPARE(r.available, available);
		QCOMPARE(r.error, error);
		if (available) {
			QVERIFY(PluginUpdater::urlAllowed(r.info.url));
			QCOMPARE(r.info.sha256, kSha);
			QCOMPARE(r.info.size, qint64(123456));
		}
	}

	// What a usable manifest leaves for the dock and the download.
	void recordedFields()
	{
		UpdateConfig config;
		config.currentVersion = "1.0.1";
		config.platformKey = "linux-x86_64";
		const ManifestResult r = PluginUpdater::parseManifest(
			manifest([](QJsonObject &o) {
				o["notes"] = QJsonArray{"First.", "Second."};
				setPackage(o, "size", 2048.9);
			}),
			config);
		QVERIFY(r.available);
		QCOMPARE(r.info.version, QString("1.1.0"));
		QCOMPARE(r.info.released, QString("2026-11-30"));
		QCOMPARE(r.info.minObs, QString("29.0.0"));
		QCOMPARE(r.info.notes, QString("First.\nSecond."));
		QCOMPARE(r.info.size, qint64(2048));

		const ManifestResult noSize = PluginUpdater::parseManifest(
			manifest([](QJsonObject &o) {
				setPackage(o, "size", "big");
			}),
			config);
		QVERIFY(noSize.available);
		QCOMPARE(noSize.info.size, qint64(0));
	}

	// A declared size gets 4 KiB of slack; nothing ever passes 200 MiB.
	void downloadCap()
	{
		PluginUpdater updater;
		QCOMPARE(updater.downloadCap(0), qint64(209715200));
		QCOMPARE(updater.downloadCap(-5), qint64(209715200));
		QCOMPARE(updater.downloadCap(1000), qint64(5096));
		QCOMPARE(updater.downloadCap(209711104), qint64(209715200));
		QCOMPARE(updater.downloadCap(qint64(1) << 40),
			 qint64(209715200));
	}
};

QTEST_GUILESS_MAIN(TstUpdateManifest)
#include "tst_update_manifest.moc"
