// The capture drain, cycle by cycle, on real descriptors (pipes, and
// SOCK_SEQPACKET socket pairs for a device that hands over a few bytes per
// read), with plain buffers standing in for JACK's port buffers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "bridge/capture_drain.h"
#include "bridge/frame_stamp.h"
#include "bridge/note_release.h"
#include "bridge/packetiser.h"
#include "bridge/timed_capture.h"
#include "bridge/whole_sysex.h"
#include "device/device_link.h"
#include "device/link_counters.h"
#include "support/midi_model.h"

using namespace cableferry;

namespace {

using bytes = std::vector<std::uint8_t>;

struct event {
	jack_nframes_t time;
	bytes data;
	bool operator==(const event &) const = default;
};

// A port buffer that takes at most `capacity` events, and `largest` bytes
// of them in all, as a JACK buffer takes its events' bytes.
struct fake_port {
	std::size_t capacity = 1000;
	std::size_t largest = 32720, room = largest;
	std::vector<event> events;
	std::vector<jack_midi_data_t> scratch = std::vector<jack_midi_data_t>(whole_sysex_size);
	std::size_t pending_size = 0;
};

// The drain copies the bytes after reserving; collect them on the next call.
void settle(fake_port &p)
{
	if (p.pending_size != 0) {
		p.events.back().data.assign(p.scratch.begin(), p.scratch.begin() + p.pending_size);
		p.pending_size = 0;
	}
}

jack_midi_data_t *fake_reserve(void *buffer, jack_nframes_t time, size_t size)
{
	auto &p = *static_cast<fake_port *>(buffer);
	settle(p);
	if (p.events.size() >= p.capacity || size > p.room)
		return nullptr;
	if (!p.events.empty() && time < p.events.back().time)
		return nullptr; // JACK refuses events out of order
	p.events.push_back({time, {}});
	p.pending_size = size;
	p.room -= size;
	return p.scratch.data();
}

size_t fake_room(void *buffer)
{
	const auto &p = *static_cast<fake_port *>(buffer);
	return p.events.size() < p.capacity ? p.room : 0;
}

constexpr midi_sink fake_sink = {fake_reserve, fake_room};

class CaptureDrain : public ::testing::Test {
protected:
	std::array<fake_port, output_port_count> ports;
	out_buffer_array buffers{};
	int feed_fd = -1;

	void SetUp() override
	{
		packetiser_reset();
		whole_sysex_reset(false);
		device_link = {};
		captured_notes = {};
	}

	void TearDown() override
	{
		if (device_link.capture_fd >= 0)
			close(device_link.capture_fd);
		if (feed_fd >= 0)
			close(feed_fd);
		device_link = {};
	}

	// A pipe: everything written is one stream.
	void use_pipe()
	{
		int fds[2];
		ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
		device_link.capture_fd = fds[0];
		feed_fd = fds[1];
	}

	// A socket pair keeping record boundaries: one record per read.
	void use_records()
	{
		int fds[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds), 0);
		device_link.capture_fd = fds[0];
		feed_fd = fds[1];
	}

	void feed(const bytes &b) { ASSERT_EQ(write(feed_fd, b.data(), b.size()), static_cast<ssize_t>(b.size())); }

	void enable(std::initializer_list<std::size_t> indexes)
	{
		for (auto i : indexes)
			buffers[i] = &ports[i];
	}

	enum class step { drain, release, timed };

	// One period: fresh buffers, then the drain, the release of a lost
	// node, or with -t the timed cycle of the period clock has begun.
	out_count_array cycle(jack_nframes_t nframes, step s = step::drain, const cycle_clock_t &clock = {})
	{
		for (auto &p : ports) {
			p.events.clear();
			p.pending_size = 0;
			p.room = p.largest;
		}
		emission_t e{nframes, buffers, &fake_sink};
		if (s == step::release)
			capture_release(e);
		else if (s == step::timed)
			timed_capture_cycle(e, clock);
		else
			capture_drain(e);
		for (auto &p : ports)
			settle(p);
		return e.events;
	}

	std::vector<event> &on(std::size_t i) { return ports[i].events; }
};

