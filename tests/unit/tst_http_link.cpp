#include "lan/http_link.h"

#include "http_server.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>

using namespace quillmarch;
using quillmarch::tools::HttpReply;
using quillmarch::tools::HttpRequest;
using quillmarch::tools::HttpServer;

namespace {

const QString kNoRoute = QStringLiteral(
	"This is only available over USB or Bluetooth, not over the network.");
const QString kUnreachable =
	QStringLiteral("Could not reach the device on your network.");

// A port on 127.0.0.1 that nothing listens on.
quint16 closedPort()
{
	QTcpServer probe;
	probe.listen(QHostAddress::LocalHost, 0);
	const quint16 port = probe.serverPort();
	probe.close();
	return port;
}

// A transport on the fake device, and every reply message it emitted.
struct Wire {
	HttpServer server;
	HttpAdminTransport transport;
	QList<QJsonObject> replies;
	int nextId = 1;

	explicit Wire(quint16 port = 0)
		: transport(QStringLiteral("127.0.0.1"),
			    port ? port : (server.listen(), server.port()))
	{
		transport.setOpen(true);
		QObject::connect(
			&transport, &RpcTransport::message,
			[this](const QByteArray &json) {
				replies.append(
					QJsonDocument::fromJson(json).object());
			});
	}

	int send(const QString &method, const QJsonObject &params = {})
	{
		const int id = nextId++;
		transport.send(QJsonDocument(QJsonObject{{"id", id},
							 {"method", method},
							 {"params", params}})
				       .toJson(QJsonDocument::Compact));
		return id;
	}
	// The reply to one request, or nothing after five seconds.
	QJsonObject call(const QString &method, const QJsonObject &params = {})
	{
		const int id = send(method, params);
		QJsonObject reply;
		(void)QTest::qWaitFor([&] {
			for (const QJsonObject &r : replies)
				if (r.value("id").toInt() == id)
					reply = r;
			return !reply.isEmpty();
		});
		return reply;
	}
};

QJsonObject error(const QJsonObject &reply)
{
	return reply.value("error").toObject();
}

} // namespace

class TestHttpLink : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void normalizeLanHostRows_data();
	void normalizeLanHostRows();
	void requestShapes_data();
	void requestShapes();
	void formBodyEncoding();
	void signInTravelsWithLaterRequests();
	void statusBecomesReply_data();
	void statusBecomesReply();
	void noAnswer_data();
	void noAnswer();
	void refusedWithoutARequest_data();
	void refusedWithoutARequest();
	void addressSplit_data();
	void addressSplit();
	void probe_data();
	void probe();
	void onlyTheLatestProbeCounts();
	void closeForgetsTheSignIn();
	void oversizedAnswerIsCutOff_data();
	void oversizedAnswerIsCutOff();
};

// What the user typed, the host it names (a typed port kept), and that host
// as stored and used by the secure feed (no port).
void TestHttpLink::normalizeLanHostRows_data()
{
	QTest::addColumn<QString>("typed");
	QTest::addColumn<QString>("host");
	QTest::addColumn<QString>("stored");
	const auto row = [](const char *name, const QString &typed,
			    const QString &host, const QString &stored) {
		QTest::newRow(name) << typed << host << stored;
	};
	row("number with spaces", "  42 ", "quillmarch0042.local",
	    "quillmarch0042.local");
	row("five digits", "12345", "12345", "12345");
	row("name", "Quillmarch0042", "quillmarch0042.local",
	    "quillmarch0042.local");
	row("mdns name", "quillmarch0042.local", "quillmarch0042.local",
	    "quillmarch0042.local");
	row("url", "http://192.168.4.1/admin/x", "192.168.4.1", "192.168.4.1");
	row("port kept", "192.168.4.1:8080", "192.168.4.1:8080", "192.168.4.1");
	row("name with port", "Quillmarch0042:8080",
	    "quillmarch0042.local:8080", "quillmarch0042.local");
	row("number with port", "42:8080", "quillmarch0042.local:8080",
	    "quillmarch0042.local");
	row("not a port", "192.168.4.1:80a", "192.168.4.1:80a",
	    "192.168.4.1:80a");
	row("ipv6 untouched", "fe80::1", "fe80::1", "fe80::1");
	row("ipv6 with zone", "fe80::1%eth0", "fe80::1%eth0", "fe80::1%eth0");
	row("bracketed ipv6 with port", "[fe80::1]:8080", "[fe80::1]:8080",
	    "fe80::1");
	row("bracketed ipv6", "http://[::1]/", "[::1]", "::1");
	row("brackets around nothing", "[]:80", "[]:80", "[]:80");
	row("inner space", "my device", "", "");
	row("only a scheme", "http:// /", "", "");
	row("non-ascii digits", QString::fromUtf8("٤٢:٨٠"),
	    QString::fromUtf8("٤٢:٨٠"), QString::fromUtf8("٤٢:٨٠"));
}

