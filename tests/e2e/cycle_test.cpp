// The output side of every cycle: each output buffer is cleared every
// period, so an event goes out once and a port without traffic stays silent.
//
// A message written into the capture FIFO must show up exactly once on
// midi.TX and on its channel's port, and never on another channel's port;
// then a run of periods must pass with nothing at all.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace cftest {
namespace {

class cycle : public e2e_server {};

TEST_F(cycle, outputs_carry_each_event_once_then_nothing)
{
	const std::string fifo = dir.make_fifo("in");
	const std::string client = "cableferry-" + fifo;
	daemon_proc &d = launch({"-S", "-C", fifo});
	ASSERT_NO_FATAL_FAILURE(await_port(d, client + ":midi.TX.CHF"));
	ASSERT_TRUE(wait_until([&] { return open_count(d.pid, fifo) == 1; }));
	// in: midi.TX and CH2; in2: every other channel's port.
	ASSERT_TRUE(probe.connect(client + ":midi.TX", probe.own("in")));
	ASSERT_TRUE(probe.connect(client + ":midi.TX.CH2", probe.own("in")));
	for (const char *ch : {"0", "1", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E", "F"})
		ASSERT_TRUE(probe.connect(client + ":midi.TX.CH" + ch, probe.own("in2")));

	// Silence while no writer has sent anything.
	ASSERT_TRUE(probe.wait_periods(20));
	EXPECT_TRUE(probe.drain().empty());

	unique_fd writer(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
	ASSERT_TRUE(writer);
	const std::uint8_t note_on[] = {0x92, 0x3C, 0x64};
	ASSERT_EQ(::write(writer.fd, note_on, sizeof note_on), 3);

	std::vector<midi_record> got;
	ASSERT_TRUE(wait_until([&] {
		for (const auto &r : probe.drain())
			got.push_back(r);
		return got.size() >= 2;
	}));
	// Long enough for a buffer left uncleared to repeat its events.
	ASSERT_TRUE(probe.wait_periods(20));
	for (const auto &r : probe.drain())
		got.push_back(r);

	ASSERT_EQ(got.size(), 2u) << "midi.TX and CH2, once each";
	for (const auto &r : got) {
		EXPECT_EQ(r.port, 0u);
		ASSERT_EQ(r.size, 3u);
		EXPECT_EQ(bytes(r.data.begin(), r.data.begin() + 3), bytes(note_on, note_on + 3));
	}
	EXPECT_EQ(got[0].period, got[1].period);
	EXPECT_EQ(probe.record_overflows(), 0u);
	EXPECT_TRUE(d.running());
}

} // namespace
} // namespace cftest
