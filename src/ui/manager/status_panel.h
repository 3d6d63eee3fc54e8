#pragma once

#include "panel_base.h"

#include <QJsonObject>
#include <QJsonValue>

class QPlainTextEdit;
class QPushButton;

namespace quillmarch {

// The "Status" tab: what the device reports about itself, the scoreboard
// data it sends right now, and the device's own network self-test.
class StatusPanel : public PanelBase {
	Q_OBJECT

public:
	struct Timings {
		// The self-test runs on the device for about 15 seconds; its
		// progress is asked for this often.
		int testPollMs = 2000;
	};
	// Answers after which a test that still runs is given up.
	static constexpr int kMaxTestAttempts = 12;

	explicit StatusPanel(DeviceSession *session, QWidget *parent = nullptr);

	void setTimings(const Timings &timings) { m_timings = timings; }
	void refresh() override;

	// A device value as the panel shows it: yes/no, whole numbers without
	// a fraction, null as nothing.
	static QString valueText(const QJsonValue &value);
	// The device information lines of a status answer.
	static QStringList statusLines(const QJsonObject &status);

private:
	void showEnvelope(const QJsonObject &envelope);
	void runTest(int attempt);
	void showTest(const QJsonObject &result, int attempt);

	Timings m_timings;
	QPlainTextEdit *m_device;
	QPlainTextEdit *m_scoreboard;
	QPlainTextEdit *m_results;
	QPushButton *m_test;
};

} // namespace quillmarch
