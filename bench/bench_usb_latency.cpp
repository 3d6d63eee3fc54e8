// Latency of one score change over the cable: from the simulated device
// writing an envelope frame on the pseudo-terminal to the USB link's
// envelope signal. The device runs on its own thread, as a real device runs
// on its own clock, and stamps each envelope with a monotonic time.
//
//   bench_usb_latency [count]     (default 2000 envelopes)
#include "device_model.h"
#include "usb/usb_link.h"
#include "usb_side.h"

#include "latency_stats.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace quillmarch;

using bench::nowNs;
using bench::percentile;

namespace {

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	const int count = argc > 1 ? std::max(10, atoi(argv[1])) : 2000;

	// The device: its own thread, envelopes at random 2-8 ms intervals so
	// they land at every phase of the link's read poll.
	QThread deviceThread;
	sim::DeviceModel::Config config;
	config.envelopesPerSecond = 1;
	auto *model = new sim::DeviceModel(config);
	auto *usb = new sim::UsbSide(model, sim::UsbSide::Config());
	QString error;
	if (!usb->plugIn(&error)) {
		std::fprintf(stderr, "cannot create the terminal: %s\n",
			     qPrintable(error));
		return 1;
	}
	const QString path = usb->slavePath();
	model->moveToThread(&deviceThread);
	usb->moveToThread(&deviceThread);
	deviceThread.start();

	UsbLink link(path);
	std::vector<double> latenciesMs;
	latenciesMs.reserve(size_t(count));
	int sent = 0;
	QObject::connect(
		&link, &DeviceLink::envelope, [&](const QJsonObject &e) {
			const qint64 stamp = e.value(QLatin1String("bench_ns"))
						     .toString()
						     .toLongLong();
			if (stamp == 0)
				return;
			latenciesMs.push_back(double(nowNs() - stamp) / 1e6);
			if (int(latenciesMs.size()) >= count)
				app.quit();
		});
	QObject::connect(&link, &DeviceLink::opened, [&] {
		auto *pacer = new QTimer;
		pacer->setSingleShot(true);
		pacer->moveToThread(&deviceThread);
		QObject::connect(pacer, &QTimer::timeout, pacer, [&, pacer] {
			if (sent >= count + 50) // a few may be dropped
				return;
			++sent;
			usb->sendEnvelope(QJsonObject{
				{QStringLiteral("type"),
				 QStringLiteral("state")},
				{QStringLiteral("home_score"), sent},
				{QStringLiteral("bench_ns"),
				 QString::number(nowNs())}});
			pacer->start(
				2 +
				int(QRandomGenerator::global()->bounded(7)));
		});
		QMetaObject::invokeMethod(pacer, [pacer] { pacer->start(5); });
	});
	QObject::connect(&link, &DeviceLink::failed,
			 [&](const QString &code, const QString &message) {
				 std::fprintf(stderr, "link failed: %s %s\n",
					      qPrintable(code),
					      qPrintable(message));
				 app.exit(1);
			 });
	QTimer::singleShot(120000, &app, [&] {
		std::fprintf(stderr, "gave up waiting\n");
		app.exit(1);
	});
	link.open();
	const int rc = app.exec();

	link.close();
	QMetaObject::invokeMethod(
		usb, [usb] { usb->unplug(); }, Qt::BlockingQueuedConnection);
	deviceThread.quit();
	deviceThread.wait();
	delete usb;
	delete model;
	if (rc != 0)
		return rc;

	std::sort(latenciesMs.begin(), latenciesMs.end());
	std::printf("envelopes %zu\n", latenciesMs.size());
	std::printf(
		"latency ms: min %.3f median %.3f p90 %.3f p99 %.3f max %.3f\n",
		latenciesMs.front(), percentile(latenciesMs, 50),
		percentile(latenciesMs, 90), percentile(latenciesMs, 99),
		latenciesMs.back());
	std::printf("p99 within one 60 fps frame (16.7 ms): %s\n",
		    percentile(latenciesMs, 99) <= 16.7 ? "yes" : "no");
	return 0;
}
