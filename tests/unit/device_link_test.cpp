// The device link on real nodes: FIFOs and pseudo-terminals in a temp folder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <sched.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <semaphore>
#include <thread>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <signal.h>

#include "device/device_link.h"
#include "device/link_counters.h"
#include "device/playback_queue.h"
#include "support/jack_harness.h"
#include "support/midi_model.h"

using namespace cableferry;
namespace fs = std::filesystem;

namespace {

// link_lock is initialised once per process, whichever test comes first:
// initialising a mutex that is already initialised is undefined.
void init_link_lock_once()
{
	static bool lock_ready = false;
	if (!lock_ready) {
		link_lock_init();
		lock_ready = true;
	}
}

class DeviceLink : public ::testing::Test {
protected:
	fs::path dir;

	void SetUp() override
	{
		init_link_lock_once();
		std::string tmpl = (fs::temp_directory_path() / "cf-link-XXXXXX").string();
		ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
		dir = tmpl;
		device_link_set_paths(std::nullopt, std::nullopt);
	}

	void TearDown() override
	{
		for (int *fd : {&device_link.capture_fd, &device_link.playback_fd}) {
			if (*fd >= 0)
				close(*fd);
			*fd = -1;
		}
		device_link.read_pos = device_link.read_len = 0;
		device_link.read_buffer.fill(0);
		playback_queue_clear();
		link_counters.playback.dropped_events = 0;
		device_link_set_paths(std::nullopt, std::nullopt);
		fs::remove_all(dir);
	}

	std::string fifo(const char *name)
	{
		const std::string p = (dir / name).string();
		EXPECT_EQ(mkfifo(p.c_str(), 0600), 0);
		return p;
	}
};

int status_flags(int fd) { return fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK); }

} // namespace

TEST_F(DeviceLink, MissingNodesStayClosed)
{
	device_link_set_paths((dir / "absent").string(), (dir / "absent").string());
	device_link_service();
	device_link_service();
	EXPECT_EQ(device_link.capture_fd, -1);
	EXPECT_EQ(device_link.playback_fd, -1);
}

TEST_F(DeviceLink, SameNodeOpenedTwiceWithEachMode)
{
	const std::string p = fifo("midi");
	const int reader = open(p.c_str(), O_RDONLY | O_NONBLOCK); // lets playback open
	ASSERT_GE(reader, 0);
	device_link_set_paths(p, p);
	device_link_service();
	ASSERT_GE(device_link.capture_fd, 0);
	ASSERT_GE(device_link.playback_fd, 0);
	EXPECT_NE(device_link.capture_fd, device_link.playback_fd);
	EXPECT_EQ(status_flags(device_link.capture_fd), O_RDONLY | O_NONBLOCK);
	EXPECT_EQ(status_flags(device_link.playback_fd), O_WRONLY | O_NONBLOCK);

	// A later service keeps both open and reasserts the modes.
	fcntl(device_link.capture_fd, F_SETFL, 0);
	fcntl(device_link.playback_fd, F_SETFL, 0);
	const int capture = device_link.capture_fd, playback = device_link.playback_fd;
	device_link_service();
	EXPECT_EQ(device_link.capture_fd, capture);
	EXPECT_EQ(device_link.playback_fd, playback);
	EXPECT_EQ(status_flags(capture), O_RDONLY | O_NONBLOCK);
	EXPECT_EQ(status_flags(playback), O_WRONLY | O_NONBLOCK);
	close(reader);
}

TEST_F(DeviceLink, PlaybackFifoWithoutReaderDoesNotBlockAndOpensLater)
{
	const std::string p = fifo("out");
	device_link_set_paths(std::nullopt, p);
	device_link_service(); // would hang for ever with a blocking open
	EXPECT_EQ(device_link.playback_fd, -1);
	const int reader = open(p.c_str(), O_RDONLY | O_NONBLOCK);
	device_link_service();
	EXPECT_GE(device_link.playback_fd, 0);
	close(reader);
}

