#include "admin/rpc_client.h"

#include "support/fake_transport.h"

#include <QJsonArray>
#include <QtTest>

#include <climits>

using namespace quillmarch;
using quillmarch::test::FakeTransport;

namespace {

// Every callback, in the order they ran, under the tag given to record().
struct Outcomes {
	QStringList order;
	QList<RpcResult> results;

	RpcClient::Callback record(const QString &tag)
	{
		return [this, tag](const RpcResult &r) {
			order.append(tag);
			results.append(r);
		};
	}
	const RpcResult &of(const QString &tag) const
	{
		return results.at(order.indexOf(tag));
	}
};

const QString kLost = QStringLiteral("The connection to the device was lost");

// Long enough never to fire during a test.
constexpr int kNever = 600000;

} // namespace

class TestRpcClient : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void nextRequestWaitsForTheFirstToEnd_data();
	void nextRequestWaitsForTheFirstToEnd();
	void replyBecomesResult_data();
	void replyBecomesResult();
	void busyIsRetried_data();
	void busyIsRetried();
	void busyWait();
	void lateReplyIsDropped();
	void closedTransportFailsCalls();
	void abortAllEndsEverythingInOrder();
	void callbacksMayCallAgainOrAbortAll();
	void transportAnswersInsideSend_data();
	void transportAnswersInsideSend();
	void strayMessagesAreIgnored_data();
	void strayMessagesAreIgnored();
	void idWrapsToOne();
	void destructionDropsCallbacks();
	void destructionFromCallback_data();
	void destructionFromCallback();
};

enum class Ending { Reply, Timeout, SendFailed };
Q_DECLARE_METATYPE(Ending)

void TestRpcClient::nextRequestWaitsForTheFirstToEnd_data()
{
	QTest::addColumn<Ending>("ending");
	QTest::addColumn<QString>("code");
	QTest::addColumn<QString>("message");
	QTest::newRow("reply") << Ending::Reply << QString() << QString();
	QTest::newRow("timeout")
		<< Ending::Timeout << "timeout"
		<< "The device did not answer 'getStatus' in time";
	QTest::newRow("send failure") << Ending::SendFailed << "write_failed"
				      << "Could not write to the USB device";
}

void TestRpcClient::nextRequestWaitsForTheFirstToEnd()
{
	QFETCH(Ending, ending);
	QFETCH(QString, code);
	QFETCH(QString, message);

	FakeTransport t;
	RpcClient c(&t);
	Outcomes out;
	c.call("getStatus", {}, out.record("first"),
	       ending == Ending::Timeout ? 20 : kNever);
	c.call("configureWifi", QJsonObject{{"ssid", "Gym"}, {"pass", "pw"}},
	       out.record("second"));

	QCOMPARE(t.sent().size(), 1);
	QCOMPARE(c.pending(), 2);
	QCOMPARE(t.sent().at(0), (QJsonObject{{"id", 1},
					      {"method", "getStatus"},
					      {"params", QJsonObject()}}));
	QCOMPARE(t.rawSent().at(0),
		 QByteArray(R"({"id":1,"method":"getStatus","params":{}})"));

	if (ending == Ending::Reply)
		t.replyOk(1);
	else if (ending == Ending::SendFailed)
		t.failSend("write_failed", "Could not write to the USB device");
	QTRY_COMPARE(out.order, QStringList{"first"});
	QCOMPARE(out.of("first").ok, code.isEmpty());
	QCOMPARE(out.of("first").code, code);
	QCOMPARE(out.of("first").message, message);

	QCOMPARE(t.sent().size(), 2);
	QCOMPARE(t.sent().at(1),
		 (QJsonObject{{"id", 2},
			      {"method", "configureWifi"},
			      {"params",
			       QJsonObject{{"ssid", "Gym"}, {"pass", "pw"}}}}));
	QCOMPARE(c.pending(), 1);
	t.replyOk(2);
	QCOMPARE(out.order, (QStringList{"first", "second"}));
	QCOMPARE(c.pending(), 0);
}

