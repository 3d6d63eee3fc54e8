#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class QTcpServer;
class QTcpSocket;
class QTimer;
class QWebSocket;
class QWebSocketServer;

namespace quillmarch {

class LiveData;

// The live data for browsers and overlays, which cannot read the data
// server's raw TCP lines. One port serves both:
//   GET /live.json  the current snapshot (CORS open, never cached), then close;
//   ws://…/live     a WebSocket that gets the snapshot on connect and after
//                   every change, one text message each, and answers "get".
// The snapshots are the objects the data server sends as its lines. Every
// connection first sends a request head (kMaxHead bytes within
// Timings::headMs); only a WebSocket upgrade on /live is handed on to the
// WebSocket server. WebSocket clients that stop reading are treated like the
// data server's: past kMaxPendingOutput they get only the newest snapshot
// once they drain, and they are dropped after Timings::stallMs over it.
// Main thread only.
class WebFeed : public QObject {
	Q_OBJECT

public:
	struct Timings {
		// As long as the data server allows a lagging client.
		int stallMs = 10000;
		// From accepting a connection to its whole request head.
		int headMs = 5000;
	};

	static constexpr int kMaxHead = 8192;
	// Incoming WebSocket frames and messages; only "get" is meaningful.
	static constexpr int kMaxIncoming = 65536;
	static constexpr qint64 kMaxPendingOutput = 2 * 1024 * 1024;

	// What to do with one complete request head.
	struct Answer {
		bool upgrade =
			false; // hand the connection to the WebSocket server
		QByteArray response; // otherwise: the whole HTTP response
	};
	// Socket-free, so the routing can be tested alone. `snapshot` is the
	// compact JSON body of /live.json.
	static Answer answerFor(const QByteArray &head,
				const QByteArray &snapshot);

	// `live` is not owned and should outlive the feed.
	explicit WebFeed(LiveData *live, QObject *parent = nullptr);
	~WebFeed() override;

	void setTimings(const Timings &timings) { m_timings = timings; }

	// Stops, then listens on the loopback address (or every interface when
	// allowNetwork); port 0 picks a free one. The port is an int because it
	// is derived from the data server's: 65536 is refused, not wrapped. On
	// failure errorString() (and *error, when given) says why in a sentence
	// for the user, and the feed stays stopped.
	bool start(int port, bool allowNetwork, QString *error = nullptr);
	void stop();

	bool isListening() const;
	QString errorString() const { return m_error; }
	int clientCount() const { return int(m_clients.size()); }
	QHostAddress serverAddress() const;
	quint16 serverPort() const;

public Q_SLOTS:
	void broadcast();

Q_SIGNALS:
	void clientsChanged(int count);

private:
	struct Client {
		QString pendingSnapshot; // held back while it lags
		QTimer *stallTimer = nullptr;
	};

	QString snapshot() const;
	void onNewConnection();
	void readHead(QTcpSocket *socket);
	void answer(QTcpSocket *socket, const QByteArray &response);
	void upgrade(QTcpSocket *socket);
	void onWebSocket();
	void onMessage(QWebSocket *socket, const QString &message);
	void send(QWebSocket *socket, const QString &message);
	void onBytesWritten(QWebSocket *socket);
	void onStalled(QWebSocket *socket);
	void removeClient(QWebSocket *socket);

	QPointer<LiveData> m_live;
	QTcpServer *m_server;
	QWebSocketServer *m_webSockets;
	QList<QWebSocket *> m_clients; // in order of connection
	QHash<QWebSocket *, Client> m_state;
	// Handed to the WebSocket server, not yet upgraded.
	QSet<QTcpSocket *> m_handshaking;
	Timings m_timings;
	QString m_error;
};

} // namespace quillmarch
