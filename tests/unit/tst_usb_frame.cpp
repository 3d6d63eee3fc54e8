#include "usb_frame.h"

#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

#include <initializer_list>

using namespace quillmarch;

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
	QByteArray out;
	for (int v : values)
		out.append(char(v));
	return out;
}

// 00 'Q' 'M' type, length as given (not necessarily the real one).
QByteArray header(quint8 type, int length)
{
	return bytes({0x00, 'Q', 'M', type, length & 0xFF, length >> 8});
}

QByteArray chunk(int total, int index, const QByteArray &data)
{
	return bytes({total >> 8, total & 0xFF, index}) + data;
}

// Bytes that happen to contain a sync sequence and a plausible header, so
// payloads that hold them exercise the parser's consume-whole-frames rule.
QByteArray patterned(int size)
{
	static const QByteArray trap = header(kFrameEnvelope, 2000);
	QByteArray out;
	out.reserve(size);
	out.append('{');
	for (int i = 1; out.size() < size; ++i) {
		if (i % 97 == 0)
			out.append(trap);
		else
			out.append(char((i * 7) % 251));
	}
	out.truncate(size);
	return out;
}

// A received byte stream and, for every frame in it, the number of bytes
// after which the parser can yield it.
struct Capture {
	QByteArray data;
	QList<UsbFrame> frames;
	QList<int> readyAt;

	void garbage(const QByteArray &b) { data += b; }
	void frame(quint8 type, const QByteArray &payload)
	{
		data += buildFrame(type, payload);
		frames.append(UsbFrame{type, payload});
		readyAt.append(int(data.size()));
	}
};

// Everything the parser must survive, in one stream.
Capture mixedStream()
{
	Capture c;
	c.garbage(QByteArray("\x13\x37noise\xff", 8));
	c.frame(kFrameEnvelope, R"({"type":"state","home_score":3})");
	// 00 'Q' not followed by 'M', then 00 'Q' right before a real sync.
	c.garbage(bytes({0x00, 'Q', 'x', 0x00, 'Q'}));
	c.frame(kFrameCtrl, QByteArray()); // empty payload

	// A damaged frame directly followed by a good one.
	QByteArray damaged = buildFrame(kFrameCtrl, R"({"type":"pong"})");
	damaged[damaged.size() - 1] = char(damaged.at(damaged.size() - 1) ^ 1);
	c.garbage(damaged);
	c.frame(kFrameCtrl, R"({"type":"pong"})");

	// A header announcing one byte too many: skipped at once.
	c.garbage(header(kFrameEnvelope, kMaxFramePayload + 1));
	c.frame(kFramePipe, "raw pipe bytes");

	// A false header announcing 2000 bytes, with real frames inside its
	// span: they can only come out once all 2008 bytes are there and the
	// checksum has failed.
	const int falseStart = int(c.data.size());
	c.garbage(header(kFrameEnvelope, 2000));
	const int innerFirst = int(c.frames.size());
	c.frame(kFrameAdmin, R"({"id":1,"method":"getStatus"})");
	c.frame(kFrameStream, stream::encode(3, stream::kData, "hi"));
	const int falseEnd = falseStart + 2000 + kFrameOverhead;
	c.garbage(QByteArray(falseEnd - int(c.data.size()), char(0xAA)));
	for (int i = innerFirst; i < c.frames.size(); ++i)
		c.readyAt[i] = falseEnd;

	c.frame(9, "x"); // unknown type: still a frame
	const QList<QByteArray> admin = buildAdminFrames(patterned(2100));
	c.frame(kFrameAdmin, admin.at(0).mid(6, admin.at(0).size() - 8));
	c.frame(kFrameAdmin, admin.at(1).mid(6, admin.at(1).size() - 8));
	c.garbage(bytes({'z', 0x00})); // the last 00 stays buffered
	return c;
}

QString describe(const QList<UsbFrame> &frames)
{
	QStringList parts;
	for (const UsbFrame &f : frames)
		parts << QStringLiteral("%1:%2").arg(f.type).arg(
			f.payload.size());
	return parts.join(QLatin1Char(' '));
}

} // namespace

