// What the Bluetooth helper sends, line by line (the splitting itself is
// fuzzed with the secure feed's lines). Every object decodes to something the
// bridge can act on: a failed reply always carries a code and a sentence, a
// successful one neither; data events carry only what base64 decodes to.
#include "ble/ble_bridge.h"

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	JsonLineSplitter lines;
	lines.append(QByteArray(reinterpret_cast<const char *>(data),
				static_cast<int>(size)));
	QJsonObject object;
	while (lines.next(&object)) {
		const BleHelperLine line = BleHelperLine::decode(object);
		if (line.kind == BleHelperLine::Reply) {
			const BleReply &r = line.reply;
			if (r.ok != (r.code.isEmpty() && r.message.isEmpty()))
				abort();
		} else if (line.kind == BleHelperLine::Data &&
			   line.data.size() > object.value(QLatin1String("b64"))
						      .toString()
						      .size()) {
			abort();
		}
	}
	return 0;
}
