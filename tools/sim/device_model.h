#pragma once

#include "simulated_game.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <random>

namespace quillmarch::sim {

using tools::SimulatedGame;

// The inside of a simulated Quillmarch device: its settings, its admin
// password, the game it publishes and the RPC methods it answers. It knows
// nothing of cables or sockets; each carrier (USB, and later the network
// and Bluetooth) hands it requests and carries its replies and envelopes.
//
// Slow work (a Wi-Fi scan or join, a firmware download, a restart) runs on
// the device's own clock, which can run faster than real time, or stand
// still until a test moves it with skipTime().
class DeviceModel : public QObject {
	Q_OBJECT

public:
	static constexpr const char *kFactoryPassword = "corvalinth";

	struct Config {
		QString deviceId = QStringLiteral("QM-00A1B2");
		QString firmwareVersion = QStringLiteral("2.4.1");
		// The admin password the device starts with. The factory
		// password must be changed after signing in with it.
		QString password = QString::fromLatin1(kFactoryPassword);
		int envelopesPerSecond = 4; // 1 to kMaxRate
		double gameSpeed = 1.0;     // game seconds per real second
		SimulatedGame::Config game;
		int replyDelayMs = 0;
		// Wrong passwords in a row before sign-in is refused for a while.
		int maxFailedLogins = 5;
		int lockoutMs = 60000;

		// Device seconds per real second for the slow work: Wi-Fi
		// joins, scans, firmware downloads, network tests, restarts.
		// 0 stops the device clock; only skipTime() moves it then.
		double operationSpeed = 1.0;
		// Where tokens, keys, the passkey and random busy answers come
		// from: the same seed and the same requests give the same
		// answers.
		quint32 seed = 1;
		// How long a restart keeps the device silent, in device time.
		int restartMs = 6000;

		// The Wi-Fi network the device starts on (one it can see,
		// joined with its right password); empty: none set up.
		QString wifiSsid = QStringLiteral("BoxOffice");
		bool cloudSignIn = true; // holds cloud (MQTT) credentials
		QString apiToken;        // empty: none made yet
		// The wireless link to a receiver: "tx" sends the scores to
		// the receiver at peerMac (Wi-Fi is off then), "off" uses
		// Wi-Fi.
		QString espNowRole = QStringLiteral("off");
		QString espNowPeerMac;
		QString espNowKey;

		// Firmware offered by the update server; empty: up to date.
		QString updateVersion = QStringLiteral("2.5.0");
		// A download that breaks off at this percentage; -1: never.
		int otaFailAtPercent = -1;
		QString c6Version = QStringLiteral("c6-1.2.0");
		QString c6StagedVersion = QStringLiteral("c6-1.3.0");
		// A wireless-chip flash that fails its check at this
		// percentage; -1: never.
		int c6FailAtPercent = -1;

		// Misbehaviour on request, for tests of the plug-in. Methods
		// that are never answered; methods that fail with the given
		// error code; how many of the next requests are answered
		// "busy", and the chance of "busy" for each one after those.
		QSet<QString> silentMethods;
		QHash<QString, QString> failingMethods;
		int busyReplies = 0;
		double busyChance = 0.0;
	};
	static constexpr int kMaxRate = 50;

	// Sign-in state of one admin connection. Every carrier keeps one per
	// connection, so signing in over the cable does not sign anyone in
	// over the network. A restart ends every sign-in.
	struct Session {
		bool signedIn = false;
		quint64 boot = 0; // the boot it signed in during
		QString csrfToken;
	};

	// The outcome of one method, before it becomes a reply message.
	struct Outcome {
		bool ok = true;
		QJsonObject result;
		QString code;
		QString message;
		// Runs once the reply has been handed to the carrier: a
		// restart must not swallow the answer that announced it.
		std::function<void()> afterReply;

		static Outcome success(const QJsonObject &result = {});
		static Outcome failure(const QString &code,
				       const QString &message);
	};

	using ReplyFn = std::function<void(const QJsonObject &reply)>;

	explicit DeviceModel(QObject *parent = nullptr);
	explicit DeviceModel(const Config &config, QObject *parent = nullptr);

	const Config &config() const { return m_config; }
	// Every method the device answers, sorted.
	static QStringList methodNames();

