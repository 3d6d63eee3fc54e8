// Restarts and firmware updates: the main firmware from the update server
// and the wireless chip's from its staging partition.

#include "device_internal.h"
#include "device_model.h"

#include <algorithm>

namespace quillmarch::sim {

using detail::str;

namespace {

constexpr qint64 kImageBytes = 1572864;  // the main firmware image
constexpr qint64 kDownloadRate = 131072; // bytes per device second
constexpr qint64 kApplyMs = 2500;        // verify and switch partitions
constexpr qint64 kRebootAfterMs = 800;   // "rebooting" before it does
constexpr qint64 kC6ImageBytes = 917504; // the wireless chip's image
constexpr qint64 kC6FlashRate = 229376;  // bytes per device second

bool running(const QString &state)
{
	return state == QLatin1String("downloading") ||
	       state == QLatin1String("applying") ||
	       state == QLatin1String("rebooting") ||
	       state == QLatin1String("flashing");
}

} // namespace

qint64 DeviceModel::Transfer::bytes(qint64 now) const
{
	if (doneBytes >= 0)
		return doneBytes;
	if (state == QLatin1String("idle"))
		return 0;
	return std::min(total, (now - startedAt) * bytesPerSecond / 1000);
}

void DeviceModel::reboot(Session &, const QJsonObject &, const Respond &respond)
{
	Outcome out = Outcome::success();
	out.afterReply = [this] {
		restart(str("requested"));
	};
	respond(out);
}

void DeviceModel::otaCheck(Session &, const QJsonObject &,
			   const Respond &respond)
{
	const QString offered = m_config.updateVersion;
	QString error;
	bool available = false;
	if (!wifiUp())
		error = str("No internet connection.");
	else
		available = !offered.isEmpty() && offered != m_firmware &&
			    m_nextFirmware.isEmpty();
	respond(Outcome::success(
		{{str("current_version"), m_firmware},
		 {str("update_available"), available},
		 {str("version"), available ? offered : QString()},
		 {str("error"), error}}));
}

void DeviceModel::otaApply(Session &, const QJsonObject &,
			   const Respond &respond)
{
	const QString offered = m_config.updateVersion;
	if (running(m_ota.state)) {
		respond(Outcome::failure(str("in_progress"),
					 str("An update is already running.")));
		return;
	}
	if (!wifiUp()) {
		respond(Outcome::failure(
			str("no_network"),
			str("The device has no internet connection to "
			    "download the update.")));
		return;
	}
	if (offered.isEmpty() || offered == m_firmware ||
	    !m_nextFirmware.isEmpty()) {
		respond(Outcome::failure(str("no_update"),
					 str("The firmware is up to date.")));
		return;
	}

	m_ota = Transfer();
	m_ota.state = str("downloading");
	m_ota.total = kImageBytes;
	m_ota.startedAt = now();
	m_ota.bytesPerSecond = kDownloadRate;
	log(str("ota"), QStringLiteral("downloading %1").arg(offered));
	respond(Outcome::success());

	const qint64 downloadMs = kImageBytes * 1000 / kDownloadRate;
	const int failAt = m_config.otaFailAtPercent;
	if (failAt >= 0 && failAt <= 100) {
		after(downloadMs * failAt / 100, [this] {
			m_ota.doneBytes = m_ota.bytes(now());
			m_ota.state = str("failed");
			m_ota.error = str("download interrupted (connection "
					  "reset)");
			log(str("ota"), m_ota.error, 'E');
		});
		return;
	}
	after(downloadMs, [this] {
		m_ota.doneBytes = m_ota.total;
		m_ota.state = str("applying");
		log(str("ota"), str("image verified, switching partitions"));
	});
	after(downloadMs + kApplyMs, [this, offered] {
		m_ota.state = str("rebooting");
		m_nextFirmware = offered;
	});
	after(downloadMs + kApplyMs + kRebootAfterMs,
	      [this] { restart(str("firmware update")); });
}

void DeviceModel::otaProgress(Session &, const QJsonObject &,
			      const Respond &respond)
{
	respond(Outcome::success(
		{{str("state"), m_ota.state},
		 {str("total_bytes"), double(m_ota.total)},
		 {str("bytes_read"), double(m_ota.bytes(now()))},
		 {str("error"), m_ota.error}}));
}

void DeviceModel::c6OtaStatus(Session &, const QJsonObject &,
			      const Respond &respond)
{
	respond(Outcome::success(
		{{str("state"), m_c6.state},
		 {str("total_bytes"), double(m_c6.total)},
		 {str("bytes_sent"), double(m_c6.bytes(now()))},
		 {str("error"), m_c6.error},
		 {str("c6_running_version"), m_c6Version},
		 {str("running_version"), m_firmware}}));
}

void DeviceModel::c6OtaApply(Session &, const QJsonObject &params,
			     const Respond &respond)
{
	const QJsonValue force = params.value(QLatin1String("force"));
	if (params.value(QLatin1String("source")) !=
		    QJsonValue(str("partition")) ||
	    !(force.isUndefined() || force.isBool())) {
		respond(Outcome::failure(
			str("bad_request"),
			str("The wireless chip updates from \"source\": "
			    "\"partition\", with \"force\" true or false.")));
		return;
	}
	if (running(m_c6.state)) {
		respond(Outcome::failure(
			str("in_progress"),
			str("The wireless chip is already being updated.")));
		return;
	}
	const QString staged = m_config.c6StagedVersion;
	if (staged.isEmpty() || (staged == m_c6Version && !force.toBool())) {
		respond(Outcome::failure(
			str("up_to_date"),
			QStringLiteral("The wireless chip already runs %1.")
				.arg(m_c6Version)));
		return;
	}
	m_c6 = Transfer();
	m_c6.state = str("flashing");
	m_c6.total = kC6ImageBytes;
	m_c6.startedAt = now();
	m_c6.bytesPerSecond = kC6FlashRate;
	log(str("c6"), QStringLiteral("flashing %1").arg(staged));
	respond(Outcome::success());
	const qint64 flashMs = kC6ImageBytes * 1000 / kC6FlashRate;
	const int failAt = m_config.c6FailAtPercent;
	if (failAt >= 0 && failAt <= 100) {
		after(flashMs * failAt / 100, [this] {
			m_c6.doneBytes = m_c6.bytes(now());
			m_c6.state = str("failed");
			m_c6.error = str("image check failed after flashing");
			log(str("c6"), m_c6.error, 'E');
		});
		return;
	}
	after(flashMs, [this, staged] {
		m_c6.doneBytes = m_c6.total;
		m_c6.state = str("done");
		m_c6Version = staged;
		log(str("c6"), QStringLiteral("running %1").arg(staged));
	});
}

} // namespace quillmarch::sim
