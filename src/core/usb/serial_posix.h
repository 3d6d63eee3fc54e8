#pragma once

#include "usb/serial_port.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The operating-system side of serial access: finding ports and moving raw
// bytes through one of them. POSIX terminals on macOS and Linux.
namespace quillmarch::serial_platform {

// An open port. Opaque to callers; owned by whoever opened it and released
// only through closePort().
struct PortHandle;

// Candidate ports in /dev, sorted by entry name.
QList<SerialPortInfo> list();

// The same listing rules applied to any directory.
QList<SerialPortInfo> listIn(const QString &directory);

// The line speed a requested baud rate is opened with: the few rates the
// device firmware speaks are kept, anything else falls back to 115200.
int effectiveBaudRate(int requested);

// Opens the port raw (8N1, no flow control, reads never wait), claims it
// exclusively and discards anything pending. Returns null on failure and, when
// error is given, a sentence for the user in it.
PortHandle *openPort(const QString &path, int baud, QString *error = nullptr);

// Closes the port and frees the handle; null is ignored.
void closePort(PortHandle *handle);

// One non-blocking read: the byte count (> 0), 0 when nothing is there now,
// -1 when the port has failed or gone away.
qint64 readSome(PortHandle *handle, char *buffer, qint64 length);

// Writes every byte, waiting briefly while the output is full. False when the
// port failed or the output stayed full for too long.
bool writeAll(PortHandle *handle, const QByteArray &bytes);

} // namespace quillmarch::serial_platform
