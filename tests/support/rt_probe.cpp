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
	jack_client_t *client = nullptr;                         // for the period length
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
using poll_fn = int (*)(pollfd *, nfds_t, int);
using ppoll_fn = int (*)(pollfd *, nfds_t, const timespec *, const sigset_t *);
using select_fn = int (*)(int, fd_set *, fd_set *, fd_set *, timeval *);
using pselect_fn = int (*)(int, fd_set *, fd_set *, fd_set *, const timespec *, const sigset_t *);
using epoll_wait_fn = int (*)(int, epoll_event *, int, int);
using nanosleep_fn = int (*)(const timespec *, timespec *);
using clock_nanosleep_fn = int (*)(clockid_t, int, const timespec *, timespec *);
using usleep_fn = int (*)(useconds_t);
using sleep_fn = unsigned (*)(unsigned);
using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);
using close_fn = int (*)(int);
using fcntl_fn = int (*)(int, int, ...);
using ioctl_fn = int (*)(int, unsigned long, ...);
using sem_fn = int (*)(sem_t *);
using sem_timedwait_fn = int (*)(sem_t *, const timespec *);
using cond_wait_fn = int (*)(pthread_cond_t *, pthread_mutex_t *);
using cond_timedwait_fn = int (*)(pthread_cond_t *, pthread_mutex_t *, const timespec *);
using cond_fn = int (*)(pthread_cond_t *);

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
	poll_fn poll;                       // poll(2)
	ppoll_fn ppoll;                     // ppoll(2)
	select_fn select;                   // select(2)
	pselect_fn pselect;                 // pselect(2)
	epoll_wait_fn epoll_wait;           // epoll_wait(2)
	nanosleep_fn nanosleep;             // nanosleep(2)
	clock_nanosleep_fn clock_nanosleep; // clock_nanosleep(2)
	usleep_fn usleep;                   // usleep(3)
	sleep_fn sleep;                     // sleep(3)
	open_fn open;                       // open(2)
	open_fn open64;                     // open64
	openat_fn openat;                   // openat(2)
	openat_fn openat64;                 // openat64
	close_fn close;                     // close(2)
	fcntl_fn fcntl;                     // fcntl(2)
	fcntl_fn fcntl64;                   // fcntl64
	ioctl_fn ioctl;                     // ioctl(2)
	sem_fn sem_wait;                    // sem_wait(3)
	sem_fn sem_trywait;                 // sem_trywait(3)
	sem_fn sem_post;                    // sem_post(3)
	sem_timedwait_fn sem_timedwait;     // sem_timedwait(3)
	cond_wait_fn cond_wait;             // pthread_cond_wait
	cond_timedwait_fn cond_timedwait;   // pthread_cond_timedwait
	cond_fn cond_signal;                // pthread_cond_signal
	cond_fn cond_broadcast;             // pthread_cond_broadcast
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

