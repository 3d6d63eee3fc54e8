#include "device_process.h"

#include "ble_side.h"
#include "device_model.h"
#include "feed_side.h"
#include "http_side.h"
#include "usb_side.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcProcess, "quillmarch.sim")

namespace quillmarch::sim {

namespace {

// The handler only writes the signal number into this socket pair; the
// event loop reads it on the other end and does the real work there.
int g_signalPair[2] = {-1, -1};

extern "C" void onUnixSignal(int number)
{
	const int saved = errno;
	const char byte = char(number);
	[[maybe_unused]] const ssize_t n = ::write(g_signalPair[0], &byte, 1);
	errno = saved;
}

// Machine-readable lines for whoever started us: flushed at once, since
// stdout is usually a pipe.
void printLine(const QString &line)
{
	std::fputs(line.toLocal8Bit().constData(), stdout);
	std::fputc('\n', stdout);
	std::fflush(stdout);
}

QString endpoint(const QHostAddress &address, quint16 port)
{
	const QString host =
		address.protocol() == QAbstractSocket::IPv6Protocol
			? QStringLiteral("[%1]").arg(address.toString())
			: address.toString();
	return QStringLiteral("%1:%2").arg(host).arg(port);
}

// A device on the network has been set up for it, so it has an access
// token; the same seed and id give the same one, which keeps demos and
// tests repeatable.
QString derivedToken(const DeviceModel::Config &device)
{
	const QByteArray seed = "quillmarch-sim " +
				QByteArray::number(device.seed) + ' ' +
				device.deviceId.toUtf8();
	return QString::fromLatin1(
		QCryptographicHash::hash(seed, QCryptographicHash::Sha1)
			.toHex());
}

} // namespace

DeviceProcess::DeviceProcess(const DeviceOptions &options, QObject *parent)
	: QObject(parent),
	  m_options(options)
{
	const bool network = m_options.http || m_options.feed;
	if (network && m_options.device.apiToken.isEmpty())
		m_options.device.apiToken = derivedToken(m_options.device);
	FeedSide::Config &feed = m_options.feedSide;
#ifdef QUILLMARCH_SIM_TLS_DIR
	if (feed.certificatePath.isEmpty() && feed.keyPath.isEmpty()) {
		feed.certificatePath =
			QStringLiteral(QUILLMARCH_SIM_TLS_DIR "/sim-cert.pem");
		feed.keyPath =
			QStringLiteral(QUILLMARCH_SIM_TLS_DIR "/sim-key.pem");
	}
#endif

	m_device = new DeviceModel(m_options.device, this);
	if (m_options.usb) {
		m_usb = new UsbSide(m_device, m_options.usbSide, this);
		// Also after a restart that unplugged the cable.
		connect(m_usb, &UsbSide::pluggedIn, this,
			&DeviceProcess::announceUsb);
	}
	if (m_options.http)
		m_http = new HttpSide(m_device, m_options.httpSide, this);
	if (m_options.feed)
		m_feed = new FeedSide(m_device, feed, this);
	if (m_options.ble)
		m_ble = new BleSide(m_device, m_options.bleSide, this);
	if (network) {
		// A new token, or none after a factory reset, is news for
		// whoever set up the feed with the old one.
		connect(m_device, &DeviceModel::requestHandled, this,
			&DeviceProcess::announceToken);
		connect(m_device, &DeviceModel::restarted, this,
			&DeviceProcess::announceToken);
	}
}

DeviceProcess::~DeviceProcess()
{
	if (m_usb)
		m_usb->unplug();
}

bool DeviceProcess::start()
{
	installSignalHandlers();
	if (m_usb) {
		QString error;
		if (!m_usb->plugIn(&error)) {
			std::fprintf(stderr,
				     "quillmarch-sim: cannot create the USB "
				     "port: %s\n",
				     error.toLocal8Bit().constData());
			return false;
		}
	}
	QString error;
	if (m_http && !m_http->listen(&error)) {
		std::fprintf(stderr,
			     "quillmarch-sim: cannot serve HTTP on %s: %s\n",
			     endpoint(m_options.httpSide.address,
				      m_options.httpSide.port)
				     .toLocal8Bit()
				     .constData(),
			     error.toLocal8Bit().constData());
		return false;
	}
	if (m_feed && !m_feed->listen(&error)) {
		std::fprintf(stderr,
			     "quillmarch-sim: cannot serve the live feed on "
			     "%s: %s\n",
			     endpoint(m_options.feedSide.address,
				      m_options.feedSide.port)
				     .toLocal8Bit()
				     .constData(),
			     error.toLocal8Bit().constData());
		return false;
	}
	if (m_ble &&
	    !m_ble->listen(m_options.bleAddress, m_options.blePort, &error)) {
		std::fprintf(stderr,
			     "quillmarch-sim: cannot serve the Bluetooth radio "
			     "on %s: %s\n",
			     endpoint(m_options.bleAddress, m_options.blePort)
				     .toLocal8Bit()
				     .constData(),
			     error.toLocal8Bit().constData());
		return false;
	}
	if (m_http)
		printLine(QStringLiteral("http ") +
			  endpoint(m_http->address(), m_http->port()));
	if (m_feed)
		printLine(QStringLiteral("feed ") +
			  endpoint(m_feed->address(), m_feed->port()));
	if (m_ble)
		printLine(QStringLiteral("ble ") + m_ble->address());
	if (m_http || m_feed)
		announceToken();
	m_device->start();

	if (::fcntl(STDIN_FILENO, F_GETFL) != -1) {
		m_stdinNotifier = new QSocketNotifier(
			STDIN_FILENO, QSocketNotifier::Read, this);
		connect(m_stdinNotifier, &QSocketNotifier::activated, this,
			&DeviceProcess::onStdin);
	}
	qCInfo(lcProcess).noquote()
		<< QStringLiteral(
			   "device %1 running, %2 envelopes per second%3")
			   .arg(m_options.device.deviceId)
			   .arg(m_device->envelopesPerSecond())
			   .arg(m_options.usbSide.receiver
					? QStringLiteral(", behind a receiver")
					: QString());
	return true;
}

void DeviceProcess::announceUsb()
{
	printLine(QStringLiteral("usb ") + m_usb->slavePath());
}

void DeviceProcess::announceToken()
{
	const QString token = m_device->apiToken();
	if (token.isEmpty() || token == m_announcedToken)
		return;
	m_announcedToken = token;
	printLine(QStringLiteral("token ") + token);
}

void DeviceProcess::installSignalHandlers()
{
	// A parent that stops reading our stdout must not kill us.
	std::signal(SIGPIPE, SIG_IGN);
	if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPair) != 0) {
		qCWarning(lcProcess) << "no signal pipe; SIGTERM ends us hard";
		return;
	}
	for (int fd : g_signalPair) {
		::fcntl(fd, F_SETFD, FD_CLOEXEC);
		::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
	}
	m_signalNotifier = new QSocketNotifier(g_signalPair[1],
					       QSocketNotifier::Read, this);
	connect(m_signalNotifier, &QSocketNotifier::activated, this,
		&DeviceProcess::onSignal);

	struct sigaction action = {};
	action.sa_handler = onUnixSignal;
	sigemptyset(&action.sa_mask);
	action.sa_flags = SA_RESTART;
	::sigaction(SIGTERM, &action, nullptr);
	::sigaction(SIGINT, &action, nullptr);
}