void TestHttpLink::normalizeLanHostRows()
{
	QFETCH(QString, typed);
	QFETCH(QString, host);
	QFETCH(QString, stored);
	QCOMPARE(normalizeLanHost(typed), host);
	QCOMPARE(lanHostWithoutPort(host), stored);
}

void TestHttpLink::requestShapes_data()
{
	QTest::addColumn<QString>("method");
	QTest::addColumn<QByteArray>("verb");
	QTest::addColumn<QByteArray>("path");
	QTest::addColumn<QByteArray>("contentType");
	QTest::addColumn<QByteArray>("body");
	const QByteArray json = "application/json";
	const QByteArray asJson = R"({"force_new":true,"ssid":"Gym"})";
	const auto row = [](const char *method, const char *verb,
			    const char *path, const QByteArray &type,
			    const QByteArray &body) {
		QTest::newRow(method)
			<< QString::fromLatin1(method) << QByteArray(verb)
			<< QByteArray(path) << type << body;
	};
	row("getControllerConfig", "GET", "/api/controller/config", "", "");
	row("setControllerConfig", "POST", "/api/controller/config", json,
	    asJson);
	row("c6OtaApply", "POST", "/api/system/c6-ota", json, asJson);
	row("configureWifi", "POST", "/configure",
	    "application/x-www-form-urlencoded", "force_new=true&ssid=Gym");
}

// Parameters go in a POST body and never into a URL.
void TestHttpLink::requestShapes()
{
	QFETCH(QString, method);
	QFETCH(QByteArray, verb);
	QFETCH(QByteArray, path);
	QFETCH(QByteArray, contentType);
	QFETCH(QByteArray, body);

	Wire wire;
	wire.server.setHandler([](const HttpRequest &) {
		return HttpReply::json(200, {{"done", true}});
	});
	const QJsonObject reply =
		wire.call(method, {{"ssid", "Gym"}, {"force_new", true}});
	QCOMPARE(reply.value("result").toObject().value("done"),
		 QJsonValue(true));

	QCOMPARE(wire.server.requests().size(), 1);
	const HttpRequest got = wire.server.requests().first();
	QCOMPARE(got.method, verb);
	QCOMPARE(got.target, path);
	QCOMPARE(got.header("Accept"), QByteArray("application/json"));
	QCOMPARE(got.header("Content-Type"), contentType);
	QCOMPARE(got.body, body);
}

void TestHttpLink::formBodyEncoding()
{
	Wire wire;
	wire.server.route("POST", "/configure",
			  HttpReply::json(200, {{"ok", true}}));
	const QJsonObject params{{"ssid", "Home Net 5G"},
				 {"pass", "a+b&c=d%é"},
				 {"channel", 6},
				 {"hidden", false}};
	QCOMPARE(wire.call("configureWifi", params).value("ok").toBool(), true);
	QCOMPARE(wire.server.requests().first().body,
		 QByteArray("channel=6&hidden=false&pass=a+b%26c%3Dd%25%C3%A9"
			    "&ssid=Home%20Net%205G"));
}

