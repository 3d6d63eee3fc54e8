#include "live/template_render.h"

#include "live/field_format.h"
#include "live/live_data.h"

namespace quillmarch {

QString renderTemplate(const QString &tmpl, const LiveData *data)
{
	QString out;
	out.reserve(tmpl.size());
	for (const TemplatePart &part : parseTemplate(tmpl)) {
		if (!part.isField) {
			out += part.text;
			continue;
		}
		QString value;
		if (data)
			value = part.text == QLatin1String("sport")
					? data->sport()
					: data->value(part.text);
		out += applyFormats(value, part.formats);
	}
	return out;
}

} // namespace quillmarch
