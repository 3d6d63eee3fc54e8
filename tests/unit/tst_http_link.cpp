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
	void addressesTypedAndSplit();
	void requestShapes();
	void signInTravelsWithLaterRequests();
	void statusBecomesReply();
	void noAnswer();
	void refusedWithoutARequest();
	void probe();
	void onlyTheLatestProbeCounts();
	void closeForgetsTheSignIn();
	void oversizedAnswerIsCutOff();
};

// Rows are "typed|host|stored": what the user typed, the host it names (a
// typed port kept), and that host as stored and used by the secure feed (no
// port); a missing part is the one before it. Then the address a link is
// made with, and the host and port it splits into.
void TestHttpLink::addressesTypedAndSplit()
{
	for (const QString row : {
		     "  42 |quillmarch0042.local",
		     "12345",
		     "Quillmarch0042|quillmarch0042.local",
		     "quillmarch0042.local",
		     "http://192.168.4.1/admin/x|192.168.4.1",
		     "192.168.4.1:8080|192.168.4.1:8080|192.168.4.1",
		     "Quillmarch0042:8080|quillmarch0042.local:8080|quillmarch0042.local",
		     "42:8080|quillmarch0042.local:8080|quillmarch0042.local",
		     "192.168.4.1:80a",
		     "fe80::1",
		     "fe80::1%eth0",
		     "[fe80::1]:8080|[fe80::1]:8080|fe80::1",
		     "http://[::1]/|[::1]|::1",
		     "[]:80",
		     "my device||",
		     "http:// /||",
		     "٤٢:٨٠",
	     }) {
		const QStringList p = row.split('|');
		const QString host = p.value(1, p[0]),
			      stored = p.value(2, host);
		QCOMPARE(normalizeLanHost(p[0]), host);
		QCOMPARE(lanHostWithoutPort(host), stored);
	}
	for (const QString row :
	     {"192.168.4.1:8080|192.168.4.1|8080",
	      "dev.local:65535|dev.local|65535", "quillmarch0042.local",
	      "192.168.4.1:0", "192.168.4.1:99999", "192.168.4.1:80a",
	      "fe80::1"}) {
		const QStringList p = row.split('|');
		HttpLink link(p[0]);
		QCOMPARE(link.host(), p.value(1, p[0]));
		QCOMPARE(link.port(), p.value(2).toInt());
		QCOMPARE(link.adminTransport()->host(), link.host());
		QCOMPARE(link.adminTransport()->port(), link.port());
	}
}

// Parameters go in a POST body, JSON or form-encoded, and never into a URL.
void TestHttpLink::requestShapes()
{
	Wire wire;
	wire.server.setHandler([](const HttpRequest &) {
		return HttpReply::json(200, {{"done", true}});
	});
	const QJsonObject params{{"ssid", "Home Net 5G"},
				 {"pass", "a+b&c=d%é"},
				 {"channel", 6},
				 {"hidden", false}};
	const QByteArray json =
		QJsonDocument(params).toJson(QJsonDocument::Compact);
	const QByteArray form =
		"channel=6&hidden=false&pass=a+b%26c%3Dd%25%C3%A9"
		"&ssid=Home%20Net%205G";
	const struct {
		const char *method, *sent;
		QByteArray type, body;
	} rows[] = {
		{"getControllerConfig", "GET /api/controller/config", "", ""},
		{"setControllerConfig", "POST /api/controller/config",
		 "application/json", json},
		{"c6OtaApply", "POST /api/system/c6-ota", "application/json",
		 json},
		{"configureWifi", "POST /configure",
		 "application/x-www-form-urlencoded", form},
	};
	for (const auto &row : rows) {
		const QJsonObject reply = wire.call(row.method, params);
		QCOMPARE(reply.value("result").toObject().value("done"),
			 QJsonValue(true));
		const HttpRequest got = wire.server.requests().last();
		QCOMPARE(got.method + ' ' + got.target, QByteArray(row.sent));
		QCOMPARE(got.header("Accept"), QByteArray("application/json"));
		QCOMPARE(got.header("Content-Type"), row.type);
		QCOMPARE(got.body, row.body);
	}
	QCOMPARE(wire.server.requests().size(), 4);
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
	wire.call("getStatus");
	wire.call("getSettings");
	// A refused sign-in leaves the session alone.
	QCOMPARE(
		error(wire.call("login", {{"password", "wrong"}})).value("code"),
		QJsonValue("unauthorized"));
	wire.call("getState");
	// A new sign-in replaces both, even with neither attribute nor token.
	QCOMPARE(wire.call("login", {{"password", "secret"}}).value("ok"),
		 QJsonValue(true));
	QCOMPARE(wire.call("getStatus").value("ok").toBool(), true);

	// Cookie and token each request carried, "-" for none.
	QStringList carried;
	for (const HttpRequest &r : wire.server.requests())
		for (const char *name : {"Cookie", "X-CSRF-Token"})
			carried << (r.hasHeader(name) ? r.header(name) : "-");
	QCOMPARE(carried.join(' '),
		 QString("- - qm_sid=abc123 tok-1 qm_sid=abc123 tok-1 "
			 "qm_sid=abc123 tok-1 qm_sid=abc123 tok-1 "
			 "qm_sid=abc123 tok-1 qm_sid=def456 -"));
}

