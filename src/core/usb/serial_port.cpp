#include "usb/serial_port.h"

#include "usb/serial_posix.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

namespace quillmarch {

QList<SerialPortInfo> listSerialPorts()
{
	return serial_platform::list();
}

SerialPort::SerialPort(QObject *parent)
	: QObject(parent),
	  m_timer(new QTimer(this))
{
	// Every tick of slack is latency on the way to the screen: keep the
	// poll on its interval rather than let Qt coalesce it.
	m_timer->setTimerType(Qt::PreciseTimer);
	m_timer->setInterval(kPollIntervalMs);
	connect(m_timer, &QTimer::timeout, this, &SerialPort::poll);
}

SerialPort::~SerialPort()
{
	close();
}

bool SerialPort::open(const QString &path, int baud, QString *error)
{
	close();
	serial_platform::PortHandle *handle =
		serial_platform::openPort(path, baud, error);
	if (!handle)
		return false;
	m_handle = handle;
	++m_generation;
	m_timer->start();
	return true;
}

void SerialPort::close()
{
	m_timer->stop();
	if (m_handle) {
		serial_platform::closePort(m_handle);
		m_handle = nullptr;
		++m_generation;
	}
}

bool SerialPort::write(const QByteArray &bytes)
{
	if (!m_handle)
		return false;
	return serial_platform::writeAll(m_handle, bytes);
}

void SerialPort::poll()
{
	if (!m_handle)
		return;

	// A receiver of readyRead may close, reopen or delete this port; stop
	// reading as soon as the port read from is no longer the open one.
	const QPointer<SerialPort> self(this);
	const quint64 generation = m_generation;
	char buffer[kReadChunk];
	for (int i = 0; i < kReadsPerTick; ++i) {
		const qint64 n =
			serial_platform::readSome(m_handle, buffer, kReadChunk);
		if (n == 0)
			return;
		if (n < 0) {
			close();
			Q_EMIT errorOccurred(QCoreApplication::translate(
				"SerialPort",
				"The USB device was unplugged or stopped "
				"responding."));
			return;
		}
		Q_EMIT readyRead(QByteArray(buffer, int(n)));
		if (!self || m_generation != generation)
			return;
	}
}

} // namespace quillmarch
