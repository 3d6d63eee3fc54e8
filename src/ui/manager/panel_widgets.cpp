#include "panel_widgets.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

namespace quillmarch {

namespace panelwidgets {

QLabel *messageLine(QWidget *parent)
{
	auto *line = new QLabel(parent);
	line->setWordWrap(true);
	line->setTextInteractionFlags(Qt::TextSelectableByMouse);
	return line;
}

void setMessage(QLabel *line, const QString &text, bool error)
{
	line->setText(text);
	line->setStyleSheet(error ? QStringLiteral("color: #d9534f;")
				  : QString());
}

QLabel *heading(const QString &text, QWidget *parent)
{
	auto *label = new QLabel(QStringLiteral("<b>%1</b>").arg(text), parent);
	label->setTextFormat(Qt::RichText);
	return label;
}

QPlainTextEdit *readOnlyText(int minimumHeight, QWidget *parent)
{
	auto *box = new QPlainTextEdit(parent);
	box->setReadOnly(true);
	box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
	box->setMinimumHeight(minimumHeight);
	return box;
}

QWidget *scrollingContent(QWidget *panel)
{
	auto *outer = new QVBoxLayout(panel);
	outer->setContentsMargins(0, 0, 0, 0);
	auto *scroll = new QScrollArea(panel);
	scroll->setFrameShape(QFrame::NoFrame);
	scroll->setWidgetResizable(true);
	outer->addWidget(scroll);
	auto *content = new QWidget(scroll);
	scroll->setWidget(content);
	return content;
}

} // namespace panelwidgets

RestartBanner::RestartBanner(QWidget *parent) : QFrame(parent)
{
	setStyleSheet(QStringLiteral(
		"QFrame { border: 3px solid #e8a317; border-radius: 8px; "
		"background: rgba(232, 163, 23, 0.18); }"
		"QLabel { border: none; background: transparent; }"));
	auto *layout = new QVBoxLayout(this);
	layout->setContentsMargins(16, 14, 16, 14);
	m_titleLabel = new QLabel(this);
	m_titleLabel->setTextFormat(Qt::RichText);
	m_titleLabel->setWordWrap(true);
	m_titleLabel->setAlignment(Qt::AlignCenter);
	layout->addWidget(m_titleLabel);
	m_detailLabel = new QLabel(this);
	m_detailLabel->setTextFormat(Qt::RichText);
	m_detailLabel->setWordWrap(true);
	// A new pairing key is shown here once: it has to be copyable.
	m_detailLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
	layout->addWidget(m_detailLabel);
	hide();
}

void RestartBanner::setTickInterval(int ms)
{
	m_tickMs = ms;
	if (m_timer)
		m_timer->setInterval(ms);
}

void RestartBanner::start(const QString &title, const QString &detail,
			  int seconds)
{
	m_title = title;
	m_detail = detail;
	m_seconds = seconds;
	if (!m_timer) {
		m_timer = new QTimer(this);
		connect(m_timer, &QTimer::timeout, this, &RestartBanner::tick);
	}
	m_timer->setInterval(m_tickMs);
	m_timer->start();
	render();
}

void RestartBanner::tick()
{
	if (m_seconds > 0)
		--m_seconds;
	if (m_seconds <= 0)
		m_timer->stop();
	render();
	Q_EMIT ticked(m_seconds);
}

void RestartBanner::render()
{
	if (m_seconds > 0) {
		m_titleLabel->setText(
			tr("<div style='font-size:15pt; font-weight:bold'>%1</div>"
			   "<div style='font-size:26pt; font-weight:bold'>%2</div>"
			   "<div style='font-size:15pt; font-weight:bold'>Wait %3 "
			   "seconds, then close this window and reopen it to "
			   "reconnect to the device.</div>")
				.arg(m_title.toHtmlEscaped(),
				     QString::number(m_seconds),
				     QString::number(m_seconds)));
	} else {
		m_titleLabel->setText(
			tr("<div style='font-size:15pt; font-weight:bold'>%1</div>"
			   "<div style='font-size:20pt; font-weight:bold'>The "
			   "device should be back.</div>"
			   "<div style='font-size:15pt; font-weight:bold'>Close "
			   "this window and reopen it to reconnect to the "
			   "device.</div>")
				.arg(m_title.toHtmlEscaped()));
	}
	QString detail = m_detail.toHtmlEscaped();
	detail.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
	m_detailLabel->setText(detail);
	m_detailLabel->setVisible(!m_detail.isEmpty());
	show();
}

} // namespace quillmarch
