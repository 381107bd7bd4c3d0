// The bridge on PipeWire's JACK: its ports, its period and a second
// bridge's name, MIDI both ways, and its end when the server stops.  (Its metadata is checked with jackd's, in
// metadata_test.cpp.)
//
// These run on a headless PipeWire started by the fixture; the test program
// and the daemon load pipewire-jack's libjack.  PipeWire rewrites a Note On
// of velocity 0 as a Note Off of velocity 64 between any two clients, so
// the traffic has none; it carries every other kind of channel message,
// real-time and system common messages, in a few hundred messages each way.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "support/midi_model.h"

namespace cftest {
namespace {

class on_pipewire : public e2e_on_server {};

// Message k of a fixed sequence that walks the channels and the kinds of
// message, 1 to 3 bytes long.
bytes message(unsigned k)
{
	const auto ch = static_cast<std::uint8_t>(k & 0x0F);
	const auto v = static_cast<std::uint8_t>((k * 7) & 0x7F);
	switch (k % 9) {
	case 0: return {static_cast<std::uint8_t>(0x90 | ch), v, static_cast<std::uint8_t>(1 + k % 127)};
	case 1: return {static_cast<std::uint8_t>(0x80 | ch), v, static_cast<std::uint8_t>(k & 0x7F)};
	case 2: return {static_cast<std::uint8_t>(0xA0 | ch), v, 0x22};
	case 3: return {static_cast<std::uint8_t>(0xB0 | ch), 0x07, v};
	case 4: return {static_cast<std::uint8_t>(0xC0 | ch), v};
	case 5: return {static_cast<std::uint8_t>(0xD0 | ch), v};
	case 6: return {static_cast<std::uint8_t>(0xE0 | ch), 0x00, v};
	case 7: return {0xF8};
	default: return {0xF3, v};
	}
}

std::vector<bytes> messages(unsigned count)
{
	std::vector<bytes> out;
	for (unsigned k = 0; k < count; k++)
		out.push_back(message(k));
	return out;
}

TEST_P(on_pipewire, ports_types_and_flags_with_S)
{
	if (IsSkipped())
		return;
	const std::string fifo = dir.make_fifo("dev");
	const std::string client = "cableferry-" + fifo;
	const std::vector<port_info> want = bridge_ports(client, true, true, true);

	daemon_proc &d = launch({"-S", "-d", fifo});
	ASSERT_NO_FATAL_FAILURE(await_port(d, want.back().name));
	ASSERT_NO_FATAL_FAILURE(expect_same_ports(probe.ports_of(client), want));
	EXPECT_TRUE(d.running());
	// The server's quantum is every client's period.
	EXPECT_EQ(jack_get_buffer_size(probe.client()), server.period);

	// A second bridge under the same name: PipeWire appends "-" and a
	// number of its own (jackd2 would append "-01").
	daemon_proc &twin = launch({"-S", "-d", fifo});
	std::string twin_port;
	const auto twin_seen = [&] {
		const char **names = jack_get_ports(probe.client(), nullptr, nullptr, 0);
		for (std::size_t i = 0; names != nullptr && names[i] != nullptr; i++) {
			const std::string_view n = names[i];
			const std::string_view tail = ":midi.RX";
			if (!n.starts_with(client + "-") || !n.ends_with(tail))
				continue;
			const std::string_view number = n.substr(client.size() + 1, n.size() - client.size() - 1 - tail.size());
			if (!number.empty() && number.find_first_not_of("0123456789") == std::string_view::npos)
				twin_port = n;
		}
		jack_free(names);
		return !twin_port.empty();
	};
	EXPECT_TRUE(wait_until(twin_seen)) << "no second client named " << client << "-<number>";
	EXPECT_TRUE(twin.running()) << twin.stderr_text();
	EXPECT_TRUE(d.running());
}

// One bridge with a capture and a playback FIFO: messages written to the
// capture node arrive on the probe's input one event each, and messages the
// probe sends come out of the playback node, byte for byte, in order.  Last
// in each direction goes a Note On of velocity 0, which PipeWire hands on
// as a Note Off of velocity 64 (the bridge itself passes it as it is).
//
// On a loaded machine PipeWire loses events between any two clients that
// miss a cycle, the bridge or not.  So a direction that lost messages is
// run again, up to three rounds in all, and one round must come through
// whole.  A round that differs must differ by loss alone: what came is what
// was sent, in order, with gaps.  A changed, doubled or reordered message
// fails at once.
TEST_P(on_pipewire, capture_and_playback_are_exact)
{
	if (IsSkipped())
		return;
	constexpr unsigned count = 400;
	constexpr unsigned per_write = 8; // messages per write, and per period
	constexpr int rounds = 3;
	std::vector<bytes> sent = messages(count);
	std::vector<bytes> want = sent;
	sent.push_back({0x93, 0x3C, 0x00});
	want.push_back({0x83, 0x3C, 0x40});
	const bytes want_bytes = concat(want);

	const std::string in = dir.make_fifo("in");
	const std::string out = dir.make_fifo("out");
	const std::string client = "cableferry-" + in;
	unique_fd reader = open_fifo_reader(out);
	ASSERT_TRUE(reader);
	daemon_proc &d = launch({"-C", in, "-P", out});
	ASSERT_NO_FATAL_FAILURE(await_port(d, client + ":midi.RX"));
	ASSERT_TRUE(wait_until([&] { return open_count(d.pid, in) == 1 && open_count(d.pid, out) == 1; }))
		<< "the daemon did not open its nodes";
	ASSERT_TRUE(probe.connect(client + ":midi.TX", probe.own("in")));
	ASSERT_TRUE(probe.connect(probe.own("out"), client + ":midi.RX"));
	unique_fd writer(::open(in.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
	ASSERT_TRUE(writer) << std::strerror(errno);

	const auto collect = [&](std::vector<bytes> &got) {
		for (const auto &r : probe.drain())
			if (r.port == 0)
				got.emplace_back(r.data.begin(), r.data.begin() + std::min<std::size_t>(r.size, r.data.size()));
	};
	// Capture: a few messages per write, each write taken whole, and the
	// next only once they came (or a second passed: then some were lost).
	const auto capture_round = [&] {
		std::vector<bytes> got;
		probe.wait_flushed();
		probe.drain();
		for (std::size_t k = 0; k < sent.size(); k += per_write) {
			const std::size_t end = std::min(sent.size(), k + per_write);
			const bytes chunk = concat(std::vector<bytes>(sent.begin() + k, sent.begin() + end));
			if (::write(writer.fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
				break;
			if (!wait_until([&] { collect(got); return got.size() >= end; }, 1s))
				break;
		}
		probe.wait_flushed();
		collect(got);
		return got;
	};
	// Playback: a few messages a period.
	const auto playback_round = [&] {
		bytes got;
		read_available(reader.fd, got);
		got.clear();
		for (std::size_t k = 0; k < sent.size(); k += per_write) {
			if (!probe.send(std::vector<bytes>(sent.begin() + k, sent.begin() + std::min(sent.size(), k + per_write))))
				break;
			read_available(reader.fd, got);
		}
		wait_until([&] {
			read_available(reader.fd, got);
			return got.size() >= want_bytes.size();
		}, 5s);
		probe.wait_flushed();
		read_available(reader.fd, got);
		return got;
	};

	// Whether got is want with some messages left out, and nothing else.
	const auto lost_only = [&](const std::vector<bytes> &got) {
		auto next = want.begin();
		for (const auto &m : got) {
			next = std::find(next, want.end(), m);
			if (next == want.end())
				return false;
			++next;
		}
		return true;
	};

	std::vector<bytes> captured;
	for (int round = 1; round <= rounds; round++) {
		captured = capture_round();
		if (captured == want)
			break;
		std::printf("capture round %d: %s\n", round, first_difference(captured, want).c_str());
		ASSERT_TRUE(lost_only(captured)) << "round " << round << ": " << difference(captured, want);
	}
	EXPECT_EQ(difference(captured, want), "");

	bytes played;
	for (int round = 1; round <= rounds; round++) {
		played = playback_round();
		if (played == want_bytes)
			break;
		std::printf("playback round %d: %zu of %zu bytes\n", round, played.size(), want_bytes.size());
		std::vector<char> bad;
		const std::vector<bytes> messages = split_messages(played, bad);
		ASSERT_TRUE(std::find(bad.begin(), bad.end(), 1) == bad.end() && lost_only(messages))
			<< "round " << round << ": " << difference(played, want_bytes);
	}
	EXPECT_EQ(difference(played, want_bytes), "");
	EXPECT_EQ(probe.send_failures(), 0u);
	EXPECT_TRUE(d.running());
	EXPECT_EQ(without_node_lines(d.stderr_text()), "");
}

TEST_P(on_pipewire, server_stopping_ends_with_zero)
{
	if (IsSkipped())
		return;
	const std::string fifo = dir.make_fifo("dev");
	const std::string client = "cableferry-" + fifo;
	daemon_proc &d = launch({"-S", "-C", fifo});
	ASSERT_NO_FATAL_FAILURE(await_active(d, client, fifo));
	probe.close();
	EXPECT_TRUE(WIFEXITED(server.stop()));
	EXPECT_EQ(d.exit_status(), 0) << d.stderr_text();
}

INSTANTIATE_TEST_SUITE_P(servers, on_pipewire, ::testing::Values(server_kind::pipewire), server_kind_name);

} // namespace
} // namespace cftest
