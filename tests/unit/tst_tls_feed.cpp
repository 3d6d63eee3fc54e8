#include "lan/tls_feed.h"

#include "support/fake_tls_feed_server.h"

#include <QJsonDocument>
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
const QString kRejected = "down: The device rejected the connection. "
			  "Re-run device setup to refresh its access.";
const QString kAuthFailed = "The device rejected the connection.";
const QString kTimedOut =
	"The device did not answer in time. Check that it is switched on and "
	"that the address belongs to a Quillmarch device.";

std::unique_ptr<FakeTlsFeedServer> startServer()
{
	auto server =
		std::make_unique<FakeTlsFeedServer>(QUILLMARCH_TLS_TEST_DATA);
	if (!server->hasIdentity() || !server->start())
		return nullptr;
	return server;
}

bool isUnreachable(const QString &text)
{
	static const QString head =
		"Could not reach the device on your network (";
	return text.startsWith(head) && text.endsWith(").") &&
	       text.size() > head.size() + 2;
}

QString compact(const QJsonObject &o)
{
	return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// A feed with short delays and the server it talks to. What the feed
// reports goes to one log ("up", "down: reason", "envelope {...}"), the
// delays of the retries it schedules to another.
struct Rig {
	std::unique_ptr<FakeTlsFeedServer> server = startServer();
	QStringList log;
	QList<int> delays;
	std::unique_ptr<TlsFeed> feed = std::make_unique<TlsFeed>();

	explicit Rig(int baseMs = 30, int capMs = 60)
	{
		feed->setBackoff(baseMs, capMs);
		QObject::connect(feed.get(), &TlsFeed::connectedChanged,
				 [this](bool up, const QString &reason) {
					 log << (up ? "up" : "down: " + reason);
				 });
		QObject::connect(feed.get(), &TlsFeed::envelope,
				 [this](const QJsonObject &e) {
					 log << "envelope " + compact(e);
				 });
		QObject::connect(feed.get(), &TlsFeed::retryScheduled,
				 [this](int ms) { delays << ms; });
	}
	void connect(const QString &token = "t")
	{
		feed->connectTo("127.0.0.1", server->port(), token);
	}
	bool waitLog(int size, int ms = 5000)
	{
		return QTest::qWaitFor([&] { return log.size() >= size; }, ms);
	}
};

} // namespace

class TstTlsFeed : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase();
	void lineSplitting();
	void authLineAndStream();
	void rejectionBeforeAuth();
	void lossesAfterAcceptanceAreRetried();
	void backoff();
	void silentDeviceTimesOut();
	void stopAndRestart();
};

void TstTlsFeed::initTestCase()
{
	QVERIFY2(QSslSocket::supportsSsl(), "Qt has no TLS backend here");
	QVERIFY2(startServer(), "test certificate or listen failed");
}

// How lines become objects. (The fuzz target checks that however the bytes
// are cut into reads they give the same objects and the same tail.)
void TstTlsFeed::lineSplitting()
{
	const QList<std::pair<QByteArray, QString>> cases{
		// CR LF and white space around an object; CR and LF apart.
		{" \t\f{\"a\":1} \v \r\n {\"b\":2}\r\n", R"({"a":1} {"b":2})"},
		{"[1]\n42\n\"s\"\nnope\n{\"a\":\n\n \r\n{\"ok\":true}\n",
		 R"({"ok":true})"},
		// A lone CR ends nothing.
		{"{\"a\":1}\r{\"b\":2}\n", ""}};
	for (const auto &[bytes, objects] : cases) {
		JsonLineSplitter splitter;
		splitter.append(bytes);
		QStringList got;
		for (QJsonObject o; splitter.next(&o);)
			got << compact(o);
		QCOMPARE(got.join(' '), objects);
		QCOMPARE(splitter.pending(), QByteArray());
	}
}

// What the feed writes, and what it makes of a real TLS stream.
void TstTlsFeed::authLineAndStream()
{
	Rig rig;
	QVERIFY(rig.server);
	// Lines that are not objects are skipped before the acceptance too.
	rig.server->setAuthReply("\r\n[\"x\"]\n" + kAuthOk);
	rig.connect(QString::fromUtf8("a\"b\\c/\xc3\xa9"));
	QVERIFY(rig.waitLog(1));
	QVERIFY(rig.feed->isAuthenticated());
	QCOMPARE(rig.server->authLines(),
		 QList<QByteArray>{"{\"token\":\"a\\\"b\\\\c/\xc3\xa9\","
				   "\"type\":\"auth\"}\r\n"});

	// A line cut across writes is handled once, when its line feed
	// arrives. The waits only give a wrong early envelope time to show.
	rig.server->send("{\"type\":\"state\",\"home");
	QTest::qWait(30);
	rig.server->send("_score\":3}\r");
	QTest::qWait(30);
	QCOMPARE(rig.log, QStringList{"up"});
	rig.server->send("\n[1]\n{\"type\":\"heartbeat\"}\n");
	QVERIFY(rig.waitLog(3));
	QCOMPARE(rig.log.mid(1),
		 (QStringList{R"(envelope {"home_score":3,"type":"state"})",
			      R"(envelope {"type":"heartbeat"})"}));
	// The auth line is all the feed ever sends.
	QCOMPARE(rig.server->extraBytes(), QByteArray());
}

