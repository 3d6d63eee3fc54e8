// quillmarch-portal-sim: the account portal stand-in as a program, for
// end-to-end tests and for demos without the maker's service.

#include "command_line.h"
#include "portal_sim.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>

#include <cstdio>
#include <limits>

using namespace quillmarch::portalsim;
using quillmarch::tools::CommandLine;

namespace {

// Reads the options into *options and the forced answers into *sim.
bool readOptions(CommandLine &line, PortalSimOptions *options, PortalSim *sim)
{
	line.number("seed", 0u, std::numeric_limits<quint32>::max(),
		    &options->seed);
	line.number("tick-ms", 1, std::numeric_limits<int>::max(),
		    &options->tickMs);
	options->log = line.isSet("log");
	if (line.isSet("state")) {
		QFile file(line.value("state"));
		QJsonParseError error{};
		const QJsonDocument doc =
			file.open(QIODevice::ReadOnly)
				? QJsonDocument::fromJson(file.readAll(),
							  &error)
				: QJsonDocument();
		if (!file.isOpen())
			return line.fail(QStringLiteral("cannot read %1: %2")
						 .arg(file.fileName(),
						      file.errorString()));
		if (!doc.isObject())
			return line.fail(QStringLiteral("%1 is not a JSON "
							"object: %2")
						 .arg(file.fileName(),
						      error.errorString()));
		options->state = doc.object();
	}
	static const QRegularExpression sessionForm(
		QStringLiteral("^([A-Za-z0-9._~-]+)=(.+)$"));
	for (const QString &text : line.values("session")) {
		const QRegularExpressionMatch match = sessionForm.match(text);
		if (!match.hasMatch())
			return line.fail(QStringLiteral("--session takes "
							"token=email, not "
							"\"%1\"")
						 .arg(text));
		options->sessions.append(
			{match.captured(1).toLatin1(), match.captured(2)});
	}
	for (const QString &text : line.values("fail")) {
		FaultRule rule;
		QString error;
		if (!FaultRule::fromText(text, &rule, &error))
			return line.fail(QStringLiteral("--fail %1: %2")
						 .arg(text, error));
		sim->addFault(rule);
	}
	return !line.failed();
}

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	QCoreApplication::setApplicationName(
		QStringLiteral("quillmarch-portal-sim"));

	CommandLine line(QStringLiteral(
		"Serves the Quillmarch account portal's API on 127.0.0.1 over "
		"plain HTTP. Prints \"portal http://127.0.0.1:PORT\" once it "
		"listens. Built-in accounts: coach@example.com / bleachers; "
		"director@example.com / scoreboard with authenticator code "
		"246810; viewer@example.com / bleachers (may only look); "
		"free@example.com / bleachers (no cloud plan)."));
	line.add("port",
		 QStringLiteral("Port to listen on; 0 takes any free one "
				"(default %1).")
			 .arg(PortalSim::kDefaultPort),
		 "port", QString::number(PortalSim::kDefaultPort));
	line.add(
		"state",
		"Accounts and devices from this JSON file (see --print-state).",
		"file");
	line.add("print-state",
		 "Print the built-in accounts and devices as JSON and exit.");
	line.add("seed", "Seed of the simulated games (default 1).", "n", "1");
	line.add("tick-ms",
		 "Milliseconds per second of game clock (default 1000).", "ms",
		 "1000");
	line.add(
		"fail",
		"Force an answer, e.g. path=/devices/*/state,status=502,code="
		"gateway_unreachable,count=3. Keys: method, path, status, "
		"code, detail, body, type, count (0 = always), action (answer, "
		"drop, stall, cut), delay_ms. Repeatable.",
		"rule");
	line.add("session",
		 "Start with this account signed in under the session cookie "
		 "qm_session=TOKEN (letters, digits and -._~). Repeatable.",
		 "token=email");
	line.add("log", "Print one line per request on stderr.");

	CommandLine::Outcome outcome = line.parse(app.arguments());
	if (outcome == CommandLine::Outcome::Run && line.isSet("print-state")) {
		std::fputs(QJsonDocument(PortalState::defaultState())
				   .toJson(QJsonDocument::Indented)
				   .constData(),
			   stdout);
		return 0;
	}
	PortalSimOptions options;
	PortalSim sim;
	int port = 0;
	if (outcome == CommandLine::Outcome::Run) {
		line.number("port", 0, 65535, &port);
		if (!readOptions(line, &options, &sim))
			outcome = CommandLine::Outcome::Error;
	}
	if (outcome != CommandLine::Outcome::Run)
		return CommandLine::report(outcome, line.text());

	QString error;
	if (!sim.start(quint16(port), options, &error))
		return CommandLine::report(CommandLine::Outcome::Error, error);
	std::printf("portal %s\n", sim.baseUrl().toLatin1().constData());
	std::fflush(stdout);
	return app.exec();
}
