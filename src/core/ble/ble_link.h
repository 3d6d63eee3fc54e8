#pragma once

#include "ble/ble_bridge.h"
#include "ble/ble_framing.h"
#include "link/device_link.h"

#include <QList>

#include <functional>

namespace quillmarch {

// Admin messages over Bluetooth: each message is cut into writes that fit
// the device's write size and sent one write at a time through the helper,
// so the chunks of two messages never interleave. Replies come back as
// notifications and are put together again.
class BleTransport : public RpcTransport {
	Q_OBJECT

public:
	static constexpr int kWriteTimeoutMs = 15000;

	// Sends one write to the device and reports its outcome once. The
	// default goes through the helper bridge; tests put a fake device
	// here.
	using Writer =
		std::function<void(const QByteArray &write, int timeoutMs,
				   BleBridge::ReplyCallback done)>;

	explicit BleTransport(QObject *parent = nullptr);

	bool isOpen() const override { return m_connected; }
	void send(const QByteArray &message) override;

	// One notification from the device.
	void deliver(const QByteArray &notification);
	void pumpWrites();
	// Forgets everything in progress; open with the device's write size,
	// or closed. Answers to writes made before are ignored.
	void reset(bool open, int writePayload = kBleMinWritePayload);

	void setWriter(Writer writer) { m_writer = std::move(writer); }
	void setWriteTimeoutMs(int ms) { m_writeTimeoutMs = ms; }
	int writePayload() const { return m_writePayload; }
	int queuedWrites() const { return int(m_writeQueue.size()); }

private:
	Writer m_writer;
	bool m_connected = false;
	int m_writePayload = kBleMinWritePayload;
	int m_tagCounter = 0;
	BleReplyAssembler m_assembler;
	QList<QByteArray> m_writeQueue;
	bool m_writing = false;
	// Changes on every reset, so a write answered after the link went
	// down cannot touch the next connection's queue.
	quint64 m_epoch = 0;
	int m_writeTimeoutMs = kWriteTimeoutMs;
};

// A Quillmarch device over Bluetooth LE, through the helper program. The
// device does not push its state over this carrier, so the session polls.
class BleLink : public DeviceLink {
	Q_OBJECT

public:
	struct Timings {
		// Longer than the helper's own two-minute connect limit, so
		// its "connect_timeout" normally arrives first.
		int connectMs = 150000;
		int writeMs = BleTransport::kWriteTimeoutMs;
		int disconnectMs = 8000;
	};

	BleLink(const QString &deviceId, const QString &deviceName,
		QObject *parent = nullptr);
	~BleLink() override;

	void setTimings(const Timings &timings);

	QString kind() const override { return QStringLiteral("ble"); }
	void open() override;
	void close() override;
	RpcTransport *transport() override { return m_transport; }
	bool pollsState() const override { return true; }

	QString deviceId() const { return m_deviceId; }
	QString deviceName() const { return m_deviceName; }
	bool isLinkOpen() const { return m_linkOpen; }

private:
	void goDown(const QString &reason);

	QString m_deviceId;
	QString m_deviceName;
	Timings m_timings;
	BleTransport *m_transport;
	bool m_linkOpen = false;
	// Between open() and its answer.
	bool m_opening = false;
	int m_generation = 0;
};

} // namespace quillmarch
