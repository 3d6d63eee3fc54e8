#include "usb/usb_link.h"

#include "usb/serial_port.h"

#include <QJsonDocument>
#include <QPointer>

namespace quillmarch {

UsbAdminTransport::UsbAdminTransport(SerialPort *port, QObject *parent)
	: RpcTransport(parent),
	  m_port(port)
{
}

bool UsbAdminTransport::isOpen() const
{
	return m_port->isOpen();
}

void UsbAdminTransport::send(const QByteArray &message)
{
	if (!isOpen()) {
		Q_EMIT sendFailed(QStringLiteral("disconnected"),
				  tr("The USB device is not connected"));
		return;
	}
	const QList<QByteArray> frames = buildAdminFrames(message);
	if (frames.isEmpty()) {
		Q_EMIT sendFailed(
			QStringLiteral("request_too_large"),
			tr("That request is too large for the device"));
		return;
	}
	for (const QByteArray &frame : frames) {
		if (!m_port->write(frame)) {
			Q_EMIT sendFailed(
				QStringLiteral("write_failed"),
				tr("Could not write to the USB device"));
			return;
		}
	}
}

UsbLink::UsbLink(const QString &portPath, QObject *parent)
	: DeviceLink(parent),
	  m_portPath(portPath),
	  m_port(new SerialPort(this)),
	  m_transport(new UsbAdminTransport(m_port, this)),
	  m_cloudRelay(new CloudRelay(this)),
	  m_streamRelay(new StreamRelay(this))
{
	m_receiverTimer.setSingleShot(true);
	// A coarse timer may fire up to 5 % early, which would push relay
	// traffic past what the device's serial input is paced for.
	m_paceTimer.setTimerType(Qt::PreciseTimer);
	setTimings(Timings());

	connect(m_port, &SerialPort::readyRead, this, &UsbLink::onBytes);
	connect(m_port, &SerialPort::errorOccurred, this,
		&UsbLink::onSerialError);
	connect(m_cloudRelay, &CloudRelay::toDevice, this, &UsbLink::queuePipe);
	connect(m_streamRelay, &StreamRelay::toDevice, this,
		[this](const QByteArray &payload) {
			queueFrame(kFrameStream, payload);
		});
	connect(m_cloudRelay, &CloudRelay::statusChanged, this, [this] {
		m_streamRelay->setEnabled(m_cloudRelay->status().enabled);
		Q_EMIT tunnelChanged();
	});
	connect(m_streamRelay, &StreamRelay::statusChanged, this,
		&UsbLink::tunnelChanged);
	connect(&m_helloTimer, &QTimer::timeout, this, &UsbLink::onHelloTick);
	connect(&m_pingTimer, &QTimer::timeout, this, [this] {
		if (m_port->isOpen())
			writeControl({{QStringLiteral("t"),
				       QStringLiteral("ping")}});
	});
	connect(&m_receiverTimer, &QTimer::timeout, this,
		&UsbLink::onReceiverTimeout);
	connect(&m_paceTimer, &QTimer::timeout, this, &UsbLink::writeOneQueued);
}

UsbLink::~UsbLink()
{
	close();
}

void UsbLink::setTimings(const Timings &timings)
{
	m_timings = timings;
	m_helloTimer.setInterval(timings.helloMs);
	m_pingTimer.setInterval(timings.pingMs);
	m_receiverTimer.setInterval(timings.receiverMs);
	m_paceTimer.setInterval(timings.paceMs);
}

void UsbLink::open()
{
	close();
	QString error;
	if (!m_port->open(m_portPath, kBaudRate, &error)) {
		Q_EMIT failed(QStringLiteral("open_failed"), error);
		return;
	}
	// Nothing of an earlier connection carries over.
	++m_connection;
	m_parser.clear();
	m_reassembler.reset();
	m_opened = false;
	m_receiverStatus = QJsonObject();
	m_tunnel = QJsonObject();
	m_cloudRelay->clearTarget();
	m_streamRelay->setDestinations(QJsonObject());

	m_helloClock.start();
	sendHello();
	m_helloTimer.start();
	m_pingTimer.start();
}

void UsbLink::close()
{
	++m_connection;
	m_helloTimer.stop();
	m_pingTimer.stop();
	m_paceTimer.stop();
	m_pipeQueue.clear();
	m_port->close();
	m_opened = false;
	m_cloudRelay->reset();
	m_streamRelay->reset();
}

void UsbLink::sendHello()
{
	writeControl({{QStringLiteral("t"), QStringLiteral("hello")},
		      {QStringLiteral("streams"), 1}});
}

void UsbLink::writeControl(const QJsonObject &message)
{
	m_port->write(buildCtrlFrame(message));
}

void UsbLink::onHelloTick()
{
	if (m_opened) {
		m_helloTimer.stop();
		return;
	}
	if (m_helloClock.elapsed() <= m_timings.helloGiveUpMs) {
		if (m_port->isOpen())
			sendHello();
		return;
	}
	// The port stays open: a device that is still starting may answer a
	// later hello, and that answer still opens the link.
	m_helloTimer.stop();
	Q_EMIT failed(
		QStringLiteral("no_response"),
		tr("This USB port did not answer like a Quillmarch device. Check the cable and that the device has finished starting."));
}

void UsbLink::onSerialError(const QString &message)
{
	m_helloTimer.stop();
	m_pingTimer.stop();
	Q_EMIT closed(message);
}

void UsbLink::onBytes(const QByteArray &bytes)
{
	// A receiver of the signals emitted below may close, reopen or delete
	// the link. The rest of this read then belongs to a connection that is
	// gone, and a closed link must stay silent.
	const QPointer<UsbLink> self(this);
	const quint64 connection = m_connection;
	const QList<UsbFrame> frames = m_parser.feed(bytes);
	for (const UsbFrame &frame : frames) {
		if (!self || m_connection != connection)
			return;
		switch (frame.type) {
		case kFrameEnvelope: {
			const QJsonDocument doc =
				QJsonDocument::fromJson(frame.payload);
			if (doc.isObject())
				Q_EMIT envelope(doc.object());
			break;
		}
		case kFramePipe:
			m_cloudRelay->fromDevice(frame.payload);
			break;
		case kFrameCtrl: {
			const QJsonDocument doc =
				QJsonDocument::fromJson(frame.payload);
			if (doc.isObject())
				handleControl(doc.object());
			break;
		}
		case kFrameAdmin: {
			const QByteArray message =
				m_reassembler.feed(frame.payload);
			if (!message.isEmpty())
				Q_EMIT m_transport->message(message);
			break;
		}
		case kFrameStream:
			m_streamRelay->fromDevice(frame.payload);
			break;
		default:
			break;
		}
	}
}

void UsbLink::markOpened(const QJsonObject &info)
{
	if (m_opened)
		return;
	m_opened = true;
	m_helloTimer.stop();
	Q_EMIT opened(info);
}

void UsbLink::handleControl(const QJsonObject &message)
{
	// The relays and receiverUpdated tell listeners, who may close the
	// link before it would be marked open.
	const QPointer<UsbLink> self(this);
	const quint64 connection = m_connection;
	const auto ended = [&] {
		return !self || m_connection != connection;
	};

	const QString t = message.value(QLatin1String("t")).toString();
	if (t == QLatin1String("hello")) {
		m_tunnel = message.value(QLatin1String("tunnel")).toObject();
		m_streamRelay->setDestinations(
			message.value(QLatin1String("streams")).toObject());
		if (ended())
			return;
		const QString host =
			m_tunnel.value(QLatin1String("host")).toString();
		const int port = m_tunnel.value(QLatin1String("port")).toInt();
		if (!host.isEmpty() && port >= 1)
			m_cloudRelay->configure(host, port);
		else
			m_cloudRelay->clearTarget();
		if (ended())
			return;
		markOpened(message);
	} else if (t == QLatin1String("rx_status")) {
		m_receiverStatus = message;
		Q_EMIT receiverUpdated(message);
		if (ended())
			return;
		if (!m_opened) {
			QJsonObject info = message;
			info.insert(QStringLiteral("receiver"), true);
			markOpened(info);
		}
	} else if (t == QLatin1String("rx_set") ||
		   t == QLatin1String("rx_reboot") ||
		   t == QLatin1String("rx_error")) {
		if (!m_pendingReceiver)
			return;
		m_receiverTimer.stop();
		// Taken out first: the callback may start the next request.
		ReceiverCallback done = std::move(m_pendingReceiver);
		m_pendingReceiver = nullptr;
		// Only a real true (or none at all) is a yes; a receiver that
		// answers with anything else has not taken the settings.
		const QJsonValue ok = message.value(QLatin1String("ok"));
		if ((ok.isUndefined() || ok == QJsonValue(true)) &&
		    t != QLatin1String("rx_error")) {
			done(true,
			     message.value(QLatin1String("key")).toString(),
			     QString());
			return;
		}
		const QString error =
			message.value(QLatin1String("error")).toString();
		done(false, QString(),
		     error.trimmed().isEmpty()
			     ? tr("The receiver refused the settings")
			     : error);
	}
}

void UsbLink::receiverSet(const QString &key, bool generateKey, int channel,
			  ReceiverCallback done)
{
	if (!done)
		done = [](bool, const QString &, const QString &) {
		};
	if (m_pendingReceiver) {
		done(false, QString(),
		     tr("Another receiver request is still in progress"));
		return;
	}
	QJsonObject message{{QStringLiteral("t"), QStringLiteral("rx_set")}};
	if (generateKey)
		message.insert(QStringLiteral("generate_key"), true);
	else if (!key.isEmpty())
		message.insert(QStringLiteral("key"), key.trimmed());
	if (channel > 0)
		message.insert(QStringLiteral("channel"), channel);
	if (message.size() == 1) {
		done(false, QString(),
		     tr("Give a key, ask for a new key, or choose a channel"));
		return;
	}
	m_pendingReceiver = std::move(done);
	m_receiverTimer.start();
	if (m_port->isOpen())
		writeControl(message);
}

void UsbLink::onReceiverTimeout()
{
	if (!m_pendingReceiver)
		return;
	ReceiverCallback done = std::move(m_pendingReceiver);
	m_pendingReceiver = nullptr;
	done(false, QString(), tr("The receiver did not answer"));
}

void UsbLink::queuePipe(const QByteArray &bytes)
{
	if (!m_port->isOpen())
		return;
	for (int at = 0; at < bytes.size(); at += kPipeChunk)
		m_pipeQueue.append(
			buildFrame(kFramePipe, bytes.mid(at, kPipeChunk)));
	pace();
}

void UsbLink::queueFrame(quint8 type, const QByteArray &payload)
{
	if (!m_port->isOpen())
		return;
	const QByteArray frame = buildFrame(type, payload);
	if (!frame.isEmpty())
		m_pipeQueue.append(frame);
	pace();
}

void UsbLink::pace()
{
	if (m_pipeQueue.size() > kPipeQueueLimit) {
		// A peer faster than the device's serial input: drop the
		// relays' connections rather than buffer without bound. The
		// device hears that its streams are gone (those close frames
		// start the queue afresh), or it would wait on them for ever.
		m_pipeQueue.clear();
		m_paceTimer.stop();
		const QPointer<UsbLink> self(this);
		m_cloudRelay->reset();
		if (self)
			m_streamRelay->reset(true);
		return;
	}
	if (!m_paceTimer.isActive()) {
		m_paceTimer.start();
		if (!m_lastPipeWrite.isValid() ||
		    m_lastPipeWrite.elapsed() >= m_timings.paceMs)
			writeOneQueued();
	}
}

void UsbLink::writeOneQueued()
{
	if (m_pipeQueue.isEmpty() || !m_port->isOpen()) {
		m_paceTimer.stop();
		m_pipeQueue.clear();
		return;
	}
	m_port->write(m_pipeQueue.takeFirst());
	m_lastPipeWrite.restart();
	if (m_pipeQueue.isEmpty())
		m_paceTimer.stop();
}

} // namespace quillmarch
