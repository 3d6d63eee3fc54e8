#include "account/portal_client.h"
#include "portal_sim.h"

#include "support/await.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using namespace quillmarch;
using quillmarch::portalsim::FaultRule;
using quillmarch::portalsim::PortalSim;
using quillmarch::portalsim::PortalSimOptions;

namespace {

const QString kCoach = "coach@example.com";
const QString kDirector = "director@example.com";
const QString kSignedOut = "You have been signed out. Sign in again.";

// Runs the event loop until the operation calls back. A result with status
// -1 means it never did.
template<typename Start> PortalResult await(Start start)
{
	PortalResult never;
	never.status = -1;
	return test::awaitResult<PortalResult>(start, 10000).value_or(never);
}

QByteArray fileBytes(const QString &path)
{
	QFile file(path);
	return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonArray readSessionFile(const QString &path)
{
	return QJsonDocument::fromJson(fileBytes(path)).array();
}

} // namespace

class TestPortalClient : public QObject {
	Q_OBJECT

	QTemporaryDir m_dir;
	std::unique_ptr<PortalSim> m_sim;
	QString m_session; // in a folder that does not exist yet

	std::unique_ptr<PortalClient> newClient()
	{
		auto c = std::make_unique<PortalClient>(m_sim->baseUrl() + "/");
		c->setSessionFile(m_session);
		return c;
	}
	// A forced answer in the simulator's key=value form.
	void addFault(const QString &text)
	{
		FaultRule rule;
		QString error;
		QVERIFY2(FaultRule::fromText(text, &rule, &error),
			 qPrintable(error));
		m_sim->addFault(rule);
	}
	bool signIn(PortalClient &c, const QString &email = kCoach,
		    const QString &password = "bleachers")
	{
		return await([&](auto cb) { c.signIn(email, password, cb); }).ok;
	}

private Q_SLOTS:
	void init()
	{
		QVERIFY(m_dir.isValid());
		m_session = m_dir.filePath(
			QStringLiteral("cfg/%1/session.json")
				.arg(QTest::currentTestFunction()));
		PortalSimOptions options;
		options.tickMs = 20;
		QString error;
		m_sim = std::make_unique<PortalSim>();
		QVERIFY2(m_sim->start(0, options, &error), qPrintable(error));
	}
	void cleanup() { m_sim.reset(); }

	// Forced answers to GET /devices, in the simulator's key=value form,
	// and what the call gives: "status code: message". A connection that
	// broke gives no status, whatever came first.
	void failuresGiveCodeAndSentence()
	{
		const QString unreachable =
			"0 : Could not reach Quillmarch. Check your internet connection.";
		const QString unreadable =
			"200 bad_response: Quillmarch sent an answer that could not be read. Try again shortly.";
		const std::pair<const char *, QString> rows[] = {
			// A detail string is the message.
			{"status=500,detail=Down until 6.",
			 "500 : Down until 6."},
			{"status=500",
			 "500 : Quillmarch returned an error (500)."},
			{"status=404,code=device_not_found_or_not_owned",
			 "404 device_not_found_or_not_owned: That device is not on this account."},
			// A top-level error beside a detail string.
			{"status=503,detail=Ignored.,code=invalid_totp_code",
			 "503 invalid_totp_code: That code was not accepted. Enter the current 6-digit code from your authenticator app."},
			// 401 before the server's text.
			{"status=401,detail=Nope", "401 : " + kSignedOut},
			{"action=drop,count=0", unreachable},
			{"action=stall",
			 unreachable}, // past the transfer timeout
			// The status line came, the rest did not: still no answer.
			{"action=cut,status=200,type=application/json,body={\"devices\":[]}",
			 unreachable},
			{"status=200,body=<html>Wi-Fi login</html>",
			 unreadable},
			{"status=200,type=application/json,body={\"devices\":\"none\"}",
			 unreadable},
		};
		auto client = newClient();
		client->setTransferTimeoutMs(400);
		for (const auto &[fault, outcome] : rows) {
			m_sim->clearFaults();
			addFault(fault + QStringLiteral(",path=/devices"));
			const PortalResult r = await(
				[&](auto cb) { client->listDevices(cb); });
			QVERIFY(!r.ok);
			QCOMPARE(QString::number(r.status) + ' ' + r.code +
					 ": " + r.message,
				 outcome);
		}
	}

