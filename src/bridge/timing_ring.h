// What the two timing threads share: their rings, their clock and their
// naps.
//
// Each direction of -t has one jack_ringbuffer between JACK's thread and a
// thread of its own, with exactly one writer and one reader, so neither ever
// waits for the other.  A ring is allocated once at start-up, locked in
// memory where the system allows and touched whole, so that the process
// cycle never takes a page fault on it.  Times in the rings are on the
// monotonic clock, which all three threads read without a system call.
// The threads wait in short naps on that clock, never longer than
// nap_limit, so whatever they wait for (a node reopened, an event due) is
// looked at again soon.
//
// jack_ringbuffer orders its own indexes, but inside libjack, where neither
// the compiler nor ThreadSanitizer sees it.  So two counters of our own,
// bytes written and bytes taken, say what may be read and what may be
// written: the writer releases its count after each write and acquires the
// reader's before it writes, and the reader the other way round.  libjack's
// indexes have moved by the time a count is released, so what the counts
// allow the ring always has.  Each is one lock-free atomic operation.
#pragma once

#include <jack/ringbuffer.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace cableferry {

// One direction's ring.
struct timing_ring {
	jack_ringbuffer_t *bytes = nullptr;  // the ring itself; null until created
	std::atomic<std::uint64_t> put{0};   // bytes written so far, released by the writer
	std::atomic<std::uint64_t> taken{0}; // bytes taken so far, released by the reader
};

// Reader: bytes it may take now; and, after it took n of them.
inline std::size_t readable(timing_ring &r)
{
	return r.put.load(std::memory_order_acquire) - r.taken.load(std::memory_order_relaxed);
}
inline void took(timing_ring &r, std::size_t n) { r.taken.fetch_add(n, std::memory_order_release); }

// Writer: bytes it may write now; and, after it wrote n.
inline std::size_t writable(timing_ring &r)
{
	const std::uint64_t used = r.put.load(std::memory_order_relaxed) - r.taken.load(std::memory_order_acquire);
	return r.bytes->size - 1 - used;
}
inline void wrote(timing_ring &r, std::size_t n) { r.put.fetch_add(n, std::memory_order_release); }

// The longest a timing thread sleeps before it looks again: 2 ms.
inline constexpr std::int64_t nap_limit_ns = 2'000'000;

// Creates r.bytes with at least size bytes, locked where the system allows
// and touched; false when it cannot be had.
bool timing_ring_create(timing_ring &r, std::size_t size);

// Sleeps ns nanoseconds on the monotonic clock, at most nap_limit_ns.
void nap(std::int64_t ns);

// The monotonic clock, in nanoseconds.
std::int64_t monotonic_ns();

} // namespace cableferry
