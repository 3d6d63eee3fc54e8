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

#include <QElapsedTimer>
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

// A device with its network side on free loopback ports, an HttpLink and
// an RpcClient on it. The device clock stands still, so a restart lasts
// until the test moves it on.
struct NetRig {
	NetRig() : device(deviceConfig()) {}
	static DeviceModel::Config deviceConfig()
	{
		DeviceModel::Config config;
		config.operationSpeed = 0;
		config.envelopesPerSecond = 20;
		return config;
	}

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
		QSignalSpy opened(link.get(), &DeviceLink::opened);
		link->open();
		return opened.wait(5000);
	}

	RpcResult call(const QString &method, const QJsonObject &params = {})
	{
		RpcResult out;
		bool done = false;
		rpc->call(
			method, params,
			[&](const RpcResult &r) {
				out = r;
				done = true;
			},
			5000);
		if (!QTest::qWaitFor([&] { return done; }, 8000))
			out.code = QStringLiteral("test_gave_up");
		return out;
	}
	bool signIn(const QString &password = QStringLiteral("corvalinth"))
	{
		return call("login", {{"password", password}}).ok;
	}
	QString token()
	{
		return call("ensureApiToken").result.value("token").toString();
	}

	DeviceModel device;
	std::unique_ptr<HttpSide> http;
	std::unique_ptr<FeedSide> feed;
	std::unique_ptr<HttpLink> link;
	std::unique_ptr<RpcClient> rpc;
};

struct RawAnswer {
	int status = 0;
	QByteArray head;
	QByteArray body;
};

// Writes bytes on a fresh connection and reads answers until `count` are
// in and, if asked, the server has closed the connection.
struct RawExchange {
	QList<RawAnswer> answers;
	bool closed = false;
};

RawExchange exchange(quint16 port, const QByteArray &bytes, int count,
		     bool untilClosed)
{
	RawExchange out;
	QTcpSocket socket;
	socket.connectToHost(QHostAddress::LocalHost, port);
	if (!QTest::qWaitFor(
		    [&] {
			    return socket.state() ==
				   QAbstractSocket::ConnectedState;
		    },
		    3000))
		return out;
	socket.write(bytes);
	QByteArray in;
	// Gives up after a while; the caller checks what did arrive.
	(void)QTest::qWaitFor(
		[&] {
			in += socket.readAll();
			for (;;) {
				const int end = int(in.indexOf("\r\n\r\n"));
				if (end < 0)
					break;
				RawAnswer a;
				a.head = in.left(end);
				const QRegularExpressionMatch length =
					QRegularExpression(
						"Content-Length: (\\d+)")
						.match(QString::fromLatin1(
							a.head));
				const int size = length.captured(1).toInt();
				if (in.size() < end + 4 + size)
					break;
				a.status = a.head.mid(9, 3).toInt();
				a.body = in.mid(end + 4, size);
				in.remove(0, end + 4 + size);
				out.answers.append(a);
			}
			out.closed = socket.state() ==
				     QAbstractSocket::UnconnectedState;
			return out.closed ||
			       (out.answers.size() >= count && !untilClosed);
		},
		5000);
	if (!untilClosed && !out.closed) {
		// A connection meant to stay open must not close right after.
		QTest::qWait(50);
		out.closed = socket.state() ==
			     QAbstractSocket::UnconnectedState;
	}
	return out;
}

QStringList commandLine(const QString &arguments)
{
	return QStringList{QStringLiteral("quillmarch-sim")} +
	       arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts);
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

	void admin_signInChangePasswordAndConfigure();
	void session_overTheNetwork();
	void admin_csrfAndFailuresOnRequest();
	void wire_sessionCookieAndCsrf();
	void wire_badInput_data();
	void wire_badInput();
	void reboot_dropsBothSidesUntilUp();
	void feed_tokenDecidesAndNoRetryAfterRejection();
	void feed_dropsRefusalsAndRevokedToken();
	void options_networkSide_data();
	void options_networkSide();
	void program_printsEndpointsAndToken();
};

