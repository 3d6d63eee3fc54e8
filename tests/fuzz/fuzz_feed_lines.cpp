// The secure feed's bytes arrive in reads of any size. Input:
//   1 byte    where to cut the rest, as a fraction of its length
//   then      the bytes the device sends
// Fed whole, cut once at that point, or one byte at a time (short inputs),
// the splitter must give the same objects in the same order, at most one per
// line feed, and keep the same unfinished tail, which never holds a line
// feed.
#include "lan/tls_feed.h"

#include <QJsonDocument>
#include <QList>

#include <cstdint>
#include <cstdlib>

using namespace quillmarch;

namespace {

struct Outcome {
	QList<QByteArray> objects;
	QByteArray pending;
};

Outcome feedPieces(const QList<QByteArray> &pieces)
{
	JsonLineSplitter splitter;
	Outcome out;
	QJsonObject object;
	for (const QByteArray &piece : pieces) {
		splitter.append(piece);
		while (splitter.next(&object))
			out.objects.append(QJsonDocument(object).toJson(
				QJsonDocument::Compact));
	}
	out.pending = splitter.pending();
	return out;
}

bool same(const Outcome &a, const Outcome &b)
{
	return a.objects == b.objects && a.pending == b.pending;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const QByteArray stream(reinterpret_cast<const char *>(data) + 1,
				static_cast<int>(size - 1));
	const int cut = int(qint64(stream.size()) * data[0] / 255);

	const Outcome whole = feedPieces({stream});
	if (whole.pending.contains('\n'))
		abort();
	if (whole.objects.size() > stream.count('\n'))
		abort();
	if (!stream.endsWith(whole.pending))
		abort();
	if (!same(whole, feedPieces({stream.left(cut), stream.mid(cut)})))
		abort();

	if (stream.size() <= 512) {
		QList<QByteArray> bytes;
		for (char c : stream)
			bytes.append(QByteArray(1, c));
		if (!same(whole, feedPieces(bytes)))
			abort();
	}
	return 0;
}