bytes running_notes(int pairs)
{
	bytes b{0x90};
	for (int i = 0; i < pairs; i++) {
		b.push_back(static_cast<std::uint8_t>(0x30 + i));
		b.push_back(0x40);
	}
	return b;
}

} // namespace

TEST_F(CaptureDrain, NoteOnOnTxAndItsChannelPort)
{
	use_pipe();
	enable({tx_index, tx_channel(0), tx_channel(9)});
	feed({0x90, 0x3C, 0x64});
	const auto counts = cycle(256);
	EXPECT_EQ(on(tx_index), (std::vector<event>{{0, {0x90, 0x3C, 0x64}}}));
	EXPECT_EQ(on(tx_channel(0)), (std::vector<event>{{0, {0x90, 0x3C, 0x64}}}));
	EXPECT_TRUE(on(tx_channel(9)).empty());
	EXPECT_EQ(counts[tx_index], 1u);
	EXPECT_EQ(device_link.read_len, 0); // the empty read ended the drain
}

TEST_F(CaptureDrain, RealTimeByteGoesToTxAlone)
{
	use_pipe();
	enable({tx_index});
	for (unsigned c = 0; c < 16; c++)
		enable({tx_channel(c)});
	feed({0x99, 0x24, 0x7F, 0xF8});
	cycle(256);
	EXPECT_EQ(on(tx_index), (std::vector<event>{{0, {0x99, 0x24, 0x7F}}, {1, {0xF8}}}));
	for (unsigned c = 0; c < 16; c++) {
		if (c == 9)
			EXPECT_EQ(on(tx_channel(c)), (std::vector<event>{{0, {0x99, 0x24, 0x7F}}}));
		else
			EXPECT_TRUE(on(tx_channel(c)).empty()) << "channel " << c;
	}
}

TEST_F(CaptureDrain, SysExInChunksOnTxOnly)
{
	use_pipe();
	enable({tx_index, tx_channel(0)});
	feed({0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0xF7});
	cycle(256);
	EXPECT_EQ(on(tx_index), (std::vector<event>{
		{0, {0xF0, 0x01, 0x02}}, {1, {0x03, 0x04, 0x05}}, {2, {0xF7}}}));
	EXPECT_TRUE(on(tx_channel(0)).empty());
}

// With -w: what each row's bytes bring on a midi.TX whose empty buffer takes
// events of at most `largest` bytes, over 40 periods, and the cuts dropped.
TEST_F(CaptureDrain, WholeSysExIsOneEventOrAsFewAsThePortTakes)
{
	const bytes dump = cftest::sysex_message(250, 1), huge = cftest::sysex_message(70000, 2);
	const auto part = [](const bytes &b, std::size_t at, std::size_t n) { return bytes(b.begin() + at, b.begin() + std::min(b.size(), at + n)); };
	const struct { const char *label; bytes in; std::vector<bytes> tx; std::size_t largest; std::uint64_t dropped; } cases[] = {
		{"whole", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}}, 32720, 0},
		{"a clock inside goes ahead", {0xF0, 0x01, 0xF8, 0x02, 0xF7, 0x90, 0x3C, 0x64},
		 {{0xF8}, {0xF0, 0x01, 0x02, 0xF7}, {0x90, 0x3C, 0x64}}, 32720, 0},
		{"cut by a note, then by F5", {0xF0, 0x01, 0x02, 0x03, 0x04, 0x90, 0x3C, 0x64, 0xF0, 0x01, 0x02, 0x03, 0xF5},
		 {{0x90, 0x3C, 0x64}}, 32720, 2},
		{"cut by F0", {0xF0, 0x01, 0x02, 0x03, 0xF0, 0x05, 0xF7}, {{0xF0, 0x05, 0xF7}}, 32720, 1},
		{"larger than the port", dump, {part(dump, 0, 100), part(dump, 100, 100), part(dump, 200, 100)}, 100, 0},
		{"larger than the buffer", huge, {part(huge, 0, 32720), part(huge, 32720, 32720), part(huge, 65440, 32720)},
		 32720, 0},
	};
	use_pipe();
	enable({tx_index});
	whole_sysex_reset(true);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		ports[tx_index].largest = c.largest;
		const std::uint64_t dropped = link_counters.capture.dropped_events;
		std::vector<bytes> tx;
		for (std::size_t fed = 0, period = 0; period < 40; period++) {
			fed += std::max<ssize_t>(0, write(feed_fd, c.in.data() + fed, c.in.size() - fed));
			cycle(4096);
			for (const event &ev : on(tx_index))
				tx.push_back(ev.data);
		}
		EXPECT_EQ(cftest::difference(tx, c.tx), "");
		EXPECT_EQ(link_counters.capture.dropped_events - dropped, c.dropped);
	}
}

