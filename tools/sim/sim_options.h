#pragma once

#include "command_line.h"
#include "ble_side.h"
#include "device_model.h"
#include "feed_side.h"
#include "http_side.h"
#include "usb_side.h"

#include <QString>
#include <QStringList>

namespace quillmarch::sim {

// What "quillmarch-sim device ..." asked for.
struct DeviceOptions {
	DeviceModel::Config device;
	bool usb = false;
	UsbSide::Config usbSide;
	bool http = false;
	HttpSide::Config httpSide;
	// The certificate and key stay empty unless given: the program
	// fills in its built-in test identity.
	bool feed = false;
	FeedSide::Config feedSide;
	bool ble = false;
	QHostAddress bleAddress;
	quint16 blePort = 0;
	BleSide::Config bleSide;
};

using ParseOutcome = tools::CommandLine::Outcome;

// Parses the whole command line (program name first). On Help or Error,
// *text holds what to print: the usage, or the error with a hint.
ParseOutcome parseDeviceCommandLine(const QStringList &arguments,
				    DeviceOptions *options, QString *text);

// "HOST:PORT" with a port from 0 to 65535; the host may be empty.
bool parseHostPort(const QString &text, QString *host, int *port);

// An address to listen on: "ADDR:PORT", "[V6]:PORT", or an address alone
// for defaultPort. An empty address means every address; "localhost" is
// the loopback address.
bool parseListenAddress(const QString &text, quint16 defaultPort,
			QHostAddress *address, quint16 *port);

// "PATH=STATUS" or "PATH=STATUSxCOUNT", e.g. "/api/status=503x2".
bool parseHttpFailure(const QString &text, HttpSide::Failure *failure);

} // namespace quillmarch::sim
