#include "device_manager.h"

#include "manager/advanced_panel.h"
#include "manager/cloud_panel.h"
#include "manager/security_panel.h"
#include "manager/settings_panel.h"
#include "manager/status_panel.h"
#include "manager/updates_panel.h"
#include "manager/wifi_panel.h"

namespace quillmarch {

DeviceManager::DeviceManager(DeviceSession *session, QWidget *parent)
	: QTabWidget(parent)
{
	const QList<QPair<PanelBase *, QString>> tabs = {
		{new StatusPanel(session, this), tr("Status")},
		{new WifiPanel(session, this), tr("Wi-Fi")},
		{new SettingsPanel(session, this), tr("Settings")},
		{new SecurityPanel(session, this), tr("Security")},
		{new UpdatesPanel(session, this), tr("Updates")},
		{new CloudPanel(session, this), tr("Cloud")},
		{new AdvancedPanel(session, this), tr("Advanced")},
	};
	for (const auto &tab : tabs) {
		m_panels.append(tab.first);
		addTab(tab.first, tab.second);
	}
	connect(this, &QTabWidget::currentChanged, this, [this](int index) {
		if (index >= 0 && index < m_panels.size())
			m_panels.at(index)->refresh();
	});
}

void DeviceManager::showPage(int index)
{
	if (index < 0 || index >= m_panels.size())
		return;
	if (currentIndex() == index)
		m_panels.at(index)->refresh();
	else
		setCurrentIndex(index); // the tab change refreshes it
}

} // namespace quillmarch
