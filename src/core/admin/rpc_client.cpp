#include "admin/rpc_client.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonValue>

#include <climits>
#include <cmath>

namespace quillmarch {

namespace {

RpcResult failure(const QString &code, const QString &message)
{
	RpcResult r;
	r.code = code;
	r.message = message;
	return r;
}

// The reply's id as an int, or -1 when it is missing, not a number or not a
// whole number in range, so that it never matches a request.
int replyId(const QJsonValue &value)
{
	if (!value.isDouble())
		return -1;
	const double d = value.toDouble();
	if (d != std::floor(d) || d < 1 || d > INT_MAX)
		return -1;
	return static_cast<int>(d);
}

// Objects are results as they are; any other value is wrapped so that the
// caller always gets an object.
QJsonObject resultObject(const QJsonValue &value)
{
	if (value.isObject())
		return value.toObject();
	if (value.isUndefined())
		return QJsonObject();
	return QJsonObject{{QStringLiteral("value"), value}};
}

} // namespace

RpcClient::RpcClient(RpcTransport *transport, QObject *parent)
	: QObject(parent),
	  m_transport(transport)
{
	m_timer.setSingleShot(true);
	m_retryTimer.setSingleShot(true);
	m_retryTimer.setInterval(kDefaultBusyRetryDelayMs);
	connect(&m_timer, &QTimer::timeout, this, &RpcClient::onTimeout);
	// One timer rather than a single shot per retry: a retry that was sent
	// early by a new call must not let its stale timer cut a later wait
	// short.
	connect(&m_retryTimer, &QTimer::timeout, this, &RpcClient::pump);
	if (transport) {
		connect(transport, &RpcTransport::message, this,
			&RpcClient::onMessage);
		connect(transport, &RpcTransport::sendFailed, this,
			&RpcClient::onSendFailed);
	}
}

// Nothing to do beyond dropping the members: pending callbacks are
// discarded, never called, because the owner is going away.
RpcClient::~RpcClient() = default;

void RpcClient::call(const QString &method, const QJsonObject &params,
		     Callback done, int timeoutMs)
{
	Job job;
	job.method = method;
	job.params = params;
	job.done = std::move(done);
	job.timeoutMs = timeoutMs;
	m_queue.push_back(std::move(job));
	pump();
}

void RpcClient::abortAll(const QString &code, const QString &message)
{
	const RpcResult result = failure(code, message);
	std::deque<Job> aborted;
	aborted.swap(m_queue);
	m_retryTimer.stop();

	const QPointer<RpcClient> alive(this);
	if (m_inFlight) {
		finish(result);
		if (!alive)
			return;
	}
	for (Job &job : aborted) {
		if (!job.done)
			continue;
		job.done(result);
		// A callback that destroyed the client also drops the rest.
		if (!alive)
			return;
	}
}

int RpcClient::pending() const
{
	return static_cast<int>(m_queue.size()) + (m_inFlight ? 1 : 0);
}

void RpcClient::setBusyRetryDelay(int ms)
{
	m_retryTimer.setInterval(qMax(0, ms));
}

void RpcClient::setNextIdForTest(int id)
{
	m_nextId = qMax(1, id);
}

void RpcClient::pump()
{
	const QPointer<RpcClient> alive(this);
	while (!m_inFlight && !m_queue.empty()) {
		if (m_transport && m_transport->isOpen())
			break;
		Job job = std::move(m_queue.front());
		m_queue.pop_front();
		if (job.done) {
			job.done(failure(QStringLiteral("disconnected"),
					 QCoreApplication::translate(
						 "RpcClient",
						 "Not connected to a device")));
			if (!alive)
				return;
		}
	}
	if (m_inFlight || m_queue.empty())
		return;

	m_current = std::move(m_queue.front());
	m_queue.pop_front();
	m_inFlight = true;
	m_currentId = m_nextId;
	m_nextId = m_nextId == INT_MAX ? 1 : m_nextId + 1;

	const QJsonObject request{{QStringLiteral("id"), m_currentId},
				  {QStringLiteral("method"), m_current.method},
				  {QStringLiteral("params"), m_current.params}};
	// Everything above is in place before send(): a transport may answer,
	// or fail, from inside it, and that answer must find this request.
	m_timer.start(qMax(0, m_current.timeoutMs));
	m_transport->send(
		QJsonDocument(request).toJson(QJsonDocument::Compact));
	// The client may have finished this request, sent another or been
	// destroyed by now: touch nothing.
}

void RpcClient::onMessage(const QByteArray &json)
{
	if (!m_inFlight)
		return;
	QJsonParseError error;
	const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
	if (error.error != QJsonParseError::NoError || !doc.isObject())
		return;
	const QJsonObject reply = doc.object();
	// Late answers to timed-out requests carry an older id; their call has
	// already ended, and the time-out of the current one keeps running.
	if (replyId(reply.value(QStringLiteral("id"))) != m_currentId)
		return;

	if (reply.value(QStringLiteral("ok")).toBool(false)) {
		RpcResult result;
		result.ok = true;
		result.result =
			resultObject(reply.value(QStringLiteral("result")));
		finish(result);
		return;
	}

	const QJsonObject err = reply.value(QStringLiteral("error")).toObject();
	QString code = err.value(QStringLiteral("code")).toString();
	if (code.isEmpty())
		code = QStringLiteral("device_error");
	QString message = err.value(QStringLiteral("message")).toString();
	if (message.isEmpty())
		message = QCoreApplication::translate(
				  "RpcClient", "The device rejected '%1'")
				  .arg(m_current.method);

	if (code == QLatin1String("busy") &&
	    m_current.busyRetries < kMaxBusyRetries) {
		// The device is working on something else; give it a moment
		// and send the same call again, ahead of everything queued.
		m_timer.stop();
		m_inFlight = false;
		Job job = std::move(m_current);
		m_current = Job();
		++job.busyRetries;
		m_queue.push_front(std::move(job));
		m_retryTimer.start();
		return;
	}
	finish(failure(code, message));
}

void RpcClient::onSendFailed(const QString &code, const QString &text)
{
	if (m_inFlight)
		finish(failure(code, text));
}

void RpcClient::onTimeout()
{
	if (!m_inFlight)
		return;
	finish(failure(QStringLiteral("timeout"),
		       QCoreApplication::translate(
			       "RpcClient",
			       "The device did not answer '%1' in time")
			       .arg(m_current.method)));
}

void RpcClient::finish(const RpcResult &result)
{
	m_timer.stop();
	m_inFlight = false;
	const Callback done = std::move(m_current.done);
	m_current = Job();

	if (done) {
		const QPointer<RpcClient> alive(this);
		done(result);
		if (!alive)
			return;
	}
	pump();
}

} // namespace quillmarch
