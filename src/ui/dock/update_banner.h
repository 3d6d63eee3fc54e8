#pragma once

#include <QFrame>

class QLabel;
class QProgressBar;
class QPushButton;

namespace quillmarch {

class DockHost;

// Update news at the top of the dock: a newer release, its download and
// installation, the restart that finishes it, or why it did not finish.
// Hidden while there is nothing to tell.
class UpdateBanner : public QFrame {
	Q_OBJECT

public:
	explicit UpdateBanner(const DockHost *host, QWidget *parent = nullptr);

	void refresh();

private:
	const DockHost *m_host;
	QLabel *m_text;
	QLabel *m_notes;
	QProgressBar *m_progress;
	QPushButton *m_install;
	QPushButton *m_downloadPage;
};

} // namespace quillmarch
