// The Bluetooth helper as the plug-in drives it: started with --port and
// --token, it connects back, says hello and answers JSON lines. The test
// build runs against the device simulator's radio in this process; the
// shipped build runs on this machine's Bluetooth (none here). The request
// handling's own corner cases run in-process on a fake central.

#include "ble_side.h"
#include "device_model.h"

#include "ble/ble_framing.h"
#include "bridge.h"
#include "fake_central.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace quillmarch;

namespace {

const QString kSimHelper = QStringLiteral(QUILLMARCH_BLE_HELPER_SIM_EXECUTABLE);
const QString kRealHelper = QStringLiteral(QUILLMARCH_BLE_HELPER_EXECUTABLE);
constexpr int kWaitMs = 15000;

QJsonObject object(const QByteArray &json)
{
	return QJsonDocument::fromJson(json).object();
}

QString errorCode(const QJsonObject &reply)
{
	return reply.value("error").toObject().value("code").toString();
}

QString errorMessage(const QJsonObject &reply)
{
	return reply.value("error").toObject().value("message").toString();
}

// One helper process and the plug-in's end of its connection.
class HelperRun {
public:
	explicit HelperRun(const QString &program, const QString &radio = {})
	{
		server.listen(QHostAddress::LocalHost, 0);
		QProcessEnvironment env =
			QProcessEnvironment::systemEnvironment();
		env.remove("QUILLMARCH_BLE_SIM");
		if (!radio.isEmpty())
			env.insert("QUILLMARCH_BLE_SIM", radio);
		process.setProcessEnvironment(env);
		process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
		process.start(program,
			      {"--port", QString::number(server.serverPort()),
			       "--token", token});
		if (QTest::qWaitFor(
			    [&] { return server.hasPendingConnections(); },
			    kWaitMs))
			socket = server.nextPendingConnection();
	}
	~HelperRun()
	{
		if (process.state() != QProcess::NotRunning) {
			process.kill();
			process.waitForFinished(5000);
		}
	}

	void send(const QByteArray &bytes)
	{
		socket->write(bytes);
		socket->flush();
	}
	// The next line from the helper; an empty object when none came.
	QJsonObject next(int timeoutMs = kWaitMs)
	{
		if (!QTest::qWaitFor([&] { return socket->canReadLine(); },
				     timeoutMs))
			return {};
		return object(socket->readLine());
	}
	// Lines up to the reply with this id; events on the way are kept.
	QJsonObject replyTo(int reqId)
	{
		for (QJsonObject line = next(); !line.isEmpty();
		     line = next()) {
			if (line.contains("ev"))
				events.append(line);
			else if (line.value("reqId").toInt(-1) == reqId)
				return line;
		}
		return {};
	}
	QJsonObject ask(QJsonObject request)
	{
		request.insert("reqId", ++lastId);
		send(QJsonDocument(request).toJson(QJsonDocument::Compact) +
		     '\n');
		return replyTo(lastId);
	}
	QJsonObject write(const QByteArray &bytes)
	{
		return ask({{"op", "write"},
			    {"b64", QString::fromLatin1(bytes.toBase64())}});
	}
	// Sends one RPC message as the plug-in does and waits for the reply
	// the device notifies back, put together from its fragments.
	QJsonObject rpc(const QJsonObject &message, int writePayload)
	{
		const QByteArray bytes =
			QJsonDocument(message).toJson(QJsonDocument::Compact);
		for (const QByteArray &chunk :
		     bleEncodeRequest(bytes, writePayload, ++tag)) {
			if (!write(chunk).value("ok").toBool())
				return {};
		}
		BleReplyAssembler assembler;
		QList<QByteArray> replies;
		for (;;) {
			while (!events.isEmpty() && replies.isEmpty()) {
				const QJsonObject event = events.takeFirst();
				if (event.value("ev") == "data")
					replies = assembler.feed(
						QByteArray::fromBase64(
							event.value("b64")
								.toString()
								.toLatin1()));
			}
			if (!replies.isEmpty())
				return object(replies.first());
			const QJsonObject line = next();
			if (line.isEmpty())
				return {};
			events.append(line);
		}
	}
	int exitCode(int timeoutMs = kWaitMs)
	{
		if (!process.waitForFinished(timeoutMs) ||
		    process.exitStatus() != QProcess::NormalExit)
			return -1;
		return process.exitCode();
	}

