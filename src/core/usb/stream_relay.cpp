#include "usb/stream_relay.h"

#include <QPointer>
#include <QTcpSocket>
#include <QtEndian>

namespace quillmarch {

namespace {

void dropSocket(QTcpSocket *socket, QObject *relay)
{
	if (!socket)
		return;
	socket->disconnect(relay);
	socket->abort();
	socket->deleteLater();
}

} // namespace

// Anything emitted (toDevice, statusChanged) may come back as a reset of
// this relay, or as the deletion of the link that owns it: code after an
// emit looks the stream up again and checks that the relay still exists.

StreamRelay::~StreamRelay()
{
	for (const Stream &s : qAsConst(m_streams))
		dropSocket(s.socket, this);
}

void StreamRelay::setDestinations(const QJsonObject &destinations)
{
	closeAllStreams(false);
	m_status.lastError.clear();
	m_destinations.clear();
	for (auto it = destinations.begin(); it != destinations.end(); ++it) {
		const QJsonObject target = it.value().toObject();
		const QString host =
			target.value(QLatin1String("host")).toString();
		const int port = target.value(QLatin1String("port")).toInt();
		if (port < 1 || port > 65535 || host.isEmpty() ||
		    host.contains(QLatin1Char(' ')))
			continue;
		m_destinations.insert(it.key(), {host, quint16(port)});
	}
	m_status.destinationNames = m_destinations.keys();
	Q_EMIT statusChanged();
}

void StreamRelay::reset(bool tellDevice)
{
	closeAllStreams(tellDevice);
	m_status.lastError.clear();
	Q_EMIT statusChanged();
}

void StreamRelay::setEnabled(bool on)
{
	if (m_enabled == on)
		return;
	m_enabled = on;
	if (!on)
		reset();
}

void StreamRelay::fromDevice(const QByteArray &payload)
{
	if (payload.size() < 2)
		return;
	const quint8 id = quint8(payload.at(0));
	const quint8 op = quint8(payload.at(1));
	const QByteArray data = payload.mid(2);
	switch (op) {
	case OpOpen:
		if (id != 0 && !data.isEmpty())
			open(id, QString::fromUtf8(data));
		break;
	case OpData: {
		auto it = m_streams.find(id);
		if (it == m_streams.end() || data.isEmpty())
			break;
		m_status.bytesFromDevice += quint64(data.size());
		if (it->connected)
			it->socket->write(data);
		else if (it->pending.size() + data.size() <= kPendingLimit)
			it->pending.append(data);
		break;
	}
	case OpClose:
		if (m_streams.contains(id))
			closeStream(id, false);
		break;
	case OpCredit: {
		auto it = m_streams.find(id);
		if (it == m_streams.end() || data.size() != 4)
			break;
		const quint64 credit =
			quint64(it->credit) +
			qFromLittleEndian<quint32>(data.constData());
		it->credit = quint32(qMin<quint64>(credit, kCreditLimit));
		pump(id);
		break;
	}
	default:
		break;
	}
}

void StreamRelay::open(quint8 id, const QString &name)
{
	const QPointer<StreamRelay> self(this);
	if (m_streams.contains(id)) {
		closeStream(id, false);
		if (!self)
			return;
	}
	if (!m_enabled) {
		fail(id, QStringLiteral("disabled"));
		return;
	}
	const auto target = m_destinations.constFind(name);
	if (target == m_destinations.constEnd()) {
		fail(id, QStringLiteral("unknown_stream"));
		return;
	}
	auto *socket = new QTcpSocket(this);
	// What the device has no credit for stays in the kernel, so a fast
	// server is slowed by TCP instead of filling our memory.
	socket->setReadBufferSize(kPendingLimit);
	Stream stream;
	stream.socket = socket;
	m_streams.insert(id, stream);
	connect(socket, &QTcpSocket::connected, this,
		[this, id, socket] { onConnected(id, socket); });
	connect(socket, &QTcpSocket::readyRead, this, [this, id, socket] {
		if (find(id, socket))
			pump(id);
	});
	connect(socket, &QTcpSocket::errorOccurred, this,
		[this, id, socket] { onError(id, socket); });
	connect(socket, &QTcpSocket::disconnected, this,
		[this, id, socket] { onDisconnected(id, socket); });
	socket->connectToHost(target->host, target->port);
}

void StreamRelay::fail(quint8 id, const QString &message)
{
	m_status.lastError = message;
	const QPointer<StreamRelay> self(this);
	send(id, OpError, message.toUtf8().left(kErrorBytes));
	if (self)
		Q_EMIT statusChanged();
}

void StreamRelay::closeStream(quint8 id, bool tellDevice)
{
	const auto it = m_streams.find(id);
	if (it == m_streams.end())
		return;
	dropSocket(it->socket, this);
	m_streams.erase(it);
	recount();
	const QPointer<StreamRelay> self(this);
	if (tellDevice)
		send(id, OpClose);
	if (self)
		Q_EMIT statusChanged();
}

void StreamRelay::closeAllStreams(bool tellDevice)
{
	const QList<quint8> ids = m_streams.keys();
	for (const Stream &s : qAsConst(m_streams))
		dropSocket(s.socket, this);
	m_streams.clear();
	m_status.activeStreams = 0;
	const QPointer<StreamRelay> self(this);
	if (tellDevice)
		for (quint8 id : ids)
			if (self)
				send(id, OpClose);
}

void StreamRelay::pump(quint8 id)
{
	const auto it = m_streams.constFind(id);
	if (it == m_streams.constEnd() || !it->connected)
		return;
	QTcpSocket *socket = it->socket;
	const QPointer<StreamRelay> self(this);
	for (;;) {
		Stream *s = self ? find(id, socket) : nullptr;
		if (!s)
			return;
		if (s->credit > 0 && socket->bytesAvailable() > 0) {
			const qint64 want = qMin<qint64>(
				qMin<qint64>(socket->bytesAvailable(),
					     s->credit),
				kChunk);
			const QByteArray bytes = socket->read(want);
			if (bytes.isEmpty())
				return;
			s->credit -= quint32(bytes.size());
			m_status.bytesToDevice += quint64(bytes.size());
			send(id, OpData, bytes);
			continue;
		}
		if (s->remoteClosed && socket->bytesAvailable() == 0)
			closeStream(id, true);
		return;
	}
}

void StreamRelay::send(quint8 id, Op op, const QByteArray &data)
{
	QByteArray payload;
	payload.reserve(2 + data.size());
	payload.append(char(id));
	payload.append(char(op));
	payload.append(data);
	Q_EMIT toDevice(payload);
}

void StreamRelay::recount()
{
	int active = 0;
	for (const Stream &s : qAsConst(m_streams))
		if (s.connected)
			++active;
	m_status.activeStreams = active;
}

StreamRelay::Stream *StreamRelay::find(quint8 id, const QTcpSocket *socket)
{
	const auto it = m_streams.find(id);
	if (it == m_streams.end() || it->socket != socket)
		return nullptr;
	return &*it;
}

void StreamRelay::onConnected(quint8 id, QTcpSocket *socket)
{
	Stream *s = find(id, socket);
	if (!s || socket->peerPort() == 0)
		return;
	s->connected = true;
	m_status.lastError.clear();
	const QByteArray pending = s->pending;
	s->pending.clear();
	const QPointer<StreamRelay> self(this);
	send(id, OpOpened);
	if (!self || !(s = find(id, socket)))
		return;
	socket->write(pending);
	recount();
	Q_EMIT statusChanged();
	if (self && find(id, socket))
		pump(id);
}

void StreamRelay::onError(quint8 id, QTcpSocket *socket)
{
	Stream *s = find(id, socket);
	// A connected stream ends through its disconnection.
	if (!s || s->connected)
		return;
	m_status.lastError = socket->errorString();
	const QPointer<StreamRelay> self(this);
	closeStream(id, false);
	if (!self)
		return;
	send(id, OpError, QByteArrayLiteral("dial_failed"));
	if (self)
		Q_EMIT statusChanged();
}

void StreamRelay::onDisconnected(quint8 id, QTcpSocket *socket)
{
	Stream *s = find(id, socket);
	if (!s)
		return;
	s->remoteClosed = true;
	pump(id);
}

} // namespace quillmarch
