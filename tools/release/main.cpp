// quillmarch-release: makes the installable zip of the plug-in for one
// platform and writes its entry into the update manifest, latest.json.
//
//   quillmarch-release --tree plugins/quillmarch-obs --version 1.1.0
//       --platform linux-x86_64 --url-base https://host/downloads/obs/
//       --out site/downloads/obs --min-obs 29.0.0 --notes "Fixes."
//
// The zip holds exactly one folder, the plug-in bundle (the tree's own
// folder), which is the shape the plug-in's updater installs. A package
// built elsewhere (a signed macOS bundle zipped with ditto) is added with
// --zip instead of --tree. Entries of other platforms for the same version
// are kept; a new version starts a new manifest.

#include "command_line.h"
#include "update/update_manifest.h"
#include "update/update_platform.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>

#include <cstdio>

using quillmarch::tools::CommandLine;
namespace update = quillmarch::update;

namespace {

struct Options {
	QString tree;
	QString zip;
	QString platform;
	QString version;
	QString urlBase;
	QString outDir;
	QString released;
	QString minObs;
	QStringList notes;
	QString binary;
};

// Where the updater looks for the plug-in in a package of that platform.
QString binaryFor(const QString &platform)
{
	if (platform.startsWith(QLatin1String("macos-")))
		return QStringLiteral("Contents/MacOS/quillmarch-obs");
	if (platform.startsWith(QLatin1String("linux-")))
		return QStringLiteral("bin/64bit/quillmarch-obs.so");
	return QString();
}

// What the updater would refuse, said before anything is published.
QString treeProblem(const QString &tree, const QString &binary)
{
	if (!QFileInfo(tree).isDir() || QFileInfo(tree).isSymLink())
		return QStringLiteral("%1 is not a folder").arg(tree);
	const QFileInfo bin(QDir(tree).filePath(binary));
	if (!bin.isFile() || bin.isSymLink())
		return QStringLiteral("%1 has no plug-in at %2")
			.arg(tree, binary);
	QDirIterator it(tree,
			QDir::AllEntries | QDir::Hidden | QDir::System |
				QDir::NoDotAndDotDot,
			QDirIterator::Subdirectories);
	while (it.hasNext()) {
		it.next();
		if (it.fileInfo().isSymLink())
			return QStringLiteral("%1 is a symbolic link; the "
					      "updater refuses packages with "
					      "links")
				.arg(it.filePath());
	}
	return QString();
}

// Zips the tree's folder itself, so the archive has one root folder.
QString makeZip(const QString &tree, const QString &zipPath)
{
	const QFileInfo info(QDir::cleanPath(QDir(tree).absolutePath()));
	QFile::remove(zipPath);
	QProcess process;
	process.setWorkingDirectory(info.absolutePath());
	process.setProcessChannelMode(QProcess::MergedChannels);
	const QString zip =
		QStandardPaths::findExecutable(QStringLiteral("zip"));
	const QString bsdtar =
		QStandardPaths::findExecutable(QStringLiteral("bsdtar"));
	if (!zip.isEmpty())
		// -X: no extra Unix attributes beyond permissions, so the
		// same tree gives the same bytes.
		process.start(zip,
			      {QStringLiteral("-q"), QStringLiteral("-r"),
			       QStringLiteral("-X"), zipPath, info.fileName()});
	else if (!bsdtar.isEmpty())
		process.start(bsdtar,
			      {QStringLiteral("-a"), QStringLiteral("-cf"),
			       zipPath, info.fileName()});
	else
		return QStringLiteral("neither zip nor bsdtar is installed");
	if (!process.waitForFinished(600000) ||
	    process.exitStatus() != QProcess::NormalExit ||
	    process.exitCode() != 0)
		return QStringLiteral("%1 failed: %2")
			.arg(process.program(),
			     QString::fromLocal8Bit(process.readAll())
				     .trimmed());
	return QString();
}

QString fileDigest(const QString &path, qint64 *size, QString *error)
{
	QFile file(path);
	QCryptographicHash hash(QCryptographicHash::Sha256);
	if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
		*error = QStringLiteral("cannot read %1").arg(path);
		return QString();
	}
	*size = file.size();
	return QString::fromLatin1(hash.result().toHex());
}

