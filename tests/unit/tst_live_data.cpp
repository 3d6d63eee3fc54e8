#include "live/live_condition.h"
#include "live/live_data.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

using quillmarch::LiveCondition;
using quillmarch::LiveData;

namespace {
QJsonObject json(const QByteArray &text)
{
	return QJsonDocument::fromJson(text).object();
}
} // namespace

class TestLiveData : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void ingest_data();
	void ingest();
	void fieldText_data();
	void fieldText();
	void signalsOnlyOnRealChanges();
	void clearAndSnapshot();
	void readersFromAnotherThread();
	void delayHoldsChangesBack();
	void delayIsBounded();
	void condition_data();
	void condition();
};

// Which envelopes are taken, and where their fields are.
void TestLiveData::ingest_data()
{
	QTest::addColumn<QByteArray>("envelope");
	QTest::addColumn<bool>("accepted");
	QTest::addColumn<QStringList>("names");
	const auto row = [](const char *name, const char *envelope,
			    bool accepted, const QStringList &names) {
		QTest::newRow(name)
			<< QByteArray(envelope) << accepted << names;
	};
	row("no type", R"({"home_score":1})", true, {"home_score"});
	row("type not a string", R"({"type":5,"a":1})", true, {"a"});
	row("heartbeat", R"({"type":"heartbeat"})", true, {});
	row("auth_ok", R"({"type":"auth_ok"})", true, {});
	row("pending", R"({"type":"pending","a":1})", false, {});
	row("type case matters", R"({"type":"State","a":1})", false, {});
	row("empty object", "{}", false, {});
	row("flat envelope skips bookkeeping keys",
	    R"({"type":"state","sport":"hockey","seq":4,"ts_ms":1,"v":1,
	    "online":true,"device_ts_ms":2,"fw_version":"1.2",
	    "transport":"usb","home_score":2})",
	    true, {"home_score"});
	row("fields wins over data",
	    R"({"fields":{"a":1},"data":{"b":2},"c":3})", true, {"a"});
	row("data when fields is not an object",
	    R"({"fields":[1,2],"data":{"b":2},"c":3})", true, {"b"});
	// "fields" and "data" are not reserved names: when they are no
	// containers they are plain fields of a flat envelope.
	row("top level when neither is an object",
	    R"({"fields":"x","data":7,"c":3})", true, {"c", "data", "fields"});
	row("reserved names skipped inside fields too",
	    R"({"fields":{"seq":1,"type":"x","clock":"9:59"}})", true,
	    {"clock"});
	row("objects and arrays are not fields",
	    R"({"fields":{"o":{"a":1},"l":[1],"n":null}})", true, {"n"});
	row("names ordered by code unit",
	    R"({"fields":{"b":1,"B":1,"a":1,"_":1}})", true,
	    {"B", "_", "a", "b"});
}

void TestLiveData::ingest()
{
	QFETCH(QByteArray, envelope);
	QFETCH(bool, accepted);
	QFETCH(QStringList, names);
	LiveData data;
	QSignalSpy changed(&data, &LiveData::changed);
	QSignalSpy newFields(&data, &LiveData::fieldsChanged);
	QCOMPARE(data.ingest(json(envelope)), accepted);
	QCOMPARE(data.updatedAt().isValid(), accepted);
	QCOMPARE(data.fieldNames(), names);
	QCOMPARE(changed.count(), names.isEmpty() ? 0 : 1);
	QCOMPARE(newFields.count(), names.isEmpty() ? 0 : 1);
	if (!names.isEmpty())
		QCOMPARE(newFields.at(0).at(0).toStringList(), names);
}

void TestLiveData::fieldText_data()
{
	QTest::addColumn<QByteArray>("value");
	QTest::addColumn<QString>("text");
	const char *const rows[][3] = {
		{"string", R"("12:00")", "12:00"},
		{"true", "true", "true"},
		{"null", "null", ""},
		{"whole double", "3.0", "3"},
		{"large whole, no exponent", "1e15", "1000000000000000"},
		{"beyond 64 bits, all digits", "1e20", "100000000000000000000"},
		{"six significant digits", "3.14159265", "3.14159"},
		{"tiny fraction", "0.0000125", "1.25e-05"},
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
		// Qt 5 reads every JSON number as a double; Qt 6 keeps
		// integers.
		{"past 2^53", "9007199254740993", "9007199254740993"},
		{"most negative 64-bit", "-9223372036854775808",
		 "-9223372036854775808"},
#endif
	};
	for (const auto &row : rows)
		QTest::newRow(row[0]) << QByteArray(row[1]) << QString(row[2]);
}

