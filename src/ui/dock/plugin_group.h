#pragma once

#include <QGroupBox>

class QCheckBox;
class QLabel;
class QPushButton;

namespace quillmarch {

// "Quillmarch plugin": which version runs, and checking for a newer one.
class PluginGroup : public QGroupBox {
	Q_OBJECT

public:
	explicit PluginGroup(QWidget *parent = nullptr);

	void refreshUpdate();

private:
	QPushButton *m_check;
	QLabel *m_status;
	QCheckBox *m_autoCheck;
};

} // namespace quillmarch
