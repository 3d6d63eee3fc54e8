// The simulated device's admin methods: what each answers, how its state
// moves on the device clock, its misbehaviour switches, and restarts as a
// host on the cable sees them.

#include "../support/sim_host_end.h"

#include "device_model.h"
#include "sim_options.h"
#include "usb_side.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace quillmarch;
using namespace quillmarch::sim;
using namespace quillmarch::test;

namespace {

DeviceModel::Config stillClock()
{
	DeviceModel::Config config;
	config.operationSpeed = 0; // only skipTime() moves device time
	return config;
}

// A device driven straight through its API: with the clock standing
// still every answer is immediate and deterministic.
struct Bench {
	explicit Bench(const DeviceModel::Config &config = stillClock())
		: device(config)
	{
	}

	// The reply to one request, or nothing when none came (yet).
	QJsonObject call(const QString &method, const QJsonObject &params = {})
	{
		const int id = ++lastId;
		device.handleRequest(
			session,
			{{"id", id}, {"method", method}, {"params", params}},
			[this](const QJsonObject &r) { replies.append(r); });
		return reply(id);
	}
	QJsonObject reply(int id) const
	{
		for (const QJsonObject &r : replies)
			if (r.value("id").toInt() == id)
				return r;
		return {};
	}
	// The result of a call that must succeed; the test fails if not.
	QJsonObject ok(const QString &method, const QJsonObject &params = {})
	{
		const QJsonObject r = call(method, params);
		if (!r.value("ok").toBool())
			QTest::qFail(
				qPrintable(method + " failed: " + compact(r)),
				__FILE__, __LINE__);
		return result(r);
	}
	QString code(const QString &method, const QJsonObject &params = {})
	{
		return errorCode(call(method, params));
	}
	bool signIn(const QString &password = QStringLiteral("corvalinth"))
	{
		return call("login", {{"password", password}})
			.value("ok")
			.toBool();
	}
	// Restarted and signed in again.
	bool restarted()
	{
		device.restart();
		device.skipTime(device.config().restartMs);
		return signIn();
	}
	QJsonObject status() { return ok("getStatus"); }
	QString wifi(const char *key) { return status().value(key).toString(); }
	QJsonObject provision()
	{
		return status().value("wifi_provision").toObject();
	}

