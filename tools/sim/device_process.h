#pragma once

#include "sim_options.h"

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

namespace quillmarch::sim {

class BleSide;
class DeviceModel;
class FeedSide;
class HttpSide;
class UsbSide;

// The simulator as a program: the device, its carriers, the lines it
// prints for whoever started it, and its ways to stop. SIGTERM and SIGINT
// unplug cleanly and exit 0. Commands arrive on stdin, one per line; a
// closed stdin is normal (tests start us that way) and stops nothing.
class DeviceProcess : public QObject {
	Q_OBJECT

public:
	explicit DeviceProcess(const DeviceOptions &options,
			       QObject *parent = nullptr);
	~DeviceProcess() override;

	// Starts the carriers and prints their lines; false when one could
	// not start (the reason is on stderr).
	bool start();

private:
	void installSignalHandlers();
	void onSignal();
	void onStdin();
	void runCommand(const QByteArray &line);
	void runNetworkCommand(const QByteArray &line);
	void runBleCommand(const QByteArray &line);
	void announceUsb();
	void announceToken();
	void shutDown(const char *why);

	DeviceOptions m_options;
	DeviceModel *m_device = nullptr;
	UsbSide *m_usb = nullptr;
	HttpSide *m_http = nullptr;
	FeedSide *m_feed = nullptr;
	BleSide *m_ble = nullptr;
	QString m_announcedToken;
	QSocketNotifier *m_signalNotifier = nullptr;
	QSocketNotifier *m_stdinNotifier = nullptr;
	QByteArray m_stdinBuffer;
};

} // namespace quillmarch::sim
