#include "sim_central.h"

#include "line_io.h"

#include <QJsonArray>
#include <QTimer>

namespace quillmarch::ble {

namespace {

QStringList strings(const QJsonValue &value)
{
	QStringList out;
	for (const QJsonValue &item : value.toArray())
		out.append(item.toString());
	return out;
}

CentralError errorOf(const QJsonObject &line)
{
	const QJsonValue error = line.value(QStringLiteral("error"));
	return error.isUndefined() ? CentralError::none()
				   : CentralError::of(error.toString());
}

} // namespace

Central *createCentral(QObject *parent)
{
	return new SimCentral(qEnvironmentVariable("QUILLMARCH_BLE_SIM"),
			      parent);
}

SimCentral::SimCentral(const QString &radio, QObject *parent) : Central(parent)
{
	if (radio.isEmpty()) {
		m_state = State::PoweredOn;
		return;
	}
	const int colon = radio.lastIndexOf(QLatin1Char(':'));
	connect(&m_radio, &QTcpSocket::connected, this,
		[this] { setState(State::PoweredOn); });
	connect(&m_radio, &QTcpSocket::readyRead, this, [this] {
		for (const QJsonObject &line : m_reader.feed(m_radio.readAll()))
			onLine(line);
	});
	// The radio went away: as if the adapter were pulled out.
	connect(&m_radio, &QAbstractSocket::errorOccurred, this, [this] {
		linkLost(QStringLiteral("The Bluetooth adapter went away."));
		setState(State::NoAdapter);
	});
	m_radio.connectToHost(radio.left(colon),
			      quint16(radio.mid(colon + 1).toUInt()));
}

void SimCentral::setState(State state)
{
	if (state == m_state)
		return;
	m_state = state;
	Q_EMIT stateChanged(state);
}

void SimCentral::send(const QString &kind, QJsonObject line)
{
	if (m_radio.state() != QAbstractSocket::ConnectedState)
		return;
	line.insert(QStringLiteral("t"), kind);
	m_radio.write(encodeLine(line));
}

void SimCentral::startScan()
{
	m_scanning = true;
	send(QStringLiteral("scan"), {{QStringLiteral("on"), true}});
}

void SimCentral::stopScan()
{
	m_scanning = false;
	send(QStringLiteral("scan"), {{QStringLiteral("on"), false}});
}

QString SimCentral::peripheralName(const QString &id) const
{
	return m_names.value(id);
}

bool SimCentral::canRetrieve(const QString &id) const
{
	return m_names.contains(id);
}

void SimCentral::connectPeripheral(const QString &id)
{
	static qint64 links = 0;
	m_linkId = id;
	m_link = ++links;
	m_writeLength = 20;
	send(QStringLiteral("connect"),
	     {{QStringLiteral("id"), id}, {QStringLiteral("link"), m_link}});
}

void SimCentral::discoverServices(const QString &id, const QString &)
{
	if (id == m_linkId)
		send(QStringLiteral("services"),
		     {{QStringLiteral("link"), m_link}});
}

void SimCentral::discoverCharacteristics(const QString &id, const QString &,
					 const QStringList &)
{
	if (id == m_linkId)
		send(QStringLiteral("characteristics"),
		     {{QStringLiteral("link"), m_link}});
}

void SimCentral::enableNotifications(const QString &id, const QString &)
{
	if (id == m_linkId)
		send(QStringLiteral("notify"),
		     {{QStringLiteral("link"), m_link}});
}

int SimCentral::maximumWriteLength(const QString &) const
{
	return m_writeLength;
}

void SimCentral::writeWithResponse(const QString &id, const QString &,
				   const QByteArray &value)
{
	if (id == m_linkId)
		send(QStringLiteral("write"),
		     {{QStringLiteral("link"), m_link},
		      {QStringLiteral("b64"),
		       QString::fromLatin1(value.toBase64())}});
}

void SimCentral::cancelConnection(const QString &id)
{
	if (id != m_linkId)
		return;
	send(QStringLiteral("cancel"), {{QStringLiteral("link"), m_link}});
	m_linkId.clear();
	m_link = 0;
}

void SimCentral::linkLost(const QString &reason)
{
	if (m_linkId.isEmpty())
		return;
	const QString id = m_linkId;
	m_linkId.clear();
	m_link = 0;
	Q_EMIT disconnected(id, CentralError::of(reason));
}

void SimCentral::onLine(const QJsonObject &line)
{
	const QString kind = line.value(QStringLiteral("t")).toString();
	if (kind == QLatin1String("adv")) {
		Advertisement heard;
		heard.id = line.value(QStringLiteral("id")).toString();
		heard.localName =
			line.value(QStringLiteral("localName")).toString();
		heard.name = line.value(QStringLiteral("name")).toString();
		heard.services =
			strings(line.value(QStringLiteral("services")));
		m_names.insert(heard.id, heard.name);
		if (m_scanning)
			Q_EMIT advertised(heard);
		return;
	}
	// The rest belongs to a link; those of an abandoned one are dropped.
	if (m_link == 0 ||
	    qint64(line.value(QStringLiteral("link")).toDouble()) != m_link)
		return;
	const QString id = m_linkId;
	const CentralError error = errorOf(line);
	if (kind == QLatin1String("connected")) {
		m_writeLength =
			line.value(QStringLiteral("writeLength")).toInt(20);
		Q_EMIT connected(id);
	} else if (kind == QLatin1String("services")) {
		Q_EMIT servicesDiscovered(
			id, strings(line.value(QStringLiteral("services"))),
			error);
	} else if (kind == QLatin1String("characteristics")) {
		Q_EMIT characteristicsDiscovered(
			id,
			strings(line.value(QStringLiteral("characteristics"))),
			error);
	} else if (kind == QLatin1String("notify")) {
		Q_EMIT notificationsChanged(id, kResponseUuid, error);
	} else if (kind == QLatin1String("written")) {
		Q_EMIT writeConfirmed(id, kCommandUuid, error);
	} else if (kind == QLatin1String("value")) {
		Q_EMIT valueUpdated(
			id, kResponseUuid,
			QByteArray::fromBase64(line.value(QStringLiteral("b64"))
						       .toString()
						       .toLatin1()),
			CentralError::none());
	} else if (kind == QLatin1String("disconnected")) {
		linkLost(line.value(QStringLiteral("reason")).toString());
	}
}

} // namespace quillmarch::ble
