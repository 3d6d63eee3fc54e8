#include "usb/serial_port.h"
#include "usb/serial_posix.h"

#include "support/pty_pair.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <clocale>
#include <memory>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using quillmarch::SerialPort;
using quillmarch::test::PtyPair;
namespace sp = quillmarch::serial_platform;

namespace {

const QString kInUse = QStringLiteral(
	"That USB port is in use by another program (close any serial "
	"monitor) or access was denied.");
const QString kNotSerial = QStringLiteral("That is not a serial port.");

using Handle = std::unique_ptr<sp::PortHandle, void (*)(sp::PortHandle *)>;

Handle openHandle(const QString &path, int baud = 115200,
		  QString *error = nullptr)
{
	return Handle(sp::openPort(path, baud, error), &sp::closePort);
}

// The number the next descriptor gets; a leaked descriptor changes it.
int lowestFreeFd()
{
	const int fd = ::open("/dev/null", O_RDONLY);
	::close(fd);
	return fd;
}

QByteArray readNow(sp::PortHandle *handle)
{
	QByteArray got;
	char buffer[4096];
	qint64 n;
	while ((n = sp::readSome(handle, buffer, sizeof buffer)) > 0)
		got.append(buffer, int(n));
	return got;
}

QByteArray pattern(int size)
{
	QByteArray bytes(size, Qt::Uninitialized);
	for (int i = 0; i < size; ++i)
		bytes[i] = char(i % 251);
	return bytes;
}

// Root passes the kernel's exclusive-use and permission checks, so a test
// running as root acts as an ordinary user (nobody) while this lives.
struct AsOrdinaryUser {
	const bool switched = ::geteuid() == 0 && ::seteuid(65534) == 0;
	const bool failed = ::geteuid() == 0;
	~AsOrdinaryUser()
	{
		if (switched && ::seteuid(0) != 0)
			qFatal("could not return to root");
	}
};

} // namespace

class TestSerialPort : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void initTestCase();
	void listsCandidatePortsByName();
	void baudRates();
	void openMakesTheLineRawExclusiveAndEmpty();
	void openFailures();
	void heldOrForbiddenPortIsReportedAsInUse();
	void bytesFromTheDeviceArriveWholeAndInOrder();
	void receiverMayCloseOrDeleteThePortMidTick();
	void writes();
	void unplugIsReportedOnce();
	void reopenAndDestructionReleaseThePort();

private:
	std::unique_ptr<QTemporaryDir> m_tmp;
};

void TestSerialPort::initTestCase()
{
	// The system's error texts are part of the messages under test.
	std::setlocale(LC_MESSAGES, "C");
	m_tmp = std::make_unique<QTemporaryDir>();
	QVERIFY(m_tmp->isValid());
	PtyPair pty;
	QVERIFY2(pty.isValid(), "pseudo-terminals are not available");
}

void TestSerialPort::listsCandidatePortsByName()
{
	QTemporaryDir tmp;
	QVERIFY(tmp.isValid());
	const QDir dir(tmp.path());
	QVERIFY(sp::listIn(tmp.path()).isEmpty());
	for (const char *name :
	     {"cu.usbmodem1101", "cu.SLAB_USBtoUART", "tty.usbmodem1101",
	      "ttyACM0", "CU.USBSERIAL", "cu.USBMODEM7", "cu.wchusbserial1410",
	      "cu.CH340", "ttyacm3", "cu.Bluetooth-Incoming-Port", "ttyS0"}) {
		QFile f(dir.filePath(QString::fromLatin1(name)));
		QVERIFY(f.open(QIODevice::WriteOnly));
	}
	// Device nodes are not regular files; a FIFO stands in for one.
	QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("ttyUSB1")), 0600), 0);
	QVERIFY(dir.mkdir(QStringLiteral("ttyUSB9")));

	// Patterns ignore case; the "likely" tests do not.
	const QString expected = "CU.USBSERIAL cu.CH340 cu.SLAB_USBtoUART "
				 "cu.USBMODEM7 cu.usbmodem1101! "
				 "cu.wchusbserial1410 ttyACM0! ttyUSB1 ttyacm3";
	for (const QString &path :
	     {tmp.path(), tmp.path() + QLatin1Char('/')}) {
		QStringList got;
		for (const quillmarch::SerialPortInfo &p : sp::listIn(path)) {
			QCOMPARE(p.path, dir.filePath(p.name));
			got << p.name + (p.likelyDevice ? "!" : "");
		}
		QCOMPARE(got.join(' '), expected);
	}
	QVERIFY(sp::listIn(dir.filePath("missing")).isEmpty());
}

