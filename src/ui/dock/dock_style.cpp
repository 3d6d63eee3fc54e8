#include "dock_style.h"

#include <QLabel>

namespace quillmarch::dockstyle {

QLabel *hintLabel(const QString &text, QWidget *parent)
{
	auto *label = new QLabel(text, parent);
	label->setWordWrap(true);
	label->setTextInteractionFlags(Qt::TextSelectableByMouse);
	QFont font = label->font();
	if (font.pointSizeF() > 0) { // a pixel-sized font has no point size
		font.setPointSizeF(font.pointSizeF() * 0.92);
		label->setFont(font);
	}
	label->setStyleSheet(
		QStringLiteral("color: palette(placeholder-text);"));
	return label;
}

} // namespace quillmarch::dockstyle
