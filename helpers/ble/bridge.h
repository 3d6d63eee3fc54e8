#pragma once

#include "central.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

namespace quillmarch::ble {

// Carries out the plug-in's requests on a Bluetooth central and answers
// them: one JSON object in, at most one reply line out, plus "data" and
// "disconnected" events. Everything runs on the main thread.
//
// Each kind of request (start, scan, connect, write) has at most one
// outstanding instance; a newer one takes the place of an older one.
class Bridge : public QObject {
	Q_OBJECT

public:
	struct Timings {
		// How long "start" waits for the stack to say what it has.
		int startTimeoutMs = 12000;
		// How long "connect" may take from the request to notifications
		// being on.
		int connectTimeoutMs = 120000;
		// Scan durations are clamped to this range.
		int scanMinMs = 500;
		int scanMaxMs = 30000;
	};

	using CentralFactory = std::function<Central *(QObject *parent)>;
	using Send = std::function<void(const QJsonObject &line)>;

	// The central is made by the first "start", through the factory.
	Bridge(CentralFactory makeCentral, Send send, const Timings &timings,
	       QObject *parent = nullptr);

	void handle(const QJsonObject &request);

	Central *central() const { return m_central; }

Q_SIGNALS:
	// A "quit" request: the process should end now, with status 0.
	void quitRequested();

private:
	// The reqId of a request still waiting for its answer. A request
	// without a reqId is tracked too, but its answer is never sent.
	using Pending = std::optional<QJsonValue>;

	void start(const QJsonValue &reqId);
	bool answerStart(const QJsonValue &reqId);
	void scan(const QJsonValue &reqId, int ms);
	void finishScan();
	void connectTo(const QJsonValue &reqId, const QString &id);
	void write(const QJsonValue &reqId, const QJsonValue &b64);
	void disconnectActive(const QJsonValue &reqId);
	void failConnect(const QString &code, const QString &message);
	void dropActive();

	void onStateChanged(Central::State state);
	void onAdvertised(const Advertisement &advertisement);
	void onConnected(const QString &id);
	void onConnectFailed(const QString &id, const CentralError &error);
	void onServicesDiscovered(const QString &id,
				  const QStringList &services,
				  const CentralError &error);
	void onCharacteristicsDiscovered(const QString &id,
					 const QStringList &characteristics,
					 const CentralError &error);
	void onNotificationsChanged(const QString &id,
				    const QString &characteristic,
				    const CentralError &error);
	void onWriteConfirmed(const QString &id, const QString &characteristic,
			      const CentralError &error);
	void onValueUpdated(const QString &id, const QString &characteristic,
			    const QByteArray &value, const CentralError &error);
	void onDisconnected(const QString &id, const CentralError &error);

	void reply(const QJsonValue &reqId, const QJsonObject &result);
	void replyError(const QJsonValue &reqId, const QString &code,
			const QString &message);
	bool isActive(const QString &id) const;

	CentralFactory m_makeCentral;
	Send m_send;
	Timings m_timings;

	Central *m_central = nullptr;
	// Candidates of the last scan and devices looked up by connect, by
	// id, with the name they advertised.
	QMap<QString, QString> m_peripherals;
	QSet<QString> m_seenAll;
	// Every "start" that waits for the stack to know its state: they
	// share one answer, so none is left without a reply.
	QList<QJsonValue> m_startWaiting;
	Pending m_scanReq, m_connectReq, m_writeReq;
	// Tells a timer whether the request it was armed for is still the
	// one outstanding.
	quint64 m_startSerial = 0, m_scanSerial = 0, m_connectSerial = 0;
	QString m_active; // connected or being connected; empty: none
	bool m_command = false, m_response = false;
	bool m_scanning = false;
};

// The error code for a failure of the stack: pairing and encryption
// trouble reads as "not_paired", everything else as "ble_error".
QString classify(const CentralError &error);

} // namespace quillmarch::ble
