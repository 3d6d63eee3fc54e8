#pragma once

#include "base/json_lines.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

class QSslSocket;

namespace quillmarch {

// The device's live scores over the local network: a TLS connection to the
// device, proved with its access token, then one live-data envelope per line.
// A dropped connection is retried with a growing delay until stop(); a
// device that refuses the token is not retried. An attempt the device does
// not answer in time is given up and retried the same way, and TCP
// keep-alive notices a device that vanished without closing the connection.
class TlsFeed : public QObject {
	Q_OBJECT

public:
	static constexpr quint16 kDefaultPort = 1010;
	static constexpr int kInitialBackoffMs = 1000;
	static constexpr int kMaxBackoffMs = 15000;
	// From the start of an attempt to the device's acceptance of the
	// token. A device answers within a second or two; one that takes the
	// connection and then says nothing would otherwise hold the feed
	// "connecting" for good.
	static constexpr int kAuthTimeoutMs = 10000;
	// Keep-alive on the feed's connection, in seconds: probes start after
	// this much silence, go out this often, and this many unanswered ones
	// end the connection. A device that lost power is noticed within half
	// a minute; a quiet one is not dropped, as its kernel answers.
	static constexpr int kKeepAliveIdleS = 10;
	static constexpr int kKeepAliveIntervalS = 5;
	static constexpr int kKeepAliveProbes = 4;

	explicit TlsFeed(QObject *parent = nullptr);
	~TlsFeed() override;

	// Delay before the first retry and the most it grows to. Tests shorten
	// them; the defaults are what the device expects. Takes effect for the
	// next attempt.
	void setBackoff(int initialMs, int maxMs);
	// How long an attempt may take up to the device's acceptance. Tests
	// shorten it. Takes effect for the next attempt.
	void setAuthTimeout(int ms) { m_authTimeoutMs = qMax(1, ms); }

	// Starts over: any current connection is stopped first. Port 0 means
	// the device's feed port.
	void connectTo(const QString &host, quint16 port, const QString &token);
	void stop();

	QString host() const { return m_host; }
	quint16 port() const { return m_port; }
	bool isRunning() const { return m_wanted; }
	bool isAuthenticated() const { return m_authenticated; }
	// The last problem in words for the user; empty after the device
	// accepted the token.
	QString lastError() const { return m_lastError; }
	// The delay the next failed attempt will wait before retrying.
	int backoffMs() const { return m_backoffMs; }
	bool isReconnectScheduled() const
	{
		return m_reconnectTimer.isActive();
	}
	// The descriptor of the current connection attempt or connection, -1
	// when there is none yet.
	qintptr socketDescriptor() const;

Q_SIGNALS:
	void connectedChanged(bool connected, const QString &detail);
	void envelope(const QJsonObject &envelope);
	// A failed attempt or a lost connection: the next attempt starts in
	// `delayMs`.
	void retryScheduled(int delayMs);

private:
	void openSocket();
	void dropSocket();
	void onConnected();
	void onEncrypted();
	void onReadyRead();
	void onSocketError();
	void onConnectionLost();
	void onAuthTimeout();
	bool handleObject(const QJsonObject &object);

	QSslSocket *m_socket = nullptr;
	QString m_host;
	quint16 m_port = kDefaultPort;
	QString m_token;
	JsonLineSplitter m_lines;
	bool m_authenticated = false;
	bool m_authFailed = false;
	bool m_wanted = false;
	QString m_lastError;
	QTimer m_reconnectTimer;
	QTimer m_authTimer;
	int m_authTimeoutMs = kAuthTimeoutMs;
	int m_initialBackoffMs = kInitialBackoffMs;
	int m_maxBackoffMs = kMaxBackoffMs;
	int m_backoffMs = kInitialBackoffMs;
};

} // namespace quillmarch
