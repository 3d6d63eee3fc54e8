#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QTimer;

namespace quillmarch {

namespace serial_platform {
struct PortHandle;
}

// One candidate serial port found on this computer.
struct SerialPortInfo {
	QString path;
	QString name;
	// A native USB serial interface, which is how the Quillmarch device
	// presents itself (as opposed to a USB-to-serial bridge chip).
	bool likelyDevice = false;
};

QList<SerialPortInfo> listSerialPorts();

// An open serial port in the event loop. Incoming bytes are picked up by a
// short poll timer rather than a reader thread, so every signal arrives on the
// thread that owns the port.
class SerialPort : public QObject {
	Q_OBJECT

public:
	static constexpr int kPollIntervalMs = 15;
	static constexpr int kReadChunk = 4096;
	// Bounds the work of one tick; whatever is left waits for the next.
	static constexpr int kReadsPerTick = 8;

	explicit SerialPort(QObject *parent = nullptr);
	~SerialPort() override;

	// Closes any port already open, then opens path. On failure the port
	// stays closed and error, when given, holds a sentence for the user.
	bool open(const QString &path, int baud, QString *error = nullptr);
	void close();
	bool isOpen() const { return m_handle != nullptr; }

	// May block the thread while the output is full (a few seconds at
	// worst). False when closed or when not every byte went out.
	bool write(const QByteArray &bytes);

public Q_SLOTS:
	// Reads what is pending now. The poll timer calls this while open.
	void poll();

Q_SIGNALS:
	void readyRead(const QByteArray &data);
	// The port is already closed when this is emitted.
	void errorOccurred(const QString &message);

private:
	QTimer *m_timer;
	serial_platform::PortHandle *m_handle = nullptr;
	// Changes on every open and close, so a tick notices when a receiver
	// of readyRead closed or replaced the port.
	quint64 m_generation = 0;
};

} // namespace quillmarch