TEST_F(DeviceLink, CaptureLostByRemovalResetsBufferAndReopens)
{
	const std::string p = fifo("in");
	device_link_set_paths(p, std::nullopt);
	device_link_service();
	ASSERT_GE(device_link.capture_fd, 0);
	device_link.read_buffer.fill(0x90);
	device_link.read_pos = 3;
	device_link.read_len = 9;

	ASSERT_EQ(unlink(p.c_str()), 0);
	device_link_service();
	EXPECT_EQ(device_link.capture_fd, -1);
	EXPECT_EQ(device_link.read_pos, 0);
	EXPECT_EQ(device_link.read_len, 0);
	for (auto b : device_link.read_buffer)
		EXPECT_EQ(b, 0);

	device_link_service(); // still absent
	EXPECT_EQ(device_link.capture_fd, -1);
	fifo("in");
	device_link_service();
	EXPECT_GE(device_link.capture_fd, 0);
}

TEST_F(DeviceLink, ReplacedNodeIsLost)
{
	const std::string p = fifo("in");
	device_link_set_paths(p, std::nullopt);
	device_link_service();
	const int old_fd = device_link.capture_fd;
	ASSERT_GE(old_fd, 0);
	// A new node under the same name: a different inode.
	const std::string tmp = fifo("in.new");
	ASSERT_EQ(rename(tmp.c_str(), p.c_str()), 0);
	device_link_service();
	EXPECT_EQ(device_link.capture_fd, -1);
	device_link_service();
	EXPECT_GE(device_link.capture_fd, 0);
}

TEST_F(DeviceLink, CaptureFifoWhoseWriterLeftStaysOpen)
{
	const std::string p = fifo("in");
	device_link_set_paths(p, std::nullopt);
	device_link_service();
	ASSERT_GE(device_link.capture_fd, 0);
	const int writer = open(p.c_str(), O_WRONLY);
	ASSERT_GE(writer, 0);
	ASSERT_EQ(write(writer, "\x90", 1), 1);
	close(writer); // the reader now sees a hang-up, but the node is still there
	device_link_service();
	EXPECT_GE(device_link.capture_fd, 0);
}

TEST_F(DeviceLink, PlaybackFifoWhoseReaderLeftIsLostThenReopened)
{
	const std::string p = fifo("out");
	int reader = open(p.c_str(), O_RDONLY | O_NONBLOCK);
	device_link_set_paths(std::nullopt, p);
	device_link_service();
	ASSERT_GE(device_link.playback_fd, 0);
	close(reader);
	device_link_service();
	EXPECT_EQ(device_link.playback_fd, -1);
	reader = open(p.c_str(), O_RDONLY | O_NONBLOCK);
	device_link_service();
	EXPECT_GE(device_link.playback_fd, 0);
	close(reader);
}

// ---- the playback queue ------------------------------------------------------
//
// The node is a pipe shrunk to one page (4096 bytes), non-blocking on the
// writing side, as the playback slot is: it takes at most a page, then
// answers EAGAIN until the test reads it empty.  Each "period" below is what
// the process cycle does: a flush, then the period's events in order.

namespace {

using byte_string = std::vector<std::uint8_t>;
using cftest::concat;
using cftest::sysex_message;

struct small_node {
	int read_end = -1;  // the device's side
	int write_end = -1; // the playback descriptor

	small_node()
	{
		int fds[2];
		if (pipe2(fds, O_NONBLOCK) != 0)
			return;
		read_end = fds[0];
		write_end = fds[1];
		fcntl(write_end, F_SETPIPE_SZ, 4096);
	}
	~small_node()
	{
		for (int fd : {read_end, write_end})
			if (fd >= 0)
				close(fd);
	}
	// Everything the node holds now, appended to out.
	void take(byte_string &out) const
	{
		std::uint8_t chunk[8192];
		for (ssize_t n; (n = read(read_end, chunk, sizeof chunk)) > 0;)
			out.insert(out.end(), chunk, chunk + n);
	}
};

// A real device drains while the period runs: with `meanwhile`, the node is
// read empty between the flush and the events, so it has room for them
// although older bytes still wait in the queue.
void period(int fd, const std::vector<byte_string> &events,
            const std::function<void()> &meanwhile = {})
{
	playback_flush(fd);
	if (meanwhile)
		meanwhile();
	for (const auto &e : events)
		playback_send(fd, e);
}

// Reads the node and flushes until the queue is empty.
void drain_node(const small_node &node, byte_string &out)
{
	for (int i = 0; i < 1000 && playback_queue.length > 0; i++) {
		node.take(out);
		playback_flush(node.write_end);
	}
	node.take(out);
}

void append_to(byte_string &out, const byte_string &e) { out.insert(out.end(), e.begin(), e.end()); }

} // namespace