	QList<QJsonObject> replies;
	DeviceModel device;
	DeviceModel::Session session;
	int lastId = 0;
};

QStringList commandLine(const QString &arguments)
{
	return QStringList{QStringLiteral("quillmarch-sim")} +
	       arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace

class TestDeviceSimRpc : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase()
	{
		QLoggingCategory::setFilterRules(
			QStringLiteral("quillmarch.sim*.info=false"));
	}

	void catalogue_everyMethodNeedsSignInAndAnswers();
	void wifi_scanLooksLikeAVenue();
	void wifi_join_data();
	void wifi_join();
	void wifi_laterJoinReplacesEarlierOne();
	void espNow_roleTakesEffectOnRestart();
	void controllers_listAndChoice();
	void settings_persistAllOrNothing();
	void networkTest_progressesToAVerdict();
	void firmware_updateRestartsIntoTheNewVersion();
	void firmware_brokenDownloadAndWirelessChip();
	void credentials_resetsForgetButFirmware();
	void misbehaviour_busySilentFailing();
	void options_mapToTheDevice();
	void pty_logsArriveInChunks();
	void pty_restartKeepsTheLine();
	void pty_restartUnplugs();
	void receiver_relaysSlowlyAndReportsRestart();
};

void TestDeviceSimRpc::catalogue_everyMethodNeedsSignInAndAnswers()
{
	Bench b;
	const QStringList methods = DeviceModel::methodNames();
	QCOMPARE(methods.size(), 27);
	for (const QString &m : methods)
		if (m != QLatin1String("login"))
			QCOMPARE(b.code(m), QStringLiteral("unauthorized"));
	QVERIFY(b.signIn());

	// Signed in, every method answers with its own outcome, some after
	// a while of device time. The two that restart the device are
	// exercised on their own below.
	for (const QString &m : methods) {
		if (m == QLatin1String("reboot") ||
		    m == QLatin1String("factoryReset"))
			continue;
		QJsonObject r = b.call(m);
		if (r.isEmpty()) {
			b.device.skipTime(3000);
			r = b.reply(b.lastId);
		}
		QVERIFY2(!r.isEmpty(), qPrintable(m));
		const QString code = errorCode(r);
		QVERIFY2(code != "unauthorized" && code != "unknown_method",
			 qPrintable(m));
		if (m == QLatin1String("login")) // no password given
			QVERIFY(code == "invalid_credentials" && b.signIn());
	}

	Bench fresh;
	QVERIFY(fresh.signIn());
	const QJsonObject s = fresh.status();
	for (const char *key :
	     {"device_id", "firmware_version", "wifi_sta_ip", "wifi_sta_ssid",
	      "wifi_sta_status", "wifi_sta_rssi", "eth_ip", "mqtt_connected",
	      "mqtt_transport", "tcp_clients", "reset_reason", "uptime_s",
	      "tls_fingerprint", "api_token_configured", "must_change_password",
	      "csrf_token", "wifi_provision"})
		QVERIFY2(s.contains(key), key);
	QCOMPARE(s.value("wifi_provision").toObject(),
		 (QJsonObject{{"state", "idle"},
			      {"detail", ""},
			      {"elapsed_ms", 0}}));
	// The token handed out at sign-in is the one the status shows.
	QVERIFY(!fresh.session.csrfToken.isEmpty());
	QCOMPARE(s.value("csrf_token").toString(), fresh.session.csrfToken);
	fresh.device.skipTime(65000);
	QCOMPARE(fresh.status().value("uptime_s").toInt(), 65);
}

void TestDeviceSimRpc::wifi_scanLooksLikeAVenue()
{
	Bench a, b;
	QVERIFY(a.signIn() && b.signIn());
	QVERIFY(a.call("scanWifi").isEmpty());
	a.device.skipTime(2499);
	QVERIFY2(a.reply(a.lastId).isEmpty(), "a scan takes its time");
	a.device.skipTime(1);
	const QJsonArray networks =
		result(a.reply(a.lastId)).value("networks").toArray();
	b.call("scanWifi");
	b.device.skipTime(2500);
	QCOMPARE(result(b.reply(b.lastId)).value("networks").toArray(),
		 networks);

	QSet<int> venueRssi;
	int hidden = 0, numericAuth = 0, textAuth = 0;
	for (const QJsonValue &v : networks) {
		const QJsonObject n = v.toObject();
		QVERIFY(n.value("rssi").toInt() < 0);
		if (n.value("ssid") == "VenueNet")
			venueRssi << n.value("rssi").toInt();
		hidden += n.value("ssid").toString().isEmpty() ? 1 : 0;
		numericAuth += n.value("auth").isDouble() ? 1 : 0;
		textAuth += n.value("auth").isString() ? 1 : 0;
	}
	// One network three times with different strengths, one without a
	// name, both spellings of the auth mode.
	QCOMPARE(venueRssi.size(), 3);
	QCOMPARE(hidden, 1);
	QVERIFY(numericAuth >= 2 && textAuth >= 2);
}

void TestDeviceSimRpc::wifi_join_data()
{
	QTest::addColumn<QString>("ssid");
	QTest::addColumn<QString>("pass");
	QTest::addColumn<QString>("state"); // after 10 s
	QTest::addColumn<QString>("detail");
	QTest::addColumn<int>("finishedAtMs"); // -1: still running
	QTest::addColumn<QString>("address");  // afterwards
	auto row = [](const char *name, const char *ssid, const char *pass,
		      const char *state, const char *detail, int at,
		      const char *address) {
		QTest::newRow(name)
			<< QString(ssid) << QString(pass) << QString(state)
			<< QString(detail) << at << QString(address);
	};
	row("right password", "VenueNet", "scoreboard1", "ok",
	    "address 192.168.50.23", 4000, "192.168.50.23");
	row("hidden network", "Stadium-Ops", "ops-only-7", "ok",
	    "address 10.0.9.14", 4000, "10.0.9.14");
	// Back on the network it had before.
	row("wrong password", "VenueNet", "scoreboard2", "reverted",
	    "wrong password", 5000, "192.168.10.57");
	row("not in range", "Nowhere", "x", "reverted", "network not found",
	    6000, "192.168.10.57");
	row("never gets an address", "LockerRoom", "towels123", "connecting",
	    "waiting for an address", -1, "");
}

void TestDeviceSimRpc::wifi_join()
{
	QFETCH(QString, ssid);
	QFETCH(QString, pass);
	QFETCH(QString, state);
	QFETCH(QString, detail);
	QFETCH(int, finishedAtMs);
	QFETCH(QString, address);
	Bench b;
	QVERIFY(b.signIn());
	b.ok("configureWifi", {{"ssid", ssid}, {"pass", pass}});
	QCOMPARE(b.provision(), (QJsonObject{{"state", "connecting"},
					     {"detail", "joining " + ssid},
					     {"elapsed_ms", 0}}));
	QCOMPARE(b.wifi("wifi_sta_status"), QStringLiteral("connecting"));
	QCOMPARE(b.wifi("wifi_sta_ip"), QString());

	// Polled every second: in progress with the time growing, until the
	// outcome, which then stays as it is.
	for (int t = 1000; t <= 10000; t += 1000) {
		b.device.skipTime(1000);
		const QJsonObject p = b.provision();
		const bool finished = finishedAtMs >= 0 && t >= finishedAtMs;
		QCOMPARE(p.value("state").toString(),
			 finished ? state : QStringLiteral("connecting"));
		QCOMPARE(p.value("elapsed_ms").toInt(),
			 finished ? finishedAtMs : t);
	}
	QCOMPARE(b.provision().value("detail").toString(), detail);
	QCOMPARE(b.wifi("wifi_sta_ip"), address);
	QCOMPARE(b.wifi("wifi_sta_ssid"),
		 state == "reverted" ? QStringLiteral("BoxOffice") : ssid);
}

void TestDeviceSimRpc::wifi_laterJoinReplacesEarlierOne()
{
	Bench b;
	QVERIFY(b.signIn());
	b.ok("configureWifi", {{"ssid", "VenueNet"}, {"pass", "bad"}});
	b.device.skipTime(3000);
	b.ok("configureWifi", {{"ssid", "PressBox"}, {"pass", "deadline24"}});
	b.device.skipTime(2500); // past the first join's verdict: not shown
	QCOMPARE(b.provision().value("state"), QJsonValue("connecting"));
	b.device.skipTime(1500);
	QCOMPARE(b.provision().value("state"), QJsonValue("ok"));
	// The network sticks across a restart; the join report does not.
	QVERIFY(b.restarted());
	QCOMPARE(b.wifi("wifi_sta_ip"), QStringLiteral("172.16.4.61"));
	QCOMPARE(b.provision().value("state"), QJsonValue("idle"));
}

void TestDeviceSimRpc::espNow_roleTakesEffectOnRestart()
{
	Bench b;
	QVERIFY(b.signIn());
	const QString mac = QStringLiteral("a4:cf:12:0b:7e:31");
	// A transmitter needs a receiver and a key.
	QCOMPARE(b.code("setEspNow", {{"role", "tx"}, {"peer_mac", mac}}),
		 QStringLiteral("bad_request"));

	const QString key =
		b.ok("setEspNow", {{"role", "tx"},
				   {"peer_mac", " A4:CF:12:0B:7E:31 "},
				   {"generate_key", true}})
			.value("key")
			.toString();
	QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(key).hasMatch(),
		 qPrintable(key));
	QCOMPARE(b.ok("getEspNow").value("espnow").toObject(),
		 (QJsonObject{{"role", "off"},
			      {"configured_role", "tx"},
			      {"peer_mac", mac},
			      {"key_set", true},
			      {"start_error", ""},
			      {"channel", 1}}));
	QCOMPARE(b.wifi("wifi_sta_status"), QStringLiteral("connected"));