void TestRpcClient::replyBecomesResult_data()
{
	QTest::addColumn<QByteArray>("reply");
	QTest::addColumn<bool>("ok");
	QTest::addColumn<QJsonObject>("result");
	QTest::addColumn<QString>("code");
	QTest::addColumn<QString>("message");

	const QString rejected = "The device rejected 'getSettings'";
	QTest::newRow("object")
		<< QByteArray(R"({"id":1,"ok":true,"result":{"a":1}})") << true
		<< QJsonObject{{"a", 1}} << ""
		<< "";
	QTest::newRow("number")
		<< QByteArray(R"({"id":1,"ok":true,"result":5})") << true
		<< QJsonObject{{"value", 5}} << ""
		<< "";
	QTest::newRow("missing") << QByteArray(R"({"id":1,"ok":true})") << true
				 << QJsonObject() << ""
				 << "";
	QTest::newRow("no ok")
		<< QByteArray(R"({"id":1,"result":{"a":1}})") << false
		<< QJsonObject() << "device_error" << rejected;
	QTest::newRow("ok not a bool")
		<< QByteArray(R"({"id":1,"ok":"true","result":{"a":1}})")
		<< false << QJsonObject() << "device_error" << rejected;
	QTest::newRow("device error")
		<< QByteArray(
			   R"({"id":1,"ok":false,"error":{"code":"unauthorized","message":"Sign in first"}})")
		<< false << QJsonObject() << "unauthorized"
		<< "Sign in first";
	QTest::newRow("code without message")
		<< QByteArray(
			   R"({"id":1,"ok":false,"error":{"code":"rate_limited"}})")
		<< false << QJsonObject() << "rate_limited" << rejected;
	QTest::newRow("message without code")
		<< QByteArray(
			   R"({"id":1,"ok":false,"error":{"message":"Flash is full"}})")
		<< false << QJsonObject() << "device_error"
		<< "Flash is full";
}

void TestRpcClient::replyBecomesResult()
{
	QFETCH(QByteArray, reply);
	FakeTransport t;
	RpcClient c(&t);
	Outcomes out;
	c.call("getSettings", {}, out.record("call"));
	t.replyRaw(reply);

	QCOMPARE(out.order, QStringList{"call"});
	const RpcResult &r = out.of("call");
	QTEST(r.ok, "ok");
	QTEST(r.result, "result");
	QTEST(r.code, "code");
	QTEST(r.message, "message");
}

void TestRpcClient::busyIsRetried_data()
{
	QTest::addColumn<int>("busyAnswers");
	QTest::newRow("three busy, then success") << 3;
	QTest::newRow("four busy") << 4;
}

void TestRpcClient::busyIsRetried()
{
	QFETCH(int, busyAnswers);
	FakeTransport t;
	RpcClient c(&t);
	c.setBusyRetryDelay(1);
	int answered = 0;
	t.setResponder([&](const QJsonObject &request) {
		const int id = request.value("id").toInt();
		if (answered++ < busyAnswers)
			t.replyError(id, "busy", "The device is busy");
		else
			t.replyOk(id, QJsonObject{{"started", true}});
	});
	Outcomes out;
	c.call("otaApply", {}, out.record("call"));
	QTRY_COMPARE(out.order, QStringList{"call"});

	// The first attempt and three retries, each under its own id.
	QCOMPARE(t.sentMethods(),
		 (QStringList{"otaApply", "otaApply", "otaApply", "otaApply"}));
	QCOMPARE(t.sentIds(), (QList<int>{1, 2, 3, 4}));
	const RpcResult &r = out.of("call");
	if (busyAnswers <= RpcClient::kMaxBusyRetries) {
		QVERIFY(r.ok);
		QCOMPARE(r.result, (QJsonObject{{"started", true}}));
	} else {
		QVERIFY(!r.ok);
		QCOMPARE(r.code, "busy");
		QCOMPARE(r.message, "The device is busy");
	}
	QCOMPARE(c.pending(), 0);
}