void TestHttpLink::signInTravelsWithLaterRequests()
{
	Wire wire;
	int logins = 0;
	wire.server.route("POST", "/login", [&](const HttpRequest &req) {
		++logins;
		if (req.json().value("password") != "secret")
			return HttpReply::json(
				401, {{"error", "invalid_credentials"}});
		if (logins == 1)
			return HttpReply::json(
				       200, {{"csrf_token", "tok-1"},
					     {"must_change_password", false}})
				.withHeader("Set-Cookie",
					    "qm_sid=abc123; Path=/; HttpOnly");
		// A second cookie comes as a header of its own.
		return HttpReply::json(200, {})
			.withHeader("Set-Cookie", "qm_sid=def456")
			.withHeader("Set-Cookie", "theme=dark; Path=/");
	});
	wire.server.setHandler(
		[](const HttpRequest &) { return HttpReply::json(200, {}); });
	// The device repeats its token in the status; only a sign-in sets it.
	wire.server.route("GET", "/api/status",
			  HttpReply::json(200, {{"csrf_token", "tok-other"}}));

	QCOMPARE(wire.call("login", {{"password", "secret"}})
			 .value("result")
			 .toObject()
			 .value("csrf_token"),
		 QJsonValue("tok-1"));
	QCOMPARE(wire.call("getStatus").value("ok").toBool(), true);
	QCOMPARE(wire.call("getSettings").value("ok").toBool(), true);
	// A refused sign-in leaves the session alone.
	QCOMPARE(
		error(wire.call("login", {{"password", "wrong"}})).value("code"),
		QJsonValue("unauthorized"));
	QCOMPARE(wire.call("getState").value("ok").toBool(), true);
	// A new sign-in replaces both, even with neither attribute nor token.
	QCOMPARE(wire.call("login", {{"password", "secret"}}).value("ok"),
		 QJsonValue(true));
	QCOMPARE(wire.call("getStatus").value("ok").toBool(), true);

	const QList<HttpRequest> &sent = wire.server.requests();
	QCOMPARE(sent.size(), 7);
	QVERIFY(!sent.at(0).hasHeader("Cookie"));
	QVERIFY(!sent.at(0).hasHeader("X-CSRF-Token"));
	for (int i : {1, 2, 3, 4}) {
		QCOMPARE(sent.at(i).header("Cookie"),
			 QByteArray("qm_sid=abc123"));
		QCOMPARE(sent.at(i).header("X-CSRF-Token"),
			 QByteArray("tok-1"));
	}
	QCOMPARE(sent.at(6).header("Cookie"), QByteArray("qm_sid=def456"));
	QVERIFY(!sent.at(6).hasHeader("X-CSRF-Token"));
}

void TestHttpLink::statusBecomesReply_data()
{
	QTest::addColumn<int>("status");
	QTest::addColumn<QByteArray>("body");
	QTest::addColumn<QString>("code"); // empty: a success
	QTest::addColumn<QString>("message");
	QTest::addColumn<QByteArray>("result");
	const auto fail = [](const char *name, int status, const char *body,
			     const char *code, const char *message) {
		QTest::newRow(name) << status << QByteArray(body) << code
				    << message << QByteArray();
	};
	const auto ok = [](const char *name, int status, const char *body,
			   const char *result) {
		QTest::newRow(name) << status << QByteArray(body) << QString()
				    << QString() << QByteArray(result);
	};
	const char *generic = "The device answered with an error (%1).";
	fail("400 with code", 400, R"({"code":"weak","message":"Too short"})",
	     "weak", "Too short");
	fail("400 bare", 400, "{}", "bad_request", generic);
	fail("401", 401, R"({"error":"invalid_credentials","message":"No"})",
	     "unauthorized", "No");
	fail("403 csrf", 403, R"({"error":"csrf_invalid"})", "unauthorized",
	     "csrf_invalid");
	fail("403 other", 403, R"({"error":"locked","message":"Locked out"})",
	     "forbidden", "Locked out");
	fail("429", 429, "", "rate_limited", generic);
	fail("500 html", 500, "<html><body>Oops</body></html>", "device_error",
	     generic);
	fail("503", 503, R"({"message":"Updating"})", "unavailable",
	     "Updating");
	fail("302 not followed", 302, "", "device_error", generic);
	ok("200 empty", 200, "", R"({"value":null})");
	ok("200 array", 200, R"([1,"a"])", R"({"value":[1,"a"]})");
	ok("200 text", 200, "OK", R"({"value":null})");
	ok("200 object", 200, R"({"device_id":"QM-0042"})",
	   R"({"device_id":"QM-0042"})");
}

