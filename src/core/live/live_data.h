#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>

class QTimer;

namespace quillmarch {

// The latest value of every scoreboard field delivered by the chosen live
// source. Written on the main thread only; the readers lock and return
// copies, so OBS's render and source threads may call them at any time.
class LiveData : public QObject {
	Q_OBJECT

public:
	explicit LiveData(QObject *parent = nullptr);

	// Applies one live-data envelope, at once or after the delay. Returns
	// false when the envelope is empty or of a type that carries no
	// scoreboard state (known at once, whatever the delay).
	bool ingest(const QJsonObject &envelope);
	// Drops what was held back too: it belonged to the source being left.
	void clear();

	// Holds every change back this long before readers see it, to match a
	// stream delay (0, the default: nothing is held). Changing it re-times
	// what waits; 0 lets it all through at once. Clamped to 0 ... 60 s.
	void setDelayMs(int ms);
	int delayMs() const { return m_delayMs; }
	int pendingCount() const { return int(m_pending.size()); }
	static constexpr int kMaxDelayMs = 60000;
	// What may wait at once: 20 changes a second for the longest delay.
	// Past it a change is merged into the newest waiting one.
	static constexpr int kMaxPending = 1200;
	void setSourceLabel(const QString &label);

	QString sport() const;
	QStringList fieldNames() const;
	QString value(const QString &name) const;
	QString sourceLabel() const;
	QDateTime updatedAt() const;
	QJsonObject toJson() const;

	// The text a JSON value is stored as.
	static QString fieldText(const QJsonValue &value);

Q_SIGNALS:
	void changed();
	void fieldsChanged(const QStringList &names);
	void sourceChanged();

private:
	struct Update {
		QString sport;
		QJsonObject fields;
		qint64 arrivedMs = 0;
	};
	void apply(const Update &update);
	void releaseDue();
	void scheduleRelease();

	int m_delayMs = 0;
	std::deque<Update> m_pending;
	QElapsedTimer m_clock;
	QTimer *m_releaseTimer = nullptr;

	mutable QMutex m_mutex;
	QString m_sport;
	QMap<QString, QString> m_fields;
	QString m_sourceLabel;
	QDateTime m_updatedAt;
};

} // namespace quillmarch