// The rates the firmware speaks are kept; others fall back to 115200.
void TestSerialPort::baudRates()
{
	const std::pair<int, speed_t> rates[] = {
		{9600, B9600},     {19200, B19200},   {38400, B38400},
		{57600, B57600},   {115200, B115200}, {230400, B230400},
		{250000, B115200}, {0, B115200},      {4800, B115200}};
	for (const auto &[requested, speed] : rates) {
		QCOMPARE(sp::effectiveBaudRate(requested),
			 speed == B115200 ? 115200 : requested);
		PtyPair pty;
		QVERIFY(openHandle(pty.slavePath(), requested));
		termios tio;
		QCOMPARE(::tcgetattr(pty.slaveFd(), &tio), 0);
		QCOMPARE(::cfgetospeed(&tio), speed);
		QCOMPARE(::cfgetispeed(&tio), speed);
	}
}

void TestSerialPort::openMakesTheLineRawExclusiveAndEmpty()
{
	PtyPair pty;
	// Left over from before the port was opened; must not reach the reader.
	QVERIFY(pty.writeMaster("stale\n"));

	const int fd = lowestFreeFd();
	const Handle port = openHandle(pty.slavePath());
	QVERIFY(port);
	// Programs the plug-in starts must not inherit the port.
	QVERIFY(::fcntl(fd, F_GETFD) & FD_CLOEXEC);

	termios tio;
	QCOMPARE(::tcgetattr(pty.slaveFd(), &tio), 0);
	QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
	QCOMPARE(tio.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
	QCOMPARE(tio.c_cflag & (CSTOPB | PARENB | HUPCL), tcflag_t(0));
#ifdef CRTSCTS
	QCOMPARE(tio.c_cflag & CRTSCTS, tcflag_t(0));
#endif
	QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
	QCOMPARE(tio.c_iflag & (ICRNL | IXON | ISTRIP), tcflag_t(0));
	QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
	QCOMPARE(int(tio.c_cc[VMIN]), 0);
	QCOMPARE(int(tio.c_cc[VTIME]), 0);
#ifdef TIOCGEXCL
	int exclusive = -1;
	QCOMPARE(::ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
	QCOMPARE(exclusive, 1);
#endif

	QCOMPARE(readNow(port.get()), QByteArray());
	// Control characters pass untouched: no CR/LF mapping, no signals,
	// no software flow control.
	const QByteArray controls("\r\n\x03\x11\x13\x04\x7f", 7);
	QVERIFY(pty.writeMaster(controls));
	QByteArray got;
	QTRY_COMPARE(got += readNow(port.get()), controls);
}

// Through the platform layer and the port alike, and without leaking a
// descriptor.
void TestSerialPort::openFailures()
{
	const QString regular = m_tmp->filePath("regular");
	QVERIFY(QFile(regular).open(QIODevice::WriteOnly));
	const QString cannot = "Could not open the USB port: ";
	for (const auto &[path, error] :
	     {std::pair{m_tmp->filePath("missing"),
			cannot + "No such file or directory"},
	      {m_tmp->path(), cannot + "Is a directory"},
	      {regular, kNotSerial},
	      {QString("/dev/null"), kNotSerial}}) {
		const int fd = lowestFreeFd();
		QString text;
		QVERIFY(!openHandle(path, 115200, &text));
		QCOMPARE(text, error);
		SerialPort port;
		text.clear();
		QVERIFY(!port.open(path, 115200, &text));
		QCOMPARE(text, error);
		QVERIFY(!port.isOpen());
		QCOMPARE(lowestFreeFd(), fd);
	}
}

void TestSerialPort::heldOrForbiddenPortIsReportedAsInUse()
{
	PtyPair pty;
	// Everyone may open the terminal, so only a claim can refuse them.
	QCOMPARE(::fchmod(pty.slaveFd(), 0666), 0);
	const QString forbidden = m_tmp->filePath("forbidden");
	QVERIFY(QFile(forbidden).open(QIODevice::WriteOnly));
	QCOMPARE(::chmod(QFile::encodeName(forbidden), 0), 0);
	{
		AsOrdinaryUser user;
		if (user.failed)
			QSKIP("cannot act as an ordinary user here");
		QVERIFY2(openHandle(pty.slavePath()),
			 "an unclaimed terminal must open");
	}

	Handle owner = openHandle(pty.slavePath());
	QVERIFY(owner);
	{
		AsOrdinaryUser user;
		QString error;
		QVERIFY(!openHandle(pty.slavePath(), 115200, &error));
		QCOMPARE(error, kInUse);
		error.clear();
		QVERIFY(!openHandle(forbidden, 115200, &error));
		QCOMPARE(error, kInUse);
	}

	// Closing gives the claim up, even though the terminal itself lives on.
	owner.reset();
	AsOrdinaryUser user;
	QVERIFY(openHandle(pty.slavePath()));
}

void TestSerialPort::bytesFromTheDeviceArriveWholeAndInOrder()
{
	PtyPair pty;
	SerialPort port;
	QByteArray received;
	int chunks = 0;
	int largest = 0;
	connect(&port, &SerialPort::readyRead, [&](const QByteArray &data) {
		QVERIFY(!data.isEmpty());
		received += data;
		++chunks;
		largest = qMax(largest, int(data.size()));
	});
	QSignalSpy errors(&port, &SerialPort::errorOccurred);
	QVERIFY(port.open(pty.slavePath(), 115200));

	// Reads on an idle line return no bytes; that is not a failure.
	for (int i = 0; i < 3; ++i)
		port.poll();
	QVERIFY(port.isOpen());
	QCOMPARE(chunks, 0);

	QVERIFY(pty.writeMaster("hello"));
	QTRY_COMPARE(received, QByteArray("hello"));
	QCOMPARE(chunks, 1);

	// Far more than the terminal buffers hold: the device side refills
	// as the port drains it, over many ticks.
	received.clear();
	const QByteArray payload = pattern(192 * 1024);
	bool written = false;
	std::thread device([&] { written = pty.writeMaster(payload, 20000); });
	QTRY_COMPARE_WITH_TIMEOUT(received.size(), payload.size(), 20000);
	device.join();
	QVERIFY(written);
	QVERIFY(received == payload);
	QVERIFY(largest <= SerialPort::kReadChunk);
	QCOMPARE(errors.count(), 0);
}

// A receiver that closes or deletes the port ends the tick without the port
// touching itself again, though more than one read's worth is waiting
// (AddressSanitizer builds catch a use after free).
void TestSerialPort::receiverMayCloseOrDeleteThePortMidTick()
{
	PtyPair pty;
	for (const bool remove : {false, true}) {
		auto *port = new SerialPort;
		QSignalSpy errors(port, &SerialPort::errorOccurred);
		int chunks = 0;
		connect(port, &SerialPort::readyRead, [&] {
			++chunks;
			if (!remove)
				port->close();
			else
				delete std::exchange(port, nullptr);
		});
		QVERIFY(port->open(pty.slavePath(), 115200));
		QVERIFY(pty.writeMaster(pattern(9000)));
		port->poll();
		QCOMPARE(chunks, 1);
		QCOMPARE(errors.count(), 0);
		if (port) {
			QVERIFY(!port->isOpen());
			port->poll();
			QVERIFY(!port->write("x"));
			delete port;
		}
	}
}

void TestSerialPort::writes()
{
	PtyPair pty;
	SerialPort port;
	QVERIFY(port.open(pty.slavePath(), 115200));
	QVERIFY(port.write(QByteArray()));

	// Several times what the terminal buffers hold, so the write has to
	// wait for the device to catch up again and again.
	const QByteArray payload = pattern(256 * 1024);
	QByteArray received;
	std::thread device(
		[&] { received = pty.readMaster(payload.size(), 20000); });
	const bool written = port.write(payload);
	device.join();
	QVERIFY(written);
	QVERIFY(received == payload);

	// Nobody reads the device side now, so the output fills and stays
	// full: the write gives up after a few seconds.
	QElapsedTimer clock;
	clock.start();
	QVERIFY(!port.write(payload));
	const qint64 waited = clock.elapsed();
	QVERIFY2(waited >= 3000 && waited < 10000,
		 qPrintable(QString::number(waited)));
	// The port survives; what went out is an intact prefix, and once the
	// device reads again writing works.
	QVERIFY(port.isOpen());
	const QByteArray through = pty.drainMaster();
	QVERIFY(!through.isEmpty() && through.size() < payload.size());
	QVERIFY(payload.startsWith(through));
	QVERIFY(port.write("more"));
}

void TestSerialPort::unplugIsReportedOnce()
{
	PtyPair pty;
	SerialPort port;
	QSignalSpy data(&port, &SerialPort::readyRead);
	QSignalSpy errors(&port, &SerialPort::errorOccurred);
	bool openWhenReported = true;
	connect(&port, &SerialPort::errorOccurred,
		[&] { openWhenReported = port.isOpen(); });
	QVERIFY(port.open(pty.slavePath(), 115200));
	QVERIFY(pty.writeMaster("last words"));
	QTRY_COMPARE(data.count(), 1);

	pty.closeMaster();
	QTRY_COMPARE(errors.count(), 1);
	QCOMPARE(errors.at(0).at(0).toString(),
		 "The USB device was unplugged or stopped responding.");
	QVERIFY(!openWhenReported);
	QVERIFY(!port.isOpen());
	port.poll();
	QCOMPARE(errors.count(), 1);
	QCOMPARE(data.count(), 1);

	// The same loss seen through the platform layer: a hung-up terminal
	// reads as failed (not as an idle line), a write gives up at once.
	PtyPair other;
	const Handle handle = openHandle(other.slavePath());
	QVERIFY(handle);
	other.closeMaster();
	char buffer[16];
	QCOMPARE(sp::readSome(handle.get(), buffer, sizeof buffer), qint64(-1));
	QElapsedTimer clock;
	clock.start();
	QVERIFY(!sp::writeAll(handle.get(), "x"));
	QVERIFY(clock.elapsed() < 1000);
}

void TestSerialPort::reopenAndDestructionReleaseThePort()
{
	PtyPair first, second;
	const int freeBefore = lowestFreeFd();

	SerialPort port;
	QSignalSpy data(&port, &SerialPort::readyRead);
	QVERIFY(port.open(first.slavePath(), 115200));
	const int freeWithOne = lowestFreeFd();
	QVERIFY(port.open(second.slavePath(), 115200));
	QCOMPARE(lowestFreeFd(), freeWithOne);
	QVERIFY(second.writeMaster("second"));
	QTRY_COMPARE(data.count(), 1);
	QCOMPARE(data.at(0).at(0).toByteArray(), QByteArray("second"));

	// A failed open still lets go of the port that was open before.
	QVERIFY(!port.open(m_tmp->filePath("missing"), 115200));
	QVERIFY(!port.isOpen());
	QCOMPARE(lowestFreeFd(), freeBefore);

	{
		SerialPort scoped;
		QVERIFY(scoped.open(first.slavePath(), 115200));
		QCOMPARE(lowestFreeFd(), freeWithOne);
	}
	QCOMPARE(lowestFreeFd(), freeBefore);
}

QTEST_GUILESS_MAIN(TestSerialPort)
#include "tst_serial_port.moc"
