#include "live/live_data.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

using quillmarch::LiveData;

namespace {
QJsonObject json(const char *text)
{
	return QJsonDocument::fromJson(QByteArray(text)).object();
}
} // namespace

class TestLiveData : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void acceptsByType_data();
	void acceptsByType();
	void fieldContainerRule_data();
	void fieldContainerRule();
	void fieldTextConversion_data();
	void fieldTextConversion();
	void signalsOnlyOnRealChanges();
	void clearAndSnapshot();
	void readersFromAnotherThread();
};

void TestLiveData::acceptsByType_data()
{
	QTest::addColumn<QByteArray>("envelope");
	QTest::addColumn<bool>("accepted");
	QTest::newRow("no type") << QByteArray(R"({"home_score":1})") << true;
	QTest::newRow("type not a string")
		<< QByteArray(R"({"type":5,"a":1})") << true;
	QTest::newRow("heartbeat")
		<< QByteArray(R"({"type":"heartbeat"})") << true;
	QTest::newRow("auth_ok") << QByteArray(R"({"type":"auth_ok"})") << true;
	QTest::newRow("pending")
		<< QByteArray(R"({"type":"pending","a":1})") << false;
	QTest::newRow("case matters")
		<< QByteArray(R"({"type":"State","a":1})") << false;
	QTest::newRow("empty object") << QByteArray("{}") << false;
}

void TestLiveData::acceptsByType()
{
	QFETCH(QByteArray, envelope);
	QFETCH(bool, accepted);
	LiveData data;
	QSignalSpy changed(&data, &LiveData::changed);
	QCOMPARE(data.ingest(QJsonDocument::fromJson(envelope).object()),
		 accepted);
	if (!accepted) {
		QCOMPARE(changed.count(), 0);
		QVERIFY(data.fieldNames().isEmpty());
		QVERIFY(!data.updatedAt().isValid());
	} else {
		QVERIFY(data.updatedAt().isValid());
	}
}

void TestLiveData::fieldContainerRule_data()
{
	QTest::addColumn<QByteArray>("envelope");
	QTest::addColumn<QStringList>("names");
	QTest::newRow("flat envelope skips bookkeeping keys")
		<< QByteArray(
			   R"({"type":"state","sport":"hockey","seq":4,"ts_ms":1,
			"v":1,"online":true,"device_ts_ms":2,"fw_version":"1.2",
			"transport":"usb","home_score":2})")
		<< QStringList{"home_score"};
	QTest::newRow("fields wins over data")
		<< QByteArray(R"({"fields":{"a":1},"data":{"b":2},"c":3})")
		<< QStringList{"a"};
	QTest::newRow("data when fields is not an object")
		<< QByteArray(R"({"fields":[1,2],"data":{"b":2},"c":3})")
		<< QStringList{"b"};
	// "fields" and "data" are not reserved names: when they are no
	// containers they are plain fields of a flat envelope.
	QTest::newRow("top level when neither is an object")
		<< QByteArray(R"({"fields":"x","data":7,"c":3})")
		<< QStringList{"c", "data", "fields"};
	QTest::newRow("reserved names skipped inside fields too")
		<< QByteArray(
			   R"({"fields":{"seq":1,"type":"x","clock":"9:59"}})")
		<< QStringList{"clock"};
	QTest::newRow("objects and arrays are not fields")
		<< QByteArray(R"({"fields":{"o":{"a":1},"l":[1],"n":null}})")
		<< QStringList{"n"};
	QTest::newRow("names ordered by code unit")
		<< QByteArray(R"({"fields":{"b":1,"B":1,"a":1,"_":1}})")
		<< QStringList{"B", "_", "a", "b"};
}

void TestLiveData::fieldContainerRule()
{
	QFETCH(QByteArray, envelope);
	QFETCH(QStringList, names);
	LiveData data;
	QSignalSpy newFields(&data, &LiveData::fieldsChanged);
	QVERIFY(data.ingest(QJsonDocument::fromJson(envelope).object()));
	QCOMPARE(data.fieldNames(), names);
	QCOMPARE(newFields.count(), 1);
	QCOMPARE(newFields.at(0).at(0).toStringList(), names);
}

void TestLiveData::fieldTextConversion_data()
{
	QTest::addColumn<QByteArray>("value");
	QTest::addColumn<QString>("text");
	QTest::newRow("string") << QByteArray(R"("12:00")") << "12:00";
	QTest::newRow("true") << QByteArray("true") << "true";
	QTest::newRow("null") << QByteArray("null") << "";
	QTest::newRow("whole double") << QByteArray("3.0") << "3";
	QTest::newRow("large whole, no exponent")
		<< QByteArray("1e15") << "1000000000000000";
	QTest::newRow("beyond 64 bits, still all digits")
		<< QByteArray("1e20") << "100000000000000000000";
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
	// Qt 5 reads every JSON number as a double; Qt 6 keeps integers.
	QTest::newRow("integer past 2^53 keeps its digits")
		<< QByteArray("9007199254740993") << "9007199254740993";
	QTest::newRow("most negative 64-bit integer")
		<< QByteArray("-9223372036854775808") << "-9223372036854775808";
#endif
	QTest::newRow("six significant digits")
		<< QByteArray("3.14159265") << "3.14159";
	QTest::newRow("tiny fraction") << QByteArray("0.0000125") << "1.25e-05";
}

