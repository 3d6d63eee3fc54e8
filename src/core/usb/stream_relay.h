#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QStringList>

class QTcpSocket;

namespace quillmarch {

// Public state of the relay that carries a USB device's multiplexed streams.
struct StreamRelayStatus {
	QStringList destinationNames;
	int activeStreams = 0;
	quint64 bytesFromDevice = 0;
	quint64 bytesToDevice = 0;
	QString lastError;
};

// Carries the TCP connections a USB device opens by name, each on its own
// stream id. Toward the device a stream sends only what the device granted
// as credit, so a fast server cannot flood the serial line; its far end
// closing is passed on only once the device has taken the rest.
class StreamRelay : public QObject {
	Q_OBJECT

public:
	// Stream frame operations (byte 1 of a payload; byte 0 is the id).
	enum Op : quint8 {
		OpOpen = 1,
		OpOpened = 2,
		OpError = 3,
		OpData = 4,
		OpClose = 5,
		OpCredit = 6,
	};
	static constexpr int kPendingLimit = 65536;
	static constexpr quint32 kCreditLimit = 16777216;
	static constexpr int kChunk = 512;
	// Error texts reach the device cut to this many bytes.
	static constexpr int kErrorBytes = 32;

	using QObject::QObject;
	~StreamRelay() override;

	StreamRelayStatus status() const { return m_status; }
	bool isEnabled() const { return m_enabled; }

	void setDestinations(const QJsonObject &destinations);
	// Closes every stream. The device is told only when asked: the link
	// does so when it had to drop relay traffic it could not pace.
	void reset(bool tellDevice = false);
	void setEnabled(bool on);
	void fromDevice(const QByteArray &payload);

Q_SIGNALS:
	void toDevice(const QByteArray &payload);
	void statusChanged();

private:
	struct Destination {
		QString host;
		quint16 port = 0;
	};
	struct Stream {
		QTcpSocket *socket = nullptr;
		bool connected = false;
		bool remoteClosed = false;
		quint32 credit = 0;
		QByteArray pending;
	};

	void open(quint8 id, const QString &name);
	void fail(quint8 id, const QString &message);
	void closeStream(quint8 id, bool tellDevice);
	void closeAllStreams(bool tellDevice);
	void pump(quint8 id);
	void send(quint8 id, Op op, const QByteArray &data = QByteArray());
	void recount();
	// The stream with this id, if it still uses this socket.
	Stream *find(quint8 id, const QTcpSocket *socket);
	void onConnected(quint8 id, QTcpSocket *socket);
	void onError(quint8 id, QTcpSocket *socket);
	void onDisconnected(quint8 id, QTcpSocket *socket);

	QMap<QString, Destination> m_destinations;
	QMap<quint8, Stream> m_streams;
	StreamRelayStatus m_status;
	bool m_enabled = true;
};

} // namespace quillmarch
