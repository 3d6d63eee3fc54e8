#pragma once

#include <QGroupBox>

class QCheckBox;
class QLabel;
class QSpinBox;

namespace quillmarch {

// "Share live data with other programs": the data server's switches and
// where to connect to it.
class ServerGroup : public QGroupBox {
	Q_OBJECT

public:
	explicit ServerGroup(QWidget *parent = nullptr);

	void refresh();

private:
	void store();
	void onPortEdited();

	QCheckBox *m_enabled;
	QSpinBox *m_port;
	QCheckBox *m_network;
	QLabel *m_hint;
	// Where browsers and overlays read the same data, or why they cannot.
	QLabel *m_webHint;
};

} // namespace quillmarch