void TestHttpLink::statusBecomesReply()
{
	QFETCH(int, status);
	QFETCH(QByteArray, body);
	QFETCH(QString, code);
	QFETCH(QString, message);
	QFETCH(QByteArray, result);

	Wire wire;
	HttpReply answer = HttpReply::text(status, body, "text/html");
	if (status == 302)
		answer.withHeader("Location", "/login");
	wire.server.route("GET", "/api/settings", answer);

	const QJsonObject reply = wire.call("getSettings");
	QCOMPARE(reply.value("ok").toBool(), code.isEmpty());
	if (code.isEmpty()) {
		QCOMPARE(reply.value("result").toObject(),
			 QJsonDocument::fromJson(result).object());
		QVERIFY(!reply.contains("error"));
	} else {
		QCOMPARE(error(reply).value("code").toString(), code);
		if (message.contains("%1"))
			message = message.arg(status);
		QCOMPARE(error(reply).value("message").toString(), message);
		QVERIFY(!reply.contains("result"));
	}
	QCOMPARE(wire.server.requests().size(), 1);
}

void TestHttpLink::noAnswer_data()
{
	QTest::addColumn<QString>("method");
	QTest::addColumn<QString>("how");
	QTest::addColumn<bool>("ok");

	for (const char *how : {"dropped", "timed out", "refused", "cut"}) {
		for (const char *method : {"reboot", "getStatus"}) {
			QTest::addRow("%s %s", method, how)
				<< method << how
				<< (qstrcmp(method, "getStatus") != 0);
		}
	}
	QTest::newRow("otaApply dropped") << "otaApply"
					  << "dropped" << true;
}

// A restart or an update drops the connection without answering; for them
// that is success, for anything else the device is unreachable.
void TestHttpLink::noAnswer()
{
	QFETCH(QString, method);
	QFETCH(QString, how);
	QFETCH(bool, ok);

	std::unique_ptr<Wire> wire;
	if (how == "refused") {
		wire = std::make_unique<Wire>(closedPort());
	} else {
		wire = std::make_unique<Wire>();
		HttpReply response = HttpReply::of(HttpReply::Action::Drop);
		if (how == "timed out") {
			response = HttpReply::of(HttpReply::Action::Stall);
			wire->transport.setTransferTimeout(300);
		} else if (how == "cut") {
			// Headers promise more body than ever comes.
			response = HttpReply::raw(
				"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n"
				"\r\n{\"status\":");
			response.close = true;
		}
		wire->server.setHandler(
			[response](const HttpRequest &) { return response; });
	}

	const QJsonObject reply = wire->call(method);
	QCOMPARE(reply.value("ok").toBool(), ok);
	if (ok) {
		const QJsonObject restarted{{"status", "ok"}};
		QCOMPARE(reply.value("result").toObject(), restarted);
	} else {
		QCOMPARE(error(reply).value("code"), QJsonValue("unreachable"));
		QCOMPARE(error(reply).value("message").toString(),
			 kUnreachable);
	}
	if (how != "refused")
		QVERIFY(!wire->server.requests().isEmpty());
}

void TestHttpLink::refusedWithoutARequest_data()
{
	QTest::addColumn<QString>("method");
	QTest::addColumn<bool>("open");
	QTest::addColumn<QString>("code");
	QTest::addColumn<QString>("message");
	for (const char *m : {"getLogs", "factoryReset", "GetStatus", ""}) {
		QTest::addRow("no route: '%s'", m)
			<< m << true << "not_available_here" << kNoRoute;
	}
	QTest::newRow("closed") << "getStatus" << false << "disconnected"
				<< "Not connected to a device";
}

// Answered inside send(), before any event is processed.
void TestHttpLink::refusedWithoutARequest()
{
	QFETCH(QString, method);
	QFETCH(bool, open);
	QFETCH(QString, code);
	QFETCH(QString, message);

	Wire wire;
	wire.transport.setOpen(open);
	const int id = wire.send(method, {{"confirm", true}});
	QCOMPARE(wire.replies.size(), 1);
	const QJsonObject reply = wire.replies.first();
	QCOMPARE(reply.value("id").toInt(), id);
	QCOMPARE(reply.value("ok"), QJsonValue(false));
	QCOMPARE(error(reply).value("code").toString(), code);
	QCOMPARE(error(reply).value("message").toString(), message);

	// The next real request is the first the device ever sees.
	wire.transport.setOpen(true);
	wire.call("getState");
	QCOMPARE(wire.server.requests().size(), 1);
	QCOMPARE(wire.server.requests().first().path, QByteArray("/state"));
}

