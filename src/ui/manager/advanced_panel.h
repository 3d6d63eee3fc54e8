#pragma once

#include "manager/panel_base.h"

class QPlainTextEdit;

namespace quillmarch {

class DeviceSession;

// Restart, the device log and the two destructive actions: the admin
// password back to the factory one, and a factory reset that only runs
// after the user typed the confirmation word.
class AdvancedPanel : public PanelBase {
	Q_OBJECT

public:
	explicit AdvancedPanel(DeviceSession *session,
			       QWidget *parent = nullptr);

	void refresh() override;

private:
	void restart();
	void showLog();
	void resetPassword();
	void factoryReset();

	QPlainTextEdit *m_log = nullptr;
};

} // namespace quillmarch
