#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace quillmarch::ble {

// A failure reported by the Bluetooth stack. The description may be empty:
// some stacks fail without saying why.
struct CentralError {
	bool failed = false;
	QString description;

	static CentralError none() { return {}; }
	static CentralError of(const QString &text) { return {true, text}; }
	explicit operator bool() const { return failed; }
};

// One advertisement heard while scanning.
struct Advertisement {
	QString id;           // the peripheral's identifier
	QString localName;    // advertised local name; empty when none
	QString name;         // the peripheral's own name; empty when none
	QStringList services; // advertised service UUIDs
};

// The Bluetooth LE central that the request handling drives. The real one
// sits on Qt Bluetooth; tests and the simulator use their own. Every call
// is asynchronous: results come back as signals, on the main thread, never
// from inside the call itself.
class Central : public QObject {
	Q_OBJECT

public:
	enum class State {
		Unknown,     // still finding out; wait for stateChanged
		Resetting,   // the stack restarts; wait for stateChanged
		NoAdapter,   // no adapter at all on this computer
		Unsupported, // an adapter without Bluetooth LE
		Unauthorized,
		PoweredOff,
		PoweredOn,
	};

	using QObject::QObject;

	virtual State state() const = 0;

	// Reports every advertiser heard through advertised(), each device
	// once per scan unless what it advertises changes.
	virtual void startScan() = 0;
	virtual void stopScan() = 0;
	// The peripheral's own name as known now; empty when none.
	virtual QString peripheralName(const QString &id) const = 0;
	// Whether the stack can reach a peripheral by this id without a scan
	// (one it has met before).
	virtual bool canRetrieve(const QString &id) const = 0;

	// The connection steps, each answered by its signal.
	virtual void connectPeripheral(const QString &id) = 0;
	virtual void discoverServices(const QString &id,
				      const QString &service) = 0;
	virtual void discoverCharacteristics(const QString &id,
					     const QString &service,
					     const QStringList &wanted) = 0;
	virtual void enableNotifications(const QString &id,
					 const QString &characteristic) = 0;
	// The largest single write with response, in bytes.
	virtual int maximumWriteLength(const QString &id) const = 0;
	virtual void writeWithResponse(const QString &id,
				       const QString &characteristic,
				       const QByteArray &value) = 0;
	// Ends a connection or a connection attempt; disconnected() follows.
	virtual void cancelConnection(const QString &id) = 0;

Q_SIGNALS:
	void stateChanged(quillmarch::ble::Central::State state);
	void advertised(const quillmarch::ble::Advertisement &advertisement);
	void connected(const QString &id);
	void connectFailed(const QString &id,
			   const quillmarch::ble::CentralError &error);
	void servicesDiscovered(const QString &id, const QStringList &services,
				const quillmarch::ble::CentralError &error);
	void
	characteristicsDiscovered(const QString &id,
				  const QStringList &characteristics,
				  const quillmarch::ble::CentralError &error);
	void notificationsChanged(const QString &id,
				  const QString &characteristic,
				  const quillmarch::ble::CentralError &error);
	void writeConfirmed(const QString &id, const QString &characteristic,
			    const quillmarch::ble::CentralError &error);
	void valueUpdated(const QString &id, const QString &characteristic,
			  const QByteArray &value,
			  const quillmarch::ble::CentralError &error);
	void disconnected(const QString &id,
			  const quillmarch::ble::CentralError &error);
};

// The GATT identifiers of a Quillmarch device, upper case.
inline const QString kServiceUuid =
	QStringLiteral("6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
inline const QString kCommandUuid =
	QStringLiteral("6E400003-B5A3-F393-E0A9-E50E24DCCA9E");
inline const QString kResponseUuid =
	QStringLiteral("6E400004-B5A3-F393-E0A9-E50E24DCCA9E");

} // namespace quillmarch::ble
