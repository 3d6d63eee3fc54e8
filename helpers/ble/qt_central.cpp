#include "qt_central.h"

#include <QBluetoothLocalDevice>
#include <QBluetoothUuid>
#include <QLowEnergyCharacteristic>
#include <QLowEnergyDescriptor>
#include <QTimer>

namespace quillmarch::ble {

namespace {

// Signals that Qt 6 renamed; Qt 5 overloads them with getters.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
const auto kAgentError = &QBluetoothDeviceDiscoveryAgent::errorOccurred;
const auto kControllerError = &QLowEnergyController::errorOccurred;
const auto kServiceError = &QLowEnergyService::errorOccurred;
const auto kServiceDiscovered = QLowEnergyService::RemoteServiceDiscovered;
const auto kCccd =
	QBluetoothUuid::DescriptorType::ClientCharacteristicConfiguration;
#else
const auto kAgentError = QOverload<QBluetoothDeviceDiscoveryAgent::Error>::of(
	&QBluetoothDeviceDiscoveryAgent::error);
const auto kControllerError = QOverload<QLowEnergyController::Error>::of(
	&QLowEnergyController::error);
const auto kServiceError = QOverload<QLowEnergyService::ServiceError>::of(
	&QLowEnergyService::error);
const auto kServiceDiscovered = QLowEnergyService::ServiceDiscovered;
const auto kCccd = QBluetoothUuid::ClientCharacteristicConfiguration;
#endif

QString uuidText(const QBluetoothUuid &uuid)
{
	return uuid.toString(QUuid::WithoutBraces).toUpper();
}

// CoreBluetooth names a peripheral by a UUID, BlueZ by its address.
QString idOf(const QBluetoothDeviceInfo &info)
{
	if (!info.deviceUuid().isNull())
		return uuidText(info.deviceUuid());
	return info.address().toString().toUpper();
}

// Qt reports service failures as bare codes. A Quillmarch device refuses
// its notifications and writes only to a computer that has not paired with
// it, so those two say so (which makes them read as "not_paired").
QString describe(QLowEnergyService::ServiceError error)
{
	switch (error) {
	case QLowEnergyService::DescriptorWriteError:
		return QStringLiteral(
			"The device did not permit notifications: "
			"it needs pairing (insufficient "
			"authentication or encryption).");
	case QLowEnergyService::CharacteristicWriteError:
		return QStringLiteral("The device did not permit the write: it "
				      "needs pairing (insufficient "
				      "authentication or encryption).");
	case QLowEnergyService::OperationError:
		return QStringLiteral("The device is busy or not connected.");
	default:
		return QStringLiteral("Bluetooth LE operation failed.");
	}
}

} // namespace

Central *createCentral(QObject *parent)
{
	return new QtCentral(parent);
}

QtCentral::QtCentral(QObject *parent) : Central(parent)
{
	// Without an adapter there is nothing to wait for.
	const QList<QBluetoothHostInfo> adapters =
		QBluetoothLocalDevice::allDevices();
	if (adapters.isEmpty())
		return;
	m_local = new QBluetoothLocalDevice(adapters.first().address(), this);
	if (!m_local->isValid()) {
		m_state = State::NoAdapter;
		return;
	}
	const auto fromMode = [](QBluetoothLocalDevice::HostMode mode) {
		return mode == QBluetoothLocalDevice::HostPoweredOff
			       ? State::PoweredOff
			       : State::PoweredOn;
	};
	m_state = fromMode(m_local->hostMode());
	connect(m_local, &QBluetoothLocalDevice::hostModeStateChanged, this,
		[this, fromMode](QBluetoothLocalDevice::HostMode mode) {
			setState(fromMode(mode));
		});
}

QtCentral::~QtCentral()
{
	releaseLink();
}

void QtCentral::setState(State state)
{
	if (state == m_state)
		return;
	m_state = state;
	Q_EMIT stateChanged(state);
}

void QtCentral::later(std::function<void()> report)
{
	QTimer::singleShot(0, this, std::move(report));
}

// --- scanning ------------------------------------------------------------

void QtCentral::startScan()
{
	if (m_state != State::PoweredOn)
		return;
	if (!m_agent) {
		m_agent = new QBluetoothDeviceDiscoveryAgent(this);
		// Scan until told to stop: the caller owns the duration.
		m_agent->setLowEnergyDiscoveryTimeout(0);
		connect(m_agent,
			&QBluetoothDeviceDiscoveryAgent::deviceDiscovered, this,
			&QtCentral::onDeviceFound);
		connect(m_agent, &QBluetoothDeviceDiscoveryAgent::deviceUpdated,
			this, [this](const QBluetoothDeviceInfo &info) {
				onDeviceFound(info);
			});
		connect(m_agent, kAgentError, this,
			&QtCentral::onDiscoveryError);
	}
	m_agent->stop();
	m_agent->start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod);
}

void QtCentral::stopScan()
{
	if (m_agent && m_agent->isActive())
		m_agent->stop();
}

