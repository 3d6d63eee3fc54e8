#pragma once

#include <QGroupBox>

class QLabel;
class QPushButton;

namespace quillmarch {

// "Devices": setting up or managing a device, managing the followed device
// through the account, the USB devices that reach the cloud through this
// computer and the switch that stops them. Always shown: setting up a
// device needs no account.
class DevicesGroup : public QGroupBox {
	Q_OBJECT

public:
	explicit DevicesGroup(QWidget *parent = nullptr);

	void refreshRelays();
	// The manage button is offered when signed in, and usable when the
	// device list shows a device.
	void setAccountDevice(bool signedIn, const QString &deviceId);

Q_SIGNALS:
	// "Set up or manage a device…" was clicked.
	void setupRequested();

private:
	QPushButton *m_setup;
	QPushButton *m_manage;
	QString m_deviceId;
	QLabel *m_relays;
	QPushButton *m_stopRelays;
};

} // namespace quillmarch
