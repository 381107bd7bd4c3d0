// Playback queue.
//
// A byte ring with a start index and a length.  A write that the node takes
// only in part, or not at all (EAGAIN), leaves the rest in the ring, and
// the next period's flush continues exactly where it stopped.  A flush stops
// at the first write the node takes short: the node is full, and asking
// again in the same period would only cost a system call.  While anything
// waits, new events go behind it, so bytes leave in the order they came and
// a message is never interleaved with another.  A write error other than
// EAGAIN or EINTR means the node is in trouble: what waits is dropped, and
// the device link's probe decides whether the node is gone.  No allocation,
// no output; write() on a non-blocking descriptor is the only system call.
//
// An event is told apart by its first byte: F0 begins a SysEx, a data byte
// or F7 continues one, F8..FF is real-time and leaves the SysEx framing
// alone, and any other status ends a SysEx that was left open.  A piece
// that ends with F7 closes its message, whether it went out or not.
#include "device/playback_queue.h"

#include "device/link_counters.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cableferry {

playback_queue_t playback_queue;

namespace {

// The node took nothing for now but is not in trouble.
bool transient(int error)
{
	return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// Appends bytes behind what waits; the caller made sure they fit.
void append(std::span<const std::uint8_t> bytes)
{
	playback_queue_t &q = playback_queue;
	const std::size_t end = (q.start + q.length) % playback_queue_size;
	const std::size_t first = std::min(bytes.size(), playback_queue_size - end);
	std::memcpy(q.ring.data() + end, bytes.data(), first);
	std::memcpy(q.ring.data(), bytes.data() + first, bytes.size() - first);
	q.length += bytes.size();
	set_queued(link_counters.playback, q.length);
}

// Forgets the first n waiting bytes.
void consume(std::size_t n)
{
	playback_queue_t &q = playback_queue;
	q.length -= n;
	// An empty ring starts again at 0, so that what comes next is one piece.
	q.start = q.length == 0 ? 0 : (q.start + n) % playback_queue_size;
	set_queued(link_counters.playback, q.length);
}

// One write to the node; what it took is counted.
ssize_t write_node(int fd, const std::uint8_t *p, std::size_t n)
{
	const ssize_t took = write(fd, p, n);
	if (took > 0)
		count(link_counters.playback.bytes, static_cast<std::uint64_t>(took));
	return took;
}

// Queues or writes a whole event; false when it was dropped.  With fd -1
// the event never reached the queue: it is dropped.
bool send_whole(int fd, std::span<const std::uint8_t> event)
{
	playback_queue_t &q = playback_queue;
	if (fd < 0 || event.size() > playback_queue_size - q.length) {
		count(link_counters.playback.dropped_events);
		return false;
	}
	if (q.length > 0) {
		append(event);
		return true;
	}
	const ssize_t n = write_node(fd, event.data(), event.size());
	if (n < 0 && !transient(errno))
		return false; // a failed write is not retried
	append(event.subspan(n > 0 ? static_cast<std::size_t>(n) : 0));
	return true;
}

} // namespace

bool playback_queue_prepare()
{
	std::memset(playback_queue.ring.data(), 0, playback_queue.ring.size());
	return mlock(playback_queue.ring.data(), playback_queue.ring.size()) == 0;
}

void playback_flush(int fd)
{
	playback_queue_t &q = playback_queue;
	while (q.length > 0) {
		const std::size_t piece = std::min(q.length, playback_queue_size - q.start);
		const ssize_t n = write_node(fd, q.ring.data() + q.start, piece);
		if (n < 0) {
			if (!transient(errno))
				playback_queue_clear();
			break;
		}
		consume(static_cast<std::size_t>(n));
		if (static_cast<std::size_t>(n) < piece)
			break; // the node is full
	}
}

bool playback_send(int fd, std::span<const std::uint8_t> event)
{
	playback_queue_t &q = playback_queue;
	if (event.empty())
		return false;
	const std::uint8_t first = event.front();
	const bool ends_sysex = event.back() == 0xF7;
	if (first >= 0xF8) // real-time
		return send_whole(fd, event);
	if (first == 0xF0) {
		const bool sent = send_whole(fd, event);
		q.sysex = ends_sysex ? sysex_state::none : sent ? sysex_state::open : sysex_state::cut;
		return sent;
	}
	if (first < 0x80 || first == 0xF7) { // the next piece of a SysEx
		bool sent = false;
		if (q.sysex != sysex_state::open) {
			count(link_counters.playback.dropped_events);
		} else if (!(sent = send_whole(fd, event))) {
			q.sysex = sysex_state::cut;
		}
		if (ends_sysex)
			q.sysex = sysex_state::none;
		return sent;
	}
	q.sysex = sysex_state::none; // any other status ends a SysEx left open
	return send_whole(fd, event);
}

void playback_lost(std::uint8_t first, std::uint8_t last)
{
	if (first >= 0xF8)
		return; // real-time: the framing stands
	// Anything else ends a SysEx left open.  A lost piece that did not end
	// its message leaves the rest to be dropped, as does none: those two
	// states drop the same pieces, and cut says why.
	const bool piece = first == 0xF0 || first == 0xF7 || first < 0x80;
	playback_queue.sysex = piece && last != 0xF7 ? sysex_state::cut : sysex_state::none;
}

void playback_queue_clear()
{
	playback_queue_t &q = playback_queue;
	q.start = 0;
	q.length = 0;
	if (q.sysex == sysex_state::open)
		q.sysex = sysex_state::cut;
	set_queued(link_counters.playback, 0);
}

} // namespace cableferry
