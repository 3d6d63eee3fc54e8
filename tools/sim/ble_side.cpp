#include "ble_side.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>
#include <QtEndian>

Q_LOGGING_CATEGORY(lcBle, "quillmarch.sim.ble")

namespace quillmarch::sim {

namespace {

const QString kService = QStringLiteral("6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
const QString kCommand = QStringLiteral("6E400003-B5A3-F393-E0A9-E50E24DCCA9E");
const QString kResponse =
	QStringLiteral("6E400004-B5A3-F393-E0A9-E50E24DCCA9E");
// Generic Access, which every LE device has.
const QString kGenericAccess =
	QStringLiteral("00001800-0000-1000-8000-00805F9B34FB");

// Peripheral ids are stable for a device id, as a computer's identifier
// for a device it has met stays the same.
const QUuid
	kIdNamespace(QStringLiteral("{5d0c3d6e-8f51-4a43-9f3c-6a1c0e2b7d44}"));

QString uuidId(const QString &seed)
{
	return QUuid::createUuidV5(kIdNamespace, seed)
		.toString(QUuid::WithoutBraces)
		.toUpper();
}

// A short fragment header's first byte is the total's high byte: it must
// not read as the long form (0xFF) or a whole message ("{").
constexpr int kShortTotalLimit = 0x7B00;
constexpr int kMaxNotification = 512;

} // namespace

BleSide::BleSide(DeviceModel *device, const Config &config, QObject *parent)
	: QObject(parent),
	  m_device(device),
	  m_config(config),
	  m_server(new QTcpServer(this))
{
	m_config.writePayload = qBound(20, m_config.writePayload, 244);
	m_config.notifySize = qBound(7, m_config.notifySize, kMaxNotification);
	m_config.otherAdvertisers = qMax(0, m_config.otherAdvertisers);
	if (m_config.name.isEmpty())
		m_config.name =
			QStringLiteral("Quillmarch ") + m_device->deviceId();
	connect(m_server, &QTcpServer::newConnection, this,
		&BleSide::onNewConnection);
}

BleSide::~BleSide() = default;

bool BleSide::listen(const QHostAddress &address, quint16 port, QString *error)
{
	if (m_server->listen(address, port))
		return true;
	if (error)
		*error = m_server->errorString();
	return false;
}

QString BleSide::address() const
{
	return QStringLiteral("%1:%2")
		.arg(m_server->serverAddress().toString())
		.arg(m_server->serverPort());
}

QString BleSide::peripheralId() const
{
	return uuidId(QStringLiteral("quillmarch ") + m_device->deviceId());
}

QString BleSide::otherId(int index) const
{
	return uuidId(QStringLiteral("other %1 %2")
			      .arg(index)
			      .arg(m_device->deviceId()));
}

void BleSide::onNewConnection()
{
	while (QTcpSocket *socket = m_server->nextPendingConnection()) {
		// One central at a time: a new one takes over the radio.
		if (m_central) {
			endLink();
			m_central->abort();
			m_central->deleteLater();
		}
		m_central = socket;
		m_input.clear();
		connect(socket, &QTcpSocket::readyRead, this,
			&BleSide::onReadable);
		connect(socket, &QTcpSocket::disconnected, this,
			[this, socket] {
				if (socket != m_central)
					return;
				endLink();
				socket->deleteLater();
			});
	}
}

void BleSide::onReadable()
{
	if (!m_central)
		return;
	m_input.append(m_central->readAll());
	int end;
	while ((end = m_input.indexOf('\n')) >= 0) {
		const QByteArray line = m_input.left(end);
		m_input.remove(0, end + 1);
		const QJsonDocument document = QJsonDocument::fromJson(line);
		if (document.isObject())
			handleLine(document.object());
	}
}

void BleSide::send(const QJsonObject &line)
{
	if (m_central)
		m_central->write(
			QJsonDocument(line).toJson(QJsonDocument::Compact) +
			'\n');
}

void BleSide::sendToLink(QJsonObject line)
{
	line.insert(QStringLiteral("link"), m_link);
	send(line);
}

void BleSide::handleLine(const QJsonObject &line)
{
	const QString kind = line.value(QStringLiteral("t")).toString();
	if (kind == QLatin1String("scan")) {
		if (line.value(QStringLiteral("on")).toBool())
			advertise();
		return;
	}
	if (kind == QLatin1String("connect")) {
		const QString id = line.value(QStringLiteral("id")).toString();
		const bool ours = id == peripheralId() && !m_vanished;
		bool other = false;
		for (int i = 0; i < m_config.otherAdvertisers && !other; ++i)
			other = id == otherId(i);
		if (!ours && !other)
			return; // nobody there: the attempt just waits
		endLink();
		m_link = qint64(line.value(QStringLiteral("link")).toDouble());
		m_linked = true;
		m_linkedId = id;
		Q_EMIT linkChanged(true);
		sendToLink({{QStringLiteral("t"), QStringLiteral("connected")},
			    {QStringLiteral("writeLength"),
			     m_config.writePayload}});
		return;
	}
	// Everything else belongs to the current link.
	if (!m_linked ||
	    qint64(line.value(QStringLiteral("link")).toDouble()) != m_link)
		return;
	const bool ours = m_linkedId == peripheralId();
	if (kind == QLatin1String("cancel")) {
		endLink();
	} else if (m_vanished) {
		// Out of range: nothing arrives any more.
	} else if (kind == QLatin1String("services")) {
		QJsonArray services{kGenericAccess};
		if (ours)
			services.append(kService);
		sendToLink({{QStringLiteral("t"), QStringLiteral("services")},
			    {QStringLiteral("services"), services}});
	} else if (kind == QLatin1String("characteristics")) {
		sendToLink({{QStringLiteral("t"),
			     QStringLiteral("characteristics")},
			    {QStringLiteral("characteristics"),
			     ours ? QJsonArray{kCommand, kResponse}
				  : QJsonArray()}});
	} else if (kind == QLatin1String("notify")) {
		QJsonObject answer{
			{QStringLiteral("t"), QStringLiteral("notify")}};
		if (m_config.requirePairing)
			answer.insert(QStringLiteral("error"),
				      QStringLiteral("Encryption is "
						     "insufficient."));
		else
			m_notifying = true;
		sendToLink(answer);
	} else if (kind == QLatin1String("write")) {
		const QByteArray bytes = QByteArray::fromBase64(
			line.value(QStringLiteral("b64")).toString().toLatin1());
		QJsonObject answer{
			{QStringLiteral("t"), QStringLiteral("written")}};
		if (!ours || !m_notifying) {
			answer.insert(QStringLiteral("error"),
				      ours ? QStringLiteral("Writing is not "
							    "permitted.")
					   : QStringLiteral("The attribute "
							    "does not exist."));
			sendToLink(answer);
			return;
		}
		sendToLink(answer);
		handleWrite(bytes);
	}
}

void BleSide::advertise()
{
	if (!m_vanished) {
		send({{QStringLiteral("t"), QStringLiteral("adv")},
		      {QStringLiteral("id"), peripheralId()},
		      {QStringLiteral("localName"), m_config.name},
		      {QStringLiteral("name"), m_config.name},
		      {QStringLiteral("services"),
		       m_config.advertiseService ? QJsonArray{kService}
						 : QJsonArray()}});
	}
	for (int i = 0; i < m_config.otherAdvertisers; ++i) {
		// Some neighbours have a name, some do not.
		const QString name =
			i % 2 ? QString() : QStringLiteral("Speaker %1").arg(i);
		send({{QStringLiteral("t"), QStringLiteral("adv")},
		      {QStringLiteral("id"), otherId(i)},
		      {QStringLiteral("localName"), name},
		      {QStringLiteral("name"), name},
		      {QStringLiteral("services"), QJsonArray()}});
	}
}

void BleSide::handleWrite(const QByteArray &bytes)
{
	QByteArray message;
	if (bytes.startsWith('{')) {
		message = bytes;
	} else if (bytes.size() >= 6 && quint8(bytes.at(0)) == 0xFF) {
		const uchar *header =
			reinterpret_cast<const uchar *>(bytes.constData());
		const int tag = header[1];
		const int total = qFromBigEndian<quint16>(header + 2);
		const int index = qFromBigEndian<quint16>(header + 4);
		if (index == 0) {
			m_chunks.clear();
			m_chunkTotal = total;
			m_chunkTag = tag;
			m_nextChunk = 0;
		}
		if (total == 0 || index != m_nextChunk || tag != m_chunkTag ||
		    total != m_chunkTotal) {
			// A lost chunk spoils the whole request; the plug-in's
			// own time-out deals with the missing answer.
			m_chunks.clear();
			m_chunkTotal = 0;
			m_nextChunk = 0;
			m_chunkTag = -1;
			return;
		}
		m_chunks.append(bytes.mid(6));
		++m_nextChunk;
		if (m_chunks.size() < m_chunkTotal)
			return;
		message = m_chunks.left(m_chunkTotal);
		m_chunks.clear();
		m_chunkTotal = 0;
		m_nextChunk = 0;
		m_chunkTag = -1;
	} else {
		qCWarning(lcBle) << "ignored a write that is no request:"
				 << bytes.left(16).toHex();
		return;
	}
	Q_EMIT requestReceived(message);
	const quint64 generation = m_replyGeneration;
	m_device->handleMessage(
		m_session, message,
		[this, generation](const QJsonObject &reply) {
			if (generation == m_replyGeneration && m_linked &&
			    !m_vanished)
				sendReply(QJsonDocument(reply).toJson(
					QJsonDocument::Compact));
		});
}

QByteArray BleSide::fragment(const QByteArray &reply, int index, int offset,
			     bool longHeader, int *taken) const
{
	QByteArray out;
	const int total = int(reply.size());
	if (longHeader) {
		out.append(char(0xFF));
		out.append(char(0x00));
		out.append(char(total >> 8));
		out.append(char(total & 0xFF));
		out.append(char(index >> 8));
		out.append(char(index & 0xFF));
	} else {
		out.append(char(total >> 8));
		out.append(char(total & 0xFF));
		out.append(char(index));
	}
	*taken = qMin(m_config.notifySize - int(out.size()), total - offset);
	out.append(reply.mid(offset, *taken));
	return out;
}

void BleSide::sendReply(const QByteArray &reply)
{
	using Fragments = Config::Fragments;
	const int form = m_replies++;
	QList<QByteArray> notifications;
	const bool fits = reply.size() <= m_config.notifySize;
	if (m_config.fragments == Fragments::Whole ||
	    (m_config.fragments == Fragments::Mixed && fits && form % 2 == 0) ||
	    reply.size() > 0xFFFF) {
		notifications.append(reply);
	} else {
		// The short form numbers fragments in one byte and cannot
		// carry every total: big replies go out in the long form.
		const int shortData = m_config.notifySize - 3;
		const bool shortFits =
			reply.size() < kShortTotalLimit &&
			(reply.size() + shortData - 1) / shortData <= 256;
		int offset = 0;
		for (int index = 0; offset < reply.size(); ++index) {
			bool longHeader = m_config.fragments == Fragments::Long;
			if (m_config.fragments == Fragments::Mixed)
				longHeader = index % 2 == 1;
			if (!shortFits)
				longHeader = true;
			int taken = 0;
			notifications.append(fragment(reply, index, offset,
						      longHeader, &taken));
			offset += taken;
		}
	}
	for (const QByteArray &value : notifications)
		sendToLink({{QStringLiteral("t"), QStringLiteral("value")},
			    {QStringLiteral("b64"),
			     QString::fromLatin1(value.toBase64())}});
}

void BleSide::endLink()
{
	if (!m_linked)
		return;
	m_linked = false;
	m_linkedId.clear();
	m_notifying = false;
	m_session = DeviceModel::Session();
	++m_replyGeneration;
	m_chunks.clear();
	m_chunkTotal = 0;
	m_nextChunk = 0;
	m_chunkTag = -1;
	Q_EMIT linkChanged(false);
}

void BleSide::dropLink(const QString &reason)
{
	if (!m_linked)
		return;
	sendToLink({{QStringLiteral("t"), QStringLiteral("disconnected")},
		    {QStringLiteral("reason"), reason}});
	endLink();
}

void BleSide::vanish()
{
	if (m_vanished)
		return;
	m_vanished = true;
	if (!m_linked)
		return;
	const qint64 link = m_link;
	QTimer::singleShot(kVanishDropMs, this, [this, link] {
		if (m_linked && m_link == link)
			dropLink(QStringLiteral(
				"The connection has timed out unexpectedly."));
	});
}

} // namespace quillmarch::sim
