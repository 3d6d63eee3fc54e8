#include "live/live_data.h"
#include "server/hosted_server.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using quillmarch::HostedServer;
using quillmarch::LiveData;

namespace {

const QByteArray kEmptySnapshot =
	R"({"fields":{},"source":"Gym A","sport":"","updated_at":""})";

// Answers every op with an echo, so a test can see what reached it.
QJsonObject echo(const QString &op, const QJsonObject &request)
{
	QJsonObject reply{{QStringLiteral("got"), op},
			  {QStringLiteral("keys"), request.keys().join(',')}};
	if (op == QLatin1String("refuse"))
		reply.insert(QStringLiteral("ok"), false);
	return reply;
}

std::unique_ptr<QTcpSocket> connectClient(const HostedServer &server)
{
	auto socket = std::make_unique<QTcpSocket>();
	socket->connectToHost(QHostAddress::LocalHost, server.serverPort());
	if (!socket->waitForConnected(3000))
		return nullptr;
	return socket;
}

// Reads `count` lines, running the event loop so the server can answer.
QList<QByteArray> readLines(QTcpSocket *socket, int count)
{
	QList<QByteArray> lines;
	while (lines.size() < count &&
	       QTest::qWaitFor([socket] { return socket->canReadLine(); },
			       5000))
		lines.append(socket->readLine());
	return lines;
}

QByteArray readLine(QTcpSocket *socket)
{
	const QList<QByteArray> lines = readLines(socket, 1);
	return lines.isEmpty() ? QByteArray() : lines.first().chopped(1);
}

// A realistic scoreboard state: 30 fields, about 1.2 KB on the wire.
QJsonObject state(int count)
{
	QJsonObject fields{{QStringLiteral("count"), count}};
	for (int i = 1; i < 30; ++i)
		fields.insert(QStringLiteral("stat_%1").arg(i),
			      QString(26, QLatin1Char('a' + i % 26)));
	return QJsonObject{{QStringLiteral("fields"), fields}};
}

int countOf(const QByteArray &line)
{
	const QJsonObject snapshot = QJsonDocument::fromJson(line).object();
	return snapshot.value(QLatin1String("fields"))
		.toObject()
		.value(QLatin1String("count"))
		.toString()
		.toInt();
}

} // namespace

class TestHostedServer : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void lineSplitting_data();
	void lineSplitting();
	void replies_data();
	void replies();
	void conversationOverSocket();
	void broadcastToEveryClientInOrder();
	void slowReaderIsDroppedAlone();
	void listenAddressRestartAndPortInUse();
};

void TestHostedServer::lineSplitting_data()
{
	QTest::addColumn<QByteArray>("bytes");
	QTest::addColumn<QList<QByteArray>>("lines");
	QTest::addColumn<QByteArray>("rest");

	QTest::newRow("no line feed")
		<< QByteArray("get") << QList<QByteArray>{}
		<< QByteArray("get");
	QTest::newRow("trimmed, empty skipped, tail kept")
		<< QByteArray(" get\r\n\n \t\nstatus\n{\"op\"")
		<< QList<QByteArray>{"get", "status"} << QByteArray("{\"op\"");
}

void TestHostedServer::lineSplitting()
{
	QFETCH(QByteArray, bytes);
	QFETCH(QList<QByteArray>, lines);
	QFETCH(QByteArray, rest);

	QByteArray whole = bytes;
	QCOMPARE(HostedServer::takeLines(&whole), lines);
	QCOMPARE(whole, rest);

	// Byte by byte, scanning only the new byte each time.
	QByteArray buffer;
	QList<QByteArray> got;
	for (char c : bytes) {
		const int scanFrom = int(buffer.size());
		buffer.append(c);
		got += HostedServer::takeLines(&buffer, scanFrom);
	}
	QCOMPARE(got, lines);
	QCOMPARE(buffer, rest);
}

void TestHostedServer::replies_data()
{
	QTest::addColumn<QByteArray>("line");
	QTest::addColumn<bool>("withHandler");
	QTest::addColumn<QByteArray>("reply");

	const QByteArray snapshot = R"({"fields":{"a":"1"},"sport":"hockey"})";
	QTest::newRow("get") << QByteArray("get") << true << snapshot;
	QTest::newRow("get object")
		<< QByteArray(R"({"op":"get","x":1})") << true << snapshot;
	QTest::newRow("get without handler")
		<< QByteArray("get") << false << snapshot;
	QTest::newRow("text op completed")
		<< QByteArray("status") << true
		<< QByteArray(
			   R"({"got":"status","keys":"","ok":true,"op":"status"})");
	QTest::newRow("handler's ok kept")
		<< QByteArray(R"({"op":"refuse","device":"d1"})") << true
		<< QByteArray(
			   R"({"got":"refuse","keys":"device,op","ok":false,"op":"refuse"})");
	QTest::newRow("object without op")
		<< QByteArray(R"({"device":"d1"})") << true
		<< QByteArray(
			   R"({"got":"","keys":"device","ok":true,"op":""})");
	QTest::newRow("no handler")
		<< QByteArray("status") << false
		<< QByteArray(R"({"error":"unavailable","ok":false})");
	QTest::newRow("broken json")
		<< QByteArray(R"({"op":"get")") << true
		<< QByteArray(R"({"error":"invalid_json","ok":false})");
}

