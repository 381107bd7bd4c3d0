// Packetiser throughput.
//
// A deterministic stream modelled on a busy controller and sequencer: notes in
// running status, controller sweeps, pitch bend, program changes and channel
// pressure, System Exclusive messages from a few bytes to bulk dumps, and
// timing clock bytes dropped in anywhere, inside messages too.  Each packet's
// bytes are read as the capture path would copy them.  A second case runs a
// long System Exclusive dump alone.  Figures are input bytes per second.

#include "bridge/packetiser.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <vector>

using namespace cableferry;

namespace {

constexpr std::size_t stream_size = 384 * 1024;

struct stream_builder {
	std::mt19937 rng{20240521}; // fixed: the same stream on every run
	std::vector<std::uint8_t> out; // the stream being built

	unsigned pick(unsigned n) { return unsigned(rng() % n); }
	std::uint8_t data() { return std::uint8_t(pick(0x80)); }

	// Appends a byte; now and then a clock byte slips in ahead of it.
	void put(std::uint8_t b)
	{
		if (pick(32) == 0)
			out.push_back(0xF8);
		out.push_back(b);
	}

	void notes(std::uint8_t channel)
	{
		put(std::uint8_t(0x90 | channel));
		for (unsigned n = 1 + pick(12); n > 0; --n) {
			put(data());
			put(pick(3) == 0 ? 0 : std::uint8_t(1 + pick(0x7F))); // velocity 0 is a note off
		}
	}

	void controllers(std::uint8_t channel)
	{
		put(std::uint8_t(0xB0 | channel));
		const std::uint8_t controller = data();
		for (unsigned n = 1 + pick(8); n > 0; --n) {
			put(controller);
			put(data());
		}
	}

	void pitch_bend(std::uint8_t channel)
	{
		put(std::uint8_t(0xE0 | channel));
		for (unsigned n = 1 + pick(6); n > 0; --n) {
			put(data());
			put(data());
		}
	}

	void two_byte(std::uint8_t status)
	{
		put(status);
		for (unsigned n = 1 + pick(3); n > 0; --n)
			put(data());
	}

	void sysex(unsigned length)
	{
		put(0xF0);
		for (unsigned i = 0; i < length; ++i)
			put(data());
		put(0xF7);
	}

	std::vector<std::uint8_t> build()
	{
		while (out.size() < stream_size) {
			const std::uint8_t channel = std::uint8_t(pick(16));
			const unsigned r = pick(100);
			if (r < 45)
				notes(channel);
			else if (r < 70)
				controllers(channel);
			else if (r < 82)
				pitch_bend(channel);
			else if (r < 88)
				two_byte(std::uint8_t(0xC0 | channel));
			else if (r < 94)
				two_byte(std::uint8_t(0xD0 | channel));
			else if (r < 99)
				sysex(4 + pick(60));
			else
				sysex(256 + pick(2048));
		}
		return out;
	}
};

const std::vector<std::uint8_t> &mixed_stream()
{
	static const std::vector<std::uint8_t> stream = stream_builder{}.build();
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