	QVERIFY(b.restarted());
	QCOMPARE(b.ok("getEspNow").value("espnow").toObject().value("role"),
		 QJsonValue("tx"));
	QCOMPARE(b.wifi("wifi_sta_status"), QStringLiteral("off"));
	// Its radio hears no Wi-Fi at all, and says so at once.
	QCOMPARE(b.ok("scanWifi").value("networks").toArray(), QJsonArray());
	QCOMPARE(b.code("configureWifi", {{"ssid", "PressBox"}, {"pass", "x"}}),
		 QStringLiteral("wifi_off"));

	// Off again: the pairing stays and Wi-Fi returns after the restart.
	b.ok("setEspNow", {{"role", "off"}});
	QCOMPARE(b.ok("getEspNow").value("espnow").toObject().value("key_set"),
		 QJsonValue(true));
	QVERIFY(b.restarted());
	QCOMPARE(b.wifi("wifi_sta_ssid"), QStringLiteral("BoxOffice"));
}

void TestDeviceSimRpc::controllers_listAndChoice()
{
	Bench b;
	QVERIFY(b.signIn());
	QSet<QString> makers;
	QStringList whole, withoutInput;
	for (const QJsonValue &v :
	     b.ok("getControllerList").value("controllers").toArray()) {
		const QJsonObject c = v.toObject();
		makers << c.value("manufacturer").toString();
		const QString base = c.value("manufacturer").toString() + "|" +
				     c.value("model").toString() + "|" +
				     c.value("sport").toString();
		withoutInput << base;
		whole << base + "|" + c.value("input_type").toString();
	}
	QVERIFY(makers.contains("daktronics") && makers.contains("nevco") &&
		makers.contains("oes"));
	// Exactly one entry twice, and entries told apart only by their
	// input type: the plug-in has to cope with both.
	const QSet<QString> distinct(whole.begin(), whole.end());
	QCOMPARE(whole.size() - distinct.size(), 1);
	QVERIFY(QSet<QString>(withoutInput.begin(), withoutInput.end()).size() <
		distinct.size());

	const QJsonObject nevco{{"manufacturer", "nevco"},
				{"model", "MPC-5"},
				{"sport", "baseball"},
				{"input_type", "nevco"}};
	b.ok("setControllerConfig", nevco);
	QCOMPARE(b.ok("getControllerConfig"), nevco);
	QJsonObject wrong = nevco;
	wrong["input_type"] = "rs232";
	QCOMPARE(b.code("setControllerConfig", wrong),
		 QStringLiteral("unknown_controller"));
	QCOMPARE(b.ok("getControllerConfig"), nevco);
}

