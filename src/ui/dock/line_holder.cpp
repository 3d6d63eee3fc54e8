#include "line_holder.h"

#include <QEvent>
#include <QLabel>
#include <QPainter>

namespace quillmarch {

LineHolder::LineHolder(QLabel *label, QWidget *parent)
	: QWidget(parent),
	  m_label(label)
{
	label->setParent(this);
	setSizePolicy(label->sizePolicy());
	setAttribute(Qt::WA_OpaquePaintEvent);
	parent->installEventFilter(this);
}

QSize LineHolder::sizeHint() const
{
	return m_label->sizeHint();
}

QSize LineHolder::minimumSizeHint() const
{
	return m_label->minimumSizeHint();
}

bool LineHolder::hasHeightForWidth() const
{
	return m_label->hasHeightForWidth();
}

int LineHolder::heightForWidth(int width) const
{
	return m_label->heightForWidth(width);
}

bool LineHolder::event(QEvent *event)
{
	switch (event->type()) {
	case QEvent::LayoutRequest:
		// The label asks for room: only another height concerns the
		// rest of the dock.
		if (!staysOneLine() && heightForWidth(width()) != height())
			updateGeometry();
		break;
	case QEvent::Resize:
		m_label->setGeometry(rect());
		m_backdrop = QPixmap();
		break;
	case QEvent::Move:
	case QEvent::StyleChange:
	case QEvent::PaletteChange:
		m_backdrop = QPixmap();
		break;
	default:
		break;
	}
	return QWidget::event(event);
}

bool LineHolder::staysOneLine()
{
	// Asking the label for its height lays its text out in full, twice;
	// a line that fitted before and still fits needs no such care.
	const QString text = m_label->text();
	const int room =
		m_label->contentsRect().width() - 2 * m_label->margin() - 1;
	const bool oneLine = !text.contains(QLatin1Char('\n')) &&
			     m_label->fontMetrics().horizontalAdvance(text) <=
				     room;
	const bool stays = oneLine && m_wasOneLine && room == m_lastRoom;
	m_wasOneLine = oneLine;
	m_lastRoom = room;
	return stays;
}

bool LineHolder::eventFilter(QObject *watched, QEvent *event)
{
	// The parent looks different now (a theme change, a new size).
	if (watched == parentWidget() &&
	    (event->type() == QEvent::StyleChange ||
	     event->type() == QEvent::PaletteChange ||
	     event->type() == QEvent::Resize)) {
		m_backdrop = QPixmap();
		update();
	}
	return QWidget::eventFilter(watched, event);
}

void LineHolder::paintEvent(QPaintEvent *)
{
	if (m_backdrop.isNull()) {
		const qreal ratio = devicePixelRatioF();
		m_backdrop = QPixmap(size() * ratio);
		m_backdrop.setDevicePixelRatio(ratio);
		parentWidget()->render(&m_backdrop, QPoint(),
				       QRegion(geometry()),
				       QWidget::DrawWindowBackground);
	}
	QPainter(this).drawPixmap(0, 0, m_backdrop);
}

} // namespace quillmarch
