#pragma once

#include "manager/panel_base.h"

class QLineEdit;
class QPushButton;

namespace quillmarch {

class DeviceSession;

// Network access to the device: its TLS fingerprint, a fresh access token
// for other programs, the Bluetooth pairing passkey and the admin password.
// Password rules are checked here, before anything reaches the device.
class SecurityPanel : public PanelBase {
	Q_OBJECT

public:
	explicit SecurityPanel(DeviceSession *session,
			       QWidget *parent = nullptr);

	void refresh() override;

Q_SIGNALS:
	// A new access token was made; it is not shown again.
	void apiToken(const QString &token);
	void passwordChanged(const QString &newPassword);

private:
	void makeToken();
	void copyToken();
	void showPasskey();
	void changePassword();

	QLineEdit *m_fingerprint = nullptr;
	QLineEdit *m_token = nullptr;
	QPushButton *m_newTokenButton = nullptr;
	QPushButton *m_copyButton = nullptr;
	QLineEdit *m_passkey = nullptr;
	QPushButton *m_passkeyButton = nullptr;
	QLineEdit *m_current = nullptr;
	QLineEdit *m_new = nullptr;
	QLineEdit *m_again = nullptr;
	QPushButton *m_changeButton = nullptr;
};

} // namespace quillmarch