void TestDeviceSimRpc::settings_persistAllOrNothing()
{
	Bench b;
	QVERIFY(b.signIn());
	b.ok("setSettings",
	     {{"tcp_feed_enabled", false}, {"xbee_pan_id", 0x1A2B}});
	// 65535 means "leave the radio as it is"; one bad value and nothing
	// of the request is saved.
	b.ok("setSettings", {{"xbee_pan_id", 65535}});
	QCOMPARE(b.code("setSettings", {{"tcp_feed_enabled", true},
					{"wireless_output_channel", 11}}),
		 QStringLiteral("bad_request"));
	QCOMPARE(b.code("setSettings",
			{{"tcp_feed_enabled", true}, {"model", "ISC9000"}}),
		 QStringLiteral("unknown_controller"));
	const QJsonObject saved = b.ok("getSettings");
	QCOMPARE(saved.value("tcp_feed_enabled"), QJsonValue(false));
	QCOMPARE(saved.value("xbee_pan_id").toInt(), 0x1A2B);
	QVERIFY(b.restarted());
	QCOMPARE(b.ok("getSettings"), saved);
}

void TestDeviceSimRpc::networkTest_progressesToAVerdict()
{
	Bench b;
	QVERIFY(b.signIn());
	QCOMPARE(b.ok("networkTest").value("status"), QJsonValue("running"));
	b.device.skipTime(7000);
	QCOMPARE(b.ok("networkTest").value("checks").toObject().size(), 3);
	b.device.skipTime(5000);
	const QJsonObject r = b.ok("networkTest");
	QCOMPARE(r.value("status"), QJsonValue("done"));
	QCOMPARE(r.value("overall"), QJsonValue(true));
	QCOMPARE(r.value("checks").toObject().size(), 6);
	// Read again soon: the same verdict, not a new test.
	b.device.skipTime(4000);
	QCOMPARE(b.ok("networkTest"), r);
}

