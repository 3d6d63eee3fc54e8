// Admin payloads come from the device in any order and any shape. Input:
//   2 bytes   length of a message to send and receive back (big-endian)
//   then      records of a 2-byte big-endian length and that many bytes,
//             each one admin payload fed to a reassembler.
// A reassembled message must be a whole payload or exactly the total its
// chunks announced, and a message cut by buildAdminFrames must come back
// unchanged through the parser and a reassembler.
#include "usb/usb_frame.h"

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

namespace {

int bigEndian16(const QByteArray &b, int at)
{
	return int(quint8(b.at(at))) << 8 | quint8(b.at(at + 1));
}

void feedRecords(const QByteArray &input)
{
	AdminReassembler reassembler;
	int at = 2;
	while (at + 2 <= input.size()) {
		const int len = bigEndian16(input, at) % (kMaxFramePayload + 1);
		at += 2;
		const QByteArray payload = input.mid(at, len);
		at += int(payload.size());

		const QByteArray message = reassembler.feed(payload);
		if (message.isEmpty())
			continue;
		if (reassembler.inProgress())
			abort();
		const bool whole = message == payload && payload.at(0) == '{';
		const bool chunked = payload.size() > 2 &&
				     message.size() == bigEndian16(payload, 0);
		if (!whole && !chunked)
			abort();
	}
}

void roundTrip(const QByteArray &input)
{
	const int size = bigEndian16(input, 0);
	if (size == 0)
		return;
	QByteArray message = '{' + input.repeated(size / int(input.size()) + 1);
	message.truncate(size);
	// Admin messages are JSON text, which never holds a NUL byte; the
	// receiver relies on that to tell a first chunk from a whole message.
	message.replace('\0', ' ');

	const QList<QByteArray> frames = buildAdminFrames(message);
	if (frames.isEmpty())
		abort();
	UsbFrameParser parser;
	AdminReassembler reassembler;
	const QList<UsbFrame> parsed = parser.feed(frames.join());
	if (parsed.size() != frames.size() || parser.bufferedSize() != 0)
		abort();
	for (int i = 0; i < parsed.size(); ++i) {
		const QByteArray got = reassembler.feed(parsed.at(i).payload);
		const bool last = i + 1 == parsed.size();
		if (last ? got != message : !got.isEmpty())
			abort();
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	const QByteArray input(reinterpret_cast<const char *>(data),
			       static_cast<int>(size));
	feedRecords(input);
	roundTrip(input);
	return 0;
}
