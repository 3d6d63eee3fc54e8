#include "admin/rpc_client.h"

#include "support/fake_transport.h"

#include <QtTest>

#include <climits>
#include <memory>

using namespace quillmarch;
using quillmarch::test::FakeTransport;

namespace {

const QString kLost = "The connection to the device was lost";

// Long enough never to fire during a test.
constexpr int kNever = 600000;

// A client on a scripted pipe. Every callback lands in one log, in the order
// they ran: "tag ok {result}" or "tag code: message".
struct Rig {
	FakeTransport t;
	std::unique_ptr<RpcClient> c = std::make_unique<RpcClient>(&t);
	QStringList log;

	RpcClient::Callback record(const QString &tag)
	{
		return [this, tag](const RpcResult &r) {
			QString line =
				tag + (r.ok ? " ok"
					    : " " + r.code + ": " + r.message);
			if (!r.result.isEmpty())
				line += " " + QJsonDocument(r.result).toJson(
						      QJsonDocument::Compact);
			log << line;
		};
	}
	void call(const QString &method, const QString &tag,
		  int timeoutMs = kNever)
	{
		c->call(method, {}, record(tag), timeoutMs);
	}
};

} // namespace

class TestRpcClient : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void nextRequestWaitsForTheFirstToEnd_data();
	void nextRequestWaitsForTheFirstToEnd();
	void replies_data();
	void replies();
	void busyIsRetried();
	void busyWait();
	void closedTransportFailsCalls();
	void abortAllEndsEverythingInOrder();
	void callbacksMayCallAgainOrAbortAll();
	void transportAnswersInsideSend();
	void idWrapsToOne();
	void destructionFromCallback_data();
	void destructionFromCallback();
};

void TestRpcClient::nextRequestWaitsForTheFirstToEnd_data()
{
	QTest::addColumn<QString>("ending");
	QTest::addColumn<QString>("first");
	for (const auto &[ending, first] :
	     {std::pair{"reply", "ok"},
	      {"timeout",
	       "timeout: The device did not answer 'getStatus' in time"},
	      {"send failure",
	       "write_failed: Could not write to the USB device"}})
		QTest::newRow(ending) << ending << QString("first ") + first;
}

// However the call in flight ends, the next is sent only then, and a late
// reply to the first is dropped.
void TestRpcClient::nextRequestWaitsForTheFirstToEnd()
{
	QFETCH(QString, ending);
	Rig rig;
	rig.call("getStatus", "first", ending == "timeout" ? 20 : kNever);
	const QJsonObject wifi{{"ssid", "Gym"}, {"pass", "pw"}};
	rig.c->call("configureWifi", wifi, rig.record("second"));
	QCOMPARE(rig.t.rawSent(),
		 QList<QByteArray>{
			 R"({"id":1,"method":"getStatus","params":{}})"});
	QCOMPARE(rig.c->pending(), 2);

	if (ending == "reply")
		rig.t.replyOk(1);
	else if (ending == "send failure")
		rig.t.failSend("write_failed",
			       "Could not write to the USB device");
	QTRY_COMPARE(rig.log.size(), 1);
	QTEST(rig.log.first(), "first");
	QCOMPARE(rig.t.sent().size(), 2);
	QCOMPARE(rig.t.sent().at(1), (QJsonObject{{"id", 2},
						  {"method", "configureWifi"},
						  {"params", wifi}}));
	QCOMPARE(rig.c->pending(), 1);
	rig.t.replyOk(1, QJsonObject{{"logs", "late"}});
	QCOMPARE(rig.log.size(), 1);
	QCOMPARE(rig.c->pending(), 1);
	rig.t.replyOk(2, QJsonObject{{"device_id", "QM-1"}});
	QCOMPARE(rig.log.last(), R"(second ok {"device_id":"QM-1"})");
	QCOMPARE(rig.c->pending(), 0);
}

