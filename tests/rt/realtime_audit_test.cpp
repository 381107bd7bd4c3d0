// Audit of the real-time path: the daemon runs under the real-time probe
// (support/rt_probe.h) inside a real JACK server's period, while MIDI flows
// both ways, the playback node stops taking bytes for a while (so that the
// cycle queues what it cannot write and flushes it later), and the capture
// node is lost and found again.  Its process callback must not allocate,
// print, read anything but the capture node, write anything but the playback
// node, wait on any lock but link_lock, poll, sleep, open, close, fcntl,
// ioctl, touch a semaphore or a condition variable, or (once warmed up, in
// a build without sanitizers, whose shadow memory faults in as it goes)
// switch away of its own accord or take a page fault.  With -t it must not
// read or write a node, nor take link_lock, at all.
//
// The probe's own counters are tested first, so that the zeros of the audit
// mean something: this test program runs again under the probe, and a JACK
// callback of its own does each forbidden thing once.  This program links
// the daemon's device link, so the probe finds link_lock and the node
// descriptors in it as it does in the daemon.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

#include "device/device_link.h"
#include "e2e/e2e_fixture.h"
#include "support/rt_probe.h"

namespace cftest {
namespace {

using cableferry::device_link;
using cableferry::link_lock;

// ---- the probe's counters --------------------------------------------------

// What the misbehaving callback uses, opened before it runs.
struct misdeeds_t {
	std::atomic<bool> due{false};   // do them in the next callback
	std::atomic<bool> done{false};  // they were done
	int null_fd = -1;               // a foreign descriptor, written
	int zero_fd = -1;               // a foreign descriptor, read
	FILE *null_file = nullptr;      // a stream, fully buffered: printing to it makes no write
	pthread_mutex_t other = PTHREAD_MUTEX_INITIALIZER; // a foreign lock
	pthread_cond_t wake = PTHREAD_COND_INITIALIZER;    // a condition nobody waits on
	sem_t sem;                      // a semaphore, posted and taken
	char *fresh = nullptr;          // a mapped page never touched before
	int calls = 0;                  // callbacks so far
};

misdeeds_t misdeeds;

// A process callback that does, once, everything a real-time callback must
// not do, and the two things it may.
int misbehave(jack_nframes_t, void *)
{
	// After the warm-up, when switches and page faults count.
	if (++misdeeds.calls <= static_cast<int>(rt::warmup_cycles) + 2 || !misdeeds.due.exchange(false))
		return 0;
	void *volatile block = std::malloc(24);
	std::free(block);
	std::fprintf(misdeeds.null_file, "x");
	char byte = 0;
	const bool io = ::write(misdeeds.null_fd, "x", 1) == 1 && ::read(misdeeds.zero_fd, &byte, 1) == 1 &&
	                ::read(device_link.capture_fd, &byte, 1) == 1 && ::write(device_link.playback_fd, "y", 1) == 1;
	pthread_mutex_lock(&misdeeds.other);
	pthread_mutex_unlock(&misdeeds.other);
	pthread_mutex_lock(&link_lock);
	pthread_mutex_unlock(&link_lock);
	pollfd p{misdeeds.null_fd, POLLOUT, 0};
	const timespec a_while{0, 2000000};
	int queued = 0;
	const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
	const bool calls = ::poll(&p, 1, 0) == 1 && nanosleep(&a_while, nullptr) == 0 && fd >= 0 &&
	                   fcntl(fd, F_GETFL) >= 0 && ::close(fd) == 0 &&
	                   ioctl(device_link.capture_fd, FIONREAD, &queued) == 0 && sem_post(&misdeeds.sem) == 0 &&
	                   sem_wait(&misdeeds.sem) == 0 && pthread_cond_signal(&misdeeds.wake) == 0;
	misdeeds.fresh[0] = 1; // a page fault
	misdeeds.done = io && calls;
	return 0;
}

// The body of the counter test, run under the probe.
void count_misdeeds()
{
	temp_dir dir;
	jack_server server(dir);
	ASSERT_TRUE(server.start()) << server.log();
	int capture[2], playback[2];
	ASSERT_EQ(pipe(capture), 0);
	ASSERT_EQ(pipe(playback), 0);
	ASSERT_EQ(::write(capture[1], "c", 1), 1);
	device_link.capture_fd = capture[0];
	device_link.playback_fd = playback[1];
	pthread_mutex_init(&link_lock, nullptr);
	misdeeds.null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
	misdeeds.zero_fd = open("/dev/zero", O_RDONLY | O_CLOEXEC);
	misdeeds.null_file = std::fopen("/dev/null", "w");
	ASSERT_EQ(sem_init(&misdeeds.sem, 0, 0), 0);
	void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(page, MAP_FAILED);
	misdeeds.fresh = static_cast<char *>(page);
	ASSERT_NE(misdeeds.null_file, nullptr);
	static char stream_buffer[BUFSIZ];
	setvbuf(misdeeds.null_file, stream_buffer, _IOFBF, sizeof stream_buffer);

	jack_client_t *c = guarded("jack_client_open", [&] {
		return jack_client_open(unique_client_name("misdeeds").c_str(), JackOptions(JackNoStartServer | JackServerName),
		                        nullptr, server.name.c_str());
	});
	ASSERT_NE(c, nullptr);
	ASSERT_EQ(jack_set_process_callback(c, misbehave, nullptr), 0);
	ASSERT_EQ(guarded("jack_activate", [&] { return jack_activate(c); }), 0);
	misdeeds.due = true;
	EXPECT_TRUE(wait_until([] { return misdeeds.done.load(); }));
	guarded("jack_deactivate", [&] { return jack_deactivate(c); });
	guarded("jack_client_close", [&] { return jack_client_close(c); });

	const std::string file = std::string(std::getenv("RT_PROBE_FILE")) + "." + std::to_string(getpid());
	const auto r = settled_rt_report(file);
	ASSERT_TRUE(r) << "no report in " << file;
	EXPECT_EQ((*r)[rt::resolved], 1u);
	EXPECT_EQ((*r)[rt::heap_watched], 1u);
	EXPECT_GT((*r)[rt::cycles], 0u);
	EXPECT_GE((*r)[rt::allocations], 2u);
	EXPECT_EQ((*r)[rt::prints], 1u);
	EXPECT_EQ((*r)[rt::foreign_writes], 1u);
	EXPECT_EQ((*r)[rt::foreign_reads], 1u);
	EXPECT_EQ((*r)[rt::foreign_locks], 1u);
	EXPECT_EQ((*r)[rt::link_locks], 1u);
	EXPECT_EQ((*r)[rt::capture_reads], 1u);
	EXPECT_EQ((*r)[rt::playback_writes], 1u);
	for (const rt::counter c : {rt::polls, rt::sleeps, rt::opens, rt::closes, rt::fcntls, rt::ioctls, rt::conditions})
		EXPECT_EQ((*r)[c], 1u) << rt::counter_names[c];
	EXPECT_EQ((*r)[rt::semaphores], 2u);
	EXPECT_GE((*r)[rt::switches], 1u) << "the sleep switched away";
	EXPECT_GE((*r)[rt::page_faults], 1u) << "the fresh page faulted in";
}

// Runs this test again in a program of its own with the probe preloaded,
// and passes when that run passes.
TEST(RealtimeAuditCounters, SeeHeapWriteAndLockCalls)
{
	if (std::getenv("RT_PROBE_FILE") != nullptr) {
		count_misdeeds();
		return;
	}
	temp_dir dir;
	char self[4096];
	const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
	ASSERT_GT(n, 0);
	daemon_proc run;
	run.program = std::string(self, static_cast<std::size_t>(n));
	ASSERT_TRUE(run.spawn({"--gtest_filter=RealtimeAuditCounters.SeeHeapWriteAndLockCalls"}, "", dir,
	                      rt_probe_env(dir.at("rt"), 50ms)));
	EXPECT_EQ(run.exit_status(60s), 0) << run.output_text() << run.stderr_text();
	EXPECT_NE(run.output_text().find("[  PASSED  ] 1 test."), std::string::npos) << run.output_text();
}

// ---- the daemon --------------------------------------------------------------

// The parameters are -t, with which the threads read and write the nodes
// and the callback must not touch them at all, and -w.
class RealtimeAudit : public e2e_server, public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(RealtimeAudit, CycleAllocatesPrintsAndWaitsOnNothingElse)
{
	const bool timed = std::get<0>(GetParam()), whole = std::get<1>(GetParam());
	const std::string capture = dir.make_fifo("capture");
	const std::string playback = dir.make_fifo("playback");
	unique_fd reader = open_fifo_reader(playback);
	ASSERT_TRUE(reader);
	const std::string report_file = dir.at("rt");
	std::vector<std::string> args = {"-S", "-n", "audit", "-C", capture, "-P", playback};
	if (timed)
		args.push_back("-t");
	if (whole)
		args.push_back("-w");
	daemon_proc &d = launch(args, rt_probe_env(report_file, 50ms));
	const std::string report = report_file + "." + std::to_string(d.pid);
	const std::string client = "audit-" + capture;
	ASSERT_NO_FATAL_FAILURE(await_active(d, client, capture));
	ASSERT_TRUE(wait_until([&] { return open_count(d.pid, playback) == 1; }));
	ASSERT_TRUE(probe.connect(probe.own("out"), client + ":midi.RX"));
	ASSERT_TRUE(probe.connect(client + ":midi.TX", probe.own("in")));
	ASSERT_TRUE(probe.connect(client + ":midi.TX.CH3", probe.own("in2")));
	unique_fd writer(open(capture.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
	ASSERT_TRUE(writer);
	probe.drain();
	const auto before = settled_rt_report(report);
	ASSERT_TRUE(before) << "no report from the probe; daemon stderr:\n" << d.stderr_text();

	// Both directions at once, over many periods.
	const bytes played = {0x93, 0x40, 0x7F, 0xF8, 0xF0, 0x01, 0x02, 0x03, 0xF7};
	bytes sink;
	for (int round = 0; round < 40; round++) {
		ASSERT_EQ(::write(writer.fd, played.data(), played.size()), static_cast<ssize_t>(played.size()));
		ASSERT_TRUE(probe.send({{0x90, 0x3C, 0x64}, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}, {0xFE}}));
	}
	ASSERT_TRUE(probe.wait_flushed());
	ASSERT_TRUE(wait_until([&] {
		read_available(reader.fd, sink);
		return sink.size() >= 40 * 10u;
	})) << sink.size();
	EXPECT_EQ(sink.size(), 400u);
	std::size_t events = 0, channel_events = 0;
	ASSERT_TRUE(wait_until([&] {
		for (const auto &r : probe.drain())
			(r.port == 0 ? events : channel_events)++;
		return events >= 40 * (whole ? 3u : 4u) && channel_events >= 40u;
	})) << events << " " << channel_events;
	// While the node keeps up, each event is one write (by the thread, with -t).
	const auto keeping_up = settled_rt_report(report);
	ASSERT_TRUE(keeping_up);
	EXPECT_EQ((*keeping_up)[rt::playback_writes] - (*before)[rt::playback_writes], timed ? 0u : 40 * 3u);

	// The node stops taking bytes: one page of room, three dumps of 4,104
	// bytes.  What it does not take waits in the playback queue, and goes
	// out once it reads again.
	ASSERT_NE(fcntl(reader.fd, F_SETPIPE_SZ, 4096), -1);
	bytes dump(4104, 0x2A);
	dump.front() = 0xF0;
	dump.back() = 0xF7;
	ASSERT_TRUE(probe.send({dump, dump, dump}));
	ASSERT_TRUE(probe.wait_flushed());
	ASSERT_TRUE(probe.wait_periods(4));
	sink.clear();
	ASSERT_TRUE(wait_until([&] {
		read_available(reader.fd, sink);
		return sink.size() >= 3 * dump.size();
	})) << sink.size();
	bytes three_dumps;
	for (int i = 0; i < 3; i++)
		three_dumps.insert(three_dumps.end(), dump.begin(), dump.end());
	EXPECT_EQ(sink, three_dumps);

	// The probe lets go of midi.RX: the cycle queues the held note's Note Off.
	ASSERT_TRUE(probe.disconnect(probe.own("out"), client + ":midi.RX"));
	sink.clear();
	ASSERT_TRUE(wait_until([&] { return read_available(reader.fd, sink) && sink.size() >= 3; })) << sink.size();
	EXPECT_EQ(sink, (bytes{0x80, 0x3C, 0x40}));

	// The capture node goes away and comes back while the cycle runs: the
	// daemon closes it, opens the new one, and its bytes come through.
	writer.reset();
	ASSERT_EQ(unlink(capture.c_str()), 0);
	EXPECT_TRUE(wait_until([&] { return open_count(d.pid, capture) == 0; })) << "the lost node stayed open";
	dir.make_fifo("capture");
	ASSERT_NO_FATAL_FAILURE(await_active(d, client, capture));

	const auto after = settled_rt_report(report);
	ASSERT_TRUE(after);
	const rt::report &r = *after;
	EXPECT_EQ(r[rt::resolved], 1u) << "the probe did not find link_lock and the device link in the daemon";
	EXPECT_EQ(r[rt::heap_watched], 1u);
	EXPECT_GT(r[rt::cycles], 10u);
	if (timed) {
		EXPECT_EQ(r[rt::capture_reads], 0u);
		EXPECT_EQ(r[rt::playback_writes], 0u);
		EXPECT_EQ(r[rt::link_locks], 0u) << "the cycle took link_lock";
		EXPECT_EQ(r[rt::lock_switches], 0u) << "the cycle waited for link_lock";
	} else {
		EXPECT_GT(r[rt::capture_reads], 0u);
		EXPECT_GT(r[rt::playback_writes], (*keeping_up)[rt::playback_writes] + 3) << "the queue was never flushed";
	}
	for (const rt::counter c : rt::forbidden)
		EXPECT_EQ(r[c], 0u) << rt::counter_names[c] << " in the daemon's process callback";
	std::printf("[ figures  ] %llu cycles, %llu locks of link_lock (%llu waits, the longest %.1f us); after the "
	            "warm-up: %llu voluntary switches, %llu page faults\n", static_cast<unsigned long long>(r[rt::cycles]),
	            static_cast<unsigned long long>(r[rt::link_locks]), static_cast<unsigned long long>(r[rt::lock_switches]),
	            r.us(rt::lock_ns), static_cast<unsigned long long>(r[rt::switches]),
	            static_cast<unsigned long long>(r[rt::page_faults]));
	// Where the daemon locked all its memory, no callback may fault or
	// switch away; its status line says whether it did.
	ASSERT_EQ(kill(d.pid, SIGUSR1), 0);
	ASSERT_TRUE(wait_until([&] { return d.stderr_text().find("memory=") != std::string::npos; }));
	if (d.stderr_text().find("memory=all") != std::string::npos) {
		EXPECT_EQ(r[rt::switches], 0u) << "the process callback switched away";
		EXPECT_EQ(r[rt::page_faults], 0u) << "the process callback took a page fault";
	}
	EXPECT_TRUE(d.running()) << d.stderr_text();
}

INSTANTIATE_TEST_SUITE_P(modes, RealtimeAudit, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto &info) {
	                         return std::string(std::get<1>(info.param) ? "whole_" : "") + (std::get<0>(info.param) ? "timed" : "untimed");
                         });

} // namespace
} // namespace cftest
