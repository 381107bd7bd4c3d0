// Audit of the real-time path: the bridge's process cycle runs in this
// process, inside a real JACK server's period, while MIDI flows both ways
// and a device is lost and found again.  The heap functions, read, write,
// pthread_mutex_lock and the stdio and syslog output functions are
// interposed for the whole program; while the cycle runs on JACK's thread
// they record anything it must not do: allocate, print, read anything but
// the capture node, write anything but the playback node, or wait on any
// lock but link_lock.  The playback node also stops taking bytes for a
// while, so that the cycle queues what it cannot write and flushes it later.
//
// In a sanitizer build the sanitizer owns the heap: a malloc of our own would
// hand out memory its free does not know.  There the heap calls are counted
// through the sanitizer's allocation hooks instead, and read, write and
// pthread_mutex_lock pass on to the sanitizer's own interceptors, so that it
// keeps seeing them; what is recorded is the same.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "bridge/process_cycle.h"
#include "control/jack_client.h"
#include "bridge/port_table.h"
#include "control/settings.h"
#include "device/device_link.h"
#include "device/playback_queue.h"
#include "e2e/e2e_fixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define AUDIT_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define AUDIT_UNDER_SANITIZER 1
#endif
#endif

extern "C" {
#ifdef AUDIT_UNDER_SANITIZER
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *, size_t),
                                              void (*free_hook)(const volatile void *));
ssize_t __interceptor_read(int, void *, size_t);
ssize_t __interceptor_write(int, const void *, size_t);
int __interceptor_pthread_mutex_lock(pthread_mutex_t *);
#else
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
#endif
}

namespace {

thread_local bool in_cycle = false;      // set while process_cycle runs
std::atomic<int> allocations{0};         // heap calls from the cycle
std::atomic<int> foreign_reads{0};       // reads of anything but the capture node
std::atomic<int> foreign_writes{0};      // writes to anything but the playback node
std::atomic<int> foreign_locks{0};       // locks other than link_lock
std::atomic<int> prints{0};              // stdio or syslog output from the cycle
std::atomic<int> capture_reads{0};       // reads of the capture node
std::atomic<int> playback_writes{0};     // writes to the playback node
std::atomic<long> cycles{0};             // cycles run
#ifdef AUDIT_UNDER_SANITIZER
bool heap_hooks_installed = false;       // the sanitizer took our heap hooks
#endif

int audited_cycle(jack_nframes_t nframes, void *arg)
{
	cftest::graph_callback_begin();
	in_cycle = true;
	const int r = cableferry::process_cycle(nframes, arg);
	in_cycle = false;
	cftest::graph_callback_end();
	cycles++;
	return r;
}

} // namespace

