// quillmarch-update-site: the update site stand-in as a program, for
// end-to-end tests and demos of the plug-in's updater.

#include "command_line.h"
#include "update_site.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

using namespace quillmarch::updatesite;
using quillmarch::tools::CommandLine;

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	QCoreApplication::setApplicationName(
		QStringLiteral("quillmarch-update-site"));

	CommandLine line(QStringLiteral(
		"Serves a folder of update manifests and packages on 127.0.0.1 "
		"over plain HTTP, as the maker's update site would. Prints "
		"\"update-site http://127.0.0.1:PORT\" once it listens."));
	line.add(QStringLiteral("root"),
		 QStringLiteral("Folder served, e.g. the one holding "
				"downloads/obs/latest.json."),
		 QStringLiteral("dir"), QStringLiteral("."));
	line.add(QStringLiteral("port"),
		 QStringLiteral("Port to listen on; 0 takes a free one."),
		 QStringLiteral("port"), QStringLiteral("0"));
	line.add(QStringLiteral("misbehave"),
		 QStringLiteral("none, wrong-length[=extra], wrong-checksum, "
				"wrong-size, truncated, slow[=ms], "
				"oversized[=bytes], 404, 500 or stall."),
		 QStringLiteral("kind"), QStringLiteral("none"));
	CommandLine::Outcome outcome = line.parse(app.arguments());
	int port = 0;
	Misbehaviour kind = Misbehaviour::None;
	int amount = 0;
	const QString root = line.value(QStringLiteral("root"));
	if (outcome == CommandLine::Outcome::Run) {
		line.number(QStringLiteral("port"), 0, 65535, &port);
		const QString text = line.value(QStringLiteral("misbehave"));
		if (!misbehaviourFromText(text, &kind, &amount))
			line.fail(QStringLiteral("unknown --misbehave %1")
					  .arg(text));
		if (!QFileInfo(root).isDir())
			line.fail(
				QStringLiteral("%1 is not a folder").arg(root));
		if (line.failed())
			outcome = CommandLine::Outcome::Error;
	}
	if (outcome != CommandLine::Outcome::Run)
		return CommandLine::report(outcome, line.text());

	UpdateSite site(root);
	site.setMisbehaviour(kind, amount);
	if (!site.listen(quint16(port)))
		return CommandLine::report(CommandLine::Outcome::Error,
					   QStringLiteral("cannot listen: %1")
						   .arg(site.errorString()));
	std::printf("update-site %s\n", qPrintable(site.baseUrl()));
	std::fflush(stdout);
	return app.exec();
}
