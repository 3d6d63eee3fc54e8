#include "show_in_obs_group.h"

#include "dock_host.h"
#include "dock_style.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmarch {

ShowInObsGroup::ShowInObsGroup(DockHost *host, QWidget *parent)
	: QGroupBox(parent)
{
	setTitle(tr("Show it in OBS"));
	auto *layout = new QVBoxLayout(this);
	auto *addText =
		new QPushButton(tr("Add live score text to this scene"), this);
	layout->addWidget(addText);
	connect(addText, &QPushButton::clicked, this, [host] {
		if (host)
			host->addSourceToCurrentScene(
				QLatin1String(kTextSourceType),
				QStringLiteral("Quillmarch Score"));
	});
	auto *addGraphic =
		new QPushButton(tr("Add a graphic to this scene"), this);
	layout->addWidget(addGraphic);
	connect(addGraphic, &QPushButton::clicked, this, [host] {
		if (host)
			host->addSourceToCurrentScene(
				QLatin1String(kGraphicsSourceType),
				QStringLiteral("Quillmarch Graphics"));
	});
	layout->addWidget(dockstyle::hintLabel(
		tr("Graphics come from your Quillmarch account. Pick one from "
		   "the list in the source's properties."),
		this));
}

} // namespace quillmarch
