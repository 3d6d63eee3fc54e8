// Envelopes come from devices, the secure feed and the cloud: any bytes must
// be ingested or refused without a crash, and what is stored must read back.
#include "live/live_data.h"
#include "live/template_render.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static quillmarch::LiveData live;
	const QByteArray bytes(reinterpret_cast<const char *>(data),
			       static_cast<int>(size));
	const QJsonDocument doc = QJsonDocument::fromJson(bytes);
	if (doc.isObject() && live.ingest(doc.object())) {
		const QJsonObject fields =
			live.toJson().value(QLatin1String("fields")).toObject();
		for (const QString &name : live.fieldNames()) {
			if (fields.value(name).toString() != live.value(name))
				abort();
		}
	}
	// The same bytes as a template.
	quillmarch::renderTemplate(QString::fromUtf8(bytes), &live);
	if (live.fieldNames().size() > 5000)
		live.clear();
	return 0;
}
