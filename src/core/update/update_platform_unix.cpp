#include "update/update_platform.h"

#include <QDir>
#include <QStandardPaths>
#include <QSysInfo>

namespace quillmarch::update {

QString platformKey()
{
	return QStringLiteral("linux-") + QSysInfo::buildCpuArchitecture();
}

QString defaultBinaryRelPath()
{
	return QStringLiteral("bin/64bit/quillmarch-obs.so");
}

// OBS loads a user plug-in from plugins/<name>/bin/64bit/<name>.so with its
// data in plugins/<name>/data: the bundle is the data folder's parent.
QString bundlePathFromDataDir(const QString &dataDir)
{
	if (dataDir.isEmpty())
		return QString();
	return QDir::cleanPath(
		QDir(dataDir).absoluteFilePath(QStringLiteral("..")));
}

// Linux has no ditto; bsdtar and unzip both exit non-zero when an entry
// could not be unpacked or was refused (for instance one reaching outside
// the folder), which is the contract the updater relies on.
UnpackCommand unpackCommand(const QString &zipPath, const QString &destDir)
{
	const QString bsdtar =
		QStandardPaths::findExecutable(QStringLiteral("bsdtar"));
	if (!bsdtar.isEmpty())
		return {bsdtar,
			{QStringLiteral("-xf"), zipPath, QStringLiteral("-C"),
			 destDir}};
	const QString unzip =
		QStandardPaths::findExecutable(QStringLiteral("unzip"));
	if (!unzip.isEmpty())
		// -o: a repeated entry overwrites instead of asking on stdin.
		return {unzip,
			{QStringLiteral("-q"), QStringLiteral("-o"), zipPath,
			 QStringLiteral("-d"), destDir}};
	return {};
}

} // namespace quillmarch::update
