#pragma once

#include <QPixmap>
#include <QWidget>

class QLabel;

namespace quillmarch {

// Holds a label whose text changes many times a second (the score line)
// so that a change costs little beyond drawing the new text.
//
// Outside a layout, the label's size requests stop here: the rest of the
// dock is laid out again only when the text needs another height. And the
// holder is opaque, painting a copy of what its parent shows behind it,
// so a repaint starts here instead of walking down from the window.
class LineHolder : public QWidget {
public:
	// Takes the label as its child.
	LineHolder(QLabel *label, QWidget *parent);

	QSize sizeHint() const override;
	QSize minimumSizeHint() const override;
	bool hasHeightForWidth() const override;
	int heightForWidth(int width) const override;

protected:
	bool event(QEvent *event) override;
	bool eventFilter(QObject *watched, QEvent *event) override;
	void paintEvent(QPaintEvent *event) override;

private:
	bool staysOneLine();

	QLabel *m_label;
	bool m_wasOneLine = false;
	int m_lastRoom = -1;
	// The parent's own painting under this widget; empty when it has to
	// be taken again.
	QPixmap m_backdrop;
};

} // namespace quillmarch
