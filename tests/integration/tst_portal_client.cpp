#include "account/portal_client.h"
#include "portal_sim.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkCookie>
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
	PortalResult out;
	out.status = -1;
	bool done = false;
	start([&](const PortalResult &r) {
		out = r;
		done = true;
	});
	QDeadlineTimer deadline(10000);
	while (!done && !deadline.hasExpired())
		QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
	return out;
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

QString cookieLine(const char *name, const char *value, int expiresInDays)
{
	QNetworkCookie c(name, value);
	c.setDomain("127.0.0.1");
	c.setPath("/");
	if (expiresInDays != 0)
		c.setExpirationDate(
			QDateTime::currentDateTimeUtc().addDays(expiresInDays));
	return QString::fromUtf8(c.toRawForm(QNetworkCookie::Full));
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

	void failuresGiveCodeAndSentence_data()
	{
		// Forced answers to GET /devices, in the simulator's key=value
		// form; the status is the one in the fault, 0 when none.
		QTest::addColumn<QString>("fault");
		QTest::addColumn<QString>("code");
		QTest::addColumn<QString>("message");
		const auto row = [](const char *name, const char *fault,
				    const char *code, const QString &message) {
			QTest::newRow(name) << fault << code << message;
		};
		const QString unreachable =
			"Could not reach Quillmarch. Check your internet connection.";
		const QString unreadable =
			"Quillmarch sent an answer that could not be read. Try again shortly.";
		const QString notOnAccount =
			"That device is not on this account.";
		const QString tooMany =
			"Too many attempts. Wait a minute and try again.";

		row("detail string is the message",
		    "status=500,detail=Down until 6.", "", "Down until 6.");
		row("no body", "status=500", "",
		    "Quillmarch returned an error (500).");
		row("code inside detail",
		    "status=404,code=device_not_found_or_not_owned",
		    "device_not_found_or_not_owned", notOnAccount);
		row("top-level error beside a detail string",
		    "status=503,detail=Ignored.,code=invalid_totp_code",
		    "invalid_totp_code",
		    "That code was not accepted. Enter the current 6-digit code from your authenticator app.");
		row("code wins over status", "status=403,code=rate_limited",
		    "rate_limited", tooMany);
		row("429", "status=429", "", tooMany);
		row("402", "status=402", "",
		    "This device needs an active Quillmarch cloud plan for that.");
		row("504", "status=504", "",
		    "The device did not answer. Check that it is powered on and online.");
		row("502 from a proxy page",
		    "status=502,body=<html>Bad gateway</html>", "",
		    "The Quillmarch service could not reach the live data feed. Try again shortly.");
		row("claim code mismatch",
		    "status=400,code=claim_code_device_mismatch",
		    "claim_code_device_mismatch", notOnAccount);
		row("401 before server text", "status=401,detail=Nope", "",
		    kSignedOut);
		row("403 before server text", "status=403,detail=Nope", "",
		    "Your account role is not allowed to do that.");
		row("codes are case-sensitive",
		    "status=418,code=Invalid_Credentials",
		    "Invalid_Credentials",
		    "Quillmarch returned an error (418).");
		row("connection dropped", "action=drop,count=0", "",
		    unreachable);
		row("no answer within the transfer timeout", "action=stall", "",
		    unreachable);
		// The status line came, the rest did not: still no answer.
		row("cut off after the status line",
		    "action=cut,status=200,type=application/json,body={\"devices\":[]}",
		    "", unreachable);
		row("200 with a web page",
		    "status=200,body=<html>Wi-Fi login</html>", "bad_response",
		    unreadable);
		row("200 with cut-off JSON",
		    "status=200,type=application/json,body={\"devices\":[{\"dev",
		    "bad_response", unreadable);
		row("200 with devices of the wrong type",
		    "status=200,type=application/json,body={\"devices\":\"none\"}",
		    "bad_response", unreadable);
	}
	void failuresGiveCodeAndSentence()
	{
		QFETCH(QString, fault);
		QFETCH(QString, code);
		QFETCH(QString, message);
		addFault(fault + ",path=/devices");
		auto client = newClient();
		client->setTransferTimeoutMs(400);
		const PortalResult r =
			await([&](auto cb) { client->listDevices(cb); });
		QVERIFY(!r.ok);
		// A connection that broke gives no status, whatever came first.
		const int status = fault.contains("action=")
					   ? 0
					   : QRegularExpression("status=(\\d+)")
						     .match(fault)
						     .captured(1)
						     .toInt();
		QCOMPARE(r.status, status);
		QCOMPARE(r.code, code);
		QCOMPARE(r.message, message);
	}

	void signInSavesTheSessionAndRestoresIt()
	{
		auto client = newClient();
		QSignalSpy changed(client.get(),
				   &PortalClient::signedInChanged);
		PortalResult r = await([&](auto cb) {
			client->signIn(kCoach, "Bleachers", cb);
		});
		QCOMPARE(r.status, 401);
		QCOMPARE(
			r.message,
			"That email and password did not match. Check them and try again.");
		QVERIFY(!client->isSignedIn());
		QVERIFY(!QFile::exists(m_session));

		QVERIFY(signIn(*client, "  " + kCoach + "\t"));
		QCOMPARE(changed.count(), 1);
		QCOMPARE(changed.at(0).at(0).toBool(), true);
		QCOMPARE(client->email(), kCoach);
		QCOMPARE(client->role(), "owner");
		const QByteArray sent =
			m_sim->requestsTo("POST", "/auth/login").last().body;
		QCOMPARE(
			sent,
			QByteArray(
				R"({"email":"coach@example.com","password":"bleachers"})"));

		// One session cookie (no expiry) and one that expires.
		const QJsonArray saved = readSessionFile(m_session);
		QCOMPARE(saved.size(), 2);
		const QString all =
			saved.at(0).toString() + '|' + saved.at(1).toString();
		QVERIFY(all.contains("qm_session="));
		QVERIFY(all.contains("qm_remember="));
		QCOMPARE(all.count("expires=", Qt::CaseInsensitive), 1);
		const QFile::Permissions anyone =
			QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
			QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
			QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
		QCOMPARE(QFile::permissions(m_session) & anyone,
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
			f.write(QJsonDocument(
					QJsonArray{
						cookieLine("old", "1", -1),
						cookieLine("keep", "2", 7),
						cookieLine("tab", "3", 0),
					})
					.toJson());
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

	void signOutForgetsAtOnceEvenWhenTheRequestFails()
	{
		auto client = newClient();
		QVERIFY(signIn(*client));
		QVERIFY(QFile::exists(m_session));
		addFault("path=/auth/logout,action=drop");
		QSignalSpy changed(client.get(),
				   &PortalClient::signedInChanged);
		client->signOut();
		QVERIFY(!QFile::exists(m_session));
		QVERIFY(client->jar()->cookies().isEmpty());
		QVERIFY(!client->isSignedIn());
		QVERIFY(client->email().isEmpty());
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

	void unauthorizedDeviceRouteSignsOutOnceAndKeepsCookies()
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
		// What the portal last received: method, path and body.
		const auto sent = [this] {
			const auto &r = m_sim->requests().last();
			return QString::fromUtf8(r.method + ' ' + r.target +
						 ' ' + r.body)
				.trimmed();
		};
		const QString main = "QM-7F3A21";

		// An id with a slash and a space stays one path segment.
		PortalResult r = await([&](auto cb) {
			client->deviceState("QM/annex 3", cb);
		});
		QCOMPARE(sent(), "GET /devices/QM%2Fannex%203/state");
		QCOMPARE(r.body.value("type").toString(), "pending");
		const auto &headers = m_sim->requests().last();
		QCOMPARE(headers.header("User-Agent"), "Quillmarch-OBS/1.0.1");
		QCOMPARE(headers.header("Accept"), "application/json");
		QCOMPARE(headers.header("Content-Type"), "application/json");

		r = await([&](auto cb) {
			client->deviceState(QString::fromUtf8("é~x"), cb);
		});
		QCOMPARE(sent(), "GET /devices/%C3%A9~x/state");
		QCOMPARE(r.code, "device_not_found_or_not_owned");

		QVERIFY(await([&](auto cb) {
				client->sendCommand(main, "get_status",
						    {{"verbose", true}}, cb);
			}).ok);
		QCOMPARE(sent(), "POST /devices/QM-7F3A21/cmd/get_status "
				 "{\"args\":{\"verbose\":true}}");
		QVERIFY(await([&](auto cb) {
				client->setConfig(main, {{"sport", "hockey"}},
						  cb);
			}).ok);
		QCOMPARE(sent(), "POST /devices/QM-7F3A21/config "
				 "{\"config\":{\"sport\":\"hockey\"}}");
		QVERIFY(await([&](auto cb) {
				client->linkDevice("QM-9A1C55", "", "usb", cb);
			}).ok);
		QCOMPARE(sent(),
			 "POST /devices/link "
			 "{\"device_id\":\"QM-9A1C55\",\"via\":\"usb\"}");
		r = await([&](auto cb) {
			client->linkDevice("QM-64B2F0", "WRONG", "manual", cb);
		});
		QVERIFY(sent().contains("\"code\":\"WRONG\""));
		QCOMPARE(r.message, "That device is not on this account.");
		QVERIFY(await([&](auto cb) {
				client->savePairing(main, "new-secret-9", cb);
			}).ok);
		QCOMPARE(sent(), "PUT /devices/QM-7F3A21/pairing "
				 "{\"admin_password\":\"new-secret-9\"}");
		r = await([&](auto cb) { client->revealPairing(main, cb); });
		QCOMPARE(sent(), "POST /devices/QM-7F3A21/pairing/reveal");
		QCOMPARE(r.body.value("pairing")["admin_password"].toString(),
			 "new-secret-9");
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

	void parseOutputsFillsDefaults_data()
	{
		QTest::addColumn<QByteArray>("row");
		QTest::addColumn<QString>("name"); // empty: not listed
		QTest::addColumn<int>("width");
		QTest::addColumn<int>("height");

		QTest::newRow("complete")
			<< QByteArray(
				   R"({"id":"o1","name":"Bug","share_token":"t","device_id":"D","width":1280,"height":720})")
			<< "Bug" << 1280 << 720;
		QTest::newRow("no name, no size")
			<< QByteArray(R"({"id":"o1","share_token":"t"})")
			<< "o1" << 1920 << 1080;
		QTest::newRow("size as text")
			<< QByteArray(
				   R"({"id":"o1","share_token":"t","width":"640","height":null})")
			<< "o1" << 1920 << 1080;
		QTest::newRow("fractional, negative")
			<< QByteArray(
				   R"({"id":"o1","share_token":"t","width":1280.5,"height":-720})")
			<< "o1" << 1281 << 1080;
		QTest::newRow("beyond what a source can show")
			<< QByteArray(
				   R"({"id":"o1","share_token":"t","width":1e9,"height":2})")
			<< "o1" << 8192 << 16;
		QTest::newRow("no share token")
			<< QByteArray(R"({"id":"o1","name":"Bug"})") << "" << 0
			<< 0;
		QTest::newRow("no id")
			<< QByteArray(R"({"name":"Bug","share_token":"t"})")
			<< "" << 0 << 0;
	}
	void parseOutputsFillsDefaults()
	{
		QFETCH(QByteArray, row);
		QFETCH(QString, name);
		QFETCH(int, width);
		QFETCH(int, height);
		const QJsonObject body{
			{"outputs",
			 QJsonArray{QJsonDocument::fromJson(row).object()}}};
		const QList<GraphicsOutput> outputs =
			PortalClient::parseOutputs(body, "https://portal.test");
		QCOMPARE(outputs.size(), name.isEmpty() ? 0 : 1);
		if (name.isEmpty())
			return;
		QCOMPARE(outputs.at(0).name, name);
		QCOMPARE(outputs.at(0).width, width);
		QCOMPARE(outputs.at(0).height, height);
		QCOMPARE(outputs.at(0).shareUrl,
			 "https://portal.test/graphics/o/t");
	}

	void unreadableSessionFileLoadsSignedOut_data()
	{
		QTest::addColumn<QByteArray>("contents");
		QTest::newRow("empty") << QByteArray();
		QTest::newRow("cut off")
			<< QByteArray("[\"qm_session=abc; dom");
		QTest::newRow("object") << QByteArray(R"({"cookies":["a=b"]})");
		QTest::newRow("wrong element types") << QByteArray(
			R"([1, {"a":"b"}, null, [], "=", "no equals"])");
	}
	void unreadableSessionFileLoadsSignedOut()
	{
		QFETCH(QByteArray, contents);
		QVERIFY(QDir().mkpath(QFileInfo(m_session).absolutePath()));
		{
			QFile f(m_session);
			QVERIFY(f.open(QIODevice::WriteOnly));
			f.write(contents);
		}
		auto client = std::make_unique<PortalClient>(m_sim->baseUrl());
		QVERIFY(signIn(*client));
		QVERIFY(!client->jar()->cookies().isEmpty());
		// Whatever the jar held is replaced by what the file holds.
		client->setSessionFile(m_session);
		QVERIFY(client->jar()->cookies().isEmpty());
		const PortalResult r =
			await([&](auto cb) { client->restoreSession(cb); });
		QCOMPARE(r.status, 401);
	}

	void simulatedDevicesReportLiveState()
	{
		auto client = newClient();
		QVERIFY(signIn(*client));
		const auto state = [&](const QString &id) {
			return await([&](auto cb) {
				       client->deviceState(id, cb);
			       })
				.body;
		};
		const QJsonObject first = state("QM-7F3A21");
		QCOMPARE(first.value("type").toString(), "state");
		QVERIFY(first.value("online").toBool());
		QVERIFY(first["fields"].toObject().contains("home_score"));
		QTRY_VERIFY(state("QM-7F3A21").value("seq").toDouble() >
			    first.value("seq").toDouble());
		const QJsonObject posted{{"fields", QJsonObject{{"a", 99}}}};
		QVERIFY(m_sim->postEnvelope("QM-7F3A21", posted));
		QCOMPARE(state("QM-7F3A21"), posted);

		// Offline devices queue a restart and refuse the rest.
		const auto command = [&](const QString &name) {
			return await([&](auto cb) {
				client->sendCommand("QM-2B9C04", name, {}, cb);
			});
		};
		QVERIFY(command("reboot").body["queued"].toBool());
		QCOMPARE(command("get_status").status, 504);
	}
};

QTEST_GUILESS_MAIN(TestPortalClient)
#include "tst_portal_client.moc"
