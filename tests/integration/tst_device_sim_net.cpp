// The simulated device's network side against the plug-in's own network
// classes over 127.0.0.1: the admin interface with its cookie and CSRF
// token, the secure live feed with its access token, restarts as both see
// them, bad input on the wire, and the program's printed lines.

#include "device_model.h"
#include "feed_side.h"
#include "http_side.h"
#include "sim_options.h"

#include "admin/device_session.h"
#include "admin/rpc_client.h"
#include "lan/http_link.h"
#include "lan/tls_feed.h"

#include "support/await.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

using namespace quillmarch;
using namespace quillmarch::sim;

namespace {

const QString kRejected = QStringLiteral(
	"The device rejected the connection. Re-run device setup to refresh its access.");
const QString kNewPassword = QStringLiteral("harbor-hawks-7");

RpcResult call(RpcClient *rpc, const QString &method,
	       const QJsonObject &params = {})
{
	return test::awaitResult<RpcResult>(
		       [&](auto done) {
			       rpc->call(method, params, done, 5000);
		       },
		       8000)
		.value_or(RpcResult{false, {}, "test_gave_up", {}});
}

bool open(DeviceLink *link)
{
	QSignalSpy opened(link, &DeviceLink::opened);
	link->open();
	return opened.wait(5000);
}

// A device with its network side on free loopback ports, an HttpLink and
// an RpcClient on it. The device clock stands still, so a restart lasts
// until the test moves it on.
struct NetRig {
	DeviceModel device{[] {
		DeviceModel::Config config;
		config.operationSpeed = 0;
		config.envelopesPerSecond = 20;
		return config;
	}()};
	std::unique_ptr<HttpSide> http;
	std::unique_ptr<FeedSide> feed;
	std::unique_ptr<HttpLink> link;
	std::unique_ptr<RpcClient> rpc;

	bool start()
	{
		HttpSide::Config h;
		h.port = 0;
		FeedSide::Config f;
		f.address = QHostAddress(QHostAddress::LocalHost);
		f.port = 0;
		f.certificatePath = QUILLMARCH_SIM_TLS_DIR "/sim-cert.pem";
		f.keyPath = QUILLMARCH_SIM_TLS_DIR "/sim-key.pem";
		http = std::make_unique<HttpSide>(&device, h);
		feed = std::make_unique<FeedSide>(&device, f);
		if (!http->listen() || !feed->listen())
			return false;
		device.start();
		link = std::make_unique<HttpLink>(
			QStringLiteral("127.0.0.1:%1").arg(http->port()));
		rpc = std::make_unique<RpcClient>(link->transport());
		return open(link.get());
	}
	RpcResult call(const QString &method, const QJsonObject &params = {})
	{
		return ::call(rpc.get(), method, params);
	}
	bool signIn() { return call("login", {{"password", "corvalinth"}}).ok; }
	QString token()
	{
		return call("ensureApiToken").result.value("token").toString();
	}
};

// Writes bytes on a fresh connection. Gives the status of each answer that
// came, and whether the server closed the connection: waited for when
// `closes`, else the wait ends at `count` answers and a short look makes
// sure the connection stays open.
QString exchange(quint16 port, const QByteArray &bytes, int count, bool closes)
{
	QTcpSocket socket;
	socket.connectToHost(QHostAddress::LocalHost, port);
	socket.write(bytes);
	QByteArray in;
	QStringList statuses;
	const auto closed = [&] {
		return socket.state() == QAbstractSocket::UnconnectedState;
	};
	const QRegularExpression status("HTTP/1\\.[01] (\\d{3}) ");
	(void)QTest::qWaitFor(
		[&] {
			in += socket.readAll();
			statuses.clear();
			for (auto it = status.globalMatch(
				     QString::fromLatin1(in));
			     it.hasNext();)
				statuses << it.next().captured(1);
			return closed() ||
			       (!closes && statuses.size() >= count);
		},
		5000);
	if (!closes)
		QTest::qWait(50);
	return statuses.join(' ') + (closed() ? " closed" : "");
}

} // namespace

