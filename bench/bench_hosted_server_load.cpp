// Load on the TCP data server: the server runs on this process's main thread
// and is fed live updates (30-field envelopes) at a fixed rate; a forked
// process holds the client connections and reads and checks every snapshot
// line. Each envelope carries a sequence number and the monotonic time of its
// ingest, so the clients see lost or reordered lines and the time each line
// took to reach them.
//
//   bench_hosted_server_load [clients] [seconds] [updates per second]
//                            (defaults 300, 15, 20)
//
// Exits 0 when every client received every update once and in order and the
// server dropped no client; 1 otherwise.
#include "live/live_data.h"
#include "server/hosted_server.h"

#include "latency_stats.h"
#include "load_harness.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace quillmarch;

using bench::nowNs;
using bench::percentile;
using bench::readFully;
using bench::statusKb;
using bench::writeFully;

namespace {

constexpr int kConnectBatch = 25; // below the listen backlog
constexpr int kDrainSeconds = 10; // after the last update

double cpuSeconds()
{
	rusage usage{};
	getrusage(RUSAGE_SELF, &usage);
	return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
	       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// ---------------------------------------------------------------- clients

struct Client {
	int fd = -1;
	QByteArray buffer;
	int expected = 1; // next sequence number
	int received = 0;
	QByteArray fault;
	std::vector<double> lagMs;
};

// The first line, sent on connection before any update: a snapshot that
// holds no fields yet.
bool checkGreeting(const QByteArray &line)
{
	const QJsonObject snapshot = QJsonDocument::fromJson(line).object();
	return snapshot.size() == 4 &&
	       snapshot.value(QLatin1String("fields")).toObject().isEmpty();
}

// Checks one update line; the lag is measured against `arrivedNs`.
void checkLine(Client &client, const QByteArray &line, qint64 arrivedNs,
	       std::vector<double> &slowestBySeq, qint64 &firstIngestNs)
{
	const QJsonObject snapshot = QJsonDocument::fromJson(line).object();
	const QJsonObject fields =
		snapshot.value(QLatin1String("fields")).toObject();
	const int seq =
		fields.value(QLatin1String("bench_seq")).toString().toInt();
	if (snapshot.size() != 4 || fields.size() != bench::kLoadFieldCount ||
	    snapshot.value(QLatin1String("sport")).toString() !=
		    QLatin1String("basketball") ||
	    fields.value(QLatin1String("home_score")).toString() !=
		    QString::number(seq / 7)) {
		client.fault = "malformed snapshot: " + line.left(120);
		return;
	}
	if (seq != client.expected) {
		client.fault = "expected update " +
			       QByteArray::number(client.expected) + ", got " +
			       QByteArray::number(seq);
		return;
	}
	++client.expected;
	++client.received;
	const qint64 ingestNs =
		fields.value(QLatin1String("bench_ns")).toString().toLongLong();
	if (seq == 1)
		firstIngestNs = ingestNs;
	const double lag = double(arrivedNs - ingestNs) / 1e6;
	client.lagMs.push_back(lag);
	if (size_t(seq) >= slowestBySeq.size())
		slowestBySeq.resize(size_t(seq) + 1, 0);
	slowestBySeq[size_t(seq)] = std::max(slowestBySeq[size_t(seq)], lag);
}

bool connectClients(std::vector<Client> &clients, quint16 port)
{
	sockaddr_in address{};
	address.sin_family = AF_INET;
	address.sin_port = htons(port);
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	for (size_t first = 0; first < clients.size(); first += kConnectBatch) {
		const size_t end =
			std::min(clients.size(), first + kConnectBatch);
		for (size_t i = first; i < end; ++i) {
			const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
			if (fd < 0 ||
			    ::connect(fd,
				      reinterpret_cast<sockaddr *>(&address),
				      sizeof(address)) != 0) {
				std::perror("client connect");
				return false;
			}
			clients[i].fd = fd;
		}
		// Wait for each greeting, so the server has taken this batch
		// before the next one knocks.
		for (size_t i = first; i < end; ++i) {
			Client &client = clients[i];
			while (!client.buffer.contains('\n')) {
				pollfd p{client.fd, POLLIN, 0};
				char chunk[4096];
				ssize_t n = -1;
				if (::poll(&p, 1, 5000) == 1)
					n = ::recv(client.fd, chunk,
						   sizeof(chunk), 0);
				if (n <= 0) {
					std::fprintf(
						stderr,
						"client %zu: no greeting\n", i);
					return false;
				}
				client.buffer.append(chunk, int(n));
			}
			const int lineFeed = int(client.buffer.indexOf('\n'));
			if (!checkGreeting(client.buffer.left(lineFeed))) {
				std::fprintf(stderr,
					     "client %zu: bad greeting\n", i);
				return false;
			}
			client.buffer.remove(0, lineFeed + 1);
			::fcntl(client.fd, F_SETFL,
				::fcntl(client.fd, F_GETFL) | O_NONBLOCK);
		}
	}
	return true;
}

int runClients(int controlFd, int readyFd, int count)
{
	quint16 port = 0;
	if (!readFully(controlFd, &port, sizeof(port)))
		return 1;
	std::vector<Client> clients(static_cast<size_t>(count));
	if (!connectClients(clients, port))
		return 1;

	const int epoll = ::epoll_create1(0);
	for (size_t i = 0; i < clients.size(); ++i) {
		epoll_event event{};
		event.events = EPOLLIN | EPOLLRDHUP;
		event.data.u64 = i;
		::epoll_ctl(epoll, EPOLL_CTL_ADD, clients[i].fd, &event);
	}
	epoll_event controlEvent{};
	controlEvent.events = EPOLLIN;
	controlEvent.data.u64 = ~0ull;
	::epoll_ctl(epoll, EPOLL_CTL_ADD, controlFd, &controlEvent);
	const char ready = 'R';
	writeFully(readyFd, &ready, 1);

	std::vector<double> slowestBySeq;
	qint64 total = -1; // updates sent, once the server says so
	qint64 deadline = 0;
	qint64 firstIngestNs = 0, lastArrivalNs = 0;
	int finished = 0;
	std::vector<epoll_event> events(clients.size() + 1);
	struct Arrived {
		size_t client;
		QByteArray line;
		qint64 ns;
	};
	std::deque<Arrived> unchecked;
	while (total < 0 || (finished < count && nowNs() < deadline)) {
		// Reading comes first: lines are checked only while no socket
		// has bytes waiting, so an arrival time never includes the
		// checking of other lines.
		const int n = ::epoll_wait(epoll, events.data(),
					   int(events.size()),
					   unchecked.empty() ? 100 : 0);
		for (int e = 0; e < n; ++e) {
			if (events[e].data.u64 == ~0ull) {
				if (!readFully(controlFd, &total,
					       sizeof(total)))
					return 1;
				deadline =
					nowNs() + kDrainSeconds * 1000000000ll;
				continue;
			}
			const size_t i = size_t(events[e].data.u64);
			Client &client = clients[i];
			char chunk[65536];
			for (;;) {
				const ssize_t r = ::recv(client.fd, chunk,
							 sizeof(chunk), 0);
				if (r > 0) {
					client.buffer.append(chunk, int(r));
					continue;
				}
				if (r == 0 && client.fault.isEmpty()) {
					client.fault = "connection closed";
					::epoll_ctl(epoll, EPOLL_CTL_DEL,
						    client.fd, nullptr);
				}
				break;
			}
			const qint64 arrivedNs = nowNs();
			int start = 0;
			for (;;) {
				const int lineFeed =
					int(client.buffer.indexOf('\n', start));
				if (lineFeed < 0)
					break;
				unchecked.push_back(
					{i,
					 client.buffer.mid(start,
							   lineFeed - start),
					 arrivedNs});
				start = lineFeed + 1;
				lastArrivalNs = arrivedNs;
			}
			client.buffer.remove(0, start);
		}
		if (n > 0 && unchecked.size() < 100000)
			continue;
		for (int k = 0; k < 32 && !unchecked.empty(); ++k) {
			const Arrived &a = unchecked.front();
			Client &client = clients[a.client];
			if (client.fault.isEmpty())
				checkLine(client, a.line, a.ns, slowestBySeq,
					  firstIngestNs);
			unchecked.pop_front();
		}
		finished = 0;
		for (const Client &client : clients) {
			if (!client.fault.isEmpty() ||
			    (total >= 0 && client.received >= total))
				++finished;
		}
	}

	// Report.
	int faulty = 0;
	long long lines = 0;
	std::vector<double> all;
	size_t slowest = 0;
	double slowestP99 = -1;
	for (size_t i = 0; i < clients.size(); ++i) {
		const Client &client = clients[i];
		lines += client.received;
		all.insert(all.end(), client.lagMs.begin(), client.lagMs.end());
		if (client.fault.isEmpty() && client.received != total)
			std::fprintf(stderr, "client %zu: %d of %lld updates\n",
				     i, client.received, (long long)total);
		else if (!client.fault.isEmpty())
			std::fprintf(stderr, "client %zu: %s\n", i,
				     client.fault.constData());
		if (!client.fault.isEmpty() || client.received != total)
			++faulty;
		const double p99 = percentile(client.lagMs, 99);
		if (p99 > slowestP99) {
			slowestP99 = p99;
			slowest = i;
		}
	}
	if (!slowestBySeq.empty())
		slowestBySeq.erase(
			slowestBySeq.begin()); // there is no update 0
	const std::vector<double> &worst = clients[slowest].lagMs;
	std::printf("clients %d, updates sent %lld, lines checked %lld, "
		    "faulty clients %d\n",
		    count, (long long)total, lines, faulty);
	std::printf("lag ms, every line:               p50 %7.3f  p99 %7.3f  "
		    "max %7.3f\n",
		    percentile(all, 50), percentile(all, 99),
		    percentile(all, 100));
	std::printf("lag ms, last client per update:   p50 %7.3f  p99 %7.3f  "
		    "max %7.3f\n",
		    percentile(slowestBySeq, 50), percentile(slowestBySeq, 99),
		    percentile(slowestBySeq, 100));
	std::printf("lag ms, slowest client (#%zu):     p50 %7.3f  p99 %7.3f  "
		    "max %7.3f\n",
		    slowest, percentile(worst, 50), percentile(worst, 99),
		    percentile(worst, 100));
	std::vector<double> clientP50, clientP99, clientMax;
	for (const Client &client : clients) {
		clientP50.push_back(percentile(client.lagMs, 50));
		clientP99.push_back(percentile(client.lagMs, 99));
		clientMax.push_back(percentile(client.lagMs, 100));
	}
	std::printf("per-client p50 ms: best %.3f median %.3f worst %.3f\n",
		    percentile(clientP50, 0), percentile(clientP50, 50),
		    percentile(clientP50, 100));
	std::printf("per-client p99 ms: best %.3f median %.3f worst %.3f\n",
		    percentile(clientP99, 0), percentile(clientP99, 50),
		    percentile(clientP99, 100));
	std::printf("per-client max ms: best %.3f median %.3f worst %.3f\n",
		    percentile(clientMax, 0), percentile(clientMax, 50),
		    percentile(clientMax, 100));
	const double spanS = double(lastArrivalNs - firstIngestNs) / 1e9;
	std::printf("delivered %lld lines in %.3f s: %.0f lines per second\n",
		    lines, spanS, spanS > 0 ? double(lines) / spanS : 0);
	std::fflush(stdout);
	for (const Client &client : clients)
		::close(client.fd);
	return faulty == 0 && total > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	const int clients = argc > 1 ? std::max(1, atoi(argv[1])) : 300;
	const int seconds = argc > 2 ? std::max(1, atoi(argv[2])) : 15;
	const int rate = argc > 3 ? std::clamp(atoi(argv[3]), 1, 1000) : 20;
	const int total = seconds * rate;
	bench::raiseFileLimit(clients);

	// Fork before Qt starts anything: the clients are plain sockets.
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
	HostedServer server(&live);
	if (!server.start(0, false)) {
		::kill(child, SIGKILL);
		::waitpid(child, nullptr, 0);
		return 1;
	}
	const long rssStart = statusKb("VmRSS");
	const quint16 port = server.serverPort();
	writeFully(control[1], &port, sizeof(port));

	int fewestClients = clients;
	bool feeding = false;
	QObject::connect(&server, &HostedServer::clientsChanged, [&](int n) {
		if (feeding)
			fewestClients = std::min(fewestClients, n);
	});

	long rssConnected = 0, rssEnd = 0;
	double cpuStart = 0, cpuEnd = 0;
	qint64 feedStartNs = 0, feedEndNs = 0;
	std::vector<double> ingestMs;
	int seq = 0;
	QTimer pacer;
	pacer.setSingleShot(true);
	pacer.setTimerType(Qt::PreciseTimer);
	// Each update is due at a fixed offset from the start, so the rate does
	// not drift with the time the updates take.
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
		feedEndNs = nowNs();
		feeding = false;
		cpuEnd = cpuSeconds();
		rssEnd = statusKb("VmRSS");
		const qint64 sent = seq;
		writeFully(control[1], &sent, sizeof(sent));
	});