void TestLiveData::fieldText()
{
	QFETCH(QByteArray, value);
	LiveData data;
	QVERIFY(data.ingest(json(R"({"fields":{"f":)" + value + "}}")));
	QTEST(data.value("f"), "text");
}

void TestLiveData::signalsOnlyOnRealChanges()
{
	LiveData data;
	QSignalSpy changed(&data, &LiveData::changed);
	QSignalSpy newFields(&data, &LiveData::fieldsChanged);

	QVERIFY(data.ingest(json(R"({"home_score":3,"b":2})")));
	// The number 3 and the string "3" are the same text: no change.
	QVERIFY(data.ingest(json(R"({"home_score":"3"})")));
	QCOMPARE(changed.count(), 1);

	// A changed value and a new field, which alone is announced; fields
	// missing from an envelope stay.
	QVERIFY(data.ingest(json(R"({"home_score":4,"away_score":0})")));
	QCOMPARE(changed.count(), 2);
	QCOMPARE(newFields.count(), 2);
	QCOMPARE(newFields.last().at(0).toStringList(),
		 QStringList{"away_score"});
	QCOMPARE(data.value("b"), QString("2"));
	QCOMPARE(data.value("unknown"), QString());

	// A heartbeat refreshes the time only.
	const QDateTime first = data.updatedAt();
	QTest::qWait(5);
	QVERIFY(data.ingest(json(R"({"type":"heartbeat"})")));
	QVERIFY(data.updatedAt() > first);
	QCOMPARE(changed.count(), 2);

	// A new sport without fields is a change; an empty or absent sport
	// leaves the stored one alone.
	QVERIFY(data.ingest(json(R"({"type":"state","sport":"volleyball"})")));
	QCOMPARE(changed.count(), 3);
	QVERIFY(data.ingest(json(R"({"sport":"","a":1})")));
	QCOMPARE(data.sport(), QString("volleyball"));
	QCOMPARE(newFields.count(), 3);
}

void TestLiveData::clearAndSnapshot()
{
	LiveData data;
	QSignalSpy changed(&data, &LiveData::changed);
	QSignalSpy newFields(&data, &LiveData::fieldsChanged);
	QSignalSpy source(&data, &LiveData::sourceChanged);
	data.clear(); // nothing to clear: no signals
	data.setSourceLabel("USB");
	data.setSourceLabel("USB");
	QCOMPARE(changed.count() + newFields.count(), 0);
	QCOMPARE(source.count(), 1);

	QVERIFY(data.ingest(json(
		R"({"sport":"hockey","fields":{"home_score":2,"period":"OT"}})")));
	QJsonObject j = data.toJson();
	const QString at = j.take("updated_at").toString();
	QVERIFY2(QRegularExpression(
			 "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$")
			 .match(at)
			 .hasMatch(),
		 qPrintable(at));
	QCOMPARE(j, json(R"({"fields":{"home_score":"2","period":"OT"},
		"sport":"hockey","source":"USB"})"));

	changed.clear();
	newFields.clear();
	data.clear();
	QCOMPARE(changed.count(), 1);
	QCOMPARE(newFields.count(), 1);
	QVERIFY(newFields.at(0).at(0).toStringList().isEmpty());
	QCOMPARE(data.toJson(), json(R"({"fields":{},"sport":"",
		"source":"USB","updated_at":""})"));

	// clear() of no fields and no sport keeps a heartbeat's time.
	QVERIFY(data.ingest(json(R"({"type":"heartbeat"})")));
	const QDateTime t = data.updatedAt();
	data.clear();
	QCOMPARE(data.updatedAt(), t);
}

// Render threads read while the main thread ingests; both run at once so
// the sanitizer build catches an unguarded member.
void TestLiveData::readersFromAnotherThread()
{
	LiveData data;
	std::atomic<bool> stop{false};
	std::atomic<int> reads{0};
	QThread *reader = QThread::create([&] {
		while (!stop.load()) {
			data.value("n");
			data.toJson();
			data.fieldNames();
			data.sport();
			++reads;
		}
	});
	reader->start();
	// Only overlap counts: start writing once the reader is running.
	QTRY_VERIFY(reads.load() > 0);
	for (int i = 0; i < 2000; ++i) {
		QVERIFY(data.ingest({{"n", i}, {"sport", i % 2 ? "a" : "b"}}));
		data.setSourceLabel(QString::number(i));
	}
	stop = true;
	reader->wait();
	delete reader;
	QCOMPARE(data.value("n"), QString("1999"));
}