// What a message from the device makes of the call; "" for one that is
// ignored, after which the call still waits for its reply.
void TestRpcClient::replies_data()
{
	QTest::addColumn<QByteArray>("reply");
	QTest::addColumn<QString>("outcome");
	const QString rejected =
		"device_error: The device rejected 'getSettings'";
	const auto row = [](const char *name, const char *reply,
			    const QString &outcome) {
		QTest::newRow(name) << QByteArray(reply) << outcome;
	};
	row("object", R"({"id":1,"ok":true,"result":{"a":1}})",
	    R"(ok {"a":1})");
	row("number", R"({"id":1,"ok":true,"result":5})", R"(ok {"value":5})");
	row("no result", R"({"id":1,"ok":true})", "ok");
	row("no ok", R"({"id":1,"result":{"a":1}})", rejected);
	row("ok not a bool", R"({"id":1,"ok":"true","result":{"a":1}})",
	    rejected);
	row("device error",
	    R"({"id":1,"ok":false,"error":{"code":"unauthorized","message":"Sign in first"}})",
	    "unauthorized: Sign in first");
	row("code without message",
	    R"({"id":1,"ok":false,"error":{"code":"rate_limited"}})",
	    "rate_limited: The device rejected 'getSettings'");
	row("message without code",
	    R"({"id":1,"ok":false,"error":{"message":"Flash is full"}})",
	    "device_error: Flash is full");
	row("malformed", R"({"id":1,"ok":tru)", "");
	row("array", R"([{"id":1,"ok":true}])", "");
	row("foreign id", R"({"id":2,"ok":true})", "");
	row("no id", R"({"ok":true})", "");
	row("id as text", R"({"id":"1","ok":true})", "");
	row("fractional id", R"({"id":1.5,"ok":true})", "");
}

void TestRpcClient::replies()
{
	QFETCH(QByteArray, reply);
	QFETCH(QString, outcome);
	Rig rig;
	rig.call("getSettings", "call");
	rig.t.replyRaw(reply);
	if (outcome.isEmpty()) {
		QVERIFY(rig.log.isEmpty());
		QCOMPARE(rig.c->pending(), 1);
		rig.t.replyOk(1);
		outcome = "ok";
	}
	QCOMPARE(rig.log, QStringList{"call " + outcome});
}

// Three retries, each under its own id; a fourth busy answer ends the call.
void TestRpcClient::busyIsRetried()
{
	for (const int busyAnswers : {3, 4}) {
		Rig rig;
		rig.c->setBusyRetryDelay(1);
		int answered = 0;
		rig.t.setResponder([&](const QJsonObject &request) {
			const int id = request.value("id").toInt();
			if (answered++ < busyAnswers)
				rig.t.replyError(id, "busy",
						 "The device is busy");
			else
				rig.t.replyOk(id,
					      QJsonObject{{"started", true}});
		});
		rig.call("otaApply", "call");
		QTRY_COMPARE(rig.log.size(), 1);
		QCOMPARE(rig.log.first(),
			 busyAnswers == 3 ? R"(call ok {"started":true})"
					  : "call busy: The device is busy");
		QCOMPARE(rig.t.sentIds(), (QList<int>{1, 2, 3, 4}));
		QCOMPARE(rig.t.sentMethods().filter("otaApply").size(), 4);
		QCOMPARE(rig.c->pending(), 0);
	}
}

