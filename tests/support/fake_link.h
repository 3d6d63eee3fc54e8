#pragma once

#include "fake_transport.h"
#include "link/device_link.h"

namespace quillmarch::test {

// A device link whose carrier is the test: it counts open() and close(), and
// the test plays the device through emitOpened/emitClosed, the signals
// DeviceLink declares, and the FakeTransport it owns.
//
// The pipe follows the link like a real carrier's: it opens with
// emitOpened and closes with close() or emitClosed, so calls made on a dead
// link fail as they would in the field.
//
// No Q_OBJECT: it only emits the signals DeviceLink declares, which are
// public, so it needs no moc run.
class FakeLink : public DeviceLink {
public:
	explicit FakeLink(bool pollsState = true, QObject *parent = nullptr)
		: DeviceLink(parent),
		  m_transport(new FakeTransport(false, this)),
		  m_pollsState(pollsState)
	{
	}

	QString kind() const override { return m_kind; }
	void open() override { ++m_opens; }
	void close() override
	{
		++m_closes;
		m_transport->setOpen(false);
	}
	RpcTransport *transport() override { return m_transport; }
	bool pollsState() const override { return m_pollsState; }

	FakeTransport *fake() const { return m_transport; }
	void setKind(const QString &kind) { m_kind = kind; }
	void setPollsState(bool polls) { m_pollsState = polls; }
	int openCount() const { return m_opens; }
	int closeCount() const { return m_closes; }

	void emitOpened(const QJsonObject &info = {})
	{
		m_transport->setOpen(true);
		Q_EMIT opened(info);
	}
	void emitClosed(const QString &reason)
	{
		m_transport->setOpen(false);
		Q_EMIT closed(reason);
	}

private:
	FakeTransport *m_transport;
	bool m_pollsState;
	QString m_kind = "ble";
	int m_opens = 0;
	int m_closes = 0;
};

} // namespace quillmarch::test
