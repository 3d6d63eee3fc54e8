#include "devices_group.h"

#include "account/manage_dialog.h"
#include "app.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmarch {

DevicesGroup::DevicesGroup(QWidget *parent) : QGroupBox(parent)
{
	setTitle(tr("Devices"));
	auto *layout = new QVBoxLayout(this);
	m_setup = new QPushButton(tr("Set up or manage a device\u2026"), this);
	layout->addWidget(m_setup);
	connect(m_setup, &QPushButton::clicked, this,
		&DevicesGroup::setupRequested);
	m_manage = new QPushButton(
		tr("Manage the selected device through my account\u2026"),
		this);
	m_manage->setEnabled(false);
	m_manage->hide();
	layout->addWidget(m_manage);
	connect(m_manage, &QPushButton::clicked, this, [this] {
		if (m_deviceId.isEmpty())
			return;
		auto *dialog = new ManageDialog(m_deviceId, window());
		dialog->setAttribute(Qt::WA_DeleteOnClose);
		dialog->show();
	});
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
}

void DevicesGroup::setAccountDevice(bool signedIn, const QString &deviceId)
{
	m_deviceId = deviceId;
	m_manage->setVisible(signedIn);
	m_manage->setEnabled(signedIn && !deviceId.isEmpty());
}

} // namespace quillmarch
