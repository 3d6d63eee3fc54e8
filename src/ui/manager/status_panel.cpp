#include "status_panel.h"

#include "panel_widgets.h"

#include <QJsonArray>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace quillmarch {

namespace {

// What a user looks for first; everything else follows alphabetically.
const char *const kLeadingKeys[] = {
	"device_id", "firmware_version", "wifi_sta_ssid",  "wifi_sta_ip",
	"eth_ip",    "mqtt_connected",   "mqtt_transport",
};

} // namespace

StatusPanel::StatusPanel(DeviceSession *session, QWidget *parent)
	: PanelBase(session, parent)
{
	QWidget *content = panelwidgets::scrollingContent(this);
	auto *layout = new QVBoxLayout(content);

	auto *refreshButton = new QPushButton(tr("Refresh"), content);
	layout->addWidget(refreshButton, 0, Qt::AlignLeft);
	layout->addWidget(panelwidgets::heading(tr("Device"), content));
	m_device = panelwidgets::readOnlyText(150, content);
	layout->addWidget(m_device);
	layout->addWidget(
		panelwidgets::heading(tr("Scoreboard right now"), content));
	m_scoreboard = panelwidgets::readOnlyText(90, content);
	layout->addWidget(m_scoreboard);
	layout->addWidget(panelwidgets::heading(tr("Network test"), content));
	auto *hint = new QLabel(
		tr("Checks the device's local network, internet and cloud "
		   "connection. Takes about 15 seconds."),
		content);
	hint->setWordWrap(true);
	layout->addWidget(hint);
	m_test = new QPushButton(tr("Run network test"), content);
	layout->addWidget(m_test, 0, Qt::AlignLeft);
	m_results = panelwidgets::readOnlyText(120, content);
	layout->addWidget(m_results);
	statusLabel()->setParent(content);
	layout->addWidget(statusLabel());
	layout->addStretch();

	connect(refreshButton, &QPushButton::clicked, this,
		&StatusPanel::refresh);
	connect(m_test, &QPushButton::clicked, this, [this] {
		m_test->setEnabled(false);
		m_results->setPlainText(tr("Running…"));
		runTest(0);
	});
	if (DeviceSession *s = this->session())
		connect(s, &DeviceSession::envelope, this,
			&StatusPanel::showEnvelope);
}

QString StatusPanel::valueText(const QJsonValue &value)
{
	switch (value.type()) {
	case QJsonValue::Bool:
		return value.toBool() ? tr("yes") : tr("no");
	case QJsonValue::Double: {
		const double d = value.toDouble();
		if (std::isfinite(d) && d == std::floor(d) &&
		    std::fabs(d) < 9.0e15)
			return QString::number(qint64(d));
		return QString::number(d, 'g', 6);
	}
	case QJsonValue::String:
		return value.toString();
	default:
		return QString();
	}
}

QStringList StatusPanel::statusLines(const QJsonObject &status)
{
	QStringList keys;
	for (const char *k : kLeadingKeys)
		if (status.contains(QLatin1String(k)))
			keys << QLatin1String(k);
	QStringList rest;
	for (auto it = status.begin(); it != status.end(); ++it) {
		const QString &key = it.key();
		if (!keys.contains(key))
			rest << key;
	}
	std::sort(rest.begin(), rest.end());
	keys << rest;

	static const QHash<QString, const char *> labels = {
		{QStringLiteral("device_id"), QT_TR_NOOP("Device ID")},
		{QStringLiteral("firmware_version"), QT_TR_NOOP("Firmware")},
		{QStringLiteral("wifi_sta_ip"), QT_TR_NOOP("Wi-Fi address")},
		{QStringLiteral("wifi_sta_ssid"), QT_TR_NOOP("Wi-Fi network")},
		{QStringLiteral("wifi_sta_status"), QT_TR_NOOP("Wi-Fi status")},
		{QStringLiteral("wifi_sta_rssi"),
		 QT_TR_NOOP("Wi-Fi signal (dBm)")},
		{QStringLiteral("eth_ip"), QT_TR_NOOP("Ethernet address")},
		{QStringLiteral("mqtt_connected"),
		 QT_TR_NOOP("Cloud connected")},
		{QStringLiteral("mqtt_transport"), QT_TR_NOOP("Cloud route")},
		{QStringLiteral("tcp_clients"), QT_TR_NOOP("TCP clients")},
		{QStringLiteral("reset_reason"), QT_TR_NOOP("Last restart")},
		{QStringLiteral("uptime_s"), QT_TR_NOOP("Uptime (s)")},
		{QStringLiteral("tls_fingerprint"),
		 QT_TR_NOOP("TLS fingerprint")},
		{QStringLiteral("must_change_password"),
		 QT_TR_NOOP("Password change needed")},
	};

	QStringList lines;
	for (const QString &key : keys) {
		// The session's anti-forgery token is no business of the user.
		if (key == QLatin1String("csrf_token"))
			continue;
		const QJsonValue value = status.value(key);
		if (value.isArray())
			continue;
		const auto label = labels.constFind(key);
		const QString name =
			label == labels.constEnd() ? key : tr(label.value());
		QString text;
		if (value.isObject()) {
			const QJsonObject object = value.toObject();
			QStringList pairs;
			for (auto it = object.begin(); it != object.end(); ++it)
				pairs << QStringLiteral("%1=%2").arg(
					it.key(), valueText(it.value()));
			text = pairs.join(QStringLiteral(", "));
		} else {
			text = valueText(value);
		}
		lines << tr("%1: %2").arg(name, text);
	}
	return lines;
}