	// The sentences for the statuses and codes that have their own, in
	// the order they are weighed against each other.
	void sentencesForStatusAndCode()
	{
		const QString tooMany =
			"Too many attempts. Wait a minute and try again.";
		const struct {
			int status;
			const char *code, *server;
			QString message;
		} rows[] = {
			{403, "rate_limited", "",
			 tooMany}, // code before status
			{429, "", "", tooMany},
			{402, "", "",
			 "This device needs an active Quillmarch cloud plan for that."},
			{504, "", "",
			 "The device did not answer. Check that it is powered on and online."},
			{502, "", "",
			 "The Quillmarch service could not reach the live data feed. Try again shortly."},
			{400, "claim_code_device_mismatch", "",
			 "That device is not on this account."},
			{403, "", "Nope",
			 "Your account role is not allowed to do that."},
			{409, "", " \n", // a blank server message says nothing
			 "Quillmarch returned an error (409)."},
			{418, "Invalid_Credentials",
			 "", // codes are case-sensitive
			 "Quillmarch returned an error (418)."},
		};
		for (const auto &row : rows)
			QCOMPARE(PortalClient::friendly(row.status, row.code,
							row.server),
				 row.message);
	}

	void signInSavesTheSessionAndRestoresIt()
	{
		auto client = newClient();
		QSignalSpy changed(client.get(),
				   &PortalClient::signedInChanged);
		PortalResult r = await([&](auto cb) {
			client->signIn(kCoach, "Bleachers", cb);
		});
		QCOMPARE(
			QString::number(r.status) + ' ' + r.message,
			"401 That email and password did not match. Check them and try again.");
		QVERIFY(!client->isSignedIn());
		QVERIFY(!QFile::exists(m_session));

		QVERIFY(signIn(*client, "  " + kCoach + "\t"));
		QCOMPARE(changed.count(), 1);
		QCOMPARE(changed.at(0).at(0).toBool(), true);
		QCOMPARE(client->email() + ' ' + client->role(),
			 kCoach + " owner");
		QCOMPARE(
			m_sim->requestsTo("POST", "/auth/login").last().body,
			R"({"email":"coach@example.com","password":"bleachers"})");

		// One session cookie (no expiry) and one that expires.
		const QJsonArray saved = readSessionFile(m_session);
		QCOMPARE(saved.size(), 2);
		const QString all =
			saved.at(0).toString() + '|' + saved.at(1).toString();
		QVERIFY(all.contains("qm_session="));
		QVERIFY(all.contains("qm_remember="));
		QCOMPARE(all.count("expires=", Qt::CaseInsensitive), 1);
		QCOMPARE(QFile::permissions(m_session) &
				 ~(QFile::ReadUser | QFile::WriteUser),
			 QFile::ReadOwner | QFile::WriteOwner);

		// A captive Wi-Fi page must neither sign in nor cost the
		// saved sign-in.
		addFault("path=/auth/me,status=200,body=<html>");
		auto restarted = newClient();
		QSignalSpy restartedChanged(restarted.get(),
					    &PortalClient::signedInChanged);
		r = await([&](auto cb) { restarted->restoreSession(cb); });
		QCOMPARE(r.code, "bad_response");
		QVERIFY(!restarted->isSignedIn());
		QVERIFY(QFile::exists(m_session));

		r = await([&](auto cb) { restarted->restoreSession(cb); });
		QVERIFY(r.ok);
		QCOMPARE(restartedChanged.count(), 1);
		QCOMPARE(restarted->email(), kCoach);
		QVERIFY(m_sim->requestsTo("GET", "/auth/me")
				.last()
				.header("Cookie")
				.contains("qm_session="));

		// The portal forgot the sign-in: so does the client.
		m_sim->revokeSessions();
		auto late = newClient();
		r = await([&](auto cb) { late->restoreSession(cb); });
		QCOMPARE(r.status, 401);
		QVERIFY(!late->isSignedIn());
		QVERIFY(late->jar()->cookies().isEmpty());
		QVERIFY(!QFile::exists(m_session));
	}

