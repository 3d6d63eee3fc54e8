#include "bridge.h"

#include <QJsonArray>
#include <QTimer>

namespace quillmarch::ble {

namespace {

const QString kNotReady = QStringLiteral("Bluetooth is not ready.");
const QString kNoAdapter =
	QStringLiteral("No usable Bluetooth adapter was found.");
const QString kCouldNotConnect =
	QStringLiteral("Could not connect to the device.");
const QString kNotQuillmarch =
	QStringLiteral("The device did not expose the Quillmarch service.");
const QString kDeviceDisconnected = QStringLiteral("The device disconnected.");

bool containsUuid(const QStringList &list, const QString &uuid)
{
	return list.contains(uuid, Qt::CaseInsensitive);
}

QJsonObject errorObject(const QString &code, const QString &message)
{
	return QJsonObject{{QStringLiteral("code"), code},
			   {QStringLiteral("message"), message}};
}

} // namespace

QString classify(const CentralError &error)
{
	const QString text = error.description.toLower();
	for (const char *phrase : {"authentication", "encryption", "pair",
				   "insufficient", "not permitted"}) {
		if (text.contains(QLatin1String(phrase)))
			return QStringLiteral("not_paired");
	}
	return QStringLiteral("ble_error");
}

Bridge::Bridge(CentralFactory makeCentral, Send send, const Timings &timings,
	       QObject *parent)
	: QObject(parent),
	  m_makeCentral(std::move(makeCentral)),
	  m_send(std::move(send)),
	  m_timings(timings)
{
}

void Bridge::handle(const QJsonObject &request)
{
	const QString op = request.value(QStringLiteral("op")).toString();
	const QJsonValue reqId = request.value(QStringLiteral("reqId"));
	if (op == QLatin1String("start"))
		start(reqId);
	else if (op == QLatin1String("scan"))
		scan(reqId,
		     int(qBound(double(m_timings.scanMinMs),
				request.value(QStringLiteral("ms")).toDouble(),
				double(m_timings.scanMaxMs))));
	else if (op == QLatin1String("connect"))
		connectTo(reqId,
			  request.value(QStringLiteral("id")).toString());
	else if (op == QLatin1String("write"))
		write(reqId, request.value(QStringLiteral("b64")));
	else if (op == QLatin1String("disconnect"))
		disconnectActive(reqId);
	else if (op == QLatin1String("quit"))
		Q_EMIT quitRequested();
	else
		replyError(reqId, QStringLiteral("unknown_op"),
			   QStringLiteral("unknown request"));
}

void Bridge::reply(const QJsonValue &reqId, const QJsonObject &result)
{
	if (reqId.isUndefined())
		return;
	m_send(QJsonObject{{QStringLiteral("reqId"), reqId},
			   {QStringLiteral("ok"), true},
			   {QStringLiteral("result"), result}});
}

void Bridge::replyError(const QJsonValue &reqId, const QString &code,
			const QString &message)
{
	if (reqId.isUndefined())
		return;
	m_send(QJsonObject{{QStringLiteral("reqId"), reqId},
			   {QStringLiteral("ok"), false},
			   {QStringLiteral("error"),
			    errorObject(code, message)}});
}

bool Bridge::isActive(const QString &id) const
{
	return !m_active.isEmpty() && id == m_active;
}

// --- start ---------------------------------------------------------------

void Bridge::start(const QJsonValue &reqId)
{
	if (!m_central) {
		m_central = m_makeCentral(this);
		connect(m_central, &Central::stateChanged, this,
			&Bridge::onStateChanged);
		connect(m_central, &Central::advertised, this,
			&Bridge::onAdvertised);
		connect(m_central, &Central::connected, this,
			&Bridge::onConnected);
		connect(m_central, &Central::connectFailed, this,
			&Bridge::onConnectFailed);
		connect(m_central, &Central::servicesDiscovered, this,
			&Bridge::onServicesDiscovered);
		connect(m_central, &Central::characteristicsDiscovered, this,
			&Bridge::onCharacteristicsDiscovered);
		connect(m_central, &Central::notificationsChanged, this,
			&Bridge::onNotificationsChanged);
		connect(m_central, &Central::writeConfirmed, this,
			&Bridge::onWriteConfirmed);
		connect(m_central, &Central::valueUpdated, this,
			&Bridge::onValueUpdated);
		connect(m_central, &Central::disconnected, this,
			&Bridge::onDisconnected);
	}
	// A stack that already knows its state answers now; one that is
	// still finding out (or resetting) keeps the request until it
	// reports, for at most the start time-out.
	if (answerStart(reqId))
		return;
	m_startWaiting.append(reqId);
	if (m_startWaiting.size() > 1)
		return; // the first one's time limit covers it
	const quint64 serial = ++m_startSerial;
	QTimer::singleShot(m_timings.startTimeoutMs, this, [this, serial] {
		if (serial != m_startSerial)
			return;
		const QList<QJsonValue> waiting = m_startWaiting;
		m_startWaiting.clear();
		for (const QJsonValue &id : waiting)
			replyError(id, QStringLiteral("bluetooth_unavailable"),
				   kNoAdapter);
	});
}

bool Bridge::answerStart(const QJsonValue &reqId)
{
	const QString unavailable = QStringLiteral("bluetooth_unavailable");
	switch (m_central->state()) {
	case Central::State::PoweredOn:
		reply(reqId, {});
		return true;
	case Central::State::NoAdapter:
		replyError(reqId, unavailable, kNoAdapter);
		return true;
	case Central::State::Unsupported:
		replyError(reqId, unavailable,
			   QStringLiteral("This computer does not support "
					  "Bluetooth LE."));
		return true;
	case Central::State::Unauthorized:
		replyError(reqId, QStringLiteral("permission_denied"),
			   QStringLiteral("Bluetooth access was denied. Allow "
					  "it for Quillmarch Bluetooth Helper "
					  "in Privacy & Security."));
		return true;
	case Central::State::PoweredOff:
		replyError(reqId, unavailable,
			   QStringLiteral("Bluetooth is turned off. Turn it on "
					  "and try again."));
		return true;
	case Central::State::Unknown:
	case Central::State::Resetting:
		break;
	}
	return false;
}

void Bridge::onStateChanged(Central::State)
{
	if (m_startWaiting.isEmpty() || !answerStart(m_startWaiting.first()))
		return;
	const QList<QJsonValue> rest = m_startWaiting.mid(1);
	m_startWaiting.clear();
	++m_startSerial; // its time limit is moot now
	for (const QJsonValue &id : rest)
		answerStart(id);
}

// --- scan ----------------------------------------------------------------

void Bridge::scan(const QJsonValue &reqId, int ms)
{
	if (!m_central || m_central->state() != Central::State::PoweredOn) {
		replyError(reqId, QStringLiteral("bluetooth_unavailable"),
			   kNotReady);
		return;
	}
	// A scan asked for while one runs ends that one first, so every
	// scan request gets its answer.
	finishScan();
	m_peripherals.clear();
	m_seenAll.clear();
	m_scanReq = reqId;
	m_scanning = true;
	m_central->startScan();
	const quint64 serial = ++m_scanSerial;
	QTimer::singleShot(ms, this, [this, serial] {
		if (serial == m_scanSerial)
			finishScan();
	});
}

void Bridge::onAdvertised(const Advertisement &advertisement)
{
	if (!m_scanning || advertisement.id.isEmpty())
		return;
	m_seenAll.insert(advertisement.id);
	const QString name = advertisement.localName.isEmpty()
				     ? advertisement.name
				     : advertisement.localName;
	if (containsUuid(advertisement.services, kServiceUuid) ||
	    name.startsWith(QLatin1String("Quillmarch")))
		m_peripherals.insert(advertisement.id, name);
}

void Bridge::finishScan()
{
	if (!m_scanning)
		return;
	m_scanning = false;
	m_central->stopScan();
	QJsonArray devices;
	for (auto it = m_peripherals.cbegin(); it != m_peripherals.cend();
	     ++it) {
		const QString name = m_central->peripheralName(it.key());
		devices.append(QJsonObject{{QStringLiteral("id"), it.key()},
					   {QStringLiteral("name"),
					    name.isEmpty() ? it.key() : name},
					   {QStringLiteral("rssi"), 0}});
	}
	const QJsonValue reqId = m_scanReq.value_or(QJsonValue::Undefined);
	m_scanReq.reset();
	reply(reqId, {{QStringLiteral("devices"), devices},
		      {QStringLiteral("seen"), int(m_seenAll.size())}});
}

// --- connect -------------------------------------------------------------

void Bridge::connectTo(const QJsonValue &reqId, const QString &id)
{
	if (!m_peripherals.contains(id)) {
		if (id.isEmpty() || !m_central || !m_central->canRetrieve(id)) {
			replyError(reqId, QStringLiteral("not_found"),
				   QStringLiteral(
					   "That device is not in range. "
					   "Scan again and pick it from "
					   "the list."));
			return;
		}
		m_peripherals.insert(id, QString());
	}
	if (!m_active.isEmpty()) {
		m_central->cancelConnection(m_active);
		dropActive();
	}
	m_connectReq = reqId;
	m_command = m_response = false;
	m_active = id;
	m_central->connectPeripheral(id);
	const quint64 serial = ++m_connectSerial;
	QTimer::singleShot(m_timings.connectTimeoutMs, this, [this, serial] {
		// The attempt is called off with the answer: a link that came
		// up later would be one the plug-in does not know about.
		if (serial == m_connectSerial)
			failConnect(QStringLiteral("connect_timeout"),
				    QStringLiteral("Could not connect to the "
						   "device (timed out)."));
	});
}

void Bridge::failConnect(const QString &code, const QString &message)
{
	if (!m_connectReq)
		return;
	const QJsonValue reqId = *m_connectReq;
	m_connectReq.reset();
	replyError(reqId, code, message);
	// Let go of the device at once: its late disconnection report must
	// neither produce an event nor hit a new attempt on the same device.
	if (!m_active.isEmpty()) {
		m_central->cancelConnection(m_active);
		dropActive();
	}
}

void Bridge::dropActive()
{
	m_active.clear();
	m_command = m_response = false;
	// A write in flight is never confirmed once the link is gone.
	if (m_writeReq) {
		const QJsonValue reqId = *m_writeReq;
		m_writeReq.reset();
		replyError(reqId, QStringLiteral("disconnected"),
			   kDeviceDisconnected);
	}
}

void Bridge::onConnected(const QString &id)
{
	if (isActive(id))
		m_central->discoverServices(id, kServiceUuid);
}

void Bridge::onConnectFailed(const QString &id, const CentralError &error)
{
	if (!isActive(id))
		return;
	failConnect(QStringLiteral("ble_error"), error.description.isEmpty()
							 ? kCouldNotConnect
							 : error.description);
}

void Bridge::onServicesDiscovered(const QString &id,
				  const QStringList &services,
				  const CentralError &error)
{
	if (!isActive(id))
		return;
	if (error || !containsUuid(services, kServiceUuid)) {
		failConnect(QStringLiteral("not_quillmarch"), kNotQuillmarch);
		return;
	}
	m_central->discoverCharacteristics(id, kServiceUuid,
					   {kCommandUuid, kResponseUuid});
}

void Bridge::onCharacteristicsDiscovered(const QString &id,
					 const QStringList &characteristics,
					 const CentralError &error)
{
	if (!isActive(id))
		return;
	m_command = containsUuid(characteristics, kCommandUuid);
	m_response = containsUuid(characteristics, kResponseUuid);
	if (!error && m_command && m_response)
		m_central->enableNotifications(id, kResponseUuid);
	else
		failConnect(QStringLiteral("not_quillmarch"), kNotQuillmarch);
}

void Bridge::onNotificationsChanged(const QString &id,
				    const QString &characteristic,
				    const CentralError &error)
{
	if (!isActive(id) || !m_connectReq ||
	    characteristic.compare(kResponseUuid, Qt::CaseInsensitive) != 0)
		return;
	if (error) {
		failConnect(classify(error), error.description.isEmpty()
						     ? kCouldNotConnect
						     : error.description);
		return;
	}
	const int payload = qBound(20, m_central->maximumWriteLength(id), 244);
	const QJsonValue reqId = *m_connectReq;
	m_connectReq.reset();
	reply(reqId, {{QStringLiteral("writePayload"), payload},
		      {QStringLiteral("pipe"), false}});
}

void Bridge::onDisconnected(const QString &id, const CentralError &error)
{
	if (!isActive(id))
		return;
	dropActive();
	failConnect(QStringLiteral("disconnected"), kDeviceDisconnected);
	m_send(QJsonObject{{QStringLiteral("ev"),
			    QStringLiteral("disconnected")},
			   {QStringLiteral("reason"), error.description}});
}

// --- data ----------------------------------------------------------------

void Bridge::write(const QJsonValue &reqId, const QJsonValue &b64)
{
	if (m_active.isEmpty() || !m_command) {
		replyError(reqId, QStringLiteral("disconnected"),
			   QStringLiteral("Not connected"));
		return;
	}
	const auto decoded = QByteArray::fromBase64Encoding(
		b64.toString().toLatin1(),
		QByteArray::Base64Encoding |
			QByteArray::AbortOnBase64DecodingErrors);
	if (!decoded || (!b64.isUndefined() && !b64.isString())) {
		replyError(reqId, QStringLiteral("bad_request"),
			   QStringLiteral("invalid data"));
		return;
	}
	m_writeReq = reqId;
	m_central->writeWithResponse(m_active, kCommandUuid, *decoded);
}

void Bridge::onWriteConfirmed(const QString &id, const QString &,
			      const CentralError &error)
{
	if (!isActive(id) || !m_writeReq)
		return;
	const QJsonValue reqId = *m_writeReq;
	m_writeReq.reset();
	if (error)
		replyError(reqId, classify(error), error.description);
	else
		reply(reqId, {});
}

void Bridge::onValueUpdated(const QString &id, const QString &characteristic,
			    const QByteArray &value, const CentralError &error)
{
	if (!isActive(id) || error || value.isEmpty() ||
	    characteristic.compare(kResponseUuid, Qt::CaseInsensitive) != 0)
		return;
	m_send(QJsonObject{{QStringLiteral("ev"), QStringLiteral("data")},
			   {QStringLiteral("b64"),
			    QString::fromLatin1(value.toBase64())}});
}

void Bridge::disconnectActive(const QJsonValue &reqId)
{
	if (!m_active.isEmpty()) {
		m_central->cancelConnection(m_active);
		dropActive();
	}
	reply(reqId, {});
}

} // namespace quillmarch::ble
