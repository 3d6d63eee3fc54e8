#pragma once

#include <QString>

#include <functional>

namespace quillmarch {

// What the dock needs from the program it lives in. Inside OBS the module
// implements it with the frontend API; tests hand in a fake scene.
class DockHost {
public:
	virtual ~DockHost() = default;

	// Adds a new source of the given type to the scene on screen, under
	// the first free name made from baseName (see freeSourceName), and
	// opens its properties. Does nothing when there is no current scene.
	virtual void addSourceToCurrentScene(const QString &typeId,
					     const QString &baseName) = 0;
	// Whether the program is streaming or recording: a restart has to
	// wait until it is done.
	virtual bool streamingOrRecording() const { return false; }
};

// The first of "baseName", "baseName 2", "baseName 3", ... that `taken`
// says no source has yet.
QString freeSourceName(const QString &baseName,
		       const std::function<bool(const QString &)> &taken);

} // namespace quillmarch
