// cycle_timer: a preload library that times the daemon's process callback
// inside a running server, without changing the daemon.
//
//	LD_PRELOAD=build/tests/soak/libcycle_timer.so CYCLE_TIMER_FILE=/tmp/t
//	cableferry ...
//
// It stands in for jack_set_process_callback: the callback it registers
// reads the monotonic clock, calls the daemon's own, and reads the clock
// again.  The callback counts into a table of power-of-two buckets and
// keeps the longest duration; it takes no lock and allocates nothing.  A
// thread of its own writes the figures to $CYCLE_TIMER_FILE.<pid> twice a
// second (the daemon ends with _exit, so nothing runs at exit; the last half
// second may be missing).  Only a process named "cableferry" is timed, so
// the library can sit in the environment of a harness whose own clients
// are left alone.
//
// Inside the callback it also times every pthread_mutex_lock, read and write
// the daemon makes, so that a long cycle can be put down to waiting for a
// lock or for a device.  The reads and writes inside the cycle are those of
// the two device nodes; a cycle's time less the time spent in them is the
// daemon's own (a FIFO's other end, for one, can hold the pipe's lock in
// the kernel for as long as it is kept off the processor).
//
// The file holds one line: cycles, the longest cycle in microseconds, the
// period in microseconds, cycles longer than a quarter and a half of the
// period, the bucket counts (bucket k: durations below 2^k microseconds),
// the longest lock wait, read and write inside a cycle, and the longest
// cycle less its reads and writes (own_us).
#include <jack/jack.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int buckets = 16; // 1 us .. 32 ms, the last one open-ended

struct timer_state {
	JackProcessCallback inner = nullptr;                  // the daemon's callback
	void *inner_arg = nullptr;                            // and its argument
	jack_client_t *client = nullptr;                      // for the period length
	std::atomic<std::uint64_t> cycles{0};                 // callbacks timed
	std::atomic<std::uint64_t> longest_ns{0};             // longest callback
	std::atomic<std::uint64_t> over_quarter{0};           // longer than a quarter period
	std::atomic<std::uint64_t> over_half{0};              // longer than half a period
	std::atomic<std::uint64_t> period_ns{0};              // nframes / rate, set per cycle
	std::atomic<std::uint64_t> bucket[buckets] = {};      // duration histogram
	std::atomic<std::uint64_t> lock_ns{0};                // longest lock wait in a cycle
	std::atomic<std::uint64_t> read_ns{0};                // longest read in a cycle
	std::atomic<std::uint64_t> write_ns{0};               // longest write in a cycle
	std::atomic<std::uint64_t> own_ns{0};                 // longest cycle less its device I/O
};

thread_local bool in_cycle;        // this thread is inside the daemon's callback
thread_local std::uint64_t io_ns;  // time in read and write in this cycle

timer_state timer;

std::uint64_t now_ns()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void keep_longest(std::atomic<std::uint64_t> &longest, std::uint64_t took)
{
	if (took > longest.load(std::memory_order_relaxed))
		longest.store(took, std::memory_order_relaxed);
}

int timed_process(jack_nframes_t nframes, void *)
{
	const std::uint64_t start = now_ns();
	io_ns = 0;
	in_cycle = true;
	const int r = timer.inner(nframes, timer.inner_arg);
	in_cycle = false;
	const std::uint64_t took = now_ns() - start;
	keep_longest(timer.own_ns, took > io_ns ? took - io_ns : 0);

	const std::uint64_t period = timer.period_ns.load(std::memory_order_relaxed);
	timer.cycles.fetch_add(1, std::memory_order_relaxed);
	keep_longest(timer.longest_ns, took);
	if (period > 0 && took * 4 > period)
		timer.over_quarter.fetch_add(1, std::memory_order_relaxed);
	if (period > 0 && took * 2 > period)
		timer.over_half.fetch_add(1, std::memory_order_relaxed);
	int k = 0;
	for (std::uint64_t us = took / 1000; us > 0 && k < buckets - 1; us >>= 1)
		k++;
	timer.bucket[k].fetch_add(1, std::memory_order_relaxed);
	return r;
}

void report_loop(std::string path)
{
	const std::string tmp = path + ".tmp";
	for (;;) {
		if (timer.client != nullptr) {
			const jack_nframes_t rate = jack_get_sample_rate(timer.client);
			if (rate > 0)
				timer.period_ns.store(1000000000ull * jack_get_buffer_size(timer.client) / rate);
		}
		if (FILE *f = std::fopen(tmp.c_str(), "w")) {
			std::fprintf(f, "cycles=%llu longest_us=%.1f period_us=%.1f over_quarter=%llu over_half=%llu buckets=",
			             static_cast<unsigned long long>(timer.cycles.load()),
			             static_cast<double>(timer.longest_ns.load()) / 1000,
			             static_cast<double>(timer.period_ns.load()) / 1000,
			             static_cast<unsigned long long>(timer.over_quarter.load()),
			             static_cast<unsigned long long>(timer.over_half.load()));
			for (int k = 0; k < buckets; k++)
				std::fprintf(f, "%s%llu", k ? "," : "", static_cast<unsigned long long>(timer.bucket[k].load()));
			std::fprintf(f, " lock_us=%.1f read_us=%.1f write_us=%.1f own_us=%.1f\n",
			             static_cast<double>(timer.lock_ns.load()) / 1000,
			             static_cast<double>(timer.read_ns.load()) / 1000,
			             static_cast<double>(timer.write_ns.load()) / 1000,
			             static_cast<double>(timer.own_ns.load()) / 1000);
			std::fclose(f);
			std::rename(tmp.c_str(), path.c_str());
		}
		usleep(500000);
	}
}

} // namespace

extern "C" int jack_set_process_callback(jack_client_t *client, JackProcessCallback callback, void *arg)
{
	using real_fn = int (*)(jack_client_t *, JackProcessCallback, void *);
	static const real_fn real = reinterpret_cast<real_fn>(dlsym(RTLD_NEXT, "jack_set_process_callback"));
	const char *file = std::getenv("CYCLE_TIMER_FILE");
	if (file == nullptr || std::strcmp(program_invocation_short_name, "cableferry") != 0 ||
	    timer.inner != nullptr)
		return real(client, callback, arg);
	timer.inner = callback;
	timer.inner_arg = arg;
	timer.client = client;
	std::thread(report_loop, std::string(file) + "." + std::to_string(getpid())).detach();
	return real(client, timed_process, nullptr);
}

// The same calls, timed when the daemon's callback makes them; device_io
// says whether the time counts as the device's.
template <class Fn, class... Args>
auto timed(std::atomic<std::uint64_t> &longest, bool device_io, Fn fn, Args... args)
{
	if (!in_cycle)
		return fn(args...);
	const std::uint64_t start = now_ns();
	auto r = fn(args...);
	const std::uint64_t took = now_ns() - start;
	keep_longest(longest, took);
	if (device_io)
		io_ns += took;
	return r;
}

extern "C" int pthread_mutex_lock(pthread_mutex_t *m)
{
	using fn = int (*)(pthread_mutex_t *);
	static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
	return timed(timer.lock_ns, false, real, m);
}

extern "C" ssize_t read(int fd, void *buf, size_t n)
{
	using fn = ssize_t (*)(int, void *, size_t);
	static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "read"));
	return timed(timer.read_ns, true, real, fd, buf, n);
}

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
	using fn = ssize_t (*)(int, const void *, size_t);
	static const fn real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "write"));
	return timed(timer.write_ns, true, real, fd, buf, n);
}