// A stream delay: the envelope is taken (the caller's status is immediate)
// but readers see it only after the delay, in order; a source switch drops
// what waits; setting 0 lets everything through at once.
void TestLiveData::delayHoldsChangesBack()
{
	LiveData data;
	data.setDelayMs(150);
	QSignalSpy changed(&data, &LiveData::changed);
	QElapsedTimer sent;
	sent.start();
	QVERIFY(data.ingest({{"home_score", 1}}));
	QVERIFY(data.ingest({{"home_score", 2}, {"clock", "9:59"}}));
	QVERIFY(!data.ingest({{"type", "event"}, {"home_score", 7}}));
	QCOMPARE(data.value("home_score"), QString());
	QCOMPARE(data.pendingCount(), 2);
	QTRY_COMPARE(data.value("home_score"), QString("2"));
	QVERIFY2(sent.elapsed() >= 150,
		 qPrintable(QString::number(sent.elapsed())));
	QCOMPARE(changed.count(), 2); // each change in turn, not merged
	QCOMPARE(data.value("clock"), QString("9:59"));

	QVERIFY(data.ingest({{"home_score", 3}}));
	data.clear();
	QTest::qWait(250);
	QCOMPARE(data.value("home_score"), QString());
	QCOMPARE(data.pendingCount(), 0);

	QVERIFY(data.ingest({{"home_score", 4}}));
	data.setDelayMs(0);
	QCOMPARE(data.value("home_score"), QString("4"));
	QVERIFY(data.ingest({{"home_score", 5}}));
	QCOMPARE(data.value("home_score"), QString("5"));
}

// Far more changes than 20 a second for the longest delay: what waits stays
// at the cap and the newest values still arrive.
void TestLiveData::delayIsBounded()
{
	LiveData data;
	data.setDelayMs(LiveData::kMaxDelayMs + 5000);
	QCOMPARE(data.delayMs(), LiveData::kMaxDelayMs);
	for (int i = 0; i < 3 * LiveData::kMaxPending; ++i)
		QVERIFY(data.ingest({{"n", i}, {i % 2 ? "odd" : "even", i}}));
	QCOMPARE(data.pendingCount(), LiveData::kMaxPending);
	data.setDelayMs(0);
	QCOMPARE(data.pendingCount(), 0);
	const int last = 3 * LiveData::kMaxPending - 1;
	QCOMPARE(data.value("n"), QString::number(last));
	QCOMPARE(data.value("odd"), QString::number(last));
	QCOMPARE(data.value("even"), QString::number(last - 1));
}

void TestLiveData::condition_data()
{
	QTest::addColumn<QString>("field");
	QTest::addColumn<QString>("compare");
	QTest::addColumn<QString>("value");
	QTest::addColumn<QString>("actual");
	QTest::addColumn<bool>("holds");
	QTest::addColumn<bool>("inverted");

	QTest::newRow("text ignores case and spaces")
		<< "possession"
		<< "equals"
		<< "Home"
		<< " home" << true << false;
	QTest::newRow("other text") << "possession"
				    << "equals"
				    << "home"
				    << "away" << false << true;
	QTest::newRow("numbers as numbers") << "period"
					    << "equals"
					    << "5.0"
					    << "5" << true << false;
	QTest::newRow("differs") << "period"
				 << "differs"
				 << "4"
				 << "5" << true << false;
	QTest::newRow("greater, numbers not text") << "home_fouls"
						   << "greater"
						   << "4"
						   << "10" << true << false;
	QTest::newRow("greater needs numbers") << "home_fouls"
					       << "greater"
					       << "4"
					       << "many" << false << true;
	QTest::newRow("less") << "shot_clock"
			      << "less"
			      << "5"
			      << "4.9" << true << false;
	QTest::newRow("empty: field missing") << "bonus"
					      << "empty"
					      << ""
					      << "" << true << false;
	QTest::newRow("not empty") << "bonus"
				   << "not_empty"
				   << ""
				   << "H" << true << false;
	QTest::newRow("unknown comparison reads as equals")
		<< "possession"
		<< "like"
		<< "home"
		<< "home" << true << false;
	QTest::newRow("no field: always shown") << " "
						<< "equals"
						<< "home"
						<< "away" << true << true;
}

// holds is the answer without invert; inverted the answer with it.
void TestLiveData::condition()
{
	QFETCH(QString, field);
	QFETCH(QString, compare);
	QFETCH(QString, value);
	QFETCH(QString, actual);
	QFETCH(bool, holds);
	QFETCH(bool, inverted);

	LiveCondition c;
	c.field = field;
	c.compare = LiveCondition::compareFromKey(compare);
	c.value = value;
	QCOMPARE(c.holds(actual), holds);
	c.invert = true;
	QCOMPARE(c.holds(actual), inverted);
	if (compare != QLatin1String("like"))
		QCOMPARE(LiveCondition::keyOf(c.compare), compare);
}

QTEST_GUILESS_MAIN(TestLiveData)
#include "tst_live_data.moc"