class TestUsbFrame : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void crc_data();
	void crc();
	void buildFrame_data();
	void buildFrame();
	void buildCtrlFrame();
	void buildAdminFrames_data();
	void buildAdminFrames();

	void parserAnySplit();
	void parserOneByteAtATime();
	void parserRandomPartitions();
	void parserKeepsOnlyPossibleSyncTail_data();
	void parserKeepsOnlyPossibleSyncTail();
	void parserSkipsImpossibleLength_data();
	void parserSkipsImpossibleLength();
	void parserClear();

	void reassembler_data();
	void reassembler();
	void reassemblerReset();
	void adminRoundTrip_data();
	void adminRoundTrip();

	void streamEncode();
	void streamDecode_data();
	void streamDecode();

private:
	// Feeds the mixed stream in reads ending at `cuts` and checks that
	// each read yields exactly the frames that became complete in it.
	void feedPartition(const QList<int> &cuts);
};

void TestUsbFrame::crc_data()
{
	QTest::addColumn<QByteArray>("data");
	QTest::addColumn<int>("expected");

	QTest::newRow("check string") << QByteArray("123456789") << 0x29B1;
	QTest::newRow("empty") << QByteArray() << 0xFFFF;
	QTest::newRow("one zero byte") << QByteArray(1, '\0') << 0xE1F0;
	QTest::newRow("A") << QByteArray("A") << 0xB915;
	// Whole eight-byte blocks and a tail.
	QTest::newRow("16 x FF") << QByteArray(16, char(0xFF)) << 0x6A4B;
	QTest::newRow("check string x3")
		<< QByteArray("123456789").repeated(3) << 0xDBAE;
}

void TestUsbFrame::crc()
{
	QFETCH(QByteArray, data);
	QFETCH(int, expected);
	QCOMPARE(int(crc16CcittFalse(data)), expected);
}

void TestUsbFrame::buildFrame_data()
{
	QTest::addColumn<int>("type");
	QTest::addColumn<QByteArray>("payload");
	QTest::addColumn<QByteArray>("expected");

	QTest::newRow("ctrl, empty payload")
		<< 3 << QByteArray()
		<< bytes({0x00, 0x51, 0x4D, // sync 00 'Q' 'M'
			  0x03,             // type: ctrl
			  0x00, 0x00,       // length 0
			  0xFF, 0xFF});     // CRC of nothing
	QTest::newRow("envelope, one byte")
		<< 1 << QByteArray("A")
		<< bytes({0x00, 0x51, 0x4D, // sync
			  0x01,             // type: envelope
			  0x01, 0x00,       // length 1, low byte first
			  0x41,             // 'A'
			  0x15, 0xB9});     // CRC 0xB915, low byte first

	QByteArray ramp;
	for (int i = 0; i < 258; ++i)
		ramp.append(char(i));
	QTest::newRow("length needs both bytes")
		<< 5 << ramp
		<< bytes({0x00, 0x51, 0x4D, 0x05,        //
			  0x02, 0x01})                   // length 0x0102
			   + ramp + bytes({0xFC, 0x73}); // CRC 0x73FC

	const QByteArray full(kMaxFramePayload, 'p');
	QTest::newRow("2048 bytes fit")
		<< 2 << full
		<< header(2, 2048) + full +
			   QByteArray(1, char(crc16CcittFalse(full) & 0xFF)) +
			   QByteArray(1, char(crc16CcittFalse(full) >> 8));
	QTest::newRow("2049 bytes do not")
		<< 2 << QByteArray(kMaxFramePayload + 1, 'p') << QByteArray();
}

void TestUsbFrame::buildFrame()
{
	QFETCH(int, type);
	QFETCH(QByteArray, payload);
	QFETCH(QByteArray, expected);
	QCOMPARE(quillmarch::buildFrame(quint8(type), payload), expected);
}

void TestUsbFrame::buildCtrlFrame()
{
	const QJsonObject ping{
		{QStringLiteral("type"), QStringLiteral("ping")}};
	QCOMPARE(quillmarch::buildCtrlFrame(ping),
		 header(3, 15) + R"({"type":"ping"})" + bytes({0xDF, 0xB4}));

	const QJsonObject huge{{QStringLiteral("pad"),
				QString(kMaxFramePayload, QLatin1Char('x'))}};
	QVERIFY(quillmarch::buildCtrlFrame(huge).isEmpty());
}

