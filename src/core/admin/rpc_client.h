#pragma once

#include "link/device_link.h"

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

namespace quillmarch {

// The outcome of one device call. On failure `result` is empty, `code` is a
// short snake_case word shared with the device and `message` a sentence for
// the user; on success both texts are empty.
struct RpcResult {
	bool ok = false;
	QJsonObject result;
	QString code;
	QString message;
};

// The one client of the device's admin protocol for a device session.
//
// Calls are queued and sent one at a time: the device handles a single admin
// request at once, so a second request is written only after the first has
// been answered, has timed out or could not be sent. Every call ends in
// exactly one callback, possibly from inside call() itself (for instance when
// the transport is closed). Callbacks may call back into the client.
//
// Destroying the client drops all work without calling any callback, even
// when it is destroyed from inside one of them.
class RpcClient : public QObject {
	Q_OBJECT

public:
	using Callback = std::function<void(const RpcResult &)>;

	static constexpr int kDefaultTimeoutMs = 20000;
	static constexpr int kDefaultBusyRetryDelayMs = 250;
	// A call the device refuses as busy is sent up to this many more times.
	static constexpr int kMaxBusyRetries = 3;

	struct Job {
		QString method;
		QJsonObject params;
		Callback done;
		int timeoutMs = kDefaultTimeoutMs;
		int busyRetries = 0;
	};

	// The transport belongs to the device link and must not be replaced;
	// the client only watches it.
	explicit RpcClient(RpcTransport *transport, QObject *parent = nullptr);
	~RpcClient() override;

	void call(const QString &method, const QJsonObject &params = {},
		  Callback done = {}, int timeoutMs = kDefaultTimeoutMs);
	// Ends the call in flight, then every queued call in order, with the
	// failure {code, message}. Calls made by those callbacks are served
	// normally.
	void abortAll(const QString &code, const QString &message);
	// Queued calls, plus one while a request is awaiting its reply.
	int pending() const;

	// How long to wait before resending a call the device refused as busy.
	void setBusyRetryDelay(int ms);
	int busyRetryDelay() const { return m_retryTimer.interval(); }

	// Only for tests of the id wrap-around, which would otherwise need two
	// billion requests. Ids below 1 are raised to 1.
	void setNextIdForTest(int id);

private Q_SLOTS:
	void onMessage(const QByteArray &json);
	void onSendFailed(const QString &code, const QString &text);
	void onTimeout();

private:
	void pump();
	void finish(const RpcResult &result);

	QPointer<RpcTransport> m_transport;
	std::deque<Job> m_queue;
	bool m_inFlight = false;
	Job m_current;
	int m_currentId = 0;
	int m_nextId = 1;
	QTimer m_timer;
	QTimer m_retryTimer;
};

} // namespace quillmarch