TEST_F(DeviceLink, QueuedBytesLeaveExactlyWhereTheyStoppedAndInOrder)
{
	small_node node;
	ASSERT_GE(node.write_end, 0);
	ASSERT_EQ(fcntl(node.write_end, F_GETPIPE_SZ), 4096);

	// A 10,000-byte dump: the node takes one page, the rest waits; the note
	// behind it waits too, although the node could not have taken it either.
	const byte_string dump = sysex_message(10000, 1);
	const byte_string note = {0x90, 0x3C, 0x64};
	byte_string want, got;
	period(node.write_end, {dump, note});
	append_to(want, dump);
	append_to(want, note);
	EXPECT_EQ(playback_queue.length, 10000u - 4096u + 3u);

	// While it waits, more comes in behind it, across periods and past the
	// end of the ring: about 200 KiB waiting, then a page out and 3,000
	// bytes in per period, so the start goes round the ring.
	for (unsigned k = 0; k < 60; k++) {
		const byte_string e = sysex_message(3000 + k, k);
		period(node.write_end, {e, {0xF8}});
		append_to(want, e);
		want.push_back(0xF8);
	}
	for (unsigned k = 0; k < 120; k++) {
		node.take(got);
		const byte_string e = sysex_message(3000, 7 * k);
		period(node.write_end, {e, {static_cast<std::uint8_t>(0x80 | (k & 15)), 0x3C, 0}},
		       [&] { node.take(got); });
		append_to(want, e);
		want.insert(want.end(), {static_cast<std::uint8_t>(0x80 | (k & 15)), 0x3C, 0});
	}
	drain_node(node, got);
	EXPECT_EQ(playback_queue.length, 0u);
	EXPECT_EQ(link_counters.playback.dropped_events.load(), 0u);
	ASSERT_EQ(got.size(), want.size());
	EXPECT_TRUE(got == want) << "the bytes differ or are out of order";

	// Once the queue is empty, an event is written at once.
	period(node.write_end, {note});
	EXPECT_EQ(playback_queue.length, 0u);
	byte_string now;
	node.take(now);
	EXPECT_EQ(now, note);
}

TEST_F(DeviceLink, EventThatDoesNotFitIsDroppedWholeAndTheNextOneGoesIn)
{
	small_node node;
	ASSERT_GE(node.write_end, 0);
	const byte_string fills_node = sysex_message(4096, 0);
	const byte_string big = sysex_message(100000, 1);
	const byte_string bigger = sysex_message(100000, 2);
	const byte_string too_big = sysex_message(70000, 3); // 62,144 bytes are free
	const byte_string note = {0x92, 0x40, 0x7F};
	period(node.write_end, {fills_node, big, bigger, too_big, note});
	EXPECT_EQ(link_counters.playback.dropped_events.load(), 1u);
	EXPECT_EQ(playback_queue.length, 200003u);

	// Larger than the whole ring: dropped even with nothing queued.
	byte_string got;
	drain_node(node, got);
	period(node.write_end, {sysex_message(playback_queue_size + 1, 4)});
	EXPECT_EQ(link_counters.playback.dropped_events.load(), 2u);
	node.take(got);

	byte_string want;
	for (const auto *e : {&fills_node, &big, &bigger, &note})
		append_to(want, *e);
	ASSERT_EQ(got.size(), want.size());
	EXPECT_TRUE(got == want) << "an event was cut or the bytes differ";
}

