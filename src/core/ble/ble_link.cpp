#include "ble/ble_link.h"

#include <QPointer>

namespace quillmarch {

namespace {

QString notPairedText()
{
	return QObject::tr(
		"This computer is not paired with the device yet. Pair it once with the 6-digit passkey from the device's label or your Quillmarch account (macOS asks automatically; on Windows pair it in Bluetooth settings first), then connect again.");
}

// The system's description of a pairing failure ("Encryption is
// insufficient.") does not tell the user what to do; this does.
QString userMessage(const BleReply &reply)
{
	return reply.code == QLatin1String("not_paired") ? notPairedText()
							 : reply.message;
}

void releaseDevice(int timeoutMs)
{
	BleBridge::instance()->request(QStringLiteral("disconnect"), {},
				       nullptr, timeoutMs);
}

} // namespace

BleTransport::BleTransport(QObject *parent)
	: RpcTransport(parent),
	  m_writer([](const QByteArray &write, int timeoutMs,
		      BleBridge::ReplyCallback done) {
		  BleBridge::instance()->request(
			  QStringLiteral("write"),
			  {{QStringLiteral("b64"),
			    QString::fromLatin1(write.toBase64())}},
			  std::move(done), timeoutMs);
	  })
{
	m_assembler.setOnError([this](const QString &text) {
		Q_EMIT sendFailed(QStringLiteral("truncated"), text);
	});
}

void BleTransport::reset(bool open, int writePayload)
{
	++m_epoch;
	m_connected = open;
	m_writePayload = open ? writePayload : kBleMinWritePayload;
	m_assembler.reset();
	m_writeQueue.clear();
	m_writing = false;
}

void BleTransport::send(const QByteArray &message)
{
	if (!m_connected) {
		Q_EMIT sendFailed(QStringLiteral("disconnected"),
				  tr("Not connected to a device"));
		return;
	}
	m_tagCounter = m_tagCounter % 255 + 1;
	const QList<QByteArray> writes =
		bleEncodeRequest(message, m_writePayload, quint8(m_tagCounter));
	if (writes.isEmpty()) {
		Q_EMIT sendFailed(
			QStringLiteral("request_too_large"),
			tr("That request is too large for the device"));
		return;
	}
	m_writeQueue.append(writes);
	pumpWrites();
}

void BleTransport::pumpWrites()
{
	if (m_writing || m_writeQueue.isEmpty())
		return;
	m_writing = true;
	const QByteArray write = m_writeQueue.takeFirst();
	const QPointer<BleTransport> self(this);
	const quint64 epoch = m_epoch;
	m_writer(write, m_writeTimeoutMs, [self, epoch](const BleReply &reply) {
		if (!self || self->m_epoch != epoch)
			return;
		self->m_writing = false;
		if (reply.ok) {
			self->pumpWrites();
			return;
		}
		self->m_writeQueue.clear();
		Q_EMIT self->sendFailed(reply.code, userMessage(reply));
	});
}

void BleTransport::deliver(const QByteArray &notification)
{
	const QList<QByteArray> replies = m_assembler.feed(notification);
	for (const QByteArray &reply : replies)
		Q_EMIT message(reply);
}

BleLink::BleLink(const QString &deviceId, const QString &deviceName,
		 QObject *parent)
	: DeviceLink(parent),
	  m_deviceId(deviceId),
	  m_deviceName(deviceName),
	  m_transport(new BleTransport(this))
{
	BleBridge *bridge = BleBridge::instance();
	connect(bridge, &BleBridge::dataReceived, this,
		[this](const QByteArray &bytes) {
			if (m_linkOpen)
				m_transport->deliver(bytes);
		});
	connect(bridge, &BleBridge::disconnected, this,
		[this](const QString &reason) {
			if (m_linkOpen)
				goDown(reason.isEmpty()
					       ? tr("Bluetooth link lost")
					       : reason);
		});
	connect(bridge, &BleBridge::helperStopped, this, [this] {
		if (m_linkOpen)
			goDown(tr("The Bluetooth helper stopped"));
	});
}

BleLink::~BleLink()
{
	close();
}

void BleLink::setTimings(const Timings &timings)
{
	m_timings = timings;
	m_transport->setWriteTimeoutMs(timings.writeMs);
}

void BleLink::open()
{
	// A link already up is let go first; the helper serves one device
	// connection at a time.
	close();
	const int generation = ++m_generation;
	m_opening = true;
	const QPointer<BleLink> self(this);
	BleBridge::instance()->start([self,
				      generation](const BleReply &started) {
		if (!self || self->m_generation != generation)
			return;
		if (!started.ok) {
			self->m_opening = false;
			Q_EMIT self->failed(started.code, started.message);
			return;
		}
		BleBridge::instance()->request(
			QStringLiteral("connect"),
			{{QStringLiteral("id"), self->m_deviceId}},
			[self, generation,
			 disconnectMs = self->m_timings.disconnectMs](
				const BleReply &reply) {
				if (!self || self->m_generation != generation) {
					// Abandoned while the helper was still
					// connecting: a device it did connect
					// to is released again, unless this
					// link has gone on to a newer attempt.
					if (reply.ok &&
					    (!self || !self->m_opening))
						releaseDevice(disconnectMs);
					return;
				}
				self->m_opening = false;
				if (!reply.ok) {
					Q_EMIT self->failed(reply.code,
							    userMessage(reply));
					return;
				}
				self->m_linkOpen = true;
				self->m_transport->reset(
					true,
					reply.result
						.value(QLatin1String(
							"writePayload"))
						.toInt(kBleMinWritePayload));
				Q_EMIT self->opened(QJsonObject());
			},
			self->m_timings.connectMs);
	});
}

void BleLink::close()
{
	++m_generation;
	m_opening = false;
	if (!m_linkOpen)
		return;
	m_linkOpen = false;
	m_transport->reset(false);
	releaseDevice(m_timings.disconnectMs);
}

void BleLink::goDown(const QString &reason)
{
	m_linkOpen = false;
	m_transport->reset(false);
	Q_EMIT closed(reason);
}

} // namespace quillmarch
