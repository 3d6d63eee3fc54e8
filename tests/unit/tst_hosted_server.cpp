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
	QJsonObject reply{{"got", op}, {"keys", request.keys().join(',')}};
	if (op == "refuse")
		reply.insert("ok", false);
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

// Reads `count` lines without their line feeds, running the event loop so
// the server can answer.
QList<QByteArray> readLines(QTcpSocket *socket, int count)
{
	QList<QByteArray> lines;
	while (lines.size() < count &&
	       QTest::qWaitFor([socket] { return socket->canReadLine(); },
			       5000))
		lines.append(socket->readLine().chopped(1));
	return lines;
}

QByteArray readLine(QTcpSocket *socket)
{
	return readLines(socket, 1).value(0);
}

// A scoreboard state with the given count; `size` other fields of 26
// characters (30 fields are about 1.2 KB on the wire).
QJsonObject state(int count, int size = 29)
{
	QJsonObject fields{{"count", count}};
	for (int i = 1; i <= size; ++i)
		fields.insert(QString("stat_%1").arg(i),
			      QString(26, QLatin1Char('a' + i % 26)));
	return QJsonObject{{"fields", fields}};
}

int countOf(const QByteArray &line)
{
	return QJsonDocument::fromJson(line)["fields"]["count"]
		.toString()
		.toInt();
}

} // namespace

class TestHostedServer : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void conversationOverSocket();
	void broadcastToEveryClientInOrder();
	void slowReaderIsDroppedAlone();
};

// The protocol as a client sees it: the snapshot on connect before any
// data, replies in order for lines sharing a packet, a connection that
// survives bad JSON but not endless input. (The fuzz target checks that
// however the bytes are cut they give the same trimmed lines.)
void TestHostedServer::conversationOverSocket()
{
	LiveData live;
	live.setSourceLabel("Gym A");
	HostedServer server(&live);
	QVERIFY(server.start(0, false));
	auto client = connectClient(server);
	QVERIFY(client);
	QCOMPARE(readLine(client.get()), kEmptySnapshot);

	// Without a command handler only "get" is served.
	client->write("status\n{\"op\":\"get\",\"x\":1}\n");
	QCOMPARE(readLines(client.get(), 2),
		 (QList<QByteArray>{R"({"error":"unavailable","ok":false})",
				    kEmptySnapshot}));

	server.setCommandHandler(echo);
	client->write("{nope\n\n  GET  \r\nget\n{\"op\":\"refuse\",\"device\":"
		      "\"d1\"}\n{\"device\":\"d1\"}\n");
	QCOMPARE(
		readLines(client.get(), 5),
		(QList<QByteArray>{
			R"({"error":"invalid_json","ok":false})",
			R"({"got":"GET","keys":"","ok":true,"op":"GET"})",
			kEmptySnapshot,
			R"({"got":"refuse","keys":"device,op","ok":false,"op":"refuse"})",
			R"({"got":"","keys":"device","ok":true,"op":""})"}));

	// Just under the input limit, arriving in several reads, is one
	// command; past it without a line feed ends the connection.
	client->write(R"({"op":"big","pad":")" + QByteArray(60000, 'x') +
		      "\"}\n");
	QCOMPARE(readLine(client.get()),
		 R"({"got":"big","keys":"op,pad","ok":true,"op":"big"})");
	// Many complete commands sent at once are all served, whatever their
	// total size: the limit is on a line that has not ended, and replies
	// far beyond the output limit, queued in one pass, are not a lagging
	// client.
	live.ingest(state(1));
	const QByteArray current = readLine(client.get());
	QCOMPARE(countOf(current), 1);
	client->write(QByteArray("get\n").repeated(5000) + "status\n");
	for (int i = 0; i < 5000; ++i)
		QCOMPARE(readLine(client.get()), current);
	QCOMPARE(readLine(client.get()),
		 R"({"got":"status","keys":"","ok":true,"op":"status"})");
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
	std::vector<std::unique_ptr<QTcpSocket>> clients;
	for (int i = 0; i < 3; ++i) {
		clients.push_back(connectClient(server));
		QVERIFY(clients.back() &&
			!readLine(clients.back().get()).isEmpty());
	}
	QList<int> seen;
	for (const QList<QVariant> &args : counts)
		seen << args.at(0).toInt();
	QCOMPARE(seen, (QList<int>{0, 1, 2, 3}));

	// Changes back to back, without the event loop running in between,
	// and a heartbeat that changes nothing and sends nothing.
	for (int seq = 1; seq <= 5; ++seq)
		live.ingest(state(seq, 0));
	live.ingest({{"type", "heartbeat"}});
	live.ingest(state(6, 0));
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
		for (int last = 6, count = 0; last < 2006; last = count) {
			count = countOf(readLine(client.get()));
			QVERIFY2(count > last,
				 qPrintable(QString::number(count)));
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

	// A restart on every interface drops the others at once. (A port in
	// use is refused with a sentence: the App suite checks it.)
	QCOMPARE(server.serverAddress(), QHostAddress(QHostAddress::LocalHost));
	QVERIFY(server.start(0, true));
	QCOMPARE(server.serverAddress(), QHostAddress(QHostAddress::Any));
	QCOMPARE(server.clientCount(), 0);
	QCOMPARE(counts.size(), 6);
	QCOMPARE(counts.last().at(0).toInt(), 0);
	QTRY_COMPARE(clients.back()->state(),
		     QAbstractSocket::UnconnectedState);
	server.stop();
	QVERIFY(!server.isListening());
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
		live.ingest({{"fields",
			      QJsonObject{{"count", seq}, {"pad", pad}}}});
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

	live.ingest(state(seq + 1, 0));
	QCOMPARE(countOf(readLine(fast.get())), seq + 1);
}

QTEST_GUILESS_MAIN(TestHostedServer)
#include "tst_hosted_server.moc"
