// The dock's cost on the UI thread for each live change, at 20 updates a
// second: a 30-field envelope is ingested every 50 ms (score and clock move
// every time, so the score line always changes) into the live data that an
// offscreen dock follows. Per update it takes the UI thread's CPU time of
//
//   refresh  the dock's own handler of LiveData::changed (the score line);
//   layout   the layout the new text asks for;
//   paint    the repaint of the score line, as the next frame does it;
//   total    the three together;
//
// and the wall time of the three together ("wall"), which on a busy
// machine also counts the time other processes held the core.
//
//   bench_dock_refresh [seconds]   (default 20; other arguments are ignored)
//
// Prints the median, the 99th percentile and the maximum in microseconds;
// the budget is 1 ms of the UI thread per update.
#include "app.h"
#include "dock/dock.h"
#include "dock/dock_host.h"
#include "dock/score_line.h"

#include "latency_stats.h"

#include "support/temp_environment.h"

#include <QApplication>
#include <QJsonObject>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

using namespace quillmarch;

using bench::nowNs;
using bench::percentile;

namespace {

// Nothing listens at the portal address: the restore at start fails at once.
const QString kNoPortal = QStringLiteral("http://127.0.0.1:9");
struct NoScene : DockHost {
	void addSourceToCurrentScene(const QString &, const QString &) override
	{
	}
};

QJsonObject envelope(int tick)
{
	QJsonObject fields;
	fields.insert(QStringLiteral("home_score"), tick / 7 % 150);
	fields.insert(QStringLiteral("away_score"), tick / 11 % 150);
	fields.insert(QStringLiteral("clock"),
		      QStringLiteral("%1:%2.%3")
			      .arg(tick / 1200 % 12)
			      .arg(tick / 20 % 60, 2, 10, QChar('0'))
			      .arg(tick % 20 / 2));
	fields.insert(QStringLiteral("period"), 1 + tick / 12000 % 4);
	for (int i = 0; i < 26; ++i)
		fields.insert(QStringLiteral("stat_%1").arg(i, 2, 10,
							    QChar('0')),
			      (tick + i) % 9);
	return QJsonObject{{QStringLiteral("type"), QStringLiteral("state")},
			   {QStringLiteral("sport"),
			    QStringLiteral("basketball")},
			   {QStringLiteral("fields"), fields}};
}

// A moment on two clocks: the wall and this thread's CPU time. The CPU
// time is the dock's cost to the UI thread; on a busy machine the wall
// time also counts the time other processes had the core.
struct Stamp {
	qint64 wallNs = 0;
	qint64 cpuNs = 0;

	static Stamp now()
	{
		timespec cpu{};
		clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
		return Stamp{nowNs(),
			     qint64(cpu.tv_sec) * 1000000000 + cpu.tv_nsec};
	}
	static double cpuUs(const Stamp &from, const Stamp &to)
	{
		return double(to.cpuNs - from.cpuNs) / 1e3;
	}
	static double wallUs(const Stamp &from, const Stamp &to)
	{
		return double(to.wallNs - from.wallNs) / 1e3;
	}
};

void report(const char *what, const std::vector<double> &us)
{
	std::printf("%-8s median %7.1f us   p99 %7.1f us   max %7.1f us\n",
		    what, percentile(us, 50), percentile(us, 99),
		    percentile(us, 100));
}

} // namespace

int main(int argc, char **argv)
{
	int seconds = 20;
	for (int i = 1; i < argc; ++i) {
		const int n = std::atoi(argv[i]);
		if (n > 0)
			seconds = n;
	}
	if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
		qputenv("QT_QPA_PLATFORM", "offscreen");
	QApplication application(argc, argv);

	QTemporaryDir dir;
	App::init(
		std::make_unique<test::TempEnvironment>(dir.path(), kNoPortal));
	LiveData &live = App::get()->liveData();

	// Slots run in the order they were connected: these two bracket the
	// dock's own handler.
	Stamp refreshStart;
	Stamp refreshEnd;
	QObject::connect(&live, &LiveData::changed,
			 [&] { refreshStart = Stamp::now(); });
	auto *dock = new Dock(std::make_unique<NoScene>());
	QObject::connect(&live, &LiveData::changed,
			 [&] { refreshEnd = Stamp::now(); });
	dock->resize(380, 760);
	dock->show();

	live.ingest(envelope(0));
	QCoreApplication::processEvents();
	QLabel *scoreLabel = nullptr;
	for (QLabel *label : dock->findChildren<QLabel *>())
		if (label->text() == scoreLine(live))
			scoreLabel = label;
	if (!scoreLabel) {
		std::fprintf(stderr, "the dock shows no score line\n");
		return 1;
	}

	const int updates = seconds * 20;
	std::vector<double> refresh, layout, paint, total, totalWall;
	int tick = 1;
	QTimer timer;
	timer.setTimerType(Qt::PreciseTimer);
	QObject::connect(&timer, &QTimer::timeout, [&] {
		const QJsonObject next = envelope(tick++);
		live.ingest(next);
		const Stamp layoutStart = Stamp::now();
		QCoreApplication::sendPostedEvents(nullptr,
						   QEvent::LayoutRequest);
		const Stamp paintStart = Stamp::now();
		scoreLabel->repaint();
		const Stamp paintEnd = Stamp::now();
		refresh.push_back(Stamp::cpuUs(refreshStart, refreshEnd));
		layout.push_back(Stamp::cpuUs(layoutStart, paintStart));
		paint.push_back(Stamp::cpuUs(paintStart, paintEnd));
		total.push_back(refresh.back() + layout.back() + paint.back());
		totalWall.push_back(Stamp::wallUs(refreshStart, refreshEnd) +
				    Stamp::wallUs(layoutStart, paintEnd));
		if (int(total.size()) == updates)
			QCoreApplication::quit();
	});
	timer.start(50);
	std::printf("dock refresh: %d updates at 20 per second "
		    "(UI thread's CPU time, wall time for comparison)\n",
		    updates);
	application.exec();

	report("refresh", refresh);
	report("layout", layout);
	report("paint", paint);
	report("total", total);
	report("wall", totalWall);
	delete dock;
	App::shutdown();
	return 0;
}