TEST_F(CaptureDrain, AtMostNframesEventsPerCycleTheRestWaits)
{
	use_pipe();
	enable({tx_index});
	feed(running_notes(6)); // 13 bytes
	auto counts = cycle(3);
	EXPECT_EQ(counts[tx_index], 3u);
	ASSERT_EQ(on(tx_index).size(), 3u);
	for (jack_nframes_t i = 0; i < 3; i++) {
		EXPECT_EQ(on(tx_index)[i].time, i);
		EXPECT_EQ(on(tx_index)[i].data, (bytes{0x90, static_cast<std::uint8_t>(0x30 + i), 0x40}));
	}
	EXPECT_EQ(device_link.read_len - device_link.read_pos, 6);

	counts = cycle(3);
	ASSERT_EQ(on(tx_index).size(), 3u);
	EXPECT_EQ(on(tx_index)[0], (event{0, {0x90, 0x33, 0x40}}));
	EXPECT_EQ(on(tx_index)[2], (event{2, {0x90, 0x35, 0x40}}));

	counts = cycle(3);
	EXPECT_EQ(counts[tx_index], 0u);
	EXPECT_TRUE(on(tx_index).empty());
}

TEST_F(CaptureDrain, ShortReadsAreRepeatedUntilNothingIsLeft)
{
	use_records();
	enable({tx_index});
	const bytes all = running_notes(10); // 21 bytes
	for (std::size_t at = 0; at < all.size(); at += 5)
		feed(bytes(all.begin() + at, all.begin() + std::min(all.size(), at + 5)));
	cycle(64);
	ASSERT_EQ(on(tx_index).size(), 10u);
	for (jack_nframes_t i = 0; i < 10; i++) {
		EXPECT_EQ(on(tx_index)[i].time, i);
		EXPECT_EQ(on(tx_index)[i].data[1], 0x30 + i);
	}
}

TEST_F(CaptureDrain, MessageSplitAcrossCyclesComesOutWhole)
{
	use_pipe();
	enable({tx_index});
	feed({0x90, 0x3C});
	cycle(256);
	EXPECT_TRUE(on(tx_index).empty());
	feed({0x64});
	cycle(256);
	EXPECT_EQ(on(tx_index), (std::vector<event>{{0, {0x90, 0x3C, 0x64}}}));
}

TEST_F(CaptureDrain, RefusedReservationLosesThePacketForThatPortOnly)
{
	use_pipe();
	enable({tx_index, tx_channel(0)});
	ports[tx_channel(0)].capacity = 1;
	feed(running_notes(4));
	cycle(256);
	EXPECT_EQ(on(tx_index).size(), 4u);
	EXPECT_EQ(on(tx_channel(0)), (std::vector<event>{{0, {0x90, 0x30, 0x40}}}));
}

TEST_F(CaptureDrain, ChannelPortStopsAtNframesWhileTheDrainGoesOn)
{
	// midi.TX refuses everything, so its count never reaches nframes.
	use_pipe();
	enable({tx_index, tx_channel(0)});
	ports[tx_index].capacity = 0;
	feed(running_notes(5));
	const auto counts = cycle(2);
	EXPECT_EQ(counts[tx_index], 0u);
	EXPECT_EQ(counts[tx_channel(0)], 2u);
	ASSERT_EQ(on(tx_channel(0)).size(), 2u);
	EXPECT_EQ(on(tx_channel(0))[1], (event{1, {0x90, 0x31, 0x40}}));
	EXPECT_EQ(device_link.read_len, 0); // the device was read dry
}

