#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;
class QTimer;

namespace quillmarch {

class LiveData;

// Shares the live scoreboard data over plain TCP, one compact JSON object per
// line. Every client gets the full snapshot when it connects and after every
// change, and may send one command per line: "get" (the snapshot), or any
// other op, which the installed command handler answers. A client that lags
// behind is sent only the newest snapshot once it catches up; one that stops
// reading altogether is dropped (see kMaxPendingOutput). Main thread only.
class HostedServer : public QObject {
	Q_OBJECT

public:
	using CommandHandler = std::function<QJsonObject(
		const QString &op, const QJsonObject &request)>;

	struct Timings {
		// How long a client's unsent output may stay over
		// kMaxPendingOutput before the client is dropped. Long enough
		// to ride out a reader that pauses (a busy or suspended
		// process, a Wi-Fi hiccup with TCP's retransmissions backing
		// off to several seconds), short enough that a peer that has
		// gone away does not hold its backlog for long. Lagging costs
		// no more memory than the cap, so erring long is cheap.
		int stallMs = 10000;
	};

	static constexpr quint16 kDefaultPort = 9001;
	// Bytes a client may send without ending a line before it is dropped.
	static constexpr int kMaxReceiveBuffer = 65536;
	// Unsent output past which a client counts as lagging: changes are no
	// longer queued for it (only the newest snapshot is kept, sent when
	// it drains below this) and its further commands wait until then. A
	// client that stays past it for Timings::stallMs is dropped.
	static constexpr qint64 kMaxPendingOutput = 2 * 1024 * 1024;

	// `live` is not owned and should outlive the server.
	explicit HostedServer(LiveData *live, QObject *parent = nullptr);

	void setTimings(const Timings &timings) { m_timings = timings; }

	// Stops, then listens on the loopback address (or every interface when
	// allowNetwork). On failure *error, when given, gets a sentence for the
	// user and the server stays stopped.
	bool start(quint16 port, bool allowNetwork, QString *error = nullptr);
	void stop();

	bool isListening() const;
	int clientCount() const { return int(m_clients.size()); }
	QHostAddress serverAddress() const;
	quint16 serverPort() const;

	void setCommandHandler(CommandHandler handler);

	// Line protocol, free of sockets so it can be tested and fuzzed alone.

	// Takes every line ended by a line feed off the front of *buffer and
	// returns them trimmed, leaving out the empty ones; the unfinished tail
	// stays in *buffer. Bytes before scanFrom are known to hold no line
	// feed, so a line arriving in many small reads is not searched over and
	// over.
	static QList<QByteArray> takeLines(QByteArray *buffer,
					   int scanFrom = 0);
	// The answer to one trimmed, non-empty request line.
	static QJsonObject replyFor(const QByteArray &line,
				    const QJsonObject &snapshot,
				    const CommandHandler &handler);
	// An object as sent on the wire: compact JSON and a line feed.
	static QByteArray encodeLine(const QJsonObject &object);

	void handleLine(QTcpSocket *socket, const QByteArray &line);
	void sendJson(QTcpSocket *socket, const QJsonObject &object);

public Q_SLOTS:
	void broadcast();

Q_SIGNALS:
	void clientsChanged(int count);

private Q_SLOTS:
	void onNewConnection();

private:
	struct Client {
		QByteArray input;        // received after the last line feed
		QList<QByteArray> lines; // received, not handled yet
		// The newest snapshot, held back while the client lags.
		QByteArray pendingSnapshot;
		// Runs while the unsent output is over kMaxPendingOutput.
		QTimer *stallTimer = nullptr;
		// Sent an overlong line: takes no more input.
		bool inputClosed = false;
	};

	QJsonObject snapshot() const;
	void serve(QTcpSocket *socket);
	void onBytesWritten(QTcpSocket *socket);
	void onStalled(QTcpSocket *socket);
	void removeClient(QTcpSocket *socket);
	void sendLine(QTcpSocket *socket, const QByteArray &line);
	void dropClient(QTcpSocket *socket);

	QPointer<LiveData> m_live;
	QTcpServer *m_server;
	QList<QTcpSocket *> m_clients; // in order of connection
	QHash<QTcpSocket *, Client> m_state;
	CommandHandler m_handler;
	Timings m_timings;
};

} // namespace quillmarch
