// Load on the browser feed: the feed runs on this process's main thread and
// is fed live updates (30-field envelopes) at a fixed rate; a forked process
// holds the WebSocket clients and checks every message. Each envelope carries
// a sequence number and the monotonic time of its ingest, so the clients see
// lost or reordered messages and the time each took to reach them.
//
//   bench_web_feed [clients] [seconds] [updates per second]
//                  (defaults 200, 15, 20)
//
// Exits 0 when every client received every update once and in order and the
// feed dropped no client; 1 otherwise.
#include "live/live_data.h"
#include "server/web_feed.h"

#include "latency_stats.h"
#include "load_harness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillmarch;

using bench::nowNs;
using bench::percentile;
using bench::readFully;
using bench::writeFully;

namespace {

constexpr int kConnectBatch = 25; // below the listen backlog
constexpr int kDrainSeconds = 10; // after the last update

// Runs the event loop until `done` or the time is up.
template<typename Done> bool waitUntil(Done done, int ms)
{
	QElapsedTimer timer;
	timer.start();
	while (!done() && timer.elapsed() < ms)
		QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents,
						20);
	return done();
}

// ---------------------------------------------------------------- clients

struct Client {
	QWebSocket socket;
	bool greeted = false;
	int expected = 1; // next sequence number
	int received = 0;
	QByteArray fault;
	std::vector<double> lagMs;

	void onMessage(const QString &message)
	{
		const qint64 arrivedNs = nowNs();
		const QJsonObject fields =
			QJsonDocument::fromJson(message.toUtf8())
				.object()
				.value(QLatin1String("fields"))
				.toObject();
		if (!greeted) {
			greeted = true; // the snapshot before any update
			if (!fields.isEmpty())
				fault = "greeting holds fields";
			return;
		}
		const int seq = fields.value(QLatin1String("bench_seq"))
					.toString()
					.toInt();
		if (!fault.isEmpty())
			return;
		if (fields.size() != bench::kLoadFieldCount ||
		    seq != expected) {
			fault = "expected update " +
				QByteArray::number(expected) + ", got " +
				QByteArray::number(seq);
			return;
		}
		++expected;
		++received;
		const qint64 ingestNs = fields.value(QLatin1String("bench_ns"))
						.toString()
						.toLongLong();
		lagMs.push_back(double(arrivedNs - ingestNs) / 1e6);
	}
};