extern "C" {

#ifdef AUDIT_UNDER_SANITIZER

static void count_malloc(const volatile void *, size_t)
{
	if (in_cycle)
		allocations++;
}

static void count_free(const volatile void *p)
{
	if (in_cycle && p != nullptr)
		allocations++;
}

__attribute__((constructor)) static void install_heap_hooks()
{
	heap_hooks_installed = __sanitizer_install_malloc_and_free_hooks(count_malloc, count_free) != 0;
}

ssize_t read(int fd, void *buf, size_t n)
{
	if (in_cycle)
		(fd == cableferry::device_link.capture_fd ? capture_reads : foreign_reads)++;
	return __interceptor_read(fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
	if (in_cycle)
		(fd == cableferry::device_link.playback_fd ? playback_writes : foreign_writes)++;
	return __interceptor_write(fd, buf, n);
}

int pthread_mutex_lock(pthread_mutex_t *m)
{
	if (in_cycle && m != &cableferry::link_lock)
		foreign_locks++;
	return __interceptor_pthread_mutex_lock(m);
}

#else

void *malloc(size_t n)
{
	if (in_cycle)
		allocations++;
	return __libc_malloc(n);
}

void *calloc(size_t n, size_t size)
{
	if (in_cycle)
		allocations++;
	return __libc_calloc(n, size);
}

void *realloc(void *p, size_t n)
{
	if (in_cycle)
		allocations++;
	return __libc_realloc(p, n);
}

void free(void *p)
{
	if (in_cycle && p != nullptr)
		allocations++;
	__libc_free(p);
}

ssize_t read(int fd, void *buf, size_t n)
{
	if (in_cycle)
		(fd == cableferry::device_link.capture_fd ? capture_reads : foreign_reads)++;
	return syscall(SYS_read, fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
	if (in_cycle)
		(fd == cableferry::device_link.playback_fd ? playback_writes : foreign_writes)++;
	return syscall(SYS_write, fd, buf, n);
}

// glibc's own lock under its versioned internal name.
int libc_mutex_lock(pthread_mutex_t *m);
__asm__(".symver libc_mutex_lock, __pthread_mutex_lock@GLIBC_2.2.5");

int pthread_mutex_lock(pthread_mutex_t *m)
{
	if (in_cycle && m != &cableferry::link_lock)
		foreign_locks++;
	return libc_mutex_lock(m);
}

#endif // AUDIT_UNDER_SANITIZER

// Output functions: each counts, then passes the call on to the library's
// own, looked up once before main.
using vfprintf_fn = int (*)(FILE *, const char *, va_list);
using fputs_fn = int (*)(const char *, FILE *);
using fwrite_fn = size_t (*)(const void *, size_t, size_t, FILE *);
using fputc_fn = int (*)(int, FILE *);
using vsyslog_fn = void (*)(int, const char *, va_list);
static vfprintf_fn real_vfprintf;
static fputs_fn real_fputs;
static fwrite_fn real_fwrite;
static fputc_fn real_fputc;
static vsyslog_fn real_vsyslog;

__attribute__((constructor)) static void find_output_functions()
{
	real_vfprintf = reinterpret_cast<vfprintf_fn>(dlsym(RTLD_NEXT, "vfprintf"));
	real_fputs = reinterpret_cast<fputs_fn>(dlsym(RTLD_NEXT, "fputs"));
	real_fwrite = reinterpret_cast<fwrite_fn>(dlsym(RTLD_NEXT, "fwrite"));
	real_fputc = reinterpret_cast<fputc_fn>(dlsym(RTLD_NEXT, "fputc"));
	real_vsyslog = reinterpret_cast<vsyslog_fn>(dlsym(RTLD_NEXT, "vsyslog"));
}

static void count_print()
{
	if (in_cycle)
		prints++;
}

int vfprintf(FILE *f, const char *format, va_list ap)
{
	count_print();
	return real_vfprintf(f, format, ap);
}

int __vfprintf_chk(FILE *f, int, const char *format, va_list ap)
{
	count_print();
	return real_vfprintf(f, format, ap);
}

int vprintf(const char *format, va_list ap)
{
	count_print();
	return real_vfprintf(stdout, format, ap);
}

int fprintf(FILE *f, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	count_print();
	const int r = real_vfprintf(f, format, ap);
	va_end(ap);
	return r;
}

int __fprintf_chk(FILE *f, int, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	count_print();
	const int r = real_vfprintf(f, format, ap);
	va_end(ap);
	return r;
}

int printf(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	count_print();
	const int r = real_vfprintf(stdout, format, ap);
	va_end(ap);
	return r;
}

int __printf_chk(int, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	count_print();
	const int r = real_vfprintf(stdout, format, ap);
	va_end(ap);
	return r;
}

int fputs(const char *text, FILE *f)
{
	count_print();
	return real_fputs(text, f);
}

int puts(const char *text)
{
	count_print();
	const int r = real_fputs(text, stdout);
	return r < 0 ? r : real_fputc('\n', stdout);
}

size_t fwrite(const void *p, size_t size, size_t n, FILE *f)
{
	count_print();
	return real_fwrite(p, size, n, f);
}

int fputc(int c, FILE *f)
{
	count_print();
	return real_fputc(c, f);
}

int putchar(int c)
{
	count_print();
	return real_fputc(c, stdout);
}

void syslog(int priority, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	count_print();
	real_vsyslog(priority, format, ap);
	va_end(ap);
}

void vsyslog(int priority, const char *format, va_list ap)
{
	count_print();
	real_vsyslog(priority, format, ap);
}

} // extern "C"

namespace cftest {
namespace {

using namespace cableferry;

// The interposed functions count what they should while in_cycle is set,
// so that the zeros of the audit below mean something.
TEST(RealtimeAuditCounters, SeeHeapWriteAndLockCalls)
{
#ifdef AUDIT_UNDER_SANITIZER
	ASSERT_TRUE(heap_hooks_installed);
#endif
	unique_fd null_fd(open("/dev/null", O_WRONLY | O_CLOEXEC));
	ASSERT_TRUE(null_fd);
	pthread_mutex_t other = PTHREAD_MUTEX_INITIALIZER;
	in_cycle = true;
	void *volatile block = std::malloc(24);
	std::free(block);
	const ssize_t written = ::write(null_fd.fd, "x", 1);
	pthread_mutex_lock(&other);
	pthread_mutex_unlock(&other);
	in_cycle = false;
	EXPECT_EQ(written, 1);
	EXPECT_GE(allocations.exchange(0), 2);
	EXPECT_EQ(foreign_writes.exchange(0), 1);
	EXPECT_EQ(foreign_locks.exchange(0), 1);
}

class RealtimeAudit : public e2e_server {
protected:
	jack_client_t *bridge = nullptr; // the bridge's client, in this process

	void TearDown() override
	{
		if (bridge != nullptr) {
			jack_deactivate(bridge);
			jack_client_close(bridge);
		}
		e2e_server::TearDown();
	}
};

TEST_F(RealtimeAudit, CycleAllocatesPrintsAndWaitsOnNothingElse)
{
	const std::string capture = dir.make_fifo("capture");
	const std::string playback = dir.make_fifo("playback");
	unique_fd reader = open_fifo_reader(playback);
	ASSERT_TRUE(reader);

	bridge_settings = {};
	bridge_settings.capture_path = capture;
	bridge_settings.playback_path = playback;
	bridge_settings.per_channel_ports = true;
	device_link_set_paths(capture, playback);
	link_lock_init();
	playback_queue_prepare();
	device_link_service();
	ASSERT_GE(device_link.capture_fd, 0);
	ASSERT_GE(device_link.playback_fd, 0);
	unique_fd writer(open(capture.c_str(), O_WRONLY | O_NONBLOCK));
	ASSERT_TRUE(writer);

	const std::string name = unique_client_name("bridge");
	bridge = jack_client_open(name.c_str(), static_cast<jack_options_t>(JackNoStartServer | JackServerName |
	                                                                     JackUseExactName),
	                          nullptr, server.name.c_str());
	ASSERT_NE(bridge, nullptr);
	port_table.client = bridge;
	register_ports();
	ASSERT_EQ(jack_set_process_callback(bridge, audited_cycle, nullptr), 0);
	ASSERT_EQ(jack_activate(bridge), 0);
	ASSERT_TRUE(probe.connect(probe.own("out"), name + ":midi.RX"));
	ASSERT_TRUE(probe.connect(name + ":midi.TX", probe.own("in")));
	ASSERT_TRUE(probe.connect(name + ":midi.TX.CH3", probe.own("in2")));
	ASSERT_TRUE(probe.wait_periods(2));

	// Both directions at once, over many periods.
	const bytes played = {0x93, 0x40, 0x7F, 0xF8, 0xF0, 0x01, 0x02, 0x03, 0xF7};
	std::size_t received_bytes = 0;
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
	received_bytes = sink.size();
	EXPECT_EQ(received_bytes, 400u);
	std::size_t events = 0, channel_events = 0;
	ASSERT_TRUE(wait_until([&] {
		for (const auto &r : probe.drain())
			(r.port == 0 ? events : channel_events)++;
		return events >= 40 * 4u && channel_events >= 40u;
	})) << events << " " << channel_events;
	// While the node keeps up, each event is one write.
	const int writes_keeping_up = playback_writes.load();

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

	// The capture node goes away and comes back while the cycle runs.
	ASSERT_EQ(unlink(capture.c_str()), 0);
	device_link_service();
	EXPECT_EQ(device_link.capture_fd, -1);
	ASSERT_TRUE(probe.wait_periods(4));
	dir.make_fifo("capture");
	device_link_service();
	EXPECT_GE(device_link.capture_fd, 0);
	ASSERT_TRUE(probe.wait_periods(4));

	jack_deactivate(bridge);
	EXPECT_GT(cycles.load(), 10);
	EXPECT_GT(capture_reads.load(), 0);
	EXPECT_EQ(writes_keeping_up, 40 * 3);
	EXPECT_GT(playback_writes.load(), writes_keeping_up + 3) << "the queue was never flushed";
	EXPECT_EQ(allocations.load(), 0);
	EXPECT_EQ(prints.load(), 0);
	EXPECT_EQ(foreign_reads.load(), 0);
	EXPECT_EQ(foreign_writes.load(), 0);
	EXPECT_EQ(foreign_locks.load(), 0);
}

} // namespace
} // namespace cftest
