#include "ble/ble_launch.h"

namespace quillmarch {

QString bleHelperFileName()
{
	return QStringLiteral("quillmarch-ble-helper");
}

// The helper is a plain executable beside the plug-in: it is started
// directly, so the launcher process is the helper itself.
BleLaunchCommand bleLaunchCommand(const QString &helperPath, quint16 port,
				  const QString &token)
{
	return {helperPath,
		{QStringLiteral("--port"), QString::number(port),
		 QStringLiteral("--token"), token}};
}

} // namespace quillmarch
