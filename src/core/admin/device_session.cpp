#include "admin/device_session.h"

#include <QPointer>

namespace quillmarch {

namespace {

// The device's ways of saying "wrong password"; any of them moves on to the
// next candidate rather than ending the sign-in.
bool isWrongPassword(const QString &code)
{
	return code == QLatin1String("unauthorized") ||
	       code == QLatin1String("invalid_credentials") ||
	       code == QLatin1String("forbidden") ||
	       code == QLatin1String("bad_password");
}

// What to check when a device stops answering, in terms of the carrier the
// user set up.
QString stoppedAnswering(const QString &kind)
{
	if (kind == QLatin1String("lan"))
		return DeviceSession::tr(
			"The device stopped answering. Check that it is powered and on the network.");
	if (kind == QLatin1String("usb"))
		return DeviceSession::tr(
			"The device stopped answering. Check that it is powered and that its USB cable is plugged in.");
	if (kind == QLatin1String("ble"))
		return DeviceSession::tr(
			"The device stopped answering. Check that it is powered and within Bluetooth range of this computer.");
	return DeviceSession::tr(
		"The device stopped answering. Check that it is powered.");
}

} // namespace

QJsonObject ControllerChoice::toJson() const
{
	return QJsonObject{{QStringLiteral("manufacturer"), manufacturer},
			   {QStringLiteral("model"), model},
			   {QStringLiteral("sport"), sport},
			   {QStringLiteral("input_type"), inputType}};
}

DeviceSession::DeviceSession(DeviceLink *link, QObject *parent)
	: QObject(parent),
	  m_link(link),
	  m_rpc(new RpcClient(link->transport(), this))
{
	link->setParent(this);
	connect(link, &DeviceLink::opened, this, &DeviceSession::onLinkOpened);
	connect(link, &DeviceLink::closed, this, &DeviceSession::onLinkClosed);
	connect(link, &DeviceLink::envelope, this, &DeviceSession::envelope);
	connect(link, &DeviceLink::failed, this, &DeviceSession::onLinkFailed);
	connect(&m_pollTimer, &QTimer::timeout, this, &DeviceSession::pollOnce);
	setTimings(Timings());
}

DeviceSession::~DeviceSession()
{
	// Pending completions belong to callers that may be going away with
	// us; drop them instead of letting stop() fail them one by one.
	delete m_rpc;
	m_rpc = nullptr;
	m_link->disconnect(this);
	stop();
}

void DeviceSession::setTimings(const Timings &timings)
{
	m_timings = timings;
	m_pollTimer.setInterval(timings.pollMs);
}

void DeviceSession::newAttempt()
{
	++m_attempt;
	m_pollTimer.stop();
	m_pollInFlight = false;
	m_pollTimeouts = 0;
}

void DeviceSession::setState(State state, const QString &detail)
{
	m_state = state;
	Q_EMIT stateChanged(state, detail);
}

void DeviceSession::start(const QStringList &passwords)
{
	newAttempt();
	m_candidates = passwords;
	m_mustChangePassword = false;
	m_receiverOnly = false;
	m_viaReceiver = false;
	m_restarting = false;
	m_lastError.clear();

	const QPointer<DeviceSession> alive(this);
	const quint64 attempt = m_attempt;
	setState(Connecting);
	// Someone watching the state may have stopped or dropped us.
	if (alive && attempt == m_attempt)
		m_link->open();
}

void DeviceSession::manageViaReceiver(const QStringList &passwords)
{
	newAttempt();
	m_viaReceiver = true;
	m_mustChangePassword = false;
	m_receiverOnly = false;
	m_lastError.clear();
	m_candidates = passwords;

	const QPointer<DeviceSession> alive(this);
	const quint64 attempt = m_attempt;
	setState(SigningIn);
	if (alive && attempt == m_attempt)
		tryNextPassword();
}

void DeviceSession::submitPassword(const QString &password)
{
	newAttempt();
	m_candidates = QStringList{password};

	const QPointer<DeviceSession> alive(this);
	const quint64 attempt = m_attempt;
	setState(SigningIn);
	if (alive && attempt == m_attempt)
		tryNextPassword();
}

void DeviceSession::stop()
{
	newAttempt();
	// Everything is stopped before the callers hear of it: one of them
	// may start the session again, and that start must stand.
	m_link->close();
	m_knownPassword.clear();
	m_state = Idle;
	if (m_rpc)
		m_rpc->abortAll(QStringLiteral("disconnected"),
				tr("Disconnected"));
}

void DeviceSession::onLinkOpened(const QJsonObject &info)
{
	m_info = info;
	// A receiver on the cable has nothing to sign in to until the user
	// asks to manage the device paired with it.
	m_receiverOnly = info.value(QStringLiteral("receiver")).toBool() &&
			 !m_viaReceiver;
	if (m_receiverOnly) {
		setState(Ready);
		return;
	}

	// A reopened link signs in again with what worked before.
	if (!m_knownPassword.isEmpty())
		m_candidates = QStringList{m_knownPassword};
	const QPointer<DeviceSession> alive(this);
	const quint64 attempt = m_attempt;
	setState(SigningIn);
	if (alive && attempt == m_attempt)
		tryNextPassword();
}

void DeviceSession::onLinkClosed(const QString &reason)
{
	newAttempt();
	const quint64 attempt = m_attempt;
	const QPointer<DeviceSession> alive(this);
	// Callers hear about the loss before the state changes, so nobody is
	// left waiting on a dead link when the user interface reacts.
	m_rpc->abortAll(QStringLiteral("disconnected"),
			tr("The connection to the device was lost"));
	if (!alive || attempt != m_attempt)
		return;
	if (m_restarting)
		setState(Restarting);
	else if (m_state != Idle)
		setState(Lost, reason);
}

void DeviceSession::onLinkFailed(const QString &code, const QString &message)
{
	Q_UNUSED(code)
	m_lastError = message;
	setState(Error, message);
}

void DeviceSession::tryNextPassword()
{
	if (m_candidates.isEmpty()) {
		setState(NeedsPassword);
		return;
	}
	const QString candidate = m_candidates.takeFirst();
	const quint64 attempt = m_attempt;
	const int timeoutMs = m_viaReceiver ? m_timings.receiverLoginMs
					    : m_timings.callMs;
	m_rpc->call(
		QStringLiteral("login"),
		QJsonObject{{QStringLiteral("password"), candidate}},
		[this, attempt, candidate](const RpcResult &r) {
			if (attempt != m_attempt)
				return;
			if (r.ok) {
				m_knownPassword = candidate;
				afterLogin(r);
				return;
			}
			if (isWrongPassword(r.code)) {
				tryNextPassword();
				return;
			}
			if (r.code == QLatin1String("rate_limited")) {
				// More guesses would only extend the lock-out;
				// the user reads why through lastError().
				m_lastError = r.message;
				m_candidates.clear();
				tryNextPassword();
				return;
			}
			if (m_viaReceiver && r.code == QLatin1String("timeout"))
				m_lastError = tr(
					"The paired device did not answer through the receiver. Check that the device is powered, in range of the receiver and linked to it, then try again.");
			else
				m_lastError = r.message;
			setState(Error, m_lastError);
		},
		timeoutMs);
}

void DeviceSession::afterLogin(const RpcResult &result)
{
	m_mustChangePassword =
		result.result.value(QStringLiteral("must_change_password"))
			.toBool(false);
	const quint64 attempt = m_attempt;
	// The status only fills in details; a failure to read it does not
	// undo the sign-in.
	refreshStatus([this, attempt](bool, const QString &) {
		if (attempt != m_attempt)
			return;
		if (m_mustChangePassword) {
			setState(NeedsNewPassword);
			return;
		}
		startPollIfNeeded();
		setState(Ready);
	});
}

void DeviceSession::startPollIfNeeded()
{
	// Started before Ready is announced, so that a listener who stops the
	// session on Ready also stops the poll.
	if (m_link->pollsState())
		m_pollTimer.start();
}

void DeviceSession::changePassword(const QString &current, const QString &next,
				   DoneCallback done)
{
	m_rpc->call(
		QStringLiteral("changePassword"),
		QJsonObject{{QStringLiteral("current_password"), current},
			    {QStringLiteral("new_password"), next},
			    {QStringLiteral("confirm_password"), next}},
		[this, next, done](const RpcResult &r) {
			if (r.ok) {
				m_knownPassword = next;
				m_mustChangePassword = false;
				startPollIfNeeded();
				const QPointer<DeviceSession> alive(this);
				setState(Ready);
				if (!alive)
					return;
			}
			if (done)
				done(r.ok, r.ok ? QString() : r.message);
		},
		m_timings.callMs);
}

void DeviceSession::refreshStatus(DoneCallback done)
{
	m_rpc->call(
		QStringLiteral("getStatus"), QJsonObject(),
		[this, done](const RpcResult &r) {
			if (r.ok) {
				m_status = r.result;
				const QPointer<DeviceSession> alive(this);
				Q_EMIT statusUpdated();
				// Completions die with the session.
				if (!alive)
					return;
			}
			if (done)
				done(r.ok, r.ok ? QString() : r.message);
		},
		m_timings.callMs);
}

void DeviceSession::pollOnce()
{
	// User actions go first: a tick that finds the client busy is
	// skipped rather than queued behind them.
	if (m_state != Ready || m_pollInFlight || m_rpc->pending() != 0)
		return;
	m_pollInFlight = true;
	const quint64 attempt = m_attempt;
	m_rpc->call(
		QStringLiteral("getState"), QJsonObject(),
		[this, attempt](const RpcResult &r) {
			if (attempt != m_attempt)
				return;
			m_pollInFlight = false;
			if (r.ok) {
				m_pollTimeouts = 0;
				Q_EMIT envelope(r.result);
				return;
			}
			if (r.code == QLatin1String("unauthorized") &&
			    !m_knownPassword.isEmpty()) {
				// The device dropped the sign-in (or refused
				// the network token): sign in again quietly.
				m_candidates = QStringList{m_knownPassword};
				tryNextPassword();
				return;
			}
			if (r.code == QLatin1String("timeout") &&
			    ++m_pollTimeouts >= kMaxPollTimeouts) {
				// The device is gone without the carrier
				// noticing. Closing the link reports nothing,
				// so report the loss here: a session that
				// still said Ready would leave the user
				// waiting on a device that is not there.
				m_pollTimeouts = 0;
				m_pollTimer.stop();
				m_link->close();
				onLinkClosed(stoppedAnswering(m_link->kind()));
			}
		},
		m_timings.pollCallMs);
}

QString DeviceSession::deviceId() const
{
	const QString id =
		m_status.value(QStringLiteral("device_id")).toString();
	return id.isEmpty()
		       ? m_info.value(QStringLiteral("device_id")).toString()
		       : id;
}

QString DeviceSession::wifiIp() const
{
	return m_status.value(QStringLiteral("wifi_sta_ip")).toString();
}

QString DeviceSession::firmware() const
{
	const QString fw =
		m_status.value(QStringLiteral("firmware_version")).toString();
	return fw.isEmpty() ? m_info.value(QStringLiteral("fw")).toString()
			    : fw;
}

} // namespace quillmarch
