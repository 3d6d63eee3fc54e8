#include "live/live_data.h"
#include "server/hosted_server.h"
#include "server/web_feed.h"

#include <QJsonDocument>
#include <QTcpSocket>
#include <QWebSocket>
#include <QtTest>

#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using quillmarch::HostedServer;
using quillmarch::LiveData;
using quillmarch::WebFeed;

namespace {

// A WebSocket client that keeps every text message it gets.
struct Client {
	QWebSocket socket;
	QStringList messages;

	explicit Client(quint16 port, const QString &path = "/live")
	{
		QObject::connect(&socket, &QWebSocket::textMessageReceived,
				 &socket, [this](const QString &message) {
					 messages << message;
				 });
		socket.open(QUrl(
			QString("ws://127.0.0.1:%1%2").arg(port).arg(path)));
	}
	// The index-th message since connecting, waiting for it.
	QString at(int index)
	{
		return QTest::qWaitFor([&] { return messages.size() > index; },
				       5000)
			       ? messages.at(index)
			       : QString();
	}
};

// Sends raw bytes and returns all that comes back before the server closes
// the connection; empty when it does not close it.
QByteArray exchange(quint16 port, const QByteArray &request)
{
	QTcpSocket socket;
	socket.connectToHost(QHostAddress::LocalHost, port);
	if (!socket.waitForConnected(3000))
		return {};
	socket.write(request);
	QByteArray answer;
	const bool closed = QTest::qWaitFor(
		[&] {
			answer += socket.readAll();
			return socket.state() ==
			       QAbstractSocket::UnconnectedState;
		},
		5000);
	return closed ? answer + socket.readAll() : QByteArray();
}

QByteArray readLine(QTcpSocket *socket)
{
	return QTest::qWaitFor([socket] { return socket->canReadLine(); }, 5000)
		       ? socket->readLine().chopped(1)
		       : QByteArray();
}

QJsonObject state(int count, const QString &pad = {})
{
	return {{"fields", QJsonObject{{"count", count}, {"pad", pad}}}};
}

int countOf(const QString &message)
{
	return QJsonDocument::fromJson(message.toUtf8())["fields"]["count"]
		.toString()
		.toInt();
}

} // namespace

class TestWebFeed : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void browserReadsWhatTheDataServerSends();
	void misbehavingConnectionsEndAlone();
	void nonReaderIsBoundedAndDropped();
};

// A page follows the scores over the WebSocket and reads /live.json, and
// both carry the very objects of the data server's lines.
void TestWebFeed::browserReadsWhatTheDataServerSends()
{
	LiveData live;
	live.setSourceLabel("Gym A");
	HostedServer tcp(&live);
	WebFeed feed(&live);
	QVERIFY(tcp.start(0, false));
	QVERIFY(feed.start(0, false));
	QCOMPARE(feed.serverAddress(), QHostAddress(QHostAddress::LocalHost));
	const quint16 port = feed.serverPort();

	QTcpSocket line;
	line.connectToHost(QHostAddress::LocalHost, tcp.serverPort());
	Client page(port);
	QCOMPARE(page.at(0), QString::fromUtf8(readLine(&line)));
	QCOMPARE(feed.clientCount(), 1);

	// Changes back to back arrive one message each, in order.
	for (int seq = 1; seq <= 5; ++seq)
		live.ingest(state(seq));
	for (int seq = 1; seq <= 5; ++seq) {
		QCOMPARE(page.at(seq), QString::fromUtf8(readLine(&line)));
		QCOMPARE(countOf(page.messages.at(seq)), seq);
	}
	// Anything but "get" is ignored: the next change follows the answer.
	page.socket.sendTextMessage("status");
	page.socket.sendTextMessage("get");
	QCOMPARE(page.at(6), page.messages.at(5));
	live.ingest(state(6));
	QCOMPARE(page.at(7), QString::fromUtf8(readLine(&line)));
	QCOMPARE(countOf(page.messages.at(7)), 6);

	// A page opened from a file reads the snapshot; the query a page adds
	// to dodge caches is ignored.
	line.write("get\n");
	const QByteArray current = readLine(&line);
	const QByteArray got = exchange(
		port, "GET /live.json?t=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
		      "Origin: null\r\n\r\n");
	QVERIFY2(got.startsWith("HTTP/1.1 200 OK\r\n"), got.constData());
	const QByteArray head = got.left(got.indexOf("\r\n\r\n") + 2);
	for (const char *header :
	     {"Content-Type: application/json", "Cache-Control: no-store",
	      "Access-Control-Allow-Origin: *", "Connection: close"})
		QVERIFY2(head.contains(QByteArray("\r\n") + header + "\r\n"),
			 header);
	QCOMPARE(got.mid(head.size() + 2), current);

	const QByteArray preflight =
		exchange(port, "OPTIONS /live.json HTTP/1.1\r\nOrigin: null\r\n"
			       "Access-Control-Request-Method: GET\r\n\r\n");
	QVERIFY2(preflight.startsWith("HTTP/1.1 204 No Content\r\n"),
		 preflight.constData());
	QVERIFY(preflight.contains("\r\nAccess-Control-Allow-Origin: *\r\n"));
	QVERIFY(preflight.contains(
		"\r\nAccess-Control-Allow-Methods: GET, OPTIONS\r\n"));
	QVERIFY(preflight.endsWith("\r\n\r\n"));

	QVERIFY(exchange(port, "GET /score HTTP/1.1\r\n\r\n")
			.startsWith("HTTP/1.1 404 "));
	QVERIFY(exchange(port, "POST /live.json HTTP/1.0\r\n\r\n")
			.startsWith("HTTP/1.1 405 "));
	// A WebSocket elsewhere than /live is refused before the upgrade.
	Client astray(port, "/other");
	QTRY_COMPARE(astray.socket.state(), QAbstractSocket::UnconnectedState);
	QVERIFY(astray.messages.isEmpty());
	QCOMPARE(feed.clientCount(), 1);

	// Allowed onto the network, it restarts on every interface and the
	// page has to come back.
	QVERIFY(feed.start(0, true));
	QCOMPARE(feed.serverAddress(), QHostAddress(QHostAddress::Any));
	QCOMPARE(feed.clientCount(), 0);
	QTRY_COMPARE(page.socket.state(), QAbstractSocket::UnconnectedState);
	Client again(feed.serverPort());
	QCOMPARE(again.at(0), QString::fromUtf8(current));

	// A port in use is refused with a sentence.
	WebFeed second(&live);
	QVERIFY(!second.start(feed.serverPort(), false));
	QVERIFY2(second.errorString().startsWith(
			 QString("Could not open the browser feed on port %1: ")
				 .arg(feed.serverPort())),
		 qPrintable(second.errorString()));
	QVERIFY(!second.start(65536, false));
	QVERIFY(!second.isListening());
}

