// Throughput of the USB frame parser. The serial line brings about 11.5 KB/s;
// the parser has to stay far ahead of that even when the line carries
// nothing but noise.
#include "usb/usb_frame.h"

#include <QByteArray>
#include <QList>

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

using namespace quillmarch;

namespace {

constexpr int kStreamBytes = 1 << 20;

QByteArray envelopePayload(int tick)
{
	// About 300 bytes, the size of a basketball state envelope.
	QByteArray json =
		R"({"type":"state","sport":"basketball","seq":)" +
		QByteArray::number(tick) + R"(,"fields":{"home_score":")" +
		QByteArray::number(tick % 120) + R"(","away_score":")" +
		QByteArray::number((tick / 3) % 120) +
		R"(","clock":"9:58","period":"2","shot_clock":"14")";
	for (int i = 0; json.size() < 290; ++i)
		json += R"(,"stat_)" + QByteArray::number(i) + R"(":")" +
			QByteArray::number((tick + i) % 7) + '"';
	return json + "}}";
}

struct Workload {
	QByteArray stream;
	int frames = 0;
};

// Envelopes, a ctrl message now and then, a little line noise.
Workload realistic()
{
	std::mt19937 random(7);
	Workload w;
	for (int tick = 0; w.stream.size() < kStreamBytes; ++tick) {
		w.stream += buildFrame(kFrameEnvelope, envelopePayload(tick));
		++w.frames;
		if (tick % 10 == 0) {
			w.stream += buildFrame(
				kFrameCtrl, R"({"type":"pong","t":)" +
						    QByteArray::number(tick) +
						    "}");
			++w.frames;
		}
		if (tick % 50 == 0) {
			for (int i = 0; i < 16; ++i)
				w.stream += char(1 + random() % 255);
		}
	}
	return w;
}

// Uniform random bytes: a zero byte every 256 on average, now and then a
// 00 'Q' pair, hardly ever a whole sync sequence.
Workload randomNoise()
{
	std::mt19937 random(11);
	Workload w;
	w.stream.resize(kStreamBytes);
	for (char &c : w.stream)
		c = char(random());
	return w;
}

// The parser's real worst case: sync sequences with plausible lengths one
// after another, so that every six bytes start a 2048-byte checksum that
// fails.
Workload falseHeaders()
{
	const QByteArray fake("\x00QM\x01\x00\x08", 6);
	Workload w;
	w.stream = fake.repeated(kStreamBytes / int(fake.size()));
	return w;
}

std::vector<QByteArray> reads(const QByteArray &stream, int readSize)
{
	std::vector<QByteArray> out;
	for (int at = 0; at < stream.size(); at += readSize)
		out.push_back(stream.mid(at, readSize));
	return out;
}

void runParser(benchmark::State &state, const Workload &w)
{
	const std::vector<QByteArray> chunks =
		reads(w.stream, int(state.range(0)));
	for (auto _ : state) {
		UsbFrameParser parser;
		int frames = 0;
		for (const QByteArray &chunk : chunks)
			frames += int(parser.feed(chunk).size());
		benchmark::DoNotOptimize(frames);
		if (frames != w.frames) {
			state.SkipWithError("wrong number of frames");
			break;
		}
	}
	state.SetBytesProcessed(int64_t(state.iterations()) *
				int64_t(w.stream.size()));
}

void BM_ParseRealistic(benchmark::State &state)
{
	static const Workload w = realistic();
	runParser(state, w);
	state.SetLabel(QByteArray::number(w.frames).constData() +
		       std::string(" frames per MiB"));
}
// 4096-byte reads, and 172 bytes: what 15 ms of 115200 baud brings.
BENCHMARK(BM_ParseRealistic)->Arg(4096)->Arg(172);

void BM_ParseRandomNoise(benchmark::State &state)
{
	static const Workload w = randomNoise();
	runParser(state, w);
}
BENCHMARK(BM_ParseRandomNoise)->Arg(4096);

void BM_ParseFalseHeaders(benchmark::State &state)
{
	static const Workload w = falseHeaders();
	runParser(state, w);
}
BENCHMARK(BM_ParseFalseHeaders)->Arg(4096);

} // namespace

BENCHMARK_MAIN();
