#include "device_process.h"
#include "sim_options.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	QCoreApplication::setApplicationName(QStringLiteral("quillmarch-sim"));

	quillmarch::sim::DeviceOptions options;
	QString text;
	const auto outcome = quillmarch::sim::parseDeviceCommandLine(
		app.arguments(), &options, &text);
	if (outcome != quillmarch::sim::ParseOutcome::Run)
		return quillmarch::tools::CommandLine::report(outcome, text);

	quillmarch::sim::DeviceProcess process(options);
	if (!process.start())
		return 1;
	return app.exec();
}