	QTcpServer server;
	QTcpSocket *socket = nullptr;
	QProcess process;
	const QString token = QStringLiteral("9f0c2e71a44b3d8e5c0a7f61b2d94e3");
	QList<QJsonObject> events;
	int lastId = 0;
	quint8 tag = 0;
};

} // namespace

class TstBleHelper : public QObject {
	Q_OBJECT

private Q_SLOTS:
	// A user's path on the simulated radio: find the device among its
	// neighbours, connect, sign in over chunked writes and fragmented
	// replies, lose the link in each way it can go.
	void simulatedDeviceWalk()
	{
		sim::DeviceModel device;
		sim::BleSide::Config config;
		config.otherAdvertisers = 3;
		config.writePayload = 40;
		config.fragments = sim::BleSide::Config::Fragments::Mixed;
		sim::BleSide radio(&device, config);
		QVERIFY(radio.listen(QHostAddress::LocalHost, 0));
		QSignalSpy requests(&radio, &sim::BleSide::requestReceived);

		HelperRun helper(kSimHelper, radio.address());
		QVERIFY(helper.socket);
		QCOMPARE(helper.next(), QJsonObject({{"hello", helper.token}}));

		// Lines that are no JSON object are dropped; two requests in
		// one write are both answered, in order.
		helper.send("not json\n[1,2]\n\n{\"op\":\"fly\",\"reqId\":1}\n"
			    "{\"op\":\"scan\",\"reqId\":2}\n");
		const QJsonObject unknown = helper.next();
		QCOMPARE(unknown.value("reqId").toInt(), 1);
		QCOMPARE(errorCode(unknown), QStringLiteral("unknown_op"));
		QCOMPARE(errorMessage(unknown),
			 QStringLiteral("unknown request"));
		QCOMPARE(
			helper.next(),
			object(R"({"reqId":2,"ok":false,"error":{"code":"bluetooth_unavailable","message":"Bluetooth is not ready."}})"));
		helper.lastId = 2;
		QVERIFY(helper.ask({{"op", "start"}}).value("ok").toBool());

		// A request split across writes runs once its newline is in;
		// 100 ms is below the shortest scan.
		helper.send("{\"op\":\"scan\",\"reqId\":4,");
		QTest::qWait(50);
		QElapsedTimer scanTime;
		scanTime.start();
		helper.send("\"ms\":100}\n");
		const QJsonObject scan = helper.replyTo(4);
		QVERIFY2(scanTime.elapsed() >= 450, "scan shorter than 500 ms");
		const QJsonObject result = scan.value("result").toObject();
		QCOMPARE(result.value("seen").toInt(), 4);
		QCOMPARE(result.value("devices").toArray(),
			 QJsonArray(
				 {QJsonObject{{"id", radio.peripheralId()},
					      {"name", "Quillmarch QM-00A1B2"},
					      {"rssi", 0}}}));
		helper.lastId = 4;
		const QJsonObject id{{"op", "connect"},
				     {"id", radio.peripheralId()}};
		QCOMPARE(helper.ask(id).value("result").toObject(),
			 QJsonObject({{"writePayload", 40}, {"pipe", false}}));
		// Longer than one write: chunked; the replies come back in
		// short and long fragments.
		const QJsonObject login{
			{"id", 7},
			{"method", "login"},
			{"params", QJsonObject{{"password", "corvalinth"}}}};
		const QJsonObject signedIn = helper.rpc(login, 40);
		QCOMPARE(requests.count(), 1);
		QCOMPARE(object(requests.first().first().toByteArray()), login);
		QCOMPARE(signedIn.value("id").toInt(), 7);
		QVERIFY2(signedIn.value("ok").toBool(),
			 QJsonDocument(signedIn).toJson().constData());
		const QJsonObject status =
			helper.rpc({{"id", 8}, {"method", "getStatus"}}, 40);
		QCOMPARE(status.value("id").toInt(), 8);
		QVERIFY(status.value("ok").toBool());
		QCOMPARE(requests.count(), 2);
		QCOMPARE(
			helper.ask({{"op", "write"}, {"b64", "%%"}})
				.value("error")
				.toObject(),
			object(R"({"code":"bad_request","message":"invalid data"})"));

		// Our own disconnect: writes fail, and no event follows.
		QCOMPARE(
			helper.ask({{"op", "disconnect"}}).value("ok").toBool(),
			true);
		QCOMPARE(
			helper.write("{}").value("error").toObject(),
			object(R"({"code":"disconnected","message":"Not connected"})"));
		QVERIFY(QTest::qWaitFor([&] { return !radio.isLinked(); },
					kWaitMs));
		QVERIFY(helper.ask({{"op", "fly"}}).contains("error"));
		QCOMPARE(helper.events, QList<QJsonObject>());

		// The device ends the link.
		QVERIFY(helper.ask(id).value("ok").toBool());
		radio.dropLink("Remote user terminated connection.");
		QCOMPARE(
			helper.next(),
			object(R"({"ev":"disconnected","reason":"Remote user terminated connection."})"));

		// The device goes out of range with a write in flight: the
		// write is answered once the link is known to be gone.
		QVERIFY(helper.ask(id).value("ok").toBool());
		radio.vanish();
		const QJsonObject lost =
			helper.write("{\"id\":9,\"method\":\"getStatus\"}");
		QCOMPARE(
			lost.value("error").toObject(),
			object(R"({"code":"disconnected","message":"The device disconnected."})"));
		QCOMPARE(helper.next().value("ev").toString(),
			 QStringLiteral("disconnected"));
		// Out of range, it is no longer heard.
		QCOMPARE(helper.ask({{"op", "scan"}, {"ms", 0}})
				 .value("result")
				 .toObject()
				 .value("seen")
				 .toInt(),
			 3);

		helper.send("{\"op\":\"quit\",\"reqId\":0}\n");
		QCOMPARE(helper.exitCode(), 0);
		QVERIFY(!helper.socket->canReadLine());
	}

