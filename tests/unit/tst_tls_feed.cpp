#include "lan/tls_feed.h"

#include "support/fake_tls_feed_server.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

#if defined(Q_OS_UNIX)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

using namespace quillmarch;
using quillmarch::test::FakeTlsFeedServer;

namespace {

const QByteArray kAuthOk = "{\"type\":\"auth_ok\"}\n";
const QString kRejected = QStringLiteral(
	"The device rejected the connection. Re-run device setup to refresh its access.");
const QString kAuthFailed =
	QStringLiteral("The device rejected the connection.");
const QString kTimedOut = QStringLiteral(
	"The device did not answer in time. Check that it is switched on and "
	"that the address belongs to a Quillmarch device.");

std::unique_ptr<FakeTlsFeedServer> startServer()
{
	auto server =
		std::make_unique<FakeTlsFeedServer>(QUILLMARCH_TLS_TEST_DATA);
	if (!server->hasIdentity() || !server->start())
		return nullptr;
	return server;
}

bool isUnreachableText(const QString &text)
{
	static const QString head =
		QStringLiteral("Could not reach the device on your network (");
	return text.startsWith(head) && text.endsWith(QLatin1String(").")) &&
	       text.size() > head.size() + 2;
}

// A feed with short delays, its signals, and the server it talks to.
struct Rig {
	std::unique_ptr<FakeTlsFeedServer> server = startServer();
	TlsFeed feed;
	QSignalSpy connected{&feed, &TlsFeed::connectedChanged};
	QSignalSpy envelopes{&feed, &TlsFeed::envelope};

