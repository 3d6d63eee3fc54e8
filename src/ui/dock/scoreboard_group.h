#pragma once

#include <QGroupBox>
#include <QString>

class QCheckBox;
class QComboBox;
class QLabel;

namespace quillmarch {

// "Scoreboard": which of the account's devices to follow, whether to reach
// it over the local network, the live status and a one-line score.
class ScoreboardGroup : public QGroupBox {
	Q_OBJECT

public:
	explicit ScoreboardGroup(QWidget *parent = nullptr);

	void setSignedIn(bool signedIn);
	void refreshDevices();
	void refreshLanBox();
	void refreshStatus();
	void refreshScore();

	// The id of the entry shown in the device list; empty for none.
	QString currentDeviceId() const;

Q_SIGNALS:
	// The entry shown in the device list changed (the user's choice or a
	// refresh).
	void currentDeviceChanged(const QString &deviceId);

private:
	void onDeviceChosen(int index);
	void onLanToggled(bool checked);

	QComboBox *m_devices;
	QCheckBox *m_lan;
	QLabel *m_status;
	QLabel *m_score;
	QWidget *m_scoreHolder;
	// The dock itself is setting the local-network box: not the user.
	bool m_settingLanBox = false;
};

} // namespace quillmarch