class TestDeviceSimNet : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase()
	{
		QLoggingCategory::setFilterRules(
			QStringLiteral("quillmarch.sim*.info=false\n"
				       "quillmarch.sim*.debug=false"));
		QVERIFY2(QSslSocket::supportsSsl(), "no TLS backend here");
	}

	void admin_signInConfigureAndFailures();
	void session_overTheNetwork();
	void wire();
	void feed_tokenRestartDropsAndRevocation();
	void options_networkSide();
	void program_printsEndpointsAndToken();
};

void TestDeviceSimNet::admin_signInConfigureAndFailures()
{
	NetRig rig;
	// The link opens on the probe's 401: no cookie yet, but a device.
	QVERIFY(rig.start());
	QCOMPARE(rig.call("getStatus").code, QString("unauthorized"));
	const RpcResult wrong = rig.call("login", {{"password", "nope"}});
	QCOMPARE(wrong.code + ": " + wrong.message,
		 QString("unauthorized: Wrong password."));
	QCOMPARE(rig.call("login", {{"password", "corvalinth"}})
			 .result.value("must_change_password"),
		 QJsonValue(true));
	auto *transport = rig.link->adminTransport();
	QVERIFY(transport->cookie().startsWith("qm_session="));
	QVERIFY(!transport->csrfToken().isEmpty());

	QVERIFY(rig.call("changePassword", {{"current_password", "corvalinth"},
					    {"new_password", kNewPassword},
					    {"confirm_password", kNewPassword}})
			.ok);
	const RpcResult status = rig.call("getStatus");
	QCOMPARE(status.result.value("device_id"), QJsonValue("QM-00A1B2"));
	QCOMPARE(status.result.value("csrf_token").toString().toUtf8(),
		 transport->csrfToken());

	// The controller routes reach the device (choosing one is walked over
	// the cable in the device setup suite).
	QVERIFY(rig.call("getControllerConfig").result.contains("manufacturer"));
	QCOMPARE(
		rig.call("setControllerConfig", {{"manufacturer", "Acme"}}).code,
		QString("unknown_controller"));

	// The form body: "+" stays a plus, %20 is a space, and "&", "=" and
	// "%" in a value are escaped and come back whole.
	QVERIFY(rig.call("configureWifi",
			 {{"ssid", "Fan+Zone & Free=1%"}, {"pass", "a+b c"}})
			.ok);
	QCOMPARE(rig.call("getStatus")
			 .result.value("wifi_provision")
			 .toObject()
			 .value("detail"),
		 QJsonValue("joining Fan+Zone & Free=1%"));

	const QString token = rig.token();
	QVERIFY2(QRegularExpression("^[0-9a-f]{40}$").match(token).hasMatch(),
		 qPrintable(token));
	QCOMPARE(rig.device.apiToken(), token);
	QCOMPARE(rig.token(), token); // stays until a new one is forced

	// Failures the simulator is told to give, as the link reports them
	// (which code each status becomes is the link's suite's business).
	// A failure counts down, and only on its own path.
	rig.http->failNext("/api/settings", 429, 2);
	QVERIFY(rig.call("getStatus").ok);
	for (int i = 0; i < 2; ++i)
		QCOMPARE(rig.call("getSettings").code, QString("rate_limited"));
	QVERIFY(rig.call("getSettings").ok);

	// A dropped connection: the client may try once more itself.
	rig.http->failNext("/api/settings", 0, 3);
	QCOMPARE(rig.call("getSettings").code, QString("unreachable"));
	rig.http->clearFailures();
	QVERIFY(rig.call("getSettings").ok);

	// A device answering "busy" says so with 503.
	rig.device.setBusyReplies(1);
	QCOMPARE(rig.call("getState").code, QString("unavailable"));
	QVERIFY(rig.call("getState").ok);
}

