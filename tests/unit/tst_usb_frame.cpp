#include "usb/usb_frame.h"

#include <QJsonObject>
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

// JSON-like bytes that now and then hold a sync sequence and a plausible
// header, so payloads exercise the parser's consume-whole-frames rule.
QByteArray patterned(int size)
{
	static const QByteArray trap = header(kFrameEnvelope, 2000);
	QByteArray out("{");
	for (int i = 1; out.size() < size; ++i)
		out.append(i % 97 == 0 ? trap
				       : QByteArray(1, char(i * 7 % 251)));
	out.truncate(size);
	return out;
}

// A received byte stream and, for every frame in it, the number of bytes
// after which the parser can yield it.
struct Capture {
	QByteArray data;
	QList<UsbFrame> frames;
	QList<int> readyAt;

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
	c.data += QByteArray("\x13\x37noise\xff", 8);
	c.frame(kFrameEnvelope, R"({"type":"state","home_score":3})");
	// 00 'Q' not followed by 'M', then 00 'Q' right before a real sync.
	c.data += bytes({0x00, 'Q', 'x', 0x00, 'Q'});
	c.frame(kFrameCtrl, QByteArray());

	// A damaged frame directly followed by a good one.
	QByteArray damaged = buildFrame(kFrameCtrl, R"({"type":"pong"})");
	damaged[damaged.size() - 1] = char(damaged.back() ^ 1);
	c.data += damaged;
	c.frame(kFrameCtrl, R"({"type":"pong"})");

	// A header announcing one byte too many: skipped at once.
	c.data += header(kFrameEnvelope, kMaxFramePayload + 1);
	c.frame(kFramePipe, "raw pipe bytes");

	// A false header announcing the largest possible payload, with real
	// frames inside its span: they only come out once all its bytes are
	// there and the checksum has failed.
	const int falseEnd = int(c.data.size()) + kMaxFrameSize;
	c.data += header(kFrameEnvelope, kMaxFramePayload);
	const int innerFirst = int(c.frames.size());
	c.frame(kFrameAdmin, R"({"id":1,"method":"getStatus"})");
	c.frame(kFrameStream, stream::encode(3, stream::kData, "hi"));
	c.data += QByteArray(falseEnd - int(c.data.size()), char(0xAA));
	for (int i = innerFirst; i < c.frames.size(); ++i)
		c.readyAt[i] = falseEnd;

	c.frame(9, "x"); // unknown type: still a frame
	for (const QByteArray &f : buildAdminFrames(patterned(2100)))
		c.frame(kFrameAdmin, f.mid(6, f.size() - 8));
	c.data += bytes({'z', 0x00}); // the last 00 stays buffered
	return c;
}

// Feeds the mixed stream in reads ending at `cuts`; each read must yield
// exactly the frames that became complete in it.
bool feedPartition(const QList<int> &cuts)
{
	const Capture c = mixedStream();
	UsbFrameParser parser;
	int from = 0;
	for (int cut : cuts) {
		const QList<UsbFrame> got =
			parser.feed(c.data.mid(from, cut - from));
		QList<UsbFrame> due;
		for (int i = 0; i < c.frames.size(); ++i)
			if (c.readyAt.at(i) > from && c.readyAt.at(i) <= cut)
				due.append(c.frames.at(i));
		if (got != due)
			return false;
		from = cut;
	}
	return parser.bufferedSize() == 1;
}

} // namespace

class TestUsbFrame : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void building();
	void adminFrames_data();
	void adminFrames();
	void parserPartitions();
	void parserKeepsOnlyPossibleSyncTail_data();
	void parserKeepsOnlyPossibleSyncTail();
	void reassembler_data();
	void reassembler();
	void streamOperations_data();
	void streamOperations();
};

void TestUsbFrame::building()
{
	QCOMPARE(crc16CcittFalse("123456789"), quint16(0x29B1));
	QCOMPARE(crc16CcittFalse(QByteArray()), quint16(0xFFFF));
	// Three eight-byte blocks and a tail.
	QCOMPARE(crc16CcittFalse(QByteArray("123456789").repeated(3)),
		 quint16(0xDBAE));

	// Sync 00 'Q' 'M', type, length and CRC low byte first.
	QCOMPARE(buildFrame(kFrameCtrl, QByteArray()),
		 header(kFrameCtrl, 0) + bytes({0xFF, 0xFF}));
	QCOMPARE(buildFrame(kFrameEnvelope, "A"),
		 bytes({0x00, 0x51, 0x4D, 0x01, 0x01, 0x00, 0x41, 0x15, 0xB9}));
	QByteArray ramp;
	for (int i = 0; i < 258; ++i)
		ramp.append(char(i));
	QCOMPARE(buildFrame(5, ramp),
		 header(5, 0x0102) + ramp + bytes({0xFC, 0x73}));
	QCOMPARE(buildCtrlFrame({{"type", "ping"}}),
		 header(3, 15) + R"({"type":"ping"})" + bytes({0xDF, 0xB4}));
	QCOMPARE(buildFrame(2, QByteArray(kMaxFramePayload + 1, 'p')),
		 QByteArray());
}