	explicit Rig(int baseMs = 30, int capMs = 60)
	{
		feed.setBackoff(baseMs, capMs);
	}
	void connect(const QString &token = QStringLiteral("t"))
	{
		feed.connectTo(QStringLiteral("127.0.0.1"), server->port(),
			       token);
	}
	// Whether the i-th connectedChanged said connected, and its reason.
	bool up(int i) const { return connected.at(i).at(0).toBool(); }
	QString reason(int i) const { return connected.at(i).at(1).toString(); }
};

// The delay of each retry the feed scheduled, in order.
QList<int> delaysOf(const QSignalSpy &retries)
{
	QList<int> out;
	for (const QList<QVariant> &args : retries)
		out.append(args.at(0).toInt());
	return out;
}

QByteArray compact(const QJsonObject &o)
{
	return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace

class TstTlsFeed : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase();
	void lineSplitting_data();
	void lineSplitting();
	void authLineAndStream();
	void rejectionBeforeAuth_data();
	void rejectionBeforeAuth();
	void authFailAfterAuth();
	void endlessLineIsDropped();
	void droppedConnectionBacksOff();
	void refusedAttemptsBackOff();
	void silentDeviceTimesOut();
	void stopAndRestart();
};

void TstTlsFeed::initTestCase()
{
	QVERIFY2(QSslSocket::supportsSsl(), "Qt has no TLS backend here");
	QVERIFY2(startServer(), "test certificate or listen failed");
}

// Each chunk is one read; "out" is what that read yields, as compact JSON
// joined by spaces.
void TstTlsFeed::lineSplitting_data()
{
	QTest::addColumn<QList<QByteArray>>("chunks");
	QTest::addColumn<QList<QByteArray>>("out");
	QTest::addColumn<QByteArray>("pending");

	QTest::newRow("line split over reads")
		<< QList<QByteArray>{"{\"a\":", "1}", "\n"}
		<< QList<QByteArray>{"", "", "{\"a\":1}"} << QByteArray();
	QTest::newRow("CR LF and white space, CR and LF apart")
		<< QList<QByteArray>{" \t\f{\"a\":1} \v \r\n {\"b\":2}\r", "\n"}
		<< QList<QByteArray>{"{\"a\":1}", "{\"b\":2}"} << QByteArray();
	QTest::newRow("non-objects skipped")
		<< QList<QByteArray>{"[1]\n42\n\"s\"\nnope\n{\"a\":\n\n \r\n"
				     "{\"ok\":true}\n"}
		<< QList<QByteArray>{"{\"ok\":true}"} << QByteArray();
	QTest::newRow("a lone CR ends nothing")
		<< QList<QByteArray>{"{\"a\":1}\r{\"b\":2}\n"}
		<< QList<QByteArray>{""} << QByteArray();
	QTest::newRow("unfinished line stays buffered")
		<< QList<QByteArray>{"{\"a\":1}\n{\"b\"", ":2}"}
		<< QList<QByteArray>{"{\"a\":1}", ""}
		<< QByteArray("{\"b\":2}");
}

void TstTlsFeed::lineSplitting()
{
	QFETCH(QList<QByteArray>, chunks);
	QFETCH(QList<QByteArray>, out);
	QFETCH(QByteArray, pending);

	FeedLineSplitter splitter;
	for (int i = 0; i < chunks.size(); ++i) {
		splitter.append(chunks.at(i));
		QList<QByteArray> got;
		QJsonObject o;
		while (splitter.next(&o))
			got.append(compact(o));
		QCOMPARE(got.join(' '), out.at(i));
	}
	QCOMPARE(splitter.pending(), pending);
}

// What the feed writes, and what it makes of a real TLS stream.
void TstTlsFeed::authLineAndStream()
{
	Rig rig;
	QVERIFY(rig.server);
	// Lines that are not objects are skipped before the acceptance too.
	rig.server->setAuthReply("\r\n[\"x\"]\n" + kAuthOk);

	rig.connect(QString::fromUtf8("a\"b\\c/\xc3\xa9"));
	QTRY_COMPARE(rig.connected.count(), 1);
	QCOMPARE(rig.up(0), true);
	QCOMPARE(rig.reason(0), QString());
	QVERIFY(rig.feed.isAuthenticated());
	QCOMPARE(rig.server->authLines(),
		 QList<QByteArray>{"{\"token\":\"a\\\"b\\\\c/\xc3\xa9\","
				   "\"type\":\"auth\"}\r\n"});

	// A line cut across writes is handled once, when its line feed
	// arrives. The waits only give a wrong early envelope time to show.
	rig.server->send("{\"type\":\"state\",\"home");
	QTest::qWait(30);
	rig.server->send("_score\":3}\r");
	QTest::qWait(30);
	QCOMPARE(rig.envelopes.count(), 0);
	rig.server->send("\n[1]\n{\"type\":\"heartbeat\"}\n");
	QTRY_COMPARE(rig.envelopes.count(), 2);
	QCOMPARE(compact(rig.envelopes.at(0).at(0).toJsonObject()),
		 QByteArray("{\"home_score\":3,\"type\":\"state\"}"));
	QCOMPARE(compact(rig.envelopes.at(1).at(0).toJsonObject()),
		 QByteArray("{\"type\":\"heartbeat\"}"));
	QCOMPARE(rig.connected.count(), 1);
	// The auth line is all the feed ever sends.
	QCOMPARE(rig.server->extraBytes(), QByteArray());
}

void TstTlsFeed::rejectionBeforeAuth_data()
{
	QTest::addColumn<QByteArray>("reply");
	QTest::newRow("envelope first")
		<< QByteArray("{\"type\":\"state\",\"home_score\":1}\n");
	QTest::newRow("auth_fail first")
		<< QByteArray("{\"type\":\"auth_fail\"}\r\n");
	// Reading stops at the refusal: nothing after it counts.
	QTest::newRow("acceptance too late") << QByteArray(
		"{\"home_score\":1}\n" + kAuthOk + "{\"home_score\":2}\n");
}

void TstTlsFeed::rejectionBeforeAuth()
{
	QFETCH(QByteArray, reply);
	Rig rig(20, 40);
	QVERIFY(rig.server);
	rig.server->setAuthReply(reply);

	rig.connect(QStringLiteral("old-token"));
	QTRY_COMPARE(rig.connected.count(), 1);
	QCOMPARE(rig.up(0), false);
	QCOMPARE(rig.reason(0), kRejected);
	QCOMPARE(rig.feed.lastError(), kRejected);
	QVERIFY(!rig.feed.isRunning());
	QVERIFY(!rig.feed.isReconnectScheduled());
	QTRY_COMPARE(rig.server->connectedClients(), 0);

	// No retry: the token would only be refused again. Several base
	// delays pass without a second attempt.
	QTest::qWait(150);
	QCOMPARE(rig.server->acceptTimes().size(), 1);
	QCOMPARE(rig.connected.count(), 1);
	QCOMPARE(rig.envelopes.count(), 0);
}

void TstTlsFeed::authFailAfterAuth()
{
	Rig rig;
	QVERIFY(rig.server);
	rig.connect();
	QTRY_COMPARE(rig.connected.count(), 1);

	// The connection stays up and later envelopes still count; the
	// reason waits for the device to hang up.
	rig.server->send("{\"type\":\"auth_fail\"}\n{\"home_score\":4}\n");
	QTRY_COMPARE(rig.envelopes.count(), 1);
	QCOMPARE(rig.envelopes.at(0).at(0).toJsonObject().value("home_score"),
		 QJsonValue(4));
	QCOMPARE(rig.feed.lastError(), kAuthFailed);
	QVERIFY(rig.feed.isAuthenticated());
	QCOMPARE(rig.connected.count(), 1);

	rig.server->closeClients();
	QTRY_COMPARE(rig.connected.count(), 2);
	QCOMPARE(rig.up(1), false);
	QCOMPARE(rig.reason(1), kAuthFailed);
	// Unlike a refusal at the start, this one is retried, and a new
	// acceptance clears the reason.
	QTRY_COMPARE(rig.connected.count(), 3);
	QCOMPARE(rig.up(2), true);
	QCOMPARE(rig.server->authLines().size(), 2);
	QCOMPARE(rig.feed.lastError(), QString());
}

// A peer that never ends its line must not grow memory without bound: the
// connection is dropped with a sentence, and retried like any other loss.
void TstTlsFeed::endlessLineIsDropped()
{
	Rig rig;
	QVERIFY(rig.server);
	rig.connect();
	QTRY_COMPARE(rig.connected.count(), 1);

	const QByteArray chunk(64 * 1024, 'x');
	for (int i = 0; i < 17; ++i)
		rig.server->send(chunk);
	// Retried after the short backoff: dropped, then accepted again.
	QTRY_VERIFY_WITH_TIMEOUT(rig.connected.count() >= 3, 10000);
	QCOMPARE(rig.up(1), false);
	QVERIFY(rig.reason(1).startsWith(
		"The device sent data that is not a live update."));
	QCOMPARE(rig.up(2), true);
}

// The delays the feed chooses, with every attempt after the drop hung up on
// at once.
void TstTlsFeed::droppedConnectionBacksOff()
{
	constexpr int base = 100;
	constexpr int cap = 600;
	Rig rig(base, cap);
	QVERIFY(rig.server);
	QSignalSpy retries(&rig.feed, &TlsFeed::retryScheduled);
	rig.connect();
	QTRY_COMPARE(rig.connected.count(), 1);

	rig.server->setHangUpOnAccept(true);
	const qint64 droppedAt = rig.server->now();
	rig.server->closeClients();
	QTRY_COMPARE(rig.connected.count(), 2);
	QCOMPARE(rig.up(1), false);
	QVERIFY2(isUnreachableText(rig.reason(1)), qPrintable(rig.reason(1)));

	const QList<int> delays{base, 2 * base, 4 * base, cap, cap};
	QTRY_VERIFY_WITH_TIMEOUT(
		rig.server->acceptTimes().size() >= 1 + delays.size(), 10000);
	rig.server->setHangUpOnAccept(false);
	QCOMPARE(delaysOf(retries).mid(0, delays.size()), delays);
	// Each attempt follows the failure of the one before, which the
	// server caused, so however busy the machine the server sees gaps at
	// least as long as the delays (to its clock's millisecond).
	QList<qint64> times = rig.server->acceptTimes().mid(1, delays.size());
	times.prepend(droppedAt);
	for (int i = 0; i < delays.size(); ++i) {
		const qint64 gap = times.at(i + 1) - times.at(i);
		QVERIFY2(gap >= delays.at(i) - 1,
			 qPrintable(QStringLiteral("attempt %1 after %2 ms, "
						   "expected %3 ms")
					    .arg(i + 1)
					    .arg(gap)
					    .arg(delays.at(i))));
	}
	// Failed attempts of a connection that never came up say nothing.
	QCOMPARE(rig.connected.count(), 2);

	// A new acceptance starts the delays over.
	QTRY_COMPARE_WITH_TIMEOUT(rig.connected.count(), 3, 5000);
	QCOMPARE(rig.feed.backoffMs(), base);
	retries.clear();
	rig.server->closeClients();
	QTRY_COMPARE(rig.connected.count(), 4);
	QCOMPARE(delaysOf(retries), QList<int>{base});
}

// Nothing listens: the attempts fail before a connection exists, which is
// a different path through the socket than a hang-up.
void TstTlsFeed::refusedAttemptsBackOff()
{
	constexpr int base = 40;
	constexpr int cap = 200;
	Rig rig(base, cap);
	QVERIFY(rig.server);
	rig.server->stopListening();
	QSignalSpy retries(&rig.feed, &TlsFeed::retryScheduled);

	rig.connect();
	QTRY_VERIFY_WITH_TIMEOUT(retries.size() >= 5, 10000);
	QCOMPARE(delaysOf(retries).mid(0, 5),
		 (QList<int>{base, 2 * base, 4 * base, cap, cap}));
	QVERIFY2(isUnreachableText(rig.feed.lastError()),
		 qPrintable(rig.feed.lastError()));
	QCOMPARE(rig.connected.count(), 0);

	// The device comes back: the feed finds it with its next attempt.
	QVERIFY(rig.server->start());
	QTRY_COMPARE_WITH_TIMEOUT(rig.connected.count(), 1, 10000);
	QCOMPARE(rig.feed.backoffMs(), base);
}

// A device that takes the connection and then goes silent, first before the
// secure handshake and then before answering the token: every attempt gives
// up after the time-out and is retried with the backoff. Once the device
// answers, a game with nothing to report keeps its connection however long
// it stays quiet, and a device that vanishes is left to TCP keep-alive.
void TstTlsFeed::silentDeviceTimesOut()
{
	constexpr int timeout = 300;
	Rig rig;
	QVERIFY(rig.server);
	QSignalSpy retries(&rig.feed, &TlsFeed::retryScheduled);
	rig.feed.setAuthTimeout(timeout);
	rig.server->setTlsOnAccept(false);
	rig.connect();
	QTRY_VERIFY_WITH_TIMEOUT(rig.server->acceptTimes().size() >= 2, 10000);
	QCOMPARE(rig.feed.lastError(), kTimedOut);
	QCOMPARE(delaysOf(retries).value(0), 30);
	QVERIFY(rig.server->authLines().isEmpty());

	rig.server->setTlsOnAccept(true);
	rig.server->setAuthReply(QByteArray());
	QTRY_VERIFY_WITH_TIMEOUT(rig.server->authLines().size() >= 2, 10000);
	QTRY_VERIFY(retries.size() >= 3);
	QCOMPARE(rig.feed.lastError(), kTimedOut);
	QCOMPARE(delaysOf(retries).mid(0, 3), (QList<int>{30, 60, 60}));
	QCOMPARE(rig.connected.count(), 0);

	rig.server->setAuthReply(kAuthOk);
	QTRY_COMPARE_WITH_TIMEOUT(rig.connected.count(), 1, 10000);
	QCOMPARE(rig.up(0), true);
	const int attempts = int(rig.server->acceptTimes().size());
	QTest::qWait(3 * timeout);
	QVERIFY(rig.feed.isAuthenticated());
	QCOMPARE(rig.connected.count(), 1);
	QCOMPARE(rig.server->acceptTimes().size(), attempts);

#if defined(Q_OS_UNIX)
	const int fd = int(rig.feed.socketDescriptor());
	QVERIFY(fd >= 0);
	const auto option = [fd](int level, int name) {
		int value = -1;
		socklen_t size = sizeof value;
		return ::getsockopt(fd, level, name, &value, &size) == 0 ? value
									 : -1;
	};
	QVERIFY(option(SOL_SOCKET, SO_KEEPALIVE) > 0);
#if defined(Q_OS_MACOS)
	const int idle = option(IPPROTO_TCP, TCP_KEEPALIVE);
#else
	const int idle = option(IPPROTO_TCP, TCP_KEEPIDLE);
#endif
	const int interval = option(IPPROTO_TCP, TCP_KEEPINTVL);
	const int probes = option(IPPROTO_TCP, TCP_KEEPCNT);
	QCOMPARE(idle, TlsFeed::kKeepAliveIdleS);
	QCOMPARE(interval, TlsFeed::kKeepAliveIntervalS);
	QCOMPARE(probes, TlsFeed::kKeepAliveProbes);
	// A device that lost power is noticed within about half a minute.
	QVERIFY(idle + interval * probes <= 30);
#endif
}

void TstTlsFeed::stopAndRestart()
{
	auto server = startServer();
	QVERIFY(server);
	auto feed = std::make_unique<TlsFeed>();
	feed->setBackoff(20, 40);
	QSignalSpy connected(feed.get(), &TlsFeed::connectedChanged);

	// Port 0 is the device's feed port. Nothing is reached: the attempt
	// is still being set up when stop() ends it.
	feed->connectTo(QStringLiteral("127.0.0.1"), 0, QStringLiteral("t"));
	QCOMPARE(feed->port(), quint16(1010));
	QVERIFY(feed->isRunning());
	feed->stop();
	QVERIFY(!feed->isRunning());

	// An admin port the user typed after the address is not the feed's.
	const auto connectFeed = [&] {
		feed->connectTo(QStringLiteral("127.0.0.1:8080"),
				server->port(), QStringLiteral("t"));
	};
	connectFeed();
	QCOMPARE(feed->host(), QStringLiteral("127.0.0.1"));
	QCOMPARE(feed->port(), server->port());
	QTRY_COMPARE(connected.count(), 1);

	// Stopping an authenticated feed says so once, with no reason.
	feed->stop();
	QCOMPARE(connected.count(), 2);
	QCOMPARE(connected.at(1).at(0).toBool(), false);
	QCOMPARE(connected.at(1).at(1).toString(), QString());
	feed->stop();
	QCOMPARE(connected.count(), 2);
	QVERIFY(!feed->isReconnectScheduled());
	QTRY_COMPARE(server->connectedClients(), 0);
	QTest::qWait(100);
	QCOMPARE(server->acceptTimes().size(), 1);

	// Stopping a feed that is still waiting for its acceptance says
	// nothing.
	server->setAuthReply(QByteArray());
	connectFeed();
	QTRY_COMPARE(server->authLines().size(), 2);
	feed->stop();
	QCOMPARE(connected.count(), 2);

	// connectTo on an authenticated feed starts over: one "lost", then a
	// fresh acceptance on a new connection.
	server->setAuthReply(kAuthOk);
	connectFeed();
	QTRY_COMPARE(connected.count(), 3);
	connectFeed();
	QCOMPARE(connected.count(), 4);
	QCOMPARE(connected.at(3).at(0).toBool(), false);
	QTRY_COMPARE(connected.count(), 5);
	QCOMPARE(connected.at(4).at(0).toBool(), true);
	QCOMPARE(server->authLines().size(), 4);

	// Destroying an authenticated feed stops it the same way.
	feed.reset();
	QCOMPARE(connected.count(), 6);
	QCOMPARE(connected.at(5).at(0).toBool(), false);
	QCOMPARE(connected.at(5).at(1).toString(), QString());
}

QTEST_MAIN(TstTlsFeed)
#include "tst_tls_feed.moc"
