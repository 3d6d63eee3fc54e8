#pragma once

#include "base/json_lines.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>

class QProcess;
class QTcpServer;
class QTcpSocket;

namespace quillmarch {

// The answer to every request sent to the Bluetooth helper.
struct BleReply {
	bool ok = false;
	QJsonObject result; // when ok
	QString code;       // when not ok
	QString message;    // when not ok, a user-facing sentence

	static BleReply failure(const QString &code, const QString &message);
	// A reply line of the helper ({"reqId", "ok", "result"|"error"}).
	static BleReply fromJson(const QJsonObject &line);
};

// One device heard in a scan.
struct BleDeviceInfo {
	QString id;
	QString name;
	int rssi = 0;
};

// What one line of the helper means once the helper has said hello.
struct BleHelperLine {
	enum Kind { Data, Disconnected, Reply, Ignored };
	Kind kind = Ignored;
	QByteArray data; // Data: the device's bytes
	QString reason;  // Disconnected
	int reqId = -1;  // Reply
	BleReply reply;  // Reply

	static BleHelperLine decode(const QJsonObject &line);
};

// The plug-in's only way to Bluetooth LE: a separate helper program, started
// on demand, connects back to a loopback port, proves itself with a one-time
// token and then exchanges JSON lines with us (requests with an id, replies
// to those ids, and events). Everything runs on the main thread; every
// request is answered exactly once.
class BleBridge : public QObject {
	Q_OBJECT

public:
	struct Timings {
		// How long a launched helper has to connect and say hello.
		int launchDeadlineMs = 20000;
	};
	static constexpr int kStartTimeoutMs = 30000;
	static constexpr int kScanTimeoutBaseMs = 15000;
	static constexpr int kScanMinMs = 500;
	static constexpr int kScanMaxMs = 30000;
	// Connections that may wait for their hello at the same time.
	static constexpr int kMaxCandidates = 4;

	using ReadyCallback =
		std::function<void(bool ok, const QString &error)>;
	using ReplyCallback = std::function<void(const BleReply &reply)>;
	using ScanCallback = std::function<void(
		bool ok, const QList<BleDeviceInfo> &devices, int seen,
		const QString &code, const QString &message)>;

	static BleBridge *instance();

	void setHelperPath(const QString &path) { m_helperPath = path; }
	QString helperPath() const { return m_helperPath; }
	void setTimings(const Timings &timings);
	// The loopback port the helper connects to; 0 before the first launch.
	quint16 port() const;
	// The process id of the last launcher while it runs (on Linux the
	// helper itself), else 0.
	qint64 helperProcessId() const;
	// The last launcher, for diagnostics: how it ended, if it did.
	const QProcess *launcher() const;
	bool isReady() const { return m_socket && m_ready; }

	void ensureHelper(ReadyCallback done);
	void request(const QString &op, const QJsonObject &params,
		     ReplyCallback done, int timeoutMs);
	void start(ReplyCallback done);
	void scan(int ms, ScanCallback done);
	// For unloading: asks the helper to quit and forgets every request and
	// waiter without calling them.
	void shutdown();

Q_SIGNALS:
	void dataReceived(const QByteArray &bytes);
	void disconnected(const QString &reason);
	void helperStopped(const QString &reason);

private:
	struct Pending {
		ReplyCallback callback;
		QTimer *timer = nullptr;
	};
	struct Candidate {
		QTcpSocket *socket = nullptr;
		JsonLineSplitter lines;
	};

	explicit BleBridge(QObject *parent = nullptr);

	void launchHelper();
	void onLaunchDeadline();
	void onNewConnection();
	void onCandidateData(QTcpSocket *socket);
	void acceptHelper(Candidate candidate);
	void dropCandidates();
	void dropCandidate(QTcpSocket *socket);
	void onHelperData();
	void handleLine(const QJsonObject &line);
	void onHelperClosed(QTcpSocket *socket);
	void send(const QString &op, const QJsonObject &params,
		  ReplyCallback done, int timeoutMs);
	void onRequestTimeout(int reqId);
	void failAll(const QString &code, const QString &message);
	void callWaiters(bool ok, const QString &error);

	QString m_helperPath;
	Timings m_timings;
	QTcpServer *m_server;
	QTcpSocket *m_socket = nullptr;
	QList<Candidate> m_candidates;
	QPointer<QProcess> m_process;
	QString m_token;
	JsonLineSplitter m_lines;
	bool m_ready = false;
	QTimer m_launchTimer;
	QList<ReadyCallback> m_waiters;
	QList<ReplyCallback> m_startWaiters;
	QHash<int, Pending> m_pending;
	int m_nextReqId = 1;
	bool m_started = false;
};

} // namespace quillmarch