	void savingDropsExpiredCookiesAndReplacesTheFile()
	{
		QVERIFY(QDir().mkpath(QFileInfo(m_session).absolutePath()));
		{
			QFile f(m_session);
			QVERIFY(f.open(QIODevice::WriteOnly));
			// Expired, expiring next century, and a session cookie.
			f.write(R"(["old=1; expires=Thu, 01-Jan-1970 00:00:01 GMT; domain=127.0.0.1; path=/",
				"keep=2; expires=Fri, 01-Jan-2100 00:00:00 GMT; domain=127.0.0.1; path=/",
				"tab=3; domain=127.0.0.1; path=/"])");
		}
		const QByteArray before = fileBytes(m_session);
		const QString other = m_session + ".link";
		QCOMPARE(::link(QFile::encodeName(m_session).constData(),
				QFile::encodeName(other).constData()),
			 0);

		auto client = newClient();
		QCOMPARE(client->jar()->cookies().size(), 3);
		QVERIFY(signIn(*client));
		QStringList names;
		for (const QJsonValue &v : readSessionFile(m_session))
			names << v.toString().section(QLatin1Char('='), 0, 0);
		names.sort();
		QCOMPARE(names, QStringList({"keep", "qm_remember",
					     "qm_session", "tab"}));
		// Replaced by a new file moved into place: the old one, still
		// reachable through the second link, is untouched.
		QCOMPARE(fileBytes(other), before);
	}

	void unauthorizedRouteSignsOutOnceSignOutForgets()
	{
		auto client = newClient();
		QVERIFY(signIn(*client));
		QSignalSpy changed(client.get(),
				   &PortalClient::signedInChanged);
		// A failed sign-in attempt is no reason to sign out.
		QCOMPARE(await([&](auto cb) {
				 client->signIn(kCoach, "x", cb);
			 }).status,
			 401);
		QVERIFY(client->isSignedIn());

		// A 401 on a device route signs out once, but keeps the
		// cookies for a later restore.
		addFault(
			"path=/devices,status=401,code=not_authenticated,count=2");
		for (int i = 0; i < 2; ++i) {
			const PortalResult r = await(
				[&](auto cb) { client->listDevices(cb); });
			QCOMPARE(r.message, kSignedOut);
		}
		QCOMPARE(changed.count(), 1);
		QCOMPARE(changed.at(0).at(0).toBool(), false);
		QVERIFY(QFile::exists(m_session));
		QVERIFY(await([&](auto cb) { client->restoreSession(cb); }).ok);
		QVERIFY(client->isSignedIn());

		// Signing out forgets at once, even when the request fails.
		changed.clear();
		addFault("path=/auth/logout,action=drop");
		client->signOut();
		QVERIFY(!QFile::exists(m_session));
		QVERIFY(client->jar()->cookies().isEmpty());
		QVERIFY(!client->isSignedIn() && client->email().isEmpty());
		QCOMPARE(changed.count(), 1);
		QCOMPARE(changed.at(0).at(0).toBool(), false);
		// The portal still hears of it, with the cookies that were. (Qt
		// sends it again on a fresh connection after the drop.)
		QTRY_VERIFY(
			!m_sim->requestsTo("POST", "/auth/logout").isEmpty());
		for (const auto &r : m_sim->requestsTo("POST", "/auth/logout"))
			QVERIFY(r.header("Cookie").contains("qm_session="));
		client->signOut();
		QCOMPARE(changed.count(), 1);
	}

