#include "helper_args.h"

#include <cstdlib>

namespace quillmarch::ble {

HelperArguments parseHelperArguments(const QStringList &arguments)
{
	HelperArguments out;
	long port = 0;
	for (int i = 0; i + 1 < arguments.size(); ++i) {
		if (arguments.at(i) == QLatin1String("--port")) {
			// Leading blanks and a sign are accepted; what follows
			// the digits is ignored, as with the C library.
			const QByteArray text = arguments.at(i + 1).toLatin1();
			port = std::strtol(text.constData(), nullptr, 10);
		} else if (arguments.at(i) == QLatin1String("--token")) {
			out.token = arguments.at(i + 1);
		}
	}
	out.port = port > 0 && port <= 65535 ? int(port) : 0;
	out.usable = arguments.size() >= 2 && out.port > 0;
	return out;
}

} // namespace quillmarch::ble
