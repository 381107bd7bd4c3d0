// MIDI from JACK to the playback node, byte for byte, and what happens when
// the node goes away and comes back.
//
// The probe sends groups of messages, each group within one period, to the
// daemon's midi.RX; the test reads the FIFO (or the pseudo-terminal's master)
// while it sends.  A device slower than what is sent to it is a FIFO shrunk
// to one page whose reader takes 31 bytes every 10 ms, the rate of a MIDI
// line.  Whether the daemon holds the node open is read from
// /proc/<pid>/fd, which tells a loss and a reopening apart without guessing
// at timing.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "support/midi_model.h"

namespace cftest {
namespace {

class playback : public e2e_server {
protected:
	std::string node;   // the playback node
	std::string client; // the daemon's client name
	daemon_proc *d = nullptr; // the running daemon

	// Starts the daemon on node (whose reader must already be open) and
	// connects the probe's output to midi.RX.
	void start(const std::vector<std::string> &extra = {})
	{
		client = "cableferry-" + (node.rfind("/dev/", 0) == 0 ? node.substr(5) : node);
		std::vector<std::string> args = extra;
		args.insert(args.end(), {"-P", node});
		d = &launch(args);
		ASSERT_NO_FATAL_FAILURE(await_port(*d, client + ":midi.RX"));
		ASSERT_TRUE(wait_until([&] { return open_count(d->pid, node) == 1; }))
			<< "the daemon did not open " << node;
		ASSERT_TRUE(probe.connect(probe.own("out"), client + ":midi.RX"));
	}