void TestDeviceSimNet::admin_signInChangePasswordAndConfigure()
{
	NetRig rig;
	// The link opens on the probe's 401: no cookie yet, but a device.
	QVERIFY(rig.start());
	QCOMPARE(rig.call("getStatus").code, QString("unauthorized"));
	const RpcResult wrong = rig.call("login", {{"password", "nope"}});
	QCOMPARE(wrong.code, QString("unauthorized"));
	QCOMPARE(wrong.message, QString("Wrong password."));

	const RpcResult login = rig.call("login", {{"password", "corvalinth"}});
	QVERIFY(login.ok);
	QCOMPARE(login.result.value("must_change_password"), QJsonValue(true));
	auto *transport = rig.link->adminTransport();
	QVERIFY(transport->cookie().startsWith("qm_session="));
	QVERIFY(transport->cookie().size() > 20);
	QVERIFY(!transport->csrfToken().isEmpty());

	QVERIFY(rig.call("changePassword", {{"current_password", "corvalinth"},
					    {"new_password", kNewPassword},
					    {"confirm_password", kNewPassword}})
			.ok);
	const RpcResult status = rig.call("getStatus");
	QVERIFY(status.ok);
	QCOMPARE(status.result.value("must_change_password"),
		 QJsonValue(false));
	QCOMPARE(status.result.value("device_id"), QJsonValue("QM-00A1B2"));
	QCOMPARE(status.result.value("csrf_token").toString().toUtf8(),
		 transport->csrfToken());

	const QJsonArray controllers = rig.call("getControllerList")
					       .result.value("controllers")
					       .toArray();
	const QJsonObject current = rig.call("getControllerConfig").result;
	QJsonObject choice;
	for (const QJsonValue &c : controllers)
		if (c.toObject() != current)
			choice = c.toObject();
	QVERIFY(!choice.isEmpty());
	QVERIFY(rig.call("setControllerConfig", choice).ok);
	QCOMPARE(rig.call("getControllerConfig").result, choice);
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
}

void TestDeviceSimNet::admin_csrfAndFailuresOnRequest()
{
	NetRig rig;
	QVERIFY(rig.start());
	QVERIFY(rig.signIn());

	// A stale CSRF token refuses POSTs only; signing in again mends it.
	rig.http->expireCsrfTokens();
	QVERIFY(rig.call("getSettings").ok);
	const RpcResult refused = rig.call("setSettings", {});
	QCOMPARE(refused.code, QString("unauthorized"));
	QCOMPARE(refused.message, QString("csrf_invalid"));
	QVERIFY(rig.signIn());
	QVERIFY(rig.call("setSettings", {}).ok);

	struct Row {
		int status;
		const char *code;
	};
	const Row rows[] = {{400, "bad_request"},
			    {401, "unauthorized"},
			    {429, "rate_limited"},
			    {503, "unavailable"},
			    {500, "device_error"}};
	for (const Row &row : rows) {
		rig.http->failNext("/api/settings", row.status, 2);
		for (int i = 0; i < 2; ++i)
			QCOMPARE(rig.call("getSettings").code,
				 QString(row.code));
		QVERIFY2(rig.call("getSettings").ok, row.code);
	}
	rig.http->failNext("/api/settings", 500);
	QCOMPARE(rig.call("getSettings").message,
		 QString("The device answered with an error (500)."));
	// Other paths are not touched by a failure set for one.
	rig.http->failNext("/api/settings", 503);
	QVERIFY(rig.call("getStatus").ok);
	QCOMPARE(rig.call("getSettings").code, QString("unavailable"));

	// A dropped connection: the client may try once more itself.
	rig.http->failNext("/api/settings", 0, 3);
	QCOMPARE(rig.call("getSettings").code, QString("unreachable"));
	rig.http->clearFailures();

	// A device answering "busy" says so with 503.
	rig.device.setBusyReplies(1);
	QCOMPARE(rig.call("getState").code, QString("unavailable"));
	QVERIFY(rig.call("getState").ok);
}