	void authenticatorCodeCompletesTheSignIn()
	{
		auto client = newClient();
		QSignalSpy changed(client.get(),
				   &PortalClient::signedInChanged);
		PortalResult r = await([&](auto cb) {
			client->signIn(kDirector, "scoreboard", cb);
		});
		QVERIFY(r.ok);
		QVERIFY(r.body.value("totp_required").toBool());
		const QString challenge =
			r.body.value("challenge_id").toString();
		QVERIFY(!challenge.isEmpty());
		QVERIFY(!client->isSignedIn());
		QVERIFY(!QFile::exists(m_session));

		r = await([&](auto cb) {
			client->signInWithCode(challenge, "000000", cb);
		});
		QCOMPARE(r.code, "invalid_totp_code");
		QCOMPARE(changed.count(), 0);

		r = await([&](auto cb) {
			client->signInWithCode(challenge, " 246810\n", cb);
		});
		QVERIFY(r.ok);
		QCOMPARE(changed.count(), 1);
		QCOMPARE(client->email(), kDirector);
		QVERIFY(QFile::exists(m_session));
		QCOMPARE(m_sim->requestsTo("POST", "/auth/login/totp")
				 .last()
				 .json()
				 .value("code")
				 .toString(),
			 "246810");
	}

	void routesSendTheirMethodPathAndBody()
	{
		auto client = newClient();
		QVERIFY(signIn(*client));
		PortalClient *c = client.get();
		const QString main = "QM-7F3A21";
		using Start = std::function<void(PortalClient::Callback)>;
		// What each call sends (method, path, body), and the code of
		// its answer (none for a success) or a part of its body.
		const struct {
			Start start;
			QString sent;
			QString outcome;
		} rows[] = {
			// An id with a slash and a space stays one path segment.
			{[&](auto cb) { c->deviceState("QM/annex 3", cb); },
			 "GET /devices/QM%2Fannex%203/state",
			 R"("type":"pending")"},
			{[&](auto cb) { c->deviceState("\u00e9~x", cb); },
			 "GET /devices/%C3%A9~x/state",
			 "device_not_found_or_not_owned"},
			{[&](auto cb) {
				 c->sendCommand(main, "get_status",
						{{"verbose", true}}, cb);
			 },
			 "POST /devices/QM-7F3A21/cmd/get_status "
			 "{\"args\":{\"verbose\":true}}",
			 ""},
			{[&](auto cb) {
				 c->setConfig(main, {{"sport", "hockey"}}, cb);
			 },
			 "POST /devices/QM-7F3A21/config "
			 "{\"config\":{\"sport\":\"hockey\"}}",
			 ""},
			{[&](auto cb) {
				 c->linkDevice("QM-9A1C55", "", "usb", cb);
			 },
			 "POST /devices/link "
			 "{\"device_id\":\"QM-9A1C55\",\"via\":\"usb\"}",
			 ""},
			{[&](auto cb) {
				 c->linkDevice("QM-64B2F0", "WRONG", "manual",
					       cb);
			 },
			 "POST /devices/link {\"code\":\"WRONG\","
			 "\"device_id\":\"QM-64B2F0\",\"via\":\"manual\"}",
			 "claim_code_device_mismatch"},
			{[&](auto cb) {
				 c->savePairing(main, "new-secret-9", cb);
			 },
			 "PUT /devices/QM-7F3A21/pairing "
			 "{\"admin_password\":\"new-secret-9\"}",
			 ""},
			// The simulator's devices: one live, one offline that
			// queues a restart and refuses the rest.
			{[&](auto cb) { c->deviceState(main, cb); },
			 "GET /devices/QM-7F3A21/state", R"("online":true)"},
			{[&](auto cb) {
				 c->sendCommand("QM-2B9C04", "reboot", {}, cb);
			 },
			 "POST /devices/QM-2B9C04/cmd/reboot {\"args\":{}}",
			 R"("queued":true)"},
			{[&](auto cb) {
				 c->sendCommand("QM-2B9C04", "get_status", {},
						cb);
			 },
			 "POST /devices/QM-2B9C04/cmd/get_status {\"args\":{}}",
			 "device_unreachable_or_timeout"},
			{[&](auto cb) { c->revealPairing(main, cb); },
			 "POST /devices/QM-7F3A21/pairing/reveal",
			 R"("admin_password":"new-secret-9")"},
		};
		for (const auto &row : rows) {
			const PortalResult r = await(row.start);
			const auto &req = m_sim->requests().last();
			QCOMPARE(QString::fromUtf8(req.method + ' ' +
						   req.target + ' ' + req.body)
					 .trimmed(),
				 row.sent);
			QCOMPARE(req.header("User-Agent") + ' ' +
					 req.header("Accept") + ' ' +
					 req.header("Content-Type"),
				 "Quillmarch-OBS/1.0.1 application/json "
				 "application/json");
			const bool fails = !row.outcome.isEmpty() &&
					   !row.outcome.startsWith('"');
			const QByteArray body = QJsonDocument(r.body).toJson(
				QJsonDocument::Compact);
			QCOMPARE(r.ok, !fails);
			QVERIFY2(fails ? r.code == row.outcome
				       : body.contains(row.outcome.toUtf8()),
				 body.constData());
		}
	}

