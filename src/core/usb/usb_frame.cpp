#include "usb/usb_frame.h"

#include <QJsonDocument>

#include <array>
#include <cstring>

namespace quillmarch {

namespace {

constexpr char kSync0 = 0x00;
constexpr char kSync1 = 'Q';
constexpr char kSync2 = 'M';

// kCrcTables[k][b]: the CRC register after byte b followed by k zero bytes,
// so eight bytes are folded in with eight independent lookups instead of a
// chain of eight dependent ones. Frames are checksummed at every plausible
// header, so this is where the parser spends its time.
using CrcTables = std::array<std::array<quint16, 256>, 8>;

constexpr CrcTables makeCrcTables()
{
	CrcTables t{};
	for (int i = 0; i < 256; ++i) {
		quint16 crc = quint16(i << 8);
		for (int bit = 0; bit < 8; ++bit)
			crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021)
					     : quint16(crc << 1);
		t[0][size_t(i)] = crc;
	}
	for (size_t k = 1; k < t.size(); ++k) {
		for (size_t i = 0; i < 256; ++i) {
			const quint16 prev = t[k - 1][i];
			t[k][i] = quint16((prev << 8) ^ t[0][prev >> 8]);
		}
	}
	return t;
}

constexpr CrcTables kCrcTables = makeCrcTables();

inline quint32 byteAt(const char *p, qsizetype i)
{
	return quint32(static_cast<unsigned char>(p[i]));
}

// Position of the next full sync sequence at or after `from`, or -1. When
// there is none, *keepFrom is where a sync sequence cut off by the end of
// the data could start (the last two bytes 00 'Q', else a last 00), or
// `size` when nothing is worth keeping.
qsizetype findSync(const char *buf, qsizetype from, qsizetype size,
		   qsizetype *keepFrom)
{
	qsizetype i = from;
	while (i < size) {
		const void *hit =
			std::memchr(buf + i, kSync0, size_t(size - i));
		if (!hit)
			break;
		i = static_cast<const char *>(hit) - buf;
		if (i + 2 < size) {
			if (buf[i + 1] == kSync1 && buf[i + 2] == kSync2)
				return i;
		} else if (i + 1 == size || buf[i + 1] == kSync1) {
			*keepFrom = i;
			return -1;
		}
		++i;
	}
	*keepFrom = size;
	return -1;
}

} // namespace

quint16 crc16CcittFalse(const char *data, int size)
{
	const auto &t = kCrcTables;
	quint16 crc = 0xFFFF;
	const auto *p = reinterpret_cast<const unsigned char *>(data);
	int i = 0;
	for (; i + 8 <= size; i += 8, p += 8) {
		// The register folds into the block's first two bytes.
		crc = quint16(t[7][(crc >> 8) ^ p[0]] ^
			      t[6][(crc & 0xFF) ^ p[1]] ^ t[5][p[2]] ^
			      t[4][p[3]] ^ t[3][p[4]] ^ t[2][p[5]] ^
			      t[1][p[6]] ^ t[0][p[7]]);
	}
	for (; i < size; ++i, ++p)
		crc = quint16((crc << 8) ^ t[0][(crc >> 8) ^ *p]);
	return crc;
}

quint16 crc16CcittFalse(const QByteArray &data)
{
	return crc16CcittFalse(data.constData(), int(data.size()));
}

bool operator==(const UsbFrame &a, const UsbFrame &b)
{
	return a.type == b.type && a.payload == b.payload;
}

QByteArray buildFrame(quint8 type, const QByteArray &payload)
{
	const int n = int(payload.size());
	if (n > kMaxFramePayload)
		return QByteArray();
	const quint16 crc = crc16CcittFalse(payload);
	QByteArray frame;
	frame.reserve(n + kFrameOverhead);
	frame.append(kSync0);
	frame.append(kSync1);
	frame.append(kSync2);
	frame.append(char(type));
	frame.append(char(n & 0xFF));
	frame.append(char(n >> 8));
	frame.append(payload);
	frame.append(char(crc & 0xFF));
	frame.append(char(crc >> 8));
	return frame;
}

QByteArray buildCtrlFrame(const QJsonObject &message)
{
	return buildFrame(kFrameCtrl, QJsonDocument(message).toJson(
					      QJsonDocument::Compact));
}

QList<QByteArray> buildAdminFrames(const QByteArray &message)
{
	const int total = int(message.size());
	if (total <= kMaxFramePayload)
		return {buildFrame(kFrameAdmin, message)};
	if (total > kMaxAdminMessage)
		return {};

	QList<QByteArray> frames;
	frames.reserve((total + kAdminChunkData - 1) / kAdminChunkData);
	int index = 0;
	for (int offset = 0; offset < total;
	     offset += kAdminChunkData, ++index) {
		const int n = qMin(kAdminChunkData, total - offset);
		QByteArray payload;
		payload.reserve(kAdminChunkHeader + n);
		// The total is big-endian, unlike the frame length.
		payload.append(char(total >> 8));
		payload.append(char(total & 0xFF));
		payload.append(char(index));
		payload.append(message.constData() + offset, n);
		frames.append(buildFrame(kFrameAdmin, payload));
	}
	return frames;
}

