#pragma once

#include "simulated_game.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace quillmarch::sim {

// The inside of a simulated Quillmarch device: its settings, its admin
// password, the game it publishes and the RPC methods it answers. It knows
// nothing of cables or sockets; each carrier (USB, and later the network
// and Bluetooth) hands it requests and carries its replies and envelopes.
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
	};
	static constexpr int kMaxRate = 50;

	// Sign-in state of one admin connection. Every carrier keeps one per
	// connection, so signing in over the cable does not sign anyone in
	// over the network.
	struct Session {
		bool signedIn = false;
	};

	// The outcome of one method, before it becomes a reply message.
	struct Outcome {
		bool ok = true;
		QJsonObject result;
		QString code;
		QString message;

		static Outcome success(const QJsonObject &result = {});
		static Outcome failure(const QString &code,
				       const QString &message);
	};

	using ReplyFn = std::function<void(const QJsonObject &reply)>;

	explicit DeviceModel(QObject *parent = nullptr);
	explicit DeviceModel(const Config &config, QObject *parent = nullptr);

	const Config &config() const { return m_config; }

	// Starts publishing envelopes at the configured rate.
	void start();
	void stop();
	bool isRunning() const { return m_tick.isActive(); }
	void setEnvelopesPerSecond(int rate);
	int envelopesPerSecond() const { return m_rate; }
	void setReplyDelayMs(int ms) { m_config.replyDelayMs = qMax(0, ms); }

	// Plays the game one tick forward and publishes its envelope, as the
	// timer does.
	QJsonObject tick();
	// The envelope published last (what "getState" answers).
	QJsonObject currentEnvelope() const;
	const SimulatedGame &game() const { return m_game; }

	// One admin request as a parsed JSON object. The reply (always one,
	// also for malformed requests) goes to reply, after the configured
	// delay; the device's state changes at once.
	void handleRequest(Session &session, const QJsonObject &request,
			   const ReplyFn &reply);
	// The same for request bytes; bytes that are not a JSON object get an
	// error reply too.
	void handleMessage(Session &session, const QByteArray &message,
			   const ReplyFn &reply);

	// Device state that the methods read and change.
	bool mustChangePassword() const { return m_mustChangePassword; }
	QString password() const { return m_password; }
	bool apiTokenConfigured() const { return !m_apiToken.isEmpty(); }

Q_SIGNALS:
	void envelope(const QJsonObject &envelope);
	// A request was handled, with its method ("" when malformed) and
	// whether it succeeded. For logs and tests.
	void requestHandled(const QString &method, bool ok);

private:
	using Respond = std::function<void(const Outcome &)>;
	using Handler = void (DeviceModel::*)(Session &, const QJsonObject &,
					      const Respond &);

	void registerMethods();
	void deliver(const QJsonObject &reply, const ReplyFn &to);
	bool lockedOut() const;

	void login(Session &, const QJsonObject &params, const Respond &);
	void getStatus(Session &, const QJsonObject &params, const Respond &);
	void getState(Session &, const QJsonObject &params, const Respond &);
	void changePassword(Session &, const QJsonObject &params,
			    const Respond &);

	Config m_config;
	SimulatedGame m_game;
	QTimer m_tick;
	int m_rate = 4;
	QElapsedTimer m_uptime;

	QHash<QString, Handler> m_methods;
	QString m_password;
	bool m_mustChangePassword = true;
	int m_failedLogins = 0;
	QElapsedTimer m_lockout; // valid while sign-in is refused
	QString m_apiToken;
};

} // namespace quillmarch::sim