TEST_F(DeviceLink, WriteErrorDropsWhatIsQueued)
{
	small_node node;
	ASSERT_GE(node.write_end, 0);
	signal(SIGPIPE, SIG_IGN);
	period(node.write_end, {sysex_message(9000, 5)});
	ASSERT_GT(playback_queue.length, 0u);
	close(node.read_end); // writes now fail with EPIPE
	node.read_end = -1;
	period(node.write_end, {{0x90, 0x3C, 0x64}});
	EXPECT_EQ(playback_queue.length, 0u);
	EXPECT_EQ(link_counters.playback.dropped_events.load(), 0u);
}

TEST_F(DeviceLink, ClosingThePlaybackSlotEmptiesItsQueue)
{
	const std::string p = fifo("out");
	int reader = open(p.c_str(), O_RDONLY | O_NONBLOCK);
	ASSERT_GE(reader, 0);
	fcntl(reader, F_SETPIPE_SZ, 4096);
	device_link_set_paths(std::nullopt, p);
	device_link_service();
	ASSERT_GE(device_link.playback_fd, 0);
	period(device_link.playback_fd, {sysex_message(9000, 6)});
	ASSERT_GT(playback_queue.length, 0u);

	// The node is removed while its reader stays: nothing fails to write,
	// yet the slot closes, and the bytes for that device go with it.
	ASSERT_EQ(unlink(p.c_str()), 0);
	device_link_service();
	EXPECT_EQ(device_link.playback_fd, -1);
	EXPECT_EQ(playback_queue.length, 0u);
	close(reader);

	// A new node gets only what is sent to it.
	fifo("out");
	reader = open(p.c_str(), O_RDONLY | O_NONBLOCK);
	device_link_service();
	ASSERT_GE(device_link.playback_fd, 0);
	const byte_string note = {0x91, 0x30, 0x40};
	period(device_link.playback_fd, {note});
	byte_string got(16);
	got.resize(static_cast<std::size_t>(std::max<ssize_t>(0, read(reader, got.data(), got.size()))));
	EXPECT_EQ(got, note);
	close(reader);
}

TEST_F(DeviceLink, TerminalHangUpIsLossAndTerminalIsRaw)
{
	const int master = posix_openpt(O_RDWR | O_NOCTTY);
	ASSERT_GE(master, 0);
	ASSERT_EQ(grantpt(master), 0);
	ASSERT_EQ(unlockpt(master), 0);
	const std::string slave = ptsname(master);
	device_link_set_paths(slave, slave);
	device_link_service();
	ASSERT_GE(device_link.capture_fd, 0);
	ASSERT_GE(device_link.playback_fd, 0);

	// Raw mode: a 0A byte crosses the line unchanged (no CR added).
	const unsigned char bytes[] = {0xB0, 0x0A, 0x0D, 0x7F};
	ASSERT_EQ(write(device_link.playback_fd, bytes, sizeof bytes), 4);
	unsigned char got[8] = {};
	ssize_t n = 0;
	for (int tries = 0; tries < 200 && n < 4; tries++) {
		const ssize_t r = read(master, got + n, sizeof got - n);
		if (r > 0)
			n += r;
		else
			usleep(5000);
	}
	ASSERT_EQ(n, 4);
	EXPECT_EQ(0, memcmp(got, bytes, 4));

	device_link_service();
	EXPECT_GE(device_link.capture_fd, 0);
	close(master); // the far end hangs up
	device_link_service();
	EXPECT_EQ(device_link.capture_fd, -1);
	EXPECT_EQ(device_link.playback_fd, -1);
}

TEST_F(DeviceLink, NodeGoneOnAnOpenRegularNode)
{
	const std::string p = (dir / "file").string();
	const int fd = open(p.c_str(), O_CREAT | O_RDWR, 0600);
	ASSERT_GE(fd, 0);
	EXPECT_FALSE(node_gone(fd, p.c_str()));
	EXPECT_TRUE(node_gone(fd, (dir / "other").c_str()));
	unlink(p.c_str());
	EXPECT_TRUE(node_gone(fd, p.c_str()));
	close(fd);
}