void TestUsbFrame::buildAdminFrames_data()
{
	QTest::addColumn<int>("size");
	QTest::addColumn<int>("frames");
	QTest::addColumn<int>("lastChunkData");

	// lastChunkData -1: whole form, the payload is the message.
	QTest::newRow("empty message") << 0 << 1 << -1;
	QTest::newRow("2048 whole") << 2048 << 1 << -1;
	QTest::newRow("2049 in two chunks") << 2049 << 2 << 4;
	QTest::newRow("4090 fills two chunks") << 4090 << 2 << 2045;
	QTest::newRow("4091 needs a third") << 4091 << 3 << 1;
	QTest::newRow("65535 in 33 chunks") << 65535 << 33 << 95;
	QTest::newRow("65536 cannot be sent") << 65536 << 0 << 0;
}

void TestUsbFrame::buildAdminFrames()
{
	QFETCH(int, size);
	QFETCH(int, frames);
	QFETCH(int, lastChunkData);

	const QByteArray message = patterned(size);
	const QList<QByteArray> built = quillmarch::buildAdminFrames(message);
	QCOMPARE(built.size(), frames);
	if (frames == 0)
		return;

	QByteArray joined;
	for (int i = 0; i < built.size(); ++i) {
		const QByteArray &frame = built.at(i);
		QCOMPARE(frame.left(4), header(kFrameAdmin, 0).left(4));
		const QByteArray payload = frame.mid(6, frame.size() - 8);
		QCOMPARE(frame, quillmarch::buildFrame(kFrameAdmin, payload));
		if (lastChunkData < 0) {
			QCOMPARE(payload, message);
			return;
		}
		// total length big-endian, then the index
		QCOMPARE(payload.left(3), bytes({size >> 8, size & 0xFF, i}));
		const int dataSize = int(payload.size()) - 3;
		QCOMPARE(dataSize, i + 1 < built.size() ? kAdminChunkData
							: lastChunkData);
		joined += payload.mid(3);
	}
	QCOMPARE(joined, message);

	if (size == 2049) {
		QCOMPARE(built.at(0).mid(6, 3), bytes({0x08, 0x01, 0x00}));
		QCOMPARE(built.at(1).mid(6, 3), bytes({0x08, 0x01, 0x01}));
	}
}

void TestUsbFrame::feedPartition(const QList<int> &cuts)
{
	const Capture c = mixedStream();
	UsbFrameParser parser;
	QList<UsbFrame> all;
	int from = 0;
	for (int cut : cuts) {
		const QList<UsbFrame> got =
			parser.feed(c.data.mid(from, cut - from));
		QList<UsbFrame> due;
		for (int i = 0; i < c.frames.size(); ++i) {
			if (c.readyAt.at(i) > from && c.readyAt.at(i) <= cut)
				due.append(c.frames.at(i));
		}
		if (got != due)
			QFAIL(qPrintable(
				QStringLiteral("read %1..%2 gave [%3], "
					       "expected [%4]")
					.arg(from)
					.arg(cut)
					.arg(describe(got), describe(due))));
		all += got;
		from = cut;
	}
	QCOMPARE(from, int(c.data.size()));
	QCOMPARE(all.size(), c.frames.size());
	QCOMPARE(parser.bufferedSize(), 1);
}

void TestUsbFrame::parserAnySplit()
{
	const int size = int(mixedStream().data.size());
	for (int split = 0; split <= size; ++split) {
		feedPartition({split, size});
		if (QTest::currentTestFailed())
			QFAIL(qPrintable(
				QStringLiteral("split at %1").arg(split)));
	}
}

void TestUsbFrame::parserOneByteAtATime()
{
	QList<int> cuts;
	for (int i = 1; i <= mixedStream().data.size(); ++i)
		cuts.append(i);
	feedPartition(cuts);
}

void TestUsbFrame::parserRandomPartitions()
{
	QRandomGenerator random(20240611);
	const int size = int(mixedStream().data.size());
	for (int round = 0; round < 200; ++round) {
		QList<int> cuts;
		int at = 0;
		while (at < size) {
			at = qMin(size, at + 1 + int(random.bounded(700)));
			cuts.append(at);
		}
		feedPartition(cuts);
		if (QTest::currentTestFailed())
			QFAIL(qPrintable(
				QStringLiteral("round %1").arg(round)));
	}
}