void TestLiveData::fieldTextConversion()
{
	QFETCH(QByteArray, value);
	QFETCH(QString, text);
	LiveData data;
	QVERIFY(data.ingest(
		json(QByteArray(R"({"fields":{"f":)") + value + "}}")));
	QCOMPARE(data.value(QStringLiteral("f")), text);
}

void TestLiveData::signalsOnlyOnRealChanges()
{
	LiveData data;
	QSignalSpy changed(&data, &LiveData::changed);
	QSignalSpy newFields(&data, &LiveData::fieldsChanged);

	QVERIFY(data.ingest(json(R"({"home_score":3,"b":2})")));
	QCOMPARE(changed.count(), 1);
	QCOMPARE(newFields.count(), 1);

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
	QCOMPARE(data.value(QStringLiteral("b")), QStringLiteral("2"));
	QCOMPARE(data.value(QStringLiteral("unknown")), QString());

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
	QCOMPARE(data.sport(), QStringLiteral("volleyball"));
	QCOMPARE(newFields.count(), 3);
}

void TestLiveData::clearAndSnapshot()
{
	LiveData data;
	QSignalSpy changed(&data, &LiveData::changed);
	QSignalSpy newFields(&data, &LiveData::fieldsChanged);
	QSignalSpy source(&data, &LiveData::sourceChanged);
	data.clear(); // nothing to clear: no signals
	data.setSourceLabel(QStringLiteral("USB"));
	data.setSourceLabel(QStringLiteral("USB"));
	QCOMPARE(changed.count() + newFields.count(), 0);
	QCOMPARE(source.count(), 1);

	QVERIFY(data.ingest(json(
		R"({"sport":"hockey","fields":{"home_score":2,"period":"OT"}})")));
	QJsonObject j = data.toJson();
	QCOMPARE(j.keys(),
		 (QStringList{"fields", "source", "sport", "updated_at"}));
	QCOMPARE(j.value("fields").toObject(),
		 json(R"({"home_score":"2","period":"OT"})"));
	QCOMPARE(j.value("sport").toString(), QStringLiteral("hockey"));
	QCOMPARE(j.value("source").toString(), QStringLiteral("USB"));
	const QString at = j.value("updated_at").toString();
	QVERIFY2(QRegularExpression(
			 "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$")
			 .match(at)
			 .hasMatch(),
		 qPrintable(at));

	changed.clear();
	newFields.clear();
	data.clear();
	QCOMPARE(changed.count(), 1);
	QCOMPARE(newFields.count(), 1);
	QVERIFY(newFields.at(0).at(0).toStringList().isEmpty());
	j = data.toJson();
	QVERIFY(j.value("fields").toObject().isEmpty());
	QVERIFY(j.value("sport").toString().isEmpty());
	QCOMPARE(j.value("updated_at").toString(), QString());
	QCOMPARE(j.value("source").toString(), QStringLiteral("USB"));

	// clear() of no fields and no sport keeps a heartbeat's time.
	QVERIFY(data.ingest(json(R"({"type":"heartbeat"})")));
	const QDateTime t = data.updatedAt();
	data.clear();
	QCOMPARE(data.updatedAt(), t);
}

void TestLiveData::readersFromAnotherThread()
{
	// Render threads read while the main thread ingests; run both at once
	// so the sanitizer build catches an unguarded member.
	LiveData data;
	std::atomic<bool> stop{false};
	std::atomic<int> reads{0};
	QThread *reader = QThread::create([&] {
		while (!stop.load()) {
			const QString v = data.value(QStringLiteral("n"));
			const QJsonObject j = data.toJson();
			data.fieldNames();
			data.sport();
			Q_UNUSED(v);
			Q_UNUSED(j);
			++reads;
		}
	});
	reader->start();
	// Only overlap counts: start writing once the reader is running.
	QTRY_VERIFY(reads.load() > 0);
	for (int i = 0; i < 2000; ++i) {
		QJsonObject env{{QStringLiteral("n"), i},
				{QStringLiteral("sport"),
				 i % 2 ? QStringLiteral("a")
				       : QStringLiteral("b")}};
		QVERIFY(data.ingest(env));
		data.setSourceLabel(QString::number(i));
	}
	stop = true;
	reader->wait();
	delete reader;
	QCOMPARE(data.value(QStringLiteral("n")), QStringLiteral("1999"));
}

QTEST_GUILESS_MAIN(TestLiveData)
#include "tst_live_data.moc"
