#pragma once

#include "manager/panel_base.h"

#include <QString>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

namespace quillmarch {

class DeviceSession;

// Firmware updates of the device and of its wireless chip. After an update
// starts, the panel polls its progress until it ends; the device restarts
// at the end, so a few unanswered polls in a row are expected and only a
// longer silence counts as lost contact.
class UpdatesPanel : public PanelBase {
	Q_OBJECT

public:
	struct Timings {
		// Between progress polls while an update runs.
		int pollMs = 700;
		// After a poll that failed.
		int retryMs = 1000;
		int progressCallMs = 8000;
		int callMs = 20000;
		int checkMs = 30000;
	};
	// Consecutive failed polls after which the panel gives up.
	static constexpr int kMaxPollFailures = 5;

	explicit UpdatesPanel(DeviceSession *session,
			      QWidget *parent = nullptr);

	void setTimings(const Timings &timings) { m_timings = timings; }

	void refresh() override;
	void pollFirmware(int attempt);
	void pollC6(int attempt);

private:
	void check();
	void install();
	void updateChip();
	void stopFirmware();
	void later(int ms, std::function<void()> step);

	Timings m_timings;
	QString m_available;

	QLabel *m_firmwareRunning = nullptr;
	QPushButton *m_checkButton = nullptr;
	QPushButton *m_installButton = nullptr;
	QProgressBar *m_firmwareProgress = nullptr;
	QLabel *m_chipRunning = nullptr;
	QPushButton *m_chipButton = nullptr;
	QProgressBar *m_chipProgress = nullptr;
};

} // namespace quillmarch