void TestUsbFrame::parserKeepsOnlyPossibleSyncTail_data()
{
	QTest::addColumn<QByteArray>("garbage");
	QTest::addColumn<int>("kept");

	QTest::newRow("no zero byte") << QByteArray("abc\xff") << 0;
	QTest::newRow("ends in 00 Q") << QByteArray("abc\0Q", 5) << 2;
	QTest::newRow("only 00 Q") << QByteArray("\0Q", 2) << 2;
	QTest::newRow("ends in 00") << QByteArray("abc\0", 4) << 1;
	QTest::newRow("ends in Q") << QByteArray("abcQ") << 0;
	QTest::newRow("ends in 00 00") << QByteArray("ab\0\0", 4) << 1;
	QTest::newRow("ends in 00 Q 00") << QByteArray("\0Q\0", 3) << 1;
	QTest::newRow("00 Q then not M") << QByteArray("\0QN", 3) << 0;
	QTest::newRow("sync with part of a header")
		<< QByteArray("xx\0QM\x01", 6) << 4;
	QTest::newRow("a megabyte, then 00 Q")
		<< QByteArray(1 << 20, 'Z') + QByteArray("\0Q", 2) << 2;
	QTest::newRow("zeros") << QByteArray(5000, '\0') << 1;
	QTest::newRow("many impossible headers")
		<< header(kFrameEnvelope, 0xFFFF).repeated(500) << 0;
}

void TestUsbFrame::parserKeepsOnlyPossibleSyncTail()
{
	QFETCH(QByteArray, garbage);
	QFETCH(int, kept);

	UsbFrameParser parser;
	QVERIFY(parser.feed(garbage).isEmpty());
	QCOMPARE(parser.bufferedSize(), kept);

	// Whatever was kept must not spoil the frame that follows.
	const QList<UsbFrame> frames =
		parser.feed(quillmarch::buildFrame(kFrameCtrl, "{}"));
	QCOMPARE(frames.size(), 1);
	QCOMPARE(frames.at(0).payload, QByteArray("{}"));
	QCOMPARE(parser.bufferedSize(), 0);
}

void TestUsbFrame::parserSkipsImpossibleLength_data()
{
	QTest::addColumn<int>("length");
	QTest::addColumn<bool>("skipped");

	QTest::newRow("2049") << 2049 << true;
	QTest::newRow("65535") << 65535 << true;
	QTest::newRow("2048 is waited for") << 2048 << false;
}

void TestUsbFrame::parserSkipsImpossibleLength()
{
	QFETCH(int, length);
	QFETCH(bool, skipped);

	const QByteArray input = header(kFrameEnvelope, length) +
				 quillmarch::buildFrame(kFrameCtrl, "{}");
	UsbFrameParser parser;
	const QList<UsbFrame> frames = parser.feed(input);
	QCOMPARE(frames.size(), skipped ? 1 : 0);
	QCOMPARE(parser.bufferedSize(), skipped ? 0 : int(input.size()));
}

void TestUsbFrame::parserClear()
{
	const QByteArray frame = quillmarch::buildFrame(kFrameCtrl, "{}");
	UsbFrameParser parser;
	QVERIFY(parser.feed(frame.left(5)).isEmpty());
	parser.clear();
	QCOMPARE(parser.bufferedSize(), 0);
	QVERIFY(parser.feed(frame.mid(5)).isEmpty());
	QCOMPARE(parser.feed(frame).size(), 1);
}

