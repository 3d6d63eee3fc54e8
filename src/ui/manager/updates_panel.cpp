#include "updates_panel.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace quillmarch {

namespace {

QProgressBar *progressBar(QWidget *parent)
{
	auto *bar = new QProgressBar(parent);
	bar->setRange(0, 100);
	bar->setValue(0);
	return bar;
}

// Percent done, truncated; 0 while the size is not known yet.
int percent(const QJsonObject &progress, const QString &doneKey)
{
	const double total =
		progress.value(QStringLiteral("total_bytes")).toDouble();
	if (!(total > 0))
		return 0;
	const double done = progress.value(doneKey).toDouble();
	return qBound(0, int(done * 100 / total), 100);
}

QString errorOf(const QJsonObject &progress)
{
	const QString error =
		progress.value(QStringLiteral("error")).toString();
	return error.isEmpty() ? UpdatesPanel::tr("unknown error") : error;
}

} // namespace

UpdatesPanel::UpdatesPanel(DeviceSession *session, QWidget *parent)
	: PanelBase(session, parent)
{
	auto *layout = new QVBoxLayout(this);

	auto *firmware = new QGroupBox(tr("Device firmware"), this);
	auto *firmwareLayout = new QVBoxLayout(firmware);
	m_firmwareRunning = new QLabel(firmware);
	firmwareLayout->addWidget(m_firmwareRunning);
	auto *firmwareRow = new QHBoxLayout;
	m_checkButton = new QPushButton(tr("Check for update"), firmware);
	m_installButton =
		new QPushButton(tr("Install update and restart"), firmware);
	m_installButton->setEnabled(false);
	firmwareRow->addWidget(m_checkButton);
	firmwareRow->addWidget(m_installButton);
	firmwareRow->addStretch();
	firmwareLayout->addLayout(firmwareRow);
	m_firmwareProgress = progressBar(firmware);
	firmwareLayout->addWidget(m_firmwareProgress);
	layout->addWidget(firmware);

	auto *chip = new QGroupBox(tr("Wireless chip (ESP32-C6)"), this);
	auto *chipLayout = new QVBoxLayout(chip);
	m_chipRunning = new QLabel(chip);
	chipLayout->addWidget(m_chipRunning);
	m_chipButton =
		new QPushButton(tr("Update wireless chip and restart"), chip);
	chipLayout->addWidget(m_chipButton, 0, Qt::AlignLeft);
	m_chipProgress = progressBar(chip);
	chipLayout->addWidget(m_chipProgress);
	layout->addWidget(chip);

	layout->addWidget(statusLabel());
	layout->addStretch();

	connect(m_checkButton, &QPushButton::clicked, this,
		&UpdatesPanel::check);
	connect(m_installButton, &QPushButton::clicked, this,
		&UpdatesPanel::install);
	connect(m_chipButton, &QPushButton::clicked, this,
		&UpdatesPanel::updateChip);
}

void UpdatesPanel::later(int ms, std::function<void()> step)
{
	// Dies with the panel: no poll outlives the window.
	QTimer::singleShot(ms, this, std::move(step));
}

void UpdatesPanel::refresh()
{
	call(
		QStringLiteral("getStatus"), {},
		[this](const RpcResult &r) {
			if (r.ok)
				m_firmwareRunning->setText(
					tr("Running: %1")
						.arg(r.result
							     .value(QStringLiteral(
								     "firmware_version"))
							     .toString()));
		},
		m_timings.callMs);
	call(
		QStringLiteral("c6OtaStatus"), {},
		[this](const RpcResult &r) {
			if (!r.ok)
				return;
			QString version =
				r.result.value(QStringLiteral(
						       "c6_running_version"))
					.toString();
			if (version.isEmpty())
				version = r.result
						  .value(QStringLiteral(
							  "running_version"))
						  .toString();
			if (version.isEmpty())
				version = tr("unknown");
			m_chipRunning->setText(tr("Running: %1").arg(version));
		},
		m_timings.callMs);
}

void UpdatesPanel::check()
{
	setMessage(tr("Checking…"));
	call(
		QStringLiteral("otaCheck"), {},
		[this](const RpcResult &r) {
			if (!r.ok) {
				setMessage(r.message, true);
				return;
			}
			m_firmwareRunning->setText(
				tr("Running: %1")
					.arg(r.result
						     .value(QStringLiteral(
							     "current_version"))
						     .toString()));
			const bool available =
				r.result.value(QStringLiteral(
						       "update_available"))
					.toBool();
			m_available =
				available ? r.result.value(QStringLiteral(
								   "version"))
						    .toString()
					  : QString();
			m_installButton->setEnabled(available);
			const QString error =
				r.result.value(QStringLiteral("error"))
					.toString();
			if (!error.isEmpty())
				setMessage(tr("Error: %1").arg(error));
			else if (available)
				setMessage(tr("Version %1 is available.")
						   .arg(m_available));
			else
				setMessage(tr("Up to date."));
		},
		m_timings.checkMs);
}

