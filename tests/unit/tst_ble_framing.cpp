#include "ble/ble_framing.h"
#include "ble/ble_link.h"

#include <QSignalSpy>
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

QByteArray shortFragment(int total, int index, const QByteArray &data)
{
	return bytes({total >> 8, total & 0xFF, index & 0xFF}) + data;
}

QByteArray longFragment(int total, int index, const QByteArray &data)
{
	return bytes({0xFF, 0x42, total >> 8, total & 0xFF, index >> 8,
		      index & 0xFF}) +
	       data;
}

// An admin message of the given size that starts like one.
QByteArray message(int size)
{
	QByteArray out("{\"id\":1,\"method\":\"x\",\"params\":\"");
	for (int i = 0; out.size() < size; ++i)
		out.append(char('a' + i % 26));
	out.truncate(size);
	return out;
}

// A reply cut into short-header fragments of `step` data bytes.
QList<QByteArray> fragmented(const QByteArray &reply, int step)
{
	QList<QByteArray> out;
	for (int i = 0; i * step < reply.size(); ++i)
		out.append(shortFragment(int(reply.size()), i,
					 reply.mid(i * step, step)));
	return out;
}

// The device end of the helper's write pipe: every write waits for the test
// to answer it.
struct FakeWrites {
	QList<QByteArray> writes;
	QList<BleBridge::ReplyCallback> answers;

	void attach(BleTransport &transport)
	{
		transport.setWriter([this](const QByteArray &write, int,
					   BleBridge::ReplyCallback done) {
			writes.append(write);
			answers.append(std::move(done));
		});
	}
	void answer(int i, const BleReply &reply) { answers.at(i)(reply); }
	void answerOk(int i) { answer(i, BleReply{true, {}, {}, {}}); }
};

} // namespace

Q_DECLARE_METATYPE(QList<QByteArray>)

class TestBleFraming : public QObject {
	Q_OBJECT

private Q_SLOTS:
	void encodes_data();
	void encodes();
	void assembles_data();
	void assembles();
	void transportWritesOneAtATime();
	void transportRefusesAndFails();
};

void TestBleFraming::encodes_data()
{
	QTest::addColumn<int>("size");
	QTest::addColumn<int>("writePayload");
	QTest::addColumn<int>("writeSize"); // after clamping
	QTest::addColumn<int>("writes");    // 0: refused

	QTest::newRow("fits one write") << 244 << 244 << 244 << 1;
	QTest::newRow("one byte over: 238 + 7") << 245 << 244 << 244 << 2;
	QTest::newRow("largest, smallest writes") << 8192 << 20 << 20 << 586;
	QTest::newRow("largest, largest writes") << 8192 << 244 << 244 << 35;
	QTest::newRow("write size held to 244") << 500 << 512 << 244 << 3;
	QTest::newRow("write size held to 20") << 21 << 5 << 20 << 2;
	QTest::newRow("too large") << 9000 << 244 << 244 << 0;
	QTest::newRow("one over the largest") << 8193 << 244 << 244 << 0;
}

void TestBleFraming::encodes()
{
	QFETCH(int, size);
	QFETCH(int, writePayload);
	QFETCH(int, writeSize);
	QFETCH(int, writes);

	const QByteArray original = message(size);
	const QList<QByteArray> out =
		bleEncodeRequest(original, writePayload, 200);
	QCOMPARE(out.size(), writes);
	if (writes <= 1) {
		if (writes == 1)
			QCOMPARE(out.first(), original);
		return;
	}
	// Every chunk is full but the last, carries the same tag and total,
	// counts up from 0, and the long-header reply reader (the same
	// layout) puts the message back together.
	BleReplyAssembler assembler;
	QList<QByteArray> rebuilt;
	for (int i = 0; i < out.size(); ++i) {
		const QByteArray &w = out.at(i);
		QVERIFY(w.size() <= writeSize);
		if (i < out.size() - 1)
			QCOMPARE(w.size(), writeSize);
		QCOMPARE(w.left(6), bytes({0xFF, 200, size >> 8, size & 0xFF,
					   i >> 8, i & 0xFF}));
		rebuilt += assembler.feed(w);
		QCOMPARE(rebuilt.isEmpty(), i < out.size() - 1);
	}
	QCOMPARE(rebuilt, QList<QByteArray>{original});
	if (size == 245)
		QCOMPARE(out.last().size() - 6, 7);
}