void TestUsbFrame::reassembler_data()
{
	QTest::addColumn<QList<QByteArray>>("payloads");
	// One entry per payload: what feed() returns for it.
	QTest::addColumn<QList<QByteArray>>("expected");

	const QByteArray msg = "abcdefghi";
	const QByteArray c0 = chunk(9, 0, "abc");
	const QByteArray c1 = chunk(9, 1, "def");
	const QByteArray c2 = chunk(9, 2, "ghi");
	const QByteArray none;
	const QByteArray whole = R"({"id":7})";

	QTest::newRow("whole message")
		<< QList<QByteArray>{whole} << QList<QByteArray>{whole};
	QTest::newRow("empty and short payloads are nothing")
		<< QList<QByteArray>{none, "ab"}
		<< QList<QByteArray>{none, none};
	QTest::newRow("chunks 0 1 2") << QList<QByteArray>{c0, c1, c2}
				      << QList<QByteArray>{none, none, msg};
	QTest::newRow("chunks 0 2 drop the message")
		<< QList<QByteArray>{c0, c2, c1}
		<< QList<QByteArray>{none, none, none};
	QTest::newRow("chunk 1 without chunk 0")
		<< QList<QByteArray>{c1, c2} << QList<QByteArray>{none, none};
	QTest::newRow("repeated chunk breaks the sequence")
		<< QList<QByteArray>{c0, c1, c1, c2}
		<< QList<QByteArray>{none, none, none, none};
	QTest::newRow("other total breaks the sequence")
		<< QList<QByteArray>{c0, chunk(10, 1, "def"), c2}
		<< QList<QByteArray>{none, none, none};
	QTest::newRow("whole message inside chunks is dropped with them")
		<< QList<QByteArray>{c0, whole, c1, c2, whole}
		<< QList<QByteArray>{none, none, none, none, whole};
	QTest::newRow("new first chunk that breaks is not used")
		<< QList<QByteArray>{c0, chunk(4, 0, "wx"), chunk(4, 1, "yz")}
		<< QList<QByteArray>{none, none, none};
	QTest::newRow("two-byte payloads leave a message alone")
		<< QList<QByteArray>{c0, "{}", "x", c1, c2}
		<< QList<QByteArray>{none, none, none, none, msg};
	QTest::newRow("first chunk with total 0 is ignored")
		<< QList<QByteArray>{chunk(0, 0, "abc"), whole}
		<< QList<QByteArray>{none, whole};
	QTest::newRow("data beyond the total is cut")
		<< QList<QByteArray>{chunk(4, 0, "abcdef")}
		<< QList<QByteArray>{"abcd"};
	QTest::newRow("chunk without data")
		<< QList<QByteArray>{chunk(2, 0, ""), chunk(2, 1, "hi")}
		<< QList<QByteArray>{none, "hi"};
	QTest::newRow("idle again after a message")
		<< QList<QByteArray>{c0, c1, c2, whole, c0, c1, c2}
		<< QList<QByteArray>{none, none, msg, whole, none, none, msg};
}

void TestUsbFrame::reassembler()
{
	QFETCH(QList<QByteArray>, payloads);
	QFETCH(QList<QByteArray>, expected);
	QCOMPARE(payloads.size(), expected.size());

	AdminReassembler reassembler;
	for (int i = 0; i < payloads.size(); ++i) {
		const QByteArray got = reassembler.feed(payloads.at(i));
		if (got != expected.at(i))
			QFAIL(qPrintable(
				QStringLiteral("payload %1 gave \"%2\"")
					.arg(i)
					.arg(QString::fromLatin1(got))));
	}
}

void TestUsbFrame::reassemblerReset()
{
	AdminReassembler reassembler;
	QVERIFY(reassembler.feed(chunk(6, 0, "abc")).isEmpty());
	QVERIFY(reassembler.inProgress());
	reassembler.reset();
	QVERIFY(!reassembler.inProgress());
	QVERIFY(reassembler.feed(chunk(6, 1, "def")).isEmpty());
	QVERIFY(reassembler.feed(chunk(6, 0, "abc")).isEmpty());
	QCOMPARE(reassembler.feed(chunk(6, 1, "def")), QByteArray("abcdef"));
}

void TestUsbFrame::adminRoundTrip_data()
{
	QTest::addColumn<int>("size");
	QTest::addColumn<int>("frames");

	QTest::newRow("1") << 1 << 1;
	QTest::newRow("2048") << 2048 << 1;
	QTest::newRow("2049") << 2049 << 2;
	QTest::newRow("4090") << 4090 << 2;
	QTest::newRow("4091") << 4091 << 3;
	QTest::newRow("65535") << 65535 << 33;
	// Totals whose high byte is '{': the first chunk must not be taken
	// for a whole message.
	QTest::newRow("31488, first chunk starts with a brace") << 31488 << 16;
	QTest::newRow("31743, first chunk starts with a brace") << 31743 << 16;
}