QJsonObject readManifest(const QString &path)
{
	QFile file(path);
	if (!file.open(QIODevice::ReadOnly))
		return QJsonObject();
	return QJsonDocument::fromJson(file.readAll()).object();
}

int run(const Options &o)
{
	auto fail = [](const QString &message) {
		std::fprintf(stderr, "quillmarch-release: %s\n",
			     qPrintable(message));
		return 1;
	};
	const QDir out(o.outDir);
	if (!QDir().mkpath(o.outDir))
		return fail(QStringLiteral("cannot create %1").arg(o.outDir));

	QString zipPath;
	if (!o.tree.isEmpty()) {
		const QString problem = treeProblem(o.tree, o.binary);
		if (!problem.isEmpty())
			return fail(problem);
		zipPath = out.absoluteFilePath(
			QStringLiteral("quillmarch-obs-%1-%2.zip")
				.arg(o.version, o.platform));
		const QString error = makeZip(o.tree, zipPath);
		if (!error.isEmpty())
			return fail(error);
	} else {
		zipPath = out.absoluteFilePath(QFileInfo(o.zip).fileName());
		if (QFileInfo(o.zip).absoluteFilePath() != zipPath) {
			QFile::remove(zipPath);
			if (!QFile::copy(o.zip, zipPath))
				return fail(
					QStringLiteral("cannot copy %1 to %2")
						.arg(o.zip, zipPath));
		}
	}

	QString error;
	qint64 size = 0;
	const QString sha256 = fileDigest(zipPath, &size, &error);
	if (!error.isEmpty())
		return fail(error);

	// Another platform's package of the same version stays; anything
	// else of an older manifest goes.
	const QString manifestPath =
		out.absoluteFilePath(QStringLiteral("latest.json"));
	QJsonObject manifest = readManifest(manifestPath);
	if (manifest.value(QLatin1String("version")).toString() != o.version)
		manifest = QJsonObject();
	manifest.insert(QStringLiteral("schema"), 1);
	manifest.insert(QStringLiteral("version"), o.version);
	if (!o.released.isEmpty() ||
	    !manifest.contains(QLatin1String("released")))
		manifest.insert(
			QStringLiteral("released"),
			o.released.isEmpty()
				? QDateTime::currentDateTimeUtc().toString(
					  QStringLiteral("yyyy-MM-dd"))
				: o.released);
	if (!o.minObs.isEmpty() || !manifest.contains(QLatin1String("min_obs")))
		manifest.insert(QStringLiteral("min_obs"), o.minObs);
	if (!o.notes.isEmpty() || !manifest.contains(QLatin1String("notes")))
		manifest.insert(QStringLiteral("notes"),
				QJsonArray::fromStringList(o.notes));
	QJsonObject packages =
		manifest.value(QLatin1String("packages")).toObject();
	QString base = o.urlBase;
	if (!base.endsWith(QLatin1Char('/')))
		base += QLatin1Char('/');
	packages.insert(o.platform,
			QJsonObject{{QStringLiteral("url"),
				     base + QFileInfo(zipPath).fileName()},
				    {QStringLiteral("sha256"), sha256},
				    {QStringLiteral("size"), double(size)}});
	manifest.insert(QStringLiteral("packages"), packages);
	const QByteArray bytes =
		QJsonDocument(manifest).toJson(QJsonDocument::Indented);

	// The plug-in's own reading of the manifest, as a user of any older
	// version on an OBS new enough would see it.
	quillmarch::UpdateConfig probe;
	probe.currentVersion = QStringLiteral("0.0.0");
	probe.platformKey = o.platform;
	const quillmarch::ManifestResult check =
		update::parseManifest(bytes, probe);
	if (!check.available)
		return fail(QStringLiteral("the plug-in would refuse this "
					   "manifest: %1")
				    .arg(check.error));

	QSaveFile file(manifestPath);
	if (!file.open(QIODevice::WriteOnly) ||
	    file.write(bytes) != bytes.size() || !file.commit())
		return fail(
			QStringLiteral("cannot write %1").arg(manifestPath));
	std::printf("%s\n%s %s %lld bytes\n", qPrintable(zipPath),
		    qPrintable(o.platform), qPrintable(sha256),
		    static_cast<long long>(size));
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	QCoreApplication::setApplicationName(
		QStringLiteral("quillmarch-release"));

	CommandLine line(QStringLiteral(
		"Builds the plug-in's update package for one platform and "
		"writes its entry into latest.json."));
	line.add(QStringLiteral("tree"),
		 QStringLiteral("The installed plug-in bundle folder to "
				"package."),
		 QStringLiteral("dir"));
	line.add(QStringLiteral("zip"),
		 QStringLiteral("A package already built, instead of --tree."),
		 QStringLiteral("file"));
	line.add(QStringLiteral("platform"),
		 QStringLiteral("Platform key, e.g. linux-x86_64 or "
				"macos-arm64."),
		 QStringLiteral("key"), update::platformKey());
	line.add(QStringLiteral("version"),
		 QStringLiteral("The release's version, e.g. 1.1.0."),
		 QStringLiteral("version"));
	line.add(QStringLiteral("url-base"),
		 QStringLiteral("Address the packages are downloaded from."),
		 QStringLiteral("url"));
	line.add(QStringLiteral("out"),
		 QStringLiteral("Folder for the zip and latest.json."),
		 QStringLiteral("dir"), QStringLiteral("."));
	line.add(QStringLiteral("released"),
		 QStringLiteral("Release date; today by default."),
		 QStringLiteral("date"));
	line.add(QStringLiteral("min-obs"),
		 QStringLiteral("Oldest OBS version supported."),
		 QStringLiteral("version"));
	line.add(QStringLiteral("notes"),
		 QStringLiteral("A line of release notes; may repeat."),
		 QStringLiteral("text"));
	line.add(QStringLiteral("binary"),
		 QStringLiteral("The plug-in inside the bundle; by default "
				"the platform's usual place."),
		 QStringLiteral("path"));

	CommandLine::Outcome outcome = line.parse(app.arguments());
	Options o;
	if (outcome == CommandLine::Outcome::Run) {
		o.tree = line.value(QStringLiteral("tree"));
		o.zip = line.value(QStringLiteral("zip"));
		o.platform = line.value(QStringLiteral("platform"));
		o.version = line.value(QStringLiteral("version"));
		o.urlBase = line.value(QStringLiteral("url-base"));
		o.outDir = line.value(QStringLiteral("out"));
		o.released = line.value(QStringLiteral("released"));
		o.minObs = line.value(QStringLiteral("min-obs"));
		o.notes = line.values(QStringLiteral("notes"));
		o.binary = line.isSet(QStringLiteral("binary"))
				   ? line.value(QStringLiteral("binary"))
				   : binaryFor(o.platform);
		if (o.tree.isEmpty() == o.zip.isEmpty())
			line.fail(
				QStringLiteral("give either --tree or --zip"));
		if (o.version.isEmpty() || o.urlBase.isEmpty())
			line.fail(QStringLiteral("--version and --url-base are "
						 "needed"));
		if (!o.tree.isEmpty() && o.binary.isEmpty())
			line.fail(QStringLiteral("no usual plug-in place for "
						 "%1; give --binary")
					  .arg(o.platform));
		if (line.failed())
			outcome = CommandLine::Outcome::Error;
	}
	if (outcome != CommandLine::Outcome::Run)
		return CommandLine::report(outcome, line.text());
	return run(o);
}
