// Users type templates with formats, and field values come from devices: any
// template with any values must render without a crash. Input: the first
// line is the template, every further line "name=value" sets a field.
// Checked for every input:
//   - a template without a bar renders as the plain placeholder rule always
//     did (the regular expression below), and one without a brace is
//     copied as typed;
//   - the output stays within a bound set by the template and the values;
//   - clock is stable: formatting its own output again changes nothing.
#include "live/field_format.h"
#include "live/live_data.h"
#include "live/template_render.h"

#include <QJsonObject>
#include <QRegularExpression>

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

namespace {

QString plainRender(const QString &tmpl, const LiveData &live)
{
	static const QRegularExpression placeholder(
		QStringLiteral("\\{([A-Za-z0-9_]+)\\}"));
	QString out;
	qsizetype copied = 0;
	auto matches = placeholder.globalMatch(tmpl);
	while (matches.hasNext()) {
		const QRegularExpressionMatch m = matches.next();
		out.append(tmpl.constData() + copied,
			   m.capturedStart() - copied);
		const QString name = m.captured(1);
		out += name == QLatin1String("sport") ? live.sport()
						      : live.value(name);
		copied = m.capturedEnd();
	}
	out.append(tmpl.constData() + copied, tmpl.size() - copied);
	return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const QString text = QString::fromUtf8(
		reinterpret_cast<const char *>(data), static_cast<int>(size));
	const qsizetype newline = text.indexOf(QLatin1Char('\n'));
	const QString tmpl = newline < 0 ? text : text.left(newline);

	QJsonObject fields;
	qsizetype longestValue = 0;
	if (newline >= 0) {
		for (const QString &line :
		     text.mid(newline + 1).split(QLatin1Char('\n'))) {
			const qsizetype eq = line.indexOf(QLatin1Char('='));
			if (eq <= 0)
				continue;
			fields.insert(line.left(eq), line.mid(eq + 1));
		}
	}
	LiveData live;
	live.ingest(
		QJsonObject{{QStringLiteral("sport"), QStringLiteral("hockey")},
			    {QStringLiteral("fields"), fields}});
	for (const QString &name : live.fieldNames())
		longestValue = qMax(longestValue, live.value(name).size());
	longestValue = qMax(longestValue, live.sport().size());

	const QString out = renderTemplate(tmpl, &live);
	renderTemplate(tmpl, nullptr);

	if (!tmpl.contains(QLatin1Char('|')) && out != plainRender(tmpl, live))
		abort();
	if (!tmpl.contains(QLatin1Char('{')) && out != tmpl)
		abort();
	// Every placeholder costs at least two characters of the template and
	// yields a value, a padded value or text from its own arguments; case
	// changes may at most triple a text.
	const qsizetype placeholders = tmpl.count(QLatin1Char('{'));
	if (out.size() > 3 * (tmpl.size() + placeholders * (longestValue + 16)))
		abort();

	const QVector<FieldFormat> clock =
		parseFormatChain(QStringLiteral("clock"));
	for (const QString &name : live.fieldNames()) {
		const QString once = applyFormats(live.value(name), clock);
		if (applyFormats(once, clock) != once)
			abort();
	}
	return 0;
}
