#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

namespace quillmarch {

// The admin message pipe of a link: one serialised JSON object per message,
// in both directions. A transport that cannot send reports it through
// sendFailed rather than a return value, so callers handle every failure in
// one place.
class RpcTransport : public QObject {
	Q_OBJECT

public:
	using QObject::QObject;

	virtual bool isOpen() const = 0;
	virtual void send(const QByteArray &message) = 0;

Q_SIGNALS:
	void message(const QByteArray &json);
	void sendFailed(const QString &code, const QString &text);
};

// A live connection to a device over one carrier (USB, local network,
// Bluetooth). Each open() ends in opened or failed unless close() comes
// first; close() itself emits nothing. After closed, nothing more arrives
// until the next open().
class DeviceLink : public QObject {
	Q_OBJECT

public:
	using QObject::QObject;

	virtual QString kind() const = 0;
	virtual void open() = 0;
	virtual void close() = 0;
	virtual RpcTransport *transport() = 0;
	// True when the device does not push its state over this carrier, so
	// the session has to ask for it.
	virtual bool pollsState() const = 0;

Q_SIGNALS:
	void opened(const QJsonObject &info);
	void closed(const QString &reason);
	void envelope(const QJsonObject &envelope);
	void failed(const QString &code, const QString &message);
};

} // namespace quillmarch
