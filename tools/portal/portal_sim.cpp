#include "portal_sim.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QRandomGenerator>

#include <cstdio>
#include <utility>

namespace quillmarch::portalsim {

namespace {

// The log keeps the newest requests; a demo may run for days.
constexpr int kMaxLoggedRequests = 2000;

bool matchesGlob(const QString &pattern, const QString &text)
{
	QStringList parts = pattern.split(QLatin1Char('*'));
	for (QString &part : parts)
		part = QRegularExpression::escape(part);
	const QRegularExpression re(QLatin1Char('^') +
				    parts.join(QStringLiteral(".*")) +
				    QLatin1Char('$'));
	return re.match(text).hasMatch();
}

QJsonObject requestToJson(const HttpRequest &r)
{
	QJsonObject headers;
	for (const HttpHeader &h : r.headers)
		headers.insert(QString::fromLatin1(h.first.toLower()),
			       QString::fromLatin1(h.second));
	return QJsonObject{
		{QStringLiteral("method"), QString::fromLatin1(r.method)},
		{QStringLiteral("target"), QString::fromLatin1(r.target)},
		{QStringLiteral("headers"), headers},
		{QStringLiteral("body"), QString::fromUtf8(r.body)},
	};
}

} // namespace

bool FaultRule::fromJson(const QJsonObject &fields, FaultRule *out,
			 QString *error)
{
	FaultRule rule;
	rule.method = fields.value(QLatin1String("method"))
			      .toString()
			      .toUpper()
			      .toLatin1();
	rule.path = fields.value(QLatin1String("path")).toString();
	rule.count = fields.value(QLatin1String("count")).toInt(1);
	const int status = fields.value(QLatin1String("status")).toInt(500);
	const QString code = fields.value(QLatin1String("code")).toString();
	const QString detail = fields.value(QLatin1String("detail")).toString();
	if (!rule.path.startsWith(QLatin1Char('/')) || rule.count < 0 ||
	    status < 100 || status > 599) {
		*error = QStringLiteral("a failure needs a path starting with "
					"\"/\", a status from 100 to 599 and a "
					"count of 0 or more");
		return false;
	}
	if (fields.contains(QLatin1String("body")))
		rule.reply = HttpReply::text(
			status,
			fields.value(QLatin1String("body")).toString().toUtf8(),
			fields.value(QLatin1String("type"))
				.toString(QStringLiteral("text/html"))
				.toLatin1());
	else if (!detail.isEmpty())
		rule.reply = messageReply(status, detail, code);
	else if (!code.isEmpty())
		rule.reply = errorReply(status, code);
	else
		rule.reply =
			HttpReply::text(status, QByteArray(), QByteArray());
	const QString action = fields.value(QLatin1String("action")).toString();
	if (action == QLatin1String("drop"))
		rule.reply.action = HttpReply::Action::Drop;
	else if (action == QLatin1String("stall"))
		rule.reply.action = HttpReply::Action::Stall;
	else if (action == QLatin1String("cut"))
		rule.reply.action = HttpReply::Action::Cut;
	else if (!action.isEmpty() && action != QLatin1String("answer")) {
		*error = QStringLiteral(
			"action must be answer, drop, stall or cut");
		return false;
	}
	rule.reply.delayMs = fields.value(QLatin1String("delay_ms")).toInt();
	*out = rule;
	return true;
}

bool FaultRule::fromText(const QString &text, FaultRule *out, QString *error)
{
	QJsonObject o;
	for (const QString &pair : text.split(QLatin1Char(','))) {
		const int eq = pair.indexOf(QLatin1Char('='));
		if (eq <= 0) {
			*error =
				QStringLiteral("expected key=value, got \"%1\"")
					.arg(pair);
			return false;
		}
		const QString key = pair.left(eq).trimmed();
		const QString value = pair.mid(eq + 1);
		bool isNumber = false;
		const int number = value.toInt(&isNumber);
		const bool numeric = key == QLatin1String("status") ||
				     key == QLatin1String("count") ||
				     key == QLatin1String("delay_ms");
		if (numeric && !isNumber) {
			*error = QStringLiteral("%1 must be a number").arg(key);
			return false;
		}
		o.insert(key, numeric ? QJsonValue(number) : QJsonValue(value));
	}
	return fromJson(o, out, error);
}

HttpReply errorReply(int status, const QString &code)
{
	return HttpReply::json(
		status,
		QJsonObject{{QStringLiteral("detail"),
			     QJsonObject{{QStringLiteral("error"), code}}}});
}

HttpReply messageReply(int status, const QString &text, const QString &code)
{
	QJsonObject o{{QStringLiteral("detail"), text}};
	if (!code.isEmpty())
		o.insert(QStringLiteral("error"), code);
	return HttpReply::json(status, o);
}

namespace {

HttpServer::Config serverConfig()
{
	HttpServer::Config config;
	config.keepRequests = 0; // the portal keeps its own log
	config.refusal = [](int status) {
		return messageReply(
			status,
			QString::fromLatin1(tools::httpReasonPhrase(status)));
	};
	return config;
}

} // namespace

PortalSim::PortalSim(QObject *parent)
	: QObject(parent),
	  m_server(serverConfig(), this)
{
	m_server.setHandler([this](const HttpRequest &r) { return handle(r); });
}

bool PortalSim::start(quint16 port, const PortalSimOptions &options,
		      QString *error)
{
	m_options = options;
	if (!m_state.load(options.state.isEmpty() ? PortalState::defaultState()
						  : options.state,
			  options.seed, error))
		return false;
	for (const auto &preset : options.sessions) {
		const Account *a = m_state.account(preset.second);
		if (preset.first.isEmpty() || !a) {
			*error = QStringLiteral("a session needs a token and "
						"an account of the state, not "
						"\"%1\"")
					 .arg(preset.second);
			return false;
		}
		// No "remember me" token: this sign-in lives as long as the
		// session cookie, which is all a stored sign-in needs.
		m_sessions.insert(preset.first, Session{a->email, {}, 0});
	}
	m_clock.start();
	for (Account &a : m_state.accounts()) {
		for (const QString &id : a.deviceIds)
			m_state.device(id)->play(nowMs(), options.tickMs,
						 false);
	}
	if (!m_server.listen(QHostAddress::LocalHost, port)) {
		*error = m_server.errorString();
		return false;
	}
	return true;
}

QString PortalSim::baseUrl() const
{
	return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

QList<HttpRequest> PortalSim::requestsTo(const QByteArray &method,
					 const QByteArray &path) const
{
	QList<HttpRequest> out;
	for (const HttpRequest &r : m_requests) {
		if (r.method == method && r.path == path)
			out.append(r);
	}
	return out;
}

bool PortalSim::postEnvelope(const QString &deviceId,
			     const QJsonObject &envelope)
{
	Device *d = m_state.device(deviceId);
	if (!d)
		return false;
	d->postedEnvelope = envelope;
	return true;
}

bool PortalSim::setDeviceStatus(const QString &deviceId, const QString &status)
{
	Device *d = m_state.device(deviceId);
	if (!d || (status != QLatin1String("online") &&
		   status != QLatin1String("offline") &&
		   status != QLatin1String("pending")))
		return false;
	// Play up to now under the old status, so a device that goes
	// offline keeps the score it had.
	d->play(nowMs(), m_options.tickMs,
		d->status == QLatin1String("online"));
	d->status = status;
	return true;
}

bool PortalSim::setCloudPlan(const QString &email, bool on)
{
	Account *a = m_state.account(email);
	if (!a)
		return false;
	a->cloudPlan = on;
	return true;
}

void PortalSim::revokeSessions()
{
	m_sessions.clear();
	m_challenges.clear();
}

HttpReply PortalSim::handle(const HttpRequest &request)
{
	const QStringList path = request.segments();
	if (path.value(0) == QLatin1String("_sim"))
		return admin(request, path.mid(1));

	m_requests.append(request);
	if (m_requests.size() > kMaxLoggedRequests)
		m_requests.removeFirst();
	HttpReply reply;
	if (!takeFault(request, &reply))
		reply = route(request);
	logLine(request, reply);
	return reply;
}

bool PortalSim::takeFault(const HttpRequest &request, HttpReply *reply)
{
	for (int i = 0; i < m_faults.size(); ++i) {
		FaultRule &rule = m_faults[i];
		if (!rule.method.isEmpty() && rule.method != request.method)
			continue;
		if (!matchesGlob(rule.path, QString::fromLatin1(request.path)))
			continue;
		*reply = rule.reply;
		if (rule.count > 0 && --rule.count == 0)
			m_faults.removeAt(i);
		return true;
	}
	return false;
}

void PortalSim::logLine(const HttpRequest &request,
			const HttpReply &reply) const
{
	if (!m_options.log)
		return;
	const char *what = reply.action == HttpReply::Action::Drop ? "dropped"
			   : reply.action == HttpReply::Action::Stall
				   ? "stalled"
			   : reply.action == HttpReply::Action::Cut ? "cut off"
								    : "";
	std::fprintf(stderr, "%s %s -> %d %s\n", request.method.constData(),
		     request.target.constData(), reply.status, what);
}

HttpReply PortalSim::route(const HttpRequest &request)
{
	const QStringList path = request.segments();
	bool pathKnown = false;
	for (const Route &r : routes()) {
		if (r.pattern.size() != path.size())
			continue;
		Args args;
		bool match = true;
		for (int i = 0; match && i < path.size(); ++i) {
			if (r.pattern.at(i) == QLatin1String("*"))
				args.append(path.at(i));
			else
				match = r.pattern.at(i) == path.at(i);
		}
		if (!match)
			continue;
		pathKnown = true;
		if (request.method == r.method)
			return (this->*r.fn)(request, args);
	}
	return pathKnown
		       ? messageReply(405, QStringLiteral("Method Not Allowed"))
		       : messageReply(404, QStringLiteral("Not Found"));
}

HttpReply PortalSim::admin(const HttpRequest &request, const QStringList &path)
{
	const QByteArray &m = request.method;
	bool isObject = false;
	const QJsonObject body = request.json(&isObject);
	const auto done = [] {
		return HttpReply::json(
			200, QJsonObject{{QStringLiteral("ok"), true}});
	};
	const auto bad = [](const QString &why) {
		return messageReply(400, why);
	};

	if (path == QStringList{QStringLiteral("requests")}) {
		if (m == "DELETE") {
			m_requests.clear();
			return done();
		}
		QJsonArray list;
		for (const HttpRequest &r : m_requests)
			list.append(requestToJson(r));
		return HttpReply::json(
			200, QJsonObject{{QStringLiteral("requests"), list}});
	}
	if (path == QStringList{QStringLiteral("fail")}) {
		if (m == "DELETE") {
			m_faults.clear();
			return done();
		}
		FaultRule rule;
		QString error;
		if (!isObject || !FaultRule::fromJson(body, &rule, &error))
			return bad(
				error.isEmpty()
					? QStringLiteral("send a JSON object")
					: error);
		addFault(rule);
		return done();
	}
	if (path == QStringList{QStringLiteral("sessions"),
				QStringLiteral("revoke")} &&
	    m == "POST") {
		revokeSessions();
		return done();
	}
	if (path.size() == 3 && path.at(0) == QLatin1String("devices") &&
	    path.at(2) == QLatin1String("state")) {
		if (m != "DELETE" && !isObject)
			return bad(QStringLiteral("send the envelope as a "
						  "JSON object"));
		if (!postEnvelope(path.at(1),
				  m == "DELETE" ? QJsonObject() : body))
			return errorReply(404,
					  QStringLiteral("unknown_device"));
		return done();
	}
	if (path.size() == 2 && path.at(0) == QLatin1String("devices") &&
	    m == "POST") {
		Device *d = m_state.device(path.at(1));
		if (!d)
			return errorReply(404,
					  QStringLiteral("unknown_device"));
		if (body.contains(QLatin1String("status")) &&
		    !setDeviceStatus(
			    d->id,
			    body.value(QLatin1String("status")).toString()))
			return bad(QStringLiteral("status must be online, "
						  "offline or pending"));
		if (body.contains(QLatin1String("nickname")))
			d->nickname =
				body.value(QLatin1String("nickname")).toString();
		return done();
	}
	if (path.size() == 2 && path.at(0) == QLatin1String("accounts") &&
	    m == "POST") {
		if (!setCloudPlan(path.at(1),
				  body.value(QLatin1String("cloud_plan"))
					  .toBool(true)))
			return errorReply(404,
					  QStringLiteral("unknown_account"));
		return done();
	}
	return messageReply(404, QStringLiteral("Not Found"));
}

Account *PortalSim::caller(const HttpRequest &request)
{
	const QHash<QByteArray, QByteArray> cookies = request.cookies();
	const auto session = m_sessions.constFind(cookies.value("qm_session"));
	if (session != m_sessions.constEnd())
		return m_state.account(session->email);
	const QByteArray remember = cookies.value("qm_remember");
	for (const Session &s : std::as_const(m_sessions)) {
		if (!remember.isEmpty() && s.rememberToken == remember &&
		    s.rememberUntilMs > nowMs())
			return m_state.account(s.email);
	}
	return nullptr;
}

std::optional<HttpReply> PortalSim::refuseDevice(const HttpRequest &request,
						 const QString &deviceId,
						 bool changes, Device **device)
{
	Account *account = caller(request);
	if (!account)
		return errorReply(401, QStringLiteral("not_authenticated"));
	if (changes && account->role == QLatin1String("viewer"))
		return errorReply(403, QStringLiteral("forbidden_role"));
	*device = m_state.device(deviceId);
	if (!*device || !account->deviceIds.contains(deviceId))
		return errorReply(
			404, QStringLiteral("device_not_found_or_not_owned"));
	if (!account->cloudPlan)
		return errorReply(
			402, QStringLiteral("cloud_subscription_required"));
	return std::nullopt;
}

void PortalSim::openSession(const QString &email, HttpReply *reply)
{
	const auto token = [] {
		QByteArray bytes(24, Qt::Uninitialized);
		QRandomGenerator::system()->fillRange(
			reinterpret_cast<quint32 *>(bytes.data()),
			bytes.size() / 4);
		return bytes.toHex();
	};
	Session s;
	s.email = email;
	s.rememberToken = token();
	s.rememberUntilMs = nowMs() + m_options.rememberSeconds * 1000;
	const QByteArray sessionToken = token();
	m_sessions.insert(sessionToken, s);
	const QByteArray expires =
		QLocale::c()
			.toString(QDateTime::currentDateTimeUtc().addSecs(
					  m_options.rememberSeconds),
				  QStringLiteral("ddd, dd MMM yyyy hh:mm:ss "
						 "'GMT'"))
			.toLatin1();
	reply->withHeader("Set-Cookie",
			  "qm_session=" + sessionToken + "; Path=/; HttpOnly");
	reply->withHeader("Set-Cookie", "qm_remember=" + s.rememberToken +
						"; Expires=" + expires +
						"; Path=/; HttpOnly");
}

} // namespace quillmarch::portalsim