// The simulator's own HTTP server on the raw wire, one row after another
// on the same device, each after a fresh sign-in through the link whose
// cookie and token "$session" and "$csrf" stand for.
void TestDeviceSimNet::wire()
{
	const QByteArray post = "POST /api/settings HTTP/1.1\r\nCookie: x=1; "
				"$session\r\nContent-Length: 2\r\n";
	const QByteArray login = "POST /login HTTP/1.1\r\nContent-Length: ";
	const std::pair<QByteArray, const char *> rows[] = {
		// CSRF token missing, wrong, right, pipelined.
		{post + "\r\n{}" + post + "X-CSRF-Token: bad\r\n\r\n{}" + post +
			 "X-CSRF-Token: $csrf\r\n\r\n{}",
		 "403 403 200"},
		{"GET /api/status HTTP/1.1\r\nCookie: qm_session=00\r\n"
		 "Connection: close\r\n\r\n",
		 "401 closed"},
		{"GET /state HTTP/1.0\r\n\r\n", "401 closed"},
		{"HELLO\r\n\r\n", "400 closed"},
		{"GET / HTTP/2.0\r\n\r\n", "505 closed"},
		{"GET /scan HTTP/1.1\r\nHost x\r\n\r\n", "400 closed"},
		{QByteArray("\x00\x01\xfe\xff /x HTTP/1.1\r\n\r\n", 20),
		 "400 closed"},
		{"GET /scan HTTP/1.1\r\nX-Big: " + QByteArray(17000, 'a'),
		 "431 closed"},
		{login + "100000000\r\n\r\n", "413 closed"},
		{login + "-5\r\n\r\n", "400 closed"},
		{"POST /login HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
		 "0\r\n\r\n",
		 "501 closed"},
		{"GET /admin.php HTTP/1.1\r\n\r\n", "404"},
		{"DELETE /api/settings HTTP/1.1\r\n\r\n", "405"},
		{login + "3\r\n\r\n{x}", "400"},
	};
	NetRig rig;
	QVERIFY(rig.start());
	for (auto [bytes, want] : rows) {
		QVERIFY(rig.signIn());
		const auto *transport = rig.link->adminTransport();
		QVERIFY(transport->cookie().startsWith("qm_session="));
		bytes.replace("$session", transport->cookie())
			.replace("$csrf", transport->csrfToken());
		const QString expected(want);
		QCOMPARE(exchange(rig.http->port(), bytes,
				  int(expected.split(' ').size()),
				  expected.endsWith("closed")),
			 expected);
	}
	QVERIFY(rig.signIn()); // and the device goes on serving
}