void UpdatesPanel::install()
{
	const QString what = m_available.isEmpty()
				     ? tr("the latest firmware")
				     : tr("version %1").arg(m_available);
	if (!ask(tr("Install update"),
		 tr("Install %1 and restart the device now?").arg(what)))
		return;
	if (!connectedSession())
		return;
	m_installButton->setEnabled(false);
	m_checkButton->setEnabled(false);
	setMessage(tr("Starting the update…"));
	call(
		QStringLiteral("otaApply"), {},
		[this](const RpcResult &r) {
			if (!r.ok) {
				stopFirmware();
				setMessage(r.message, true);
				return;
			}
			pollFirmware(0);
		},
		m_timings.callMs);
}

void UpdatesPanel::stopFirmware()
{
	m_installButton->setEnabled(true);
	m_checkButton->setEnabled(true);
}

void UpdatesPanel::pollFirmware(int attempt)
{
	if (!session()) {
		stopFirmware();
		setMessage(tr("Not connected to a device."), true);
		return;
	}
	call(
		QStringLiteral("otaProgress"), {},
		[this, attempt](const RpcResult &r) {
			if (!r.ok) {
				// The device restarts at the end of an update
				// and may miss a few polls before that.
				if (attempt + 1 < kMaxPollFailures) {
					later(m_timings.retryMs,
					      [this, attempt] {
						      pollFirmware(attempt + 1);
					      });
					return;
				}
				stopFirmware();
				setMessage(
					tr("Lost contact with the device while it updates (it is probably restarting). Reconnect in a minute."),
					true);
				return;
			}
			const QString state =
				r.result.value(QStringLiteral("state"))
					.toString();
			if (state == QLatin1String("downloading")) {
				const int value = percent(
					r.result, QStringLiteral("bytes_read"));
				m_firmwareProgress->setValue(value);
				setMessage(tr("Downloading… %1%").arg(value));
			} else if (state == QLatin1String("applying")) {
				m_firmwareProgress->setValue(100);
				setMessage(tr(
					"Verifying and applying the update…"));
			} else if (state == QLatin1String("rebooting")) {
				m_firmwareProgress->setValue(100);
				setMessage(tr(
					"Update applied. The device is restarting – reconnect in a minute."));
				stopFirmware();
				return;
			} else if (state == QLatin1String("failed")) {
				setMessage(tr("Update failed: %1")
						   .arg(errorOf(r.result)),
					   true);
				stopFirmware();
				return;
			}
			later(m_timings.pollMs, [this] { pollFirmware(0); });
		},
		m_timings.progressCallMs);
}

void UpdatesPanel::updateChip()
{
	if (!ask(tr("Update wireless chip"),
		 tr("Update the wireless chip from the staged image and restart the device?")))
		return;
	if (!connectedSession())
		return;
	m_chipButton->setEnabled(false);
	call(
		QStringLiteral("c6OtaApply"),
		{{QStringLiteral("source"), QStringLiteral("partition")},
		 {QStringLiteral("force"), false}},
		[this](const RpcResult &r) {
			if (!r.ok) {
				m_chipButton->setEnabled(true);
				setMessage(r.message, true);
				return;
			}
			pollC6(0);
		},
		m_timings.callMs);
}

void UpdatesPanel::pollC6(int attempt)
{
	if (!session()) {
		m_chipButton->setEnabled(true);
		setMessage(tr("Not connected to a device."), true);
		return;
	}
	call(
		QStringLiteral("c6OtaStatus"), {},
		[this, attempt](const RpcResult &r) {
			if (!r.ok) {
				if (attempt + 1 < kMaxPollFailures) {
					later(m_timings.retryMs,
					      [this, attempt] {
						      pollC6(attempt + 1);
					      });
					return;
				}
				m_chipButton->setEnabled(true);
				setMessage(
					tr("Lost contact with the device (it may be restarting)."),
					true);
				return;
			}
			const QString state =
				r.result.value(QStringLiteral("state"))
					.toString();
			m_chipProgress->setValue(percent(
				r.result, QStringLiteral("bytes_sent")));
			if (state == QLatin1String("rebooting") ||
			    state == QLatin1String("done")) {
				m_chipProgress->setValue(100);
				setMessage(tr(
					"Finished. The device may restart."));
				m_chipButton->setEnabled(true);
				return;
			}
			if (state == QLatin1String("failed")) {
				setMessage(tr("Update failed: %1")
						   .arg(errorOf(r.result)),
					   true);
				m_chipButton->setEnabled(true);
				return;
			}
			if (state == QLatin1String("idle")) {
				m_chipButton->setEnabled(true);
				return;
			}
			setMessage(tr("Working… (%1)").arg(state));
			later(m_timings.pollMs, [this] { pollC6(0); });
		},
		m_timings.progressCallMs);
}

} // namespace quillmarch
