#include "tls_feed.h"

#include "../support/fake_tls_feed_server.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace quillmarch;
using quillmarch::test::FakeTlsFeedServer;

namespace {

const QByteArray kAuthOk = "{\"type\":\"auth_ok\"}\n";
const QString kRejected = QStringLiteral(
	"The device rejected the connection. Re-run device setup to refresh its access.");
const QString kAuthFailed =
	QStringLiteral("The device rejected the connection.");

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
	QTest::newRow("two lines in one read")
		<< QList<QByteArray>{"{\"b\":2}\n{\"a\":1}\n"}
		<< QList<QByteArray>{"{\"b\":2} {\"a\":1}"} << QByteArray();
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
	auto server = startServer();
	QVERIFY(server);
	// Lines that are not objects are skipped before the acceptance too.
	server->setAuthReply("\r\n[\"x\"]\n" + kAuthOk);
	TlsFeed feed;
	QSignalSpy connected(&feed, &TlsFeed::connectedChanged);
	QSignalSpy envelopes(&feed, &TlsFeed::envelope);

	feed.connectTo(QStringLiteral("127.0.0.1"), server->port(),
		       QString::fromUtf8("a\"b\\c/\xc3\xa9"));
	QTRY_COMPARE(connected.count(), 1);
	QCOMPARE(connected.at(0).at(0).toBool(), true);
	QCOMPARE(connected.at(0).at(1).toString(), QString());
	QVERIFY(feed.isAuthenticated());
	QCOMPARE(server->authLines(),
		 QList<QByteArray>{"{\"token\":\"a\\\"b\\\\c/\xc3\xa9\","
				   "\"type\":\"auth\"}\r\n"});

	// A line cut across writes is handled once, when its line feed
	// arrives. The waits only give a wrong early envelope time to show.
	server->send("{\"type\":\"state\",\"home");
	QTest::qWait(30);
	server->send("_score\":3}\r");
	QTest::qWait(30);
	QCOMPARE(envelopes.count(), 0);
	server->send("\n  {\"seq\":2,\"away_score\":1}  \n[1]\nnope\n\n"
		     "{\"type\":\"heartbeat\"}\r\n");
	QTRY_COMPARE(envelopes.count(), 3);
	QCOMPARE(compact(envelopes.at(0).at(0).toJsonObject()),
		 QByteArray("{\"home_score\":3,\"type\":\"state\"}"));
	QCOMPARE(compact(envelopes.at(1).at(0).toJsonObject()),
		 QByteArray("{\"away_score\":1,\"seq\":2}"));
	QCOMPARE(compact(envelopes.at(2).at(0).toJsonObject()),
		 QByteArray("{\"type\":\"heartbeat\"}"));
	QCOMPARE(connected.count(), 1);
	// The auth line is all the feed ever sends.
	QCOMPARE(server->extraBytes(), QByteArray());
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
	auto server = startServer();
	QVERIFY(server);
	server->setAuthReply(reply);
	TlsFeed feed;
	feed.setBackoff(20, 40);
	QSignalSpy connected(&feed, &TlsFeed::connectedChanged);
	QSignalSpy envelopes(&feed, &TlsFeed::envelope);

	feed.connectTo(QStringLiteral("127.0.0.1"), server->port(),
		       QStringLiteral("old-token"));
	QTRY_COMPARE(connected.count(), 1);
	QCOMPARE(connected.at(0).at(0).toBool(), false);
	QCOMPARE(connected.at(0).at(1).toString(), kRejected);
	QCOMPARE(feed.lastError(), kRejected);
	QVERIFY(!feed.isRunning());
	QVERIFY(!feed.isReconnectScheduled());
	QTRY_COMPARE(server->connectedClients(), 0);

	// No retry: the token would only be refused again. Several base
	// delays pass without a second attempt.
	QTest::qWait(150);
	QCOMPARE(server->acceptTimes().size(), 1);
	QCOMPARE(connected.count(), 1);
	QCOMPARE(envelopes.count(), 0);
}

void TstTlsFeed::authFailAfterAuth()
{
	auto server = startServer();
	QVERIFY(server);
	TlsFeed feed;
	feed.setBackoff(30, 60);
	QSignalSpy connected(&feed, &TlsFeed::connectedChanged);
	QSignalSpy envelopes(&feed, &TlsFeed::envelope);
	feed.connectTo(QStringLiteral("127.0.0.1"), server->port(),
		       QStringLiteral("t"));
	QTRY_COMPARE(connected.count(), 1);

	// The connection stays up and later envelopes still count; the
	// reason waits for the device to hang up.
	server->send("{\"type\":\"auth_fail\"}\n{\"home_score\":4}\n");
	QTRY_COMPARE(envelopes.count(), 1);
	QCOMPARE(envelopes.at(0).at(0).toJsonObject().value("home_score"),
		 QJsonValue(4));
	QCOMPARE(feed.lastError(), kAuthFailed);
	QVERIFY(feed.isAuthenticated());
	QCOMPARE(connected.count(), 1);

	server->closeClients();
	QTRY_COMPARE(connected.count(), 2);
	QCOMPARE(connected.at(1).at(0).toBool(), false);
	QCOMPARE(connected.at(1).at(1).toString(), kAuthFailed);
	// Unlike a refusal at the start, this one is retried, and a new
	// acceptance clears the reason.
	QTRY_COMPARE(connected.count(), 3);
	QCOMPARE(connected.at(2).at(0).toBool(), true);
	QCOMPARE(server->authLines().size(), 2);
	QCOMPARE(feed.lastError(), QString());
}