	// A device that wants pairing, an id nobody advertises, and the
	// plug-in going away.
	void simulatedDeviceRefusals()
	{
		sim::DeviceModel device;
		sim::BleSide::Config config;
		config.requirePairing = true;
		sim::BleSide radio(&device, config);
		QVERIFY(radio.listen(QHostAddress::LocalHost, 0));

		HelperRun helper(kSimHelper, radio.address());
		QVERIFY(helper.socket);
		helper.next();
		QVERIFY(helper.ask({{"op", "start"}}).value("ok").toBool());
		QCOMPARE(errorCode(helper.ask(
				 {{"op", "connect"}, {"id", "QM-00A1B2"}})),
			 QStringLiteral("not_found"));
		helper.ask({{"op", "scan"}, {"ms", 500}});
		const QJsonObject refused = helper.ask(
			{{"op", "connect"}, {"id", radio.peripheralId()}});
		QCOMPARE(
			refused.value("error").toObject(),
			object(R"({"code":"not_paired","message":"Encryption is insufficient."})"));
		QVERIFY(QTest::qWaitFor([&] { return !radio.isLinked(); },
					kWaitMs));

		helper.socket->close();
		QCOMPARE(helper.exitCode(), 0);
		QCOMPARE(helper.events, QList<QJsonObject>());
	}

