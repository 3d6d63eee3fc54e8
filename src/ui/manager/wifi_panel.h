#pragma once

#include "panel_base.h"

#include "admin/device_session.h"

class QComboBox;
class QFormLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace quillmarch {

class RestartBanner;

// The "Wi-Fi" tab: the venue network the device joins and, on devices with
// a wireless transmitter, the switch between Wi-Fi and a Quillmarch
// wireless receiver. Either switch restarts the device, which ends the
// session: the panel then counts down and asks the user to reopen the
// window.
class WifiPanel : public PanelBase {
	Q_OBJECT

public:
	struct Timings {
		// One counted second of the restart countdown.
		int countdownTickMs = 1000;
	};
	static constexpr int kRestartSeconds = 15;

	explicit WifiPanel(DeviceSession *session, QWidget *parent = nullptr);

	void setTimings(const Timings &timings);
	void refresh() override;

Q_SIGNALS:
	// The device joined a Wi-Fi network and has this address.
	void joined(const QString &address);

private:
	void scan();
	void connectToNetwork();
	void loadLink(std::function<void()> then);
	void showLink();
	void onReceiverButton();
	void startCountdown(const QString &title, const QString &detail);

	QGroupBox *m_receiverBox;
	QLabel *m_receiverInfo;
	QPushButton *m_receiverButton;
	QWidget *m_receiverForm;
	QLineEdit *m_address;
	QLineEdit *m_key;
	QWidget *m_wifiSection;
	QComboBox *m_networks;
	QLineEdit *m_password;
	QPushButton *m_scan;
	QPushButton *m_connect;
	RestartBanner *m_banner;

	WirelessLink m_link;
	bool m_formOpen = false;
};

} // namespace quillmarch