void TestHostedServer::replies()
{
	QFETCH(QByteArray, line);
	QFETCH(bool, withHandler);
	QFETCH(QByteArray, reply);

	const QJsonObject snapshot =
		QJsonDocument::fromJson(
			R"({"fields":{"a":"1"},"sport":"hockey"})")
			.object();
	const QByteArray got = HostedServer::encodeLine(HostedServer::replyFor(
		line, snapshot,
		withHandler ? HostedServer::CommandHandler(echo) : nullptr));
	QCOMPARE(got, reply + '\n');
}

// The wiring between socket and protocol: snapshot on connect before any
// data, replies in order for lines sharing a packet, a connection that
// survives bad JSON but not endless input.
void TestHostedServer::conversationOverSocket()
{
	LiveData live;
	live.setSourceLabel(QStringLiteral("Gym A"));
	HostedServer server(&live);
	QVERIFY(server.start(0, false));
	auto client = connectClient(server);
	QVERIFY(client);
	QCOMPARE(readLine(client.get()), kEmptySnapshot);

	server.setCommandHandler(echo);
	client->write("{nope\n\n  GET  \r\nget\n");
	QCOMPARE(readLine(client.get()),
		 QByteArray(R"({"error":"invalid_json","ok":false})"));
	QCOMPARE(readLine(client.get()),
		 QByteArray(R"({"got":"GET","keys":"","ok":true,"op":"GET"})"));
	QCOMPARE(readLine(client.get()), kEmptySnapshot);

	// Just under the input limit, arriving in several reads, is one
	// command; past it without a line feed ends the connection.
	client->write(R"({"op":"big","pad":")" + QByteArray(60000, 'x') +
		      "\"}\n");
	QCOMPARE(
		readLine(client.get()),
		QByteArray(
			R"({"got":"big","keys":"op,pad","ok":true,"op":"big"})"));
	QCOMPARE(server.clientCount(), 1);
	// Many complete commands sent at once are all served, whatever their
	// total size: the limit is on a line that has not ended, and replies
	// far beyond the output limit, queued in one pass, are not a lagging
	// client.
	live.ingest(state(1));
	const QByteArray current = readLine(client.get());
	QCOMPARE(countOf(current), 1);
	QByteArray burst;
	for (int i = 0; i < 5000; ++i)
		burst += "get\n";
	burst += "status\n";
	client->write(burst);
	for (int i = 0; i < 5000; ++i)
		QCOMPARE(readLine(client.get()), current);
	QCOMPARE(
		readLine(client.get()),
		QByteArray(
			R"({"got":"status","keys":"","ok":true,"op":"status"})"));
	QCOMPARE(server.clientCount(), 1);
	client->write(QByteArray(70000, 'x'));
	QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
	QTRY_COMPARE(server.clientCount(), 0);
}

void TestHostedServer::broadcastToEveryClientInOrder()
{
	LiveData live;
	HostedServer server(&live);
	QSignalSpy counts(&server, &HostedServer::clientsChanged);
	QVERIFY(server.start(0, false));
	QVERIFY(counts.count() == 1 && counts.takeFirst().at(0).toInt() == 0);

	std::vector<std::unique_ptr<QTcpSocket>> clients;
	for (int i = 0; i < 3; ++i) {
		clients.push_back(connectClient(server));
		QVERIFY(clients.back());
		QVERIFY(readLines(clients.back().get(), 1).size() == 1);
	}
	QCOMPARE(counts.count(), 3);
	for (int i = 0; i < 3; ++i)
		QCOMPARE(counts.at(i).at(0).toInt(), i + 1);

	// Changes back to back, without the event loop running in between,
	// and a heartbeat that changes nothing and sends nothing.
	for (int seq = 1; seq <= 5; ++seq)
		live.ingest(QJsonObject{
			{QStringLiteral("fields"),
			 QJsonObject{{QStringLiteral("count"), seq}}}});
	live.ingest(QJsonObject{
		{QStringLiteral("type"), QStringLiteral("heartbeat")}});
	live.ingest(QJsonObject{{QStringLiteral("fields"),
				 QJsonObject{{QStringLiteral("count"), 6}}}});
	for (auto &client : clients) {
		const QList<QByteArray> lines = readLines(client.get(), 6);
		QCOMPARE(lines.size(), 6);
		for (int i = 0; i < 6; ++i)
			QCOMPARE(countOf(lines.at(i)), i + 1);
	}

	// A burst of full-size states in one pass is more than the output
	// limit: clients that read fall behind for a moment, are not dropped,
	// and end on the final state, never going back.
	for (int seq = 7; seq <= 2006; ++seq)
		live.ingest(state(seq));
	for (auto &client : clients) {
		int last = 6;
		while (last < 2006) {
			const int count = countOf(readLine(client.get()));
			QVERIFY2(count > last,
				 qPrintable(QString::number(count)));
			last = count;
		}
	}
	QCOMPARE(server.clientCount(), 3);
	// Caught up, they get the next change, and nothing older before it.
	live.ingest(state(2007));
	for (auto &client : clients)
		QCOMPARE(countOf(readLine(client.get())), 2007);

	clients.front()->disconnectFromHost();
	QTRY_COMPARE(server.clientCount(), 2);
	QCOMPARE(counts.last().at(0).toInt(), 2);
}

