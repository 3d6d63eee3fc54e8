// The updater against the update-site stand-in, with packages made by the
// release tool, into a plug-in laid out as Debian's OBS loads it from the
// user's configuration folder.
#include "update/plugin_updater.h"
#include "update/update_install.h"
#include "update/update_platform.h"
#include "update_site.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using namespace quillmarch;
using updatesite::Misbehaviour;
using updatesite::UpdateSite;

Q_DECLARE_METATYPE(Misbehaviour)

namespace {

const QString kBinary = QStringLiteral("bin/64bit/quillmarch-obs.so");

void writeFile(const QString &path, const QByteArray &bytes)
{
	QDir().mkpath(QFileInfo(path).absolutePath());
	QFile f(path);
	QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
	f.write(bytes);
}

QByteArray readFile(const QString &path)
{
	QFile f(path);
	return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every entry below `dir` with its kind and content (a link's target), so
// any change at all shows.
QByteArray treeDigest(const QString &dir)
{
	QStringList lines;
	QDirIterator it(dir,
			QDir::AllEntries | QDir::Hidden | QDir::System |
				QDir::NoDotAndDotDot,
			QDirIterator::Subdirectories);
	while (it.hasNext()) {
		const QString path = it.next();
		const QFileInfo fi = it.fileInfo();
		QString line = QDir(dir).relativeFilePath(path);
		if (fi.isSymLink())
			line += " -> " + fi.symLinkTarget();
		else if (fi.isDir())
			line += "/";
		else
			line += " " + QCryptographicHash::hash(
					      readFile(path),
					      QCryptographicHash::Sha256)
					      .toHex();
		lines.append(line);
	}
	lines.sort();
	return lines.join('\n').toUtf8();
}

// Runs `program` in `dir`; the test fails unless it exits with 0.
void run(const QString &program, const QStringList &args,
	 const QString &dir = QString())
{
	QProcess p;
	p.setWorkingDirectory(dir);
	p.setProcessChannelMode(QProcess::MergedChannels);
	p.start(program, args);
	QVERIFY2(p.waitForFinished(60000), qPrintable(program));
	QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
		 qPrintable(program + ": " + p.readAll()));
}

} // namespace

class TstUpdateInstall : public QObject {
	Q_OBJECT

	QTemporaryDir m_tmp;
	QString m_siteDir;
	QString m_bundle;
	QString m_downloadDir;
	UpdateSite *m_site = nullptr;

	QString path(const QString &rel) const { return m_tmp.filePath(rel); }

	// A plug-in tree in the shape OBS loads, holding `version`.
	void makeTree(const QString &dir, const QString &version)
	{
		writeFile(dir + "/" + kBinary,
			  "ELF quillmarch " + version.toUtf8());
		writeFile(dir + "/data/locale/en-US.ini",
			  "Quillmarch=\"Quillmarch " + version.toUtf8() +
				  "\"\n");
		writeFile(dir + "/data/.hidden-" + version, "hidden");
	}

	void release(const QStringList &args)
	{
		run(QStringLiteral(QUILLMARCH_RELEASE_TOOL),
		    QStringList{"--platform", PluginUpdater::platformKey(),
				"--url-base",
				m_site->baseUrl() + "/downloads/obs/", "--out",
				m_siteDir + "/downloads/obs", "--min-obs",
				"29.0.0"} +
			    args);
	}

	// A zip made by hand, for packages the release tool would refuse.
	QString handMadeZip(const QString &workDir, const QStringList &entries)
	{
		const QString zip = workDir + ".zip";
		QFile::remove(zip);
		run("zip", QStringList{"-q", "-r", "-y", zip} + entries,
		    workDir);
		return zip;
	}

	UpdateConfig config() const
	{
		UpdateConfig c;
		c.manifestUrl =
			m_site->baseUrl() + "/downloads/obs/latest.json";
		c.currentVersion = "1.0.1";
		c.platformKey = PluginUpdater::platformKey();
		c.obsVersion = "29.0.2";
		c.bundlePath =
			update::bundlePathFromDataDir(m_bundle + "/data/");
		c.downloadDir = m_downloadDir;
		c.websiteUrl = "https://quillmarch.example/download";
		c.timeoutMs = 5000;
		return c;
	}