TEST_F(DeviceLink, UnsearchablePathAfterChangeOfUserIsNotLoss)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to drop to another user";
	const fs::path locked = dir / "locked";
	ASSERT_EQ(mkdir(locked.c_str(), 0700), 0);
	const auto pty = cftest::open_pty();
	ASSERT_TRUE(pty);
	struct node_case {
		const char *label; // what kind of node
		std::string path;  // inside the locked folder
	};
	std::vector<node_case> cases = {{"FIFO", (locked / "fifo").string()},
	                                {"pseudo-terminal", (locked / "pty").string()}};
	ASSERT_EQ(mkfifo(cases[0].path.c_str(), 0600), 0);
	ASSERT_EQ(symlink(pty->slave_path.c_str(), cases[1].path.c_str()), 0);
	// A character node of its own, where this system lets root make one
	// (the null device's numbers).
	const std::string null_node = (locked / "null").string();
	if (mknod(null_node.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0)
		cases.push_back({"character node", null_node});

	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		device_link_set_paths(c.path, std::nullopt);
		device_link_service(); // opened with root's rights
		if (device_link.capture_fd < 0 && std::string(c.label) == "character node")
			continue; // made but not to be opened here (device cgroup)
		ASSERT_GE(device_link.capture_fd, 0);

		const pid_t child = fork();
		ASSERT_GE(child, 0);
		if (child == 0) {
			// As another user stat() is refused (EACCES), yet the device is fine.
			if (setgid(65534) != 0 || setuid(65534) != 0)
				_exit(2);
			device_link_service();
			const bool kept = device_link.capture_fd >= 0;
			if (unlink(c.path.c_str()) != -1) // still refused: the node stays put
				_exit(3);
			_exit(kept ? 0 : 1);
		}
		int status = 0;
		ASSERT_EQ(waitpid(child, &status, 0), child);
		ASSERT_TRUE(WIFEXITED(status));
		EXPECT_EQ(WEXITSTATUS(status), 0) << "the slot was closed although the node is there";
		close(device_link.capture_fd);
		device_link.capture_fd = -1;
	}
}

