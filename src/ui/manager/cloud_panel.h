#pragma once

#include "manager/panel_base.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace quillmarch {

class DeviceSession;
class SharePanel;

// The device's cloud side: whether it is connected and by which route, its
// device ID, forgetting its cloud sign-in, and (for a device on a USB cable)
// sharing this computer's internet connection with it.
class CloudPanel : public PanelBase {
	Q_OBJECT

public:
	explicit CloudPanel(DeviceSession *session, QWidget *parent = nullptr);

	void refresh() override;

private:
	void saveDeviceId();
	void forget();

	QLabel *m_state = nullptr;
	SharePanel *m_share = nullptr;
	QLineEdit *m_deviceId = nullptr;
	QPushButton *m_saveButton = nullptr;
	QPushButton *m_forgetButton = nullptr;
};

} // namespace quillmarch