// While a busy call waits for its retry nothing is in flight: a repeated
// answer to its first attempt or a send failure neither ends it nor sends it
// early, and a new call starts the queue with the retried call at its front,
// ahead of the one that was already waiting.
void TestRpcClient::busyWait()
{
	FakeTransport t;
	RpcClient c(&t);
	c.setBusyRetryDelay(kNever);
	Outcomes out;
	c.call("otaApply", {}, out.record("retried"));
	c.call("getSettings", {}, out.record("queued"));
	t.replyError(1, "busy");
	t.replyOk(1);
	t.failSend("write_failed", "Could not write to the USB device");
	QVERIFY(out.order.isEmpty());
	QCOMPARE(t.sent().size(), 1);
	QCOMPARE(c.pending(), 2);

	c.call("getStatus", {}, out.record("new"));
	QCOMPARE(t.sentIds(), (QList<int>{1, 2}));
	QCOMPARE(c.pending(), 3);
	t.replyOk(2);
	t.replyOk(3);
	t.replyOk(4);
	QCOMPARE(out.order, (QStringList{"retried", "queued", "new"}));
	QVERIFY(out.of("retried").ok);
	QCOMPARE(t.sentMethods(), (QStringList{"otaApply", "otaApply",
					       "getSettings", "getStatus"}));
}

void TestRpcClient::lateReplyIsDropped()
{
	FakeTransport t;
	RpcClient c(&t);
	Outcomes out;
	c.call("getLogs", {}, out.record("slow"), 20);
	c.call("getStatus", {}, out.record("next"), kNever);
	QTRY_COMPARE(out.order, QStringList{"slow"});
	QCOMPARE(out.of("slow").code, "timeout");
	QCOMPARE(t.sentIds(), (QList<int>{1, 2}));

	t.replyOk(1, QJsonObject{{"logs", "late"}});
	QCOMPARE(out.order, QStringList{"slow"});
	QCOMPARE(c.pending(), 1);

	t.replyOk(2, QJsonObject{{"device_id", "QM-1"}});
	QCOMPARE(out.order, (QStringList{"slow", "next"}));
	QCOMPARE(out.of("next").result, (QJsonObject{{"device_id", "QM-1"}}));
}

// A closed pipe fails a call before call() returns; a pipe that closes under
// a call in flight fails the queue once that call has timed out.
void TestRpcClient::closedTransportFailsCalls()
{
	FakeTransport closed(false);
	RpcClient early(&closed);
	Outcomes first;
	early.call("getStatus", {}, first.record("call"));
	QCOMPARE(first.order, QStringList{"call"});
	QCOMPARE(first.of("call").code, "disconnected");
	QCOMPARE(first.of("call").message, "Not connected to a device");
	QVERIFY(closed.sent().isEmpty());
	QCOMPARE(early.pending(), 0);

	FakeTransport t;
	RpcClient c(&t);
	Outcomes out;
	c.call("getStatus", {}, out.record("0"), 20);
	for (int i = 1; i <= 3; ++i)
		c.call("getSettings", {}, out.record(QString::number(i)));
	t.setOpen(false);
	QCOMPARE(c.pending(), 4);
	QTRY_COMPARE(out.order, (QStringList{"0", "1", "2", "3"}));
	QCOMPARE(out.of("0").code, "timeout");
	for (int i = 1; i <= 3; ++i)
		QCOMPARE(out.results.at(i).message,
			 "Not connected to a device");
	QCOMPARE(t.sent().size(), 1);
}

