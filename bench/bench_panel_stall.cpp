// The longest UI-thread stall while the device manager talks to a slow
// device. A simulated device on a pseudo-terminal answers every request
// after a fixed delay (default 2000 ms); the manager, shown offscreen,
// walks its tabs, scans for Wi-Fi, runs the network test and loads the
// scoreboard list, while a 10 ms timer on the UI thread records the
// largest gap between two of its ticks. Nothing the panels do may wait
// for the device: the goal is a largest gap under 50 ms.
//
//   bench_panel_stall [seconds] [reply delay ms]   (defaults 30, 2000)
//
// Prints the largest gap, the 99th percentile of the gaps and the tick
// count, in milliseconds. The simulator shares the UI thread, so its own
// work is counted too.
#include "admin/device_session.h"
#include "app.h"
#include "manager/device_manager.h"
#include "manager/status_panel.h"
#include "manager/controller_panel.h"
#include "usb/usb_link.h"
#include "usb_side.h"

#include "support/temp_environment.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace quillmarch;

namespace {

// Nothing listens at the portal address: the restore at start fails at once.
const QString kNoPortal = QStringLiteral("http://127.0.0.1:9");
} // namespace

int main(int argc, char **argv)
{
	qputenv("QT_QPA_PLATFORM", "offscreen");
	QApplication qapp(argc, argv);
	const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
	const int delayMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 2000;

	QTemporaryDir dir;
	App::init(
		std::make_unique<test::TempEnvironment>(dir.path(), kNoPortal));
	sim::DeviceModel::Config config;
	config.password = QStringLiteral("Gym-Scores-2026");
	// Scans and the network test finish within the run.
	config.operationSpeed = 4;
	sim::DeviceModel device(config);
	device.start();
	sim::UsbSide side(&device, sim::UsbSide::Config());
	if (!side.plugIn()) {
		std::fprintf(stderr, "no pseudo-terminal\n");
		return 1;
	}
	auto *session = new DeviceSession(new UsbLink(side.slavePath()));
	session->link()->setParent(session);
	session->start({config.password});
	QElapsedTimer wait;
	wait.start();
	while (session->state() != DeviceSession::Ready &&
	       wait.elapsed() < 20000)
		QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
	if (session->state() != DeviceSession::Ready) {
		std::fprintf(stderr, "the device did not sign in\n");
		return 1;
	}
	// Slow from here on: every answer takes the delay.
	device.setReplyDelayMs(delayMs);

	auto *manager = new DeviceManager(session);
	manager->resize(640, 720);
	manager->show();
	ControllerPanel controller(session);
	controller.show();

	std::vector<double> gaps;
	// The five largest gaps and when they ended, to tell which step
	// caused them.
	std::vector<std::pair<double, double>> worstAt;
	QElapsedTimer clock;
	clock.start();
	qint64 last = clock.nsecsElapsed();
	QTimer probe;
	probe.setTimerType(Qt::PreciseTimer);
	QObject::connect(&probe, &QTimer::timeout, [&] {
		const qint64 now = clock.nsecsElapsed();
		const double gap = (now - last) / 1e6;
		gaps.push_back(gap);
		worstAt.push_back({gap, now / 1e6});
		std::sort(worstAt.rbegin(), worstAt.rend());
		if (worstAt.size() > 5)
			worstAt.pop_back();
		last = now;
	});
	probe.start(10);

	// A user's walk: each step a few seconds after the last, while the
	// answers to the earlier ones are still on their way.
	QTimer::singleShot(0, manager, [manager] { manager->showPage(0); });
	QTimer::singleShot(500, manager, [manager] {
		for (auto *b : manager->findChildren<QPushButton *>())
			if (b->text() == QLatin1String("Run network test"))
				b->click();
	});
	QTimer::singleShot(1000, manager, [manager] { manager->showPage(1); });
	QTimer::singleShot(1500, &controller,
			   [&controller] { controller.load(); });
	for (int page = 2; page < manager->count(); ++page)
		QTimer::singleShot(2000 + page * 3000, manager,
				   [manager, page] {
					   manager->showPage(page);
				   });
	QTimer::singleShot(seconds * 1000, &qapp, &QCoreApplication::quit);
	qapp.exec();
	probe.stop();

	delete manager;
	delete session;
	App::shutdown();

	// The interval itself is not a stall.
	std::sort(gaps.begin(), gaps.end());
	const double worst = gaps.empty() ? 0 : gaps.back();
	const double p99 =
		gaps.empty() ? 0 : gaps[size_t(double(gaps.size() - 1) * 0.99)];
	std::printf("reply delay %d ms, %d s, %zu ticks: largest gap %.1f ms "
		    "(stall %.1f ms beyond the 10 ms tick), 99th percentile "
		    "%.1f ms\n",
		    delayMs, seconds, gaps.size(), worst,
		    std::max(0.0, worst - 10.0), p99);
	for (const auto &w : worstAt)
		std::printf("  gap %.1f ms ending at %.0f ms\n", w.first,
			    w.second);
	return worst - 10.0 < 50.0 ? 0 : 2;
}
