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
	void format_data();
	void format();
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
		{"formats",
		 "{home_score|pad:2}-{away_score|pad:2} {clock|clock}",
		 "03-01 9:58"},
		{"sport formatted", "{sport|upper}", "BASKETBALL"},
		{"unknown field formatted", "{nope|default:--}", "--"},
		{"formatted value not expanded", "{echo|upper}", "{CLOCK}"},
		{"bar outside braces", "a|b {home_score}", "a|b 3"},
		{"unterminated chain", "{home_score|pad:2",
		 "{home_score|pad:2"},
		{"brace inside chain ends it", "{home_score|pad:2 {away_score}",
		 "{home_score|pad:2 1"},
		{"escaped braces", "{nope|default:\\{\\}}", "{}"},
		{"trailing backslash", "{nope|default:\\", "{nope|default:\\"},
		{"space before bar", "{home_score |upper}",
		 "{home_score |upper}"},
		{"bar without name", "{|upper}", "{|upper}"},
		{"empty chain", "{home_score|}", "3"},
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

void TestTemplateRender::format_data()
{
	QTest::addColumn<QString>("value");
	QTest::addColumn<QString>("chain");
	QTest::addColumn<QString>("expected");
	const char *const rows[][4] = {
		{"pad number", "7", "pad:2", "07"},
		{"pad keeps sign first", "-3", "pad:3", "-03"},
		{"pad decimal", "4.5", "pad:5", "004.5"},
		{"pad text with spaces", "ab", "pad:4", "  ab"},
		{"pad empty", "", "pad:2", "  "},
		{"pad counts characters", "\xF0\x9F\x98\x80", "pad:2",
		 " \xF0\x9F\x98\x80"},
		{"pad never cuts", "123", "pad:2", "123"},
		{"pad width clamped", "7", "pad:99", "0000000000000007"},
		{"pad without width", "7", "pad", "7"},
		{"pad bad width", "7", "pad:x", "7"},
		{"pad negative width", "7", "pad:-2", "7"},
		{"upper", "Hawks", "upper", "HAWKS"},
		{"upper may grow", "straße", "upper", "STRASSE"},
		{"lower", "Hawks", "lower", "hawks"},
		{"upper with argument", "Hawks", "upper:x", "Hawks"},
		{"default on empty", "", "default:--", "--"},
		{"default keeps value", "5", "default:--", "5"},
		{"default space is not empty", " ", "default:--", " "},
		{"default without text", "", "default", ""},
		{"default text with colons", "", "default:1:00", "1:00"},
		{"map", "away", "map:home=◀,away=▶", "▶"},
		{"map is exact", "Home", "map:home=◀,away=▶", "Home"},
		{"map empty value", "", "map:=none,home=H", "none"},
		{"map escaped comma", "a,b", "map:a\\,b=x", "x"},
		{"map escaped bar and brace", "a", "map:a=x\\|y\\}", "x|y}"},
		{"map equals in text", "a", "map:a=x=y", "x=y"},
		{"map first wins", "a", "map:a=1,a=2", "1"},
		{"map pair without equals", "a", "map:a=1,b", "a"},
		{"map without pairs", "a", "map", "a"},
		{"ordinal 1", "1", "ordinal", "1st"},
		{"ordinal 2", "2", "ordinal", "2nd"},
		{"ordinal 3", "3", "ordinal", "3rd"},
		{"ordinal 4", "4", "ordinal", "4th"},
		{"ordinal 11", "11", "ordinal", "11th"},
		{"ordinal 12", "12", "ordinal", "12th"},
		{"ordinal 13", "13", "ordinal", "13th"},
		{"ordinal 21", "21", "ordinal", "21st"},
		{"ordinal 102", "102", "ordinal", "102nd"},
		{"ordinal 111", "111", "ordinal", "111th"},
		{"ordinal 0", "0", "ordinal", "0th"},
		{"ordinal leading zeros", "007", "ordinal", "7th"},
		{"ordinal text", "2nd", "ordinal", "2nd"},
		{"ordinal negative", "-1", "ordinal", "-1"},
		{"regulation period", "4", "ordinal:4", "4th"},
		{"first overtime", "5", "ordinal:4", "OT"},
		{"second overtime", "6", "ordinal:4", "2OT"},
		{"regulation zero", "5", "ordinal:0", "5"},
		{"regulation text", "5", "ordinal:x", "5"},
		{"clock seconds", "754", "clock", "12:34"},
		{"clock one minute", "60", "clock", "1:00"},
		{"clock below a minute", "59", "clock", "59"},
		{"clock tenths", "4.9", "clock", "4.9"},
		{"clock drops hundredths", "59.95", "clock", "59.9"},
		{"clock drops tenths at a minute", "60.5", "clock", "1:00"},
		{"clock m:ss below a minute", "0:45", "clock", "45"},
		{"clock m:ss", "1:05", "clock", "1:05"},
		{"clock m:ss.t", "12:34.5", "clock", "12:34"},
		{"clock m:ss.t below a minute", "0:04.9", "clock", "4.9"},
		{"clock hours fold into minutes", "1:02:03", "clock", "62:03"},
		{"clock negative", "-3", "clock", "0"},
		{"clock negative tenths", "-0.4", "clock", "0.0"},
		{"clock text", "abc", "clock", "abc"},
		{"clock empty", "", "clock", ""},
		{"clock one-digit seconds", "1:5", "clock", "1:5"},
		{"clock 60 seconds", "1:60", "clock", "1:60"},
		{"clock four parts", "1:2:03:04", "clock", "1:2:03:04"},
		{"clock bare dot", "4.", "clock", "4."},
		{"clock fraction not last", "1.5:00", "clock", "1.5:00"},
		{"clock huge", "1234567890123", "clock", "1234567890123"},
		{"clock with argument", "754", "clock:x", "754"},
		{"chain pad then default", "7", "pad:2|default:--", "07"},
		{"chain default then pad", "", "default:0|pad:2", "00"},
		{"chain map then upper", "home", "map:home=hawks|upper",
		 "HAWKS"},
		{"chain clock then pad", "754", "clock|pad:6", " 12:34"},
		{"chain overtime", "3", "ordinal:2|lower", "ot"},
		{"unknown format", "x", "nope", "x"},
		{"names are case-sensitive", "x", "Upper", "x"},
		{"unknown skipped in chain", "Ab", "nope|upper", "AB"},
	};
	for (const auto &row : rows)
		QTest::newRow(row[0]) << QString::fromUtf8(row[1])
				      << QString::fromUtf8(row[2])
				      << QString::fromUtf8(row[3]);
}

void TestTemplateRender::format()
{
	QFETCH(QString, value);
	QFETCH(QString, chain);
	LiveData data;
	QVERIFY(data.ingest(
		QJsonObject{{"fields", QJsonObject{{"f", value}}}}));
	QTEST(renderTemplate("{f|" + chain + "}", &data), "expected");
}

void TestTemplateRender::withoutLiveData()
{
	// Before the plug-in is ready, or before any data, fields are empty.
	const LiveData empty;
	for (const LiveData *data :
	     std::initializer_list<const LiveData *>{nullptr, &empty})
		QCOMPARE(renderTemplate("{home_score} - {away_score} "
					"{shot_clock|default:--}",
					data),
			 QString(" -  --"));
}

QTEST_GUILESS_MAIN(TestTemplateRender)
#include "tst_template_render.moc"