void TestDeviceSimRpc::firmware_updateRestartsIntoTheNewVersion()
{
	Bench b;
	QSignalSpy down(&b.device, &DeviceModel::restarting);
	QSignalSpy up(&b.device, &DeviceModel::restarted);
	QVERIFY(b.signIn());
	QCOMPARE(b.ok("otaCheck"), (QJsonObject{{"current_version", "2.4.1"},
						{"update_available", true},
						{"version", "2.5.0"},
						{"error", ""}}));
	b.ok("otaApply");
	QCOMPARE(b.code("otaApply"), QStringLiteral("in_progress"));

	// 1.5 MB at 128 KB per device second: twelve seconds.
	const QStringList states{"downloading", "downloading", "applying",
				 "rebooting"};
	const int readAt[] = {131072, 1441792, 1572864, 1572864};
	const int skips[] = {1000, 10000, 1000, 2500};
	for (int i = 0; i < 4; ++i) {
		b.device.skipTime(skips[i]);
		const QJsonObject p = b.ok("otaProgress");
		QCOMPARE(p.value("state").toString(), states.at(i));
		QCOMPARE(p.value("bytes_read").toInt(), readAt[i]);
	}
	QCOMPARE(b.wifi("firmware_version"), QStringLiteral("2.4.1"));
	QCOMPARE(down.size(), 0);
	b.device.skipTime(800);
	QCOMPARE(down.size(), 1);
	QVERIFY2(b.call("getStatus").isEmpty(), "a restarting device answers");
	b.device.skipTime(5999);
	QCOMPARE(up.size(), 0);
	b.device.skipTime(1);
	QCOMPARE(up.size(), 1);

	QCOMPARE(b.code("getStatus"), QStringLiteral("unauthorized"));
	QVERIFY(b.signIn());
	const QJsonObject s = b.status();
	QCOMPARE(s.value("firmware_version"), QJsonValue("2.5.0"));
	QCOMPARE(s.value("reset_reason"), QJsonValue("software"));
	QCOMPARE(s.value("uptime_s").toInt(), 0);
	QCOMPARE(b.ok("otaProgress").value("state"), QJsonValue("idle"));
	QCOMPARE(b.code("otaApply"), QStringLiteral("no_update"));
}

void TestDeviceSimRpc::firmware_brokenDownloadAndWirelessChip()
{
	DeviceModel::Config config = stillClock();
	config.otaFailAtPercent = 50;
	Bench b(config);
	QVERIFY(b.signIn());
	b.ok("otaApply");
	b.device.skipTime(60000); // one leap, long past the break
	const QJsonObject p = b.ok("otaProgress");
	QCOMPARE(p.value("state"), QJsonValue("failed"));
	QCOMPARE(p.value("bytes_read").toInt(), 1572864 / 2);
	QCOMPARE(b.device.bootCount(), 1);

	const QJsonObject apply{{"source", "partition"}, {"force", false}};
	b.ok("c6OtaApply", apply);
	b.device.skipTime(2000);
	QJsonObject c6 = b.ok("c6OtaStatus");
	QCOMPARE(c6.value("state"), QJsonValue("flashing"));
	QCOMPARE(c6.value("bytes_sent").toInt(),
		 c6.value("total_bytes").toInt() / 2);
	b.device.skipTime(2000);
	c6 = b.ok("c6OtaStatus");
	QCOMPARE(c6.value("state"), QJsonValue("done"));
	QCOMPARE(c6.value("c6_running_version"), QJsonValue("c6-1.3.0"));
	QCOMPARE(b.code("c6OtaApply", apply), QStringLiteral("up_to_date"));
}

void TestDeviceSimRpc::credentials_resetsForgetButFirmware()
{
	Bench b;
	QVERIFY(b.signIn());
	const QString token = b.ok("ensureApiToken").value("token").toString();
	QCOMPARE(token.size(), 40);
	QCOMPARE(b.ok("ensureApiToken").value("token").toString(), token);
	const QString renewed = b.ok("ensureApiToken", {{"force_new", true}})
					.value("token")
					.toString();
	QVERIFY(renewed != token && renewed.size() == 40);

	// Back to the factory password, which must be changed again.
	b.ok("changePassword", {{"current_password", "corvalinth"},
				{"new_password", "courtside42"},
				{"confirm_password", "courtside42"}});
	QCOMPARE(b.code("resetLocalPassword"), QStringLiteral("bad_request"));
	b.ok("resetLocalPassword", {{"confirm", true}});
	QVERIFY(!b.signIn("courtside42"));
	QVERIFY(b.signIn());
	QCOMPARE(b.status().value("must_change_password"), QJsonValue(true));

	b.ok("setDeviceId", {{"device_id", "renamed"}});
	b.ok("setSettings", {{"tcp_feed_enabled", false}});
	QCOMPARE(b.code("factoryReset"), QStringLiteral("bad_request"));
	// The answer comes first, then the device goes down.
	b.ok("factoryReset", {{"confirm", true}});
	QVERIFY(b.device.isRestarting());
	b.device.skipTime(6000);
	QVERIFY(b.signIn());
	const QJsonObject s = b.status();
	QCOMPARE(s.value("api_token_configured"), QJsonValue(false));
	QCOMPARE(s.value("device_id"), QJsonValue("QM-00A1B2"));
	QCOMPARE(s.value("wifi_sta_status"), QJsonValue("not_configured"));
	QCOMPARE(s.value("mqtt_connected"), QJsonValue(false));
	QCOMPARE(s.value("firmware_version"), QJsonValue("2.4.1"));
	QCOMPARE(b.ok("getSettings").value("tcp_feed_enabled"),
		 QJsonValue(true));
}

