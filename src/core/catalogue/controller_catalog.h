#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace quillmarch {

// One maker of scoreboard controllers the device can read.
struct ControllerFamily {
	QString label;      // the maker's display name
	QStringList models; // a model's value and label are the same text
	QStringList inputs; // input-type keys, shown through inputTypeLabel
	QStringList sports; // sport keys; empty means every one of allSports()
};

// Makers by lower-case manufacturer key, in key order (case-sensitive).
using ControllerCatalog = QMap<QString, ControllerFamily>;

// The fixed catalogue of makers, for pickers with no device list at hand
// and for turning the device's keys into labels. Built on the first call
// (safe from any thread), never changed afterwards.
const ControllerCatalog &controllerCatalog();

// The eight sport keys, in the order pickers show them.
const QStringList &allSports();

// Readable names for the device's lower-case keys. Unknown keys still get
// a presentable label, so a newer device's choices show sensibly.
QString manufacturerLabel(const QString &key);
QString sportLabel(const QString &key);
QString inputTypeLabel(const QString &key);

} // namespace quillmarch