	// Starts publishing envelopes at the configured rate.
	void start();
	void stop();
	bool isRunning() const { return m_tick.isActive(); }
	void setEnvelopesPerSecond(int rate);
	int envelopesPerSecond() const { return m_rate; }
	void setReplyDelayMs(int ms) { m_config.replyDelayMs = qMax(0, ms); }

	// Plays the game one tick forward and publishes its envelope, as the
	// timer does. Nothing is published while the device restarts.
	QJsonObject tick();
	// The envelope published last (what "getState" answers).
	QJsonObject currentEnvelope() const;
	const SimulatedGame &game() const { return m_game; }

	// One admin request as a parsed JSON object. The reply (one, unless
	// the method is set to stay silent or the device restarts first)
	// goes to reply, after the configured delay.
	void handleRequest(Session &session, const QJsonObject &request,
			   const ReplyFn &reply);
	// The same for request bytes; bytes that are not a JSON object get an
	// error reply too.
	void handleMessage(Session &session, const QByteArray &message,
			   const ReplyFn &reply);

	// Misbehaviour switches, also at run time.
	void setBusyReplies(int count) { m_busyLeft = qMax(0, count); }
	int busyRepliesLeft() const { return m_busyLeft; }
	void setMethodSilent(const QString &method, bool silent);
	void setMethodFailure(const QString &method, const QString &code);

	// The device clock in milliseconds since construction.
	qint64 now() const;
	// Moves the device clock forward and runs whatever fell due.
	void skipTime(qint64 ms);

	// Restarts the device as its "reboot" method does: silent for the
	// restart time, then up again with every sign-in ended. The cause
	// goes to the device's log.
	void restart(const QString &cause = QStringLiteral("requested"));
	bool isRestarting() const { return m_restarting; }
	int bootCount() const { return int(m_boot); }

	// Device state that the methods read and change.
	bool mustChangePassword() const { return m_mustChangePassword; }
	QString password() const { return m_password; }
	bool apiTokenConfigured() const { return !m_apiToken.isEmpty(); }
	// The access token the live feed checks; empty: none made yet.
	QString apiToken() const { return m_apiToken; }
	QString deviceId() const { return m_deviceId; }
	QString firmwareVersion() const { return m_firmware; }
	bool espNowTransmitting() const;
	QString wifiState() const; // "connected", "connecting", "off", ...

Q_SIGNALS:
	void envelope(const QJsonObject &envelope);
	// A request was handled, with its method ("" when malformed) and
	// whether it succeeded. For logs and tests.
	void requestHandled(const QString &method, bool ok);
	// A request that the device read and chose not to answer.
	void requestUnanswered(const QString &method);
	// The device goes down for a restart, and is up again.
	void restarting();
	void restarted();

private:
	using Respond = std::function<void(const Outcome &)>;
	using Handler = void (DeviceModel::*)(Session &, const QJsonObject &,
					      const Respond &);

	// The Wi-Fi join in progress or last finished.
	struct Provision {
		QString state = QStringLiteral("idle");
		QString detail;
		QString ssid;
		QString password;
		qint64 startedAt = 0;
		qint64 endedAt = -1; // -1 while it runs
		int attempt = 0;     // joins since the device started
	};
	// A firmware transfer: the main image from the update server, or
	// the wireless chip's from its staging partition.
	struct Transfer {
		QString state = QStringLiteral("idle");
		QString error;
		qint64 total = 0;
		qint64 startedAt = 0;
		qint64 bytesPerSecond = 1;
		qint64 doneBytes = -1; // fixed once the transfer stopped
		qint64 bytes(qint64 now) const;
	};
	struct NetworkTest {
		qint64 startedAt = -1; // -1: none run since boot
		bool online = false;
		bool cloud = false;
	};

	static const QHash<QString, Handler> &methodTable();
	void deliver(const QJsonObject &reply, const ReplyFn &to,
		     const std::function<void()> &afterReply = {});
	bool lockedOut() const;
	bool answerBusy();
	quint32 draw() { return quint32(m_rng()); }
	QString randomHex(int digits);
	void log(const QString &tag, const QString &text, char level = 'I');
	void logAt(qint64 ms, char level, const char *tag, const QString &text);
	void seedLog();
	void logBoot();

