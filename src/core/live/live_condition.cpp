#include "live/live_condition.h"

#include <cmath>

namespace quillmarch {

namespace {

struct CompareKey {
	LiveCondition::Compare compare;
	const char *key;
};

constexpr CompareKey kKeys[] = {
	{LiveCondition::Compare::Equals, "equals"},
	{LiveCondition::Compare::Differs, "differs"},
	{LiveCondition::Compare::Greater, "greater"},
	{LiveCondition::Compare::Less, "less"},
	{LiveCondition::Compare::Empty, "empty"},
	{LiveCondition::Compare::NotEmpty, "not_empty"},
};

bool readNumber(const QString &text, double *out)
{
	bool ok = false;
	const double v = text.trimmed().toDouble(&ok);
	if (!ok || !std::isfinite(v))
		return false;
	*out = v;
	return true;
}

bool sameValue(const QString &a, const QString &b)
{
	double x = 0, y = 0;
	if (readNumber(a, &x) && readNumber(b, &y))
		return x == y;
	return a.trimmed().compare(b.trimmed(), Qt::CaseInsensitive) == 0;
}

bool compareHolds(LiveCondition::Compare compare, const QString &actual,
		  const QString &wanted)
{
	double x = 0, y = 0;
	switch (compare) {
	case LiveCondition::Compare::Equals:
		return sameValue(actual, wanted);
	case LiveCondition::Compare::Differs:
		return !sameValue(actual, wanted);
	case LiveCondition::Compare::Greater:
		return readNumber(actual, &x) && readNumber(wanted, &y) &&
		       x > y;
	case LiveCondition::Compare::Less:
		return readNumber(actual, &x) && readNumber(wanted, &y) &&
		       x < y;
	case LiveCondition::Compare::Empty:
		return actual.trimmed().isEmpty();
	case LiveCondition::Compare::NotEmpty:
		return !actual.trimmed().isEmpty();
	}
	return false;
}

} // namespace

bool LiveCondition::holds(const QString &fieldValue) const
{
	if (field.trimmed().isEmpty())
		return true;
	return compareHolds(compare, fieldValue, value) != invert;
}

LiveCondition::Compare LiveCondition::compareFromKey(const QString &key)
{
	for (const CompareKey &k : kKeys) {
		if (key == QLatin1String(k.key))
			return k.compare;
	}
	return Compare::Equals;
}

QString LiveCondition::keyOf(Compare compare)
{
	for (const CompareKey &k : kKeys) {
		if (k.compare == compare)
			return QString::fromLatin1(k.key);
	}
	return QStringLiteral("equals");
}

} // namespace quillmarch
