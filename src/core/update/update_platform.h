#pragma once

#include <QString>
#include <QStringList>

// What differs between the platforms the updater runs on. Each platform has
// its own source file; the build picks one.
namespace quillmarch::update {

// "macos-arm64", "linux-x86_64", ...: the key of this build's package in
// the manifest.
QString platformKey();

// Where the plug-in binary sits inside its bundle.
QString defaultBinaryRelPath();

// The bundle folder, given the data folder OBS hands the module.
// Empty when the data folder is empty.
QString bundlePathFromDataDir(const QString &dataDir);

// How to unpack a zip archive into a folder: a program whose exit status 0
// means everything was unpacked. An empty program means this computer has
// no tool for it.
struct UnpackCommand {
	QString program;
	QStringList arguments;
};
UnpackCommand unpackCommand(const QString &zipPath, const QString &destDir);

} // namespace quillmarch::update