void StatusPanel::refresh()
{
	setMessage(QString());
	call(
		QStringLiteral("getStatus"), QJsonObject(),
		[this](const RpcResult &result) {
			if (!result.ok) {
				setMessage(result.message, true);
				return;
			}
			m_device->setPlainText(
				statusLines(result.result)
					.join(QLatin1Char('\n')));
		},
		20000);
}

void StatusPanel::showEnvelope(const QJsonObject &envelope)
{
	QStringList lines;
	const QString sport = envelope.value(QLatin1String("sport")).toString();
	if (!sport.isEmpty())
		lines << tr("Sport: %1").arg(sport);
	const QJsonObject fields =
		envelope.value(QLatin1String("fields")).toObject();
	for (auto it = fields.begin(); it != fields.end(); ++it)
		lines << tr("%1: %2").arg(it.key(), valueText(it.value()));
	const QString text = lines.isEmpty() ? tr("No scoreboard data yet.")
					     : lines.join(QLatin1Char('\n'));
	// Envelopes come several times a second; rewriting the same text
	// would reset the user's selection and scroll position each time.
	if (m_scoreboard->toPlainText() != text)
		m_scoreboard->setPlainText(text);
}

void StatusPanel::runTest(int attempt)
{
	call(
		QStringLiteral("networkTest"), QJsonObject(),
		[this, attempt](const RpcResult &result) {
			if (!result.ok) {
				m_test->setEnabled(true);
				m_results->setPlainText(result.message);
				return;
			}
			showTest(result.result, attempt);
		},
		25000);
	// Without a session the call says so and the test never starts.
	if (!session())
		m_test->setEnabled(true);
}

void StatusPanel::showTest(const QJsonObject &result, int attempt)
{
	static const struct {
		const char *key;
		const char *label;
	} kChecks[] = {
		{"local_network", QT_TR_NOOP("Local network")},
		{"dns", QT_TR_NOOP("DNS")},
		{"mqtt", QT_TR_NOOP("Cloud (secure port)")},
		{"websocket_https", QT_TR_NOOP("Cloud (backup route)")},
		{"firewall", QT_TR_NOOP("Internet")},
		{"end_to_end", QT_TR_NOOP("End to end")},
	};
	const QJsonObject checks =
		result.value(QLatin1String("checks")).toObject();
	QStringList lines;
	for (const auto &c : kChecks) {
		const QJsonValue value = checks.value(QLatin1String(c.key));
		if (value.isUndefined())
			continue;
		const QJsonObject check = value.toObject();
		const QString detail =
			check.value(QLatin1String("detail")).toString();
		lines << tr("%1 %2%3").arg(
			check.value(QLatin1String("ok")).toBool()
				? QStringLiteral("✓")
				: QStringLiteral("✗"),
			tr(c.label),
			detail.isEmpty() ? QString()
					 : QStringLiteral(" – ") + detail);
	}
	if (result.value(QLatin1String("status")).toString() ==
	    QLatin1String("done")) {
		lines << (result.value(QLatin1String("overall")).toBool()
				  ? tr("All checks passed.")
				  : tr("Some checks failed."));
		m_test->setEnabled(true);
	} else {
		lines << tr("Still running…");
		if (attempt < kMaxTestAttempts) {
			// Parented to the panel: closing it ends the polling.
			auto *next = new QTimer(this);
			next->setSingleShot(true);
			connect(next, &QTimer::timeout, this,
				[this, next, attempt] {
					next->deleteLater();
					runTest(attempt + 1);
				});
			next->start(m_timings.testPollMs);
		} else {
			m_test->setEnabled(true);
		}
	}
	m_results->setPlainText(lines.join(QLatin1Char('\n')));
}

} // namespace quillmarch
