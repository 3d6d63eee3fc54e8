// The stream delay end to end: a fake device on its own thread sends 20
// score changes a second over the secure feed; the live data holds them back
// by the delay; each change is timed from the device's write to the moment
// a text template renders it (what a text source does on a change) and to
// the moment a data-server client on 127.0.0.1 reads its line.
//
//   bench_live_delay [delay-seconds] [changes]   (default 2 s, 200 changes)
#include "lan/tls_feed.h"
#include "live/live_data.h"
#include "live/template_render.h"
#include "server/hosted_server.h"

#include "device_thread.h"
#include "latency_stats.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

using namespace quillmarch;

using bench::nowNs;
using bench::percentile;

namespace {

void report(const char *what, std::vector<double> ms)
{
	if (ms.empty()) {
		std::printf("%s: nothing measured\n", what);
		return;
	}
	std::sort(ms.begin(), ms.end());
	std::printf("%s ms: min %.1f median %.1f p99 %.1f max %.1f (%zu)\n",
		    what, ms.front(), percentile(ms, 50), percentile(ms, 99),
		    ms.back(), ms.size());
}

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	const int delayS = argc > 1 ? std::clamp(atoi(argv[1]), 0, 60) : 2;
	const int count = argc > 2 ? std::max(10, atoi(argv[2])) : 200;

	bench::DeviceThread device;
	auto *server = device.server;
	auto *pacer = device.pacer;
	if (!device.start()) {
		std::fprintf(stderr, "cannot start the fake device\n");
		return 1;
	}

	LiveData live;
	live.setDelayMs(delayS * 1000);
	HostedServer hosted(&live);
	if (!hosted.start(0, false)) {
		std::fprintf(stderr, "cannot start the data server\n");
		return 1;
	}

	// When the device wrote change n.
	QMutex sentMutex;
	std::map<int, qint64> sentAt;
	auto sentNs = [&](int n) {
		QMutexLocker lock(&sentMutex);
		const auto it = sentAt.find(n);
		return it == sentAt.end() ? qint64(0) : it->second;
	};

	std::vector<double> renderMs, clientMs;
	int maxPending = 0;
	TlsFeed feed;
	QObject::connect(&feed, &TlsFeed::envelope, [&](const QJsonObject &e) {
		live.ingest(e);
		maxPending = std::max(maxPending, live.pendingCount());
	});
	QObject::connect(&live, &LiveData::changed, [&] {
		const int n =
			renderTemplate(QStringLiteral("{n}"), &live).toInt();
		if (const qint64 at = sentNs(n))
			renderMs.push_back(double(nowNs() - at) / 1e6);
	});

	QTcpSocket client;
	QByteArray pending;
	QObject::connect(&client, &QTcpSocket::readyRead, [&] {
		pending += client.readAll();
		int end;
		while ((end = pending.indexOf('\n')) >= 0) {
			const QJsonObject o =
				QJsonDocument::fromJson(pending.left(end))
					.object();
			pending.remove(0, end + 1);
			const int n = o.value(QLatin1String("fields"))
					      .toObject()
					      .value(QLatin1String("n"))
					      .toString()
					      .toInt();
			if (const qint64 at = sentNs(n))
				clientMs.push_back(double(nowNs() - at) / 1e6);
			if (n >= count)
				app.quit();
		}
	});
	client.connectToHost(QStringLiteral("127.0.0.1"), hosted.serverPort());

	pacer->setInterval(50); // 20 changes a second
	int sent = 0;
	QObject::connect(pacer, &QTimer::timeout, pacer, [&] {
		if (sent >= count)
			return;
		++sent;
		{
			QMutexLocker lock(&sentMutex);
			sentAt[sent] = nowNs();
		}
		server->send("{\"type\":\"state\",\"fields\":{\"n\":" +
			     QByteArray::number(sent) + "}}\n");
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
					 pacer->start();
				 });
			 });
	QTimer::singleShot(count * 50 + delayS * 1000 + 30000, &app, [&] {
		std::fprintf(stderr, "gave up waiting\n");
		app.exit(1);
	});
	feed.connectTo(QStringLiteral("127.0.0.1"), server->port(),
		       QStringLiteral("bench-token"));
	const int rc = app.exec();

	QObject::disconnect(&feed, &TlsFeed::connectedChanged, nullptr,
			    nullptr);
	feed.stop();
	if (rc != 0)
		return rc;

	std::printf("delay %d s, %d changes at 20 per second\n", delayS, count);
	report("device write to template render", renderMs);
	report("device write to data-server client", clientMs);
	std::printf("most changes waiting at once: %d (cap %d)\n", maxPending,
		    LiveData::kMaxPending);
	return renderMs.empty() || clientMs.empty() ? 1 : 0;
}