	// The simulator program's radio, as a demo uses it: its printed
	// address, and the operator dropping the link from its stdin.
	void simulatorProgramRadio()
	{
		QProcess simulator;
		simulator.setProcessChannelMode(QProcess::SeparateChannels);
		simulator.start(QStringLiteral(QUILLMARCH_SIM_EXECUTABLE),
				{"device", "--ble", "127.0.0.1:0",
				 "--ble-others", "2"});
		QVERIFY(QTest::qWaitFor([&] { return simulator.canReadLine(); },
					kWaitMs));
		const QString printed =
			QString::fromUtf8(simulator.readLine()).trimmed();
		QVERIFY2(printed.startsWith("ble 127.0.0.1:"),
			 qPrintable(printed));

		HelperRun helper(kSimHelper, printed.mid(4));
		QVERIFY(helper.socket);
		helper.next();
		QVERIFY(helper.ask({{"op", "start"}}).value("ok").toBool());
		const QJsonObject scan =
			helper.ask({{"op", "scan"}, {"ms", 500}})
				.value("result")
				.toObject();
		QCOMPARE(scan.value("seen").toInt(), 3);
		const QString id = scan.value("devices")
					   .toArray()
					   .first()
					   .toObject()
					   .value("id")
					   .toString();
		QVERIFY(helper.ask({{"op", "connect"}, {"id", id}})
				.value("ok")
				.toBool());
		simulator.write("ble drop\n");
		QCOMPARE(
			helper.next(),
			object(R"({"ev":"disconnected","reason":"The device ended the connection."})"));

		simulator.write("quit\n");
		QVERIFY(simulator.waitForFinished(kWaitMs));
		QCOMPARE(simulator.exitCode(), 0);
	}

	void usageErrors()
	{
		const QList<QStringList> usage{
			{},
			{"--port"},
			{"--port", "0", "--token", "x"},
			{"--token", "x", "--port", "junk"},
			{"--port", "70000", "--token", "x"}};
		for (const QStringList &arguments : usage) {
			QProcess process;
			process.start(kSimHelper, arguments);
			QVERIFY(process.waitForFinished(kWaitMs));
			QVERIFY2(process.exitCode() == 64,
				 qPrintable(arguments.join(' ')));
		}
		quint16 closedPort;
		{
			QTcpServer server;
			QVERIFY(server.listen(QHostAddress::LocalHost, 0));
			closedPort = server.serverPort();
		}
		QProcess process;
		process.start(kSimHelper,
			      {"--port", QString::number(closedPort), "--token",
			       "x"});
		QVERIFY(process.waitForFinished(kWaitMs));
		QCOMPARE(process.exitCode(), 2);
	}

	// The shipped helper on this machine, which has no Bluetooth adapter.
	void realHelperWithoutAdapter()
	{
		HelperRun helper(kRealHelper);
		QVERIFY(helper.socket);
		QCOMPARE(helper.next(), QJsonObject({{"hello", helper.token}}));
		QCOMPARE(
			helper.ask({{"op", "scan"}, {"ms", 1000}})
				.value("error")
				.toObject(),
			object(R"({"code":"bluetooth_unavailable","message":"Bluetooth is not ready."})"));
		// Answered within the start limit (12 s), at once in practice.
		helper.send("{\"op\":\"start\",\"reqId\":9}\n");
		const QJsonObject start = helper.next(12000);
		if (start.value("ok").toBool())
			QSKIP("this machine has a working Bluetooth adapter");
		QCOMPARE(
			start.value("error").toObject(),
			object(R"({"code":"bluetooth_unavailable","message":"No usable Bluetooth adapter was found."})"));
		helper.socket->close();
		QCOMPARE(helper.exitCode(), 0);
	}

