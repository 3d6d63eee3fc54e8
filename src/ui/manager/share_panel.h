#pragma once

#include <QGroupBox>
#include <QPointer>

#include "usb/usb_link.h"

class QCheckBox;
class QLabel;
class QTimer;

namespace quillmarch {

// Sharing this computer's internet with a device on the USB cable: the
// device's cloud connection (and, on devices that ask for it, firmware
// downloads) travel through the plug-in. Hidden without a USB link.
class SharePanel : public QGroupBox {
	Q_OBJECT

public:
	explicit SharePanel(QWidget *parent = nullptr);

	// Compact: the setup dialog's receiver page, where the device asks
	// for the cloud only once it is linked to the receiver.
	void setLink(UsbLink *link, bool compact);
	// Re-reads the relays' state; runs every second while shown.
	void update();

	// "1023 B", "1.5 KB", "2.0 MB".
	static QString byteText(quint64 bytes);

private:
	QPointer<UsbLink> m_link;
	bool m_compact = false;
	QCheckBox *m_share;
	QLabel *m_info;
	QTimer *m_timer;
};

} // namespace quillmarch
