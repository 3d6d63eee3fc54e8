#include "update/update_install.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringList>

namespace quillmarch::update {

namespace {

// Every entry, hidden ones and dangling links included.
constexpr QDir::Filters kAllEntries = QDir::AllEntries | QDir::Hidden |
				      QDir::System | QDir::NoDotAndDotDot;

bool exists(const QString &path)
{
	// QFileInfo::exists() follows links; a dangling link is still there.
	const QFileInfo fi(path);
	return fi.exists() || fi.isSymLink();
}

// One file of a file-by-file replacement.
struct Step {
	QString target;
	QString old;
	bool hadOld = false;
};

void undo(const QList<Step> &steps)
{
	for (int i = int(steps.size()) - 1; i >= 0; --i) {
		const Step &step = steps.at(i);
		QFile::remove(step.target);
		if (step.hadOld)
			QFile::rename(step.old, step.target);
	}
}

// True when `path` lies inside `dir` (both canonical).
bool inside(const QString &path, const QString &dir)
{
	return path.startsWith(dir + QLatin1Char('/'));
}

enum class Swap { Done, NotDone, Stranded };

// Swaps the whole folder, keeping the old one at `backup`. NotDone leaves
// `destination` as it was; Stranded means the old folder could not be put
// back and now lives at `backup` only.
Swap swapWhole(const QString &source, const QString &destination,
	       const QString &backup)
{
	if (!removeTree(backup).isEmpty())
		return Swap::NotDone;
	if (!QDir().mkpath(QFileInfo(backup).absolutePath()))
		return Swap::NotDone;
	QDir dir;
	if (!dir.rename(destination, backup))
		return Swap::NotDone;
	if (dir.rename(source, destination))
		return Swap::Done;
	return dir.rename(backup, destination) ? Swap::NotDone : Swap::Stranded;
}

} // namespace

QString removeTree(const QString &path)
{
	if (!exists(path))
		return QString();
	const QFileInfo fi(path);
	const bool removed = fi.isDir() && !fi.isSymLink()
				     ? QDir(path).removeRecursively()
				     : QFile::remove(path);
	if (removed && !exists(path))
		return QString();
	return QStringLiteral("could not remove %1").arg(path);
}

PackageProblem inspectUnpacked(const QString &extractDir,
			       const QString &binaryRelPath, QString *root)
{
	const QFileInfoList entries =
		QDir(extractDir).entryInfoList(kAllEntries);
	QFileInfoList roots;
	for (const QFileInfo &entry : entries) {
		if (entry.fileName() != QLatin1String("__MACOSX"))
			roots.append(entry);
	}
	if (roots.size() != 1 || roots.first().isSymLink() ||
	    !roots.first().isDir())
		return PackageProblem::Shape;
	const QString packageRoot = roots.first().absoluteFilePath();

	const QString base = QFileInfo(extractDir).canonicalFilePath();
	QDirIterator it(packageRoot, kAllEntries, QDirIterator::Subdirectories);
	while (it.hasNext()) {
		it.next();
		const QFileInfo fi = it.fileInfo();
		if (fi.isSymLink() || !inside(fi.canonicalFilePath(), base))
			return PackageProblem::Link;
	}

	const QFileInfo binary(QDir(packageRoot).filePath(binaryRelPath));
	if (!binary.isFile() || binary.isSymLink())
		return PackageProblem::MissingBinary;
	if (root)
		*root = packageRoot;
	return PackageProblem::None;
}

InstallResult installTree(const QString &source, const QString &destination,
			  const QString &backup, bool allowSwap,
			  const WriteFault &fault)
{
	const QFileInfo sourceInfo(source);
	if (!sourceInfo.isDir())
		return {false, QStringLiteral("nothing to install")};

	if (allowSwap && QFileInfo(destination).isDir()) {
		switch (swapWhole(source, destination, backup)) {
		case Swap::Done:
			return {true, QString()};
		case Swap::Stranded:
			// Writing the new files where the old bundle was
			// would leave neither version whole.
			return {false, QStringLiteral("could not restore %1")
					       .arg(destination)};
		case Swap::NotDone:
			break;
		}
	}

	const QDir sourceDir(source);
	QStringList files;
	QDirIterator it(source, QDir::Files | QDir::Hidden | QDir::System,
			QDirIterator::Subdirectories);
	while (it.hasNext())
		files.append(sourceDir.relativeFilePath(it.next()));
	if (files.isEmpty())
		return {false, QStringLiteral("the package is empty")};

	const QDir destDir(destination);
	QList<Step> steps;
	for (const QString &rel : files) {
		Step step;
		step.target = destDir.filePath(rel);
		step.old = step.target + QStringLiteral(".old");
		QDir().mkpath(QFileInfo(step.target).absolutePath());
		if (exists(step.target)) {
			QFile::remove(step.old);
			if (!QFile::rename(step.target, step.old)) {
				undo(steps);
				return {false,
					QStringLiteral("%1 is in use").arg(rel)};
			}
			step.hadOld = true;
		}
		steps.append(step);

		const QString from = sourceDir.filePath(rel);
		const bool written = !(fault && fault(rel)) &&
				     (QFile::rename(from, step.target) ||
				      QFile::copy(from, step.target));
		if (!written) {
			undo(steps);
			return {false,
				QStringLiteral("could not write %1").arg(rel)};
		}
	}
	return {true, QString()};
}

void cleanupLeftovers(const QString &bundlePath)
{
	if (bundlePath.isEmpty() || !QFileInfo(bundlePath).isDir())
		return;
	QDirIterator it(bundlePath, {QStringLiteral("*.old")},
			QDir::Files | QDir::Hidden | QDir::System,
			QDirIterator::Subdirectories);
	while (it.hasNext())
		QFile::remove(it.next());
}

} // namespace quillmarch::update
