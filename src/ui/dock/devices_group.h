#pragma once

#include <QGroupBox>

class QLabel;
class QPushButton;

namespace quillmarch {

// "Devices": the USB devices that reach the cloud through this computer,
// and the switch that stops them. Setup and account management add their
// buttons here; until then the group shows only while a relay runs.
class DevicesGroup : public QGroupBox {
	Q_OBJECT

public:
	explicit DevicesGroup(QWidget *parent = nullptr);

	void refreshRelays();

private:
	QLabel *m_relays;
	QPushButton *m_stopRelays;
};

} // namespace quillmarch
