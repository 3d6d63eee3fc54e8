// One score change as the plug-in handles it: ingest a 30-field envelope into
// the live data, then re-render ten text-source templates from it. This is
// the work on the main thread between a device's bytes arriving and OBS being
// handed new text.
#include "live/live_data.h"
#include "live/template_render.h"

#include <QJsonObject>
#include <QStringList>

#include <benchmark/benchmark.h>

using quillmarch::LiveData;

namespace {

QJsonObject envelope(int tick)
{
	QJsonObject fields;
	fields.insert(QStringLiteral("home_score"), tick % 120);
	fields.insert(QStringLiteral("away_score"), (tick / 3) % 120);
	fields.insert(QStringLiteral("clock"),
		      QStringLiteral("%1:%2")
			      .arg((600 - tick % 600) / 60)
			      .arg((600 - tick % 600) % 60, 2, 10, QChar('0')));
	fields.insert(QStringLiteral("period"), 1 + (tick / 600) % 4);
	fields.insert(QStringLiteral("shot_clock"), 24 - tick % 24);
	for (int i = 0; i < 25; ++i)
		fields.insert(QStringLiteral("stat_%1").arg(i, 2, 10,
							    QChar('0')),
			      (tick + i) % 7 == 0 ? tick + i : i);
	return QJsonObject{{QStringLiteral("type"), QStringLiteral("state")},
			   {QStringLiteral("sport"),
			    QStringLiteral("basketball")},
			   {QStringLiteral("seq"), tick},
			   {QStringLiteral("fields"), fields}};
}

const QStringList &templates()
{
	static const QStringList t = {
		QStringLiteral("{home_score} - {away_score}"),
		QStringLiteral("{clock}"),
		QStringLiteral("Q{period}"),
		QStringLiteral("{shot_clock}"),
		QStringLiteral("HOME {home_score}"),
		QStringLiteral("AWAY {away_score}"),
		QStringLiteral(
			"{sport}: {home_score}-{away_score} {clock} Q{period}"),
		QStringLiteral("Fouls {stat_01} / {stat_02}"),
		QStringLiteral("TOL {stat_03} {stat_04}"),
		QStringLiteral("{stat_10}{stat_11}{stat_12}{stat_13}{stat_14}"),
	};
	return t;
}

void BM_IngestAndRender(benchmark::State &state)
{
	LiveData data;
	// Envelopes are prepared outside the timed loop: parsing JSON text is
	// the link's work, measured with each link.
	std::vector<QJsonObject> envelopes;
	for (int i = 0; i < 1024; ++i)
		envelopes.push_back(envelope(i));
	size_t i = 0;
	qsizetype chars = 0;
	for (auto _ : state) {
		data.ingest(envelopes[i++ % envelopes.size()]);
		for (const QString &t : templates())
			chars += quillmarch::renderTemplate(t, &data).size();
	}
	benchmark::DoNotOptimize(chars);
	state.SetItemsProcessed(state.iterations());
	state.SetLabel("updates (1 ingest + 10 renders)");
}
BENCHMARK(BM_IngestAndRender);

void BM_RenderOnly(benchmark::State &state)
{
	LiveData data;
	data.ingest(envelope(42));
	qsizetype chars = 0;
	for (auto _ : state) {
		for (const QString &t : templates())
			chars += quillmarch::renderTemplate(t, &data).size();
	}
	benchmark::DoNotOptimize(chars);
	state.SetItemsProcessed(state.iterations() * 10);
	state.SetLabel("template renders");
}
BENCHMARK(BM_RenderOnly);

} // namespace

BENCHMARK_MAIN();