// One client that never reads must not hold up the others, nor make the
// server queue its output without bound; it is dropped once its backlog has
// stayed over the limit for the stall interval.
void TestHostedServer::slowReaderIsDroppedAlone()
{
	LiveData live;
	HostedServer server(&live);
	server.setTimings({500});
	QVERIFY(server.start(0, false));

	const int slow = ::socket(AF_INET, SOCK_STREAM, 0);
	QVERIFY(slow >= 0);
	const int small = 4096;
	::setsockopt(slow, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(server.serverPort());
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	QCOMPARE(::connect(slow, reinterpret_cast<sockaddr *>(&address),
			   sizeof(address)),
		 0);
	auto fast = connectClient(server);
	QVERIFY(fast);
	QTRY_COMPARE(server.clientCount(), 2);
	readLine(fast.get());

	// 64 KiB snapshots until the slow client is dropped: once the kernel's
	// buffers are full it lags, its unsent output stays within the limit
	// and one line, though it keeps asking for more, and the fast client
	// misses nothing meanwhile.
	const QString pad(64 * 1024, QLatin1Char('x'));
	const qint64 bound =
		HostedServer::kMaxPendingOutput + pad.size() + 1024;
	QElapsedTimer flooding;
	flooding.start();
	int seq = 0;
	bool lagged = false;
	while (server.clientCount() == 2 && flooding.elapsed() < 30000) {
		++seq;
		live.ingest(QJsonObject{
			{QStringLiteral("fields"),
			 QJsonObject{{QStringLiteral("count"), seq},
				     {QStringLiteral("pad"), pad}}}});
		::send(slow, "get\nget\n", 8, MSG_DONTWAIT | MSG_NOSIGNAL);
		QCOMPARE(countOf(readLine(fast.get())), seq);
		for (const QTcpSocket *socket :
		     server.findChildren<QTcpSocket *>()) {
			const qint64 backlog = socket->bytesToWrite();
			QVERIFY2(backlog <= bound,
				 qPrintable(QString::number(backlog)));
			lagged |= backlog > HostedServer::kMaxPendingOutput;
		}
	}
	::close(slow);
	QCOMPARE(server.clientCount(), 1);
	QVERIFY(lagged);
	QVERIFY(flooding.elapsed() >= 500);

	live.ingest(
		QJsonObject{{QStringLiteral("fields"),
			     QJsonObject{{QStringLiteral("count"), seq + 1}}}});
	QCOMPARE(countOf(readLine(fast.get())), seq + 1);
}

void TestHostedServer::listenAddressRestartAndPortInUse()
{
	LiveData live;
	HostedServer server(&live);
	QVERIFY(!server.isListening());
	QVERIFY(server.start(0, false));
	QCOMPARE(server.serverAddress(), QHostAddress(QHostAddress::LocalHost));
	const quint16 port = server.serverPort();

	HostedServer other(&live);
	QString error = QStringLiteral("untouched");
	QVERIFY(!other.start(port, false, &error));
	QVERIFY(!other.isListening());
	const QString head =
		QStringLiteral("Could not listen on port %1: ").arg(port);
	QVERIFY2(error.startsWith(head) && error.size() > head.size(),
		 qPrintable(error));

	auto client = connectClient(server);
	QVERIFY(client);
	QTRY_COMPARE(server.clientCount(), 1);
	QSignalSpy counts(&server, &HostedServer::clientsChanged);
	QVERIFY(server.start(0, true));
	QCOMPARE(server.clientCount(), 0);
	QCOMPARE(counts.count(), 1);
	QCOMPARE(counts.first().at(0).toInt(), 0);
	QCOMPARE(server.serverAddress(), QHostAddress(QHostAddress::Any));
	QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);

	server.stop();
	QVERIFY(!server.isListening());
}

QTEST_GUILESS_MAIN(TestHostedServer)
#include "tst_hosted_server.moc"
