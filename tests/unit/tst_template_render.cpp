#include "live/live_data.h"
#include "live/template_render.h"

#include <QJsonDocument>
#include <QtTest>

using quillmarch::LiveData;
using quillmarch::renderTemplate;

class TestTemplateRender : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void render_data();
	void render();
	void withoutLiveData();
};

void TestTemplateRender::render_data()
{
	QTest::addColumn<QString>("tmpl");
	QTest::addColumn<QString>("expected");
	const char *const rows[][3] = {
		{"score line", "{home_score} - {away_score}", "3 - 1"},
		{"sport is the live sport", "{sport}: {home_score}",
		 "basketball: 3"},
		{"no placeholders", "HOME 100 - AWAY 99", "HOME 100 - AWAY 99"},
		{"empty template", "", ""},
		{"unknown field is empty", "[{nope}]", "[]"},
		{"space in a name", "{home score}", "{home score}"},
		{"hyphen in a name", "{home-score}", "{home-score}"},
		{"unmatched braces", "{ {home_score {clock}}",
		 "{ {home_score 9:58}"},
		{"empty braces", "{}", "{}"},
		{"adjacent", "{home_score}{away_score}{home_score}", "313"},
		{"doubled braces do not escape", "{{clock}}", "{9:58}"},
		{"non-ASCII around", "Équipe {home_score} — {period}…",
		 "Équipe 3 — 2nd…"},
		{"non-ASCII name", "{périod}", "{périod}"},
		{"multi-line", "{home_score}\n{away_score}", "3\n1"},
		{"names are case-sensitive", "{Home_Score}", ""},
		// A value that looks like a placeholder is shown as it is.
		{"values are not expanded again", "{echo}{clock}",
		 "{clock}9:58"},
	};
	for (const auto &row : rows)
		QTest::newRow(row[0]) << QString::fromUtf8(row[1])
				      << QString::fromUtf8(row[2]);
}

void TestTemplateRender::render()
{
	QFETCH(QString, tmpl);
	LiveData data;
	QVERIFY(data.ingest(QJsonDocument::fromJson(R"({"sport":"basketball",
		"fields":{"home_score":3,"away_score":1,"clock":"9:58",
		"period":"2nd","echo":"{clock}"}})")
				    .object()));
	QTEST(renderTemplate(tmpl, &data), "expected");
}

void TestTemplateRender::withoutLiveData()
{
	// Before the plug-in is ready, or before any data, fields are empty.
	const LiveData empty;
	for (const LiveData *data :
	     std::initializer_list<const LiveData *>{nullptr, &empty})
		QCOMPARE(renderTemplate("{home_score} - {away_score}", data),
			 QString(" - "));
}

QTEST_GUILESS_MAIN(TestTemplateRender)
#include "tst_template_render.moc"
