#pragma once

#include <QString>
#include <QStringList>

namespace quillmarch {

// How the Bluetooth helper is started on this platform: the program to run
// and its arguments. The helper connects back to 127.0.0.1:port and proves
// itself with the token.
struct BleLaunchCommand {
	QString program;
	QStringList arguments;
};

// The helper's name in the plug-in's data folder: an app bundle on macOS,
// a plain executable elsewhere.
QString bleHelperFileName();

BleLaunchCommand bleLaunchCommand(const QString &helperPath, quint16 port,
				  const QString &token);

} // namespace quillmarch