void QtCentral::onDeviceFound(const QBluetoothDeviceInfo &info)
{
	if (!(info.coreConfigurations() &
	      QBluetoothDeviceInfo::LowEnergyCoreConfiguration))
		return;
	const QString id = idOf(info);
	if (id.isEmpty())
		return;
	m_devices.insert(id, info);
	Advertisement heard;
	heard.id = id;
	heard.localName = info.name();
	heard.name = info.name();
	for (const QBluetoothUuid &uuid : info.serviceUuids())
		heard.services.append(uuidText(uuid));
	Q_EMIT advertised(heard);
}

void QtCentral::onDiscoveryError(QBluetoothDeviceDiscoveryAgent::Error error)
{
	switch (error) {
	case QBluetoothDeviceDiscoveryAgent::PoweredOffError:
		setState(State::PoweredOff);
		break;
	case QBluetoothDeviceDiscoveryAgent::InvalidBluetoothAdapterError:
		setState(State::NoAdapter);
		break;
	case QBluetoothDeviceDiscoveryAgent::UnsupportedDiscoveryMethod:
	case QBluetoothDeviceDiscoveryAgent::UnsupportedPlatformError:
		setState(State::Unsupported);
		break;
#if QT_VERSION >= QT_VERSION_CHECK(6, 4, 0)
	case QBluetoothDeviceDiscoveryAgent::MissingPermissionsError:
		setState(State::Unauthorized);
		break;
#endif
	default:
		// A failed scan simply hears nothing; the scan still ends on
		// its caller's timer.
		break;
	}
}

QString QtCentral::peripheralName(const QString &id) const
{
	return m_devices.value(id).name();
}

bool QtCentral::canRetrieve(const QString &id) const
{
	if (m_state != State::PoweredOn)
		return false;
#ifdef Q_OS_MACOS
	return !QUuid(id).isNull();
#else
	return !QBluetoothAddress(id).isNull();
#endif
}

// --- the link ------------------------------------------------------------

bool QtCentral::isLink(const QString &id) const
{
	return m_controller && id == m_linkId;
}

void QtCentral::connectPeripheral(const QString &id)
{
	releaseLink();
	QBluetoothDeviceInfo info = m_devices.value(id);
	if (!info.isValid()) {
		// One met before but not heard in the last scan.
#ifdef Q_OS_MACOS
		info = QBluetoothDeviceInfo(QBluetoothUuid(QUuid(id)),
					    QString(), 0);
#else
		info = QBluetoothDeviceInfo(QBluetoothAddress(id), QString(),
					    0);
#endif
		info.setCoreConfigurations(
			QBluetoothDeviceInfo::LowEnergyCoreConfiguration);
	}
	m_linkId = id;
	m_step = Step::Connecting;
	m_controller = QLowEnergyController::createCentral(info, this);
	connect(m_controller, &QLowEnergyController::connected, this, [this] {
		m_step = Step::Idle;
		Q_EMIT connected(m_linkId);
	});
	connect(m_controller, kControllerError, this,
		&QtCentral::onControllerError);
	connect(m_controller, &QLowEnergyController::discoveryFinished, this,
		[this] {
			if (m_step != Step::Services)
				return;
			m_step = Step::Idle;
			QStringList services;
			for (const QBluetoothUuid &uuid :
			     m_controller->services())
				services.append(uuidText(uuid));
			Q_EMIT servicesDiscovered(m_linkId, services,
						  CentralError::none());
		});
	connect(m_controller, &QLowEnergyController::disconnected, this, [this] {
		const QString id = m_linkId;
		const CentralError error =
			m_controller->error() == QLowEnergyController::NoError
				? CentralError::none()
				: CentralError::of(m_controller->errorString());
		const bool wasConnecting = m_step == Step::Connecting;
		releaseLink();
		if (wasConnecting)
			Q_EMIT connectFailed(id, error);
		else
			Q_EMIT disconnected(id, error);
	});
	m_controller->connectToDevice();
}

void QtCentral::onControllerError(QLowEnergyController::Error error)
{
	const QString id = m_linkId;
	const CentralError failure = CentralError::of(
		m_controller ? m_controller->errorString() : QString());
	Q_UNUSED(error);
	switch (m_step) {
	case Step::Connecting:
		releaseLink();
		Q_EMIT connectFailed(id, failure);
		break;
	case Step::Services:
		m_step = Step::Idle;
		Q_EMIT servicesDiscovered(id, {}, failure);
		break;
	default:
		// A broken link reports its disconnection next.
		break;
	}
}

void QtCentral::discoverServices(const QString &id, const QString &)
{
	if (!isLink(id))
		return;
	m_step = Step::Services;
	m_controller->discoverServices();
}

