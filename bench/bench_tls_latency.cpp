// Latency of one score change over the secure network feed: from the fake
// device writing an envelope line on the TLS connection to the feed's
// envelope signal. The device runs on its own thread, as a real device runs
// on its own clock, and stamps each envelope with a monotonic time.
//
//   bench_tls_latency [count]     (default 2000 envelopes)
#include "lan/tls_feed.h"

#include "device_thread.h"
#include "latency_stats.h"

#include <QCoreApplication>
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

	bench::DeviceThread device;
	auto *server = device.server;
	auto *pacer = device.pacer;
	if (!device.start()) {
		std::fprintf(stderr, "cannot start the fake device\n");
		return 1;
	}

	TlsFeed feed;
	std::vector<double> latenciesMs;
	latenciesMs.reserve(size_t(count));
	QObject::connect(&feed, &TlsFeed::envelope, [&](const QJsonObject &e) {
		const qint64 stamp = e.value(QLatin1String("bench_ns"))
					     .toString()
					     .toLongLong();
		if (stamp == 0)
			return;
		latenciesMs.push_back(double(nowNs() - stamp) / 1e6);
		if (int(latenciesMs.size()) >= count)
			app.quit();
	});

	// Envelopes at random 2-8 ms intervals, so they land at every phase of
	// the main thread's event loop.
	pacer->setSingleShot(true);
	int sent = 0;
	QObject::connect(pacer, &QTimer::timeout, pacer, [&, pacer] {
		if (sent >= count)
			return;
		++sent;
		const QByteArray line =
			"{\"type\":\"state\",\"sport\":\"basketball\","
			"\"fields\":{\"home_score\":" +
			QByteArray::number(sent) +
			",\"away_score\":17,\"clock\":\"04:12\"},"
			"\"bench_ns\":\"" +
			QByteArray::number(nowNs()) + "\"}\n";
		server->send(line);
		pacer->start(2 + int(QRandomGenerator::global()->bounded(7)));
	});
	QObject::connect(&feed, &TlsFeed::connectedChanged,
			 [&](bool connected, const QString &detail) {
				 if (!connected) {
					 std::fprintf(stderr, "feed lost: %s\n",
						      qPrintable(detail));
					 app.exit(1);
					 return;
				 }
				 QMetaObject::invokeMethod(pacer, [pacer] {
					 pacer->start(5);
				 });
			 });
	QTimer::singleShot(120000, &app, [&] {
		std::fprintf(stderr, "gave up waiting\n");
		app.exit(1);
	});
	feed.connectTo(QStringLiteral("127.0.0.1"), server->port(),
		       QStringLiteral("bench-token"));
	const int rc = app.exec();

	QObject::disconnect(&feed, &TlsFeed::connectedChanged, nullptr,
			    nullptr);
	feed.stop();
	if (rc != 0 || latenciesMs.empty())
		return rc != 0 ? rc : 1;

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
