// The scoreboard catalogue's label rules and the graphics source's choices,
// both pure functions that pickers and the OBS source lean on.

#include "account/graphics_choice.h"
#include "catalogue/controller_catalog.h"

#include <QtTest>

using namespace quillmarch;

namespace {

GraphicsOutput output(const QString &id, const QString &name, int w = 1920,
		      int h = 1080)
{
	GraphicsOutput o;
	o.id = id;
	o.name = name;
	o.width = w;
	o.height = h;
	o.shareUrl = "http://127.0.0.1:8787/graphics/o/tok-" + id;
	return o;
}

// "text=value" per item, for readable comparisons.
QStringList flatten(const QList<GraphicsListItem> &items)
{
	QStringList out;
	for (const GraphicsListItem &i : items)
		out << i.text + '=' + i.value;
	return out;
}

} // namespace

class TestCatalogue : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void labels_data();
	void labels();
	void catalogueIsUsableByPickers();
	void graphicsList();
	void graphicsChoiceAndSize();
};

void TestCatalogue::labels_data()
{
	QTest::addColumn<QString>("kind");
	QTest::addColumn<QString>("key");
	QTest::addColumn<QString>("expected");
	const char *const rows[][4] = {
		{"maker known, any case", "maker", "DAKTRONICS", "Daktronics"},
		{"maker unknown", "maker", "acme", "Acme"},
		{"maker unknown keeps the rest", "maker", "mY_co", "MY_co"},
		{"maker empty", "maker", "", ""},
		{"sport plain", "sport", "basketball", "Basketball"},
		{"sport with underscore", "sport", "ice_hockey", "Ice hockey"},
		{"sport empty", "sport", "", ""},
		{"input case ignored", "input", "RS232", "RS-232"},
		{"input current loop", "input", "cl", "Current loop (CL)"},
		{"input bridge", "input", "Ethernet_Bridge", "Ethernet bridge"},
		{"input channel", "input", "channel_10", "Wireless channel 10"},
		{"input channel any case", "input", "CHANNEL_3",
		 "Wireless channel 3"},
		{"input unknown", "input", "fiber_optic", "Fiber optic"},
		{"input empty", "input", "", ""},
	};
	for (const auto &r : rows)
		QTest::newRow(r[0]) << r[1] << r[2] << r[3];
}

void TestCatalogue::labels()
{
	QFETCH(QString, kind);
	QFETCH(QString, key);
	QFETCH(QString, expected);
	const QString label = kind == "maker"   ? manufacturerLabel(key)
			      : kind == "sport" ? sportLabel(key)
						: inputTypeLabel(key);
	QCOMPARE(label, expected);
}

void TestCatalogue::catalogueIsUsableByPickers()
{
	const ControllerCatalog &c = controllerCatalog();
	QCOMPARE(&c, &controllerCatalog());
	QCOMPARE(c.keys(), QStringList({"allamerican", "daktronics",
					"electromech", "fairplay", "nevco",
					"oes", "quillmarch", "varsity"}));
	QCOMPARE(allSports().size(), 8);
	for (auto it = c.begin(); it != c.end(); ++it) {
		QVERIFY2(!it->models.isEmpty() && !it->inputs.isEmpty(),
			 qPrintable(it.key()));
		QCOMPARE(manufacturerLabel(it.key().toUpper()), it->label);
		// Keys go to the device as they are: lower case only.
		for (const QString &input : it->inputs)
			QVERIFY2(input == input.toLower(), qPrintable(input));
		for (const QString &sport : it->sports)
			QVERIFY2(allSports().contains(sport),
				 qPrintable(it.key() + ": " + sport));
	}
	QCOMPARE(c.value("electromech").sports, QStringList{"football"});
	const QStringList bridge = c.value("quillmarch").inputs;
	QCOMPARE(bridge.size(), 11);
	QCOMPARE(inputTypeLabel(bridge.at(9)), QString("Wireless channel 10"));
	QCOMPARE(bridge.last(), QString("ethernet_bridge"));
}

void TestCatalogue::graphicsList()
{
	const QList<GraphicsOutput> two = {output("a", "Scorebug"),
					   output("b", "Lower third")};
	const auto items = [](const QList<GraphicsOutput> &outputs,
			      const QString &id, const QString &name) {
		return flatten(graphicsListItems(outputs, id, name, "None"));
	};
	QCOMPARE(items(two, "b", "Old name"),
		 (QStringList{"Scorebug=a", "Lower third=b"}));
	// A stored choice the account no longer lists stays visible, on top.
	QCOMPARE(items(two, "c", "Halftime"),
		 (QStringList{"Halftime=c", "Scorebug=a", "Lower third=b"}));
	QCOMPARE(items({}, "c", QString()), QStringList{"c=c"});
	QCOMPARE(items({}, QString(), QString()), QStringList{"None="});
}

void TestCatalogue::graphicsChoiceAndSize()
{
	const QList<GraphicsOutput> outputs = {output("a", "Scorebug"),
					       output("b", "Lower", 1280, 200)};
	// A new choice brings its address and size along.
	const auto chosen = graphicsChoice(outputs, "b", outputs[0].shareUrl);
	QVERIFY(chosen);
	QCOMPARE(chosen->shareUrl, outputs[1].shareUrl);
	QCOMPARE(chosen->width, 1280);
	// The choice already in place, nothing chosen, or an id the account
	// no longer has: the settings stay as they are.
	QVERIFY(!graphicsChoice(outputs, "b", outputs[1].shareUrl));
	QVERIFY(!graphicsChoice(outputs, "", QString()));
	QVERIFY(!graphicsChoice(outputs, "gone", QString()));

	QCOMPARE(graphicsWidth(0), 1920);
	QCOMPARE(graphicsWidth(15), 1920);
	QCOMPARE(graphicsWidth(16), 16);
	QCOMPARE(graphicsWidth(100000), 8192);
	// Cut to 32 bits this would read as 16.
	QCOMPARE(graphicsWidth((1LL << 32) + 16), 1920);
	QCOMPARE(graphicsHeight(0), 1080);
}

QTEST_APPLESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