	// Request handling on a fake central: the cases where a request
	// would otherwise never get its answer, or a link would outlive it.
	void requestHandlingOnFakeCentral()
	{
		using namespace quillmarch::ble;
		QList<QJsonObject> sent;
		FakeCentral *fake = nullptr;
		Bridge::Timings timings;
		timings.connectTimeoutMs = 50;
		timings.scanMinMs = 20;
		timings.scanMaxMs = 40;
		Bridge bridge(
			[&](QObject *parent) {
				return fake = new FakeCentral(parent);
			},
			[&](const QJsonObject &line) { sent.append(line); },
			timings);
		int reqId = 0;
		const auto ask = [&](QJsonObject request) {
			sent.clear();
			request.insert("reqId", ++reqId);
			bridge.handle(request);
			return sent.value(0);
		};
		const QString x =
			QStringLiteral("0F2A51C4-7D0B-4E55-9A3C-1B2C3D4E5F60");
		const QString y =
			QStringLiteral("6A7B8C9D-0E1F-4A2B-8C3D-4E5F60718293");

		QVERIFY(ask({{"op", "start"}}).value("ok").toBool());
		// A stack that is resetting answers later starts once it is
		// back, not never: every one of them.
		fake->current = Central::State::Resetting;
		QVERIFY(ask({{"op", "start"}}).isEmpty());
		QVERIFY(ask({{"op", "start"}}).isEmpty());
		fake->setState(Central::State::PoweredOn);
		QCOMPARE(sent.size(), 2);
		QCOMPARE(sent.value(0).value("reqId").toInt(), reqId - 1);
		QCOMPARE(sent.value(1).value("reqId").toInt(), reqId);

		// A second scan while one runs: both are answered.
		QVERIFY(ask({{"op", "scan"}, {"ms", 1}}).isEmpty());
		Q_EMIT fake->advertised({x, "Quillmarch QM-1", {}, {}});
		const QJsonObject first = ask({{"op", "scan"}, {"ms", 1}});
		QCOMPARE(first.value("reqId").toInt(), reqId - 1);
		QCOMPARE(first.value("result").toObject().value("seen").toInt(),
			 1);
		sent.clear();
		QVERIFY(QTest::qWaitFor([&] { return !sent.isEmpty(); },
					kWaitMs));
		QCOMPARE(sent.value(0).value("reqId").toInt(), reqId);

		QCOMPARE(errorCode(ask({{"op", "connect"}, {"id", "nope"}})),
			 QStringLiteral("not_found"));
		// A connect that times out calls the attempt off.
		fake->retrievable = QStringList{x, y};
		QVERIFY(ask({{"op", "connect"}, {"id", x}}).isEmpty());
		QVERIFY(QTest::qWaitFor([&] { return !sent.isEmpty(); },
					kWaitMs));
		QCOMPARE(errorCode(sent.value(0)),
			 QStringLiteral("connect_timeout"));
		QCOMPARE(fake->calls.last(), "cancel " + x);

		// Refused notifications: pairing trouble in any letter case
		// reads as not_paired, and the device is let go of at once.
		QVERIFY(ask({{"op", "connect"}, {"id", x}}).isEmpty());
		Q_EMIT fake->connected(x);
		Q_EMIT fake->servicesDiscovered(x, {kServiceUuid.toLower()},
						{});
		Q_EMIT fake->characteristicsDiscovered(
			x, {kCommandUuid, kResponseUuid}, {});
		Q_EMIT fake->notificationsChanged(
			x, kResponseUuid,
			CentralError::of("ENCRYPTION is insufficient."));
		QCOMPARE(errorCode(sent.value(0)),
			 QStringLiteral("not_paired"));
		QCOMPARE(fake->calls.last(), "cancel " + x);
		QCOMPARE(errorMessage(ask({{"op", "write"}, {"b64", "e30="}})),
			 QStringLiteral("Not connected"));

		// The device drops the link with a write in flight: the write
		// is answered before the event.
		fake->writeLength = 512;
		QVERIFY(ask({{"op", "connect"}, {"id", y}}).isEmpty());
		fake->linkUp(y);
		QCOMPARE(sent.value(0)
				 .value("result")
				 .toObject()
				 .value("writePayload")
				 .toInt(),
			 244);
		QVERIFY(ask({{"op", "write"}, {"b64", "e30="}}).isEmpty());
		QCOMPARE(fake->calls.last(), "write " + y + " 7b7d");
		Q_EMIT fake->disconnected(y,
					  CentralError::of("Connection lost"));
		QCOMPARE(sent.size(), 2);
		QCOMPARE(sent.at(0).value("reqId").toInt(), reqId);
		QCOMPARE(errorCode(sent.at(0)), QStringLiteral("disconnected"));
		QCOMPARE(
			sent.at(1),
			object(R"({"ev":"disconnected","reason":"Connection lost"})"));
	}
};

QTEST_GUILESS_MAIN(TstBleHelper)
#include "tst_ble_helper.moc"