QList<UsbFrame> UsbFrameParser::feed(const QByteArray &bytes)
{
	QList<UsbFrame> frames;
	// Shares rather than copies when nothing was left over from the last
	// read, which is the usual case.
	m_buffer.append(bytes);

	const char *buf = m_buffer.constData();
	const qsizetype size = m_buffer.size();
	// Bytes before `pos` are consumed; they are dropped once, at the end,
	// so skipping garbage costs nothing per byte beyond looking at it.
	qsizetype pos = 0;
	for (;;) {
		qsizetype keepFrom = size;
		const qsizetype sync = findSync(buf, pos, size, &keepFrom);
		if (sync < 0) {
			pos = keepFrom;
			break;
		}
		pos = sync;
		if (size - pos < kFrameHeaderSize)
			break;
		const quint8 type = quint8(buf[pos + 3]);
		const int n =
			int(byteAt(buf, pos + 4) | byteAt(buf, pos + 5) << 8);
		if (n > kMaxFramePayload) {
			// Cannot be a frame: look for the next sync now rather
			// than wait for bytes that will never make one.
			pos += 1;
			continue;
		}
		if (size - pos < n + kFrameOverhead)
			break;
		const char *payload = buf + pos + kFrameHeaderSize;
		const quint16 sent = quint16(byteAt(payload, n) |
					     byteAt(payload, n + 1) << 8);
		if (crc16CcittFalse(payload, n) == sent) {
			frames.append(UsbFrame{type, QByteArray(payload, n)});
			pos += n + kFrameOverhead;
		} else {
			// Drop only the sync byte: a real frame may start
			// inside what looked like this one.
			pos += 1;
		}
	}

	if (pos >= size)
		m_buffer.clear();
	else if (pos > 0)
		m_buffer.remove(0, int(pos));
	return frames;
}

QByteArray AdminReassembler::feed(const QByteArray &payload)
{
	if (m_total == 0) {
		if (payload.isEmpty())
			return QByteArray();
		// A whole message is JSON text and starts with '{'. So does the
		// first chunk of a message of 31488 to 31743 bytes (its total's
		// high byte is 0x7B); that chunk is told apart by its index byte
		// 0x00, which JSON text never contains.
		const bool firstChunk = payload.size() > 2 &&
					payload.at(2) == 0;
		if (payload.at(0) == '{' && !firstChunk)
			return payload;
	}
	if (payload.size() <= 2)
		return QByteArray();

	const char *p = payload.constData();
	const quint32 total = byteAt(p, 0) << 8 | byteAt(p, 1);
	const quint32 index = byteAt(p, 2);
	const char *data = p + kAdminChunkHeader;
	const int dataSize = int(payload.size()) - kAdminChunkHeader;

	if (m_total == 0) {
		if (index != 0 || total == 0)
			return QByteArray();
		m_total = total;
		m_nextIndex = 1;
		m_buffer.reserve(int(total));
		m_buffer.append(data, dataSize);
	} else if (total == m_total && index == m_nextIndex) {
		m_buffer.append(data, dataSize);
		++m_nextIndex;
	} else {
		// Out of order, another total, or a new first chunk: the
		// unfinished message can no longer be trusted, and neither can
		// the chunk that broke it.
		reset();
		return QByteArray();
	}

	if (quint32(m_buffer.size()) < m_total)
		return QByteArray();
	m_buffer.truncate(int(m_total));
	QByteArray message = m_buffer;
	reset();
	return message;
}

void AdminReassembler::reset()
{
	m_buffer.clear();
	m_total = 0;
	m_nextIndex = 0;
}

namespace stream {

QByteArray encode(quint8 id, quint8 op, const QByteArray &data)
{
	QByteArray payload;
	payload.reserve(2 + int(data.size()));
	payload.append(char(id));
	payload.append(char(op));
	payload.append(data);
	return payload;
}

Operation decode(const QByteArray &payload)
{
	Operation result;
	if (payload.size() < 2)
		return result;
	const char *p = payload.constData();
	result.id = quint8(p[0]);
	result.op = quint8(p[1]);
	result.data = payload.mid(2);

	switch (result.op) {
	case kOpen:
		result.valid = !result.data.isEmpty();
		break;
	case kCredit:
		result.valid = result.data.size() == kCreditDataSize;
		if (result.valid)
			result.credit = byteAt(p, 2) | byteAt(p, 3) << 8 |
					byteAt(p, 4) << 16 | byteAt(p, 5) << 24;
		break;
	case kOpened:
	case kError:
	case kData:
	case kClose:
		result.valid = true;
		break;
	default:
		break;
	}
	if (result.id == 0)
		result.valid = false;
	return result;
}

} // namespace stream

} // namespace quillmarch