void DeviceProcess::onSignal()
{
	char byte = 0;
	while (::read(g_signalPair[1], &byte, 1) == 1) {
	}
	shutDown(byte == SIGINT ? "SIGINT" : "SIGTERM");
}

void DeviceProcess::shutDown(const char *why)
{
	qCInfo(lcProcess) << "stopping on" << why;
	if (m_usb)
		m_usb->unplug();
	if (m_http)
		m_http->close();
	if (m_feed)
		m_feed->close();
	m_device->stop();
	QCoreApplication::exit(0);
}

void DeviceProcess::onStdin()
{
	char buffer[512];
	const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
	if (n <= 0) {
		if (n < 0 && (errno == EAGAIN || errno == EINTR))
			return;
		// Started without a terminal or a pipe to talk to us: only
		// the signals stop us then.
		m_stdinNotifier->setEnabled(false);
		qCInfo(lcProcess) << "stdin closed; stop with SIGTERM";
		return;
	}
	m_stdinBuffer.append(buffer, int(n));
	int end;
	while ((end = m_stdinBuffer.indexOf('\n')) >= 0) {
		const QByteArray line = m_stdinBuffer.left(end).trimmed();
		m_stdinBuffer.remove(0, end + 1);
		if (!line.isEmpty())
			runCommand(line);
	}
	if (m_stdinBuffer.size() > 4096)
		m_stdinBuffer.clear(); // no command is that long
}