void write_report(const std::string &path)
{
	if (const jack_nframes_t rate = jack_get_sample_rate(probe.client); rate > 0)
		probe.n[rt::period_ns].store(1000000000ull * jack_get_buffer_size(probe.client) / rate);
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
	next(real.poll, "poll");
	next(real.ppoll, "ppoll");
	next(real.select, "select");
	next(real.pselect, "pselect");
	next(real.epoll_wait, "epoll_wait");
	next(real.nanosleep, "nanosleep");
	next(real.clock_nanosleep, "clock_nanosleep");
	next(real.usleep, "usleep");
	next(real.sleep, "sleep");
	next(real.open, "open");
	next(real.open64, "open64");
	next(real.openat, "openat");
	next(real.openat64, "openat64");
	next(real.close, "close");
	next(real.fcntl, "fcntl");
	next(real.fcntl64, "fcntl64");
	next(real.ioctl, "ioctl");
	next(real.sem_wait, "sem_wait");
	next(real.sem_trywait, "sem_trywait");
	next(real.sem_post, "sem_post");
	next(real.sem_timedwait, "sem_timedwait");
	next(real.cond_wait, "pthread_cond_wait");
	next(real.cond_timedwait, "pthread_cond_timedwait");
	next(real.cond_signal, "pthread_cond_signal");
	next(real.cond_broadcast, "pthread_cond_broadcast");
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
	probe.client = client;
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
	if (m != probe.link_lock)
		add(rt::foreign_locks);
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

int poll(pollfd *fds, nfds_t n, int timeout)
{
	return counted(rt::polls, real.poll, "poll", fds, n, timeout);
}

int ppoll(pollfd *fds, nfds_t n, const timespec *timeout, const sigset_t *mask)
{
	return counted(rt::polls, real.ppoll, "ppoll", fds, n, timeout, mask);
}

int select(int n, fd_set *r, fd_set *w, fd_set *e, timeval *timeout)
{
	return counted(rt::polls, real.select, "select", n, r, w, e, timeout);
}

int pselect(int n, fd_set *r, fd_set *w, fd_set *e, const timespec *timeout, const sigset_t *mask)
{
	return counted(rt::polls, real.pselect, "pselect", n, r, w, e, timeout, mask);
}

int epoll_wait(int epfd, epoll_event *events, int n, int timeout)
{
	return counted(rt::polls, real.epoll_wait, "epoll_wait", epfd, events, n, timeout);
}

int nanosleep(const timespec *t, timespec *left)
{
	return counted(rt::sleeps, real.nanosleep, "nanosleep", t, left);
}

int clock_nanosleep(clockid_t clock, int flags, const timespec *t, timespec *left)
{
	return counted(rt::sleeps, real.clock_nanosleep, "clock_nanosleep", clock, flags, t, left);
}

int usleep(useconds_t us)
{
	return counted(rt::sleeps, real.usleep, "usleep", us);
}

unsigned sleep(unsigned s)
{
	return counted(rt::sleeps, real.sleep, "sleep", s);
}

int open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = open_mode(flags, ap);
	va_end(ap);
	return counted(rt::opens, real.open, "open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = open_mode(flags, ap);
	va_end(ap);
	return counted(rt::opens, real.open64, "open64", path, flags, mode);
}

int openat(int dir, const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = open_mode(flags, ap);
	va_end(ap);
	return counted(rt::opens, real.openat, "openat", dir, path, flags, mode);
}

int openat64(int dir, const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const mode_t mode = open_mode(flags, ap);
	va_end(ap);
	return counted(rt::opens, real.openat64, "openat64", dir, path, flags, mode);
}

int close(int fd)
{
	return counted(rt::closes, real.close, "close", fd);
}

// fcntl and ioctl take at most one argument after the command, an integer
// or a pointer, which the calling convention passes the same way.
int fcntl(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	return counted(rt::fcntls, real.fcntl, "fcntl", fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...)
{
	va_list ap;
	va_start(ap, cmd);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	return counted(rt::fcntls, real.fcntl64, "fcntl64", fd, cmd, arg);
}

int ioctl(int fd, unsigned long request, ...)
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	return counted(rt::ioctls, real.ioctl, "ioctl", fd, request, arg);
}

int sem_wait(sem_t *s)
{
	return counted(rt::semaphores, real.sem_wait, "sem_wait", s);
}

int sem_trywait(sem_t *s)
{
	return counted(rt::semaphores, real.sem_trywait, "sem_trywait", s);
}

int sem_post(sem_t *s)
{
	return counted(rt::semaphores, real.sem_post, "sem_post", s);
}

int sem_timedwait(sem_t *s, const timespec *t)
{
	return counted(rt::semaphores, real.sem_timedwait, "sem_timedwait", s, t);
}

int pthread_cond_wait(pthread_cond_t *c, pthread_mutex_t *m)
{
	return counted(rt::conditions, real.cond_wait, "pthread_cond_wait", c, m);
}

int pthread_cond_timedwait(pthread_cond_t *c, pthread_mutex_t *m, const timespec *t)
{
	return counted(rt::conditions, real.cond_timedwait, "pthread_cond_timedwait", c, m, t);
}

int pthread_cond_signal(pthread_cond_t *c)
{
	return counted(rt::conditions, real.cond_signal, "pthread_cond_signal", c);
}

int pthread_cond_broadcast(pthread_cond_t *c)
{
	return counted(rt::conditions, real.cond_broadcast, "pthread_cond_broadcast", c);
}

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