// What the feed side decides, and a restart as both sides show it; how the
// client backs off and retries is its own suite's business.
void TestDeviceSimNet::feed_tokenRestartDropsAndRevocation()
{
	NetRig rig;
	QVERIFY(rig.start());
	QVERIFY(rig.signIn());
	const QString token = rig.token();

	// A wrong token is refused and counted.
	TlsFeed bad;
	QSignalSpy badState(&bad, &TlsFeed::connectedChanged);
	bad.connectTo("127.0.0.1", rig.feed->port(), token + "x");
	QVERIFY(badState.wait(5000));
	QCOMPARE(badState.first().at(1).toString(), kRejected);
	QCOMPARE(rig.feed->rejections(), 1);

	// The right one gets the game's state envelopes, in order.
	TlsFeed feed;
	feed.setBackoff(100, 400);
	QSignalSpy state(&feed, &TlsFeed::connectedChanged);
	QSignalSpy envelopes(&feed, &TlsFeed::envelope);
	feed.connectTo("127.0.0.1", rig.feed->port(), token);
	QVERIFY(state.wait(5000));
	QCOMPARE(state.takeFirst().at(0).toBool(), true);
	QCOMPARE(rig.feed->authenticatedCount(), 1);
	QTRY_VERIFY(envelopes.size() >= 4);
	for (int i = 0; i < envelopes.size(); ++i) {
		const QJsonObject e = envelopes.at(i).at(0).toJsonObject();
		QVERIFY(e["type"] == "state" &&
			e["fields"]["home_score"].isDouble());
		QVERIFY(i == 0 ||
			e["seq"].toDouble() > envelopes.at(i - 1)
						      .at(0)
						      .toJsonObject()["seq"]
						      .toDouble());
	}

	// A restart drops both sides, and attempts meanwhile are refused,
	// not taken.
	QVERIFY(rig.call("reboot").ok);
	QVERIFY(rig.device.isRestarting());
	QCOMPARE(rig.call("getStatus").code, QString("unreachable"));
	QTRY_COMPARE(state.size(), 1);
	QCOMPARE(state.takeFirst().at(0).toBool(), false);
	int accepted = rig.feed->connectionsAccepted();
	QTest::qWait(300);
	QCOMPARE(rig.feed->connectionsAccepted(), accepted);

	// Up again, the old sign-in is gone but the token is not.
	rig.device.skipTime(rig.device.config().restartMs);
	QCOMPARE(rig.call("getStatus").code, QString("unauthorized"));
	QVERIFY(rig.signIn());
	QCOMPARE(rig.call("getStatus").result.value("reset_reason"),
		 QJsonValue("software"));
	QTRY_COMPARE_WITH_TIMEOUT(state.size(), 1, 3000);
	QCOMPARE(state.takeFirst().at(0).toBool(), true);
	envelopes.clear();
	QVERIFY(envelopes.wait(3000));

	// A drop, then refused for a while: no attempt is taken until the
	// port opens again.
	accepted = rig.feed->connectionsAccepted();
	rig.feed->refuseFor(700);
	rig.feed->dropAll();
	QTRY_COMPARE(state.size(), 1);
	QTest::qWait(400);
	QCOMPARE(rig.feed->connectionsAccepted(), accepted);
	QTRY_COMPARE_WITH_TIMEOUT(state.size(), 2, 4000);
	QCOMPARE(state.at(1).at(0).toBool(), true);
	state.clear();

	// "auth_fail" to a signed-in client, then the hang-up; a still-valid
	// token gets back in.
	rig.feed->rejectAuthenticated();
	QTRY_COMPARE(state.size(), 1);
	QCOMPARE(state.at(0).at(1).toString(),
		 QString("The device rejected the connection."));
	QTRY_COMPARE_WITH_TIMEOUT(state.size(), 2, 3000);
	QCOMPARE(state.at(1).at(0).toBool(), true);
	state.clear();

	// A new token ends the old one's connection, and its next sign-in.
	const QString fresh = rig.call("ensureApiToken", {{"force_new", true}})
				      .result.value("token")
				      .toString();
	QVERIFY(!fresh.isEmpty() && fresh != token);
	QTRY_COMPARE_WITH_TIMEOUT(state.size(), 2, 3000);
	QCOMPARE(state.at(0).at(0).toBool(), false);
	QCOMPARE(state.at(1).at(1).toString(), kRejected);
	QVERIFY(!feed.isRunning());
}

// Command lines and the carriers and feed port they give, or "error".
void TestDeviceSimNet::options_networkSide()
{
	for (const char *row : {
		     "device => usb 1010",
		     "device --http 127.0.0.1:0 --feed 127.0.0.1 => http feed 1010",
		     "device --usb --http localhost:8080 --feed [::1]:1443 => usb http feed 1443",
		     "device --http 127.0.0.1:x => error",
		     "device --feed host.example => error",
		     "device --http :0 --http-fail /scan=200 => error", // no failure
		     "device --receiver --feed 127.0.0.1:0 => error",
		     "device --feed 127.0.0.1:0 --cert c.pem => error", // no key
	     }) {
		const QString arguments = QString(row).section(" => ", 0, 0);
		DeviceOptions options;
		QString text;
		const ParseOutcome outcome = parseDeviceCommandLine(
			QStringList{"quillmarch-sim"} +
				arguments.split(' ', Qt::SkipEmptyParts),
			&options, &text);
		QStringList got;
		if (outcome == ParseOutcome::Run) {
			const std::pair<bool, const char *> carriers[] = {
				{options.usb, "usb"},
				{options.http, "http"},
				{options.feed, "feed"}};
			for (const auto &[on, name] : carriers)
				if (on)
					got << name;
			got << QString::number(options.feedSide.port);
		} else {
			got << (outcome == ParseOutcome::Error ? "error" : "?");
		}
		QCOMPARE(arguments + " => " + got.join(' '), QString(row));
	}
}

