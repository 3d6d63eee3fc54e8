#pragma once

#include "lan/lan_device.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QJsonObject;

namespace quillmarch {

class DeviceSession;
class LiveData;
class PortalClient;
class TlsFeed;

// Which live source feeds the scoreboard data: a device session just set
// up, a device's secure feed on the local network, or the cloud service
// polled through the account. Exactly one is active; choosing one stops the
// previous one, so nothing late from it can reach the live data.
class SourceManager : public QObject {
	Q_OBJECT

public:
	enum Mode { None = 0, Cloud = 1, Lan = 2, Session = 3 };
	Q_ENUM(Mode)

	struct Timings {
		int pollMs = 1000;
		int slowPollMs = 5000;
	};
	// Failed cloud polls in a row before polling slows down.
	static constexpr int kFailuresBeforeSlowPoll = 6;

	SourceManager(PortalClient *portal, LiveData *live,
		      QObject *parent = nullptr);
	~SourceManager() override;

	void setTimings(const Timings &timings);
	// Devices serve their feed on one well-known port; tests run theirs
	// wherever the system puts it.
	void setFeedPort(quint16 port) { m_feedPort = port; }

	void useSession(DeviceSession *session, const QString &label);
	void useLan(const QString &deviceId, const LanDevice &device);
	void useCloud(const QString &deviceId);
	void pollCloud();

	Mode mode() const { return m_mode; }
	QString deviceId() const { return m_deviceId; }
	QString label() const { return m_label; }
	bool isLive() const { return m_isLive; }
	QString statusText() const { return m_statusText; }
	TlsFeed *feed() const { return m_feed; }
	int pollInterval() const { return m_pollTimer.interval(); }
	bool isPolling() const { return m_pollTimer.isActive(); }

Q_SIGNALS:
	void statusChanged();

private:
	void switchSource(Mode mode, const QString &deviceId,
			  const QString &label);
	void setStatus(bool live, const QString &text);
	void onFeedEnvelope(const QJsonObject &envelope);
	void onFeedConnected(bool connected, const QString &detail);
	void onSignedInChanged(bool signedIn);

	PortalClient *m_portal;
	LiveData *m_live;
	Timings m_timings;
	Mode m_mode = None;
	QString m_deviceId;
	QString m_label;
	bool m_isLive = false;
	QString m_statusText;
	QTimer m_pollTimer;
	bool m_pollInFlight = false;
	int m_pollFailures = 0;
	int m_generation = 0;
	QPointer<DeviceSession> m_session;
	TlsFeed *m_feed;
	quint16 m_feedPort;
};

} // namespace quillmarch
