// Bluetooth requests through the plug-in's bridge and the helper program,
// on the simulated radio of the device simulator (so the figures are the
// plug-in's and the helper's, not a radio's). Measures
//
//   ready       bridge asked for a helper -> helper started, connected back
//               and proved its token (a fresh helper each time);
//   round trip  one request through the bridge to the helper and its
//               answer back (an operation the helper refuses at once);
//   write       one 185-byte write to the connected device and its
//               confirmation.
//
//   bench_ble_round_trip [iterations]   (default 500; ready runs 20 times)
//
// Prints the median and 99th percentile in milliseconds.
#include "ble/ble_bridge.h"
#include "ble_side.h"
#include "device_model.h"

#include "latency_stats.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace quillmarch;
using bench::nowNs;
using bench::percentile;

namespace {

// Runs the event loop until done() or 10 s have passed.
template<class Done> bool waitFor(Done done)
{
	QEventLoop loop;
	QTimer poll;
	QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
		if (done())
			loop.quit();
	});
	QTimer::singleShot(10000, &loop, &QEventLoop::quit);
	poll.start(0);
	loop.exec();
	return done();
}

void print(const char *what, const std::vector<double> &ms)
{
	std::printf("%-10s n=%zu  median %.3f ms  p99 %.3f ms\n", what,
		    ms.size(), percentile(ms, 50), percentile(ms, 99));
}

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	const int iterations = argc > 1 ? qMax(10, atoi(argv[1])) : 500;

	sim::DeviceModel device;
	sim::BleSide radio(&device, sim::BleSide::Config());
	if (!radio.listen(QHostAddress::LocalHost, 0)) {
		std::fprintf(stderr, "the simulated radio did not listen\n");
		return 1;
	}
	qputenv("QUILLMARCH_BLE_SIM", radio.address().toUtf8());
	BleBridge *bridge = BleBridge::instance();
	bridge->setHelperPath(
		QStringLiteral(QUILLMARCH_BLE_HELPER_SIM_EXECUTABLE));

	std::vector<double> ready;
	for (int i = 0; i < 20; ++i) {
		bool done = false;
		const qint64 t0 = nowNs();
		bridge->ensureHelper([&](bool ok, const QString &) {
			done = ok;
			ready.push_back(double(nowNs() - t0) / 1e6);
		});
		if (!waitFor([&] { return done; })) {
			std::fprintf(stderr, "the helper did not start\n");
			return 1;
		}
		if (i < 19) {
			bridge->shutdown();
			waitFor([&] { return !bridge->isReady(); });
		}
	}
	print("ready", ready);

	const auto timeRequests = [&](const QString &op,
				      const QJsonObject &params) {
		std::vector<double> ms;
		for (int i = 0; i < iterations; ++i) {
			bool answered = false;
			const qint64 t0 = nowNs();
			bridge->request(
				op, params,
				[&](const BleReply &) {
					answered = true;
					ms.push_back(double(nowNs() - t0) /
						     1e6);
				},
				15000);
			if (!waitFor([&] { return answered; }))
				break;
		}
		return ms;
	};
	print("round trip", timeRequests(QStringLiteral("measure"), {}));

	bool connected = false;
	bridge->scan(500, [&](bool ok, const QList<BleDeviceInfo> &, int,
			      const QString &, const QString &) {
		if (!ok)
			return;
		bridge->request(
			QStringLiteral("connect"),
			{{QStringLiteral("id"), radio.peripheralId()}},
			[&](const BleReply &r) { connected = r.ok; }, 15000);
	});
	if (!waitFor([&] { return connected; })) {
		std::fprintf(stderr, "could not connect to the device\n");
		return 1;
	}
	// Bytes the device reads as the start of a chunked request it never
	// completes: each write is confirmed and nothing more happens.
	QByteArray chunk(185, 'x');
	chunk[0] = char(0xFF);
	print("write", timeRequests(QStringLiteral("write"),
				    {{QStringLiteral("b64"),
				      QString::fromLatin1(chunk.toBase64())}}));
	bridge->shutdown();
	return 0;
}
