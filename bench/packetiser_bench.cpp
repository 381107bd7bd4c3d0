// Packetiser throughput.
//
// A deterministic stream from the test kit's MIDI model, modelled on a busy
// controller and sequencer: channel messages in long runs of running
// status, System Exclusive messages from a few bytes to bulk dumps, and
// real-time bytes dropped in anywhere, inside messages too.  Each packet's
// bytes are read as the capture path would copy them.  A second case runs a
// long System Exclusive dump alone.  Figures are input bytes per second.

#include "bridge/packetiser.h"
#include "support/midi_model.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

using namespace cableferry;

namespace {

constexpr std::size_t stream_size = 384 * 1024;

// Mostly channel messages in long runs of one status, some System
// Exclusive, and a clock byte slipped in before one byte in 32.
constexpr cftest::traffic_mix busy_mix = {
	.channel3 = 82, .channel2 = 12, .common = 0, .tune_request = 0, .realtime = 0,
	.short_sysex = 5, .long_sysex = 1, .unfinished_sysex = 0, .undefined = 0, .stray_end = 0,
	.repeat_status = 85, .stray_data = 0,
};

const std::vector<std::uint8_t> &mixed_stream()
{
	static const std::vector<std::uint8_t> stream =
		cftest::stream_of(20240521, busy_mix, {.running_status = 100, .realtime_inside = 32}, stream_size);
	return stream;
}

const std::vector<std::uint8_t> &sysex_dump()
{
	static const std::vector<std::uint8_t> stream = [] {
		std::vector<std::uint8_t> s{0xF0};
		for (std::size_t i = 0; i + 2 < stream_size; ++i)
			s.push_back(std::uint8_t(i * 37 % 0x80));
		s.push_back(0xF7);
		return s;
	}();
	return stream;
}

// Feeds the stream through feed and, like the capture path, copies each
// packet's bytes out, here back to back into one buffer: three bytes are
// stored and the position moves on by the packet's length, so the copy has
// no branch of its own.
template <class Feed>
void run(benchmark::State &state, const std::vector<std::uint8_t> &stream, Feed feed)
{
	std::vector<std::uint8_t> sink(stream.size() * 3 + 3);
	std::uint64_t packets = 0;
	for (auto _ : state) {
		packetiser_reset();
		std::uint8_t *out = sink.data();
		feed(stream, [&](const midi_packet &p) {
			++packets;
			std::memcpy(out, p.data.data(), 3);
			out += code_index_length[p.code_index];
		});
		benchmark::DoNotOptimize(out);
		benchmark::ClobberMemory();
	}
	state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(stream.size()));
	state.counters["packets"] = benchmark::Counter(double(packets), benchmark::Counter::kIsRate);
}

// One byte at a time through packetise_byte.
void byte_by_byte(const std::vector<std::uint8_t> &stream, auto &&take)
{
	for (std::uint8_t b : stream)
		if (const midi_packet *p = packetise_byte(b); p != nullptr)
			take(*p);
}

// Through packetise_bytes, in the 16-byte spans the capture drain reads, as
// the drain feeds it.
void in_spans(const std::vector<std::uint8_t> &stream, auto &&take)
{
	constexpr std::size_t span_size = 16;
	for (std::size_t at = 0; at < stream.size(); at += span_size) {
		std::span<const std::uint8_t> rest(stream.data() + at, std::min(span_size, stream.size() - at));
		while (!rest.empty()) {
			std::size_t used = 0;
			const midi_packet *p = packetise_bytes(rest, used);
			rest = rest.subspan(used);
			if (p != nullptr)
				take(*p);
		}
	}
}

constexpr auto feed_bytes = [](const auto &stream, auto &&take) { byte_by_byte(stream, take); };
constexpr auto feed_spans = [](const auto &stream, auto &&take) { in_spans(stream, take); };

void BM_packetise_mixed_stream(benchmark::State &state) { run(state, mixed_stream(), feed_bytes); }
void BM_packetise_sysex_dump(benchmark::State &state) { run(state, sysex_dump(), feed_bytes); }
void BM_packetise_mixed_stream_spans(benchmark::State &state) { run(state, mixed_stream(), feed_spans); }
void BM_packetise_sysex_dump_spans(benchmark::State &state) { run(state, sysex_dump(), feed_spans); }

} // namespace

BENCHMARK(BM_packetise_mixed_stream);
BENCHMARK(BM_packetise_sysex_dump);
BENCHMARK(BM_packetise_mixed_stream_spans);
BENCHMARK(BM_packetise_sysex_dump_spans);
