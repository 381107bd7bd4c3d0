// Link counters: what has gone through each direction, for the status line.
//
// The real-time thread and the main thread both add to these, and the main
// thread reads them when asked for a status line.  Every figure is a relaxed
// atomic: an update is one lock-free add or store, so the process cycle
// never waits for a reader, and a reader sees each figure whole, though not
// all of them at one instant.  Nothing here is ever reset.
#pragma once

#include <atomic>
#include <cstdint>

namespace cableferry {

// The figures of one direction.  A figure that does not apply to the
// direction stays 0.
struct direction_counters_t {
	std::atomic<std::uint64_t> bytes{0};          // bytes read from the node, or written to it
	std::atomic<std::uint64_t> dropped_events{0}; // events dropped: no room, the rest of a cut SysEx, a cut whole one (-w)
	std::atomic<std::uint64_t> queued{0};         // bytes waiting for the node now
	std::atomic<std::uint64_t> queue_peak{0};     // most bytes ever waiting at once
	std::atomic<std::uint64_t> bounded_cycles{0}; // periods whose capture stopped at its byte bound
	std::atomic<std::uint64_t> opened{0};         // times the node was opened
	std::atomic<std::uint64_t> lost{0};           // times it was found gone and closed
};

struct link_counters_t {
	direction_counters_t capture;  // the capture node and midi.TX
	direction_counters_t playback; // midi.RX and the playback node
};

extern link_counters_t link_counters;

// Adds n to a figure.
inline void count(std::atomic<std::uint64_t> &figure, std::uint64_t n = 1)
{
	figure.fetch_add(n, std::memory_order_relaxed);
}

// Sets the bytes waiting now, and raises the peak when it is passed.  Only
// the thread that owns the queue calls it.
inline void set_queued(direction_counters_t &d, std::uint64_t now)
{
	d.queued.store(now, std::memory_order_relaxed);
	if (now > d.queue_peak.load(std::memory_order_relaxed))
		d.queue_peak.store(now, std::memory_order_relaxed);
}

} // namespace cableferry
