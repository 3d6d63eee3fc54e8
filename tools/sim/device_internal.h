#pragma once

// Helpers shared by the files that implement DeviceModel's methods. Not
// for use outside the model.

#include <QJsonObject>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QString>

#include <cctype>
#include <cmath>

Q_DECLARE_LOGGING_CATEGORY(lcDevice)

namespace quillmarch::sim::detail {

inline QString str(const char *text)
{
	return QString::fromUtf8(text);
}

// A JSON number that is a whole number within [low, high].
inline bool wholeNumberIn(const QJsonValue &value, qint64 low, qint64 high,
			  qint64 *out = nullptr)
{
	if (!value.isDouble())
		return false;
	const double number = value.toDouble();
	if (!std::isfinite(number) || std::floor(number) != number ||
	    number < double(low) || number > double(high))
		return false;
	if (out)
		*out = qint64(number);
	return true;
}

// "confirm": true, which the destructive methods insist on.
inline bool confirmed(const QJsonObject &params)
{
	return params.value(QLatin1String("confirm")) == QJsonValue(true);
}

inline bool isHex(const QString &text, int digits)
{
	if (text.size() != digits)
		return false;
	for (const QChar c : text)
		if (c.unicode() > 0x7f || !std::isxdigit(c.toLatin1()))
			return false;
	return true;
}

// "aa:bb:cc:dd:ee:ff", either case.
inline bool isMacAddress(const QString &text)
{
	if (text.size() != 17)
		return false;
	for (int i = 0; i < text.size(); ++i) {
		const QChar c = text.at(i);
		const bool ok = (i % 3 == 2) ? c == QLatin1Char(':')
					     : isHex(QString(c), 1);
		if (!ok)
			return false;
	}
	return true;
}

} // namespace quillmarch::sim::detail