	// Checks and installs as the user does from the dock.
	void checkAndInstall(PluginUpdater &updater)
	{
		updater.check(true);
		QTRY_VERIFY_WITH_TIMEOUT(!updater.busy(), 10000);
		QCOMPARE(updater.state(), PluginUpdater::Available);
		updater.install();
		QTRY_VERIFY_WITH_TIMEOUT(!updater.busy(), 20000);
	}

	void editManifest(const std::function<void(QJsonObject &)> &edit)
	{
		const QString file = m_siteDir + "/downloads/obs/latest.json";
		QJsonObject o =
			QJsonDocument::fromJson(readFile(file)).object();
		edit(o);
		writeFile(file, QJsonDocument(o).toJson());
	}

private Q_SLOTS:
	void initTestCase()
	{
		QVERIFY(m_tmp.isValid());
		QVERIFY2(!update::unpackCommand("a.zip", "d").program.isEmpty(),
			 "neither bsdtar nor unzip is installed");
	}

	void init()
	{
		const QString home = path(QTest::currentTestFunction());
		QDir(home).removeRecursively();
		m_siteDir = home + "/site";
		m_bundle = home + "/.config/obs-studio/plugins/quillmarch-obs";
		m_downloadDir =
			home +
			"/.config/obs-studio/plugin_config/quillmarch-obs/update";
		QDir().mkpath(m_siteDir);
		makeTree(m_bundle, "1.0.1");
		m_site = new UpdateSite(m_siteDir, this);
		QVERIFY(m_site->listen());
	}

	void cleanup()
	{
		delete m_site;
		m_site = nullptr;
	}

	// Two releases in a row: the first swaps the whole bundle, the second
	// (a package with a "__MACOSX" folder, as the Finder makes them) is
	// put in file by file, and the next start clears what that left.
	void installsAndCleansUp()
	{
		makeTree(path("stage/quillmarch-obs"), "1.1.0");
		release({"--tree", path("stage/quillmarch-obs"), "--version",
			 "1.1.0", "--notes", "Faster."});

		PluginUpdater updater;
		updater.setConfig(config());
		QVERIFY(updater.canInstallInPlace());
		checkAndInstall(updater);
		QCOMPARE(
			updater.message(),
			QString("Version 1.1.0 is installed. Restart OBS to start using it."));
		QCOMPARE(updater.state(), PluginUpdater::Installed);
		QCOMPARE(updater.progress(), 100);
		QCOMPARE(readFile(m_bundle + "/" + kBinary),
			 QByteArray("ELF quillmarch 1.1.0"));
		QCOMPARE(treeDigest(m_bundle),
			 (makeTree(path("expect-1.1.0"), "1.1.0"),
			  treeDigest(path("expect-1.1.0"))));
		QCOMPARE(readFile(m_downloadDir + "/previous/" + kBinary),
			 QByteArray("ELF quillmarch 1.0.1"));
		QVERIFY(!QFileInfo::exists(m_downloadDir + "/package.zip"));
		QVERIFY(!QFileInfo::exists(m_downloadDir + "/extracted"));
		const tools::HttpRequest &manifestRequest =
			m_site->requests().first();
		QCOMPARE(manifestRequest.header("Accept"),
			 QByteArray("application/json"));
		QCOMPARE(m_site->requests().last().header("User-Agent"),
			 "Quillmarch-OBS/1.0.1 (" +
				 PluginUpdater::platformKey().toUtf8() + ")");

		// Nothing more happens in this session.
		const int requests = m_site->requests().size();
		updater.check(true);
		QTest::qWait(50);
		QCOMPARE(updater.state(), PluginUpdater::Installed);
		QCOMPARE(m_site->requests().size(), requests);

		// Next start, next release, put in place file by file.
		makeTree(path("stage2/quillmarch-obs"), "1.2.0");
		writeFile(path("stage2/__MACOSX/._quillmarch-obs"), "finder");
		release({"--zip",
			 handMadeZip(path("stage2"),
				     {"quillmarch-obs", "__MACOSX"}),
			 "--version", "1.2.0"});
		PluginUpdater next;
		UpdateConfig c = config();
		c.currentVersion = "1.1.0";
		next.setConfig(c);
		PluginUpdater::Limits limits;
		limits.wholeSwap = false;
		next.setLimits(limits);
		checkAndInstall(next);
		QCOMPARE(next.state(), PluginUpdater::Installed);
		QCOMPARE(readFile(m_bundle + "/" + kBinary),
			 QByteArray("ELF quillmarch 1.2.0"));
		QCOMPARE(readFile(m_bundle + "/" + kBinary + ".old"),
			 QByteArray("ELF quillmarch 1.1.0"));
		QVERIFY(QFileInfo::exists(m_bundle +
					  "/data/locale/en-US.ini.old"));

		PluginUpdater::cleanupLeftovers(c.bundlePath);
		makeTree(path("expect-1.2.0"), "1.1.0");
		makeTree(path("expect-1.2.0"), "1.2.0");
		QCOMPARE(treeDigest(m_bundle),
			 treeDigest(path("expect-1.2.0")));
	}