void TestBleFraming::assembles_data()
{
	QTest::addColumn<QList<QByteArray>>("notifications");
	QTest::addColumn<QList<QByteArray>>("replies");
	QTest::addColumn<int>("lost");

	const QByteArray r = message(40);
	const QByteArray other = "{\"id\":9}";
	const auto frag = [&](int i) {
		return shortFragment(40, i, r.mid(i * 17, 17));
	};

	QTest::newRow("whole")
		<< QList<QByteArray>{other} << QList<QByteArray>{other} << 0;
	QTest::newRow("0 1 2") << QList<QByteArray>{frag(0), frag(1), frag(2)}
			       << QList<QByteArray>{r} << 0;
	QTest::newRow("long headers")
		<< QList<QByteArray>{longFragment(40, 0, r.left(30)),
				     longFragment(40, 1, r.mid(30))}
		<< QList<QByteArray>{r} << 0;
	QTest::newRow("0 2 lost, then afresh")
		<< QList<QByteArray>{frag(0), frag(2), frag(0), frag(1),
				     frag(2)}
		<< QList<QByteArray>{r} << 1;
	QTest::newRow("whole reply amid fragments")
		<< QList<QByteArray>{frag(0), other, frag(1), frag(2)}
		<< QList<QByteArray>{other, r} << 0;
	QTest::newRow("index 1 with nothing under way")
		<< QList<QByteArray>{frag(1), frag(2)} << QList<QByteArray>{}
		<< 0;
	QTest::newRow("index 0 restarts a reply")
		<< QList<QByteArray>{frag(0), frag(1), frag(0), frag(1),
				     frag(2)}
		<< QList<QByteArray>{r} << 0;
	QTest::newRow("too short, empty, zero total")
		<< QList<QByteArray>{QByteArray(), bytes({0, 5}),
				     bytes({0xFF, 0, 0, 5, 0}),
				     shortFragment(0, 0, "x")}
		<< QList<QByteArray>{} << 0;
	QTest::newRow("more than announced is kept")
		<< QList<QByteArray>{shortFragment(3, 0, "{\"a\":1}")}
		<< QList<QByteArray>{"{\"a\":1}"} << 0;

	// The short header's one-byte index wraps on long replies.
	const QByteArray big = message(300 * 10);
	QTest::newRow("300 short fragments")
		<< fragmented(big, 10) << QList<QByteArray>{big} << 0;
}

void TestBleFraming::assembles()
{
	QFETCH(QList<QByteArray>, notifications);
	QFETCH(QList<QByteArray>, replies);
	QFETCH(int, lost);

	BleReplyAssembler assembler;
	QStringList errors;
	assembler.setOnError([&](const QString &text) { errors.append(text); });
	QList<QByteArray> out;
	for (const QByteArray &n : std::as_const(notifications))
		out += assembler.feed(n);
	QCOMPARE(out, replies);
	QCOMPARE(errors.size(), lost);
	for (const QString &e : std::as_const(errors))
		QCOMPARE(
			e,
			QStringLiteral(
				"the device reply was truncated (a fragment was lost)"));
	QVERIFY(!assembler.inProgress());
}

