#include "devices_group.h"

#include "app.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmarch {

DevicesGroup::DevicesGroup(QWidget *parent) : QGroupBox(parent)
{
	setTitle(tr("Devices"));
	auto *layout = new QVBoxLayout(this);
	m_relays = new QLabel(this);
	m_relays->setWordWrap(true);
	// Socket error texts come from outside: never read as markup.
	m_relays->setTextFormat(Qt::PlainText);
	layout->addWidget(m_relays);
	m_stopRelays = new QPushButton(
		tr("Stop sharing this computer's internet with USB devices"),
		this);
	layout->addWidget(m_stopRelays);
	connect(m_stopRelays, &QPushButton::clicked, this, [] {
		if (App *app = App::get())
			app->stopUsbRelays();
	});
	refreshRelays();
}

void DevicesGroup::refreshRelays()
{
	App *app = App::get();
	const QStringList lines = app ? app->usbRelaySummaries()
				      : QStringList();
	const bool any = !lines.isEmpty();
	if (any)
		m_relays->setText(tr("USB cloud relay") + QLatin1Char('\n') +
				  lines.join(QLatin1Char('\n')));
	m_relays->setVisible(any);
	m_stopRelays->setVisible(any);
	setVisible(any);
}

} // namespace quillmarch