void TestHttpLink::addressSplit_data()
{
	QTest::addColumn<QString>("address");
	QTest::addColumn<QString>("host");
	QTest::addColumn<int>("port");
	const auto row = [](const char *name, const char *address,
			    const char *host, int port) {
		QTest::newRow(name) << address << host << port;
	};
	row("ipv4 and port", "192.168.4.1:8080", "192.168.4.1", 8080);
	row("highest port", "dev.local:65535", "dev.local", 65535);
	row("no port", "quillmarch0042.local", "quillmarch0042.local", 0);
	row("port 0", "192.168.4.1:0", "192.168.4.1:0", 0);
	row("port 99999", "192.168.4.1:99999", "192.168.4.1:99999", 0);
	row("port not a number", "192.168.4.1:80a", "192.168.4.1:80a", 0);
	row("ipv6", "fe80::1", "fe80::1", 0);
}

void TestHttpLink::addressSplit()
{
	QFETCH(QString, address);
	QFETCH(QString, host);
	QFETCH(int, port);
	HttpLink link(address);
	QCOMPARE(link.host(), host);
	QCOMPARE(link.port(), port);
	QCOMPARE(link.adminTransport()->host(), host);
	QCOMPARE(link.adminTransport()->port(), port);
}

void TestHttpLink::probe_data()
{
	QTest::addColumn<int>("status"); // 0: never answers, -1: nobody listens
	QTest::newRow("200 opens") << 200;
	QTest::newRow("401 opens") << 401;
	QTest::newRow("device never answers") << 0;
	QTest::newRow("nothing listens") << -1;
}

// Any HTTP answer to the status probe opens the link; no answer fails it.
void TestHttpLink::probe()
{
	QFETCH(int, status);
	HttpServer server;
	QVERIFY(server.listen());
	server.route("GET", "/api/status",
		     status > 0 ? HttpReply::text(status, "x")
				: HttpReply::of(HttpReply::Action::Stall));
	const quint16 port = status < 0 ? closedPort() : server.port();

	HttpLink link(QStringLiteral("127.0.0.1:%1").arg(port));
	link.setProbeTimeout(300);
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy failed(&link, &DeviceLink::failed);
	QVERIFY(!link.transport()->isOpen());
	link.open();
	QTRY_COMPARE(opened.size() + failed.size(), 1);
	QTest::qWait(20);
	QCOMPARE(link.transport()->isOpen(), status > 0);
	if (status > 0) {
		QCOMPARE(opened.size(), 1);
		QCOMPARE(opened.first().first().toJsonObject(), QJsonObject());
	} else {
		QCOMPARE(failed.size(), 1);
		QCOMPARE(failed.first().at(0).toString(),
			 QString("unreachable"));
		QCOMPARE(failed.first().at(1).toString(),
			 QString("Could not reach 127.0.0.1 on your network. "
				 "Check the address, and that this computer "
				 "and the device are on the same network."));
	}
	if (status >= 0) {
		QCOMPARE(server.requests().size(), 1);
		QCOMPARE(server.requests().first().method, QByteArray("GET"));
	}
}

// The first probe's answer comes back first, yet it belongs to an abandoned
// attempt: only the second probe's outcome may be reported.
void TestHttpLink::onlyTheLatestProbeCounts()
{
	HttpServer server;
	QVERIFY(server.listen());
	int probes = 0;
	server.route("GET", "/api/status", [&](const HttpRequest &) {
		return ++probes == 1 ? HttpReply::json(200, {}).after(100)
				     : HttpReply::of(HttpReply::Action::Drop)
					       .after(400);
	});

	HttpLink link(server.endpoint());
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy failed(&link, &DeviceLink::failed);
	link.open();
	QTRY_COMPARE(server.requests().size(), 1);
	link.open();
	QVERIFY(failed.wait(5000));
	QCOMPARE(server.answered(), 1);
	QCOMPARE(opened.size(), 0);
	QCOMPARE(failed.size(), 1);
	QVERIFY(!link.transport()->isOpen());
}

