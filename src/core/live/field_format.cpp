#include "live/field_format.h"

namespace quillmarch {

namespace {

constexpr qsizetype kMaxPad = 16;
// Longer digit runs are not read as numbers: far beyond any score, period
// or clock, and they keep the arithmetic below inside 64 bits.
constexpr qsizetype kMaxDigits = 12;

bool isNameChar(QChar c)
{
	const ushort u = c.unicode();
	return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
	       (u >= '0' && u <= '9') || u == '_';
}

bool isDigit(QChar c)
{
	return c.unicode() >= '0' && c.unicode() <= '9';
}

bool allDigits(const QString &s, qsizetype maxLength = kMaxDigits)
{
	if (s.isEmpty() || s.size() > maxLength)
		return false;
	for (const QChar c : s) {
		if (!isDigit(c))
			return false;
	}
	return true;
}

qint64 digitsValue(const QString &s)
{
	qint64 v = 0;
	for (const QChar c : s)
		v = v * 10 + (c.unicode() - '0');
	return v;
}

// Splits at every `sep` (at most once when `once`). In chain text escapes
// stay in place so that later splits still see them; values have none.
QVector<QString> splitRaw(const QString &raw, QChar sep, bool once = false,
			  bool escapes = true)
{
	QVector<QString> pieces;
	qsizetype start = 0;
	for (qsizetype i = 0; i < raw.size(); ++i) {
		if (escapes && raw.at(i) == QLatin1Char('\\')) {
			++i;
		} else if (raw.at(i) == sep) {
			pieces.append(raw.mid(start, i - start));
			start = i + 1;
			if (once)
				break;
		}
	}
	pieces.append(raw.mid(start));
	return pieces;
}

QString unescape(const QString &raw)
{
	QString out;
	out.reserve(raw.size());
	for (qsizetype i = 0; i < raw.size(); ++i) {
		if (raw.at(i) == QLatin1Char('\\') && i + 1 < raw.size())
			++i;
		out += raw.at(i);
	}
	return out;
}

QVector<QPair<QString, QString>> mapPairs(const QString &rawArgument)
{
	QVector<QPair<QString, QString>> pairs;
	for (const QString &item : splitRaw(rawArgument, QLatin1Char(','))) {
		const QVector<QString> kv =
			splitRaw(item, QLatin1Char('='), true);
		if (kv.size() != 2)
			return {};
		pairs.append({unescape(kv.at(0)), unescape(kv.at(1))});
	}
	return pairs;
}

qsizetype codePoints(const QString &s)
{
	qsizetype n = 0;
	for (qsizetype i = 0; i < s.size(); ++i) {
		if (!(s.at(i).isHighSurrogate() && i + 1 < s.size() &&
		      s.at(i + 1).isLowSurrogate()))
			++n;
	}
	return n;
}

bool isNumber(const QString &s)
{
	const qsizetype sign = s.startsWith(QLatin1Char('-')) ? 1 : 0;
	const QVector<QString> parts =
		splitRaw(s.mid(sign), QLatin1Char('.'), true, false);
	for (const QString &part : parts) {
		if (!allDigits(part, s.size()))
			return false;
	}
	return true;
}

QString pad(const QString &value, const FieldFormat &f)
{
	if (!f.hasArgument || !allDigits(f.argument))
		return value;
	const qsizetype width = qMin(digitsValue(f.argument), qint64(kMaxPad));
	const qsizetype missing = width - codePoints(value);
	if (missing <= 0)
		return value;
	if (!isNumber(value))
		return QString(missing, QLatin1Char(' ')) + value;
	QString out = value;
	out.insert(value.startsWith(QLatin1Char('-')) ? 1 : 0,
		   QString(missing, QLatin1Char('0')));
	return out;
}

QString ordinal(const QString &value, const FieldFormat &f)
{
	if (!allDigits(value))
		return value;
	const qint64 n = digitsValue(value);
	if (f.hasArgument) {
		if (!allDigits(f.argument))
			return value;
		const qint64 regulation = digitsValue(f.argument);
		if (regulation < 1)
			return value;
		if (n > regulation) {
			const qint64 overtime = n - regulation;
			return overtime == 1 ? QStringLiteral("OT")
					     : QString::number(overtime) +
						       QLatin1String("OT");
		}
	}
	const char *suffix = "th";
	if (n % 100 < 11 || n % 100 > 13) {
		switch (n % 10) {
		case 1:
			suffix = "st";
			break;
		case 2:
			suffix = "nd";
			break;
		case 3:
			suffix = "rd";
			break;
		default:
			break;
		}
	}
	return QString::number(n) + QLatin1String(suffix);
}

QString clock(const QString &value)
{
	const bool negative = value.startsWith(QLatin1Char('-'));
	const QVector<QString> parts = splitRaw(value.mid(negative ? 1 : 0),
						QLatin1Char(':'), false, false);
	if (parts.size() > 3)
		return value;
	// A fraction is allowed on the last part only.
	const QVector<QString> lastAndFraction =
		splitRaw(parts.last(), QLatin1Char('.'), true, false);
	const bool hasFraction = lastAndFraction.size() == 2;
	if (hasFraction && !allDigits(lastAndFraction.at(1), value.size()))
		return value;

	qint64 seconds = 0;
	for (qsizetype i = 0; i < parts.size(); ++i) {
		const QString &part = i + 1 == parts.size()
					      ? lastAndFraction.at(0)
					      : parts.at(i);
		if (i == 0) {
			if (!allDigits(part))
				return value;
		} else if (part.size() != 2 || !allDigits(part) ||
			   digitsValue(part) >= 60) {
			return value;
		}
		seconds = seconds * 60 + digitsValue(part);
	}
	const int tenths =
		hasFraction ? lastAndFraction.at(1).at(0).unicode() - '0' : 0;
	if (negative)
		seconds = 0;
	if (seconds >= 60)
		return QStringLiteral("%1:%2")
			.arg(seconds / 60)
			.arg(seconds % 60, 2, 10, QLatin1Char('0'));
	if (!hasFraction)
		return QString::number(seconds);
	return QStringLiteral("%1.%2").arg(seconds).arg(negative ? 0 : tenths);
}

} // namespace

QVector<FieldFormat> parseFormatChain(const QString &chain)
{
	QVector<FieldFormat> formats;
	for (const QString &spec : splitRaw(chain, QLatin1Char('|'))) {
		const QVector<QString> nameArg =
			splitRaw(spec, QLatin1Char(':'), true);
		FieldFormat f;
		f.name = unescape(nameArg.at(0));
		f.hasArgument = nameArg.size() == 2;
		if (f.hasArgument) {
			f.argument = unescape(nameArg.at(1));
			if (f.name == QLatin1String("map"))
				f.pairs = mapPairs(nameArg.at(1));
		}
		formats.append(f);
	}
	return formats;
}

QVector<TemplatePart> parseTemplate(const QString &tmpl)
{
	QVector<TemplatePart> parts;
	QString literal;
	const qsizetype n = tmpl.size();
	qsizetype i = 0;
	while (i < n) {
		if (tmpl.at(i) != QLatin1Char('{')) {
			qsizetype brace = tmpl.indexOf(QLatin1Char('{'), i);
			if (brace < 0)
				brace = n;
			literal.append(tmpl.constData() + i, brace - i);
			i = brace;
			continue;
		}
		qsizetype end = i + 1;
		while (end < n && isNameChar(tmpl.at(end)))
			++end;
		qsizetype close = -1;
		if (end > i + 1 && end < n) {
			if (tmpl.at(end) == QLatin1Char('}')) {
				close = end;
			} else if (tmpl.at(end) == QLatin1Char('|')) {
				for (qsizetype j = end + 1; j < n; ++j) {
					const QChar d = tmpl.at(j);
					if (d == QLatin1Char('\\'))
						++j;
					else if (d == QLatin1Char('{'))
						break;
					else if (d == QLatin1Char('}')) {
						close = j;
						break;
					}
				}
			}
		}
		if (close < 0) {
			// Not a placeholder: the brace is text, and what
			// follows it is read again.
			literal += QLatin1Char('{');
			++i;
			continue;
		}
		if (!literal.isEmpty()) {
			parts.append({false, literal, {}});
			literal.clear();
		}
		TemplatePart field{true, tmpl.mid(i + 1, end - i - 1), {}};
		if (close > end)
			field.formats = parseFormatChain(
				tmpl.mid(end + 1, close - end - 1));
		parts.append(field);
		i = close + 1;
	}
	if (!literal.isEmpty())
		parts.append({false, literal, {}});
	return parts;
}

QString applyFormat(const QString &value, const FieldFormat &f)
{
	const QString &name = f.name;
	if (name == QLatin1String("pad"))
		return pad(value, f);
	if (name == QLatin1String("ordinal"))
		return ordinal(value, f);
	if (name == QLatin1String("default"))
		return f.hasArgument && value.isEmpty() ? f.argument : value;
	if (name == QLatin1String("map")) {
		for (const auto &pair : f.pairs) {
			if (pair.first == value)
				return pair.second;
		}
		return value;
	}
	if (f.hasArgument)
		return value;
	if (name == QLatin1String("upper"))
		return value.toUpper();
	if (name == QLatin1String("lower"))
		return value.toLower();
	if (name == QLatin1String("clock"))
		return clock(value);
	return value;
}

QString applyFormats(QString value, const QVector<FieldFormat> &formats)
{
	for (const FieldFormat &f : formats)
		value = applyFormat(value, f);
	return value;
}

} // namespace quillmarch
