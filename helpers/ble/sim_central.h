#pragma once

#include "central.h"
#include "line_io.h"

#include <QHash>
#include <QTcpSocket>

namespace quillmarch::ble {

// A central over the device simulator's radio (the simulator's Bluetooth
// side, found through QUILLMARCH_BLE_SIM="127.0.0.1:PORT"), for tests and
// demos without Bluetooth hardware. Without the variable it is a radio
// that is on and hears nothing; a radio it cannot reach counts as no
// adapter. The wire between the two is described with the simulator's
// Bluetooth side.
class SimCentral : public Central {
	Q_OBJECT

public:
	explicit SimCentral(const QString &radio, QObject *parent = nullptr);

	State state() const override { return m_state; }
	void startScan() override;
	void stopScan() override;
	QString peripheralName(const QString &id) const override;
	bool canRetrieve(const QString &id) const override;
	void connectPeripheral(const QString &id) override;
	void discoverServices(const QString &id,
			      const QString &service) override;
	void discoverCharacteristics(const QString &id, const QString &service,
				     const QStringList &wanted) override;
	void enableNotifications(const QString &id,
				 const QString &characteristic) override;
	int maximumWriteLength(const QString &id) const override;
	void writeWithResponse(const QString &id, const QString &characteristic,
			       const QByteArray &value) override;
	void cancelConnection(const QString &id) override;

private:
	void onLine(const QJsonObject &line);
	void send(const QString &kind, QJsonObject line = {});
	void setState(State state);
	void linkLost(const QString &reason);

	QTcpSocket m_radio;
	LineReader m_reader;
	State m_state = State::Unknown;
	bool m_scanning = false;
	QHash<QString, QString> m_names; // every device heard, with its name
	QString m_linkId;                // the device of the current link
	qint64 m_link = 0;               // its number; 0: none
	int m_writeLength = 20;
};

} // namespace quillmarch::ble
