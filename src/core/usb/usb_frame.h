#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QtGlobal>

namespace quillmarch {

// Framing of the USB serial line. Every frame is
//   00 'Q' 'M' | type | length (u16 LE) | payload | CRC-16 of payload (LE)
// so one stream carries envelopes, control and admin messages, the cloud
// pipe and multiplexed TCP streams. Everything here is pure byte work.

// Frame types.
constexpr quint8 kFrameEnvelope = 1; // device -> plug-in, one JSON envelope
constexpr quint8 kFramePipe = 2;     // raw bytes of the cloud connection
constexpr quint8 kFrameCtrl = 3;     // one compact JSON control message
constexpr quint8 kFrameAdmin = 4;    // an RPC message, whole or one chunk
constexpr quint8 kFrameStream = 5;   // one stream operation, see stream::

constexpr int kFrameHeaderSize = 6; // sync, magic, type, length
constexpr int kFrameOverhead = 8;   // header plus the checksum
constexpr int kMaxFramePayload = 2048;
constexpr int kMaxFrameSize = kMaxFramePayload + kFrameOverhead;

// Admin messages above one frame travel as chunks: total length (u16 BE),
// chunk index, then up to this many message bytes.
constexpr int kAdminChunkHeader = 3;
constexpr int kAdminChunkData = kMaxFramePayload - kAdminChunkHeader;
constexpr int kMaxAdminMessage = 65535;

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial 0xFFFF, no reflection, no
// final XOR. The checksum of nothing is 0xFFFF.
quint16 crc16CcittFalse(const char *data, int size);
quint16 crc16CcittFalse(const QByteArray &data);

struct UsbFrame {
	quint8 type = 0;
	QByteArray payload; // checksum already verified
};

bool operator==(const UsbFrame &a, const UsbFrame &b);
inline bool operator!=(const UsbFrame &a, const UsbFrame &b)
{
	return !(a == b);
}

// The whole frame, or an empty array when the payload does not fit.
QByteArray buildFrame(quint8 type, const QByteArray &payload);
// A ctrl frame with the object as compact JSON; empty when too large.
QByteArray buildCtrlFrame(const QJsonObject &message);
// The admin frames for one message, in sending order: one whole frame up to
// kMaxFramePayload bytes, chunks above that, nothing above kMaxAdminMessage.
QList<QByteArray> buildAdminFrames(const QByteArray &message);

// Finds frames in the received byte stream. Garbage, false sync sequences,
// impossible lengths and checksum failures are skipped silently. Between
// calls the buffer holds at most one incomplete frame, or the last two bytes
// when they could begin a sync sequence.
class UsbFrameParser {
public:
	// Every complete, valid frame now buffered, in arrival order.
	QList<UsbFrame> feed(const QByteArray &bytes);
	// Forgets buffered bytes, e.g. from an earlier connection.
	void clear() { m_buffer.clear(); }
	int bufferedSize() const { return int(m_buffer.size()); }

private:
	QByteArray m_buffer;
};

// Puts admin messages back together from admin frame payloads. A payload
// starting with '{' while nothing is in progress is a whole message; any
// chunk out of sequence drops the unfinished message together with itself.
class AdminReassembler {
public:
	// The complete message when this payload finishes one, else empty.
	QByteArray feed(const QByteArray &payload);
	void reset();
	bool inProgress() const { return m_total != 0; }

private:
	QByteArray m_buffer;
	quint32 m_total = 0;
	quint32 m_nextIndex = 0;
};

// Payload of a stream frame: stream id, operation, operation data.
namespace stream {

constexpr quint8 kOpen = 1;   // device: data is the destination name
constexpr quint8 kOpened = 2; // plug-in: the TCP connection is up
constexpr quint8 kError = 3;  // plug-in: reason, the stream is closed
constexpr quint8 kData = 4;   // both: stream bytes
constexpr quint8 kClose = 5;  // both
constexpr quint8 kCredit = 6; // device: u32 LE count of bytes it accepts

constexpr int kMaxErrorData = 32;
constexpr int kCreditDataSize = 4;

QByteArray encode(quint8 id, quint8 op, const QByteArray &data);

struct Operation {
	bool valid = false;
	quint8 id = 0;
	quint8 op = 0;
	QByteArray data;
	quint32 credit = 0; // the granted count when op is kCredit
};

// Splits a stream payload. It is not valid when it is shorter than two
// bytes, has id 0 or an unknown operation, an open without a name or a
// credit whose data is not exactly four bytes.
Operation decode(const QByteArray &payload);

} // namespace stream

} // namespace quillmarch