void QtCentral::discoverCharacteristics(const QString &id,
					const QString &service,
					const QStringList &)
{
	if (!isLink(id))
		return;
	delete m_service;
	m_service = m_controller->createServiceObject(
		QBluetoothUuid(QUuid(service)), m_controller);
	if (!m_service) {
		later([this, id] {
			if (isLink(id))
				Q_EMIT characteristicsDiscovered(
					id, {},
					CentralError::of(QStringLiteral(
						"The service is gone.")));
		});
		return;
	}
	m_step = Step::Characteristics;
	connect(m_service, &QLowEnergyService::stateChanged, this,
		&QtCentral::onServiceState);
	connect(m_service, kServiceError, this, &QtCentral::onServiceError);
	connect(m_service, &QLowEnergyService::descriptorWritten, this,
		[this](const QLowEnergyDescriptor &descriptor) {
			if (m_step != Step::Notifications ||
			    descriptor.type() != kCccd)
				return;
			m_step = Step::Idle;
			Q_EMIT notificationsChanged(m_linkId, kResponseUuid,
						    CentralError::none());
		});
	connect(m_service, &QLowEnergyService::characteristicWritten, this,
		[this](const QLowEnergyCharacteristic &characteristic) {
			if (m_step != Step::Writing)
				return;
			m_step = Step::Idle;
			Q_EMIT writeConfirmed(m_linkId,
					      uuidText(characteristic.uuid()),
					      CentralError::none());
		});
	connect(m_service, &QLowEnergyService::characteristicChanged, this,
		[this](const QLowEnergyCharacteristic &characteristic,
		       const QByteArray &value) {
			Q_EMIT valueUpdated(m_linkId,
					    uuidText(characteristic.uuid()),
					    value, CentralError::none());
		});
	m_service->discoverDetails();
}

void QtCentral::onServiceState(QLowEnergyService::ServiceState state)
{
	if (state != kServiceDiscovered || m_step != Step::Characteristics)
		return;
	m_step = Step::Idle;
	QStringList characteristics;
	for (const QLowEnergyCharacteristic &characteristic :
	     m_service->characteristics())
		characteristics.append(uuidText(characteristic.uuid()));
	Q_EMIT characteristicsDiscovered(m_linkId, characteristics,
					 CentralError::none());
}

void QtCentral::onServiceError(QLowEnergyService::ServiceError error)
{
	const CentralError failure = CentralError::of(describe(error));
	const Step step = m_step;
	m_step = Step::Idle;
	switch (step) {
	case Step::Characteristics:
		Q_EMIT characteristicsDiscovered(m_linkId, {}, failure);
		break;
	case Step::Notifications:
		Q_EMIT notificationsChanged(m_linkId, kResponseUuid, failure);
		break;
	case Step::Writing:
		Q_EMIT writeConfirmed(m_linkId, kCommandUuid, failure);
		break;
	default:
		m_step = step;
		break;
	}
}

void QtCentral::enableNotifications(const QString &id,
				    const QString &characteristic)
{
	if (!isLink(id) || !m_service)
		return;
	const QLowEnergyDescriptor cccd =
		m_service->characteristic(QBluetoothUuid(QUuid(characteristic)))
			.descriptor(kCccd);
	if (!cccd.isValid()) {
		later([this, id, characteristic] {
			if (isLink(id))
				Q_EMIT notificationsChanged(
					id, characteristic,
					CentralError::of(QStringLiteral(
						"The device cannot notify.")));
		});
		return;
	}
	m_step = Step::Notifications;
	m_service->writeDescriptor(cccd, QByteArray::fromHex("0100"));
}

int QtCentral::maximumWriteLength(const QString &id) const
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
	// The ATT header takes 3 bytes of each packet.
	if (isLink(id) && m_controller->mtu() > 3)
		return m_controller->mtu() - 3;
#else
	Q_UNUSED(id);
#endif
	return 20;
}

void QtCentral::writeWithResponse(const QString &id,
				  const QString &characteristic,
				  const QByteArray &value)
{
	if (!isLink(id) || !m_service)
		return;
	const QLowEnergyCharacteristic target = m_service->characteristic(
		QBluetoothUuid(QUuid(characteristic)));
	if (!target.isValid()) {
		later([this, id, characteristic] {
			if (isLink(id))
				Q_EMIT writeConfirmed(
					id, characteristic,
					CentralError::of(QStringLiteral(
						"The device has no such "
						"characteristic.")));
		});
		return;
	}
	m_step = Step::Writing;
	m_service->writeCharacteristic(target, value,
				       QLowEnergyService::WriteWithResponse);
}

void QtCentral::cancelConnection(const QString &id)
{
	if (isLink(id))
		releaseLink();
}

void QtCentral::releaseLink()
{
	// Nothing of a link let go of reaches the caller any more.
	if (m_service)
		m_service->disconnect(this);
	if (m_controller) {
		m_controller->disconnect(this);
		m_controller->disconnectFromDevice();
		m_controller->deleteLater();
	}
	m_service = nullptr;
	m_controller = nullptr;
	m_linkId.clear();
	m_step = Step::Idle;
}

} // namespace quillmarch::ble
