// The account API of the portal simulator, one function per route.

#include "portal_sim.h"

#include <QJsonArray>
#include <QRandomGenerator>

namespace quillmarch::portalsim {

namespace {

constexpr qint64 kChallengeLifetimeMs = 5 * 60 * 1000;

QString str(const QJsonObject &o, const char *key)
{
	return o.value(QLatin1String(key)).toString();
}

HttpReply ok(QJsonObject extra = {})
{
	extra.insert(QStringLiteral("ok"), true);
	return HttpReply::json(200, extra);
}

QJsonObject userJson(const Account &a)
{
	return QJsonObject{{QStringLiteral("email"), a.email},
			   {QStringLiteral("role"), a.role}};
}

HttpReply unauthenticated()
{
	return errorReply(401, QStringLiteral("not_authenticated"));
}

HttpReply unreachable()
{
	return errorReply(504, QStringLiteral("device_unreachable_or_timeout"));
}

QByteArray htmlEscape(const QString &text)
{
	return text.toHtmlEscaped().toUtf8();
}

} // namespace

const QList<PortalSim::Route> &PortalSim::routes()
{
	static const QList<Route> table = {
		{"POST", {"auth", "login"}, &PortalSim::login},
		{"POST", {"auth", "login", "totp"}, &PortalSim::loginTotp},
		{"GET", {"auth", "me"}, &PortalSim::me},
		{"POST", {"auth", "logout"}, &PortalSim::logout},
		{"GET", {"devices"}, &PortalSim::devices},
		{"POST", {"devices", "link"}, &PortalSim::link},
		{"GET", {"devices", "*", "state"}, &PortalSim::deviceState},
		{"POST", {"devices", "*", "cmd", "*"}, &PortalSim::command},
		{"POST", {"devices", "*", "config"}, &PortalSim::config},
		{"POST",
		 {"devices", "*", "pairing", "reveal"},
		 &PortalSim::revealPairing},
		{"PUT", {"devices", "*", "pairing"}, &PortalSim::savePairing},
		{"GET", {"api", "graphics", "outputs"}, &PortalSim::outputs},
		{"GET", {"graphics", "o", "*"}, &PortalSim::graphicsPage},
		{"GET", {"*"}, &PortalSim::sitePage},
	};
	return table;
}

HttpReply PortalSim::login(const HttpRequest &r, const Args &)
{
	bool isObject = false;
	const QJsonObject body = r.json(&isObject);
	const QString email = str(body, "email");
	const QString password = str(body, "password");
	if (!isObject || email.isEmpty() || password.isEmpty())
		return messageReply(
			422, QStringLiteral(
				     "Enter your email address and password."));
	const Account *a = m_state.account(email);
	if (!a || a->password != password)
		return errorReply(401, QStringLiteral("invalid_credentials"));
	if (!a->totpCode.isEmpty()) {
		const QString id = QString::number(
			QRandomGenerator::system()->generate64(), 36);
		m_challenges.insert(
			id,
			Challenge{a->email, nowMs() + kChallengeLifetimeMs, 5});
		return HttpReply::json(
			200,
			QJsonObject{{QStringLiteral("totp_required"), true},
				    {QStringLiteral("challenge_id"), id}});
	}
	HttpReply reply = HttpReply::json(
		200, QJsonObject{{QStringLiteral("totp_required"), false},
				 {QStringLiteral("user"), userJson(*a)}});
	openSession(a->email, &reply);
	return reply;
}

HttpReply PortalSim::loginTotp(const HttpRequest &r, const Args &)
{
	const QJsonObject body = r.json();
	const QString id = str(body, "challenge_id");
	const auto it = m_challenges.find(id);
	if (it == m_challenges.end() || it->expiresMs < nowMs()) {
		m_challenges.remove(id);
		return errorReply(401, QStringLiteral("challenge_expired"));
	}
	const Account *a = m_state.account(it->email);
	if (!a || str(body, "code") != a->totpCode) {
		// A guessed code must not get many tries.
		if (--it->attemptsLeft <= 0)
			m_challenges.erase(it);
		return errorReply(401, QStringLiteral("invalid_totp_code"));
	}
	m_challenges.erase(it);
	HttpReply reply = HttpReply::json(
		200, QJsonObject{{QStringLiteral("user"), userJson(*a)}});
	openSession(a->email, &reply);
	return reply;
}

HttpReply PortalSim::me(const HttpRequest &r, const Args &)
{
	const Account *a = caller(r);
	if (!a)
		return unauthenticated();
	return HttpReply::json(
		200, QJsonObject{{QStringLiteral("user"), userJson(*a)}});
}

HttpReply PortalSim::logout(const HttpRequest &r, const Args &)
{
	m_sessions.remove(r.cookies().value("qm_session"));
	HttpReply reply = ok();
	const QByteArray gone =
		"=; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Path=/; HttpOnly";
	reply.withHeader("Set-Cookie", "qm_session" + gone)
		.withHeader("Set-Cookie", "qm_remember" + gone);
	return reply;
}

HttpReply PortalSim::devices(const HttpRequest &r, const Args &)
{
	const Account *a = caller(r);
	if (!a)
		return unauthenticated();
	QJsonArray list;
	for (const QString &id : a->deviceIds) {
		const Device *d = m_state.device(id);
		list.append(QJsonObject{
			{QStringLiteral("device_id"), d->id},
			{QStringLiteral("nickname"), d->nickname},
			{QStringLiteral("status"), d->status},
			{QStringLiteral("ble_passkey"), d->blePasskey},
			{QStringLiteral("firmware_version"), d->firmware},
		});
	}
	return HttpReply::json(200,
			       QJsonObject{{QStringLiteral("devices"), list}});
}

HttpReply PortalSim::link(const HttpRequest &r, const Args &)
{
	Account *a = caller(r);
	if (!a)
		return unauthenticated();
	if (a->role == QLatin1String("viewer"))
		return errorReply(403, QStringLiteral("forbidden_role"));
	const QJsonObject body = r.json();
	const QString id = str(body, "device_id");
	const QString via = str(body, "via");
	if (id.isEmpty() ||
	    !QStringList{QStringLiteral("usb"), QStringLiteral("ble"),
			 QStringLiteral("manual")}
		     .contains(via))
		return messageReply(
			422, QStringLiteral("A device id and how the device "
					    "was reached (usb, ble or manual) "
					    "are needed."));
	const Device *d = m_state.device(id);
	if (!d)
		return errorReply(
			404, QStringLiteral("device_not_found_or_not_owned"));
	if (a->deviceIds.contains(id))
		return ok({{QStringLiteral("device_id"), id},
			   {QStringLiteral("already_linked"), true}});
	if (m_state.ownerOf(id))
		return messageReply(409,
				    QStringLiteral(
					    "This device is already on another "
					    "account. Remove it there first."),
				    QStringLiteral("device_already_claimed"));
	// A cable or Bluetooth connection proves the user holds the device;
	// over the network the printed claim code has to.
	const bool hasCode = body.contains(QLatin1String("code"));
	if (!hasCode && via == QLatin1String("manual"))
		return messageReply(
			422,
			QStringLiteral("Enter the claim code printed on the "
				       "device."),
			QStringLiteral("claim_code_required"));
	if (hasCode && str(body, "code") != d->claimCode)
		return errorReply(400,
				  QStringLiteral("claim_code_device_mismatch"));
	a->deviceIds.append(id);
	return ok({{QStringLiteral("device_id"), id}});
}

HttpReply PortalSim::deviceState(const HttpRequest &r, const Args &args)
{
	Device *d = nullptr;
	if (const auto refusal = refuseDevice(r, args.at(0), false, &d))
		return *refusal;
	if (!d->postedEnvelope.isEmpty())
		return HttpReply::json(200, d->postedEnvelope);
	if (d->status == QLatin1String("pending"))
		return HttpReply::json(
			200, QJsonObject{{QStringLiteral("type"),
					  QStringLiteral("pending")},
					 {QStringLiteral("device_id"), d->id},
					 {QStringLiteral("online"), false}});
	const bool online = d->status == QLatin1String("online");
	d->play(nowMs(), m_options.tickMs, online);
	return HttpReply::json(200, d->envelope(online));
}

HttpReply PortalSim::command(const HttpRequest &r, const Args &args)
{
	Device *d = nullptr;
	if (const auto refusal = refuseDevice(r, args.at(0), true, &d))
		return *refusal;
	const QJsonValue given = r.json().value(QLatin1String("args"));
	if (!given.isUndefined() && !given.isObject())
		return messageReply(
			422, QStringLiteral("args must be a JSON object."));
	const QString name = args.at(1);
	const bool online = d->status == QLatin1String("online");
	if (name == QLatin1String("reboot"))
		return ok({{QStringLiteral("queued"), !online}});
	if (!online)
		return unreachable();
	if (name == QLatin1String("get_status")) {
		d->play(nowMs(), m_options.tickMs, true);
		return ok({{QStringLiteral("data"),
			    QJsonObject{
				    {QStringLiteral("device_id"), d->id},
				    {QStringLiteral("firmware_version"),
				     d->firmware},
				    {QStringLiteral("uptime_s"),
				     double(nowMs() / 1000)},
				    {QStringLiteral("wifi_rssi"), -58},
				    {QStringLiteral("ip"),
				     QStringLiteral("192.168.1.42")},
				    {QStringLiteral("config"), d->config},
			    }}});
	}
	if (name == QLatin1String("ota_check"))
		return ok({{QStringLiteral("data"),
			    QJsonObject{
				    {QStringLiteral("current"), d->firmware},
				    {QStringLiteral("latest"),
				     QStringLiteral("1.4.2")},
				    {QStringLiteral("update_available"),
				     d->firmware != QLatin1String("1.4.2")}}}});
	return messageReply(400,
			    QStringLiteral(
				    "The device does not know the command "
				    "\"%1\".")
				    .arg(name),
			    QStringLiteral("unknown_command"));
}

HttpReply PortalSim::config(const HttpRequest &r, const Args &args)
{
	Device *d = nullptr;
	if (const auto refusal = refuseDevice(r, args.at(0), true, &d))
		return *refusal;
	const QJsonValue given = r.json().value(QLatin1String("config"));
	if (!given.isObject())
		return messageReply(
			422, QStringLiteral("config must be a JSON object."));
	if (d->status != QLatin1String("online"))
		return unreachable();
	const QJsonObject changes = given.toObject();
	for (auto it = changes.begin(); it != changes.end(); ++it)
		d->config.insert(it.key(), it.value());
	return ok({{QStringLiteral("config"), d->config}});
}

HttpReply PortalSim::revealPairing(const HttpRequest &r, const Args &args)
{
	Device *d = nullptr;
	if (const auto refusal = refuseDevice(r, args.at(0), true, &d))
		return *refusal;
	return HttpReply::json(
		200, QJsonObject{{QStringLiteral("pairing"),
				  QJsonObject{{QStringLiteral("admin_password"),
					       d->adminPassword}}}});
}

HttpReply PortalSim::savePairing(const HttpRequest &r, const Args &args)
{
	Device *d = nullptr;
	if (const auto refusal = refuseDevice(r, args.at(0), true, &d))
		return *refusal;
	const QString password = str(r.json(), "admin_password");
	if (password.isEmpty())
		return messageReply(
			422, QStringLiteral("An admin password is needed."));
	d->adminPassword = password;
	return ok();
}

HttpReply PortalSim::outputs(const HttpRequest &r, const Args &)
{
	const Account *a = caller(r);
	if (!a)
		return unauthenticated();
	if (!a->cloudPlan)
		return errorReply(
			402, QStringLiteral("cloud_subscription_required"));
	return HttpReply::json(
		200, QJsonObject{{QStringLiteral("outputs"), a->outputs}});
}

HttpReply PortalSim::graphicsPage(const HttpRequest &, const Args &args)
{
	const QJsonObject output = m_state.outputByToken(args.at(0));
	if (output.isEmpty())
		return HttpReply::text(404,
				       "<!doctype html><p>No such graphic.",
				       "text/html; charset=utf-8");
	Device *d = m_state.device(str(output, "device_id"));
	QByteArray score = "Waiting for scores";
	if (d && d->status != QLatin1String("pending")) {
		const bool online = d->status == QLatin1String("online");
		d->play(nowMs(), m_options.tickMs, online);
		const QJsonObject f = d->game.fields();
		score = htmlEscape(
			QStringLiteral("%1 %2 - %3 %4  %5")
				.arg(str(f, "home_name"))
				.arg(d->game.homeScore())
				.arg(d->game.awayScore())
				.arg(str(f, "away_name"), str(f, "clock")));
	}
	return HttpReply::text(
		200,
		"<!doctype html><meta charset=utf-8>"
		"<meta http-equiv=refresh content=1>"
		"<body style=\"margin:0;background:transparent\">"
		"<div style=\"font:bold 64px sans-serif;color:#fff;"
		"background:#123a;padding:16px 32px;display:inline-block\">" +
			score + "</div>",
		"text/html; charset=utf-8");
}

HttpReply PortalSim::sitePage(const HttpRequest &, const Args &args)
{
	const QString page = args.at(0);
	if (page != QLatin1String("signup.html") &&
	    page != QLatin1String("reset.html"))
		return messageReply(404, QStringLiteral("Not Found"));
	const QByteArray title = page == QLatin1String("signup.html")
					 ? "Create a Quillmarch account"
					 : "Reset your Quillmarch password";
	return HttpReply::text(200,
			       "<!doctype html><meta charset=utf-8><title>" +
				       title + "</title><h1>" + title +
				       "</h1><p>This is the portal simulator; "
				       "accounts are set in its state file.",
			       "text/html; charset=utf-8");
}

} // namespace quillmarch::portalsim