void TestUsbFrame::adminFrames_data()
{
	QTest::addColumn<int>("size");
	QTest::addColumn<int>("frames");
	QTest::addColumn<int>("lastChunkData"); // -1: sent whole
	// Totals 31488 to 31743 have '{' as high byte: their first chunk must
	// not be taken for a whole message.
	for (const auto &r : {std::array<int, 3>{0, 1, -1},
			      {2048, 1, -1},
			      {2049, 2, 4},
			      {4090, 2, 2045},
			      {4091, 3, 1},
			      {65535, 33, 95},
			      {65536, 0, 0},
			      {31488, 16, 813},
			      {31743, 16, 1068}})
		QTest::addRow("%d bytes", r[0]) << r[0] << r[1] << r[2];
}

// Builds the frames for one message, checks their chunk headers, and puts
// the message back together through the parser and the reassembler.
void TestUsbFrame::adminFrames()
{
	QFETCH(int, size);
	QFETCH(int, frames);
	QFETCH(int, lastChunkData);

	const QByteArray message = patterned(size);
	const QList<QByteArray> built = buildAdminFrames(message);
	QCOMPARE(built.size(), frames);
	if (frames == 0)
		return;
	for (int i = 0; lastChunkData >= 0 && i < built.size(); ++i) {
		// total length big-endian, then the index
		QCOMPARE(built.at(i).mid(6, 3),
			 bytes({size >> 8, size & 0xFF, i}));
		QCOMPARE(int(built.at(i).size()) - kFrameOverhead - 3,
			 i + 1 < built.size() ? kAdminChunkData
					      : lastChunkData);
	}

	const QByteArray wire = built.join();
	UsbFrameParser parser;
	AdminReassembler reassembler;
	QList<QByteArray> messages;
	for (int at = 0; at < wire.size(); at += 777) {
		for (const UsbFrame &f : parser.feed(wire.mid(at, 777))) {
			QCOMPARE(f.type, kFrameAdmin);
			const QByteArray done = reassembler.feed(f.payload);
			if (!done.isEmpty() || lastChunkData < 0)
				messages.append(done);
		}
	}
	QCOMPARE(messages, QList<QByteArray>{message});
	QVERIFY(!reassembler.inProgress());
}

// Every split point, and one byte at a time. (The fuzz target checks that
// random cuts find the same frames.)
void TestUsbFrame::parserPartitions()
{
	const int size = int(mixedStream().data.size());
	QList<int> cuts;
	for (int split = 0; split <= size; ++split) {
		QVERIFY2(feedPartition({split, size}),
			 qPrintable(QString::number(split)));
		cuts.append(split);
	}
	QVERIFY(feedPartition(cuts));
}

