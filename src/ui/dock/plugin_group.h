#pragma once

#include <QGroupBox>

class QCheckBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace quillmarch {

// "Quillmarch plugin": which version runs, checking for a newer one, and
// the delay that keeps live data in step with a delayed stream.
class PluginGroup : public QGroupBox {
	Q_OBJECT

public:
	explicit PluginGroup(QWidget *parent = nullptr);

	void refreshUpdate();

private:
	QPushButton *m_check;
	QLabel *m_status;
	QCheckBox *m_autoCheck;
	QSpinBox *m_delay;
};

} // namespace quillmarch
