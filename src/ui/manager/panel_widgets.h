#pragma once

#include <QFrame>
#include <QString>

class QLabel;
class QPlainTextEdit;
class QTimer;

namespace quillmarch {

namespace panelwidgets {

// The word-wrapped line a panel reports in: selectable, because users copy
// error sentences into support requests.
QLabel *messageLine(QWidget *parent);
// Sets the line's text, red when it reports a failure.
void setMessage(QLabel *line, const QString &text, bool error);
// A bold heading above a section of a panel.
QLabel *heading(const QString &text, QWidget *parent);
// A read-only text box wrapping at the widget width.
QPlainTextEdit *readOnlyText(int minimumHeight, QWidget *parent);
// The widget to fill with a tall panel's content: it sits in a frameless
// vertical scroll area that fills the panel, so the panel stays usable in a
// small window.
QWidget *scrollingContent(QWidget *panel);

} // namespace panelwidgets

// The orange banner shown while the device restarts after a change the
// panel cannot follow: the session will be lost, so it counts down and then
// tells the user to reopen the window to reconnect.
class RestartBanner : public QFrame {
	Q_OBJECT

public:
	static constexpr int kDefaultSeconds = 15;

	explicit RestartBanner(QWidget *parent = nullptr);

	// Time between two counted seconds; tests shorten it.
	void setTickInterval(int ms);
	// Shows the banner and counts down from `seconds`. The detail (plain
	// text, may be several lines) is shown under the title when not empty.
	void start(const QString &title, const QString &detail,
		   int seconds = kDefaultSeconds);

	int secondsLeft() const { return m_seconds; }
	QString title() const { return m_title; }
	QString detail() const { return m_detail; }
	QLabel *titleLabel() const { return m_titleLabel; }
	QLabel *detailLabel() const { return m_detailLabel; }

Q_SIGNALS:
	// One second less; 0 when the device should be back.
	void ticked(int secondsLeft);

private:
	void tick();
	void render();

	QString m_title;
	QString m_detail;
	int m_seconds = 0;
	int m_tickMs = 1000;
	// Created on first use: most panels never restart the device.
	QTimer *m_timer = nullptr;
	QLabel *m_titleLabel;
	QLabel *m_detailLabel;
};

} // namespace quillmarch
