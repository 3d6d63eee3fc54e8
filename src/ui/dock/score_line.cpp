#include "score_line.h"

#include "live/live_data.h"

#include <QStringList>

namespace quillmarch {

QString scoreLine(const LiveData &data)
{
	const QStringList names = data.fieldNames();
	if (names.isEmpty())
		return QString();

	QStringList parts;
	const QString home = data.value(QStringLiteral("home_score"));
	const QString away = data.value(QStringLiteral("away_score"));
	if (!home.isEmpty() || !away.isEmpty()) {
		const QString zero = QStringLiteral("0");
		parts.append(QStringLiteral("%1 \u2013 %2")
				     .arg(home.isEmpty() ? zero : home,
					  away.isEmpty() ? zero : away));
	}
	for (const char *name :
	     {"period", "quarter", "half", "inning", "clock"}) {
		const QString value = data.value(QLatin1String(name));
		if (!value.isEmpty())
			parts.append(value);
	}
	// A sport without a score or clock still shows that data arrives.
	if (parts.isEmpty()) {
		for (const QString &name : names.mid(0, 3))
			parts.append(QStringLiteral("%1: %2").arg(
				name, data.value(name)));
	}
	return parts.join(QStringLiteral("   \u00b7   "));
}

} // namespace quillmarch