void TestDeviceSimNet::wire_sessionCookieAndCsrf()
{
	NetRig rig;
	QVERIFY(rig.start());
	const quint16 port = rig.http->port();
	const QByteArray body = "{\"password\":\"corvalinth\"}";
	const RawExchange login = exchange(
		port,
		"POST /login HTTP/1.1\r\nHost: d\r\nContent-Type: "
		"application/json\r\nContent-Length: " +
			QByteArray::number(body.size()) + "\r\n\r\n" + body,
		1, false);
	QCOMPARE(login.answers.size(), 1);
	QCOMPARE(login.answers[0].status, 200);
	const QRegularExpressionMatch cookie =
		QRegularExpression("\r\nSet-Cookie: (qm_session=[0-9a-f]+); "
				   "Path=/; HttpOnly(\r\n|$)")
			.match(QString::fromLatin1(login.answers[0].head));
	QVERIFY2(cookie.hasMatch(), login.answers[0].head.constData());
	const QByteArray csrf = QJsonDocument::fromJson(login.answers[0].body)
					.object()
					.value("csrf_token")
					.toString()
					.toLatin1();
	QVERIFY(!csrf.isEmpty());

	const QByteArray post = "POST /api/settings HTTP/1.1\r\nCookie: x=1; " +
				cookie.captured(1).toLatin1() +
				"\r\nContent-Length: 2\r\n";
	// Missing, wrong and right token, pipelined on one connection.
	const RawExchange three = exchange(
		port,
		post + "\r\n{}" + post + "X-CSRF-Token: bad\r\n\r\n{}" + post +
			"X-CSRF-Token: " + csrf + "\r\n\r\n{}",
		3, false);
	QCOMPARE(three.answers.size(), 3);
	QCOMPARE(three.answers[0].status, 403);
	QCOMPARE(three.answers[0].body,
		 QByteArray("{\"error\":\"csrf_invalid\"}"));
	QCOMPARE(three.answers[1].status, 403);
	QCOMPARE(three.answers[2].status, 200);
	QVERIFY(!three.closed);

	// Connection: close, and HTTP/1.0 without keep-alive, close after
	// the answer; the unknown cookie is no session.
	const RawExchange closing =
		exchange(port,
			 "GET /api/status HTTP/1.1\r\nCookie: qm_session=00\r\n"
			 "Connection: close\r\n\r\n",
			 1, true);
	QCOMPARE(closing.answers.size(), 1);
	QCOMPARE(closing.answers[0].status, 401);
	QVERIFY(closing.closed);
	const RawExchange old =
		exchange(port, "GET /state HTTP/1.0\r\n\r\n", 1, true);
	QCOMPARE(old.answers.size(), 1);
	QVERIFY(old.closed);
}