void DeviceProcess::runCommand(const QByteArray &line)
{
	if (line == "quit" || line == "exit") {
		shutDown("quit");
	} else if (line == "unplug") {
		if (m_usb)
			m_usb->unplug();
	} else if (line == "plug") {
		if (m_usb && !m_usb->isPluggedIn()) {
			QString error;
			m_usb->plugIn(&error);
		}
	} else if (line == "link on" || line == "link off") {
		if (m_usb && m_usb->receiver())
			m_usb->setDeviceInRange(line == "link on");
		else
			qCWarning(lcProcess) << "link on/off needs --receiver";
	} else if (line == "reboot") {
		m_device->restart(QStringLiteral("operator"));
	} else if (line.startsWith("busy ")) {
		bool ok = false;
		const int count = line.mid(5).trimmed().toInt(&ok);
		if (ok && count >= 0)
			m_device->setBusyReplies(count);
		else
			qCWarning(lcProcess) << "busy takes a count";
	} else if (line.startsWith("http-fail ") || line == "csrf expire" ||
		   line.startsWith("feed ")) {
		runNetworkCommand(line);
	} else if (line.startsWith("ble ")) {
		runBleCommand(line);
	} else {
		qCWarning(lcProcess).noquote()
			<< "unknown command:" << QString::fromUtf8(line)
			<< "(quit, unplug, plug, link on, link off, reboot, "
			   "busy N, http-fail PATH STATUS [N], csrf expire, "
			   "feed drop, feed reject, feed refuse MS, ble drop, "
			   "ble vanish)";
	}
}

void DeviceProcess::runBleCommand(const QByteArray &line)
{
	if (!m_ble)
		qCWarning(lcProcess) << "ble commands need --ble";
	else if (line == "ble drop")
		m_ble->dropLink(
			QStringLiteral("The device ended the connection."));
	else if (line == "ble vanish")
		m_ble->vanish();
	else
		qCWarning(lcProcess) << "ble drop or ble vanish";
}

void DeviceProcess::runNetworkCommand(const QByteArray &line)
{
	const QList<QByteArray> words = line.simplified().split(' ');
	if (words.first() == "feed") {
		if (!m_feed) {
			qCWarning(lcProcess) << "feed commands need --feed";
		} else if (line == "feed drop") {
			m_feed->dropAll();
		} else if (line == "feed reject") {
			m_feed->rejectAuthenticated();
		} else if (words.size() == 3 && words.at(1) == "refuse") {
			bool ok = false;
			const int ms = words.at(2).toInt(&ok);
			if (ok && ms >= 0)
				m_feed->refuseFor(ms);
			else
				qCWarning(lcProcess) << "feed refuse takes ms";
		} else {
			qCWarning(lcProcess)
				<< "feed drop, feed reject or feed refuse MS";
		}
		return;
	}
	if (!m_http) {
		qCWarning(lcProcess) << "HTTP commands need --http";
		return;
	}
	if (words.first() == "csrf") {
		m_http->expireCsrfTokens();
		return;
	}
	// "http-fail PATH STATUS [N]" reads as the option does.
	HttpSide::Failure failure;
	const QString text =
		words.size() >= 3 && words.size() <= 4
			? QString::fromUtf8(words.at(1) + '=' + words.at(2) +
					    (words.size() == 4
						     ? 'x' + words.at(3)
						     : QByteArray()))
			: QString();
	if (parseHttpFailure(text, &failure))
		m_http->failNext(failure.path, failure.status, failure.count);
	else
		qCWarning(lcProcess) << "http-fail takes PATH STATUS [N]";
}

} // namespace quillmarch::sim
