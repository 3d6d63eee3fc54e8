#pragma once

#include "central.h"

#include <QStringList>

namespace quillmarch::ble {

// A central without a radio, for tests and the fuzz target: it notes each
// call in `calls` ("connect ID", "cancel ID", ...) and reports nothing by
// itself; the test emits the stack's answers.
class FakeCentral : public Central {
public:
	using Central::Central;

	State current = State::PoweredOn;
	int writeLength = 20;
	QStringList retrievable;
	QStringList calls;

	State state() const override { return current; }
	void startScan() override { calls << QStringLiteral("scan"); }
	void stopScan() override { calls << QStringLiteral("stop"); }
	QString peripheralName(const QString &) const override { return {}; }
	bool canRetrieve(const QString &id) const override
	{
		return retrievable.contains(id);
	}
	void connectPeripheral(const QString &id) override
	{
		calls << QStringLiteral("connect ") + id;
	}
	void discoverServices(const QString &id, const QString &) override
	{
		calls << QStringLiteral("services ") + id;
	}
	void discoverCharacteristics(const QString &id, const QString &,
				     const QStringList &) override
	{
		calls << QStringLiteral("characteristics ") + id;
	}
	void enableNotifications(const QString &id, const QString &) override
	{
		calls << QStringLiteral("notify ") + id;
	}
	int maximumWriteLength(const QString &) const override
	{
		return writeLength;
	}
	void writeWithResponse(const QString &id, const QString &,
			       const QByteArray &value) override
	{
		calls << QStringLiteral("write ") + id + QLatin1Char(' ') +
				 QString::fromLatin1(value.toHex());
	}
	void cancelConnection(const QString &id) override
	{
		calls << QStringLiteral("cancel ") + id;
	}

	void setState(State state)
	{
		current = state;
		Q_EMIT stateChanged(state);
	}
	// Walks a connection through every step up to notifications on.
	void linkUp(const QString &id)
	{
		Q_EMIT connected(id);
		Q_EMIT servicesDiscovered(id, {kServiceUuid},
					  CentralError::none());
		Q_EMIT characteristicsDiscovered(id,
						 {kCommandUuid, kResponseUuid},
						 CentralError::none());
		Q_EMIT notificationsChanged(id, kResponseUuid,
					    CentralError::none());
	}
};

} // namespace quillmarch::ble