TEST_F(CaptureDrain, FullTxBufferDefersTheRestInsteadOfDroppingIt)
{
	use_pipe();
	enable({tx_index, tx_channel(0)});
	ports[tx_index].capacity = 2;
	feed(running_notes(5));
	cycle(256);
	ASSERT_EQ(on(tx_index).size(), 2u);
	EXPECT_EQ(on(tx_channel(0)).size(), 2u); // the last packet reached its channel too
	cycle(256);
	ASSERT_EQ(on(tx_index).size(), 2u);
	EXPECT_EQ(on(tx_index)[0], (event{0, {0x90, 0x32, 0x40}}));
	cycle(256);
	ASSERT_EQ(on(tx_index).size(), 1u);
	EXPECT_EQ(on(tx_index)[0], (event{0, {0x90, 0x34, 0x40}}));
}

TEST_F(CaptureDrain, ClosedWriterEndsTheDrainQuietly)
{
	use_pipe();
	enable({tx_index});
	feed({0xC5, 0x10});
	close(feed_fd);
	feed_fd = -1;
	// The bytes left in the pipe still become their event; the read after
	// them returns 0 (end of file) and ends the drain.
	cycle(256);
	EXPECT_EQ(on(tx_index), (std::vector<event>{{0, {0xC5, 0x10}}}));
	EXPECT_EQ(device_link.read_len, 0);
	EXPECT_EQ(device_link.read_pos, 0);
	cycle(256);
	EXPECT_EQ(device_link.read_len, 0);
	EXPECT_EQ(device_link.read_pos, 0);
	EXPECT_TRUE(on(tx_index).empty());
}

