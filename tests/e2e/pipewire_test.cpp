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
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/e2e_fixture.h"

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

std::string hex(const bytes &b)
{
	std::string out;
	char digits[4];
	for (const auto x : b) {
		std::snprintf(digits, sizeof digits, "%02X ", x);
		out += digits;
	}
	return out;
}

// Where two message lists part, for failure messages.
std::string first_difference(const std::vector<bytes> &got, const std::vector<bytes> &want)
{
	const std::size_t n = std::min(got.size(), want.size());
	for (std::size_t i = 0; i < n; i++)
		if (got[i] != want[i])
			return "message " + std::to_string(i) + ": got " + hex(got[i]) + "want " + hex(want[i]);
	return "got " + std::to_string(got.size()) + " messages, want " + std::to_string(want.size());
}

TEST_P(on_pipewire, ports_types_and_flags_with_S)
{
	if (IsSkipped())
		return;
	const std::string fifo = dir.make_fifo("dev");
	const std::string client = "cableferry-" + fifo;
	std::vector<port_info> want = {{client + ":midi.TX", midi_type, out_flags}};
	for (const char *ch : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E", "F"})
		want.push_back({client + ":midi.TX.CH" + ch, midi_type, out_flags});
	want.push_back({client + ":midi.RX", midi_type, in_flags});

	daemon_proc &d = launch({"-S", "-d", fifo});
	ASSERT_NO_FATAL_FAILURE(await_port(d, want.back().name));
	const auto got = probe.ports_of(client);
	ASSERT_EQ(got.size(), want.size());
	for (const auto &w : want) {
		const auto it = std::find_if(got.begin(), got.end(), [&](const port_info &p) { return p.name == w.name; });
		ASSERT_NE(it, got.end()) << "no port " << w.name;
		EXPECT_EQ(it->type, w.type) << w.name;
		EXPECT_EQ(it->flags, w.flags) << w.name;
	}
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
// probe sends come out of the playback node, byte for byte, in order.
TEST_P(on_pipewire, capture_and_playback_are_exact)
{
	if (IsSkipped())
		return;
	constexpr unsigned count = 400;
	const std::vector<bytes> want = messages(count);
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

	// Capture: a few messages per write, each write taken whole.
	unique_fd writer(::open(in.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
	ASSERT_TRUE(writer) << std::strerror(errno);
	std::vector<bytes> captured;
	const auto collect = [&] {
		for (const auto &r : probe.drain())
			if (r.port == 0)
				captured.emplace_back(r.data.begin(), r.data.begin() + std::min<std::size_t>(r.size, r.data.size()));
	};
	for (unsigned k = 0; k < count; k += 8) {
		bytes chunk;
		for (unsigned i = k; i < std::min(count, k + 8); i++)
			chunk.insert(chunk.end(), want[i].begin(), want[i].end());
		ASSERT_EQ(::write(writer.fd, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
		// Wait for them, so that a stall shows where it happened.
		ASSERT_TRUE(wait_until([&] {
			collect();
			return captured.size() >= std::min(count, k + 8);
		})) << first_difference(captured, want);
	}
	probe.wait_flushed();
	collect();
	EXPECT_EQ(captured, want) << first_difference(captured, want);

	// Playback: eight messages a period.
	bytes want_bytes;
	for (const auto &m : want)
		want_bytes.insert(want_bytes.end(), m.begin(), m.end());
	bytes played;
	for (unsigned k = 0; k < count; k += 8) {
		ASSERT_TRUE(probe.send(std::vector<bytes>(want.begin() + k, want.begin() + std::min(count, k + 8))));
		read_available(reader.fd, played);
	}
	wait_until([&] {
		read_available(reader.fd, played);
		return played.size() >= want_bytes.size();
	});
	probe.wait_flushed();
	read_available(reader.fd, played);
	EXPECT_EQ(hex(played), hex(want_bytes));
	EXPECT_EQ(probe.send_failures(), 0u);

	// A Note On of velocity 0 comes out as the Note Off PipeWire makes of
	// it, both ways; the bridge itself passes it as it is (on jackd).
	const bytes note_on_0 = {0x93, 0x3C, 0x00};
	const bytes note_off_64 = {0x83, 0x3C, 0x40};
	captured.clear();
	ASSERT_EQ(::write(writer.fd, note_on_0.data(), note_on_0.size()), 3);
	EXPECT_TRUE(wait_until([&] {
		collect();
		return !captured.empty();
	}));
	EXPECT_EQ(captured, std::vector<bytes>{note_off_64});
	played.clear();
	ASSERT_TRUE(probe.send({note_on_0}));
	wait_until([&] {
		read_available(reader.fd, played);
		return played.size() >= 3;
	});
	EXPECT_EQ(hex(played), hex(note_off_64));
	EXPECT_TRUE(d.running());
	EXPECT_EQ(d.stderr_text(), "");
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
