#include "usb/serial_posix.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace quillmarch::serial_platform {

struct PortHandle {
	int fd;
};

namespace {

// Hardware flow control is one flag pair on macOS and one flag on Linux.
#if defined(CCTS_OFLOW) && defined(CRTS_IFLOW)
constexpr tcflag_t kHardwareFlowControl = CCTS_OFLOW | CRTS_IFLOW;
#elif defined(CRTSCTS)
constexpr tcflag_t kHardwareFlowControl = CRTSCTS;
#else
constexpr tcflag_t kHardwareFlowControl = 0;
#endif

// A stalled output gets this many short waits in a row before a write gives
// up; any progress starts the count again.
constexpr int kWriteRetries = 31;
constexpr int kWriteWaitMs = 100;

QString tr(const char *text)
{
	return QCoreApplication::translate("SerialPort", text);
}

void setError(QString *error, const QString &text)
{
	if (error)
		*error = text;
}

speed_t speedFor(int baud)
{
	switch (baud) {
	case 9600:
		return B9600;
	case 19200:
		return B19200;
	case 38400:
		return B38400;
	case 57600:
		return B57600;
	case 230400:
		return B230400;
	default:
		return B115200;
	}
}

bool isTransient(int err)
{
	return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// With VMIN and VTIME at 0 an idle line reads as 0 bytes, and so does a
// terminal that was hung up underneath us: Linux reports an unplugged USB
// adapter, or a pseudo-terminal whose master closed, as end of file rather
// than as an error. Only the hang-up flags tell the two apart.
bool isHungUp(int fd)
{
	pollfd pfd{fd, POLLIN, 0};
	if (::poll(&pfd, 1, 0) <= 0)
		return false;
	return (pfd.revents & (POLLHUP | POLLERR)) != 0;
}

} // namespace

QList<SerialPortInfo> list()
{
	return listIn(QStringLiteral("/dev"));
}

QList<SerialPortInfo> listIn(const QString &directory)
{
	// Call-out devices only on macOS (cu.*): their dial-in twins (tty.*)
	// would wait for a carrier that a USB adapter never raises.
	static const QStringList patterns = {
		QStringLiteral("cu.usb*"),  QStringLiteral("cu.wch*"),
		QStringLiteral("cu.SLAB*"), QStringLiteral("cu.CH34*"),
		QStringLiteral("ttyUSB*"),  QStringLiteral("ttyACM*")};

	const QDir dir(directory);
	// Name filters match without regard to case unless told otherwise.
	QStringList names = dir.entryList(
		patterns, QDir::Files | QDir::System | QDir::NoDotAndDotDot,
		QDir::NoSort);
	std::sort(names.begin(), names.end());

	QList<SerialPortInfo> ports;
	ports.reserve(names.size());
	for (const QString &name : names) {
		SerialPortInfo info;
		info.path = dir.filePath(name);
		info.name = name;
		info.likelyDevice = name.contains(QLatin1String("usbmodem")) ||
				    name.startsWith(QLatin1String("ttyACM"));
		ports.append(info);
	}
	return ports;
}

int effectiveBaudRate(int requested)
{
	switch (requested) {
	case 9600:
	case 19200:
	case 38400:
	case 57600:
	case 230400:
		return requested;
	default:
		return 115200;
	}
}

PortHandle *openPort(const QString &path, int baud, QString *error)
{
	// Close-on-exec keeps the port (and its exclusive claim) out of the
	// programs the plug-in starts.
	const QByteArray native = QFile::encodeName(path);
	const int fd = ::open(native.constData(),
			      O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		const int err = errno;
		if (err == EBUSY || err == EACCES) {
			setError(
				error,
				tr("That USB port is in use by another program "
				   "(close any serial monitor) or access was "
				   "denied."));
		} else {
			setError(error, tr("Could not open the USB port: %1")
						.arg(QString::fromLocal8Bit(
							std::strerror(err))));
		}
		return nullptr;
	}

	termios tio;
	if (::tcgetattr(fd, &tio) != 0) {
		::close(fd);
		setError(error, tr("That is not a serial port."));
		return nullptr;
	}

	::cfmakeraw(&tio);
	// 8N1 without flow control. HUPCL stays off so closing the port does
	// not drop the modem lines and reset the board.
	tio.c_cflag &=
		~(tcflag_t(CSIZE | CSTOPB | CREAD | PARENB | HUPCL | CLOCAL) |
		  kHardwareFlowControl);
	tio.c_cflag |= CS8 | CREAD | CLOCAL;
	tio.c_cc[VMIN] = 0;
	tio.c_cc[VTIME] = 0;
	const speed_t speed = speedFor(effectiveBaudRate(baud));
	::cfsetispeed(&tio, speed);
	::cfsetospeed(&tio, speed);

	// What follows is best effort: pseudo-terminals and some adapters
	// reject the modem-line request, and the port is usable regardless.
	::tcsetattr(fd, TCSANOW, &tio);
	// Boards that wire reset and boot mode to DTR and RTS would otherwise
	// restart, or stop in their boot loader, when the port opens.
	int lines = TIOCM_DTR | TIOCM_RTS;
	::ioctl(fd, TIOCMBIC, &lines);
#ifdef TIOCEXCL
	// A serial monitor opening the port later gets EBUSY instead of
	// stealing half of the device's bytes.
	::ioctl(fd, TIOCEXCL);
#endif
	::tcflush(fd, TCIOFLUSH);

	return new PortHandle{fd};
}

void closePort(PortHandle *handle)
{
	if (!handle)
		return;
#ifdef TIOCNXCL
	// The claim normally ends with the last close, but a pseudo-terminal
	// (the device simulator, for one) keeps it for as long as its master
	// is open and would refuse everyone, this program included, after us.
	::ioctl(handle->fd, TIOCNXCL);
#endif
	::close(handle->fd);
	delete handle;
}

qint64 readSome(PortHandle *handle, char *buffer, qint64 length)
{
	if (!handle)
		return -1;
	if (length <= 0)
		return 0;
	const ssize_t n = ::read(handle->fd, buffer, size_t(length));
	if (n > 0)
		return n;
	if (n == 0)
		return isHungUp(handle->fd) ? -1 : 0;
	return isTransient(errno) ? 0 : -1;
}

bool writeAll(PortHandle *handle, const QByteArray &bytes)
{
	if (bytes.isEmpty())
		return true;
	if (!handle)
		return false;

	const char *next = bytes.constData();
	size_t left = size_t(bytes.size());
	int retries = kWriteRetries;
	while (left > 0) {
		const ssize_t n = ::write(handle->fd, next, left);
		if (n > 0) {
			next += n;
			left -= size_t(n);
			retries = kWriteRetries;
			continue;
		}
		if (n == 0 || !isTransient(errno))
			return false;
		pollfd pfd{handle->fd, POLLOUT, 0};
		::poll(&pfd, 1, kWriteWaitMs);
		if (--retries == 0)
			return false;
	}
	return true;
}

} // namespace quillmarch::serial_platform