// link_lock and priority inheritance.  On one processor: an ordinary thread
// holds the lock for 20 ms of work, a real-time thread of low priority spins,
// and a real-time thread of higher priority (JACK's, in the daemon) waits for
// the lock.  Without inheritance the spinner keeps the holder off the
// processor and the waiter waits until the spinner gives up (2 s) or the
// kernel's real-time throttling lets the holder run (most of a second).  With
// it, the holder runs at the waiter's priority and the wait is about the
// holder's 20 ms.  Needs the right to real-time scheduling; skipped without.
namespace {

using steady_clock = std::chrono::steady_clock;

struct inversion_run {
	std::atomic<int> stage{0};        // 1 holder has the lock, 2 spinner runs, 3 done
	std::atomic<bool> refused{false}; // real-time scheduling was refused
	steady_clock::time_point asked;   // when the waiter asked for the lock
	steady_clock::time_point got;     // when it got it
};

// The first processor this process may run on; all three threads share it.
int first_allowed_cpu()
{
	cpu_set_t allowed;
	CPU_ZERO(&allowed);
	if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
		for (int cpu = 0; cpu < CPU_SETSIZE; cpu++)
			if (CPU_ISSET(cpu, &allowed))
				return cpu;
	return 0;
}

bool pin_and_schedule(int policy, int priority)
{
	static const int cpu = first_allowed_cpu();
	cpu_set_t one;
	CPU_ZERO(&one);
	CPU_SET(cpu, &one);
	sched_param p{};
	p.sched_priority = priority;
	// Priority first: a thread moved onto a processor that a real-time
	// thread keeps busy would otherwise wait there for its turn.
	return pthread_setschedparam(pthread_self(), policy, &p) == 0 &&
	       pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
}

double thread_cpu_ms()
{
	timespec ts;
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
	return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

} // namespace

TEST(LinkLock, HolderRunsAtTheWaitersPriority)
{
	init_link_lock_once();
	inversion_run run;
	const auto wall_deadline = steady_clock::now() + std::chrono::seconds(2);

	std::thread holder([&] {
		if (!pin_and_schedule(SCHED_OTHER, 0))
			run.refused = true;
		pthread_mutex_lock(&link_lock);
		run.stage = 1;
		while (run.stage < 2 && !run.refused)
			std::this_thread::yield();
		const double start = thread_cpu_ms();
		while (thread_cpu_ms() - start < 20 && steady_clock::now() < wall_deadline + std::chrono::seconds(1))
			;
		pthread_mutex_unlock(&link_lock);
	});
	while (run.stage < 1)
		std::this_thread::yield();

	// The waiter takes its place first and sleeps until the spinner runs, so
	// that no thread has to get onto the busy processor at ordinary priority.
	std::binary_semaphore go{0};
	std::atomic<bool> waiter_ready{false};
	std::thread waiter([&] {
		const bool ok = pin_and_schedule(SCHED_FIFO, 2);
		if (!ok)
			run.refused = true;
		waiter_ready = true;
		go.acquire();
		if (!ok || run.refused)
			return;
		run.asked = steady_clock::now();
		pthread_mutex_lock(&link_lock);
		run.got = steady_clock::now();
		run.stage = 3;
		pthread_mutex_unlock(&link_lock);
	});
	while (!waiter_ready)
		std::this_thread::yield();
	std::thread spinner([&] {
		if (run.refused || !pin_and_schedule(SCHED_FIFO, 1)) {
			run.refused = true;
			go.release();
			return;
		}
		run.stage = 2;
		go.release();
		while (run.stage < 3 && steady_clock::now() < wall_deadline)
			;
	});
	waiter.join();
	spinner.join();
	holder.join();
	if (run.refused)
		GTEST_SKIP() << "no right to real-time scheduling here";
	const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(run.got - run.asked);
	EXPECT_LT(waited.count(), 500) << "the holder of link_lock was kept off the processor for "
	                               << waited.count() << " ms";
}

// System Exclusive in pieces, as midi.TX sends it, into a queue with `room`
// bytes free: once a piece is dropped the rest of its message goes too, F7
// and all, and a piece whose F0 never went out goes as well; real-time
// bytes between the pieces, and the next message, pass untouched.
TEST_F(DeviceLink, CutSysExLosesItsRestAndNeverLooksWhole)
{
	const struct {
		const char *label;
		std::size_t room;                // free bytes in the queue when the pieces come
		std::vector<byte_string> pieces; // sent into that room
		byte_string want;                // what the device gets of them
		std::uint64_t dropped;           // events dropped
	} cases[] = {
		{"middle piece dropped", 6, {{0xF0, 1, 2}, {3, 4, 5, 6, 7}, {0xF8}, {8, 0xF7}}, {0xF0, 1, 2, 0xF8}, 2},
		{"first piece dropped", 2, {{0xF0, 1, 2}, {0xFE}, {3, 0xF7}}, {0xFE}, 2},
		{"continuation without its F0", 100, {{1, 2, 3}, {4, 0xF7}}, {}, 2},
		{"status ends it, the rest is stray", 100, {{0xF0, 1, 2}, {0x90, 0x3C, 0x64}, {3, 0xF7}},
		 {0xF0, 1, 2, 0x90, 0x3C, 0x64}, 1},
		{"every piece fits", 100, {{0xF0, 1, 2}, {0xF8}, {3, 4, 5}, {0xF7}}, {0xF0, 1, 2, 0xF8, 3, 4, 5, 0xF7}, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		small_node node;
		ASSERT_GE(node.write_end, 0);
		link_counters.playback.dropped_events = 0;
		const std::vector<byte_string> fill = {sysex_message(4096 + 100000, 9),
		                                       sysex_message(playback_queue_size - 100000 - c.room, 10)};
		period(node.write_end, fill);
		ASSERT_EQ(playback_queue_size - playback_queue.length, c.room);
		for (const auto &p : c.pieces)
			playback_send(node.write_end, p);
		byte_string got;
		drain_node(node, got);
		const byte_string next = {0xF0, 0x7D, 0xF7};
		period(node.write_end, {next});
		node.take(got);

		byte_string want = concat(fill);
		append_to(want, c.want);
		append_to(want, next);
		EXPECT_EQ(cftest::difference(got, want), "");
		EXPECT_EQ(link_counters.playback.dropped_events.load(), c.dropped);
	}
}
