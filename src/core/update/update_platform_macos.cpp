#include "update/update_platform.h"

#include <QDir>
#include <QSysInfo>

namespace quillmarch::update {

// Qt names the architectures "x86_64" and "arm64", as the manifest does.
QString platformKey()
{
	return QStringLiteral("macos-") + QSysInfo::buildCpuArchitecture();
}

QString defaultBinaryRelPath()
{
	return QStringLiteral("Contents/MacOS/quillmarch-obs");
}

// The data folder of quillmarch-obs.plugin is Contents/Resources.
QString bundlePathFromDataDir(const QString &dataDir)
{
	if (dataDir.isEmpty())
		return QString();
	return QDir::cleanPath(
		QDir(dataDir).absoluteFilePath(QStringLiteral("../..")));
}

UnpackCommand unpackCommand(const QString &zipPath, const QString &destDir)
{
	return {QStringLiteral("/usr/bin/ditto"),
		{QStringLiteral("-x"), QStringLiteral("-k"), zipPath, destDir}};
}

} // namespace quillmarch::update