	// What the site gets wrong: the bundle stays as it was and a bad
	// download is never unpacked.
	void refusedDownloads_data()
	{
		QTest::addColumn<Misbehaviour>("fault");
		QTest::addColumn<bool>("dropSize");
		QTest::addColumn<QString>("message");
		const QString unfinished =
			"The download did not finish. Check your internet connection and try again.";
		const QString larger =
			"The download was larger than expected, so it was discarded.";
		QTest::newRow("more than the declared size and slack")
			<< Misbehaviour::Oversized << false << larger;
		QTest::newRow("no declared size, past the cap")
			<< Misbehaviour::None << true << larger;
		QTest::newRow("declared size differs, checksum matches")
			<< Misbehaviour::WrongSize << false
			<< "The download was incomplete, so it was discarded. Try again.";
		QTest::newRow("wrong checksum")
			<< Misbehaviour::WrongChecksum << false
			<< "The download did not match its checksum, so it was discarded. Nothing was changed.";
		QTest::newRow("truncated")
			<< Misbehaviour::Truncated << false << unfinished;
		QTest::newRow("length header too large")
			<< Misbehaviour::WrongLength << false << unfinished;
		QTest::newRow("500")
			<< Misbehaviour::ServerError << false << unfinished;
	}
	void refusedDownloads()
	{
		QFETCH(Misbehaviour, fault);
		QFETCH(bool, dropSize);
		QFETCH(QString, message);

		makeTree(path("stage/quillmarch-obs"), "1.1.0");
		// Past the cap below when the size is not declared, even
		// compressed.
		QByteArray noise(96 * 1024, '\0');
		QRandomGenerator rng(7);
		rng.fillRange(reinterpret_cast<quint32 *>(noise.data()),
			      noise.size() / 4);
		writeFile(path("stage/quillmarch-obs/data/noise"), noise);
		release({"--tree", path("stage/quillmarch-obs"), "--version",
			 "1.1.0"});
		if (dropSize)
			editManifest([](QJsonObject &o) {
				QJsonObject packages = o["packages"].toObject();
				for (auto it = packages.begin();
				     it != packages.end(); ++it) {
					QJsonObject p = it.value().toObject();
					p.remove("size");
					it.value() = p;
				}
				o["packages"] = packages;
			});
		m_site->setMisbehaviour(fault, 8192);
		const QByteArray before = treeDigest(m_bundle);

		PluginUpdater updater;
		updater.setConfig(config());
		if (dropSize) {
			PluginUpdater::Limits limits;
			limits.maxDownloadBytes = 64 * 1024;
			updater.setLimits(limits);
		}
		checkAndInstall(updater);
		QCOMPARE(updater.state(), PluginUpdater::Failed);
		QCOMPARE(updater.message(), message);
		QCOMPARE(treeDigest(m_bundle), before);
		QVERIFY(!QFileInfo::exists(m_downloadDir + "/extracted"));
	}

