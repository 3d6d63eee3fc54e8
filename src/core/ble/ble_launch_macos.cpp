#include "ble/ble_launch.h"

namespace quillmarch {

QString bleHelperFileName()
{
	return QStringLiteral("Quillmarch Bluetooth Helper.app");
}

// The helper is an app bundle: macOS grants Bluetooth access per
// application, so it has to be opened as one (a new instance, in the
// background) rather than run as a child executable. open(1) hands it the
// arguments after --args and exits.
BleLaunchCommand bleLaunchCommand(const QString &helperPath, quint16 port,
				  const QString &token)
{
	return {QStringLiteral("/usr/bin/open"),
		{QStringLiteral("-n"), QStringLiteral("-g"),
		 QStringLiteral("-a"), helperPath, QStringLiteral("--args"),
		 QStringLiteral("--port"), QString::number(port),
		 QStringLiteral("--token"), token}};
}

} // namespace quillmarch
