#include "ble/ble_bridge.h"

#include "ble/ble_launch.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <climits>

namespace quillmarch {

namespace {

QString helperMissingText()
{
	return QObject::tr(
		"The Bluetooth helper is missing from this install. Reinstall the Quillmarch plugin.");
}

QString helperStoppedText()
{
	return QObject::tr("The Bluetooth helper stopped.");
}

} // namespace

BleReply BleReply::failure(const QString &code, const QString &message)
{
	BleReply reply;
	reply.code = code;
	reply.message = message;
	return reply;
}

BleReply BleReply::fromJson(const QJsonObject &line)
{
	BleReply reply;
	reply.ok = line.value(QLatin1String("ok")).toBool(false);
	if (reply.ok) {
		reply.result = line.value(QLatin1String("result")).toObject();
		return reply;
	}
	const QJsonObject error = line.value(QLatin1String("error")).toObject();
	reply.code = error.value(QLatin1String("code")).toString();
	if (reply.code.isEmpty())
		reply.code = QStringLiteral("ble_error");
	reply.message = error.value(QLatin1String("message")).toString();
	if (reply.message.isEmpty())
		reply.message = QObject::tr("Bluetooth error");
	return reply;
}

BleHelperLine BleHelperLine::decode(const QJsonObject &line)
{
	BleHelperLine out;
	if (line.contains(QLatin1String("ev"))) {
		const QString ev = line.value(QLatin1String("ev")).toString();
		if (ev == QLatin1String("data")) {
			out.kind = Data;
			out.data = QByteArray::fromBase64(
				line.value(QLatin1String("b64"))
					.toString()
					.toLatin1());
		} else if (ev == QLatin1String("disconnected")) {
			out.kind = Disconnected;
			out.reason =
				line.value(QLatin1String("reason")).toString();
		}
		return out;
	}
	out.kind = Reply;
	out.reqId = line.value(QLatin1String("reqId")).toInt(-1);
	out.reply = BleReply::fromJson(line);
	return out;
}

BleBridge *BleBridge::instance()
{
	// Never destroyed: the helper connection and its callbacks must not
	// be torn down behind the plug-in's back at process exit.
	static BleBridge *bridge = new BleBridge();
	return bridge;
}

BleBridge::BleBridge(QObject *parent)
	: QObject(parent),
	  m_server(new QTcpServer(this))
{
	m_launchTimer.setSingleShot(true);
	setTimings(Timings());
	connect(&m_launchTimer, &QTimer::timeout, this,
		&BleBridge::onLaunchDeadline);
	connect(m_server, &QTcpServer::newConnection, this,
		&BleBridge::onNewConnection);
}

void BleBridge::setTimings(const Timings &timings)
{
	m_timings = timings;
	m_launchTimer.setInterval(timings.launchDeadlineMs);
}

quint16 BleBridge::port() const
{
	return m_server->isListening() ? m_server->serverPort() : 0;
}

qint64 BleBridge::helperProcessId() const
{
	if (!m_process || m_process->state() == QProcess::NotRunning)
		return 0;
	return m_process->processId();
}

const QProcess *BleBridge::launcher() const
{
	return m_process;
}

void BleBridge::ensureHelper(ReadyCallback done)
{
	if (isReady()) {
		if (done)
			done(true, QString());
		return;
	}
	if (m_helperPath.isEmpty() || !QFileInfo::exists(m_helperPath)) {
		if (done)
			done(false, helperMissingText());
		return;
	}
	m_waiters.append(std::move(done));
	if (m_waiters.size() == 1)
		launchHelper();
}

void BleBridge::launchHelper()
{
	if (!m_server->isListening() &&
	    !m_server->listen(QHostAddress::LocalHost, 0)) {
		callWaiters(
			false,
			tr("Could not open a local port for the Bluetooth helper."));
		return;
	}
	// Whoever is still waiting to say hello cannot know the new token.
	dropCandidates();

	QRandomGenerator *random = QRandomGenerator::system();
	m_token = QString::number(random->generate64(), 16) +
		  QString::number(random->generate64(), 16);

	if (m_process)
		m_process->deleteLater();
	m_process = new QProcess(this);
	// The helper's diagnostics go where ours go; nothing is read from it.
	m_process->setProcessChannelMode(QProcess::ForwardedChannels);
	m_process->setStandardInputFile(QProcess::nullDevice());
	const BleLaunchCommand command =
		bleLaunchCommand(m_helperPath, m_server->serverPort(), m_token);
	m_process->start(command.program, command.arguments);
	m_launchTimer.start();
}

void BleBridge::onLaunchDeadline()
{
	dropCandidates();
	// A waiter may try again at once; that launch is not the one to kill.
	const QPointer<QProcess> late = m_process;
	callWaiters(
		false,
		tr("The Bluetooth helper did not start. Bluetooth setup is unavailable on this system."));
	if (late && late->state() != QProcess::NotRunning)
		late->kill();
}

void BleBridge::callWaiters(bool ok, const QString &error)
{
	const QList<ReadyCallback> waiters = std::exchange(m_waiters, {});
	for (const ReadyCallback &waiter : waiters)
		if (waiter)
			waiter(ok, error);
}

void BleBridge::onNewConnection()
{
	while (QTcpSocket *socket = m_server->nextPendingConnection()) {
		// One helper at a time; while none is proven, a few
		// connections may try, so a stranger that connects first
		// cannot keep the real helper out.
		if (m_socket || m_candidates.size() >= kMaxCandidates) {
			socket->abort();
			socket->deleteLater();
			continue;
		}
		Candidate candidate;
		candidate.socket = socket;
		m_candidates.append(std::move(candidate));
		connect(socket, &QTcpSocket::readyRead, this,
			[this, socket] { onCandidateData(socket); });
		connect(socket, &QTcpSocket::disconnected, this,
			[this, socket] { dropCandidate(socket); });
		if (socket->bytesAvailable() > 0)
			onCandidateData(socket);
	}
}

void BleBridge::onCandidateData(QTcpSocket *socket)
{
	const auto it = std::find_if(m_candidates.begin(), m_candidates.end(),
				     [socket](const Candidate &c) {
					     return c.socket == socket;
				     });
	if (it == m_candidates.end())
		return;
	it->lines.append(socket->readAll());
	QJsonObject hello;
	if (!it->lines.next(&hello)) {
		if (it->lines.overflowed())
			dropCandidate(socket);
		return;
	}
	// An exact, case-sensitive match of this launch's token.
	const QJsonValue given = hello.value(QLatin1String("hello"));
	if (m_token.isEmpty() || !given.isString() ||
	    given.toString() != m_token) {
		dropCandidate(socket);
		return;
	}
	Candidate proven = std::move(*it);
	m_candidates.erase(it);
	acceptHelper(std::move(proven));
}

void BleBridge::dropCandidate(QTcpSocket *socket)
{
	const auto it = std::find_if(m_candidates.begin(), m_candidates.end(),
				     [socket](const Candidate &c) {
					     return c.socket == socket;
				     });
	if (it == m_candidates.end())
		return;
	m_candidates.erase(it);
	disconnect(socket, nullptr, this, nullptr);
	socket->abort();
	socket->deleteLater();
}

void BleBridge::dropCandidates()
{
	while (!m_candidates.isEmpty())
		dropCandidate(m_candidates.first().socket);
}

void BleBridge::acceptHelper(Candidate candidate)
{
	dropCandidates();
	m_socket = candidate.socket;
	m_lines = std::move(candidate.lines);
	disconnect(m_socket, nullptr, this, nullptr);
	QTcpSocket *socket = m_socket;
	connect(socket, &QTcpSocket::readyRead, this, &BleBridge::onHelperData);
	connect(socket, &QTcpSocket::disconnected, this,
		[this, socket] { onHelperClosed(socket); });
	m_ready = true;
	m_launchTimer.stop();
	callWaiters(true, QString());
	// Lines that came in the same read as the hello.
	if (m_socket == socket)
		onHelperData();
}

void BleBridge::onHelperData()
{
	QTcpSocket *socket = m_socket;
	if (!socket)
		return;
	m_lines.append(socket->readAll());
	QJsonObject line;
	while (m_socket == socket && m_lines.next(&line))
		handleLine(line);
	if (m_socket == socket && m_lines.overflowed()) {
		// Not a helper of ours any more: nothing it says can be
		// trusted to be framed, so treat it as stopped.
		socket->abort();
		onHelperClosed(socket);
	}
}

void BleBridge::handleLine(const QJsonObject &object)
{
	const BleHelperLine line = BleHelperLine::decode(object);
	switch (line.kind) {
	case BleHelperLine::Data:
		Q_EMIT dataReceived(line.data);
		return;
	case BleHelperLine::Disconnected:
		Q_EMIT disconnected(line.reason);
		return;
	case BleHelperLine::Ignored:
		return;
	case BleHelperLine::Reply:
		break;
	}
	const auto it = m_pending.find(line.reqId);
	if (it == m_pending.end())
		return;
	const Pending pending = it.value();
	m_pending.erase(it);
	pending.timer->stop();
	pending.timer->deleteLater();
	if (pending.callback)
		pending.callback(line.reply);
}

void BleBridge::onHelperClosed(QTcpSocket *socket)
{
	if (socket != m_socket)
		return;
	disconnect(socket, nullptr, this, nullptr);
	m_socket = nullptr;
	m_ready = false;
	m_started = false;
	m_lines.clear();
	socket->deleteLater();
	failAll(QStringLiteral("bluetooth_unavailable"), helperStoppedText());
	Q_EMIT helperStopped(QStringLiteral("stopped"));
}

void BleBridge::request(const QString &op, const QJsonObject &params,
			ReplyCallback done, int timeoutMs)
{
	ensureHelper([this, op, params, done = std::move(done),
		      timeoutMs](bool ok, const QString &error) {
		if (!ok) {
			if (done)
				done(BleReply::failure(
					QStringLiteral("bluetooth_unavailable"),
					error));
			return;
		}
		send(op, params, done, timeoutMs);
	});
}

void BleBridge::send(const QString &op, const QJsonObject &params,
		     ReplyCallback done, int timeoutMs)
{
	// A waiter earlier in line may have shut the helper down.
	if (!isReady()) {
		if (done)
			done(BleReply::failure(
				QStringLiteral("bluetooth_unavailable"),
				helperStoppedText()));
		return;
	}
	const int reqId = m_nextReqId;
	m_nextReqId = m_nextReqId == INT_MAX ? 1 : m_nextReqId + 1;
	QJsonObject message = params;
	message.insert(QStringLiteral("reqId"), reqId);
	message.insert(QStringLiteral("op"), op);

	auto *timer = new QTimer(this);
	timer->setSingleShot(true);
	timer->setInterval(std::max(0, timeoutMs));
	connect(timer, &QTimer::timeout, this,
		[this, reqId] { onRequestTimeout(reqId); });
	m_pending.insert(reqId, {std::move(done), timer});
	timer->start();
	m_socket->write(QJsonDocument(message).toJson(QJsonDocument::Compact) +
			'\n');
}

void BleBridge::onRequestTimeout(int reqId)
{
	const auto it = m_pending.find(reqId);
	if (it == m_pending.end())
		return;
	const Pending pending = it.value();
	m_pending.erase(it);
	pending.timer->deleteLater();
	if (pending.callback)
		pending.callback(BleReply::failure(
			QStringLiteral("timeout"),
			tr("Bluetooth did not respond in time.")));
}

void BleBridge::failAll(const QString &code, const QString &message)
{
	const QHash<int, Pending> pending = std::exchange(m_pending, {});
	// In the order the requests were made.
	QList<int> ids = pending.keys();
	std::sort(ids.begin(), ids.end());
	for (int id : std::as_const(ids)) {
		pending.value(id).timer->stop();
		pending.value(id).timer->deleteLater();
	}
	for (int id : std::as_const(ids))
		if (pending.value(id).callback)
			pending.value(id).callback(
				BleReply::failure(code, message));
}

void BleBridge::start(ReplyCallback done)
{
	if (m_started && isReady()) {
		if (done)
			done(BleReply{true, {}, {}, {}});
		return;
	}
	// One "start" per helper: callers that come while it is on its way
	// share its answer (the helper keeps only one start waiting for the
	// adapter, so a second would leave the first unanswered).
	m_startWaiters.append(std::move(done));
	if (m_startWaiters.size() > 1)
		return;
	request(
		QStringLiteral("start"), {},
		[this](const BleReply &reply) {
			if (reply.ok && isReady())
				m_started = true;
			const QList<ReplyCallback> waiters =
				std::exchange(m_startWaiters, {});
			for (const ReplyCallback &waiter : waiters)
				if (waiter)
					waiter(reply);
		},
		kStartTimeoutMs);
}

void BleBridge::scan(int ms, ScanCallback done)
{
	start([this, ms, done = std::move(done)](const BleReply &started) {
		if (!started.ok) {
			if (done)
				done(false, {}, 0, started.code,
				     started.message);
			return;
		}
		// The helper holds a scan to 500..30000 ms; so does the wait.
		const int waitMs = kScanTimeoutBaseMs +
				   std::clamp(ms, kScanMinMs, kScanMaxMs);
		request(
			QStringLiteral("scan"), {{QStringLiteral("ms"), ms}},
			[done](const BleReply &reply) {
				if (!done)
					return;
				if (!reply.ok) {
					done(false, {}, 0, reply.code,
					     reply.message);
					return;
				}
				QList<BleDeviceInfo> devices;
				const QJsonArray list =
					reply.result
						.value(QLatin1String("devices"))
						.toArray();
				for (const QJsonValue &v : list) {
					const QJsonObject o = v.toObject();
					devices.append(
						{o.value(QLatin1String("id"))
							 .toString(),
						 o.value(QLatin1String("name"))
							 .toString(),
						 o.value(QLatin1String("rssi"))
							 .toInt(0)});
				}
				done(true, devices,
				     reply.result.value(QLatin1String("seen"))
					     .toInt(0),
				     QString(), QString());
			},
			waitMs);
	});
}

void BleBridge::shutdown()
{
	// Everything that could still call into the plug-in goes now, not
	// later: after unloading, the module's code may no longer be there
	// when the event loop gets round to a deferred deletion or a new
	// connection.
	const QHash<int, Pending> pending = std::exchange(m_pending, {});
	for (const Pending &p : pending)
		delete p.timer;
	m_server->close();
	m_waiters.clear();
	m_startWaiters.clear();
	m_launchTimer.stop();
	dropCandidates();
	if (QTcpSocket *socket = m_socket) {
		disconnect(socket, nullptr, this, nullptr);
		socket->write("{\"op\":\"quit\",\"reqId\":0}\n");
		socket->flush();
		socket->disconnectFromHost();
		socket->deleteLater();
		m_socket = nullptr;
		m_ready = false;
		m_lines.clear();
	}
	m_started = false;
}

} // namespace quillmarch