void TestRpcClient::abortAllEndsEverythingInOrder()
{
	FakeTransport t;
	RpcClient c(&t);
	Outcomes out;
	c.call("getStatus", {}, [&](const RpcResult &r) {
		out.record("flight")(r);
		// Served normally, on the fresh queue.
		c.call("getState", {}, out.record("again"));
	});
	c.call("getSettings", {}, out.record("q1"));
	c.call("getLogs", {}, out.record("q2"));

	c.abortAll("disconnected", kLost);
	QCOMPARE(out.order, (QStringList{"flight", "q1", "q2"}));
	for (const RpcResult &r : out.results) {
		QVERIFY(!r.ok);
		QCOMPARE(r.code, "disconnected");
		QCOMPARE(r.message, kLost);
	}
	QCOMPARE(t.sentMethods(), (QStringList{"getStatus", "getState"}));
	QCOMPARE(t.lastId(), 2);
	QCOMPARE(c.pending(), 1);

	t.replyOk(1);
	QCOMPARE(out.order.size(), 3);
	t.replyOk(2);
	QCOMPARE(out.order.last(), "again");
	QVERIFY(out.of("again").ok);
}

void TestRpcClient::callbacksMayCallAgainOrAbortAll()
{
	FakeTransport t;
	RpcClient c(&t);
	Outcomes out;
	int sentInsideCall = -1;
	c.call("login", QJsonObject{{"password", "pw"}},
	       [&](const RpcResult &r) {
		       out.record("login")(r);
		       c.call("reboot", {}, [&](const RpcResult &r) {
			       out.record("reboot")(r);
			       c.abortAll("disconnected", "Disconnected");
		       });
		       sentInsideCall = t.sent().size();
		       c.call("getStatus", {}, out.record("queued"));
	       });
	t.replyOk(1);
	// Sent from inside the nested call(), and only once.
	QCOMPARE(sentInsideCall, 2);
	QCOMPARE(t.sentMethods(), (QStringList{"login", "reboot"}));
	QCOMPARE(c.pending(), 2);

	t.replyOk(2);
	QCOMPARE(out.order, (QStringList{"login", "reboot", "queued"}));
	QCOMPARE(out.of("queued").message, "Disconnected");
	QCOMPARE(t.sent().size(), 2);
	QCOMPARE(c.pending(), 0);
}

void TestRpcClient::transportAnswersInsideSend_data()
{
	QTest::addColumn<bool>("refuse");
	QTest::newRow("reply") << false;
	QTest::newRow("send failure") << true;
}

void TestRpcClient::transportAnswersInsideSend()
{
	QFETCH(bool, refuse);
	FakeTransport t;
	RpcClient c(&t);
	t.setResponder([&](const QJsonObject &request) {
		const int id = request.value("id").toInt();
		if (refuse)
			t.failSend("not_available_here",
				   "Not available over the network");
		else
			t.replyOk(id, QJsonObject{{"id_seen", id}});
	});

	Outcomes out;
	for (int i = 1; i <= 3; ++i) {
		c.call("getLogs", {}, out.record(QString::number(i)));
		QCOMPARE(out.order.size(), i);
		const RpcResult &r = out.results.last();
		QCOMPARE(r.ok, !refuse);
		if (refuse)
			QCOMPARE(r.code, "not_available_here");
		else
			QCOMPARE(r.result, (QJsonObject{{"id_seen", i}}));
	}
	QCOMPARE(t.sentIds(), (QList<int>{1, 2, 3}));
	QCOMPARE(c.pending(), 0);
}

void TestRpcClient::strayMessagesAreIgnored_data()
{
	QTest::addColumn<QByteArray>("message");
	QTest::newRow("malformed") << QByteArray(R"({"id":1,"ok":tru)");
	QTest::newRow("array") << QByteArray(R"([{"id":1,"ok":true}])");
	QTest::newRow("foreign id") << QByteArray(R"({"id":2,"ok":true})");
	QTest::newRow("no id") << QByteArray(R"({"ok":true})");
	QTest::newRow("id as text") << QByteArray(R"({"id":"1","ok":true})");
	QTest::newRow("fractional id") << QByteArray(R"({"id":1.5,"ok":true})");
}

void TestRpcClient::strayMessagesAreIgnored()
{
	QFETCH(QByteArray, message);
	FakeTransport t;
	RpcClient c(&t);
	Outcomes out;
	c.call("getStatus", {}, out.record("call"));
	t.replyRaw(message);
	QVERIFY(out.order.isEmpty());
	QCOMPARE(c.pending(), 1);

	t.replyOk(1);
	QCOMPARE(out.order, QStringList{"call"});
	QVERIFY(out.of("call").ok);
}

