#include "dock_compat.h"

#include <obs-frontend-api.h>
#include <obs-module.h>

#include <QDockWidget>
#include <QMainWindow>
#include <QPointer>

namespace quillmarch {

#if LIBOBS_API_MAJOR_VER >= 30

bool addObsDock(const char *id, const char *title, QWidget *widget)
{
	return obs_frontend_add_dock_by_id(id, title, widget);
}

void removeObsDock(const char *id)
{
	obs_frontend_remove_dock(id);
}

#else

namespace {
// OBS 29 keeps the QDockWidget we hand it; we remove it ourselves at unload.
QPointer<QDockWidget> g_dock;
} // namespace

bool addObsDock(const char *id, const char *title, QWidget *widget)
{
	if (g_dock)
		return false;
	auto *main = static_cast<QMainWindow *>(obs_frontend_get_main_window());
	auto *dock = new QDockWidget(main);
	dock->setObjectName(QString::fromUtf8(id));
	dock->setWindowTitle(QString::fromUtf8(title));
	dock->setWidget(widget);
	dock->setFeatures(QDockWidget::DockWidgetMovable |
			  QDockWidget::DockWidgetFloatable |
			  QDockWidget::DockWidgetClosable);
	if (main)
		main->addDockWidget(Qt::RightDockWidgetArea, dock);
	obs_frontend_add_dock(dock);
	g_dock = dock;
	return true;
}

void removeObsDock(const char *)
{
	delete g_dock.data();
}

#endif

} // namespace quillmarch
