// rt_probe: the preload library described in rt_probe.h.
//
// What it counts is decided by the thread: a thread-local flag is set while
// the wrapped callback runs, and every interposed call looks at it first, so
// the rest of the program passes through untouched.  Which descriptors are
// the nodes is read from the daemon's own device_link at the moment of the
// call (the callback holds link_lock then), and link_lock is told apart by
// its address.  Both are found by name in the program's symbol table, since
// the daemon exports nothing.
//
// The real functions are looked up with dlsym before main, so no lookup (and
// none of the allocations dlsym makes) ever happens inside the callback; a
// call that comes before that, from another library's constructor, looks
// its function up on the spot.  In a sanitizer build the sanitizer owns the
// heap, and the heap calls are counted through its allocation hooks instead
// of being interposed (RT_PROBE_HEAP_HOOKS); read, write and the locks then
// pass on to the sanitizer's own interceptors, which keep seeing them.
//
// The callback side takes no lock and allocates nothing: it adds to atomics
// and reads the monotonic clock, which needs no system call.
#include "support/rt_probe.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <link.h>
#include <pthread.h>
#include <stdarg.h>
#include <poll.h>
#include <semaphore.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "device/device_link.h"

using namespace cftest;

namespace {

// The wrapped callback and what the probe has seen of it.
struct probe_state {
	JackProcessCallback inner = nullptr;                     // the program's callback
	void *inner_arg = nullptr;                               // and its argument
	jack_nframes_t rate = 0;                                 // the server's sample rate, for the period length
	const cableferry::device_link_t *link = nullptr;         // the program's device link
	const pthread_mutex_t *link_lock = nullptr;              // the program's link_lock
	std::array<std::atomic<std::uint64_t>, rt::counter_count> n{}; // the figures
	std::array<std::atomic<std::uint64_t>, rt::buckets> bucket{};  // callback durations
};

probe_state probe;

// Set while this thread runs the wrapped callback.  Initial-exec: the first
// touch of a dynamic TLS variable on a thread may allocate.
__attribute__((tls_model("initial-exec"))) thread_local bool in_cycle;
// Time spent reading and writing the nodes in this callback.
__attribute__((tls_model("initial-exec"))) thread_local std::uint64_t io_ns;
// Voluntary context switches spent waiting for link_lock in this callback.
__attribute__((tls_model("initial-exec"))) thread_local std::uint64_t lock_switched;

void add(rt::counter c, std::uint64_t by = 1)
{
	probe.n[c].fetch_add(by, std::memory_order_relaxed);
}

void keep_longest(rt::counter c, std::uint64_t took)
{
	if (took > probe.n[c].load(std::memory_order_relaxed))
		probe.n[c].store(took, std::memory_order_relaxed);
}

std::uint64_t now_ns()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

// ---- the real functions ------------------------------------------------------

using read_fn = ssize_t (*)(int, void *, size_t);
using write_fn = ssize_t (*)(int, const void *, size_t);
using lock_fn = int (*)(pthread_mutex_t *);
using set_callback_fn = int (*)(jack_client_t *, JackProcessCallback, void *);
using vfprintf_fn = int (*)(FILE *, const char *, va_list);
using fputs_fn = int (*)(const char *, FILE *);
using fwrite_fn = size_t (*)(const void *, size_t, size_t, FILE *);
using fputc_fn = int (*)(int, FILE *);
using vsyslog_fn = void (*)(int, const char *, va_list);

// The calls the callback must not make that the probe counts and passes on
// unchanged: counter, return type, name, parameters, arguments.
#define RT_PROBE_PLAIN_CALLS(X)                                                                  \
	X(polls, int, poll, (pollfd * fds, nfds_t n, int timeout), (fds, n, timeout))               \
	X(polls, int, ppoll, (pollfd * fds, nfds_t n, const timespec *t, const sigset_t *mask),    \
	  (fds, n, t, mask))                                                                       \
	X(polls, int, select, (int n, fd_set *r, fd_set *w, fd_set *e, timeval *t), (n, r, w, e, t)) \
	X(polls, int, pselect,                                                                     \
	  (int n, fd_set *r, fd_set *w, fd_set *e, const timespec *t, const sigset_t *mask),       \
	  (n, r, w, e, t, mask))                                                                   \
	X(polls, int, epoll_wait, (int epfd, epoll_event *ev, int n, int t), (epfd, ev, n, t))      \
	X(sleeps, int, nanosleep, (const timespec *t, timespec *left), (t, left))                  \
	X(sleeps, int, clock_nanosleep, (clockid_t clock, int flags, const timespec *t, timespec *left), \
	  (clock, flags, t, left))                                                                 \
	X(sleeps, int, usleep, (useconds_t us), (us))                                              \
	X(sleeps, unsigned, sleep, (unsigned s), (s))                                              \
	X(closes, int, close, (int fd), (fd))                                                      \
	X(semaphores, int, sem_wait, (sem_t * s), (s))                                             \
	X(semaphores, int, sem_trywait, (sem_t * s), (s))                                          \
	X(semaphores, int, sem_post, (sem_t * s), (s))                                             \
	X(semaphores, int, sem_timedwait, (sem_t * s, const timespec *t), (s, t))                  \
	X(conditions, int, pthread_cond_wait, (pthread_cond_t * c, pthread_mutex_t *m), (c, m))    \
	X(conditions, int, pthread_cond_timedwait,                                                 \
	  (pthread_cond_t * c, pthread_mutex_t *m, const timespec *t), (c, m, t))                  \
	X(conditions, int, pthread_cond_signal, (pthread_cond_t * c), (c))                         \
	X(conditions, int, pthread_cond_broadcast, (pthread_cond_t * c), (c))

// The variadic ones, which take one optional argument after `last`: the
// mode of open and openat (present only when the flags create a file), and
// the integer or pointer of fcntl and ioctl, which the calling convention
// passes alike.  Counter, name, parameters, last, the fixed arguments, the
// optional one's type and how it is read from ap.
#define RT_PROBE_VARIADIC_CALLS(X)                                                               \
	X(opens, open, (const char *path, int flags, ...), flags, (path, flags), mode_t, open_mode(flags, ap)) \
	X(opens, open64, (const char *path, int flags, ...), flags, (path, flags), mode_t, open_mode(flags, ap)) \
	X(opens, openat, (int dir, const char *path, int flags, ...), flags, (dir, path, flags), mode_t, \
	  open_mode(flags, ap))                                                                    \
	X(opens, openat64, (int dir, const char *path, int flags, ...), flags, (dir, path, flags), mode_t, \
	  open_mode(flags, ap))                                                                    \
	X(fcntls, fcntl, (int fd, int cmd, ...), cmd, (fd, cmd), void *, va_arg(ap, void *))       \
	X(fcntls, fcntl64, (int fd, int cmd, ...), cmd, (fd, cmd), void *, va_arg(ap, void *))     \
	X(ioctls, ioctl, (int fd, unsigned long request, ...), request, (fd, request), void *,     \
	  va_arg(ap, void *))

#define RT_PROBE_ARGS(...) __VA_ARGS__
#define RT_PROBE_PLAIN_SLOT(counter, ret, name, params, args) decltype(&::name) name;
#define RT_PROBE_VARIADIC_SLOT(counter, name, params, last, args, type, take) decltype(&::name) name;

// The next definition of each function after this library's.
struct real_functions {
	read_fn read;                       // read(2)
	write_fn write;                     // write(2)
	lock_fn lock;                       // pthread_mutex_lock
	set_callback_fn set_callback;       // jack_set_process_callback
	vfprintf_fn vfprintf;               // every printf-like call ends here
	fputs_fn fputs;                     // fputs, puts
	fwrite_fn fwrite;                   // fwrite
	fputc_fn fputc;                     // fputc, putchar, puts' newline
	vsyslog_fn vsyslog;                 // syslog, vsyslog
	RT_PROBE_PLAIN_CALLS(RT_PROBE_PLAIN_SLOT)       // the plain calls above
	RT_PROBE_VARIADIC_CALLS(RT_PROBE_VARIADIC_SLOT) // the variadic ones
};

real_functions real;

template <class Fn>
Fn next(Fn &slot, const char *name)
{
	if (slot == nullptr)
		slot = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
	return slot;
}

// ---- the program's symbols -----------------------------------------------------

int main_program_bias(dl_phdr_info *info, size_t, void *out)
{
	*static_cast<ElfW(Addr) *>(out) = info->dlpi_addr;
	return 1; // the first entry is the program itself
}

// Address of a symbol of the main program, by its (mangled) name, from the
// symbol table of its file; 0 when there is none (a stripped program).
std::uintptr_t program_symbol(const char *name)
{
	const int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
	struct stat st{};
	if (fd < 0 || fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < sizeof(ElfW(Ehdr))) {
		if (fd >= 0)
			close(fd);
		return 0;
	}
	void *map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
	close(fd);
	if (map == MAP_FAILED)
		return 0;
	const auto *base = static_cast<const char *>(map);
	const auto *eh = reinterpret_cast<const ElfW(Ehdr) *>(base);
	const auto *sh = reinterpret_cast<const ElfW(Shdr) *>(base + eh->e_shoff);
	std::uintptr_t value = 0;
	const bool elf = std::memcmp(eh->e_ident, ELFMAG, SELFMAG) == 0 &&
	                 eh->e_shoff + eh->e_shnum * sizeof(ElfW(Shdr)) <= static_cast<size_t>(st.st_size);
	for (unsigned i = 0; elf && value == 0 && i < eh->e_shnum; i++) {
		if (sh[i].sh_type != SHT_SYMTAB)
			continue;
		const auto *syms = reinterpret_cast<const ElfW(Sym) *>(base + sh[i].sh_offset);
		const char *names = base + sh[sh[i].sh_link].sh_offset;
		for (size_t k = 0; k < sh[i].sh_size / sizeof(ElfW(Sym)); k++)
			if (syms[k].st_value != 0 && std::strcmp(names + syms[k].st_name, name) == 0) {
				value = syms[k].st_value;
				break;
			}
	}
	munmap(map, static_cast<size_t>(st.st_size));
	if (value == 0)
		return 0;
	ElfW(Addr) bias = 0;
	dl_iterate_phdr(main_program_bias, &bias);
	return bias + value;
}

// ---- the heap --------------------------------------------------------------------

void count_heap_call()
{
	if (in_cycle)
		add(rt::allocations);
}

#ifdef RT_PROBE_HEAP_HOOKS
using hook_installer = int (*)(void (*)(const volatile void *, size_t), void (*)(const volatile void *));

void on_malloc(const volatile void *, size_t)
{
	count_heap_call();
}

void on_free(const volatile void *p)
{
	if (p != nullptr)
		count_heap_call();
}

bool watch_heap()
{
	const auto install = reinterpret_cast<hook_installer>(
		dlsym(RTLD_DEFAULT, "__sanitizer_install_malloc_and_free_hooks"));
	return install != nullptr && install(on_malloc, on_free) != 0;
}
#else
bool watch_heap()
{
	return true; // malloc and its kin are interposed below
}
#endif

// ---- the callback and the report ---------------------------------------------------

int probed_cycle(jack_nframes_t nframes, void *)
{
	rusage before{}, after{};
	getrusage(RUSAGE_THREAD, &before);
	const std::uint64_t start = now_ns();
	io_ns = 0;
	lock_switched = 0;
	in_cycle = true;
	const int r = probe.inner(nframes, probe.inner_arg);
	in_cycle = false;
	if (probe.rate > 0)
		probe.n[rt::period_ns].store(1000000000ull * nframes / probe.rate, std::memory_order_relaxed);
	const std::uint64_t took = now_ns() - start;
	getrusage(RUSAGE_THREAD, &after);
	add(rt::lock_switches, lock_switched);
	if (probe.n[rt::cycles].load(std::memory_order_relaxed) >= rt::warmup_cycles) {
		const auto switched = static_cast<std::uint64_t>(after.ru_nvcsw - before.ru_nvcsw);
		add(rt::switches, switched > lock_switched ? switched - lock_switched : 0);
		add(rt::page_faults, static_cast<std::uint64_t>(after.ru_minflt - before.ru_minflt) +
		                     static_cast<std::uint64_t>(after.ru_majflt - before.ru_majflt));
	}
	keep_longest(rt::own_ns, took > io_ns ? took - io_ns : 0);
	keep_longest(rt::longest_ns, took);
	const std::uint64_t period = probe.n[rt::period_ns].load(std::memory_order_relaxed);
	if (period > 0 && took * 4 > period)
		add(rt::over_quarter);
	if (period > 0 && took * 2 > period)
		add(rt::over_half);
	std::size_t k = 0;
	for (std::uint64_t us = took / 1000; us > 0 && k < rt::buckets - 1; us >>= 1)
		k++;
	probe.bucket[k].fetch_add(1, std::memory_order_relaxed);
	add(rt::cycles);
	return r;
}

// Runs on a thread of its own, which may outlive the client (a test closes
// its own): it touches nothing of JACK's.
void write_report(const std::string &path)
{
	add(rt::reports);
	const std::string tmp = path + ".tmp";
	FILE *f = std::fopen(tmp.c_str(), "w");
	if (f == nullptr)
		return;
	for (std::size_t c = 0; c < rt::counter_count; c++)
		std::fprintf(f, "%s=%llu ", rt::counter_names[c].data(),
		             static_cast<unsigned long long>(probe.n[c].load()));
	for (std::size_t k = 0; k < rt::buckets; k++)
		std::fprintf(f, "%s%llu", k ? "," : "buckets=", static_cast<unsigned long long>(probe.bucket[k].load()));
	std::fprintf(f, "\n");
	std::fclose(f);
	std::rename(tmp.c_str(), path.c_str());
}

void report_loop(std::string path, unsigned interval_ms)
{
	for (;;) {
		write_report(path);
		usleep(interval_ms * 1000);
	}
}

__attribute__((constructor)) void find_everything()
{
	next(real.read, "read");
	next(real.write, "write");
	next(real.lock, "pthread_mutex_lock");
	next(real.set_callback, "jack_set_process_callback");
	next(real.vfprintf, "vfprintf");
	next(real.fputs, "fputs");
	next(real.fwrite, "fwrite");
	next(real.fputc, "fputc");
	next(real.vsyslog, "vsyslog");
#define RT_PROBE_FIND_PLAIN(counter, ret, name, params, args) next(real.name, #name);
#define RT_PROBE_FIND_VARIADIC(counter, name, params, last, args, type, take) next(real.name, #name);
	RT_PROBE_PLAIN_CALLS(RT_PROBE_FIND_PLAIN)
	RT_PROBE_VARIADIC_CALLS(RT_PROBE_FIND_VARIADIC)
	probe.link = reinterpret_cast<const cableferry::device_link_t *>(program_symbol("_ZN10cableferry11device_linkE"));
	probe.link_lock = reinterpret_cast<const pthread_mutex_t *>(program_symbol("_ZN10cableferry9link_lockE"));
	probe.n[rt::resolved] = probe.link != nullptr && probe.link_lock != nullptr;
	probe.n[rt::heap_watched] = watch_heap();
}

// Counts one output call inside the callback.
void count_print()
{
	if (in_cycle)
		add(rt::prints);
}

// Counts one call of a kind the callback must not make, and passes it on
// to the real function, looked up already or on the spot.
template <class Fn, class... Args>
auto counted(rt::counter c, Fn &slot, const char *name, Args... args)
{
	if (in_cycle)
		add(c);
	return next(slot, name)(args...);
}

// The mode of open and openat: present only when the flags create a file.
mode_t open_mode(int flags, va_list ap)
{
	return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

// A read or write inside the callback: counted as the node's or a foreign
// one, and timed; the node's time is the device's, not the daemon's own.
template <class Fn, class... Args>
ssize_t node_io(bool is_node, rt::counter node, rt::counter foreign, rt::counter longest, Fn fn,
                Args... args)
{
	add(is_node ? node : foreign);
	const std::uint64_t start = now_ns();
	const ssize_t r = fn(args...);
	const std::uint64_t took = now_ns() - start;
	keep_longest(longest, took);
	if (is_node)
		io_ns += took;
	return r;
}

} // namespace

// Only the interposed functions leave the library.
#pragma GCC visibility push(default)
extern "C" {

int jack_set_process_callback(jack_client_t *client, JackProcessCallback callback, void *arg)
{
	const char *file = std::getenv("RT_PROBE_FILE");
	if (file == nullptr || probe.inner != nullptr || callback == nullptr)
		return next(real.set_callback, "jack_set_process_callback")(client, callback, arg);
	probe.inner = callback;
	probe.inner_arg = arg;
	probe.rate = jack_get_sample_rate(client);
	const char *interval = std::getenv("RT_PROBE_INTERVAL_MS");
	const unsigned ms = interval ? static_cast<unsigned>(std::strtoul(interval, nullptr, 10)) : 500;
	std::thread(report_loop, std::string(file) + "." + std::to_string(getpid()), ms > 0 ? ms : 500).detach();
	return real.set_callback(client, probed_cycle, nullptr);
}

ssize_t read(int fd, void *buf, size_t n)
{
	const read_fn fn = next(real.read, "read");
	if (!in_cycle)
		return fn(fd, buf, n);
	const bool node = probe.link != nullptr && fd == probe.link->capture_fd;
	return node_io(node, rt::capture_reads, rt::foreign_reads, rt::read_ns, fn, fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
	const write_fn fn = next(real.write, "write");
	if (!in_cycle)
		return fn(fd, buf, n);
	const bool node = probe.link != nullptr && fd == probe.link->playback_fd;
	return node_io(node, rt::playback_writes, rt::foreign_writes, rt::write_ns, fn, fd, buf, n);
}

int pthread_mutex_lock(pthread_mutex_t *m)
{
	const lock_fn fn = next(real.lock, "pthread_mutex_lock");
	if (!in_cycle)
		return fn(m);
	add(m == probe.link_lock ? rt::link_locks : rt::foreign_locks);
	rusage before{}, after{};
	getrusage(RUSAGE_THREAD, &before);
	const std::uint64_t start = now_ns();
	const int r = fn(m);
	keep_longest(rt::lock_ns, now_ns() - start);
	getrusage(RUSAGE_THREAD, &after);
	if (m == probe.link_lock)
		lock_switched += static_cast<std::uint64_t>(after.ru_nvcsw - before.ru_nvcsw);
	return r;
}

// ---- waits, descriptors and wake-ups ---------------------------------------------------

#define RT_PROBE_DEFINE_PLAIN(counter, ret, name, params, args)                                 \
	ret name params { return counted(rt::counter, real.name, #name, RT_PROBE_ARGS args); }
#define RT_PROBE_DEFINE_VARIADIC(counter, name, params, last, args, type, take)                  \
	int name params                                                                            \
	{                                                                                          \
		va_list ap;                                                                        \
		va_start(ap, last);                                                                \
		const type arg = take;                                                             \
		va_end(ap);                                                                        \
		return counted(rt::counter, real.name, #name, RT_PROBE_ARGS args, arg);            \
	}
RT_PROBE_PLAIN_CALLS(RT_PROBE_DEFINE_PLAIN)
RT_PROBE_VARIADIC_CALLS(RT_PROBE_DEFINE_VARIADIC)

#ifndef RT_PROBE_HEAP_HOOKS
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);

void *malloc(size_t n)
{
	count_heap_call();
	return __libc_malloc(n);
}

void *calloc(size_t n, size_t size)
{
	count_heap_call();
	return __libc_calloc(n, size);
}

void *realloc(void *p, size_t n)
{
	count_heap_call();
	return __libc_realloc(p, n);
}

void free(void *p)
{
	if (p != nullptr)
		count_heap_call();
	__libc_free(p);
}
#endif

// Output: each counts, then passes the call on.  The variadic ones go
// through vfprintf and vsyslog.
int vfprintf(FILE *f, const char *format, va_list ap)
{
	count_print();
	return next(real.vfprintf, "vfprintf")(f, format, ap);
}

int __vfprintf_chk(FILE *f, int, const char *format, va_list ap)
{
	return vfprintf(f, format, ap);
}

int vprintf(const char *format, va_list ap)
{
	return vfprintf(stdout, format, ap);
}

#define RT_PROBE_VARIADIC(call)        \
	va_list ap;                    \
	va_start(ap, format);          \
	const int r = call;            \
	va_end(ap);                    \
	return r

int fprintf(FILE *f, const char *format, ...)
{
	RT_PROBE_VARIADIC(vfprintf(f, format, ap));
}

int __fprintf_chk(FILE *f, int, const char *format, ...)
{
	RT_PROBE_VARIADIC(vfprintf(f, format, ap));
}

int printf(const char *format, ...)
{
	RT_PROBE_VARIADIC(vfprintf(stdout, format, ap));
}

int __printf_chk(int, const char *format, ...)
{
	RT_PROBE_VARIADIC(vfprintf(stdout, format, ap));
}

int fputs(const char *text, FILE *f)
{
	count_print();
	return next(real.fputs, "fputs")(text, f);
}

int puts(const char *text)
{
	const int r = fputs(text, stdout);
	return r < 0 ? r : next(real.fputc, "fputc")('\n', stdout);
}

size_t fwrite(const void *p, size_t size, size_t n, FILE *f)
{
	count_print();
	return next(real.fwrite, "fwrite")(p, size, n, f);
}

int fputc(int c, FILE *f)
{
	count_print();
	return next(real.fputc, "fputc")(c, f);
}

int putchar(int c)
{
	return fputc(c, stdout);
}

void vsyslog(int priority, const char *format, va_list ap)
{
	count_print();
	next(real.vsyslog, "vsyslog")(priority, format, ap);
}

void syslog(int priority, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	vsyslog(priority, format, ap);
	va_end(ap);
}

} // extern "C"
#pragma GCC visibility pop
