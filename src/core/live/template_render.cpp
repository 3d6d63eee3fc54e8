#include "live/template_render.h"

#include "live/live_data.h"

#include <QRegularExpression>

namespace quillmarch {

QString renderTemplate(const QString &tmpl, const LiveData *data)
{
	static const QRegularExpression placeholder(
		QStringLiteral("\\{([A-Za-z0-9_]+)\\}"));

	QString out;
	out.reserve(tmpl.size());
	qsizetype copied = 0;
	auto matches = placeholder.globalMatch(tmpl);
	while (matches.hasNext()) {
		const QRegularExpressionMatch m = matches.next();
		out.append(tmpl.constData() + copied,
			   m.capturedStart() - copied);
		if (data) {
			const QString name = m.captured(1);
			out += name == QLatin1String("sport")
				       ? data->sport()
				       : data->value(name);
		}
		copied = m.capturedEnd();
	}
	out.append(tmpl.constData() + copied, tmpl.size() - copied);
	return out;
}

} // namespace quillmarch
