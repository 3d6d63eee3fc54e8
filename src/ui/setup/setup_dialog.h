#pragma once

#include "admin/device_session.h"
#include "usb/serial_port.h"

#include <QDialog>
#include <QPointer>
#include <QString>

#include <functional>

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QVBoxLayout;
class QWidget;

namespace quillmarch {

class ControllerPanel;
class DeviceManager;
class SharePanel;
class WifiPanel;

// The window in which a user finds a Quillmarch device (USB cable,
// Bluetooth or the local network), signs in to it, and either walks the
// guided first setup (Wi-Fi, then the scoreboard) or opens the full device
// manager. It also serves a wireless receiver on the cable, can add the
// device to the user's account and hands the device's live scores to OBS.
//
// The dialog owns at most one device session at a time and follows it
// through its stateChanged signal. The session outlives the dialog only
// when it became the live source or was kept as a USB relay.
class SetupDialog : public QDialog {
	Q_OBJECT

public:
	enum Page {
		ConnectPage,
		SignInPage,
		WifiPage,
		ControllerPage,
		ReceiverPage,
		DonePage,
		ManagerPage,
	};

	// The waits the dialog makes itself, and those of the sessions it
	// starts. Tests shorten them; the defaults suit real devices.
	struct Timings {
		// After a Wi-Fi join, before the scoreboard page: lets the user
		// read that the join worked.
		int afterWifiJoinMs = 1200;
		int bluetoothScanMs = 6000;
		DeviceSession::Timings session;
	};

	// The serial ports offered on the USB list.
	using PortLister = std::function<QList<SerialPortInfo>()>;

	// Tried first, and never accepted as the new password.
	static constexpr const char kFactoryPassword[] = "corvalinth";

	explicit SetupDialog(QWidget *parent = nullptr);
	~SetupDialog() override;

	void setTimings(const Timings &timings) { m_timings = timings; }
	void setPortLister(PortLister lister);

	DeviceSession *session() const { return m_session.data(); }
	int currentPage() const;

public Q_SLOTS:
	void scan();
	void scanUsb();
	void scanBluetooth();
	void beginConnect();
	void onSessionState(quillmarch::DeviceSession::State state,
			    const QString &detail);
	void setSignInMessage(const QString &text, bool isError);
	void tryPortalPassword();
	void rememberPassword(const QString &password);
	void onReady();
	void rememberNetworkAccess();
	void installGuidedPanels();
	void updateReceiverText();
	void openManager();
	void showDone();
	void useInObs(const QString &label);

private:
	enum class Mode { Usb, Bluetooth, Network };

	QWidget *buildConnectPage();
	QWidget *buildSignInPage();
	QWidget *buildWifiPage();
	QWidget *buildControllerPage();
	QWidget *buildReceiverPage();
	QWidget *buildDonePage();
	QWidget *buildManagerPage();
	QLabel *title(const QString &text, QWidget *parent);

	Mode mode() const;
	void updateConnectEnabled();
	void onLinkFailed(const QString &code, const QString &message);
	void signIn();
	void setNewPassword();
	void cancelConnect();
	void disconnectDevice();
	// Stops and lets go of the session without a word to anyone.
	void dropSession();
	void showPage(Page page);
	void setSignInTitle(const QString &text);
	void loadControllerPage();
	void sendReceiverKey(const QString &key, bool generate);
	void manageThroughReceiver();
	void claimDevice();
	void storeLanDevice(const QString &token);
	QString deviceIdOrLabel() const;

	Timings m_timings;
	PortLister m_listPorts;

	QStackedWidget *m_pages = nullptr;

	// Connect page.
	QRadioButton *m_usbMode = nullptr;
	QRadioButton *m_bleMode = nullptr;
	QRadioButton *m_lanMode = nullptr;
	QLabel *m_connectHint = nullptr;
	QListWidget *m_list = nullptr;
	QWidget *m_addressRow = nullptr;
	QComboBox *m_address = nullptr;
	QLabel *m_connectMessage = nullptr;
	QPushButton *m_scanAgain = nullptr;
	QPushButton *m_connect = nullptr;

	// Sign-in page.
	QLabel *m_signInTitle = nullptr;
	QLabel *m_signInMessage = nullptr;
	QProgressBar *m_busy = nullptr;
	QWidget *m_passwordBox = nullptr;
	QLineEdit *m_password = nullptr;
	QWidget *m_newPasswordBox = nullptr;
	QLineEdit *m_newPassword = nullptr;
	QLineEdit *m_newPasswordAgain = nullptr;

	// Guided pages.
	QVBoxLayout *m_wifiPlace = nullptr;
	QVBoxLayout *m_controllerPlace = nullptr;
	QPointer<WifiPanel> m_wifiPanel;
	QPointer<ControllerPanel> m_controllerPanel;

	// Receiver page.
	QLabel *m_receiverStatus = nullptr;
	// What became of the last key sent. Apart from the status lines,
	// which the receiver's reports rewrite every few seconds: a new key
	// must stay readable until the user has written it down.
	QLabel *m_receiverNote = nullptr;
	SharePanel *m_share = nullptr;
	QLineEdit *m_pairingKey = nullptr;

	// Done page.
	QLabel *m_summary = nullptr;
	QLineEdit *m_claimCode = nullptr;
	QPushButton *m_claim = nullptr;

	// Manager page.
	QLabel *m_managerTitle = nullptr;
	QVBoxLayout *m_managerPlace = nullptr;
	QPointer<DeviceManager> m_manager;

	QPointer<DeviceSession> m_session;
	QString m_kind;
	QString m_label;
	QString m_pendingNewPassword;
	QPointer<DeviceSession> m_readySession;
	bool m_accountPasswordTried = false;
	quint64 m_connectGeneration = 0;
	// Raised by every scan, so only the newest Bluetooth answer fills
	// the list (an older one may arrive after a change of mode).
	quint64 m_scanGeneration = 0;
};

} // namespace quillmarch