void TestDeviceSimRpc::misbehaviour_busySilentFailing()
{
	DeviceModel::Config config = stillClock();
	config.busyReplies = 2;
	config.silentMethods = {"getLogs"};
	config.failingMethods = {{"login", "rate_limited"}};
	Bench b(config);
	QSignalSpy unanswered(&b.device, &DeviceModel::requestUnanswered);

	// Busy comes first, even before sign-in, then the failure set up.
	const QJsonObject password{{"password", "corvalinth"}};
	QCOMPARE(b.code("login", password), QStringLiteral("busy"));
	QCOMPARE(b.code("login", password), QStringLiteral("busy"));
	QCOMPARE(b.code("login", password), QStringLiteral("rate_limited"));
	b.device.setMethodFailure("login", QString());
	QVERIFY(b.signIn());
	QVERIFY(b.call("getLogs").isEmpty());
	QCOMPARE(unanswered.size(), 1);
	b.device.setMethodSilent("getLogs", false);
	b.ok("getLogs");
	b.device.setMethodFailure("scanWifi", "device_error");
	QCOMPARE(b.code("scanWifi"), QStringLiteral("device_error"));

	// A chance of busy follows the seed: same seed, same pattern.
	auto pattern = [](quint32 seed) {
		DeviceModel::Config c = stillClock();
		c.busyChance = 0.5;
		c.seed = seed;
		Bench d(c);
		QString out;
		for (int i = 0; i < 40; ++i)
			out += d.code("getState") == "busy" ? 'B' : '.';
		return out;
	};
	const QString first = pattern(11);
	QCOMPARE(pattern(11), first);
	QVERIFY(first != pattern(12));
	QVERIFY2(first.count('B') > 8 && first.count('B') < 32,
		 qPrintable(first));
}

void TestDeviceSimRpc::options_mapToTheDevice()
{
	DeviceOptions o;
	QString text;
	QCOMPARE(parseDeviceCommandLine(
			 commandLine(
				 "device --busy 3 --busy-chance 0.25 --seed 9 "
				 "--no-answer getLogs --fail scanWifi=wifi_off "
				 "--operation-speed 50 --reboot-unplugs "
				 "--receiver --relay-delay-ms 200"),
			 &o, &text),
		 ParseOutcome::Run);
	const DeviceModel::Config &d = o.device;
	QVERIFY(d.busyReplies == 3 && d.busyChance == 0.25 && d.seed == 9);
	QCOMPARE(d.silentMethods, QSet<QString>{"getLogs"});
	QCOMPARE(d.failingMethods.value("scanWifi"),
		 QStringLiteral("wifi_off"));
	QCOMPARE(d.operationSpeed, 50.0);
	QCOMPARE(d.espNowRole, QStringLiteral("tx")); // behind a receiver
	QVERIFY(o.usbSide.rebootUnplugs && o.usbSide.relayDelayMs == 200);

	for (const char *bad :
	     {"device --no-answer fly", "device --fail scanWifi"})
		QVERIFY2(parseDeviceCommandLine(commandLine(bad), &o, &text) ==
				 ParseOutcome::Error,
			 bad);
}

void TestDeviceSimRpc::pty_logsArriveInChunks()
{
	SimRig rig;
	QVERIFY(rig.openHello());
	QVERIFY(rig.host->login().value("ok").toBool());
	rig.host->forget();
	const QJsonObject reply = rig.host->call("getLogs");
	QVERIFY(result(reply).value("logs").toString().size() > 2048);
	// One reply, cut into as many chunks as it needs.
	int chunks = 0;
	for (const UsbFrame &f : rig.host->frames)
		chunks += f.type == kFrameAdmin ? 1 : 0;
	QVERIFY(chunks >= 2);
	QCOMPARE(chunks, int((compact(reply).size() + 2044) / 2045));
}

