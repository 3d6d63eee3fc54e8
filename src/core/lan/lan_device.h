#pragma once

#include <QString>

namespace quillmarch {

// A device on the local network that the user set up for the secure feed. The
// feed connects to the host without any admin port typed after it (see
// lanHostWithoutPort).
struct LanDevice {
	QString host;
	QString token;
	QString name;
};

} // namespace quillmarch