// Refused before the acceptance: by an envelope, an auth_fail, or an
// acceptance too late (reading stops at the refusal). No retry: the token
// would only be refused again, so several base delays pass without a second
// attempt.
void TstTlsFeed::rejectionBeforeAuth()
{
	for (const QByteArray &reply :
	     {QByteArray("{\"type\":\"state\",\"home_score\":1}\n"),
	      QByteArray("{\"type\":\"auth_fail\"}\r\n"),
	      "{\"home_score\":1}\n" + kAuthOk + "{\"home_score\":2}\n"}) {
		Rig rig(20, 40);
		QVERIFY(rig.server);
		rig.server->setAuthReply(reply);
		rig.connect("old-token");
		QVERIFY(rig.waitLog(1));
		QCOMPARE("down: " + rig.feed->lastError(), kRejected);
		QVERIFY(!rig.feed->isRunning());
		QVERIFY(!rig.feed->isReconnectScheduled());
		QTRY_COMPARE(rig.server->connectedClients(), 0);
		QTest::qWait(150);
		QCOMPARE(rig.server->acceptTimes().size(), 1);
		QCOMPARE(rig.log, QStringList{kRejected});
	}
}

// Losses after the acceptance are retried. An auth_fail keeps the
// connection up and later envelopes still count; its reason waits for the
// device to hang up, and a new acceptance clears it. A peer that never ends
// its line must not grow memory without bound: the connection is dropped
// with a sentence.
void TstTlsFeed::lossesAfterAcceptanceAreRetried()
{
	Rig rig;
	QVERIFY(rig.server);
	rig.connect();
	QVERIFY(rig.waitLog(1));
	rig.server->send("{\"type\":\"auth_fail\"}\n{\"home_score\":4}\n");
	QVERIFY(rig.waitLog(2));
	QCOMPARE(rig.feed->lastError(), kAuthFailed);
	QVERIFY(rig.feed->isAuthenticated());
	rig.server->closeClients();
	QVERIFY(rig.waitLog(4));
	QCOMPARE(rig.log, (QStringList{"up", R"(envelope {"home_score":4})",
				       "down: " + kAuthFailed, "up"}));
	QCOMPARE(rig.server->authLines().size(), 2);
	QCOMPARE(rig.feed->lastError(), QString());

	for (int i = 0; i < 17; ++i)
		rig.server->send(QByteArray(64 * 1024, 'x'));
	QVERIFY(rig.waitLog(6, 10000));
	QVERIFY2(rig.log.at(4).startsWith("down: The device sent data that is "
					  "not a live update."),
		 qPrintable(rig.log.at(4)));
	QCOMPARE(rig.log.at(5), "up");
}