	void parseDevicesSkipsRowsWithoutId()
	{
		const QJsonObject body = QJsonDocument::fromJson(R"({"devices":[
			{"device_id":"A","nickname":"Gym","status":"online","ble_passkey":"123456"},
			{"device_id":"B"}, {"device_id":""}, {"device_id":7},
			{"nickname":"no id"}, "A", null]})")
						 .object();
		const QList<PortalDevice> devices =
			PortalClient::parseDevices(body);
		QCOMPARE(devices.size(), 2);
		QCOMPARE(devices.at(0).displayName(), "Gym (A)");
		QCOMPARE(devices.at(0).status, "online");
		QCOMPARE(devices.at(0).blePasskey, "123456");
		QCOMPARE(devices.at(1).displayName(), "B");
		QVERIFY(devices.at(1).status.isEmpty());
		QVERIFY(PortalClient::parseDevices(
				QJsonObject{{"devices", "A"}})
				.isEmpty());
	}

	void parseOutputsFillsDefaults()
	{
		// A row, and the name and size it is listed with ("" when it is
		// not listed at all).
		const struct {
			const char *row, *listed;
		} rows[] = {
			{R"({"id":"o1","name":"Bug","share_token":"t","device_id":"D","width":1280,"height":720})",
			 "Bug 1280x720"},
			{R"({"id":"o1","share_token":"t"})", "o1 1920x1080"},
			{R"({"id":"o1","share_token":"t","width":"640","height":null})",
			 "o1 1920x1080"},
			{R"({"id":"o1","share_token":"t","width":1280.5,"height":-720})",
			 "o1 1281x1080"},
			// Beyond what a source can show.
			{R"({"id":"o1","share_token":"t","width":1e9,"height":2})",
			 "o1 8192x16"},
			{R"({"id":"o1","name":"Bug"})", ""},
			{R"({"name":"Bug","share_token":"t"})", ""},
		};
		for (const auto &row : rows) {
			const QJsonObject body{
				{"outputs",
				 QJsonArray{QJsonDocument::fromJson(row.row)
						    .object()}}};
			QString listed;
			for (const GraphicsOutput &o :
			     PortalClient::parseOutputs(
				     body, "https://portal.test")) {
				listed += QStringLiteral("%1 %2x%3")
						  .arg(o.name)
						  .arg(o.width)
						  .arg(o.height);
				QCOMPARE(o.shareUrl,
					 "https://portal.test/graphics/o/t");
			}
			QCOMPARE(listed, QString(row.listed));
		}
	}
};

QTEST_GUILESS_MAIN(TestPortalClient)
#include "tst_portal_client.moc"