void TestBleFraming::transportWritesOneAtATime()
{
	BleTransport transport;
	FakeWrites fake;
	fake.attach(transport);
	QSignalSpy failures(&transport, &RpcTransport::sendFailed);
	QSignalSpy messages(&transport, &RpcTransport::message);
	transport.reset(true, 244);

	// Two chunked messages: one write with the helper at a time, and the
	// second message only after every chunk of the first.
	transport.send(message(245));
	transport.send(message(300));
	QStringList seen; // tag.index of each write
	for (int i = 0; i < 4; ++i) {
		QCOMPARE(fake.writes.size(), i + 1);
		seen.append(QString("%1.%2")
				    .arg(quint8(fake.writes.at(i).at(1)))
				    .arg(quint8(fake.writes.at(i).at(5))));
		fake.answerOk(i);
	}
	QCOMPARE(seen, (QStringList{"1.0", "1.1", "2.0", "2.1"}));

	// Tags run to 255 and start again at 1, never 0.
	for (int n = 3; n <= 256; ++n) {
		transport.send(message(245));
		fake.answerOk(int(fake.writes.size()) - 1);
		fake.answerOk(int(fake.writes.size()) - 1);
		if (n >= 255)
			QCOMPARE(quint8(fake.writes.last().at(1)),
				 quint8(n == 255 ? 255 : 1));
	}

	// A reply from the device, split into notifications.
	for (const QByteArray &n : fragmented("{\"id\":3,\"ok\":true}", 7))
		transport.deliver(n);
	QCOMPARE(messages.size(), 1);
	QCOMPARE(messages.first().first().toByteArray(),
		 QByteArray("{\"id\":3,\"ok\":true}"));

	// A write still unanswered when the link goes down is answered late
	// (by the helper's timeout): the next connection's writes go on.
	transport.send(message(245));
	const int stale = int(fake.writes.size()) - 1;
	transport.reset(false);
	transport.reset(true, 100);
	transport.send(message(245));
	const int fresh = int(fake.writes.size()) - 1;
	QCOMPARE(fresh, stale + 1);
	QCOMPARE(fake.writes.at(fresh).size(), 100);
	fake.answer(stale, BleReply::failure("timeout", "late"));
	QCOMPARE(failures.size(), 0);
	QCOMPARE(transport.queuedWrites(), 2);
	fake.answerOk(fresh);
	QCOMPARE(fake.writes.size(), fresh + 2);
}

void TestBleFraming::transportRefusesAndFails()
{
	BleTransport transport;
	FakeWrites fake;
	fake.attach(transport);
	QSignalSpy failures(&transport, &RpcTransport::sendFailed);
	const auto lastFailure = [&] {
		return failures.last().at(0).toString() + " / " +
		       failures.last().at(1).toString();
	};

	transport.send("{}");
	QCOMPARE(lastFailure(), "disconnected / Not connected to a device");

	transport.reset(true, 20);
	transport.send(message(9000));
	QCOMPARE(
		lastFailure(),
		"request_too_large / That request is too large for the device");
	QVERIFY(fake.writes.isEmpty());

	// A failed write drops the rest of its message; the code stays, and
	// the helper's pairing error becomes instructions.
	transport.send(message(100));
	QCOMPARE(transport.queuedWrites(), 7);
	fake.answer(0, BleReply::failure("not_paired",
					 "Encryption is insufficient."));
	QCOMPARE(transport.queuedWrites(), 0);
	QCOMPARE(failures.last().at(0).toString(),
		 QStringLiteral("not_paired"));
	QVERIFY(failures.last().at(1).toString().startsWith(
		"This computer is not paired with the device yet. Pair it once with the 6-digit passkey"));
	transport.send("{\"id\":2}");
	fake.answer(1, BleReply::failure("disconnected", "Not connected"));
	QCOMPARE(lastFailure(), "disconnected / Not connected");

	// A lost fragment is reported as a send failure.
	transport.deliver(shortFragment(40, 0, "{\"id\":2,"));
	transport.deliver(shortFragment(40, 2, "xx"));
	QCOMPARE(
		lastFailure(),
		"truncated / the device reply was truncated (a fragment was lost)");
	QCOMPARE(failures.size(), 5);
}

QTEST_GUILESS_MAIN(TestBleFraming)
#include "tst_ble_framing.moc"