void TestDeviceSimNet::program_printsEndpointsAndToken()
{
	QProcess sim;
	sim.start(QStringLiteral(QUILLMARCH_SIM_EXECUTABLE),
		  {"device", "--http", "127.0.0.1:0", "--feed", "127.0.0.1:0",
		   "--rate", "20", "--seed", "7"});
	QVERIFY(sim.waitForStarted(5000));
	QStringList lines;
	QVERIFY(QTest::qWaitFor(
		[&] {
			while (sim.canReadLine())
				lines << QString::fromLocal8Bit(sim.readLine())
						 .trimmed();
			return lines.size() >= 3;
		},
		10000));
	const QRegularExpression pattern(
		"^http 127\\.0\\.0\\.1:(\\d+)\nfeed 127\\.0\\.0\\.1:(\\d+)\n"
		"token ([0-9a-f]{40})$");
	const QRegularExpressionMatch m = pattern.match(lines.join('\n'));
	QVERIFY2(m.hasMatch(), qPrintable(lines.join('\n')));

	HttpLink link("127.0.0.1:" + m.captured(1));
	QVERIFY(open(&link));
	RpcClient rpc(link.transport());
	QVERIFY(call(&rpc, "login", {{"password", "corvalinth"}}).ok);
	// The printed token is the device's: the feed takes it.
	TlsFeed feed;
	QSignalSpy envelopes(&feed, &TlsFeed::envelope);
	feed.connectTo("127.0.0.1", quint16(m.captured(2).toUInt()),
		       m.captured(3));
	QVERIFY(envelopes.wait(5000));

	// A failure asked for on stdin.
	sim.write("http-fail /api/settings 429\n");
	QVERIFY(QTest::qWaitFor(
		[&] {
			return call(&rpc, "getSettings").code == "rate_limited";
		},
		5000));

	sim.terminate();
	QVERIFY(sim.waitForFinished(5000));
	QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
	QCOMPARE(sim.exitCode(), 0);
}

// The device session runs over the network link unchanged: sign-in with the
// forced password change, the state poll this carrier needs, and a quiet
// sign-in again after the device forgot the session in a restart.
void TestDeviceSimNet::session_overTheNetwork()
{
	NetRig rig;
	QVERIFY(rig.start());
	auto *link = new HttpLink(
		QStringLiteral("127.0.0.1:%1").arg(rig.http->port()));
	DeviceSession session(link);
	DeviceSession::Timings timings;
	timings.pollMs = 100;
	session.setTimings(timings);
	QSignalSpy envelopes(&session, &DeviceSession::envelope);
	session.start({QStringLiteral("wrong"), QStringLiteral("corvalinth")});
	QTRY_COMPARE_WITH_TIMEOUT(session.state(),
				  DeviceSession::NeedsNewPassword, 5000);
	bool changed = false;
	session.changePassword(QStringLiteral("corvalinth"), kNewPassword,
			       [&](bool ok, const QString &) { changed = ok; });
	QTRY_VERIFY(changed);
	QCOMPARE(session.state(), DeviceSession::Ready);
	QTRY_VERIFY(envelopes.count() >= 2); // polled, not pushed
	QVERIFY(envelopes.last().at(0).toJsonObject().contains("fields"));

	// A stale CSRF token refuses changes with "unauthorized".
	rig.http->expireCsrfTokens();
	const RpcResult refused = call(session.rpc(), "setSettings");
	QCOMPARE(refused.code, QStringLiteral("unauthorized"));
	QCOMPARE(refused.message, QStringLiteral("csrf_invalid"));

	// The device restarts and forgets every sign-in: the next poll is
	// refused and the session signs in again with what worked.
	rig.device.restart();
	rig.device.skipTime(60000);
	envelopes.clear();
	QTRY_VERIFY_WITH_TIMEOUT(envelopes.count() >= 2, 10000);
	QCOMPARE(session.state(), DeviceSession::Ready);
	// The fresh sign-in brought a fresh CSRF token.
	QVERIFY(call(session.rpc(), "setSettings").ok);
}

QTEST_GUILESS_MAIN(TestDeviceSimNet)
#include "tst_device_sim_net.moc"
