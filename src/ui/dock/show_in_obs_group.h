#pragma once

#include <QGroupBox>

namespace quillmarch {

class DockHost;

// "Show it in OBS": puts the plug-in's sources into the current scene.
class ShowInObsGroup : public QGroupBox {
	Q_OBJECT

public:
	// `host` is not owned and must outlive the group.
	explicit ShowInObsGroup(DockHost *host, QWidget *parent = nullptr);

	static constexpr const char *kTextSourceType = "quillmarch_text";
	static constexpr const char *kGraphicsSourceType =
		"quillmarch_graphics";
};

} // namespace quillmarch