void TestHttpLink::closeForgetsTheSignIn()
{
	HttpServer server;
	QVERIFY(server.listen());
	server.route("GET", "/api/status", HttpReply::json(200, {}));
	server.route("POST", "/login", [&](const HttpRequest &req) {
		// The second sign-in answers late, after the link closed.
		const bool late = req.json().value("password") == "late";
		return HttpReply::json(200, {{"csrf_token", "tok"}})
			.withHeader("Set-Cookie", "qm_sid=1; Path=/")
			.after(late ? 200 : 0);
	});

	HttpLink link(server.endpoint());
	HttpAdminTransport *transport = link.adminTransport();
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy messages(transport, &RpcTransport::message);
	link.open();
	QVERIFY(opened.wait(5000));
	transport->send(
		R"({"id":1,"method":"login","params":{"password":"p"}})");
	QVERIFY(messages.wait(5000));
	QCOMPARE(transport->cookie(), QByteArray("qm_sid=1"));
	QCOMPARE(transport->csrfToken(), QByteArray("tok"));

	transport->send(
		R"({"id":2,"method":"login","params":{"password":"late"}})");
	QTRY_COMPARE(server.requests().size(), 3);
	QSignalSpy closed(&link, &DeviceLink::closed);
	QSignalSpy failed(&link, &DeviceLink::failed);
	link.close();
	QVERIFY(!transport->isOpen());
	QVERIFY(transport->cookie().isEmpty());
	QVERIFY(transport->csrfToken().isEmpty());

	// The late answer still becomes a reply, but signs nobody in.
	QVERIFY(messages.wait(5000));
	QCOMPARE(messages.size(), 2);
	QVERIFY(transport->cookie().isEmpty());
	QCOMPARE(closed.size() + failed.size(), 0);
	QCOMPARE(opened.size(), 1);

	link.open();
	QVERIFY(opened.wait(5000));
	transport->send(R"({"id":3,"method":"getStatus"})");
	QVERIFY(messages.wait(5000));
	const HttpRequest last = server.requests().last();
	QCOMPARE(last.target, QByteArray("/api/status"));
	QVERIFY(!last.hasHeader("Cookie"));
	QVERIFY(!last.hasHeader("X-CSRF-Token"));
}

void TestHttpLink::oversizedAnswerIsCutOff_data()
{
	QTest::addColumn<QByteArray>("wire");
	QTest::addColumn<bool>("fits");
	const qint64 cap = HttpAdminTransport::kMaxAnswerBytes;
	const QByteArray head = "HTTP/1.1 200 OK\r\n";
	const QByteArray length = "Content-Length: ";
	QTest::newRow("exactly the cap")
		<< head + length + QByteArray::number(cap) + "\r\n\r\n" +
			   "{\"pad\":\"" + QByteArray(cap - 10, 'x') + "\"}"
		<< true;
	QTest::newRow("declared larger")
		<< head + length + QByteArray::number(cap + 1) + "\r\n\r\n{"
		<< false;
	// No length: the body runs until the connection closes.
	QTest::newRow("grows larger")
		<< head + "\r\n" + QByteArray(cap + 1, ' ') << false;
}

// The server keeps the connection open after writing, so a client waiting
// for the rest of an answer would sit there until its transfer time-out:
// only cutting the transfer off answers in time.
void TestHttpLink::oversizedAnswerIsCutOff()
{
	QFETCH(QByteArray, wire);
	QFETCH(bool, fits);
	Wire device;
	device.server.setHandler(
		[wire](const HttpRequest &) { return HttpReply::raw(wire); });

	const QJsonObject reply = device.call("getStatus");
	if (fits) {
		QCOMPARE(reply.value("result")
				 .toObject()
				 .value("pad")
				 .toString()
				 .size(),
			 HttpAdminTransport::kMaxAnswerBytes - 10);
	} else {
		QCOMPARE(error(reply).value("code"),
			 QJsonValue("response_too_large"));
		QCOMPARE(
			error(reply).value("message").toString(),
			QString("The device's answer was larger than 4 MiB, so "
				"it was not read. Check that the address "
				"belongs to a Quillmarch device."));
	}

	// The status probe draws the same line, and nothing that oversteps it
	// counts as a device.
	HttpLink link(device.server.endpoint());
	QSignalSpy opened(&link, &DeviceLink::opened);
	QSignalSpy failed(&link, &DeviceLink::failed);
	link.open();
	QTRY_COMPARE(opened.size() + failed.size(), 1);
	QCOMPARE(opened.size(), fits ? 1 : 0);
	QCOMPARE(link.transport()->isOpen(), fits);
	if (!fits) {
		QCOMPARE(failed.first().at(0).toString(),
			 QString("response_too_large"));
	}
}

QTEST_GUILESS_MAIN(TestHttpLink)
#include "tst_http_link.moc"