void TestDeviceSimNet::wire_badInput_data()
{
	QTest::addColumn<QByteArray>("bytes");
	QTest::addColumn<int>("status");
	QTest::addColumn<bool>("closes");

	QTest::newRow("not HTTP") << QByteArray("HELLO\r\n\r\n") << 400 << true;
	QTest::newRow("HTTP/2")
		<< QByteArray("GET / HTTP/2.0\r\n\r\n") << 505 << true;
	QTest::newRow("header without colon")
		<< QByteArray("GET /scan HTTP/1.1\r\nHost x\r\n\r\n") << 400
		<< true;
	QTest::newRow("binary")
		<< QByteArray("\x00\x01\xfe\xff /x HTTP/1.1\r\n\r\n", 20) << 400
		<< true;
	QTest::newRow("huge head")
		<< "GET /scan HTTP/1.1\r\nX-Big: " + QByteArray(17000, 'a')
		<< 431 << true;
	QTest::newRow("huge body")
		<< QByteArray("POST /login HTTP/1.1\r\nContent-Length: "
			      "100000000\r\n\r\n")
		<< 413 << true;
	QTest::newRow("negative length")
		<< QByteArray(
			   "POST /login HTTP/1.1\r\nContent-Length: -5\r\n\r\n")
		<< 400 << true;
	QTest::newRow("chunked")
		<< QByteArray("POST /login HTTP/1.1\r\nTransfer-Encoding: "
			      "chunked\r\n\r\n0\r\n\r\n")
		<< 501 << true;
	QTest::newRow("unknown path")
		<< QByteArray("GET /admin.php HTTP/1.1\r\n\r\n") << 404
		<< false;
	QTest::newRow("wrong verb")
		<< QByteArray("DELETE /api/settings HTTP/1.1\r\n\r\n") << 405
		<< false;
	QTest::newRow("login body not JSON")
		<< QByteArray(
			   "POST /login HTTP/1.1\r\nContent-Length: 3\r\n\r\n"
			   "{x}")
		<< 400 << false;
}

void TestDeviceSimNet::wire_badInput()
{
	QFETCH(QByteArray, bytes);
	QFETCH(int, status);
	QFETCH(bool, closes);
	NetRig rig;
	QVERIFY(rig.start());
	const RawExchange got = exchange(rig.http->port(), bytes, 1, closes);
	QCOMPARE(got.answers.size(), 1);
	QCOMPARE(got.answers[0].status, status);
	QCOMPARE(got.closed, closes);
	// And the device goes on serving.
	QVERIFY(rig.signIn());
}

void TestDeviceSimNet::reboot_dropsBothSidesUntilUp()
{
	NetRig rig;
	QVERIFY(rig.start());
	QVERIFY(rig.signIn());
	TlsFeed feed;
	feed.setBackoff(100, 400);
	QSignalSpy connected(&feed, &TlsFeed::connectedChanged);
	feed.connectTo("127.0.0.1", rig.feed->port(), rig.token());
	QVERIFY(connected.wait(5000));
	QCOMPARE(connected.takeFirst().at(0).toBool(), true);

	const RpcResult reboot = rig.call("reboot");
	QVERIFY2(reboot.ok, qPrintable(reboot.message));
	QVERIFY(rig.device.isRestarting());
	QVERIFY(!rig.http->isListening());
	QCOMPARE(rig.call("getStatus").code, QString("unreachable"));
	QTRY_COMPARE(connected.size(), 1);
	QCOMPARE(connected.takeFirst().at(0).toBool(), false);
	// Attempts during the restart are refused, not taken.
	const int accepted = rig.feed->connectionsAccepted();
	QTest::qWait(300);
	QCOMPARE(rig.feed->connectionsAccepted(), accepted);
	QVERIFY(!feed.isAuthenticated());

	rig.device.skipTime(rig.device.config().restartMs);
	QVERIFY(!rig.device.isRestarting());
	QVERIFY(rig.http->isListening());
	// Up again, the old sign-in is gone but the token is not.
	QCOMPARE(rig.call("getStatus").code, QString("unauthorized"));
	QVERIFY(rig.signIn());
	QCOMPARE(rig.call("getStatus").result.value("reset_reason"),
		 QJsonValue("software"));
	QTRY_COMPARE_WITH_TIMEOUT(connected.size(), 1, 3000);
	QCOMPARE(connected.first().at(0).toBool(), true);
	QSignalSpy envelopes(&feed, &TlsFeed::envelope);
	QVERIFY(envelopes.wait(3000));
}

