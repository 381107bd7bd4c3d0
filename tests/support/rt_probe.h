// The real-time probe: a preload library (rt_probe.cpp) that watches the
// daemon's JACK process callback from inside the real daemon, and the
// report through which a test reads what it saw.
//
//	LD_PRELOAD=<build>/tests/librt_probe.so RT_PROBE_FILE=/tmp/rt cableferry ...
//
// The library stands in for jack_set_process_callback and wraps the first
// callback the program registers.  While that callback runs it counts what
// a real-time callback must not do: heap calls, stdio or syslog output,
// reads of anything but the capture node, writes to anything but the
// playback node, locks of any mutex (those of link_lock apart), and any
// poll, sleep, open, close, fcntl, ioctl, semaphore or condition-variable
// call.  Around each callback it reads the thread's resource usage: once
// the first rt::warmup_cycles have run, a voluntary context switch (one not
// spent waiting for link_lock) or a page fault inside a callback is counted
// too.
// It also times the callback, and the lock waits, reads and writes inside it.  The callback
// side only adds to atomics; a thread of the library's own writes the
// figures to $RT_PROBE_FILE.<pid> every $RT_PROBE_INTERVAL_MS milliseconds
// (500 by default), replacing the file whole.  The daemon ends with _exit,
// so the figures of its last interval may be missing.
//
// The report is one line of name=value pairs, in the order of
// rt::counter_names, then buckets=b0,b1,...: bucket k counts the callbacks
// that took less than 2^k microseconds (the last one is open-ended).
// Times are in nanoseconds.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cftest {
namespace rt {

// The figures of a report, in the order they are written.
enum counter : std::size_t {
	reports,         // reports written so far, this one included
	resolved,        // 1 when link_lock and the device link were found in the program
	heap_watched,    // 1 when heap calls can be counted (interposed, or a sanitizer's hooks)
	cycles,          // callbacks run
	allocations,     // heap calls inside the callback
	prints,          // stdio or syslog output inside the callback
	capture_reads,   // reads of the capture node
	foreign_reads,   // reads of anything else
	playback_writes, // writes to the playback node
	foreign_writes,  // writes to anything else
	foreign_locks,   // locks of a mutex other than link_lock
	link_locks,      // locks of link_lock
	longest_ns,      // longest callback
	period_ns,       // length of a period
	over_quarter,    // callbacks longer than a quarter of a period
	over_half,       // callbacks longer than half a period
	lock_ns,         // longest lock wait inside a callback
	read_ns,         // longest read inside a callback
	write_ns,        // longest write inside a callback
	own_ns,          // longest callback less its reads and writes of the nodes
	polls,           // poll, ppoll, select, pselect or epoll_wait calls
	sleeps,          // nanosleep, clock_nanosleep, usleep or sleep calls
	opens,           // open or openat calls
	closes,          // close calls
	fcntls,          // fcntl calls
	ioctls,          // ioctl calls
	semaphores,      // sem_wait, sem_timedwait, sem_trywait or sem_post calls
	conditions,      // pthread_cond_wait, timedwait, signal or broadcast calls
	switches,        // voluntary context switches after the warm-up, less lock waits
	lock_switches,   // voluntary context switches while waiting for link_lock
	page_faults,     // page faults (minor and major) after the warm-up
	counter_count
};

inline constexpr std::array<std::string_view, counter_count> counter_names = {
	"reports", "resolved", "heap_watched", "cycles", "allocations", "prints",
	"capture_reads", "foreign_reads", "playback_writes", "foreign_writes", "foreign_locks", "link_locks",
	"longest_ns", "period_ns", "over_quarter", "over_half", "lock_ns", "read_ns", "write_ns",
	"own_ns", "polls", "sleeps", "opens", "closes", "fcntls", "ioctls", "semaphores", "conditions",
	"switches", "lock_switches", "page_faults"};

inline constexpr std::size_t buckets = 16; // 1 us .. 32 ms, the last one open-ended

// Callbacks after which switches and page faults count: the first ones may
// still fault in stack and code.
inline constexpr std::uint64_t warmup_cycles = 16;

// The calls the probe counts as forbidden, for failure messages and checks.
inline constexpr std::array<counter, 13> forbidden = {
	allocations, prints, foreign_reads, foreign_writes, foreign_locks, polls, sleeps,
	opens, closes, fcntls, ioctls, semaphores, conditions};

// One report.
struct report {
	std::array<std::uint64_t, counter_count> n{}; // the figures, by counter
	std::array<std::uint64_t, buckets> bucket{};  // callback durations

	std::uint64_t operator[](counter c) const { return n[c]; }
	// A time figure in microseconds.
	double us(counter c) const { return static_cast<double>(n[c]) / 1000; }
	// "allocations=0 prints=0 ...": the forbidden counts, for messages.
	std::string forbidden_text() const;
};

} // namespace rt

// The library and the environment that puts it into a process: the report
// goes to file.<pid>, every interval.
std::string rt_probe_library();
std::vector<std::string> rt_probe_env(const std::string &file,
                                      std::chrono::milliseconds interval = std::chrono::milliseconds(500));

// Parses a report file; nullopt when it is missing or malformed.
std::optional<rt::report> read_rt_report(const std::string &path);

// Waits until the report at path was written at least twice after this
// call began, so that it covers everything the callback did before: the
// latest report, or nullopt at the deadline.
std::optional<rt::report> settled_rt_report(const std::string &path,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(10));

} // namespace cftest