// While a busy call waits for its retry nothing is in flight: a repeated
// answer to its first attempt or a send failure neither ends it nor sends it
// early, and a new call starts the queue with the retried call at its front,
// ahead of the one that was already waiting.
void TestRpcClient::busyWait()
{
	Rig rig;
	rig.c->setBusyRetryDelay(kNever);
	rig.call("otaApply", "retried");
	rig.call("getSettings", "queued");
	rig.t.replyError(1, "busy");
	rig.t.replyOk(1);
	rig.t.failSend("write_failed", "Could not write to the USB device");
	QVERIFY(rig.log.isEmpty());
	QCOMPARE(rig.t.sent().size(), 1);
	QCOMPARE(rig.c->pending(), 2);

	rig.call("getStatus", "new");
	QCOMPARE(rig.t.sentIds(), (QList<int>{1, 2}));
	QCOMPARE(rig.c->pending(), 3);
	for (int id = 2; id <= 4; ++id)
		rig.t.replyOk(id);
	QCOMPARE(rig.log, (QStringList{"retried ok", "queued ok", "new ok"}));
	QCOMPARE(rig.t.sentMethods(),
		 (QStringList{"otaApply", "otaApply", "getSettings",
			      "getStatus"}));
}

// A closed pipe fails a call before call() returns; a pipe that closes under
// a call in flight fails the queue once that call has timed out.
void TestRpcClient::closedTransportFailsCalls()
{
	const QString closed = "disconnected: Not connected to a device";
	Rig early;
	early.t.setOpen(false);
	early.call("getStatus", "call");
	QCOMPARE(early.log, QStringList{"call " + closed});
	QVERIFY(early.t.sent().isEmpty());
	QCOMPARE(early.c->pending(), 0);

	Rig rig;
	rig.call("getStatus", "0", 20);
	for (const QString tag : {"1", "2", "3"})
		rig.call("getSettings", tag);
	rig.t.setOpen(false);
	QCOMPARE(rig.c->pending(), 4);
	QTRY_COMPARE(rig.log.size(), 4);
	QCOMPARE(rig.log,
		 (QStringList{"0 timeout: The device did not answer "
			      "'getStatus' in time",
			      "1 " + closed, "2 " + closed, "3 " + closed}));
	QCOMPARE(rig.t.sent().size(), 1);
}

void TestRpcClient::abortAllEndsEverythingInOrder()
{
	Rig rig;
	rig.c->call("getStatus", {}, [&](const RpcResult &r) {
		rig.record("flight")(r);
		// Served normally, on the fresh queue.
		rig.call("getState", "again");
	});
	rig.call("getSettings", "q1");
	rig.call("getLogs", "q2");

	rig.c->abortAll("disconnected", kLost);
	const QString lost = " disconnected: " + kLost;
	QCOMPARE(rig.log,
		 (QStringList{"flight" + lost, "q1" + lost, "q2" + lost}));
	QCOMPARE(rig.t.sentMethods(), (QStringList{"getStatus", "getState"}));
	QCOMPARE(rig.t.lastId(), 2);
	QCOMPARE(rig.c->pending(), 1);
	rig.t.replyOk(1);
	QCOMPARE(rig.log.size(), 3);
	rig.t.replyOk(2);
	QCOMPARE(rig.log.last(), "again ok");
}

void TestRpcClient::callbacksMayCallAgainOrAbortAll()
{
	Rig rig;
	int sentInsideCall = -1;
	rig.c->call("login", {{"password", "pw"}}, [&](const RpcResult &r) {
		rig.record("login")(r);
		rig.c->call("reboot", {}, [&](const RpcResult &r) {
			rig.record("reboot")(r);
			rig.c->abortAll("disconnected", "Disconnected");
		});
		sentInsideCall = rig.t.sent().size();
		rig.call("getStatus", "queued");
	});
	rig.t.replyOk(1);
	// Sent from inside the nested call(), and only once.
	QCOMPARE(sentInsideCall, 2);
	QCOMPARE(rig.t.sentMethods(), (QStringList{"login", "reboot"}));
	QCOMPARE(rig.c->pending(), 2);

	rig.t.replyOk(2);
	QCOMPARE(rig.log, (QStringList{"login ok", "reboot ok",
				       "queued disconnected: Disconnected"}));
	QCOMPARE(rig.t.sent().size(), 2);
	QCOMPARE(rig.c->pending(), 0);
}

