#pragma once

#include <QString>
#include <QStringList>

namespace quillmarch::ble {

struct HelperArguments {
	bool usable = false; // false: exit with the usage status
	int port = 0;
	QString token;
};

// "--port P --token T", scanned as pairs: every argument that is "--port"
// or "--token" takes the one after it; anything else is skipped. The port
// is the number at the start of its text (0 when there is none) and must
// be a TCP port, 1 to 65535.
HelperArguments parseHelperArguments(const QStringList &arguments);

} // namespace quillmarch::ble
