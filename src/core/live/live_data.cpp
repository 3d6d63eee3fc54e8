#include "live/live_data.h"

#include <QJsonValue>
#include <QMutexLocker>
#include <QTimer>

#include <algorithm>

#include <cmath>
#include <limits>

namespace quillmarch {

namespace {

// Envelope bookkeeping members; never scoreboard fields.
bool isReservedKey(const QString &key)
{
	static const QStringList reserved = {
		QStringLiteral("type"),         QStringLiteral("seq"),
		QStringLiteral("ts_ms"),        QStringLiteral("v"),
		QStringLiteral("sport"),        QStringLiteral("online"),
		QStringLiteral("device_ts_ms"), QStringLiteral("fw_version"),
		QStringLiteral("transport")};
	return reserved.contains(key);
}

bool isStateType(const QString &type)
{
	return type.isEmpty() || type == QLatin1String("state") ||
	       type == QLatin1String("heartbeat") ||
	       type == QLatin1String("auth_ok");
}

QString numberText(double v)
{
	if (std::isfinite(v) && std::floor(v) == v) {
		// Whole numbers print without a decimal point or exponent.
		// Beyond 64-bit range the 'f' form still gives every digit.
		if (std::fabs(v) < 9223372036854775808.0)
			return QString::number(static_cast<qint64>(v));
		return QString::number(v, 'f', 0);
	}
	return QString::number(v, 'g', 6);
}

} // namespace

LiveData::LiveData(QObject *parent)
	: QObject(parent),
	  m_releaseTimer(new QTimer(this))
{
	m_clock.start();
	m_releaseTimer->setSingleShot(true);
	// A held-back score is due at a set moment; Qt's coarse timers could
	// add 5 % of a long delay on top.
	m_releaseTimer->setTimerType(Qt::PreciseTimer);
	connect(m_releaseTimer, &QTimer::timeout, this, &LiveData::releaseDue);
}

QString LiveData::fieldText(const QJsonValue &value)
{
	switch (value.type()) {
	case QJsonValue::String:
		return value.toString();
	case QJsonValue::Bool:
		return value.toBool() ? QStringLiteral("true")
				      : QStringLiteral("false");
	case QJsonValue::Double: {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
		// Qt 6 keeps a whole number of the JSON text as a 64-bit
		// integer; going through double would drop digits past 2^53.
		constexpr qint64 notWhole = std::numeric_limits<qint64>::min();
		const qint64 whole = value.toInteger(notWhole);
		if (whole != notWhole)
			return QString::number(whole);
#endif
		return numberText(value.toDouble());
	}
	default:
		return QString();
	}
}

bool LiveData::ingest(const QJsonObject &envelope)
{
	if (envelope.isEmpty())
		return false;

	const QString type = envelope.value(QLatin1String("type")).toString();
	if (!isStateType(type))
		return false;

	QJsonObject container = envelope;
	const QJsonValue fields = envelope.value(QLatin1String("fields"));
	const QJsonValue data = envelope.value(QLatin1String("data"));
	if (fields.isObject())
		container = fields.toObject();
	else if (data.isObject())
		container = data.toObject();

	Update update{envelope.value(QLatin1String("sport")).toString(),
		      container, m_clock.elapsed()};
	if (m_delayMs <= 0) {
		apply(update);
		return true;
	}
	if (int(m_pending.size()) >= kMaxPending) {
		// Later members win, as they would have when applied in turn.
		Update &newest = m_pending.back();
		if (!update.sport.isEmpty())
			newest.sport = update.sport;
		for (auto it = update.fields.constBegin();
		     it != update.fields.constEnd(); ++it)
			newest.fields.insert(it.key(), it.value());
		return true;
	}
	m_pending.push_back(std::move(update));
	if (m_pending.size() == 1)
		scheduleRelease();
	return true;
}

void LiveData::apply(const Update &update)
{
	QStringList newNames;
	bool changedAny = false;
	{
		QMutexLocker lock(&m_mutex);
		if (!update.sport.isEmpty() && update.sport != m_sport) {
			m_sport = update.sport;
			changedAny = true;
		}
		for (auto it = update.fields.constBegin();
		     it != update.fields.constEnd(); ++it) {
			const QJsonValue v = it.value();
			if (isReservedKey(it.key()) || v.isArray() ||
			    v.isObject())
				continue;
			const QString text = fieldText(v);
			auto existing = m_fields.find(it.key());
			if (existing == m_fields.end()) {
				m_fields.insert(it.key(), text);
				newNames.append(it.key());
				changedAny = true;
			} else if (existing.value() != text) {
				existing.value() = text;
				changedAny = true;
			}
		}
		m_updatedAt = QDateTime::currentDateTimeUtc();
	}

	if (!newNames.isEmpty())
		Q_EMIT fieldsChanged(newNames);
	if (changedAny)
		Q_EMIT changed();
}

void LiveData::setDelayMs(int ms)
{
	m_delayMs = std::clamp(ms, 0, kMaxDelayMs);
	releaseDue();
}

void LiveData::releaseDue()
{
	// A reader may clear or re-time from a changed() handler: take one
	// update at a time and look at the queue again after each.
	while (!m_pending.empty() &&
	       m_pending.front().arrivedMs + m_delayMs <= m_clock.elapsed()) {
		const Update update = std::move(m_pending.front());
		m_pending.pop_front();
		apply(update);
	}
	scheduleRelease();
}

void LiveData::scheduleRelease()
{
	if (m_pending.empty()) {
		m_releaseTimer->stop();
		return;
	}
	const qint64 due = m_pending.front().arrivedMs + m_delayMs;
	m_releaseTimer->start(
		int(std::max<qint64>(0, due - m_clock.elapsed())));
}

void LiveData::clear()
{
	m_pending.clear();
	m_releaseTimer->stop();
	{
		QMutexLocker lock(&m_mutex);
		if (m_fields.isEmpty() && m_sport.isEmpty())
			return;
		m_fields.clear();
		m_sport.clear();
		m_updatedAt = QDateTime();
	}
	Q_EMIT fieldsChanged(QStringList());
	Q_EMIT changed();
}

void LiveData::setSourceLabel(const QString &label)
{
	{
		QMutexLocker lock(&m_mutex);
		if (m_sourceLabel == label)
			return;
		m_sourceLabel = label;
	}
	Q_EMIT sourceChanged();
}

QString LiveData::sport() const
{
	QMutexLocker lock(&m_mutex);
	return m_sport;
}

QStringList LiveData::fieldNames() const
{
	QMutexLocker lock(&m_mutex);
	return m_fields.keys();
}

QString LiveData::value(const QString &name) const
{
	QMutexLocker lock(&m_mutex);
	return m_fields.value(name);
}

QString LiveData::sourceLabel() const
{
	QMutexLocker lock(&m_mutex);
	return m_sourceLabel;
}

QDateTime LiveData::updatedAt() const
{
	QMutexLocker lock(&m_mutex);
	return m_updatedAt;
}

QJsonObject LiveData::toJson() const
{
	QMutexLocker lock(&m_mutex);
	QJsonObject fields;
	for (auto it = m_fields.constBegin(); it != m_fields.constEnd(); ++it)
		fields.insert(it.key(), it.value());
	return QJsonObject{
		{QStringLiteral("sport"), m_sport},
		{QStringLiteral("fields"), fields},
		{QStringLiteral("source"), m_sourceLabel},
		{QStringLiteral("updated_at"),
		 m_updatedAt.isValid() ? m_updatedAt.toString(Qt::ISODate)
				       : QString()},
	};
}

} // namespace quillmarch