void TestUsbFrame::adminRoundTrip()
{
	QFETCH(int, size);
	QFETCH(int, frames);

	// Holds sync sequences and plausible headers on purpose.
	const QByteArray message = patterned(size);
	const QList<QByteArray> built = quillmarch::buildAdminFrames(message);
	QCOMPARE(built.size(), frames);
	const QByteArray wire = built.join();

	UsbFrameParser parser;
	AdminReassembler reassembler;
	QList<QByteArray> messages;
	int seen = 0;
	for (int at = 0; at < wire.size(); at += 777) {
		for (const UsbFrame &f : parser.feed(wire.mid(at, 777))) {
			QCOMPARE(f.type, kFrameAdmin);
			++seen;
			const QByteArray done = reassembler.feed(f.payload);
			if (!done.isEmpty())
				messages.append(done);
		}
	}
	QCOMPARE(seen, frames);
	QCOMPARE(messages.size(), 1);
	QCOMPARE(messages.at(0), message);
	QVERIFY(!reassembler.inProgress());
}

void TestUsbFrame::streamEncode()
{
	QCOMPARE(stream::encode(7, stream::kData, "abc"),
		 bytes({0x07,             // stream id
			0x04,             // op: data
			'a', 'b', 'c'})); // data
	QCOMPARE(stream::encode(255, stream::kOpened, QByteArray()),
		 bytes({0xFF, 0x02}));
}

void TestUsbFrame::streamDecode_data()
{
	QTest::addColumn<QByteArray>("payload");
	QTest::addColumn<bool>("valid");
	QTest::addColumn<int>("id");
	QTest::addColumn<int>("op");
	QTest::addColumn<QByteArray>("data");
	QTest::addColumn<uint>("credit");

	QTest::newRow("data") << bytes({0x07, 0x04, 'h', 'i'}) << true << 7 << 4
			      << QByteArray("hi") << 0u;
	QTest::newRow("open with a name")
		<< bytes({0x01, 0x01, 'm', 'q'}) << true << 1 << 1
		<< QByteArray("mq") << 0u;
	QTest::newRow("open without a name")
		<< bytes({0x01, 0x01}) << false << 1 << 1 << QByteArray() << 0u;
	QTest::newRow("close") << bytes({0xFF, 0x05}) << true << 255 << 5
			       << QByteArray() << 0u;
	QTest::newRow("credit, 4 bytes little-endian")
		<< bytes({0x02, 0x06, 0x10, 0x27, 0x00, 0x01}) << true << 2 << 6
		<< bytes({0x10, 0x27, 0x00, 0x01}) << 0x01002710u;
	QTest::newRow("credit with 3 bytes")
		<< bytes({0x02, 0x06, 0x10, 0x27, 0x00}) << false << 2 << 6
		<< bytes({0x10, 0x27, 0x00}) << 0u;
	QTest::newRow("credit with 5 bytes")
		<< bytes({0x02, 0x06, 0x10, 0x27, 0x00, 0x00, 0x00}) << false
		<< 2 << 6 << bytes({0x10, 0x27, 0x00, 0x00, 0x00}) << 0u;
	QTest::newRow("id 0") << bytes({0x00, 0x04, 'x'}) << false << 0 << 4
			      << QByteArray("x") << 0u;
	QTest::newRow("unknown op")
		<< bytes({0x01, 0x07}) << false << 1 << 7 << QByteArray() << 0u;
	QTest::newRow("one byte")
		<< bytes({0x01}) << false << 0 << 0 << QByteArray() << 0u;
}

void TestUsbFrame::streamDecode()
{
	QFETCH(QByteArray, payload);
	QFETCH(bool, valid);
	QFETCH(int, id);
	QFETCH(int, op);
	QFETCH(QByteArray, data);
	QFETCH(uint, credit);

	const stream::Operation got = stream::decode(payload);
	QCOMPARE(got.valid, valid);
	QCOMPARE(int(got.id), id);
	QCOMPARE(int(got.op), op);
	QCOMPARE(got.data, data);
	QCOMPARE(uint(got.credit), credit);
}

QTEST_GUILESS_MAIN(TestUsbFrame)
#include "tst_usb_frame.moc"
