#pragma once

#include "admin/rpc_client.h"
#include "link/device_link.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace quillmarch {

// One Wi-Fi network the device can see.
struct WifiNetwork {
	QString ssid;
	// Signal strength in dBm as the device reports it.
	int rssi = 0;
	// The device's authentication mode, as text even when it sends a
	// number.
	QString auth;
};

// The device's output to a wireless receiver (its ESP-NOW transmitter), as
// last read.
struct WirelessLink {
	// The device reported a wireless-link block at all.
	bool supported = false;
	// Sending its scores to a receiver now, or from its next start.
	bool transmitter = false;
	// A receiver address is set and the device holds a key for it.
	bool keySet = false;
	QString peerMac;
	QString startError;
};

// The scoreboard controller the device reads.
struct ControllerChoice {
	QString manufacturer;
	QString model;
	QString sport;
	QString inputType;

	QJsonObject toJson() const;
};

// The signed-in admin connection to one device over any link.
//
// The session owns its link and its RPC client. It opens the link, signs in
// by walking a list of candidate passwords, reads the device's status and,
// on carriers where the device does not push its state, polls it once a
// second and re-emits it as live-data envelopes. The user interface follows
// stateChanged; the configuration operations below report through
// completion callbacks, each of which may be empty.
//
// Destroying the session drops every pending completion without calling it.
class DeviceSession : public QObject {
	Q_OBJECT

public:
	enum State {
		Idle,
		Connecting,
		SigningIn,
		NeedsPassword,
		NeedsNewPassword,
		Ready,
		Lost,
		Error,
		Restarting,
	};
	Q_ENUM(State)

	// Intervals and per-call time-outs. The defaults are what the device
	// firmware is built for; tests shorten them.
	struct Timings {
		int pollMs = 1000;
		int wifiVerifyStepMs = 3000;
		// Time-out of calls without a time-out of their own.
		int callMs = 20000;
		// Signing in through a receiver crosses the wireless link.
		int receiverLoginMs = 30000;
		int pollCallMs = 6000;
		// The device's scan takes several seconds per band.
		int scanMs = 40000;
		int rebootMs = 8000;
	};
	// Status checks made after a Wi-Fi change before giving up.
	static constexpr int kWifiVerifyChecks = 13;
	// Consecutive unanswered state polls after which the link is dropped.
	static constexpr int kMaxPollTimeouts = 3;

	using DoneCallback =
		std::function<void(bool ok, const QString &message)>;
	using ProgressCallback = std::function<void(const QString &text)>;
	using ScanCallback =
		std::function<void(bool ok, const QList<WifiNetwork> &networks,
				   const QString &message)>;
	using WirelessLinkCallback = std::function<void(const WirelessLink &)>;
	using TransmitterCallback = std::function<void(
		bool ok, const QString &message, const QString &key)>;
	using ControllersCallback = std::function<void(
		bool ok, const QList<ControllerChoice> &choices,
		const QString &message)>;
	using ConfigCallback = std::function<void(
		bool ok, const QJsonObject &config, const QString &message)>;
	using TokenCallback = std::function<void(bool ok, const QString &token,
						 const QString &message)>;

	// Takes ownership of the link; does not open it.
	explicit DeviceSession(DeviceLink *link, QObject *parent = nullptr);
	~DeviceSession() override;

	void setTimings(const Timings &timings);
	const Timings &timings() const { return m_timings; }

	void start(const QStringList &passwords);
	void manageViaReceiver(const QStringList &passwords);
	void submitPassword(const QString &password);
	void changePassword(const QString &current, const QString &next,
			    DoneCallback done = {});
	void refreshStatus(DoneCallback done = {});
	// Ends all calls with "disconnected", closes the link and goes back to
	// Idle without telling anyone: the caller is the one who asked.
	void stop();

	QString deviceId() const;
	QString wifiIp() const;
	QString firmware() const;

	State state() const { return m_state; }
	QString lastError() const { return m_lastError; }
	QJsonObject status() const { return m_status; }
	QJsonObject info() const { return m_info; }
	RpcClient *rpc() const { return m_rpc; }
	DeviceLink *link() const { return m_link; }
	bool mustChangePassword() const { return m_mustChangePassword; }
	bool receiverOnly() const { return m_receiverOnly; }
	bool viaReceiver() const { return m_viaReceiver; }
	bool wirelessTransmitter() const { return m_wirelessTransmitter; }
	bool restarting() const { return m_restarting; }

	// Configuration operations.
	void scanWifi(ScanCallback done);
	void configureWifi(const QString &ssid, const QString &pass,
			   ProgressCallback progress, DoneCallback done);
	void verifyWifi(const QString &ssid, int attempt,
			ProgressCallback progress, DoneCallback done);
	void wirelessLink(WirelessLinkCallback done);
	void enableWirelessTransmitter(const QString &peerMac,
				       const QString &key, bool generateKey,
				       TransmitterCallback done);
	void disableEspNowSender(DoneCallback done);
	void listControllers(ControllersCallback done);
	void getControllerConfig(ConfigCallback done);
	void setController(const ControllerChoice &choice, DoneCallback done);
	void ensureApiToken(TokenCallback done);
	void reboot(DoneCallback done);

Q_SIGNALS:
	void stateChanged(quillmarch::DeviceSession::State state,
			  const QString &detail);
	void envelope(const QJsonObject &envelope);
	void statusUpdated();

private:
	void onLinkOpened(const QJsonObject &info);
	void onLinkClosed(const QString &reason);
	void onLinkFailed(const QString &code, const QString &message);
	void tryNextPassword();
	void afterLogin(const RpcResult &result);
	void pollOnce();
	void startPollIfNeeded();
	void checkWifiJoin(const QString &ssid, int attempt,
			   const ProgressCallback &progress,
			   const DoneCallback &done);
	void setState(State state, const QString &detail = QString());
	// Abandons the sign-in and poll calls of the previous attempt: their
	// answers no longer belong to what the session is doing.
	void newAttempt();

	Timings m_timings;
	DeviceLink *m_link;
	RpcClient *m_rpc;
	State m_state = Idle;
	QString m_lastError;
	QJsonObject m_status;
	QJsonObject m_info;
	QStringList m_candidates;
	QString m_knownPassword;
	bool m_mustChangePassword = false;
	bool m_receiverOnly = false;
	bool m_viaReceiver = false;
	bool m_wirelessTransmitter = false;
	bool m_restarting = false;
	QTimer m_pollTimer;
	bool m_pollInFlight = false;
	int m_pollTimeouts = 0;
	quint64 m_attempt = 0;
};

} // namespace quillmarch