void TestDeviceSimNet::feed_tokenDecidesAndNoRetryAfterRejection()
{
	NetRig rig;
	QVERIFY(rig.start());
	QVERIFY(rig.signIn());
	const QString token = rig.token();

	TlsFeed good;
	QSignalSpy goodState(&good, &TlsFeed::connectedChanged);
	QSignalSpy envelopes(&good, &TlsFeed::envelope);
	good.connectTo("127.0.0.1", rig.feed->port(), token);
	QVERIFY(goodState.wait(5000));
	QCOMPARE(goodState.first().at(0).toBool(), true);
	QCOMPARE(rig.feed->authenticatedCount(), 1);
	QTRY_VERIFY(envelopes.size() >= 4);
	double lastSeq = -1;
	for (const QList<QVariant> &args : envelopes) {
		const QJsonObject e = args.at(0).toJsonObject();
		QCOMPARE(e.value("type"), QJsonValue("state"));
		QVERIFY(e.value("fields").toObject().contains("home_score"));
		QVERIFY(e.value("seq").toDouble() > lastSeq);
		lastSeq = e.value("seq").toDouble();
	}

	TlsFeed bad;
	bad.setBackoff(50, 50);
	QSignalSpy badState(&bad, &TlsFeed::connectedChanged);
	const int acceptedBefore = rig.feed->connectionsAccepted();
	bad.connectTo("127.0.0.1", rig.feed->port(), token + "x");
	QVERIFY(badState.wait(5000));
	QCOMPARE(badState.first().at(0).toBool(), false);
	QCOMPARE(badState.first().at(1).toString(), kRejected);
	QVERIFY(!bad.isRunning());
	QTest::qWait(300); // six backoffs: no attempt follows a rejection
	QCOMPARE(rig.feed->connectionsAccepted(), acceptedBefore + 1);
	QCOMPARE(rig.feed->rejections(), 1);
	QCOMPARE(badState.size(), 1);
	QVERIFY(good.isAuthenticated());
}

void TestDeviceSimNet::feed_dropsRefusalsAndRevokedToken()
{
	NetRig rig;
	QVERIFY(rig.start());
	QVERIFY(rig.signIn());
	TlsFeed feed;
	feed.setBackoff(150, 600);
	QSignalSpy state(&feed, &TlsFeed::connectedChanged);
	feed.connectTo("127.0.0.1", rig.feed->port(), rig.token());
	QVERIFY(state.wait(5000));
	state.clear();

	// A drop: down at once, up again after the first backoff.
	QElapsedTimer clock;
	clock.start();
	rig.feed->dropAll();
	QTRY_COMPARE(state.size(), 1);
	QCOMPARE(state.at(0).at(0).toBool(), false);
	QTRY_COMPARE_WITH_TIMEOUT(state.size(), 2, 3000);
	QCOMPARE(state.at(1).at(0).toBool(), true);
	QVERIFY2(clock.elapsed() >= 150,
		 qPrintable(QString::number(clock.elapsed())));
	state.clear();

	// Refused for a while: attempts fail until the port opens again.
	const int accepted = rig.feed->connectionsAccepted();
	rig.feed->refuseFor(700);
	rig.feed->dropAll();
	QTRY_COMPARE(state.size(), 1);
	QTest::qWait(400);
	QCOMPARE(rig.feed->connectionsAccepted(), accepted);
	QVERIFY(!feed.isAuthenticated());
	QTRY_COMPARE_WITH_TIMEOUT(state.size(), 2, 4000);
	QCOMPARE(state.at(1).at(0).toBool(), true);
	state.clear();

	// "auth_fail" to a signed-in client is reported when it closes, and
	// a still-valid token gets back in.
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
	QVERIFY(!fresh.isEmpty());
	QTRY_COMPARE_WITH_TIMEOUT(state.size(), 2, 3000);
	QCOMPARE(state.at(0).at(0).toBool(), false);
	QCOMPARE(state.at(1).at(1).toString(), kRejected);
	QVERIFY(!feed.isRunning());
}

