#pragma once

#include "dock/dock_host.h"

namespace quillmarch {

// The dock's way into the running OBS: its scenes and property dialogs.
class ObsDockHost : public DockHost {
public:
	void addSourceToCurrentScene(const QString &typeId,
				     const QString &baseName) override;
	bool streamingOrRecording() const override;
};

} // namespace quillmarch
