#include "device_process.h"
#include "sim_options.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	QCoreApplication::setApplicationName(QStringLiteral("quillmarch-sim"));

	quillmarch::sim::DeviceOptions options;
	QString text;
	switch (quillmarch::sim::parseDeviceCommandLine(app.arguments(),
							&options, &text)) {
	case quillmarch::sim::ParseOutcome::Help:
		std::fputs(text.toLocal8Bit().constData(), stdout);
		return 0;
	case quillmarch::sim::ParseOutcome::Error:
		std::fprintf(stderr, "quillmarch-sim: %s\n",
			     text.toLocal8Bit().constData());
		return 2;
	case quillmarch::sim::ParseOutcome::Run:
		break;
	}

	quillmarch::sim::DeviceProcess process(options);
	if (!process.start())
		return 1;
	return app.exec();
}