// A pipe that answers or refuses inside send() ends each call before call()
// returns, and the next call is served all the same.
void TestRpcClient::transportAnswersInsideSend()
{
	for (const bool refuse : {false, true}) {
		Rig rig;
		rig.t.setResponder([&](const QJsonObject &request) {
			const int id = request.value("id").toInt();
			if (refuse)
				rig.t.failSend("not_available_here",
					       "Not here");
			else
				rig.t.replyOk(id, QJsonObject{{"id_seen", id}});
		});
		for (int i = 1; i <= 3; ++i) {
			rig.call("getLogs", QString::number(i));
			QCOMPARE(
				rig.log.last(),
				refuse ? QString("%1 not_available_here: Not here")
						 .arg(i)
				       : QString(R"(%1 ok {"id_seen":%1})")
						 .arg(i));
		}
		QCOMPARE(rig.log.size(), 3);
		QCOMPARE(rig.t.sentIds(), (QList<int>{1, 2, 3}));
	}
}

void TestRpcClient::idWrapsToOne()
{
	Rig rig;
	rig.c->setNextIdForTest(INT_MAX);
	rig.call("getStatus", "max");
	rig.call("getStatus", "wrapped");
	QCOMPARE(rig.t.lastId(), INT_MAX);
	rig.t.replyOk(INT_MAX);
	QCOMPARE(rig.t.lastId(), 1);
	rig.t.replyOk(1);
	QCOMPARE(rig.log, (QStringList{"max ok", "wrapped ok"}));
}

void TestRpcClient::destructionFromCallback_data()
{
	QTest::addColumn<QString>("scenario");
	QTest::addColumn<QString>("deleter");
	QTest::addColumn<QStringList>("expected");
	const auto row = [](const char *name, const char *scenario,
			    const char *deleter, const QStringList &expected) {
		QTest::newRow(name) << scenario << deleter << expected;
	};
	row("reply", "reply", "a", {"a"});
	row("abortAll, call in flight", "abortAll", "a", {"a"});
	row("abortAll, queued call", "abortAll", "b", {"a", "b"});
	row("closed transport", "closed", "b", {"a", "b"});
	row("answer inside send", "inside send", "b", {"a", "b"});
	row("outside, then a reply", "reply", "", {});
	row("outside, while a busy call waits", "busy", "", {});
}

// Destroying the client ends all work without callbacks, even from inside
// one of them or while a busy call waits for its retry; the rest of the
// queue is dropped and nothing touches the dead client, not even its
// timers.
void TestRpcClient::destructionFromCallback()
{
	QFETCH(QString, scenario);
	QFETCH(QString, deleter);
	Rig rig;
	rig.c->setBusyRetryDelay(5);
	QStringList order;
	for (const QString tag : {"a", "b", "c"}) {
		rig.c->call(
			"getStatus", {},
			[&, tag](const RpcResult &) {
				order << tag;
				if (tag == deleter)
					rig.c.reset();
			},
			tag == "a" ? 10 : kNever);
	}
	if (deleter.isEmpty() && scenario == "busy")
		rig.t.replyError(1, "busy");
	if (deleter.isEmpty())
		rig.c.reset();
	if (scenario == "reply") {
		rig.t.replyOk(1);
	} else if (scenario == "abortAll") {
		rig.c->abortAll("disconnected", kLost);
	} else if (scenario == "closed") {
		rig.t.setOpen(false);
		QTRY_VERIFY(!rig.c);
	} else if (scenario == "inside send") {
		rig.t.setResponder([&](const QJsonObject &request) {
			rig.t.replyOk(request.value("id").toInt());
		});
		rig.t.replyOk(1);
	}
	QVERIFY(!rig.c);
	QTest::qWait(40);
	QTEST(order, "expected");
	QCOMPARE(rig.t.sent().size(), scenario == "inside send" ? 2 : 1);
}

QTEST_GUILESS_MAIN(TestRpcClient)
#include "tst_rpc_client.moc"