	// Packages that unpack but must not be installed.
	void refusedPackages_data()
	{
		QTest::addColumn<QString>("shape");
		QTest::addColumn<QString>("message");
		const QString shape =
			"The update package was not in the expected shape. Nothing was changed.";
		const QString link =
			"The update package contained an unexpected link, so it was rejected. Nothing was changed.";
		const QString unpack =
			"The update could not be unpacked. Nothing was changed.";
		QTest::newRow("link deep inside") << "link" << link;
		QTest::newRow("link beside the binary")
			<< "binary-link" << link;
		QTest::newRow("two top-level folders") << "two-roots" << shape;
		QTest::newRow("a file at the top") << "file-root" << shape;
		QTest::newRow("no plug-in binary")
			<< "no-binary"
			<< "The update package did not contain the plugin for this computer. Nothing was changed.";
		// bsdtar refuses such an entry; unzip puts it at the top,
		// beside the bundle folder.
		QTest::newRow("path escaping the folder")
			<< "escape" << unpack + "|" + shape;
		QTest::newRow("not an archive") << "not-zip" << unpack;
	}
	void refusedPackages()
	{
		QFETCH(QString, shape);
		QFETCH(QString, message);

		const QString work = path("stage");
		const QString root = work + "/quillmarch-obs";
		makeTree(root, "1.1.0");
		QStringList entries{"quillmarch-obs"};
		QString zip;
		if (shape == "link") {
			// Dangling, so only the link itself can give it away.
			QVERIFY(QFile::link("/nonexistent/quillmarch",
					    root + "/data/locale/.cache"));
		} else if (shape == "binary-link") {
			QFile::rename(root + "/" + kBinary,
				      root + "/bin/64bit/real.so");
			QVERIFY(QFile::link("real.so", root + "/" + kBinary));
		} else if (shape == "two-roots") {
			writeFile(work + "/other/readme.txt", "x");
			entries << "other";
		} else if (shape == "file-root") {
			QDir(root).removeRecursively();
			writeFile(work + "/quillmarch-obs.so", "x");
			entries = QStringList{"quillmarch-obs.so"};
		} else if (shape == "no-binary") {
			QFile::remove(root + "/" + kBinary);
		} else if (shape == "escape") {
			// Renamed inside the archive to "../evil", which
			// would land beside the extract folder.
			writeFile(work + "/..Xevil", "escaped");
			entries << "..Xevil";
		}
		if (shape == "not-zip") {
			zip = work + ".zip";
			writeFile(zip, QByteArray(4096, '\x5a'));
		} else {
			zip = handMadeZip(work, entries);
		}
		if (shape == "escape") {
			QByteArray bytes = readFile(zip);
			QCOMPARE(bytes.count("..Xevil"), 2);
			writeFile(zip, bytes.replace("..Xevil", "../evil"));
		}
		release({"--zip", zip, "--version", "1.1.0"});
		const QByteArray before = treeDigest(m_bundle);

		PluginUpdater updater;
		updater.setConfig(config());
		checkAndInstall(updater);
		QVERIFY2(message.split('|').contains(updater.message()),
			 qPrintable(updater.message()));
		QCOMPARE(updater.state(), PluginUpdater::Failed);
		QCOMPARE(treeDigest(m_bundle), before);
		QVERIFY(!QFileInfo::exists(m_downloadDir + "/evil"));
		QVERIFY(!QFileInfo::exists(m_downloadDir + "/previous"));
	}

	// A file-by-file replacement that fails at its third file puts every
	// file back; a new file it had added is gone again.
	void fileByFileUndo()
	{
		const QString source = path("fileByFileUndo/new");
		const QString dest = path("fileByFileUndo/installed");
		QDir().mkpath(path("fileByFileUndo"));
		for (const char *name : {"a", "b", "c", "d"})
			writeFile(source + "/" + name + ".dat",
				  QByteArray("new ") + name);
		writeFile(dest + "/a.dat", "old a");
		writeFile(dest + "/b.dat", "old b");
		writeFile(dest + "/c.dat", "old c");
		const QByteArray before = treeDigest(dest);

		QStringList attempted;
		const update::InstallResult r = update::installTree(
			source, dest, path("fileByFileUndo/backup"), false,
			[&](const QString &rel) {
				attempted.append(rel);
				return attempted.size() == 3;
			});
		QVERIFY(!r.ok);
		QCOMPARE(attempted.size(), 3);
		QCOMPARE(r.error, "could not write " + attempted.last());
		QCOMPARE(treeDigest(dest), before);

		// Without the fault the same tree goes in, old files kept
		// beside it until the next start.
		const update::InstallResult ok = update::installTree(
			source, dest, path("fileByFileUndo/backup"), false);
		QVERIFY2(ok.ok, qPrintable(ok.error));
		QCOMPARE(readFile(dest + "/c.dat"), QByteArray("new c"));
		QCOMPARE(readFile(dest + "/c.dat.old"), QByteArray("old c"));
		QVERIFY(!QFileInfo::exists(dest + "/d.dat.old"));
	}

