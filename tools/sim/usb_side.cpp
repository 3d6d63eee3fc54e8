#include "usb_side.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QtEndian>
#include <QLoggingCategory>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcUsb, "quillmarch.sim.usb")

namespace quillmarch::sim {

namespace {

QByteArray compact(const QJsonObject &object)
{
	return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString systemError(const char *what)
{
	return QStringLiteral("%1: %2").arg(
		QString::fromLatin1(what),
		QString::fromLocal8Bit(std::strerror(errno)));
}

// What the device's serial bridge passes on while the chip boots: the boot
// ROM's text at the line's speed. The plug-in's frame parser has to skip
// it.
const char kBootText[] =
	"ESP-ROM:esp32s3-20210327\r\n"
	"Build:Mar 27 2021\r\n"
	"rst:0xc (RTC_SW_CPU_RST),boot:0x8 (SPI_FAST_FLASH_BOOT)\r\n"
	"Saved PC:0x420c1b2e\r\n"
	"SPIWP:0xee\r\n"
	"mode:DIO, clock div:1\r\n"
	"load:0x3fce3810,len:0x178c\r\n"
	"entry 0x403c9908\r\n";

// How long an unplug for a restart waits for the host to read what was
// sent before it: kDrainTries steps of kDrainStepMs.
constexpr int kDrainTries = 50;
constexpr int kDrainStepMs = 10;

void setFlags(int fd)
{
	::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
	::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

} // namespace

UsbSide::UsbSide(DeviceModel *device, const Config &config, QObject *parent)
	: QObject(parent),
	  m_device(device),
	  m_config(config)
{
	m_config.answerHelloAfter = qMax(1, m_config.answerHelloAfter);
	if (m_config.receiver)
		m_receiver = std::make_unique<WirelessReceiver>(
			m_config.receiverConfig);
	m_statusTimer.setInterval(qMax(10, m_config.receiverStatusMs));
	connect(&m_statusTimer, &QTimer::timeout, this, [this] {
		if (m_receiver)
			sendCtrl(m_receiver->status());
	});
	connect(m_device, &DeviceModel::envelope, this,
		&UsbSide::onDeviceEnvelope);
	connect(m_device, &DeviceModel::restarting, this,
		&UsbSide::onDeviceRestarting);
	connect(m_device, &DeviceModel::restarted, this,
		&UsbSide::onDeviceRestarted);
	m_deviceDown = m_device->isRestarting();
	if (m_receiver)
		updateReceiverLink();
}

UsbSide::~UsbSide()
{
	// No signal from a destructor: listeners may be half gone.
	closeDescriptors();
}

bool UsbSide::plugIn(QString *error)
{
	if (isPluggedIn())
		return true;
	auto fail = [&](const QString &text) {
		if (error)
			*error = text;
		qCWarning(lcUsb).noquote() << text;
		closeDescriptors();
		return false;
	};

	m_master = ::posix_openpt(O_RDWR | O_NOCTTY);
	if (m_master < 0)
		return fail(systemError("posix_openpt"));
	setFlags(m_master);
	if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
		return fail(systemError("grantpt/unlockpt"));
	const char *name = ::ptsname(m_master);
	if (!name)
		return fail(systemError("ptsname"));
	m_slavePath = QString::fromLocal8Bit(name);

	// Our own descriptor on the slave keeps the line up while the
	// plug-in closes and reopens the port; with no slave open at all the
	// master reads EIO. It is never read: the bytes are the plug-in's.
	m_slaveKeeper = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
	if (m_slaveKeeper < 0)
		return fail(systemError("open slave"));
	setFlags(m_slaveKeeper);
	termios tio;
	if (::tcgetattr(m_slaveKeeper, &tio) == 0) {
		// Raw from the start: no echo of what the plug-in writes and
		// no translation of the binary frames.
		::cfmakeraw(&tio);
		::tcsetattr(m_slaveKeeper, TCSANOW, &tio);
	}

	if (!m_config.linkPath.isEmpty()) {
		const QFileInfo existing(m_config.linkPath);
		if (existing.exists() || existing.isSymLink()) {
			if (!existing.isSymLink())
				return fail(
					QStringLiteral("%1 exists and is not "
						       "a symbolic link")
						.arg(m_config.linkPath));
			QFile::remove(m_config.linkPath);
		}
		const QByteArray linkName =
			QFile::encodeName(m_config.linkPath);
		if (::symlink(name, linkName.constData()) != 0)
			return fail(systemError("symlink"));
		m_madeLink = m_config.linkPath;
	}

	++m_plugGeneration;
	m_parser.clear();
	m_admin.reset();
	m_session = DeviceModel::Session();
	m_tail.clear();
	m_hellos = 0;
	m_helloAnswered = false;

	m_readNotifier =
		new QSocketNotifier(m_master, QSocketNotifier::Read, this);
	connect(m_readNotifier, &QSocketNotifier::activated, this,
		&UsbSide::onReadable);
	m_writeNotifier =
		new QSocketNotifier(m_master, QSocketNotifier::Write, this);
	m_writeNotifier->setEnabled(false);
	connect(m_writeNotifier, &QSocketNotifier::activated, this,
		&UsbSide::onWritable);

	if (m_receiver) {
		// A receiver reports its state whether or not anyone listens.
		m_statusTimer.start();
		sendCtrl(m_receiver->status());
	}
	qCInfo(lcUsb).noquote() << "plugged in at" << m_slavePath;
	Q_EMIT pluggedIn();
	return true;
}

void UsbSide::closeDescriptors()
{
	m_statusTimer.stop();
	// Later, not now: we may be inside one of their signals (a request
	// that restarts the device arrives through the read notifier).
	for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
		if (notifier) {
			notifier->setEnabled(false);
			notifier->deleteLater();
		}
	}
	m_readNotifier = nullptr;
	m_writeNotifier = nullptr;
	if (m_master >= 0)
		::close(m_master);
	m_master = -1;
	if (m_slaveKeeper >= 0)
		::close(m_slaveKeeper);
	m_slaveKeeper = -1;
	if (!m_madeLink.isEmpty()) {
		// Only our own link: someone may have replaced it meanwhile.
		const QFileInfo link(m_madeLink);
		if (link.isSymLink() &&
		    link.symLinkTarget() == QFileInfo(m_slavePath).filePath())
			QFile::remove(m_madeLink);
		m_madeLink.clear();
	}
	m_tail.clear();
	m_helloAnswered = false;
}

void UsbSide::unplug()
{
	if (!isPluggedIn())
		return;
	qCInfo(lcUsb).noquote() << "unplugged" << m_slavePath;
	closeDescriptors();
	++m_plugGeneration; // replies still on their way are dropped
	Q_EMIT unplugged();
}

bool UsbSide::writeRaw(const QByteArray &bytes)
{
	if (!isPluggedIn() || bytes.isEmpty())
		return false;
	if (!m_tail.isEmpty()) {
		// The line is still busy with an earlier frame.
		++m_framesDropped;
		return false;
	}
	const ssize_t n =
		::write(m_master, bytes.constData(), size_t(bytes.size()));
	if (n < 0) {
		++m_framesDropped;
		if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
			qCWarning(lcUsb).noquote() << systemError("write");
		return false;
	}
	if (n < bytes.size()) {
		// Half a frame went out; the rest follows when there is room,
		// so the plug-in never sees a frame cut short by us.
		m_tail = bytes.mid(int(n));
		m_writeNotifier->setEnabled(true);
	}
	return true;
}

void UsbSide::onWritable()
{
	if (m_tail.isEmpty() || !isPluggedIn()) {
		if (m_writeNotifier)
			m_writeNotifier->setEnabled(false);
		return;
	}
	const ssize_t n =
		::write(m_master, m_tail.constData(), size_t(m_tail.size()));
	if (n > 0)
		m_tail.remove(0, int(n));
	else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK &&
		 errno != EINTR)
		m_tail.clear();
	if (m_tail.isEmpty())
		m_writeNotifier->setEnabled(false);
}

bool UsbSide::writeFrame(quint8 type, const QByteArray &payload)
{
	const QByteArray frame = buildFrame(type, payload);
	if (frame.isEmpty()) {
		qCWarning(lcUsb)
			<< "payload too large for one frame:" << payload.size();
		return false;
	}
	return writeRaw(frame);
}

bool UsbSide::sendEnvelope(const QJsonObject &envelope)
{
	return writeFrame(kFrameEnvelope, compact(envelope));
}

bool UsbSide::sendCtrl(const QJsonObject &message)
{
	return writeFrame(kFrameCtrl, compact(message));
}

void UsbSide::onReadable()
{
	char buffer[4096];
	QByteArray received;
	for (;;) {
		const ssize_t n = ::read(m_master, buffer, sizeof buffer);
		if (n > 0) {
			received.append(buffer, int(n));
			continue;
		}
		if (n < 0 &&
		    (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
			break;
		// With our own slave descriptor open this does not happen;
		// stop listening rather than spin on a broken terminal.
		qCWarning(lcUsb).noquote()
			<< (n == 0 ? QStringLiteral("end of file on the master")
				   : systemError("read"));
		m_readNotifier->setEnabled(false);
		break;
	}
#ifdef TIOCNXCL
	// The plug-in claims the port exclusively when it opens it. On a
	// real USB port the claim ends with its last close; here our own
	// descriptor keeps the terminal alive, so the claim would outlast
	// the plug-in and its next open would fail with EBUSY for anyone but
	// root. Lifting it whenever the plug-in talks keeps reopening
	// working.
	::ioctl(m_slaveKeeper, TIOCNXCL);
#endif
	const quint64 generation = m_plugGeneration;
	for (const UsbFrame &frame : m_parser.feed(received)) {
		handleFrame(frame);
		if (generation != m_plugGeneration)
			return; // a handler unplugged us
	}
}

void UsbSide::handleFrame(const UsbFrame &frame)
{
	// A restarting device reads nothing; a receiver stays awake.
	if (m_deviceDown && !m_receiver)
		return;
	switch (frame.type) {
	case kFrameCtrl: {
		const QJsonDocument doc =
			QJsonDocument::fromJson(frame.payload);
		if (doc.isObject())
			handleControl(doc.object());
		break;
	}
	case kFrameAdmin:
		handleAdmin(frame.payload);
		break;
	case kFramePipe:
		Q_EMIT pipeReceived(frame.payload);
		break;
	case kFrameStream:
		if (frame.payload.size() >= 2)
			Q_EMIT streamReceived(quint8(frame.payload.at(0)),
					      quint8(frame.payload.at(1)),
					      frame.payload.mid(2));
		break;
	default:
		break;
	}
}

void UsbSide::sendPipe(const QByteArray &bytes)
{
	for (int at = 0; at < bytes.size(); at += 512)
		writeFrame(kFramePipe, bytes.mid(at, 512));
}

namespace {

QByteArray streamPayload(quint8 id, quint8 op, const QByteArray &data = {})
{
	QByteArray payload;
	payload.append(char(id));
	payload.append(char(op));
	return payload + data;
}

} // namespace

void UsbSide::openStream(quint8 id, const QString &name)
{
	writeFrame(kFrameStream, streamPayload(id, 1, name.toUtf8()));
}

void UsbSide::sendStreamData(quint8 id, const QByteArray &data)
{
	writeFrame(kFrameStream, streamPayload(id, 4, data));
}

void UsbSide::grantCredit(quint8 id, quint32 bytes)
{
	QByteArray amount(4, '\0');
	qToLittleEndian(bytes, amount.data());
	writeFrame(kFrameStream, streamPayload(id, 6, amount));
}

void UsbSide::closeStream(quint8 id)
{
	writeFrame(kFrameStream, streamPayload(id, 5));
}

void UsbSide::handleControl(const QJsonObject &message)
{
	Q_EMIT controlReceived(message);
	const QString t = message.value(QLatin1String("t")).toString();
	if (t == QLatin1String("hello"))
		handleHello();
	else if (t == QLatin1String("rx_set") && m_receiver)
		handleReceiverSet(message);
	// "ping" needs no answer; anything else is not ours to understand.
}

QJsonObject UsbSide::helloAnswer() const
{
	QJsonObject tunnel;
	QJsonObject streams;
	QJsonObject hello;
	hello.insert(QStringLiteral("t"), QStringLiteral("hello"));
	if (m_receiver) {
		// The receiver speaks for itself: it has no tunnel to offer.
		tunnel.insert(QStringLiteral("host"), QString());
		tunnel.insert(QStringLiteral("port"), 0);
		hello.insert(QStringLiteral("receiver"), true);
		hello.insert(QStringLiteral("fw"),
			     m_receiver->status().value(QLatin1String("fw")));
	} else {
		tunnel.insert(QStringLiteral("host"), m_config.tunnelHost);
		tunnel.insert(QStringLiteral("port"), m_config.tunnelPort);
		for (auto it = m_config.streams.cbegin();
		     it != m_config.streams.cend(); ++it) {
			QJsonObject destination;
			destination.insert(QStringLiteral("host"),
					   it.value().host);
			destination.insert(QStringLiteral("port"),
					   it.value().port);
			streams.insert(it.key(), destination);
		}
		hello.insert(QStringLiteral("fw"), m_device->firmwareVersion());
		hello.insert(QStringLiteral("device_id"), m_device->deviceId());
	}
	hello.insert(QStringLiteral("tunnel"), tunnel);
	hello.insert(QStringLiteral("streams"), streams);
	return hello;
}

void UsbSide::handleHello()
{
	++m_hellos;
	Q_EMIT helloReceived(m_hellos);
	if (!m_config.answerHello || m_hellos < m_config.answerHelloAfter) {
		qCInfo(lcUsb) << "not answering hello" << m_hellos;
		return;
	}
	// A hello starts a new conversation with whoever opened the port:
	// the previous host's sign-in and half-received request are gone.
	m_session = DeviceModel::Session();
	m_admin.reset();
	if (m_receiver) {
		// A receiver answers with its status first, so the plug-in
		// knows at once that a receiver, not a device, is attached.
		sendCtrl(m_receiver->status());
	}
	sendCtrl(helloAnswer());
	if (!m_helloAnswered)
		qCInfo(lcUsb) << "hello answered";
	m_helloAnswered = true;
}

void UsbSide::handleReceiverSet(const QJsonObject &message)
{
	const QJsonObject before = m_receiver->status();
	sendCtrl(m_receiver->handleSet(message));
	sendReceiverStatusIfChanged(before);
}

void UsbSide::setDeviceInRange(bool inRange)
{
	if (!m_receiver)
		return;
	m_deviceInRange = inRange;
	updateReceiverLink();
}

void UsbSide::updateReceiverLink()
{
	const QJsonObject before = m_receiver->status();
	// The receiver hears the device while it is in range and running.
	m_receiver->setDeviceInRange(m_deviceInRange && !m_deviceDown);
	if (isPluggedIn())
		sendReceiverStatusIfChanged(before);
}

void UsbSide::sendReceiverStatusIfChanged(const QJsonObject &before)
{
	const QJsonObject now = m_receiver->status();
	if (now != before)
		sendCtrl(now);
}

bool UsbSide::deviceReachable() const
{
	return m_receiver ? m_receiver->link() : !m_deviceDown;
}

void UsbSide::onDeviceRestarting()
{
	m_deviceDown = true;
	// Whoever was signed in through us is not any more.
	m_session = DeviceModel::Session();
	if (m_receiver) {
		updateReceiverLink();
		return;
	}
	m_admin.reset();
	m_helloAnswered = false;
	if (m_config.rebootUnplugs)
		unplugWhenRead(kDrainTries);
}

void UsbSide::unplugWhenRead(int triesLeft)
{
	// The device's last answer (to "reboot") reached the host before
	// its USB went away. Hanging up flushes whatever the plug-in has not
	// read, so wait until it has. Bytes just written may still be on
	// their way through the kernel (the slave shows none yet), so the
	// first look comes one step later.
	if (!m_deviceDown || !isPluggedIn())
		return;
	int unread = 0;
	const bool waiting =
		triesLeft == kDrainTries ||
		(triesLeft > 0 &&
		 (!m_tail.isEmpty() ||
		  (::ioctl(m_slaveKeeper, FIONREAD, &unread) == 0 &&
		   unread > 0)));
	if (!waiting) {
		unplug();
		return;
	}
	const quint64 generation = m_plugGeneration;
	QTimer::singleShot(kDrainStepMs, this, [this, generation, triesLeft] {
		if (m_plugGeneration == generation)
			unplugWhenRead(triesLeft - 1);
	});
}

void UsbSide::onDeviceRestarted()
{
	m_deviceDown = false;
	m_session = DeviceModel::Session();
	if (m_receiver) {
		updateReceiverLink();
		return;
	}
	if (m_config.rebootUnplugs) {
		unplug(); // still waiting for the host to read: now
		plugIn();
		return;
	}
	// The bridge chip passes on the boot text; the firmware then waits
	// for a hello.
	writeRaw(QByteArray(kBootText));
}

void UsbSide::handleAdmin(const QByteArray &payload)
{
	const QByteArray message = m_admin.feed(payload);
	if (message.isEmpty())
		return;
	if (!deviceReachable()) {
		// Through a receiver that does not hear its device the
		// request goes nowhere; the plug-in's time-out covers it.
		qCInfo(lcUsb) << "admin request dropped: no wireless link";
		return;
	}
	if (!m_receiver || m_config.relayDelayMs <= 0) {
		forwardAdmin(message);
		return;
	}
	// On its way over the air; lost if the link drops meanwhile.
	QPointer<UsbSide> self(this);
	const quint64 generation = m_plugGeneration;
	QTimer::singleShot(
		m_config.relayDelayMs, this, [self, generation, message] {
			if (self && self->m_plugGeneration == generation &&
			    self->deviceReachable())
				self->forwardAdmin(message);
		});
}

void UsbSide::forwardAdmin(const QByteArray &message)
{
	QPointer<UsbSide> self(this);
	const quint64 generation = m_plugGeneration;
	m_device->handleMessage(
		m_session, message, [self, generation](const QJsonObject &r) {
			if (!self || self->m_plugGeneration != generation ||
			    !self->deviceReachable())
				return;
			const QList<QByteArray> frames =
				buildAdminFrames(compact(r));
			if (frames.isEmpty())
				qCWarning(lcUsb) << "reply too large to send";
			// One write for all chunks: if the line is full the
			// whole reply is lost, never its middle.
			self->writeRaw(frames.join());
		});
}

void UsbSide::onDeviceEnvelope(const QJsonObject &envelope)
{
	if (!isPluggedIn() || !m_helloAnswered || !deviceReachable())
		return;
	if (sendEnvelope(envelope))
		++m_envelopesSent;
}

} // namespace quillmarch::sim
