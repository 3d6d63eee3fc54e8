#pragma once

#include "device_model.h"
#include "usb_side.h"

#include <QString>
#include <QStringList>

namespace quillmarch::sim {

// What "quillmarch-sim device ..." asked for.
struct DeviceOptions {
	DeviceModel::Config device;
	bool usb = false;
	UsbSide::Config usbSide;
};

enum class ParseOutcome { Run, Help, Error };

// Parses the whole command line (program name first). On Help or Error,
// *text holds what to print: the usage, or the error with a hint.
ParseOutcome parseDeviceCommandLine(const QStringList &arguments,
				    DeviceOptions *options, QString *text);

// "HOST:PORT" with a port from 0 to 65535; the host may be empty.
bool parseHostPort(const QString &text, QString *host, int *port);

} // namespace quillmarch::sim