	// Sends the groups, one per period, reading fd meanwhile; then reads
	// until want.size() bytes came or the deadline passed.
	bytes deliver(int fd, const std::vector<std::vector<bytes>> &groups, std::size_t want)
	{
		bytes got;
		for (const auto &g : groups) {
			EXPECT_TRUE(probe.send(g));
			read_available(fd, got);
		}
		wait_until([&] {
			read_available(fd, got);
			return got.size() >= want;
		});
		// Anything extra would show up by now.
		probe.wait_flushed();
		read_available(fd, got);
		return got;
	}
};

TEST_F(playback, events_arrive_byte_for_byte_and_in_order)
{
	node = dir.make_fifo("out");
	unique_fd reader = open_fifo_reader(node);
	ASSERT_TRUE(reader);
	ASSERT_NO_FATAL_FAILURE(start());
	ASSERT_TRUE(wait_until([&] { return probe.max_event_size() > 0; }));
	const std::size_t long_sysex = std::min<std::size_t>(1000, probe.max_event_size() / 2);
	ASSERT_GE(long_sysex, 200u) << "output buffer too small for a long System Exclusive";

	std::vector<std::vector<bytes>> groups;
	// 3, 1 and 6 bytes in one period: three writes, in that order.
	groups.push_back({{0x90, 0x3C, 0x64}, {0xF8}, {0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7}});
	for (unsigned k = 0; k < 300; k++) {
		const auto ch = static_cast<std::uint8_t>(k & 0x0F);
		const auto v = static_cast<std::uint8_t>(k & 0x7F);
		std::vector<bytes> g;
		switch (k % 5) {
		case 0: // one message
			g = {{static_cast<std::uint8_t>(0x90 | ch), v, 0x40}};
			break;
		case 1: // one of each length
			g = {{0xF8}, {static_cast<std::uint8_t>(0xC0 | ch), v}, {static_cast<std::uint8_t>(0x80 | ch), v, 0}};
			break;
		case 2: // a long System Exclusive between short messages
			if (k % 25 == 2)
				g = {{0xFA}, sysex_message(long_sysex, k), {0xFC}};
			else
				g = {{static_cast<std::uint8_t>(0xB0 | ch), 0x07, v}, {0xFE}};
			break;
		case 3: // many in one period
			for (unsigned i = 0; i < 40; i++)
				g.push_back({static_cast<std::uint8_t>(0xA0 | ch), static_cast<std::uint8_t>(i), v});
			break;
		default: // pitch bend, channel pressure, song select, tune request
			g = {{static_cast<std::uint8_t>(0xE0 | ch), 0x00, v}, {static_cast<std::uint8_t>(0xD0 | ch), v},
			     {0xF3, v}, {0xF6}};
			break;
		}
		groups.push_back(std::move(g));
	}
	const bytes want = concat(groups);
	const bytes got = deliver(reader.fd, groups, want.size());
	EXPECT_EQ(difference(got, want), "");
	EXPECT_EQ(probe.send_failures(), 0u);
	EXPECT_TRUE(d->running());
}

// A device at MIDI wire speed: the FIFO holds one page (4,096 bytes, what a
// raw MIDI output buffers) and its reader takes 31 bytes every 10 ms.
class wire_speed_reader {
public:
	explicit wire_speed_reader(unique_fd fifo) : fd_(std::move(fifo))
	{
		fcntl(fd_.fd, F_SETPIPE_SZ, 4096);
		thread_ = std::thread([this] {
			while (!stop_) {
				std::uint8_t chunk[31];
				const ssize_t n = ::read(fd_.fd, chunk, sizeof chunk);
				if (n > 0) {
					std::lock_guard<std::mutex> lock(lock_);
					got_.insert(got_.end(), chunk, chunk + n);
				}
				std::this_thread::sleep_for(10ms);
			}
		});
	}
	~wire_speed_reader()
	{
		stop_ = true;
		thread_.join();
	}
	bytes got() const
	{
		std::lock_guard<std::mutex> lock(lock_);
		return got_;
	}
	std::size_t count() const { return got().size(); }

private:
	unique_fd fd_;               // the FIFO's read end
	std::thread thread_;         // the reading thread
	std::atomic<bool> stop_{false}; // set to end the thread
	mutable std::mutex lock_;    // guards got_
	bytes got_;                  // everything read so far
};

// Two bulk dumps and some notes into a device that takes 3,100 bytes a
// second: every byte arrives in order, and the graph keeps its pace (no
// client waits several periods for a cycle).
TEST_F(playback, device_at_wire_speed_gets_every_byte_and_stalls_nothing)
{
	node = dir.make_fifo("out");
	unique_fd fifo = open_fifo_reader(node);
	ASSERT_TRUE(fifo);
	wire_speed_reader device(std::move(fifo));
	ASSERT_NO_FATAL_FAILURE(start());
	ASSERT_TRUE(wait_until([&] { return probe.max_event_size() > 0; }));
	ASSERT_GE(probe.max_event_size(), 4104u);

	const std::vector<std::vector<bytes>> groups = {
		{{0x90, 0x3C, 0x64}}, {{0xE0, 0x00, 0x48}}, {sysex_message(4104, 1)}, {{0x80, 0x3C, 0x00}},
		{{0x90, 0x40, 0x64}}, {sysex_message(4104, 2)}, {{0x80, 0x40, 0x00}}, {{0xB0, 0x07, 0x64}},
	};
	const bytes want = concat(groups);
	ASSERT_EQ(want.size(), 8226u);
	const std::uint64_t xruns_before = probe.xruns();
	probe.restart_gap_watch();
	for (const auto &g : groups)
		ASSERT_TRUE(probe.send(g));
	ASSERT_TRUE(probe.wait_flushed());

	EXPECT_TRUE(wait_until([&] { return device.count() >= want.size(); }, 30s))
		<< device.count() << " of " << want.size() << " bytes arrived";
	probe.wait_periods(10);
	const bytes got = device.got();
	EXPECT_EQ(difference(got, want), "");
	const auto gap = probe.longest_gap();
	// A period is 5.3 ms; a blocking write would hold the graph for seconds.
	EXPECT_LT(gap, 100ms) << "another client waited " << gap.count() << " us for a period";
	std::cout << "[ figures  ] " << got.size() << " of " << want.size() << " bytes delivered, longest gap "
	          << gap.count() << " us, " << probe.xruns() - xruns_before << " xruns\n";
	EXPECT_TRUE(d->running());
}

// A playback node that takes nothing at all holds up neither capture from
// another node nor the supervision of the nodes.
TEST_F(playback, capture_and_supervision_go_on_while_the_playback_node_takes_nothing)
{
	node = dir.make_fifo("out");
	const std::string in = dir.make_fifo("in");
	unique_fd never_read = open_fifo_reader(node);
	ASSERT_TRUE(never_read);
	fcntl(never_read.fd, F_SETPIPE_SZ, 4096);
	d = &launch({"-C", in, "-P", node});
	client = "cableferry-" + in;
	ASSERT_NO_FATAL_FAILURE(await_port(*d, client + ":midi.RX"));
	ASSERT_TRUE(wait_until([&] { return open_count(d->pid, node) == 1 && open_count(d->pid, in) == 1; }));
	ASSERT_TRUE(probe.connect(probe.own("out"), client + ":midi.RX"));
	ASSERT_TRUE(probe.connect(client + ":midi.TX", probe.own("in")));
	ASSERT_TRUE(probe.send({sysex_message(4104, 3), sysex_message(4104, 4), sysex_message(4104, 5)}));
	ASSERT_TRUE(probe.wait_flushed());

	// A note played now comes out on midi.TX.
	unique_fd capture(::open(in.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
	ASSERT_TRUE(capture);
	const bytes note = {0x99, 0x24, 0x7F};
	ASSERT_EQ(::write(capture.fd, note.data(), note.size()), 3);
	std::vector<midi_record> heard;
	ASSERT_TRUE(wait_until([&] {
		for (const auto &r : probe.drain())
			heard.push_back(r);
		return !heard.empty();
	})) << "capture waits for the playback node";
	ASSERT_EQ(heard.front().size, 3u);
	EXPECT_EQ(bytes(heard.front().data.begin(), heard.front().data.begin() + 3), note);

	// The capture node goes and comes back: the main thread still looks.
	capture.reset();
	ASSERT_EQ(unlink(in.c_str()), 0);
	EXPECT_TRUE(wait_until([&] { return open_count(d->pid, in) == 0; })) << "supervision is stuck";
	ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
	EXPECT_TRUE(wait_until([&] { return open_count(d->pid, in) == 1; })) << "supervision is stuck";
	EXPECT_TRUE(d->running());
}

// A capture node that never runs dry, and whose bytes make no event, holds
// up neither the graph, nor playback, nor the main thread: a note still
// reaches the playback node, other clients keep their pace, and with -k the
// loss of the playback node still ends the process.  With -t (the
// parameter) the capture thread reads the node no faster than the cycle
// takes the bytes.
class playback_endless : public playback, public ::testing::WithParamInterface<bool> {};

TEST_P(playback_endless, endless_capture_node_stalls_nothing)
{
	node = dir.make_fifo("out");
	unique_fd reader = open_fifo_reader(node);
	ASSERT_TRUE(reader);
	client = "cableferry-zero";
	std::vector<std::string> args = {"-k", "-C", "/dev/zero", "-P", node};
	if (GetParam())
		args.push_back("-t");
	d = &launch(args);
	ASSERT_NO_FATAL_FAILURE(await_port(*d, client + ":midi.RX"));
	ASSERT_TRUE(wait_until([&] { return open_count(d->pid, node) == 1; }));
	ASSERT_TRUE(probe.connect(probe.own("out"), client + ":midi.RX"));

	const std::uint64_t xruns_before = probe.xruns();
	const std::uint64_t periods_before = probe.periods();
	probe.restart_gap_watch();
	const auto start = steady::now();
	const bytes note = {0x90, 0x3C, 0x64};
	EXPECT_EQ(deliver(reader.fd, {{note}}, note.size()), note);
	std::this_thread::sleep_for(2s - (steady::now() - start));
	const std::uint64_t periods = probe.periods() - periods_before;
	const auto gap = probe.longest_gap();
	std::cout << "[ figures  ] in 2 s the probe ran " << periods << " periods, longest gap " << gap.count()
	          << " us, " << probe.xruns() - xruns_before << " xruns\n";
	EXPECT_LT(gap, 30ms) << "another client waited " << gap.count() << " us for a period";

	ASSERT_EQ(unlink(node.c_str()), 0);
	EXPECT_EQ(d->exit_status(5s), 0) << "the main thread is stuck";
}

INSTANTIATE_TEST_SUITE_P(modes, playback_endless, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "timed" : "untimed"; });

// What went through midi.RX and was never let go of is released on the
// playback node, and nothing else is added: on a disconnection the daemon
// runs on; otherwise it ends as it always did.  The server is stopped last.
constexpr int disconnect = 0, capture_lost = -1, server_stops = -2, timed_disconnect = -3; // no signal

TEST_F(playback, held_notes_are_released_on_the_node)
{
	const std::vector<std::pair<const char *, int>> cases = {
		{"midi.RX disconnected", disconnect}, {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP},
		{"midi.RX disconnected, with -t", timed_disconnect},
		{"-k, capture node lost", capture_lost}, {"server stops", server_stops},
	};
	// Two keys and a pedal stay down; a velocity-0 Note On and a Note Off
	// let go of two more.
	const std::vector<bytes> played = {{0x90, 0x3C, 0x64}, {0x91, 0x40, 0x64}, {0xB1, 0x40, 0x7F},
	                                   {0x90, 0x3E, 0x64}, {0x90, 0x3E, 0x00}, {0x91, 0x41, 0x64},
	                                   {0x81, 0x41, 0x00}};
	const bytes release = {0x80, 0x3C, 0x40, 0x81, 0x40, 0x40, 0xB1, 0x40, 0x00};
	int tag = 0;
	for (const auto &[label, cause] : cases) {
		SCOPED_TRACE(label);
		node = dir.make_fifo("out" + std::to_string(tag));
		unique_fd reader = open_fifo_reader(node);
		const std::string capture = dir.make_fifo("in" + std::to_string(tag++));
		std::vector<bytes> heard; // on midi.TX, with -k: a key held, then its release
		const auto hear = [&] {
			for (const auto &r : probe.drain())
				if (r.size == 3) // not a clock left by await_active
					heard.emplace_back(r.data.begin(), r.data.begin() + 3);
			return !heard.empty();
		};
		if (cause == capture_lost) {
			client = "cableferry-" + capture;
			d = &launch({"-k", "-C", capture, "-P", node});
			ASSERT_NO_FATAL_FAILURE(await_active(*d, client, capture));
			ASSERT_TRUE(wait_until([&] { return open_count(d->pid, node) == 1; }));
			ASSERT_TRUE(probe.connect(probe.own("out"), client + ":midi.RX"));
			unique_fd keys(::open(capture.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
			ASSERT_EQ(::write(keys.fd, "\x95\x30\x64", 3), 3);
			ASSERT_TRUE(wait_until(hear));
		} else {
			ASSERT_NO_FATAL_FAILURE(start(cause == timed_disconnect ? std::vector<std::string>{"-t"}
			                                                         : std::vector<std::string>{}));
		}
		ASSERT_EQ(deliver(reader.fd, {played}, concat(played).size()), concat(played));

		bytes got;
		if (cause == disconnect || cause == timed_disconnect) {
			ASSERT_TRUE(probe.disconnect(probe.own("out"), client + ":midi.RX"));
			got = deliver(reader.fd, {}, release.size());
			EXPECT_TRUE(d->running());
		} else {
			if (cause == capture_lost) {
				ASSERT_EQ(unlink(capture.c_str()), 0);
			} else if (cause == server_stops) {
				probe.close();
				server.stop();
			} else {
				ASSERT_EQ(kill(d->pid, cause), 0);
			}
			const auto status = d->wait();
			ASSERT_TRUE(status.has_value()) << "the daemon did not end";
			if (cause > 0)
				EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == cause) << "wait status " << *status;
			else
				EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
			read_available(reader.fd, got);
		}
		std::cout << "[ released ] " << label << ": " << hex(got) << "\n";
		EXPECT_EQ(difference(got, release), "");
		if (cause == capture_lost) {
			hear();
			std::cout << "[ released ] " << label << ", on midi.TX: " << hex(heard) << "\n";
			EXPECT_EQ(hex(heard), hex(std::vector<bytes>{{0x95, 0x30, 0x64}, {0x85, 0x30, 0x40}}));
		}
	}
}

// What is sent while the node is gone is dropped, not kept for later.
struct loss_case {
	const char *label;  // how the node goes away
	bool remove;        // remove the node (else: the reader closes)
	bool timed = false; // with -t: the playback thread writes
};

class playback_loss : public playback, public ::testing::WithParamInterface<loss_case> {};

TEST_P(playback_loss, events_are_dropped_then_flow_again)
{
	const loss_case c = GetParam();
	node = dir.make_fifo("out");
	unique_fd reader = open_fifo_reader(node);
	ASSERT_NO_FATAL_FAILURE(start(c.timed ? std::vector<std::string>{"-t"} : std::vector<std::string>{}));

	// A System Exclusive event of 20,000 bytes is written whole too.
	const std::vector<std::vector<bytes>> before = {{{0x90, 0x3C, 0x64}, {0x80, 0x3C, 0x00}}, {sysex_message(20000, 6)}};
	const std::vector<std::vector<bytes>> during = {{{0x91, 0x01, 0x01}}, {{0xF8}}, {{0xC1, 0x05}}};
	const std::vector<std::vector<bytes>> after = {{{0x92, 0x40, 0x7F}, {0xFE}}, {{0x82, 0x40, 0x00}}};

	EXPECT_EQ(deliver(reader.fd, before, concat(before).size()), concat(before));

	if (c.remove)
		ASSERT_EQ(unlink(node.c_str()), 0);
	else
		reader.reset();
	ASSERT_TRUE(wait_until([&] { return open_count(d->pid, node) == 0; }))
		<< "the daemon still holds the lost node";
	ASSERT_TRUE(d->running());

	bytes stale;
	for (const auto &g : during)
		ASSERT_TRUE(probe.send(g));
	ASSERT_TRUE(probe.wait_flushed());
	if (reader) {
		read_available(reader.fd, stale);
		EXPECT_TRUE(stale.empty()) << "written to a node the daemon had let go";
	}
	// No node, or a FIFO without a reader: nothing the daemon can open.
	EXPECT_EQ(open_count(d->pid, node), 0);

	if (c.remove) {
		ASSERT_EQ(mkfifo(node.c_str(), 0600), 0);
	}
	unique_fd again = open_fifo_reader(node);
	ASSERT_TRUE(again);
	ASSERT_TRUE(wait_until([&] { return open_count(d->pid, node) == 1; }))
		<< "the daemon did not reopen the node";
	EXPECT_EQ(deliver(again.fd, after, concat(after).size()), concat(after));
	EXPECT_TRUE(d->running());
}

INSTANTIATE_TEST_SUITE_P(ways, playback_loss,
                         ::testing::Values(loss_case{"node_removed", true}, loss_case{"reader_closed", false},
                                           loss_case{"timed_node_removed", true, true}),
                         [](const auto &info) { return std::string(info.param.label); });

// A terminal is put in raw mode: no newline translation on the way out.
// When the master side closes, the terminal is gone.
class playback_pty : public playback, public ::testing::WithParamInterface<bool> {};

TEST_P(playback_pty, raw_bytes_then_hang_up_is_a_loss)
{
	const bool exit_on_loss = GetParam();
	auto pty = open_pty();
	ASSERT_TRUE(pty.has_value());
	node = pty->slave_path;
	ASSERT_NO_FATAL_FAILURE(start(exit_on_loss ? std::vector<std::string>{"-k"} : std::vector<std::string>{}));

	const std::vector<std::vector<bytes>> groups = {
		{{0x90, 0x0A, 0x0D}, {0xF0, 0x7D, 0x0A, 0x0D, 0x11, 0x13, 0x03, 0x04, 0x7F, 0xF7}},
		{{0x8A, 0x0A, 0x00}},
	};
	EXPECT_EQ(deliver(pty->master.fd, groups, concat(groups).size()), concat(groups));

	pty->master.reset();
	if (exit_on_loss) {
		EXPECT_EQ(d->exit_status(), 0);
	} else {
		ASSERT_TRUE(wait_until([&] { return open_count(d->pid, node) == 0; }))
			<< "the daemon still holds the hung-up terminal";
		EXPECT_TRUE(d->running());
	}
}

INSTANTIATE_TEST_SUITE_P(modes, playback_pty, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "with_k" : "without_k"; });

} // namespace
} // namespace cftest
