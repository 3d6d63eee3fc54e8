#pragma once

#include <QList>
#include <QTabWidget>

namespace quillmarch {

class DeviceSession;
class PanelBase;

// Everything a signed-in device lets the user change, one tab per area.
// The tab shown is reloaded from the device whenever it is chosen, so it
// never shows stale state after work in another tab.
class DeviceManager : public QTabWidget {
	Q_OBJECT

public:
	explicit DeviceManager(DeviceSession *session,
			       QWidget *parent = nullptr);

	// Shows the tab and reloads it, also when it was already shown.
	void showPage(int index);

	const QList<PanelBase *> &panels() const { return m_panels; }

private:
	QList<PanelBase *> m_panels;
};

} // namespace quillmarch