// Each status as the reply it becomes: "code: message" for a failure,
// "= result" for a success.
void TestHttpLink::statusBecomesReply()
{
	Wire wire;
	const QString generic = "The device answered with an error (%1).";
	const struct {
		int status;
		const char *body;
		QString outcome;
	} rows[] = {
		{400, R"({"code":"weak","message":"Too short"})",
		 "weak: Too short"},
		{400, "{}", "bad_request: " + generic},
		{401, R"({"error":"invalid_credentials","message":"No"})",
		 "unauthorized: No"},
		{403, R"({"error":"csrf_invalid"})",
		 "unauthorized: csrf_invalid"},
		{403, R"({"error":"locked","message":"Locked out"})",
		 "forbidden: Locked out"},
		{429, "", "rate_limited: " + generic},
		{500, "<html><body>Oops</body></html>",
		 "device_error: " + generic},
		{503, R"({"message":"Updating"})", "unavailable: Updating"},
		{302, "", "device_error: " + generic}, // not followed
		{200, "", R"(= {"value":null})"},
		{200, R"([1,"a"])", R"(= {"value":[1,"a"]})"},
		{200, "OK", R"(= {"value":null})"},
		{200, R"({"device_id":"QM-0042"})",
		 R"(= {"device_id":"QM-0042"})"},
	};
	for (const auto &row : rows) {
		HttpReply answer =
			HttpReply::text(row.status, row.body, "text/html");
		if (row.status == 302)
			answer.withHeader("Location", "/login");
		wire.server.route("GET", "/api/settings", answer);
		const QJsonObject reply = wire.call("getSettings");
		const QJsonObject e = error(reply);
		const QString got =
			reply.value("ok").toBool()
				? "= " + QJsonDocument(reply.value("result")
							       .toObject())
						  .toJson(QJsonDocument::Compact)
				: e.value("code").toString() + ": " +
					  e.value("message").toString();
		QCOMPARE(got, row.outcome.contains("%1")
				      ? row.outcome.arg(row.status)
				      : row.outcome);
		QCOMPARE(reply.size(), 3); // id, ok, and result or error
	}
	QCOMPARE(wire.server.requests().size(), int(std::size(rows)));
}

// A restart or an update drops the connection without answering; for them
// that is success, for anything else the device is unreachable.
void TestHttpLink::noAnswer()
{
	for (const QString how : {"dropped", "timed out", "refused", "cut"}) {
		Wire wire(how == "refused" ? closedPort() : 0);
		HttpReply response = HttpReply::of(HttpReply::Action::Drop);
		if (how == "timed out") {
			response = HttpReply::of(HttpReply::Action::Stall);
			wire.transport.setTransferTimeout(300);
		} else if (how == "cut") {
			// Headers promise more body than ever comes.
			response = HttpReply::raw(
				"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n"
				"\r\n{\"status\":");
			response.close = true;
		}
		wire.server.setHandler(
			[response](const HttpRequest &) { return response; });
		for (const char *method : {"reboot", "otaApply", "getStatus"}) {
			const bool ok = qstrcmp(method, "getStatus") != 0;
			const QJsonObject want =
				ok ? QJsonObject{{"status", "ok"}}
				   : QJsonObject{{"code", "unreachable"},
						 {"message", kUnreachable}};
			const QJsonObject reply = wire.call(method);
			QCOMPARE(reply.value("ok").toBool(), ok);
			QCOMPARE(
				reply.value(ok ? "result" : "error").toObject(),
				want);
		}
		QCOMPARE(wire.server.requests().isEmpty(), how == "refused");
	}
}

