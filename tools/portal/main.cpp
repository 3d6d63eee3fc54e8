// quillmarch-portal-sim: the account portal stand-in as a program, for
// end-to-end tests and for demos without the maker's service.

#include "portal_sim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cstdio>

using namespace quillmarch::portalsim;

namespace {

int fail(const QString &why)
{
	std::fprintf(stderr, "quillmarch-portal-sim: %s\n",
		     why.toLocal8Bit().constData());
	return 2;
}

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	QCoreApplication::setApplicationName(
		QStringLiteral("quillmarch-portal-sim"));

	QCommandLineParser parser;
	parser.setApplicationDescription(QStringLiteral(
		"Serves the Quillmarch account portal's API on 127.0.0.1 over "
		"plain HTTP. Prints \"portal http://127.0.0.1:PORT\" once it "
		"listens. Built-in accounts: coach@example.com / bleachers; "
		"director@example.com / scoreboard with authenticator code "
		"246810; viewer@example.com / bleachers (may only look); "
		"free@example.com / bleachers (no cloud plan)."));
	parser.addHelpOption();
	const QCommandLineOption port(
		QStringLiteral("port"),
		QStringLiteral("Port to listen on; 0 takes any free one "
			       "(default %1).")
			.arg(PortalSim::kDefaultPort),
		QStringLiteral("port"),
		QString::number(PortalSim::kDefaultPort));
	const QCommandLineOption state(
		QStringLiteral("state"),
		QStringLiteral("Accounts and devices from this JSON file "
			       "(see --print-state)."),
		QStringLiteral("file"));
	const QCommandLineOption printState(
		QStringLiteral("print-state"),
		QStringLiteral("Print the built-in accounts and devices as "
			       "JSON and exit."));
	const QCommandLineOption seed(
		QStringLiteral("seed"),
		QStringLiteral("Seed of the simulated games (default 1)."),
		QStringLiteral("n"), QStringLiteral("1"));
	const QCommandLineOption tick(
		QStringLiteral("tick-ms"),
		QStringLiteral("Milliseconds per second of game clock "
			       "(default 1000)."),
		QStringLiteral("ms"), QStringLiteral("1000"));
	const QCommandLineOption failOpt(
		QStringLiteral("fail"),
		QStringLiteral(
			"Force an answer, e.g. "
			"path=/devices/*/state,status=502,code="
			"gateway_unreachable,count=3. Keys: method, "
			"path, status, code, detail, body, type, count "
			"(0 = always), action (answer, drop, stall, cut), "
			"delay_ms. Repeatable."),
		QStringLiteral("rule"));
	const QCommandLineOption session(
		QStringLiteral("session"),
		QStringLiteral("Start with this account signed in under the "
			       "session cookie qm_session=TOKEN (letters, "
			       "digits and -._~). Repeatable."),
		QStringLiteral("token=email"));
	const QCommandLineOption log(QStringLiteral("log"),
				     QStringLiteral("Print one line per "
						    "request on stderr."));
	parser.addOptions(
		{port, state, printState, seed, tick, failOpt, session, log});
	parser.process(app);

	if (parser.isSet(printState)) {
		std::fputs(QJsonDocument(PortalState::defaultState())
				   .toJson(QJsonDocument::Indented)
				   .constData(),
			   stdout);
		return 0;
	}

	PortalSimOptions options;
	bool ok = false;
	const uint portValue = parser.value(port).toUInt(&ok);
	if (!ok || portValue > 65535)
		return fail(QStringLiteral("--port needs a number from 0 to "
					   "65535"));
	options.seed = parser.value(seed).toUInt(&ok);
	if (!ok)
		return fail(QStringLiteral("--seed needs a number"));
	options.tickMs = parser.value(tick).toInt(&ok);
	if (!ok || options.tickMs <= 0)
		return fail(
			QStringLiteral("--tick-ms needs a positive number"));
	options.log = parser.isSet(log);
	if (parser.isSet(state)) {
		QFile file(parser.value(state));
		if (!file.open(QIODevice::ReadOnly))
			return fail(QStringLiteral("cannot read %1: %2")
					    .arg(file.fileName(),
						 file.errorString()));
		QJsonParseError error{};
		const QJsonDocument doc =
			QJsonDocument::fromJson(file.readAll(), &error);
		if (!doc.isObject())
			return fail(QStringLiteral("%1 is not a JSON object: "
						   "%2")
					    .arg(file.fileName(),
						 error.errorString()));
		options.state = doc.object();
	}

	static const QRegularExpression sessionForm(
		QStringLiteral("^([A-Za-z0-9._~-]+)=(.+)$"));
	for (const QString &text : parser.values(session)) {
		const QRegularExpressionMatch match = sessionForm.match(text);
		if (!match.hasMatch())
			return fail(QStringLiteral("--session takes "
						   "token=email, not \"%1\"")
					    .arg(text));
		options.sessions.append(
			{match.captured(1).toLatin1(), match.captured(2)});
	}

	PortalSim sim;
	for (const QString &text : parser.values(failOpt)) {
		FaultRule rule;
		QString error;
		if (!FaultRule::fromText(text, &rule, &error))
			return fail(QStringLiteral("--fail %1: %2")
					    .arg(text, error));
		sim.addFault(rule);
	}
	QString error;
	if (!sim.start(quint16(portValue), options, &error))
		return fail(error);
	std::printf("portal %s\n", sim.baseUrl().toLatin1().constData());
	std::fflush(stdout);
	return app.exec();
}
