#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

namespace quillmarch {

// The latest value of every scoreboard field delivered by the chosen live
// source. Written on the main thread only; the readers lock and return
// copies, so OBS's render and source threads may call them at any time.
class LiveData : public QObject {
	Q_OBJECT

public:
	explicit LiveData(QObject *parent = nullptr);

	// Applies one live-data envelope. Returns false when the envelope is
	// empty or of a type that carries no scoreboard state.
	bool ingest(const QJsonObject &envelope);
	void clear();
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
	mutable QMutex m_mutex;
	QString m_sport;
	QMap<QString, QString> m_fields;
	QString m_sourceLabel;
	QDateTime m_updatedAt;
};

} // namespace quillmarch
