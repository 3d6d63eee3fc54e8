#include "dock_host.h"

namespace quillmarch {

QString freeSourceName(const QString &baseName,
		       const std::function<bool(const QString &)> &taken)
{
	if (!taken(baseName))
		return baseName;
	for (int n = 2;; ++n) {
		const QString name =
			QStringLiteral("%1 %2").arg(baseName).arg(n);
		if (!taken(name))
			return name;
	}
}

} // namespace quillmarch