void TestRpcClient::idWrapsToOne()
{
	FakeTransport t;
	RpcClient c(&t);
	c.setNextIdForTest(INT_MAX);
	Outcomes out;
	c.call("getStatus", {}, out.record("max"));
	c.call("getStatus", {}, out.record("wrapped"));
	QCOMPARE(t.lastId(), INT_MAX);
	t.replyOk(INT_MAX);
	QCOMPARE(t.lastId(), 1);
	t.replyOk(1);
	QCOMPARE(out.order, (QStringList{"max", "wrapped"}));
	QVERIFY(out.of("max").ok && out.of("wrapped").ok);
}

void TestRpcClient::destructionDropsCallbacks()
{
	FakeTransport t;
	Outcomes out;

	auto *c = new RpcClient(&t);
	c->call("getStatus", {}, out.record("flight"), 10);
	c->call("getSettings", {}, out.record("queued"), 10);
	delete c;
	t.replyOk(1);

	// The same while a busy call waits for its retry.
	c = new RpcClient(&t);
	c->setBusyRetryDelay(5);
	c->call("otaApply", {}, out.record("busy"), 10);
	t.replyError(t.lastId(), "busy");
	delete c;

	// Let every timer the clients had started run out.
	QTest::qWait(40);
	QVERIFY(out.order.isEmpty());
	QCOMPARE(t.sent().size(), 2);
}

enum class Scenario { Reply, AbortAll, ClosedQueue, AnswerInsideSend };
Q_DECLARE_METATYPE(Scenario)

void TestRpcClient::destructionFromCallback_data()
{
	QTest::addColumn<Scenario>("scenario");
	QTest::addColumn<QString>("deleter");
	QTest::addColumn<QStringList>("expected");

	QTest::newRow("reply") << Scenario::Reply << "a" << QStringList{"a"};
	QTest::newRow("abortAll, call in flight")
		<< Scenario::AbortAll << "a" << QStringList{"a"};
	QTest::newRow("abortAll, queued call")
		<< Scenario::AbortAll << "b" << QStringList{"a", "b"};
	QTest::newRow("closed transport")
		<< Scenario::ClosedQueue << "b" << QStringList{"a", "b"};
	QTest::newRow("answer inside send")
		<< Scenario::AnswerInsideSend << "b" << QStringList{"a", "b"};
}

// Destroying the client ends all work without callbacks, even from inside
// one of them; the rest of the queue is dropped and nothing touches the dead
// client.
void TestRpcClient::destructionFromCallback()
{
	QFETCH(Scenario, scenario);
	QFETCH(QString, deleter);

	FakeTransport t;
	auto *c = new RpcClient(&t);
	Outcomes out;
	auto callback = [&](const QString &tag) -> RpcClient::Callback {
		return [&, tag](const RpcResult &r) {
			out.record(tag)(r);
			if (tag == deleter) {
				delete c;
				c = nullptr;
			}
		};
	};
	c->call("getStatus", {}, callback("a"),
		scenario == Scenario::ClosedQueue ? 10 : kNever);
	c->call("getStatus", {}, callback("b"));
	c->call("getStatus", {}, callback("c"));

	switch (scenario) {
	case Scenario::Reply:
		t.replyOk(1);
		break;
	case Scenario::AbortAll:
		c->abortAll("disconnected", kLost);
		break;
	case Scenario::ClosedQueue:
		t.setOpen(false);
		QTRY_VERIFY(!c);
		break;
	case Scenario::AnswerInsideSend:
		t.setResponder([&](const QJsonObject &request) {
			t.replyOk(request.value("id").toInt());
		});
		t.replyOk(1);
		break;
	}
	QVERIFY(!c);
	QTest::qWait(20);
	QTEST(out.order, "expected");
	delete c;
}

QTEST_GUILESS_MAIN(TestRpcClient)
#include "tst_rpc_client.moc"