void TestDeviceSimRpc::pty_restartKeepsTheLine()
{
	DeviceModel::Config config = stillClock();
	config.busyReplies = 1;
	SimRig rig(config);
	QVERIFY(rig.openHello());
	SimHost &host = *rig.host;
	QCOMPARE(errorCode(host.login()), QStringLiteral("busy"));
	QVERIFY(host.login().value("ok").toBool());

	QVERIFY(host.call("reboot").value("ok").toBool());
	QVERIFY(rig.device.isRestarting());
	// The line stays but nobody listens: no hello answer, no reply.
	host.forget();
	QVERIFY(host.hello());
	QVERIFY(host.call("getStatus", {}, 300).isEmpty());
	QVERIFY(host.frames.isEmpty() && !host.hungUp);

	rig.device.skipTime(6000);
	// The boot text comes through as bytes that are no frame.
	QTRY_VERIFY(host.received.contains("rst:0xc"));
	QVERIFY(host.frames.isEmpty());
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 1);
	QCOMPARE(errorCode(host.call("getStatus")),
		 QStringLiteral("unauthorized"));
	QVERIFY(host.login().value("ok").toBool());
}

void TestDeviceSimRpc::pty_restartUnplugs()
{
	UsbSide::Config usb;
	usb.rebootUnplugs = true;
	SimRig rig(stillClock(), usb);
	QVERIFY(rig.openHello());
	QVERIFY(rig.host->login().value("ok").toBool());
	QVERIFY(rig.host->call("setDeviceId", {{"device_id", "QM-RENAMED"}})
			.value("ok")
			.toBool());
	const QString before = rig.usb.slavePath();
	QSignalSpy plugged(&rig.usb, &UsbSide::pluggedIn);

	// The answer arrives before the hang-up.
	QVERIFY(rig.host->call("reboot").value("ok").toBool());
	QTRY_VERIFY(rig.host->hungUp);
	rig.device.skipTime(6000);
	QCOMPARE(plugged.size(), 1);
	QVERIFY(rig.usb.slavePath() != before); // the old one is still open

	SimHost again(rig.usb.slavePath());
	QVERIFY(again.hello());
	QTRY_COMPARE(again.ctrl("hello").size(), 1);
	QCOMPARE(again.ctrl("hello").first().value("device_id"),
		 QJsonValue("QM-RENAMED"));
	QVERIFY(again.login().value("ok").toBool());
}

void TestDeviceSimRpc::receiver_relaysSlowlyAndReportsRestart()
{
	DeviceOptions options;
	QString text;
	QVERIFY(parseDeviceCommandLine(
			commandLine("device --receiver --relay-delay-ms 300"),
			&options, &text) == ParseOutcome::Run);
	options.device.operationSpeed = 0;
	options.usbSide.receiverStatusMs = 60000; // only on change
	SimRig rig(options.device, options.usbSide);
	QVERIFY(rig.openHello());
	SimHost &host = *rig.host;

	QElapsedTimer clock;
	clock.start();
	QVERIFY(host.login().value("ok").toBool());
	QVERIFY2(clock.elapsed() >= 290,
		 qPrintable(QString::number(clock.elapsed())));
	QCOMPARE(result(host.call("getEspNow"))
			 .value("espnow")
			 .toObject()
			 .value("role"),
		 QJsonValue("tx"));

	host.forget();
	QVERIFY(host.call("reboot").value("ok").toBool());
	QTRY_COMPARE(host.ctrl("rx_status").size(), 1);
	QCOMPARE(host.ctrl("rx_status").first().value("link"),
		 QJsonValue(false));
	// The receiver itself stays awake; the device is out of reach.
	QVERIFY(host.hello());
	QTRY_COMPARE(host.ctrl("hello").size(), 1);
	QVERIFY(host.call("getStatus", {}, 600).isEmpty());

	host.forget();
	rig.device.skipTime(6000);
	QTRY_COMPARE(host.ctrl("rx_status").size(), 1);
	QCOMPARE(host.ctrl("rx_status").first().value("link"),
		 QJsonValue(true));
	QCOMPARE(errorCode(host.call("getStatus")),
		 QStringLiteral("unauthorized"));
}

QTEST_GUILESS_MAIN(TestDeviceSimRpc)
#include "tst_device_sim_rpc.moc"