// Garbage, an endless head, a head that never ends and an oversized frame
// each end their own connection; a page beside them misses nothing.
void TestWebFeed::misbehavingConnectionsEndAlone()
{
	LiveData live;
	WebFeed feed(&live);
	feed.setTimings({10000, 300});
	QVERIFY(feed.start(0, false));
	const quint16 port = feed.serverPort();
	Client page(port);
	QVERIFY(!page.at(0).isEmpty());

	QVERIFY(exchange(port, "hello there\r\n\r\n")
			.startsWith("HTTP/1.1 400 "));
	// A head at the limit is served; one past it is not.
	const QByteArray request = "GET /live.json HTTP/1.1\r\nX-Pad: ";
	const QByteArray padded =
		request +
		QByteArray(WebFeed::kMaxHead - request.size() - 4, 'p') +
		"\r\n\r\n";
	QVERIFY(exchange(port, padded).startsWith("HTTP/1.1 200 OK"));
	QTcpSocket endless;
	endless.connectToHost(QHostAddress::LocalHost, port);
	endless.write(padded.left(padded.size() - 4) + 'p');
	QTRY_COMPARE(endless.state(), QAbstractSocket::UnconnectedState);
	QTcpSocket unfinished;
	unfinished.connectToHost(QHostAddress::LocalHost, port);
	unfinished.write("GET /live.json HTTP/1.1\r\n");
	QTRY_COMPARE(unfinished.state(), QAbstractSocket::UnconnectedState);

	Client big(port);
	QVERIFY(!big.at(0).isEmpty());
	QCOMPARE(feed.clientCount(), 2);
	big.socket.sendTextMessage(QString(WebFeed::kMaxIncoming + 1, 'x'));
	QTRY_COMPARE(big.socket.state(), QAbstractSocket::UnconnectedState);
	QCOMPARE(big.socket.closeCode(),
		 QWebSocketProtocol::CloseCodeTooMuchData);
	QTRY_COMPARE(feed.clientCount(), 1);

	live.ingest(state(1));
	QCOMPARE(countOf(page.at(1)), 1);
	QCOMPARE(page.messages.size(), 2);
	QCOMPARE(page.socket.state(), QAbstractSocket::ConnectedState);
}

// A page that stops reading must not hold up the others, nor make the feed
// queue output without bound; it is dropped once its backlog has stayed
// over the limit for the stall interval.
void TestWebFeed::nonReaderIsBoundedAndDropped()
{
	LiveData live;
	WebFeed feed(&live);
	feed.setTimings({500, 5000});
	QVERIFY(feed.start(0, false));

	const int stuck = ::socket(AF_INET, SOCK_STREAM, 0);
	QVERIFY(stuck >= 0);
	const int small = 4096;
	::setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(feed.serverPort());
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	QCOMPARE(::connect(stuck, reinterpret_cast<sockaddr *>(&address),
			   sizeof(address)),
		 0);
	const QByteArray upgrade =
		"GET /live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
		"Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
		"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
	QCOMPARE(::send(stuck, upgrade.constData(), size_t(upgrade.size()), 0),
		 ssize_t(upgrade.size()));
	Client page(feed.serverPort());
	QVERIFY(!page.at(0).isEmpty());
	QTRY_COMPARE(feed.clientCount(), 2);

	// 64 KiB snapshots until the stuck page is dropped: its unsent output
	// stays within the limit and one message, and the reading page gets
	// every one meanwhile.
	const QString pad(64 * 1024, QLatin1Char('x'));
	const qint64 bound = WebFeed::kMaxPendingOutput + pad.size() + 1024;
	QElapsedTimer flooding;
	flooding.start();
	int seq = 0;
	bool lagged = false;
	while (feed.clientCount() == 2 && flooding.elapsed() < 30000) {
		live.ingest(state(++seq, pad));
		QCOMPARE(countOf(page.at(seq)), seq);
		for (const QWebSocket *socket :
		     feed.findChildren<QWebSocket *>()) {
			const qint64 backlog = socket->bytesToWrite();
			QVERIFY2(backlog <= bound,
				 qPrintable(QString::number(backlog)));
			lagged |= backlog > WebFeed::kMaxPendingOutput;
		}
	}
	::close(stuck);
	QCOMPARE(feed.clientCount(), 1);
	QVERIFY(lagged);
	QVERIFY(flooding.elapsed() >= 500);
	live.ingest(state(seq + 1));
	QCOMPARE(countOf(page.at(seq + 1)), seq + 1);
}

QTEST_GUILESS_MAIN(TestWebFeed)
#include "tst_web_feed.moc"
