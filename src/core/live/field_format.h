#pragma once

#include <QPair>
#include <QString>
#include <QVector>

namespace quillmarch {

// Placeholders may carry a chain of formats after a bar, applied left to
// right: {period|ordinal:4}, {clock|clock}, {possession|map:home=<,away=>}.
//
// Syntax inside the braces: a field name (ASCII letters, digits,
// underscores), then "|name" or "|name:argument" for every format. The
// placeholder ends at the first "}". Inside the chain a backslash takes the
// next character literally, so "\}", "\{", "\|" and "\\" write those
// characters, and in a map "\," and "\=" write a comma or an equals sign.
// An unescaped "{" inside the chain, or no closing brace at all, means the
// opening brace was not a placeholder: it is copied as typed and the text
// after it is read again as usual.
//
// Formats (names are lower case, no spaces):
//   pad:N      left-pad to N characters (N up to 16; more counts as 16).
//              Numbers ("7", "-3", "4.5") get zeros after any sign, other
//              text gets spaces. Longer values are never cut.
//   upper      upper case
//   lower      lower case
//   default:T  T when the value is empty
//   map:a=x,b=y  exact, case-sensitive match of the whole value; a value
//              not in the map is unchanged; "=x" maps the empty value
//   ordinal    1st, 2nd, 3rd, 4th, 11th, 21st ... for whole numbers
//   ordinal:N  as ordinal up to N regulation periods; then OT, 2OT, 3OT ...
//   clock      seconds ("754", "4.9") or "m:ss", "m:ss.t", "h:mm:ss" in;
//              "m:ss" at a minute and above (tenths dropped, minutes not
//              folded into hours), below it "s.t" when the input carried
//              a fraction and "s" when it did not. Extra digits are
//              dropped, not rounded; negative times show as zero.
// An unknown format, a missing or unreadable argument, an argument given to
// a format that takes none, or a value the format cannot read leaves the
// value unchanged.
struct FieldFormat {
	QString name;
	QString argument; // escapes resolved
	bool hasArgument = false;
	// map only: the pairs in the order written, read once with the
	// template; empty when the argument could not be read.
	QVector<QPair<QString, QString>> pairs;
};

// A template cut into text copied as typed and placeholders.
struct TemplatePart {
	bool isField = false;
	QString text; // the literal text, or the field name
	QVector<FieldFormat> formats;
};

QVector<TemplatePart> parseTemplate(const QString &tmpl);

// Reads a chain as written after the first bar: "ordinal:4|upper".
QVector<FieldFormat> parseFormatChain(const QString &chain);

QString applyFormat(const QString &value, const FieldFormat &format);
QString applyFormats(QString value, const QVector<FieldFormat> &formats);

} // namespace quillmarch
