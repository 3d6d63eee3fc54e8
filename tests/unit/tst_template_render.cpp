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
	void valuesAreNotReexpanded();
};

void TestTemplateRender::render_data()
{
	QTest::addColumn<QString>("tmpl");
	QTest::addColumn<QString>("expected");

	QTest::newRow("score line") << "{home_score} - {away_score}"
				    << "3 - 1";
	QTest::newRow("sport is the live sport, not a field")
		<< "{sport}: {home_score}"
		<< "basketball: 3";
	QTest::newRow("no placeholders passes through") << "HOME 100 - AWAY 99"
							<< "HOME 100 - AWAY 99";
	QTest::newRow("empty template") << ""
					<< "";
	QTest::newRow("unknown field is empty") << "[{nope}]"
						<< "[]";
	QTest::newRow("name with a space is copied") << "{home score}"
						     << "{home score}";
	QTest::newRow("name with a hyphen is copied") << "{home-score}"
						      << "{home-score}";
	QTest::newRow("unmatched braces are copied") << "{ {home_score {clock}}"
						     << "{ {home_score 9:58}";
	QTest::newRow("empty braces") << "{}"
				      << "{}";
	QTest::newRow("adjacent placeholders")
		<< "{home_score}{away_score}{home_score}"
		<< "313";
	QTest::newRow("doubled braces have no escape meaning") << "{{clock}}"
							       << "{9:58}";
	QTest::newRow("non-ASCII around placeholders")
		<< QString::fromUtf8("Équipe {home_score} — {period}\u2026")
		<< QString::fromUtf8("Équipe 3 — 2nd\u2026");
	QTest::newRow("non-ASCII name is not a placeholder")
		<< QString::fromUtf8("{périod}")
		<< QString::fromUtf8("{périod}");
	QTest::newRow("multi-line") << "{home_score}\n{away_score}"
				    << "3\n1";
	QTest::newRow("case-sensitive names") << "{Home_Score}"
					      << "";
}

void TestTemplateRender::render()
{
	QFETCH(QString, tmpl);
	QFETCH(QString, expected);
	LiveData data;
	QVERIFY(data.ingest(
		QJsonDocument::fromJson(
			R"({"sport":"basketball","fields":{"home_score":3,
		"away_score":1,"clock":"9:58","period":"2nd"}})")
			.object()));
	QCOMPARE(renderTemplate(tmpl, &data), expected);
}

void TestTemplateRender::withoutLiveData()
{
	// Before the plug-in is ready every placeholder is empty.
	QCOMPARE(renderTemplate(QStringLiteral("{home_score} - {away_score}"),
				nullptr),
		 QStringLiteral(" - "));
	LiveData empty;
	QCOMPARE(renderTemplate(QStringLiteral("{home_score} - {away_score}"),
				&empty),
		 QStringLiteral(" - "));
}

void TestTemplateRender::valuesAreNotReexpanded()
{
	// A field whose text looks like a placeholder is shown as it is.
	LiveData data;
	QVERIFY(data.ingest(
		QJsonDocument::fromJson(R"({"fields":{"a":"{b}","b":"x"}})")
			.object()));
	QCOMPARE(renderTemplate(QStringLiteral("{a}{b}"), &data),
		 QStringLiteral("{b}x"));
}

QTEST_GUILESS_MAIN(TestTemplateRender)
#include "tst_template_render.moc"
