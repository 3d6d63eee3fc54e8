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

namespace quillmarch {

class LiveData;

// Shares the live scoreboard data over plain TCP, one compact JSON object per
// line. Every client gets the full snapshot when it connects and after every
// change, and may send one command per line: "get" (the snapshot), or any
// other op, which the installed command handler answers. Main thread only.
class HostedServer : public QObject {
	Q_OBJECT

public:
	using CommandHandler = std::function<QJsonObject(
		const QString &op, const QJsonObject &request)>;

	static constexpr quint16 kDefaultPort = 9001;
	// Bytes a client may send without ending a line before it is dropped.
	static constexpr int kMaxReceiveBuffer = 65536;
	// Output a client may leave unread before it is dropped; see sendLine.
	static constexpr qint64 kMaxPendingOutput = 2 * 1024 * 1024;

	// `live` is not owned and should outlive the server.
	explicit HostedServer(LiveData *live, QObject *parent = nullptr);

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
	QJsonObject snapshot() const;
	void receive(QTcpSocket *socket);
	void removeClient(QTcpSocket *socket);
	void sendLine(QTcpSocket *socket, const QByteArray &line);
	void dropClient(QTcpSocket *socket);

	QPointer<LiveData> m_live;
	QTcpServer *m_server;
	QList<QTcpSocket *> m_clients; // in order of connection
	QHash<QTcpSocket *, QByteArray> m_buffers;
	CommandHandler m_handler;
};

} // namespace quillmarch
