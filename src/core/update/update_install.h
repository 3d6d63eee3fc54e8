#pragma once

#include <QString>

#include <functional>

// The file-system half of an update: checking an unpacked package and
// putting it in place of the installed bundle. No network, no processes.
namespace quillmarch::update {

struct InstallResult {
	bool ok = false;
	QString error;
};

// Deletes a file, link or folder tree. Nothing at the path counts as
// success. Returns "" or "could not remove <path>".
QString removeTree(const QString &path);

// Why an unpacked package may not be installed.
enum class PackageProblem {
	None,
	Shape,         // not exactly one root folder
	Link,          // a link, or something reaching outside the folder
	MissingBinary, // no plug-in binary at its place
};

// Checks the folder a package was unpacked into and sets `root` to the
// package's root folder (the new bundle). A "__MACOSX" entry beside it is
// ignored.
PackageProblem inspectUnpacked(const QString &extractDir,
			       const QString &binaryRelPath, QString *root);

// Test seam for the file-by-file replacement: returning true makes the
// write of that file (path relative to the bundle) fail.
using WriteFault = std::function<bool(const QString &relPath)>;

// Puts the tree `source` in place of `destination`. With allowSwap the
// whole folder is swapped and the old one kept at `backup`; when that is
// not possible, files are replaced one by one, each old file kept beside
// its replacement as "<name>.old". On failure everything touched is
// restored, the newest step first.
InstallResult installTree(const QString &source, const QString &destination,
			  const QString &backup, bool allowSwap,
			  const WriteFault &fault = {});

// Deletes every "*.old" file below the bundle.
void cleanupLeftovers(const QString &bundlePath);

} // namespace quillmarch::update