// A peer that never ends its line must not grow memory without bound: the
// connection is dropped with a sentence, and retried like any other loss.
void TstTlsFeed::endlessLineIsDropped()
{
	auto server = startServer();
	QVERIFY(server);
	TlsFeed feed;
	feed.setBackoff(30, 60);
	QSignalSpy connected(&feed, &TlsFeed::connectedChanged);
	feed.connectTo(QStringLiteral("127.0.0.1"), server->port(),
		       QStringLiteral("t"));
	QTRY_COMPARE(connected.count(), 1);

	const QByteArray chunk(64 * 1024, 'x');
	for (int i = 0; i < 17; ++i)
		server->send(chunk);
	// Retried after the short backoff: dropped, then accepted again.
	QTRY_VERIFY_WITH_TIMEOUT(connected.count() >= 3, 10000);
	QCOMPARE(connected.at(1).at(0).toBool(), false);
	QVERIFY(connected.at(1).at(1).toString().startsWith(
		"The device sent data that is not a live update."));
	QCOMPARE(connected.at(2).at(0).toBool(), true);
}

// Attempt spacing measured on the server's clock, with every attempt after
// the drop hung up on at once.
void TstTlsFeed::droppedConnectionBacksOff()
{
	constexpr int base = 100;
	constexpr int cap = 600;
	// An attempt takes a little time on each side of its delay; the slack
	// stays below the gap to the next delay in the sequence.
	constexpr int early = 10;
	constexpr int late = 80;

	auto server = startServer();
	QVERIFY(server);
	TlsFeed feed;
	feed.setBackoff(base, cap);
	QSignalSpy connected(&feed, &TlsFeed::connectedChanged);
	feed.connectTo(QStringLiteral("127.0.0.1"), server->port(),
		       QStringLiteral("t"));
	QTRY_COMPARE(connected.count(), 1);

	server->setHangUpOnAccept(true);
	const qint64 droppedAt = server->now();
	server->closeClients();
	QTRY_COMPARE(connected.count(), 2);
	QCOMPARE(connected.at(1).at(0).toBool(), false);
	QVERIFY2(isUnreachableText(connected.at(1).at(1).toString()),
		 qPrintable(connected.at(1).at(1).toString()));

	const QList<int> delays{base, 2 * base, 4 * base, cap, cap};
	QTRY_VERIFY_WITH_TIMEOUT(
		server->acceptTimes().size() >= 1 + delays.size(), 10000);
	server->setHangUpOnAccept(false);
	QList<qint64> times = server->acceptTimes().mid(1, delays.size());
	times.prepend(droppedAt);
	for (int i = 0; i < delays.size(); ++i) {
		const qint64 gap = times.at(i + 1) - times.at(i);
		QVERIFY2(gap >= delays.at(i) - early &&
				 gap <= delays.at(i) + late,
			 qPrintable(QStringLiteral("attempt %1 after %2 ms, "
						   "expected %3 ms")
					    .arg(i + 1)
					    .arg(gap)
					    .arg(delays.at(i))));
	}
	// Failed attempts of a connection that never came up say nothing.
	QCOMPARE(connected.count(), 2);

	// A new acceptance starts the delays over.
	QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 3, 5000);
	QCOMPARE(feed.backoffMs(), base);
	const int attempts = int(server->acceptTimes().size());
	const qint64 droppedAgainAt = server->now();
	server->closeClients();
	QTRY_COMPARE(server->acceptTimes().size(), attempts + 1);
	const qint64 gap = server->acceptTimes().last() - droppedAgainAt;
	QVERIFY2(gap >= base - early && gap <= base + late,
		 qPrintable(QString::number(gap)));
}

// Nothing listens: the attempts fail before a connection exists, which is
// a different path through the socket than a hang-up.
void TstTlsFeed::refusedAttemptsBackOff()
{
	constexpr int base = 40;
	constexpr int cap = 200;
	auto server = startServer();
	QVERIFY(server);
	server->stopListening();
	TlsFeed feed;
	feed.setBackoff(base, cap);
	QSignalSpy connected(&feed, &TlsFeed::connectedChanged);

	// Every refusal doubles the backoff at once, so its changes mark the
	// attempts.
	QElapsedTimer clock;
	clock.start();
	QList<int> values{feed.backoffMs()};
	QList<qint64> at{0};
	feed.connectTo(QStringLiteral("127.0.0.1"), server->port(),
		       QStringLiteral("t"));
	while (clock.elapsed() < 3 * base + 2 * cap) {
		if (values.last() != feed.backoffMs()) {
			values.append(feed.backoffMs());
			at.append(clock.elapsed());
		}
		QTest::qWait(1);
	}
	QCOMPARE(values, (QList<int>{base, 2 * base, 4 * base, cap}));
	// Sampled once a millisecond, so each mark may be a little late.
	QVERIFY2(at.at(2) - at.at(1) >= base - 10 &&
			 at.at(2) - at.at(1) <= base + 60,
		 qPrintable(QString::number(at.at(2) - at.at(1))));
	QVERIFY2(at.at(3) - at.at(2) >= 2 * base - 10 &&
			 at.at(3) - at.at(2) <= 2 * base + 60,
		 qPrintable(QString::number(at.at(3) - at.at(2))));
	QVERIFY(feed.isReconnectScheduled());
	QVERIFY2(isUnreachableText(feed.lastError()),
		 qPrintable(feed.lastError()));
	QCOMPARE(connected.count(), 0);

	// The device comes back: the feed finds it within one capped delay.
	QVERIFY(server->start());
	QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, cap + 1000);
	QCOMPARE(feed.backoffMs(), base);
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

	const auto connectFeed = [&] {
		feed->connectTo(QStringLiteral("127.0.0.1"), server->port(),
				QStringLiteral("t"));
	};
	connectFeed();
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