void TestDeviceSimNet::options_networkSide_data()
{
	QTest::addColumn<QString>("arguments");
	QTest::addColumn<QString>("carriers"); // "" when rejected
	QTest::addColumn<int>("feedPort");

	QTest::newRow("cable only by default") << "device"
					       << "usb" << 1010;
	QTest::newRow("network only")
		<< "device --http 127.0.0.1:0 --feed 127.0.0.1"
		<< "http feed" << 1010;
	QTest::newRow("all three, IPv6 feed")
		<< "device --usb --http localhost:8080 --feed [::1]:1443"
		<< "usb http feed" << 1443;
	QTest::newRow("bad http") << "device --http 127.0.0.1:x"
				  << "" << 0;
	QTest::newRow("bad address") << "device --feed host.example"
				     << "" << 0;
	QTest::newRow("status 200 is no failure")
		<< "device --http :0 --http-fail /scan=200"
		<< "" << 0;
	QTest::newRow("receiver has no network")
		<< "device --receiver --feed 127.0.0.1:0"
		<< "" << 0;
	QTest::newRow("cert without key")
		<< "device --feed 127.0.0.1:0 --cert c.pem"
		<< "" << 0;
}

void TestDeviceSimNet::options_networkSide()
{
	QFETCH(QString, arguments);
	QFETCH(QString, carriers);
	QFETCH(int, feedPort);
	DeviceOptions options;
	QString text;
	const ParseOutcome outcome =
		parseDeviceCommandLine(commandLine(arguments), &options, &text);
	if (carriers.isEmpty()) {
		QCOMPARE(outcome, ParseOutcome::Error);
		return;
	}
	QCOMPARE(outcome, ParseOutcome::Run);
	QStringList on;
	if (options.usb)
		on << "usb";
	if (options.http)
		on << "http";
	if (options.feed)
		on << "feed";
	QCOMPARE(on.join(' '), carriers);
	QCOMPARE(int(options.feedSide.port), feedPort);
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
	QSignalSpy opened(&link, &DeviceLink::opened);
	link.open();
	QVERIFY(opened.wait(5000));
	RpcClient rpc(link.transport());
	RpcResult last;
	auto call = [&](const QString &method) {
		bool done = false;
		rpc.call(method, {{"password", "corvalinth"}},
			 [&](const RpcResult &r) {
				 last = r;
				 done = true;
			 });
		return QTest::qWaitFor([&] { return done; }, 8000);
	};
	QVERIFY(call("login") && last.ok);
	QVERIFY(call("ensureApiToken"));
	QCOMPARE(last.result.value("token").toString(), m.captured(3));

	TlsFeed feed;
	QSignalSpy envelopes(&feed, &TlsFeed::envelope);
	feed.connectTo("127.0.0.1", quint16(m.captured(2).toUInt()),
		       m.captured(3));
	QVERIFY(envelopes.wait(5000));

	// A failure asked for on stdin.
	sim.write("http-fail /api/settings 429\n");
	QVERIFY(QTest::qWaitFor(
		[&] {
			return call("getSettings") &&
			       last.code == "rate_limited";
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
	bool refused = false;
	QString code;
	session.rpc()->call("setSettings", {}, [&](const RpcResult &r) {
		refused = true;
		code = r.code;
	});
	QTRY_VERIFY(refused);
	QCOMPARE(code, QStringLiteral("unauthorized"));

	// The device restarts and forgets every sign-in: the next poll is
	// refused and the session signs in again with what worked.
	rig.device.restart();
	rig.device.skipTime(60000);
	envelopes.clear();
	QTRY_VERIFY_WITH_TIMEOUT(envelopes.count() >= 2, 10000);
	QCOMPARE(session.state(), DeviceSession::Ready);
	bool saved = false;
	session.rpc()->call("setSettings", {},
			    [&](const RpcResult &r) { saved = r.ok; });
	QTRY_VERIFY(saved); // the fresh sign-in brought a fresh CSRF token
}

QTEST_GUILESS_MAIN(TestDeviceSimNet)
#include "tst_device_sim_net.moc"
