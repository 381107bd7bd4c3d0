// MIDI from the capture node to JACK: bytes written into a FIFO come out as
// events on midi.TX and, with -S, on the port of their channel as well.
//
// A second probe client ("fan") has one input for each of the daemon's
// outputs, so every event is seen on the port it left by.  The events
// expected on midi.TX are written out by hand, or owed by the MIDI model
// for a generated stream; a channel port must carry exactly the events on
// midi.TX whose first byte is a status of its channel.  Whether the daemon
// has read what was written is told by the FIFO's fill level (FIONREAD), and
// whether it holds the node by /proc/<pid>/fd, so no step waits on a guess.
#include <fcntl.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "support/midi_model.h"

namespace cftest {
namespace {

constexpr std::size_t channel_count = 16;
constexpr const char *hex_digits = "0123456789ABCDEF";

bytes event_bytes(const midi_record &r)
{
	return bytes(r.data.begin(), r.data.begin() + std::min<std::size_t>(r.size, r.data.size()));
}

// The events of each fan port, in arrival order: 0 is midi.TX, 1 + c channel c.
std::vector<std::vector<bytes>> by_port(const std::vector<midi_record> &got)
{
	std::vector<std::vector<bytes>> ports(1 + channel_count);
	for (const auto &r : got)
		if (r.port < ports.size())
			ports[r.port].push_back(event_bytes(r));
	return ports;
}

// The timing rule on every port: within one period the events sit at frames
// 0, 1, 2... in the order they came, and there are at most limit of them.
// The first breach, or "".
std::string frame_problem(const std::vector<midi_record> &got, std::size_t limit)
{
	std::map<std::pair<std::uint32_t, std::uint64_t>, std::uint32_t> next; // (port, period) -> frame
	for (const auto &r : got) {
		std::uint32_t &frame = next[{r.port, r.period}];
		if (r.frame != frame)
			return "port " + std::to_string(r.port) + ", period " + std::to_string(r.period) +
			       ": event " + std::to_string(frame) + " at frame " + std::to_string(r.frame);
		frame++;
	}
	for (const auto &[key, count] : next)
		if (count > limit)
			return "port " + std::to_string(key.first) + ", period " + std::to_string(key.second) +
			       ": " + std::to_string(count) + " events in a period of " + std::to_string(limit);
	return {};
}

// The largest number of events that one period brought on port.
std::size_t busiest_period(const std::vector<midi_record> &got, std::uint32_t port)
{
	std::map<std::uint64_t, std::size_t> per_period;
	std::size_t most = 0;
	for (const auto &r : got)
		if (r.port == port)
			most = std::max(most, ++per_period[r.period]);
	return most;
}

// Bytes written into the pipe and not read yet; -1 on error.
int pipe_fill(int fd)
{
	int n = -1;
	return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

class capture : public e2e_server {
protected:
	jack_probe fan;                // one input per daemon output: tx, then ch0..ch15
	std::string fifo;              // the capture node
	std::string client;            // the daemon's client name
	daemon_proc *d = nullptr;      // the running daemon
	unique_fd writer;              // our end of the FIFO, non-blocking
	std::vector<midi_record> got;  // events received since the last clear

	void SetUp() override
	{
		ASSERT_NO_FATAL_FAILURE(e2e_server::SetUp());
		ASSERT_TRUE(fan.open(server.name, unique_client_name("fan"))) << server.log();
		ASSERT_EQ(fan.add_input("tx"), 0);
		for (std::size_t c = 0; c < channel_count; c++)
			ASSERT_EQ(fan.add_input(std::string("ch") + hex_digits[c]), static_cast<int>(1 + c));
		ASSERT_TRUE(fan.activate());
		ASSERT_TRUE(fan.wait_periods(1));
	}

	void TearDown() override
	{
		writer.reset();
		fan.close();
		e2e_server::TearDown();
	}

	// Starts the daemon with -S (and extra) on a new FIFO, connects all its
	// outputs to the fan and opens our writing end.
	void start(const std::vector<std::string> &extra = {})
	{
		fifo = dir.make_fifo("in");
		ASSERT_FALSE(fifo.empty());
		client = "cableferry-" + fifo;
		std::vector<std::string> args = {"-S", "-C", fifo};
		args.insert(args.end(), extra.begin(), extra.end());
		d = &launch(args);
		ASSERT_NO_FATAL_FAILURE(await_port(*d, client + ":midi.TX.CHF"));
		ASSERT_TRUE(wait_until([&] { return open_count(d->pid, fifo) == 1; }))
			<< "the daemon did not open " << fifo;
		ASSERT_TRUE(fan.connect(client + ":midi.TX", fan.own("tx")));
		for (std::size_t c = 0; c < channel_count; c++)
			ASSERT_TRUE(fan.connect(client + ":midi.TX.CH" + hex_digits[c],
			                        fan.own(std::string("ch") + hex_digits[c])));
		ASSERT_NO_FATAL_FAILURE(open_writer());
	}

	void open_writer()
	{
		writer = unique_fd(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
		ASSERT_TRUE(writer) << "no writer for " << fifo << ": " << std::strerror(errno);
	}

	void collect()
	{
		for (const auto &r : fan.drain())
			got.push_back(r);
	}

	std::size_t tx_count() const
	{
		return static_cast<std::size_t>(
			std::count_if(got.begin(), got.end(), [](const midi_record &r) { return r.port == 0; }));
	}

	// Writes data whole, as fast as the pipe takes it, collecting events
	// meanwhile.  A piece of at most PIPE_BUF bytes into an empty pipe goes
	// in one write, which the daemon then reads within one period.
	bool put(const bytes &data)
	{
		std::size_t done = 0;
		return wait_until([&] {
			collect();
			while (done < data.size()) {
				const ssize_t n = ::write(writer.fd, data.data() + done, data.size() - done);
				if (n > 0)
					done += static_cast<std::size_t>(n);
				else if (!(n < 0 && errno == EINTR))
					break;
			}
			return done == data.size();
		});
	}

	// Waits until the daemon has read everything written and n events came
	// on midi.TX, then a few periods more, so that anything extra shows too.
	bool settle(std::size_t n)
	{
		const bool done = wait_until([&] {
			collect();
			return pipe_fill(writer.fd) == 0 && tx_count() >= n;
		});
		const bool ran = fan.wait_periods(4);
		collect();
		return done && ran;
	}

	// midi.TX carries exactly tx, and each channel port its channel's share.
	void expect_ports(const std::vector<bytes> &tx)
	{
		const auto ports = by_port(got);
		EXPECT_EQ(hex(ports[0]), hex(tx)) << "on midi.TX";
		for (std::size_t c = 0; c < channel_count; c++)
			EXPECT_EQ(hex(ports[1 + c]), hex(on_channel(tx, c))) << "on midi.TX.CH" << hex_digits[c];
	}
};

struct fan_case {
	const char *label;      // what the case shows
	bytes input;            // written at once
	std::vector<bytes> tx;  // events on midi.TX, in order
};

// Each case starts with a status byte, so running status left by the one
// before does not reach into it.
const std::vector<fan_case> fan_cases = {
	{"note on, channel 0", {0x90, 0x3C, 0x64}, {{0x90, 0x3C, 0x64}}},
	{"note on, then a clock", {0x99, 0x24, 0x7F, 0xF8}, {{0x99, 0x24, 0x7F}, {0xF8}}},
	{"running status, two and three bytes",
	 {0x93, 0x40, 0x10, 0x41, 0x11, 0xC5, 0x07, 0x08, 0xB0, 0x07, 0x64, 0x0A, 0x20},
	 {{0x93, 0x40, 0x10}, {0x93, 0x41, 0x11}, {0xC5, 0x07}, {0xC5, 0x08}, {0xB0, 0x07, 0x64}, {0xB0, 0x0A, 0x20}}},
	{"every kind of channel message",
	 {0x86, 0x3C, 0x00, 0xA7, 0x3C, 0x50, 0xBB, 0x40, 0x7F, 0xCC, 0x05, 0xDD, 0x60, 0xEE, 0x00, 0x40},
	 {{0x86, 0x3C, 0x00}, {0xA7, 0x3C, 0x50}, {0xBB, 0x40, 0x7F}, {0xCC, 0x05}, {0xDD, 0x60}, {0xEE, 0x00, 0x40}}},
	{"every channel once",
	 {0x90, 0x30, 0x40, 0x91, 0x31, 0x41, 0x92, 0x32, 0x42, 0x93, 0x33, 0x43, 0x94, 0x34, 0x44, 0x95, 0x35, 0x45,
	  0x96, 0x36, 0x46, 0x97, 0x37, 0x47, 0x98, 0x38, 0x48, 0x99, 0x39, 0x49, 0x9A, 0x3A, 0x4A, 0x9B, 0x3B, 0x4B,
	  0x9C, 0x3C, 0x4C, 0x9D, 0x3D, 0x4D, 0x9E, 0x3E, 0x4E, 0x9F, 0x3F, 0x4F},
	 {{0x90, 0x30, 0x40}, {0x91, 0x31, 0x41}, {0x92, 0x32, 0x42}, {0x93, 0x33, 0x43}, {0x94, 0x34, 0x44},
	  {0x95, 0x35, 0x45}, {0x96, 0x36, 0x46}, {0x97, 0x37, 0x47}, {0x98, 0x38, 0x48}, {0x99, 0x39, 0x49},
	  {0x9A, 0x3A, 0x4A}, {0x9B, 0x3B, 0x4B}, {0x9C, 0x3C, 0x4C}, {0x9D, 0x3D, 0x4D}, {0x9E, 0x3E, 0x4E},
	  {0x9F, 0x3F, 0x4F}}},
	{"real-time bytes inside notes come out first, on midi.TX alone",
	 {0x9F, 0x3C, 0xF8, 0x64, 0xFE, 0x3D, 0xFA, 0xFF, 0x65},
	 {{0xF8}, {0x9F, 0x3C, 0x64}, {0xFE}, {0xFA}, {0xFF}, {0x9F, 0x3D, 0x65}}},
	{"System Exclusive of 7 bytes: 3, 3 and 1",
	 {0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0xF7},
	 {{0xF0, 0x01, 0x02}, {0x03, 0x04, 0x05}, {0xF7}}},
	{"System Exclusive of 6, 5 and 2 bytes",
	 {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7, 0xF0, 0x01, 0x02, 0x03, 0xF7, 0xF0, 0xF7},
	 {{0xF0, 0x7E, 0x7F}, {0x09, 0x01, 0xF7}, {0xF0, 0x01, 0x02}, {0x03, 0xF7}, {0xF0, 0xF7}}},
	{"clock inside System Exclusive",
	 {0xF0, 0x7E, 0xF8, 0x7F, 0x09, 0x01, 0xF8, 0xF7},
	 {{0xF8}, {0xF0, 0x7E, 0x7F}, {0xF8}, {0x09, 0x01, 0xF7}}},
	{"System Exclusive cut by a note",
	 {0xF0, 0x01, 0x02, 0x03, 0x04, 0x92, 0x30, 0x40},
	 {{0xF0, 0x01, 0x02}, {0x92, 0x30, 0x40}}},
	{"System Exclusive cut by a tune request",
	 {0xF0, 0x01, 0x02, 0x03, 0x04, 0xF6, 0x05, 0xF7},
	 {{0xF0, 0x01, 0x02}, {0xF6}}},
	{"system common, no running status, strays dropped",
	 {0xF2, 0x10, 0x20, 0x30, 0xF1, 0x05, 0x06, 0xF3, 0x11, 0x12, 0xF6, 0xF7, 0x3C, 0xF4, 0x01, 0xF5, 0x02},
	 {{0xF2, 0x10, 0x20}, {0xF1, 0x05}, {0xF3, 0x11}, {0xF6}}},
	{"undefined status cuts a note", {0x94, 0x3C, 0xF4, 0x64}, {}},
};

TEST_F(capture, events_on_midi_tx_and_their_channel_port)
{
	ASSERT_NO_FATAL_FAILURE(start());
	for (const auto &c : fan_cases) {
		SCOPED_TRACE(c.label);
		got.clear();
		ASSERT_LE(c.input.size(), std::size_t{PIPE_BUF});
		ASSERT_TRUE(put(c.input));
		ASSERT_TRUE(settle(c.tx.size())) << "midi.TX has " << hex(by_port(got)[0]);
		expect_ports(c.tx);
		// One write, read in one period: everything in that period, at
		// frames 0, 1, 2... on each port.
		std::set<std::uint64_t> periods;
		for (const auto &r : got)
			periods.insert(r.period);
		EXPECT_LE(periods.size(), 1u);
		EXPECT_EQ(frame_problem(got, server.period), "");
	}
	EXPECT_EQ(fan.record_overflows(), 0u);
	EXPECT_TRUE(d->running());
	EXPECT_EQ(without_node_lines(d->stderr_text()), "");
}

struct split_case {
	const char *label;                       // what the case shows
	std::vector<bytes> parts;                // written one after the other
	std::vector<std::vector<bytes>> after;   // midi.TX events each part brings
};

const std::vector<split_case> split_cases = {
	{"note cut after its status", {{0x90}, {0x3C, 0x64}}, {{}, {{0x90, 0x3C, 0x64}}}},
	{"note cut before its last byte", {{0x90, 0x3C}, {0x64}}, {{}, {{0x90, 0x3C, 0x64}}}},
	{"note cut twice", {{0x91}, {0x3C}, {0x64}}, {{}, {}, {{0x91, 0x3C, 0x64}}}},
	{"running status cut", {{0x95, 0x01, 0x02, 0x03}, {0x04}}, {{{0x95, 0x01, 0x02}}, {{0x95, 0x03, 0x04}}}},
	{"program change status alone", {{0xC7}, {0x10, 0x11}}, {{}, {{0xC7, 0x10}, {0xC7, 0x11}}}},
	{"clock between the parts", {{0x9A, 0x3C}, {0xF8}, {0x64}}, {{}, {{0xF8}}, {{0x9A, 0x3C, 0x64}}}},
	{"System Exclusive cut inside a chunk",
	 {{0xF0, 0x01, 0x02, 0x03, 0x04}, {0x05, 0xF7}},
	 {{{0xF0, 0x01, 0x02}}, {{0x03, 0x04, 0x05}, {0xF7}}}},
	{"song position cut", {{0xF2, 0x10}, {0x20, 0x30}}, {{}, {{0xF2, 0x10, 0x20}}}},
};

// Each part is read by the daemon (the pipe is empty) and some periods go
// by before the next is written: a message cut there still comes out whole,
// as one event at frame 0 of the period that completes it.
TEST_F(capture, message_split_across_periods_comes_out_whole)
{
	ASSERT_NO_FATAL_FAILURE(start());
	for (const auto &c : split_cases) {
		SCOPED_TRACE(c.label);
		for (std::size_t i = 0; i < c.parts.size(); i++) {
			SCOPED_TRACE("part " + std::to_string(i));
			got.clear();
			ASSERT_TRUE(put(c.parts[i]));
			ASSERT_TRUE(settle(c.after[i].size())) << "midi.TX has " << hex(by_port(got)[0]);
			expect_ports(c.after[i]);
			EXPECT_EQ(frame_problem(got, server.period), "");
		}
	}
	EXPECT_EQ(fan.record_overflows(), 0u);
	EXPECT_TRUE(d->running());
}

struct unplug_case {
	const char *label;                 // what the case shows
	bytes before;                      // written before the node goes
	std::vector<bytes> before_events;  // what that brings at once
	std::vector<bytes> released;       // what the loss brings: the release of what is held
	bytes after;                       // written once it is back
	std::vector<bytes> after_events;   // what that brings
};

// The node goes away and a new one takes its place: the daemon releases
// what the old node held down, as if the device had sent it, closes the
// old node and opens the new one, and a message begun on the old one is
// completed by the bytes from the new one.  With -t (the parameter) the
// capture thread reads the node, and the same holds.
class capture_unplug : public capture, public ::testing::WithParamInterface<bool> {};

TEST_P(capture_unplug, node_removed_releases_what_it_held_and_completes_a_message_when_back)
{
	const bool timed = GetParam();
	const std::vector<unplug_case> cases = {
		{"two keys and the pedal held, one key let go of",
		 {0x92, 0x3C, 0x64, 0x3E, 0x64, 0x40, 0x64, 0x82, 0x40, 0x00, 0xB2, 0x40, 0x7F},
		 {{0x92, 0x3C, 0x64}, {0x92, 0x3E, 0x64}, {0x92, 0x40, 0x64}, {0x82, 0x40, 0x00}, {0xB2, 0x40, 0x7F}},
		 {{0x82, 0x3C, 0x40}, {0x82, 0x3E, 0x40}, {0xB2, 0x40, 0x00}}, {}, {}},
		{"System Exclusive",
		 {0xF0, 0x01, 0x02, 0x03, 0x04},
		 {{0xF0, 0x01, 0x02}},
		 {},
		 {0x05, 0xF7},
		 {{0x03, 0x04, 0x05}, {0xF7}}},
		{"note", {0x90, 0x3C}, {}, {}, {0x64, 0x3E, 0x65}, {{0x90, 0x3C, 0x64}, {0x90, 0x3E, 0x65}}},
	};
	ASSERT_NO_FATAL_FAILURE(start(timed ? std::vector<std::string>{"-t"} : std::vector<std::string>{}));
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		got.clear();
		ASSERT_TRUE(put(c.before));
		ASSERT_TRUE(settle(c.before_events.size()));
		expect_ports(c.before_events);

		got.clear();
		writer.reset();
		ASSERT_EQ(unlink(fifo.c_str()), 0);
		ASSERT_TRUE(wait_until([&] { return open_count(d->pid, fifo) == 0; }))
			<< "the daemon still holds the removed node";
		ASSERT_TRUE(wait_until([&] {
			collect();
			return tx_count() >= c.released.size();
		}));
		ASSERT_TRUE(fan.wait_periods(4));
		collect();
		expect_ports(c.released);
		if (!c.released.empty())
			std::cout << "[ released ] " << c.label << ": " << hex(by_port(got)[0]) << "\n";

		ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
		ASSERT_TRUE(wait_until([&] { return open_count(d->pid, fifo) == 1; }))
			<< "the daemon did not open the new node";
		ASSERT_NO_FATAL_FAILURE(open_writer());

		got.clear();
		ASSERT_TRUE(put(c.after));
		ASSERT_TRUE(settle(c.after_events.size())) << "midi.TX has " << hex(by_port(got)[0]);
		expect_ports(c.after_events);
		if (!timed) {
			EXPECT_EQ(frame_problem(got, server.period), "");
		}
	}
	EXPECT_TRUE(d->running());
	EXPECT_EQ(without_node_lines(d->stderr_text()), "");
}

INSTANTIATE_TEST_SUITE_P(modes, capture_unplug, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "timed" : "untimed"; });

// With -w (and -t, the parameter) a SysEx of 1 KiB, two periods of bytes,
// is one event on midi.TX behind the clock inside it, and on no channel port.
class capture_whole : public capture, public ::testing::WithParamInterface<bool> {};

TEST_P(capture_whole, sysex_of_1_kib_is_one_event)
{
	ASSERT_NO_FATAL_FAILURE(start(GetParam() ? std::vector<std::string>{"-w", "-t"} : std::vector<std::string>{"-w"}));
	const bytes dump = sysex_message(1024, 25);
	const std::vector<bytes> tx = {{0x90, 0x3C, 0x64}, {0xF8}, dump, {0x80, 0x3C, 0x40}};
	ASSERT_TRUE(put(concat({tx[0], bytes(dump.begin(), dump.begin() + 500), tx[1], bytes(dump.begin() + 500, dump.end()), tx[3]})));
	ASSERT_TRUE(settle(4)) << "midi.TX has " << hex(by_port(got)[0]);
	std::vector<std::pair<std::size_t, std::uint64_t>> seen, want; // each event's length and digest
	for (const auto &r : got)
		if (r.port == 0)
			seen.emplace_back(r.size, r.digest);
	for (const bytes &e : tx)
		want.emplace_back(e.size(), event_digest(e.data(), e.size()));
	EXPECT_EQ(seen, want) << "midi.TX has " << hex(by_port(got)[0]);
	EXPECT_EQ(hex(by_port(got)[1]), hex(on_channel(tx, 0)));
	EXPECT_TRUE(GetParam() || frame_problem(got, server.period).empty()) << frame_problem(got, server.period);
}

INSTANTIATE_TEST_SUITE_P(modes, capture_whole, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "timed" : "untimed"; });

// A performance from the MIDI model: runs of notes in running status,
// program changes, System Exclusive of 2 to 512 bytes, system common, with
// real-time bytes anywhere, even inside a message.  Fixed seed: the same
// stream every run.
wire_model long_stream(unsigned messages)
{
	message_source source(20240611, performance_mix);
	wire_model wire(20240611, {.running_status = 100, .realtime_inside = 6});
	for (unsigned i = 0; i < messages; i++)
		wire.add(source.next());
	return wire;
}

// Far more than a period's worth: a backlog of several KB written at once,
// then the rest in bursts of random size that cut messages anywhere, some
// back to back and some a period apart.  Everything arrives, in order, and
// no period carries more events on a port than it has frames.
TEST_F(capture, long_stream_arrives_complete_and_in_order)
{
	const wire_model s = long_stream(3000);
	const std::size_t at_once = 8192;
	ASSERT_GT(s.wire.size(), 2 * at_once);
	ASSERT_GT(s.events.size(), 16 * server.period);
	ASSERT_NO_FATAL_FAILURE(start());

	// The pipe is empty and holds 64 KiB: this goes in whole.
	ASSERT_EQ(::write(writer.fd, s.wire.data(), at_once), static_cast<ssize_t>(at_once));
	prng rng{7};
	for (std::size_t pos = at_once, burst = 0; pos < s.wire.size(); burst++) {
		const std::size_t n = std::min<std::size_t>(1 + rng.below(1000), s.wire.size() - pos);
		ASSERT_TRUE(put(bytes(s.wire.begin() + pos, s.wire.begin() + pos + n)));
		pos += n;
		if (burst % 3 != 0) {
			const std::uint64_t next = fan.periods() + 1;
			ASSERT_TRUE(wait_until([&] {
				collect();
				return fan.periods() >= next;
			}));
		}
	}
	ASSERT_TRUE(settle(s.events.size())) << difference(by_port(got)[0], s.events);

	EXPECT_EQ(fan.record_overflows(), 0u) << "the test lost events itself";
	const auto ports = by_port(got);
	EXPECT_EQ(difference(ports[0], s.events), "");
	for (unsigned c = 0; c < channel_count; c++)
		EXPECT_EQ(difference(ports[1 + c], on_channel(s.events, c)), "") << "midi.TX.CH" << hex_digits[c];
	EXPECT_EQ(frame_problem(got, server.period), "");
	// The backlog fills whole periods: the limit is the period, not less.
	EXPECT_EQ(busiest_period(got, 0), server.period);
	EXPECT_TRUE(d->running());
	EXPECT_EQ(without_node_lines(d->stderr_text()), "");
}

} // namespace
} // namespace cftest