void TestUsbFrame::parserKeepsOnlyPossibleSyncTail_data()
{
	QTest::addColumn<QByteArray>("garbage");
	QTest::addColumn<int>("kept");
	QTest::newRow("no zero byte") << QByteArray("abc\xff") << 0;
	QTest::newRow("ends in 00 Q") << QByteArray("abc\0Q", 5) << 2;
	QTest::newRow("ends in 00") << QByteArray("abc\0", 4) << 1;
	QTest::newRow("ends in Q") << QByteArray("abcQ") << 0;
	QTest::newRow("ends in 00 Q 00") << QByteArray("\0Q\0", 3) << 1;
	QTest::newRow("00 Q then not M") << QByteArray("\0QN", 3) << 0;
	QTest::newRow("sync, part of a header")
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
	UsbFrameParser parser;
	QVERIFY(parser.feed(garbage).isEmpty());
	QTEST(parser.bufferedSize(), "kept");
	// Whatever was kept must not spoil the frame that follows.
	const QByteArray frame = buildFrame(kFrameCtrl, "{}");
	QCOMPARE(parser.feed(frame),
		 (QList<UsbFrame>{UsbFrame{kFrameCtrl, "{}"}}));
	QCOMPARE(parser.bufferedSize(), 0);

	// clear() forgets a partial frame.
	QVERIFY(parser.feed(frame.left(5)).isEmpty());
	parser.clear();
	QVERIFY(parser.feed(frame.mid(5)).isEmpty());
	QCOMPARE(parser.bufferedSize(), 0);
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
	using L = QList<QByteArray>;
	const auto row = [](const char *name, const L &in, const L &out) {
		QTest::newRow(name) << in << out;
	};
	row("short payloads are nothing", {"ab", whole}, {none, whole});
	row("chunks in order, then idle again", {c0, c1, c2, whole, c0, c1, c2},
	    {none, none, msg, whole, none, none, msg});
	row("chunks 0 2 drop the message", {c0, c2, c1}, {none, none, none});
	row("chunk 1 without chunk 0", {c1, c2}, {none, none});
	row("repeated chunk", {c0, c1, c1, c2}, {none, none, none, none});
	row("other total", {c0, chunk(10, 1, "def"), c2}, {none, none, none});
	row("whole message inside chunks is dropped with them",
	    {c0, whole, c1, c2, whole}, {none, none, none, none, whole});
	row("new first chunk that breaks is not used",
	    {c0, chunk(4, 0, "wx"), chunk(4, 1, "yz")}, {none, none, none});
	row("two-byte payloads leave a message alone", {c0, "{}", "x", c1, c2},
	    {none, none, none, none, msg});
	row("total 0", {chunk(0, 0, "abc"), whole}, {none, whole});
	row("data beyond the total is cut", {chunk(4, 0, "abcdef")}, {"abcd"});
	row("chunk without data", {chunk(2, 0, ""), chunk(2, 1, "hi")},
	    {none, "hi"});
	// An empty payload stands for reset() here.
	row("reset drops the message",
	    {chunk(6, 0, "abc"), none, chunk(6, 1, "def"), chunk(6, 0, "abc"),
	     chunk(6, 1, "def")},
	    {none, none, none, none, "abcdef"});
}

void TestUsbFrame::reassembler()
{
	QFETCH(QList<QByteArray>, payloads);
	AdminReassembler reassembler;
	QCOMPARE(reassembler.feed(QByteArray()), QByteArray());
	QList<QByteArray> got;
	for (const QByteArray &payload : payloads) {
		if (payload.isEmpty()) {
			QVERIFY(reassembler.inProgress());
			reassembler.reset();
		}
		got.append(payload.isEmpty() ? QByteArray()
					     : reassembler.feed(payload));
	}
	QTEST(got, "expected");
}

void TestUsbFrame::streamOperations_data()
{
	QTest::addColumn<QByteArray>("payload");
	QTest::addColumn<bool>("valid");
	QTest::addColumn<int>("op");
	QTest::addColumn<uint>("credit");
	QTest::newRow("data") << bytes({7, 4, 'h', 'i'}) << true << 4 << 0u;
	QTest::newRow("open") << bytes({1, 1, 'm', 'q'}) << true << 1 << 0u;
	QTest::newRow("open without a name")
		<< bytes({1, 1}) << false << 1 << 0u;
	QTest::newRow("close, id 255") << bytes({255, 5}) << true << 5 << 0u;
	QTest::newRow("credit, 4 bytes little-endian")
		<< bytes({2, 6, 0x10, 0x27, 0, 1}) << true << 6 << 0x01002710u;
	QTest::newRow("credit with 3 bytes")
		<< bytes({2, 6, 0x10, 0x27, 0}) << false << 6 << 0u;
	QTest::newRow("id 0") << bytes({0, 4, 'x'}) << false << 4 << 0u;
	QTest::newRow("unknown op") << bytes({1, 7}) << false << 7 << 0u;
	QTest::newRow("one byte") << bytes({1}) << false << 0 << 0u;
}

// Decoding, and encoding as its inverse: id, op, then the data.
void TestUsbFrame::streamOperations()
{
	QFETCH(QByteArray, payload);
	const stream::Operation got = stream::decode(payload);
	QTEST(got.valid, "valid");
	QTEST(int(got.op), "op");
	QTEST(uint(got.credit), "credit");
	if (payload.size() >= 2) {
		QCOMPARE(int(got.id), int(quint8(payload.at(0))));
		QCOMPARE(got.data, payload.mid(2));
		QCOMPARE(stream::encode(got.id, got.op, got.data), payload);
	}
}

QTEST_GUILESS_MAIN(TestUsbFrame)
#include "tst_usb_frame.moc"