TEST_F(CaptureDrain, NodeThatNeverRunsDryStopsAtTheByteBound)
{
	// Zeros make no event, so only the bound ends the drain.
	device_link.capture_fd = open("/dev/zero", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	ASSERT_GE(device_link.capture_fd, 0);
	enable({tx_index});
	for (const jack_nframes_t nframes : {1u, 256u, 4096u}) {
		const std::uint64_t bytes_before = link_counters.capture.bytes;
		const std::uint64_t bounded_before = link_counters.capture.bounded_cycles;
		cycle(nframes);
		const std::uint64_t read = link_counters.capture.bytes - bytes_before;
		EXPECT_GE(read, capture_byte_bound(nframes));
		EXPECT_LT(read, capture_byte_bound(nframes) + read_buffer_size);
		EXPECT_EQ(link_counters.capture.bounded_cycles - bounded_before, 1u);
		EXPECT_TRUE(on(tx_index).empty());
	}
}

TEST_F(CaptureDrain, ReleaseOfALostNodeGoesOnWhereAFullPortStopped)
{
	use_pipe();
	enable({tx_index, tx_channel(0)});
	feed(running_notes(5));
	cycle(256);
	ports[tx_index].capacity = 2;
	std::vector<event> tx, channel;
	for (int period = 0; period < 4; period++) {
		cycle(256, step::release);
		EXPECT_LE(on(tx_index).size(), 2u);
		tx.insert(tx.end(), on(tx_index).begin(), on(tx_index).end());
		channel.insert(channel.end(), on(tx_channel(0)).begin(), on(tx_channel(0)).end());
	}
	ASSERT_EQ(tx.size(), 5u);
	for (std::size_t i = 0; i < tx.size(); i++)
		EXPECT_EQ(tx[i].data, (bytes{0x80, static_cast<std::uint8_t>(0x30 + i), 0x40}));
	EXPECT_EQ(channel, tx);
}

// With -t: twenty clock bytes and a note, all completed at frame 10 of the
// period, and the node lost in that same period.  The note's release goes
// on both its ports, neither before what they already hold at frame 10.
TEST_F(CaptureDrain, TimedReleaseFollowsWhatEachPortHolds)
{
	enable({tx_index, tx_channel(0)});
	ASSERT_TRUE(timed_capture_on() || timed_capture_prepare());
	constexpr cycle_clock_t clock{1'000'000'000, 10000, 48000, true, 0};
	const std::int64_t when = clock_time(clock, 10000 - 256 + 10);
	bytes b(20, 0xF8);
	b.insert(b.end(), {0x90, 0x3C, 0x64});
	ASSERT_TRUE(timed_capture_put(when, 7, std::span(b).first(16)));
	ASSERT_TRUE(timed_capture_put(when, 7, std::span(b).subspan(16)));
	ASSERT_TRUE(timed_capture_put(when, 7, {}));
	cycle(256, step::timed, clock);
	const std::vector<event> note = {{10, {0x90, 0x3C, 0x64}}, {10, {0x80, 0x3C, 0x40}}};
	std::vector<event> tx(20, event{10, {0xF8}});
	tx.insert(tx.end(), note.begin(), note.end());
	EXPECT_EQ(on(tx_index), tx);
	EXPECT_EQ(on(tx_channel(0)), note);
	EXPECT_EQ(release_state.capture_released.load(), 7u);
}

// With -t: where a byte stamped with its frame time goes in the cycle that
// starts at frame 10000 of a 256-frame period.  Each row's floor is the
// offset of the event before it on the port.
struct stamp_case {
	const char *label;
	jack_nframes_t stamp;
	jack_nframes_t floor;
	bool due;              // placed in this cycle (else held for the next)
	jack_nframes_t offset; // where, when due
};

TEST(FrameStamp, StampBecomesOffsetOnePeriodLate)
{
	constexpr jack_nframes_t start = 10000, nframes = 256;
	const stamp_case cases[] = {
		{"first frame of the period before", start - 256, 0, true, 0},
		{"on time, mid-period", start - 100, 0, true, 156},
		{"last frame before the start", start - 1, 0, true, 255},
		{"late: clamped to 0", start - 300, 0, true, 0},
		{"late by almost half the clock", start - 0x7FFFFF00u, 0, true, 0},
		{"at the start: held back", start, 0, false, 0},
		{"after the start: held back", start + 5, 0, false, 0},
		{"burst 1: on time", start - 200, 0, true, 56},
		{"burst 2: stamped earlier, kept behind", start - 230, 56, true, 56},
		{"burst 3: late, kept behind", start - 900, 56, true, 56},
		{"burst 4: later again", start - 10, 56, true, 246},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		EXPECT_EQ(stamp_due(c.stamp, start), c.due);
		if (c.due) {
			EXPECT_EQ(stamp_offset(c.stamp, start, nframes, c.floor), c.offset);
		}
	}
	// The cycle clock: each row is when a period of 256 frames came, and
	// where the clock puts its start, in ns after the nominal start.
	const struct {
		const char *label;
		std::int64_t came, start;
	} periods[] = {
		{"the first: when it came", 300'000, 300'000},
		{"earlier than the timeline: the timeline was late", 0, 0},
		{"woken late: the timeline creeps", 320'000, 10'000},
		{"earlier again", 5'000, 5'000},
		{"a stall, far late: the timeline stays", 30'000'000, 5'000},
		{"late after it, unlike the stall: still", 3'005'000, 5'000},
		{"late alike twice running: the timeline has moved", 3'105'000, 3'005'000},
		{"on the new timeline", 3'005'000, 3'005'000},
	};
	cycle_clock_t clock{0, 0, 48000, false, 0};
	for (std::size_t k = 0; k < std::size(periods); k++) {
		SCOPED_TRACE(periods[k].label);
		const std::int64_t nominal = std::int64_t(k) * frames_ns(nframes, 48000);
		clock = cycle_clock_next(clock, jack_nframes_t(k * nframes), nframes, nominal + periods[k].came);
		EXPECT_EQ(clock.start_ns - nominal, periods[k].start);
		EXPECT_EQ(clock_frame(clock, clock_time(clock, clock.start_frame + 100)), clock.start_frame + 100);
		EXPECT_EQ(clock_frame(clock, clock.start_ns - 1), clock.start_frame - 1);
	}
	// Across the wrap of the 32-bit frame clock.
	EXPECT_TRUE(stamp_due(0xFFFFFFF0u, 0x10));
	EXPECT_EQ(stamp_offset(0xFFFFFFF0u, 0x10, nframes, 0), 256u - 0x20);
	EXPECT_FALSE(stamp_due(0x10, 0xFFFFFFF0u));
	EXPECT_EQ(due_frame(0xFFFFFF00u, nframes, 3), 3u);
}