	QSocketNotifier readyNotifier(ready[0], QSocketNotifier::Read);
	QObject::connect(&readyNotifier, &QSocketNotifier::activated, [&] {
		readyNotifier.setEnabled(false);
		char byte = 0;
		if (::read(ready[0], &byte, 1) != 1 || byte != 'R')
			return; // the child failed; the reaper below sees it
		if (server.clientCount() != clients)
			std::fprintf(stderr, "server counts %d clients\n",
				     server.clientCount());
		rssConnected = statusKb("VmRSS");
		cpuStart = cpuSeconds();
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
	const double feedS = double(feedEndNs - feedStartNs) / 1e9;
	std::printf("server: %d updates in %.3f s (%.1f per second)\n", seq,
		    feedS, feedS > 0 ? (seq - 1) / feedS : 0);
	std::printf("server: ingest and broadcast ms: p50 %.3f p99 %.3f "
		    "max %.3f\n",
		    percentile(ingestMs, 50), percentile(ingestMs, 99),
		    percentile(ingestMs, 100));
	std::printf("server: CPU %.1f%% of one core while feeding\n",
		    feedS > 0 ? 100.0 * (cpuEnd - cpuStart) / feedS : 0);
	std::printf("server: VmRSS kB start %ld, clients connected %ld, "
		    "end %ld; VmHWM %ld\n",
		    rssStart, rssConnected, rssEnd, statusKb("VmHWM"));
	std::printf("server: fewest clients while feeding %d of %d\n",
		    fewestClients, clients);
	const bool ok = childOk && seq == total && fewestClients == clients;
	std::printf("%s\n", ok ? "PASS" : "FAIL");
	return ok ? 0 : 1;
}
