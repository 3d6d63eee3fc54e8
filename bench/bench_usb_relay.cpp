// Sustained cloud relay throughput toward a USB device, and what it costs
// the plug-in. A simulated device on a pseudo-terminal asks for its cloud
// connection; a local "cloud" server keeps the relay fed (never so far
// ahead that the pipe queue would overflow). The device, its cable side and
// the cloud run on their own thread, so the main thread's CPU time is the
// plug-in's alone: the USB link, its frame pacing and the cloud relay.
//
//   bench_usb_relay [seconds]   (default 20)
//
// Prints the bytes per second the device received against the pacing limit
// (512-byte pipe frames every 40 ms: 12800 B/s), and the plug-in's CPU time
// per megabyte relayed and as a share of one core.
#include "usb/usb_link.h"
#include "usb_side.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <ctime>

using namespace quillmarch;

namespace {

double threadCpuSeconds()
{
	timespec ts{};
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
	return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::atomic<quint64> g_received{0};

// Everything outside the plug-in, on its own thread.
class World : public QObject {
public:
	QString slavePath;

	void start()
	{
		m_cloud = new QTcpServer(this);
		m_cloud->listen(QHostAddress::LocalHost);
		connect(m_cloud, &QTcpServer::newConnection, this, [this] {
			m_peer = m_cloud->nextPendingConnection();
			m_peer->readAll();
			auto *feed = new QTimer(this);
			connect(feed, &QTimer::timeout, this, &World::feed);
			feed->start(10);
		});
		sim::UsbSide::Config config;
		config.tunnelHost = QStringLiteral("127.0.0.1");
		config.tunnelPort = m_cloud->serverPort();
		m_device = new sim::DeviceModel(this);
		m_side = new sim::UsbSide(m_device, config, this);
		connect(m_side, &sim::UsbSide::pipeReceived, this,
			[](const QByteArray &bytes) {
				g_received += quint64(bytes.size());
			});
		connect(m_side, &sim::UsbSide::helloReceived, this,
			[this] { m_side->sendPipe("hello cloud"); });
		m_side->plugIn();
		slavePath = m_side->slavePath();
	}

	void dialCloud() { m_side->sendPipe("hello cloud"); }

private:
	// Stays about 64 KiB ahead of the device: enough that the pacing,
	// not the cloud, sets the rate; far below the queue's overflow.
	void feed()
	{
		const quint64 ahead = m_sent - g_received.load();
		if (ahead < 64 * 1024) {
			const QByteArray block(16 * 1024, 'c');
			m_peer->write(block);
			m_sent += quint64(block.size());
		}
	}

	QTcpServer *m_cloud = nullptr;
	QTcpSocket *m_peer = nullptr;
	sim::DeviceModel *m_device = nullptr;
	sim::UsbSide *m_side = nullptr;
	quint64 m_sent = 0;
};

} // namespace

int main(int argc, char **argv)
{
	QCoreApplication app(argc, argv);
	const int seconds = argc > 1 ? qMax(3, atoi(argv[1])) : 20;

	QThread worldThread;
	World world;
	world.moveToThread(&worldThread);
	worldThread.start();
	QMetaObject::invokeMethod(
		&world, [&world] { world.start(); },
		Qt::BlockingQueuedConnection);

	// Runs the main thread's event loop for ms, or until stop is true.
	const auto run = [](int ms, const bool *stop = nullptr) {
		QEventLoop loop;
		QTimer::singleShot(ms, &loop, &QEventLoop::quit);
		QTimer poll;
		if (stop) {
			QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
				if (*stop)
					loop.quit();
			});
			poll.start(10);
		}
		loop.exec();
	};

	UsbLink link(world.slavePath);
	bool opened = false;
	QObject::connect(&link, &DeviceLink::opened, [&] { opened = true; });
	link.open();
	run(5000, &opened);
	if (!opened) {
		std::fprintf(stderr, "the simulated device did not answer\n");
		return 1;
	}
	// The device asks for its cloud connection; the relay then reaches
	// its steady state before the measurement starts.
	QMetaObject::invokeMethod(&world, [&world] { world.dialCloud(); });
	run(2000);

	const quint64 bytes0 = g_received.load();
	const double cpu0 = threadCpuSeconds();
	QElapsedTimer wall;
	wall.start();
	run(seconds * 1000);
	const double elapsed = double(wall.nsecsElapsed()) / 1e9;
	const double cpu = threadCpuSeconds() - cpu0;
	const double bytes = double(g_received.load() - bytes0);

	const double limit = 512.0 / 0.040;
	std::printf("relay toward the device: %.0f B/s over %.1f s "
		    "(%.1f %% of the %.0f B/s pacing limit)\n",
		    bytes / elapsed, elapsed, 100.0 * bytes / elapsed / limit,
		    limit);
	std::printf("plug-in CPU: %.1f ms per MB relayed, %.3f %% of one "
		    "core\n",
		    bytes > 0 ? 1000.0 * cpu / (bytes / 1e6) : 0.0,
		    100.0 * cpu / elapsed);
	link.close();
	worldThread.quit();
	worldThread.wait();
	return bytes > 0 ? 0 : 1;
}
