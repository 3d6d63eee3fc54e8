// Whatever arrives on the serial line, the frame parser must survive it, find
// the same frames however the bytes are cut into reads, yield only frames
// that are really in the input, and keep its buffer small.
#include "usb/usb_frame.h"

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

namespace {

// After a read the parser holds at most one incomplete frame.
void checkBounded(const UsbFrameParser &parser)
{
	if (parser.bufferedSize() > kMaxFrameSize - 1)
		abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const QByteArray input(reinterpret_cast<const char *>(data),
			       static_cast<int>(size));

	UsbFrameParser whole;
	const QList<UsbFrame> frames = whole.feed(input);
	checkBounded(whole);

	// The same bytes in reads of sizes drawn from the input itself.
	UsbFrameParser pieces;
	QList<UsbFrame> again;
	quint32 state = 2166136261u ^ quint32(size);
	for (size_t i = 0; i < size && i < 16; ++i)
		state = (state ^ data[i]) * 16777619u;
	int at = 0;
	while (at < input.size()) {
		state = state * 1103515245u + 12345u;
		// Mostly short reads, now and then a long one.
		const int len = (state >> 16) % 8 == 0
					? 1 + int((state >> 4) % 4096)
					: 1 + int((state >> 8) % 24);
		again += pieces.feed(input.mid(at, len));
		checkBounded(pieces);
		at += len;
	}
	if (again != frames || pieces.bufferedSize() != whole.bufferedSize())
		abort();

	// Every frame is in the input verbatim, in order, without overlap.
	int from = 0;
	for (const UsbFrame &f : frames) {
		const QByteArray rebuilt = buildFrame(f.type, f.payload);
		if (rebuilt.isEmpty())
			abort();
		const int found = int(input.indexOf(rebuilt, from));
		if (found < 0)
			abort();
		from = found + int(rebuilt.size());
	}

	// And on to the consumers of the payloads.
	AdminReassembler admin;
	for (const UsbFrame &f : frames) {
		if (f.type == kFrameAdmin) {
			if (admin.feed(f.payload).size() > kMaxAdminMessage)
				abort();
		} else if (f.type == kFrameStream) {
			const stream::Operation op = stream::decode(f.payload);
			if (op.valid &&
			    stream::encode(op.id, op.op, op.data) != f.payload)
				abort();
		}
	}
	return 0;
}