	// What the user sees when no update can be had, and that automatic
	// checks stay quiet about it.
	void checkFailures()
	{
		PluginUpdater updater;
		UpdateConfig c = config();
		c.manifestUrl =
			"http://updates.example.com/downloads/obs/latest.json";
		updater.setConfig(c);
		QSignalSpy changes(&updater, &PluginUpdater::stateChanged);
		updater.check(false);
		QCOMPARE(changes.count(), 0);
		updater.check(true);
		QCOMPARE(updater.message(),
			 QString("The update address is not valid."));

		c = config();
		m_site->setMisbehaviour(Misbehaviour::NotFound);
		c.manifestUrl = m_site->baseUrl() + "/downloads/obs/none.json";
		updater.setConfig(c);
		updater.check(false);
		QVERIFY(updater.busy());
		QTRY_VERIFY(!updater.busy());
		QCOMPARE(updater.state(), PluginUpdater::Idle);
		QCOMPARE(updater.message(), QString());
		updater.check(true);
		QTRY_VERIFY(!updater.busy());
		QCOMPARE(
			updater.message(),
			QString("Could not reach the Quillmarch update service. Check your internet connection."));

		// A redirect to a plain address elsewhere is not followed,
		// whoever answers there.
		tools::HttpServer elsewhere;
		QVERIFY(elsewhere.listen(QHostAddress("127.0.0.2")));
		elsewhere.serveFile("/latest.json", R"({"version": "1.0.1"})",
				    "application/json");
		tools::HttpServer redirecting;
		QVERIFY(redirecting.listen());
		redirecting.route(
			"GET", "/latest.json",
			tools::HttpReply::text(302, "").withHeader(
				"Location",
				"http://" + elsewhere.endpoint().toUtf8() +
					"/latest.json"));
		c.manifestUrl =
			"http://" + redirecting.endpoint() + "/latest.json";
		updater.setConfig(c);
		updater.check(true);
		QTRY_VERIFY(!updater.busy());
		QCOMPARE(updater.state(), PluginUpdater::Failed);
		QCOMPARE(elsewhere.requests().size(), 0);

		// Same version published: up to date, even with no package.
		writeFile(m_siteDir + "/downloads/obs/latest.json",
			  R"({"version": "1.0.1", "packages": {}})");
		updater.setConfig(config());
		updater.check(true);
		QTRY_VERIFY(!updater.busy());
		QCOMPARE(updater.state(), PluginUpdater::UpToDate);
		QCOMPARE(updater.message(),
			 QString("Quillmarch 1.0.1 is up to date."));

		// A plug-in installed for all users is not touched, and not
		// even downloaded.
		makeTree(path("stage/quillmarch-obs"), "1.1.0");
		release({"--tree", path("stage/quillmarch-obs"), "--version",
			 "1.1.0"});
		QFile::remove(m_bundle + "/" + kBinary);
		updater.check(true);
		QTRY_VERIFY(!updater.busy());
		QCOMPARE(updater.state(), PluginUpdater::Available);
		updater.install();
		QCOMPARE(updater.state(), PluginUpdater::Failed);
		QCOMPARE(
			updater.message(),
			QString("This copy of the plugin was installed for all users, so it cannot update itself. Download and run the installer from https://quillmarch.example/download."));
		QCOMPARE(m_site->requestCount(".zip"), 0);

		// The download folder is emptied first: never one relative to
		// wherever OBS was started.
		makeTree(m_bundle, "1.0.1");
		const QString cwd = QDir::currentPath();
		QVERIFY(QDir::setCurrent(path("checkFailures")));
		writeFile("update/keep", "mine");
		c = config();
		c.downloadDir = "update";
		updater.setConfig(c);
		updater.install();
		QCOMPARE(
			updater.message(),
			QString("Could not prepare a download folder (no absolute folder given)."));
		QCOMPARE(readFile("update/keep"), QByteArray("mine"));
		QDir::setCurrent(cwd);
	}
};

QTEST_GUILESS_MAIN(TstUpdateInstall)
#include "tst_update_install.moc"