	// Work that falls due on the device clock; dropped by a restart.
	void after(qint64 deviceMs, std::function<void()> task);
	void runDue();
	void armDueTimer();
	void boot(const QString &reason);
	void resetToFactory();

	// Wi-Fi as the status shows it.
	bool wifiUp() const;
	QJsonObject wifiStatus() const;
	QJsonObject provisionStatus() const;
	void finishJoin(bool joined, const QString &detail);

	void login(Session &, const QJsonObject &params, const Respond &);
	void getStatus(Session &, const QJsonObject &params, const Respond &);
	void getState(Session &, const QJsonObject &params, const Respond &);
	void changePassword(Session &, const QJsonObject &params,
			    const Respond &);
	// device_wifi.cpp
	void scanWifi(Session &, const QJsonObject &, const Respond &);
	void configureWifi(Session &, const QJsonObject &, const Respond &);
	void networkTest(Session &, const QJsonObject &, const Respond &);
	void getEspNow(Session &, const QJsonObject &, const Respond &);
	void setEspNow(Session &, const QJsonObject &, const Respond &);
	// device_admin.cpp
	void getSettings(Session &, const QJsonObject &, const Respond &);
	void setSettings(Session &, const QJsonObject &, const Respond &);
	void getControllerList(Session &, const QJsonObject &, const Respond &);
	void getControllerConfig(Session &, const QJsonObject &,
				 const Respond &);
	void setControllerConfig(Session &, const QJsonObject &,
				 const Respond &);
	void ensureApiToken(Session &, const QJsonObject &, const Respond &);
	void blePasskey(Session &, const QJsonObject &, const Respond &);
	void setDeviceId(Session &, const QJsonObject &, const Respond &);
	void clearMqttConfig(Session &, const QJsonObject &, const Respond &);
	void getLogs(Session &, const QJsonObject &, const Respond &);
	void resetLocalPassword(Session &, const QJsonObject &,
				const Respond &);
	void factoryReset(Session &, const QJsonObject &, const Respond &);
	// device_firmware.cpp
	void reboot(Session &, const QJsonObject &, const Respond &);
	void otaCheck(Session &, const QJsonObject &, const Respond &);
	void otaApply(Session &, const QJsonObject &, const Respond &);
	void otaProgress(Session &, const QJsonObject &, const Respond &);
	void c6OtaStatus(Session &, const QJsonObject &, const Respond &);
	void c6OtaApply(Session &, const QJsonObject &, const Respond &);

	Config m_config;
	SimulatedGame m_game;
	QTimer m_tick{this};
	int m_rate = 4;
	std::mt19937 m_rng;

	int m_busyLeft = 0;

	// The device clock and the work waiting on it.
	QElapsedTimer m_realClock;
	qint64 m_skippedMs = 0;
	qint64 m_taskTime = -1; // the due time of the task running now
	std::multimap<qint64, std::function<void()>> m_due;
	QTimer m_dueTimer{this};

	// Lifecycle: boots so far, the current one's start and cause.
	quint64 m_boot = 1;
	bool m_restarting = false;
	qint64 m_bootAt = 0;
	QString m_resetReason = QStringLiteral("power_on");

	// What the device keeps across restarts.
	QString m_deviceId;
	QString m_firmware;
	QString m_nextFirmware; // installed, runs from the next start
	QString m_password;
	bool m_mustChangePassword = true;
	int m_failedLogins = 0;
	QElapsedTimer m_lockout; // valid while sign-in is refused
	QString m_apiToken;
	QString m_passkey;
	QString m_wifiSsid; // the network set up; empty: none
	QString m_wifiPassword;
	bool m_cloudSignIn = true;
	QString m_espNowRole;           // running now
	QString m_espNowConfiguredRole; // from the next start on
	QString m_espNowPeer;
	QString m_espNowKey;
	QJsonObject m_settings;
	QJsonObject m_controller;
	QString m_c6Version;

	// What a restart forgets.
	Provision m_provision;
	Transfer m_ota;
	Transfer m_c6;
	NetworkTest m_netTest;
	QStringList m_log; // oldest first
};

} // namespace quillmarch::sim