int runClients(int controlFd, int readyFd, int count)
{
	quint16 port = 0;
	if (!readFully(controlFd, &port, sizeof(port)))
		return 1;
	int argc = 1;
	char name[] = "bench_web_feed_clients";
	char *argv[] = {name, nullptr};
	QCoreApplication app(argc, argv);

	std::vector<std::unique_ptr<Client>> clients;
	const QUrl url(QStringLiteral("ws://127.0.0.1:%1/live").arg(port));
	for (int first = 0; first < count; first += kConnectBatch) {
		const int end = std::min(count, first + kConnectBatch);
		for (int i = first; i < end; ++i) {
			clients.push_back(std::make_unique<Client>());
			Client *client = clients.back().get();
			QObject::connect(&client->socket,
					 &QWebSocket::textMessageReceived,
					 &client->socket,
					 [client](const QString &message) {
						 client->onMessage(message);
					 });
			QObject::connect(
				&client->socket, &QWebSocket::disconnected,
				&client->socket, [client] {
					if (client->fault.isEmpty())
						client->fault =
							"connection closed";
				});
			client->socket.open(url);
		}
		if (!waitUntil(
			    [&] {
				    return std::all_of(
					    clients.begin() + first,
					    clients.end(), [](const auto &c) {
						    return c->greeted;
					    });
			    },
			    5000)) {
			std::fprintf(stderr, "clients %d-%d: no greeting\n",
				     first, end - 1);
			return 1;
		}
	}
	const char ready = 'R';
	writeFully(readyFd, &ready, 1);

	qint64 total = -1;
	QSocketNotifier control(controlFd, QSocketNotifier::Read);
	QObject::connect(&control, &QSocketNotifier::activated, [&] {
		control.setEnabled(false);
		if (!readFully(controlFd, &total, sizeof(total)))
			total = 0;
	});
	waitUntil([&] { return total >= 0; }, 3600 * 1000);
	waitUntil(
		[&] {
			return std::all_of(clients.begin(), clients.end(),
					   [&](const auto &c) {
						   return !c->fault.isEmpty() ||
							  c->received >= total;
					   });
		},
		kDrainSeconds * 1000);

	int faulty = 0;
	long long delivered = 0;
	int fewest = int(total), most = 0;
	size_t slowest = 0;
	double slowestP99 = -1;
	std::vector<double> all;
	for (size_t i = 0; i < clients.size(); ++i) {
		const Client &client = *clients[i];
		delivered += client.received;
		fewest = std::min(fewest, client.received);
		most = std::max(most, client.received);
		all.insert(all.end(), client.lagMs.begin(), client.lagMs.end());
		if (!client.fault.isEmpty() || client.received != total) {
			++faulty;
			std::fprintf(stderr, "client %zu: %d of %lld; %s\n", i,
				     client.received, (long long)total,
				     client.fault.constData());
		}
		const double p99 = percentile(client.lagMs, 99);
		if (p99 > slowestP99) {
			slowestP99 = p99;
			slowest = i;
		}
	}
	const std::vector<double> &worst = clients[slowest]->lagMs;
	std::printf("clients %d, updates sent %lld, delivered %lld "
		    "(per client %d to %d), faulty clients %d\n",
		    count, (long long)total, delivered, fewest, most, faulty);
	std::printf("lag ms, every message:        p50 %7.3f  p99 %7.3f  "
		    "max %7.3f\n",
		    percentile(all, 50), percentile(all, 99),
		    percentile(all, 100));
	std::printf("lag ms, slowest client (#%zu): p50 %7.3f  p99 %7.3f  "
		    "max %7.3f\n",
		    slowest, percentile(worst, 50), percentile(worst, 99),
		    percentile(worst, 100));
	std::fflush(stdout);
	return faulty == 0 && total > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	const int clients = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
	const int seconds = argc > 2 ? std::max(1, atoi(argv[2])) : 15;
	const int rate = argc > 3 ? std::clamp(atoi(argv[3]), 1, 1000) : 20;
	const int total = seconds * rate;
	bench::raiseFileLimit(clients * 2);

	// Fork before Qt starts anything in this process.
	int control[2], ready[2];
	if (::pipe(control) != 0 || ::pipe(ready) != 0)
		return 1;
	std::fflush(stdout);
	const pid_t child = ::fork();
	if (child < 0)
		return 1;
	if (child == 0) {
		::close(control[1]);
		::close(ready[0]);
		::_exit(runClients(control[0], ready[1], clients));
	}
	::close(control[0]);
	::close(ready[1]);

	QCoreApplication app(argc, argv);
	LiveData live;
	WebFeed feed(&live);
	if (!feed.start(0, false)) {
		::kill(child, SIGKILL);
		::waitpid(child, nullptr, 0);
		return 1;
	}
	const long rssStart = bench::statusKb("VmRSS");
	const quint16 port = feed.serverPort();
	writeFully(control[1], &port, sizeof(port));

	int fewestClients = clients;
	bool feeding = false;
	QObject::connect(&feed, &WebFeed::clientsChanged, [&](int n) {
		if (feeding)
			fewestClients = std::min(fewestClients, n);
	});

	long rssConnected = 0, rssEnd = 0;
	qint64 feedStartNs = 0;
	std::vector<double> ingestMs;
	int seq = 0;
	QTimer pacer;
	pacer.setSingleShot(true);
	pacer.setTimerType(Qt::PreciseTimer);
	const auto scheduleNext = [&] {
		const qint64 due =
			feedStartNs + qint64(seq) * 1000000000ll / rate;
		pacer.start(int(std::max<qint64>(0, due - nowNs()) / 1000000));
	};
	QObject::connect(&pacer, &QTimer::timeout, [&] {
		++seq;
		const qint64 stamp = nowNs();
		live.ingest(bench::loadEnvelope(seq, stamp));
		ingestMs.push_back(double(nowNs() - stamp) / 1e6);
		if (seq < total) {
			scheduleNext();
			return;
		}
		feeding = false;
		rssEnd = bench::statusKb("VmRSS");
		const qint64 sent = seq;
		writeFully(control[1], &sent, sizeof(sent));
	});

	QSocketNotifier readyNotifier(ready[0], QSocketNotifier::Read);
	QObject::connect(&readyNotifier, &QSocketNotifier::activated, [&] {
		readyNotifier.setEnabled(false);
		char byte = 0;
		if (::read(ready[0], &byte, 1) != 1 || byte != 'R')
			return; // the child failed; the reaper below sees it
		if (feed.clientCount() != clients)
			std::fprintf(stderr, "feed counts %d clients\n",
				     feed.clientCount());
		rssConnected = bench::statusKb("VmRSS");
		feeding = true;
		feedStartNs = nowNs();
		scheduleNext();
	});

	int childStatus = -1;
	QTimer reaper;
	QObject::connect(&reaper, &QTimer::timeout, [&] {
		if (::waitpid(child, &childStatus, WNOHANG) == child)
			app.quit();
	});
	reaper.start(20);
	QTimer::singleShot((seconds + kDrainSeconds + 60) * 1000, [&] {
		std::fprintf(stderr, "gave up waiting for the clients\n");
		::kill(child, SIGKILL);
	});
	app.exec();

	const bool childOk = WIFEXITED(childStatus) &&
			     WEXITSTATUS(childStatus) == 0;
	std::printf("feed: %d updates; ingest and broadcast ms: p50 %.3f "
		    "p99 %.3f max %.3f\n",
		    seq, percentile(ingestMs, 50), percentile(ingestMs, 99),
		    percentile(ingestMs, 100));
	std::printf("feed: VmRSS kB before clients %ld, clients connected "
		    "%ld, after the last update %ld\n",
		    rssStart, rssConnected, rssEnd);
	std::printf("feed: fewest clients while feeding %d of %d\n",
		    fewestClients, clients);
	const bool ok = childOk && seq == total && fewestClients == clients;
	std::printf("%s\n", ok ? "PASS" : "FAIL");
	return ok ? 0 : 1;
}