// The delays the feed chooses: first with nothing listening, so attempts
// fail before a connection exists, then with every attempt after a drop hung
// up on at once, a different path through the socket. Failed attempts of a
// connection that never came up say nothing, and an acceptance starts the
// delays over.
void TstTlsFeed::backoff()
{
	constexpr int base = 60;
	constexpr int cap = 360;
	const QList<int> delays{base, 2 * base, 4 * base, cap, cap};
	Rig rig(base, cap);
	QVERIFY(rig.server);
	rig.server->stopListening();
	rig.connect();
	QTRY_VERIFY_WITH_TIMEOUT(rig.delays.size() >= 5, 10000);
	QCOMPARE(rig.delays.mid(0, 5), delays);
	QVERIFY2(isUnreachable(rig.feed->lastError()),
		 qPrintable(rig.feed->lastError()));
	QVERIFY(rig.log.isEmpty());
	// The device comes back: the feed finds it with its next attempt.
	QVERIFY(rig.server->start());
	QVERIFY(rig.waitLog(1, 10000));
	QCOMPARE(rig.feed->backoffMs(), base);

	rig.delays.clear();
	rig.server->setHangUpOnAccept(true);
	const auto accepted = rig.server->acceptTimes().size();
	QList<qint64> times{rig.server->now()};
	rig.server->closeClients();
	QVERIFY(rig.waitLog(2));
	QVERIFY2(isUnreachable(rig.log.at(1).mid(6)),
		 qPrintable(rig.log.at(1)));
	QTRY_VERIFY_WITH_TIMEOUT(rig.server->acceptTimes().size() >=
					 accepted + delays.size(),
				 10000);
	rig.server->setHangUpOnAccept(false);
	QCOMPARE(rig.delays.mid(0, delays.size()), delays);
	// Each attempt follows the failure of the one before, which the
	// server caused, so however busy the machine the server sees gaps at
	// least as long as the delays (to its clock's millisecond).
	times += rig.server->acceptTimes().mid(accepted, delays.size());
	for (int i = 0; i < delays.size(); ++i)
		QVERIFY2(times.at(i + 1) - times.at(i) >= delays.at(i) - 1,
			 qPrintable(QString::number(i)));
	QVERIFY(rig.waitLog(3));
	QCOMPARE(rig.log.at(2), "up");
	QCOMPARE(rig.feed->backoffMs(), base);
	rig.delays.clear();
	rig.server->closeClients();
	QVERIFY(rig.waitLog(4));
	QCOMPARE(rig.delays, QList<int>{base});
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
	rig.feed->setAuthTimeout(timeout);
	rig.server->setTlsOnAccept(false);
	rig.connect();
	QTRY_VERIFY_WITH_TIMEOUT(rig.server->acceptTimes().size() >= 2, 10000);
	QCOMPARE(rig.feed->lastError(), kTimedOut);
	QCOMPARE(rig.delays.value(0), 30);
	QVERIFY(rig.server->authLines().isEmpty());

	rig.server->setTlsOnAccept(true);
	rig.server->setAuthReply(QByteArray());
	QTRY_VERIFY_WITH_TIMEOUT(rig.server->authLines().size() >= 2, 10000);
	QTRY_VERIFY(rig.delays.size() >= 3);
	QCOMPARE(rig.feed->lastError(), kTimedOut);
	QCOMPARE(rig.delays.mid(0, 3), (QList<int>{30, 60, 60}));
	QVERIFY(rig.log.isEmpty());

	rig.server->setAuthReply(kAuthOk);
	QVERIFY(rig.waitLog(1, 10000));
	const int attempts = int(rig.server->acceptTimes().size());
	QTest::qWait(3 * timeout);
	QVERIFY(rig.feed->isAuthenticated());
	QCOMPARE(rig.log, QStringList{"up"});
	QCOMPARE(rig.server->acceptTimes().size(), attempts);

#if defined(Q_OS_UNIX)
	const int fd = int(rig.feed->socketDescriptor());
	QVERIFY(fd >= 0);
	const auto option = [fd](int level, int name) {
		int value = -1;
		socklen_t size = sizeof value;
		return ::getsockopt(fd, level, name, &value, &size) == 0 ? value
									 : -1;
	};
#if defined(Q_OS_MACOS)
	const int idle = TCP_KEEPALIVE;
#else
	const int idle = TCP_KEEPIDLE;
#endif
	QCOMPARE(QList<int>({option(SOL_SOCKET, SO_KEEPALIVE) > 0,
			     option(IPPROTO_TCP, idle),
			     option(IPPROTO_TCP, TCP_KEEPINTVL),
			     option(IPPROTO_TCP, TCP_KEEPCNT)}),
		 QList<int>({1, TlsFeed::kKeepAliveIdleS,
			     TlsFeed::kKeepAliveIntervalS,
			     TlsFeed::kKeepAliveProbes}));
#endif
}

void TstTlsFeed::stopAndRestart()
{
	Rig rig(20, 40);
	QVERIFY(rig.server);
	TlsFeed &feed = *rig.feed;

	// Port 0 is the device's feed port. Nothing is reached: the attempt
	// is still being set up when stop() ends it.
	feed.connectTo("127.0.0.1", 0, "t");
	QCOMPARE(feed.port(), quint16(1010));
	QVERIFY(feed.isRunning());
	feed.stop();
	QVERIFY(!feed.isRunning());

	// An admin port the user typed after the address is not the feed's.
	const auto connectFeed = [&] {
		feed.connectTo("127.0.0.1:8080", rig.server->port(), "t");
	};
	connectFeed();
	QCOMPARE(feed.host(), "127.0.0.1");
	QCOMPARE(feed.port(), rig.server->port());
	QVERIFY(rig.waitLog(1));

	// Stopping an authenticated feed says so once, with no reason.
	feed.stop();
	feed.stop();
	QCOMPARE(rig.log, (QStringList{"up", "down: "}));
	QVERIFY(!feed.isReconnectScheduled());
	QTRY_COMPARE(rig.server->connectedClients(), 0);
	QTest::qWait(100);
	QCOMPARE(rig.server->acceptTimes().size(), 1);

	// Stopping a feed that is still waiting for its acceptance says
	// nothing.
	rig.server->setAuthReply(QByteArray());
	connectFeed();
	QTRY_COMPARE(rig.server->authLines().size(), 2);
	feed.stop();
	QCOMPARE(rig.log.size(), 2);

	// connectTo on an authenticated feed starts over: one "lost", then a
	// fresh acceptance on a new connection.
	rig.server->setAuthReply(kAuthOk);
	connectFeed();
	QVERIFY(rig.waitLog(3));
	connectFeed();
	QCOMPARE(rig.log.size(), 4);
	QVERIFY(rig.waitLog(5));
	QCOMPARE(rig.server->authLines().size(), 4);

	// Destroying an authenticated feed stops it the same way.
	rig.feed.reset();
	QCOMPARE(rig.log.mid(2), (QStringList{"up", "down: ", "up", "down: "}));
}

QTEST_MAIN(TstTlsFeed)
#include "tst_tls_feed.moc"
