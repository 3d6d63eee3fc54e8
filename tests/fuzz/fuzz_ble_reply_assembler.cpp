// Device notifications come in any order and any shape. Input:
//   1 byte    the write size for a round trip (20..244 after clamping)
//   then      records of a 1-byte length and that many bytes, each one
//             notification fed to an assembler.
// Each notification completes at most one reply: a "{" notification is
// passed on unchanged, a reassembled one holds at least the total its first
// fragment announced. Then the records' bytes, cut by bleEncodeRequest,
// must come back unchanged through a fresh assembler (the request chunks
// use the long fragment layout).
#include "ble/ble_framing.h"

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

namespace {

int total(const QByteArray &n)
{
	const int at = quint8(n.at(0)) == 0xFF ? 2 : 0;
	return int(quint8(n.at(at))) << 8 | quint8(n.at(at + 1));
}

bool startsReply(const QByteArray &n)
{
	if (n.isEmpty() || n.at(0) == '{')
		return false;
	if (quint8(n.at(0)) == 0xFF)
		return n.size() >= 6 && n.at(4) == 0 && n.at(5) == 0;
	return n.size() >= 3 && n.at(2) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const QByteArray input(reinterpret_cast<const char *>(data),
			       static_cast<int>(size));
	const int writePayload = quint8(input.at(0));

	BleReplyAssembler assembler;
	int lost = 0;
	assembler.setOnError([&lost](const QString &) { ++lost; });
	int announced = 0;
	QByteArray payload;
	for (int at = 1; at < input.size();) {
		const int len = quint8(input.at(at));
		const QByteArray n = input.mid(at + 1, len);
		at += 1 + len;
		payload += n;
		if (startsReply(n))
			announced = total(n);
		const int lostBefore = lost;
		const QList<QByteArray> out = assembler.feed(n);
		if (out.size() > 1)
			abort();
		if (lost > lostBefore + 1 ||
		    (lost > lostBefore && !out.isEmpty()))
			abort();
		if (out.isEmpty())
			continue;
		if (n.at(0) == '{') {
			if (out.first() != n)
				abort();
		} else if (out.first().size() < announced || announced == 0) {
			abort();
		}
	}

	const QList<QByteArray> writes =
		bleEncodeRequest(payload, writePayload, 7);
	if (payload.size() > kBleMaxRequest) {
		if (!writes.isEmpty())
			abort();
		return 0;
	}
	if (writes.size() == 1) {
		if (writes.first() != payload)
			abort();
		return 0;
	}
	BleReplyAssembler back;
	QList<QByteArray> rebuilt;
	for (const QByteArray &w : writes) {
		if (w.size() > kBleMaxWritePayload || quint8(w.at(0)) != 0xFF)
			abort();
		rebuilt += back.feed(w);
	}
	if (rebuilt != QList<QByteArray>{payload})
		abort();
	return 0;
}
