#pragma once

#include "central.h"

#include <QBluetoothDeviceDiscoveryAgent>
#include <QBluetoothDeviceInfo>
#include <QHash>
#include <QLowEnergyController>
#include <QLowEnergyService>
#include <QPointer>

class QBluetoothLocalDevice;

namespace quillmarch::ble {

// The central on Qt Bluetooth: CoreBluetooth on macOS, BlueZ on Linux.
// A computer without an adapter says so at once instead of leaving the
// caller to wait.
class QtCentral : public Central {
	Q_OBJECT

public:
	explicit QtCentral(QObject *parent = nullptr);
	~QtCentral() override;

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
	// Which step of the link a stack error belongs to.
	enum class Step {
		Connecting,
		Services,
		Characteristics,
		Notifications,
		Idle,
		Writing,
	};

	void setState(State state);
	void onDeviceFound(const QBluetoothDeviceInfo &info);
	void onDiscoveryError(QBluetoothDeviceDiscoveryAgent::Error error);
	void onControllerError(QLowEnergyController::Error error);
	void onServiceState(QLowEnergyService::ServiceState state);
	void onServiceError(QLowEnergyService::ServiceError error);
	void releaseLink();
	bool isLink(const QString &id) const;
	// Runs after the current call returns: results never arrive from
	// inside the call that asked for them.
	void later(std::function<void()> report);

	State m_state = State::NoAdapter;
	QBluetoothLocalDevice *m_local = nullptr;
	QBluetoothDeviceDiscoveryAgent *m_agent = nullptr;
	QHash<QString, QBluetoothDeviceInfo> m_devices;

	QPointer<QLowEnergyController> m_controller;
	QPointer<QLowEnergyService> m_service;
	QString m_linkId;
	Step m_step = Step::Idle;
};

} // namespace quillmarch::ble
