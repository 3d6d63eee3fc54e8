#include "plugin_group.h"

#include "app.h"

#include <QHBoxLayout>
#include <QLabel>

namespace quillmarch {

PluginGroup::PluginGroup(QWidget *parent) : QGroupBox(parent)
{
	setTitle(tr("Quillmarch plugin"));
	auto *row = new QHBoxLayout(this);
	row->addWidget(new QLabel(
		tr("Version %1").arg(QLatin1String(App::kVersion)), this));
	row->addStretch();
}

} // namespace quillmarch