// Answered inside send(), before any event is processed.
void TestHttpLink::refusedWithoutARequest()
{
	Wire wire;
	for (const char *m :
	     {"getLogs", "factoryReset", "GetStatus", "", "-"}) {
		// "-": a known method on a closed transport.
		const bool closed = *m == '-';
		wire.transport.setOpen(!closed);
		const int id = wire.send(closed ? "getStatus" : m,
					 {{"confirm", true}});
		QCOMPARE(wire.replies.size(), id);
		const QJsonObject reply = wire.replies.last();
		QCOMPARE(reply.value("id").toInt(), id);
		QCOMPARE(reply.value("ok"), QJsonValue(false));
		QCOMPARE(error(reply).value("code").toString(),
			 closed ? "disconnected" : "not_available_here");
		QCOMPARE(error(reply).value("message").toString(),
			 closed ? "Not connected to a device" : kNoRoute);
	}
	// The next real request is the first the device ever sees.
	wire.transport.setOpen(true);
	wire.call("getState");
	QCOMPARE(wire.server.requests().size(), 1);
	QCOMPARE(wire.server.requests().first().path, QByteArray("/state"));
}

// Any HTTP answer to the status probe opens the link; no answer fails it.
void TestHttpLink::probe()
{
	// 0: the device never answers; -1: nothing listens.
	for (const int status : {200, 401, 0, -1}) {
		HttpServer server;
		QVERIFY(server.listen());
		server.route("GET", "/api/status",
			     status > 0
				     ? HttpReply::text(status, "x")
				     : HttpReply::of(HttpReply::Action::Stall));
		HttpLink link(QStringLiteral("127.0.0.1:%1")
				      .arg(status < 0 ? closedPort()
						      : server.port()));
		link.setProbeTimeout(300);
		QSignalSpy opened(&link, &DeviceLink::opened);
		QSignalSpy failed(&link, &DeviceLink::failed);
		QVERIFY(!link.transport()->isOpen());
		link.open();
		QTRY_COMPARE(opened.size() + failed.size(), 1);
		QTest::qWait(20);
		QCOMPARE(link.transport()->isOpen(), status > 0);
		QCOMPARE(opened.size(), status > 0 ? 1 : 0);
		if (status > 0) {
			QCOMPARE(opened.first().first().toJsonObject(),
				 QJsonObject());
		} else {
			QCOMPARE(failed.first().at(0).toString() + ": " +
					 failed.first().at(1).toString(),
				 "unreachable: Could not reach 127.0.0.1 on "
				 "your network. Check the address, and that "
				 "this computer and the device are on the same "
				 "network.");
		}
		QCOMPARE(server.requests().size(), status >= 0 ? 1 : 0);
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

// The server keeps the connection open after writing, so a client waiting
// for the rest of an answer would sit there until its transfer time-out:
// only cutting the transfer off answers in time. The status probe draws the
// same line, and nothing that oversteps it counts as a device.
void TestHttpLink::oversizedAnswerIsCutOff()
{
	const qint64 cap = HttpAdminTransport::kMaxAnswerBytes;
	const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Length: ";
	const std::pair<QByteArray, bool> rows[] = {
		{head + QByteArray::number(cap) + "\r\n\r\n{\"pad\":\"" +
			 QByteArray(cap - 10, 'x') + "\"}",
		 true},
		{head + QByteArray::number(cap + 1) + "\r\n\r\n{", false},
		// No length: the body runs until the connection closes.
		{"HTTP/1.1 200 OK\r\n\r\n" + QByteArray(cap + 1, ' '), false},
	};
	for (const auto &[bytes, fits] : rows) {
		Wire device;
		const HttpReply answer = HttpReply::raw(bytes);
		device.server.setHandler(
			[answer](const HttpRequest &) { return answer; });
		const QJsonObject reply = device.call("getStatus");
		QCOMPARE(qint64(reply.value("result")["pad"].toString().size()),
			 fits ? cap - 10 : 0);
		QCOMPARE(error(reply).value("code").toString() + ": " +
				 error(reply).value("message").toString(),
			 fits ? ": "
			      : "response_too_large: The device's answer was "
				"larger than 4 MiB, so it was not read. Check "
				"that the address belongs to a Quillmarch "
				"device.");

		HttpLink link(device.server.endpoint());
		QSignalSpy opened(&link, &DeviceLink::opened);
		QSignalSpy failed(&link, &DeviceLink::failed);
		link.open();
		QTRY_COMPARE(opened.size() + failed.size(), 1);
		QCOMPARE(link.transport()->isOpen(), fits);
		QCOMPARE(failed.value(0).value(0).toString(),
			 fits ? "" : "response_too_large");
	}
}

QTEST_GUILESS_MAIN(TestHttpLink)
#include "tst_http_link.moc"
