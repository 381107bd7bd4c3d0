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
#include "device/playback_queue.h"

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
}

// Forgets the first n waiting bytes.
void consume(std::size_t n)
{
	playback_queue_t &q = playback_queue;
	q.length -= n;
	// An empty ring starts again at 0, so that what comes next is one piece.
	q.start = q.length == 0 ? 0 : (q.start + n) % playback_queue_size;
}

} // namespace

void playback_queue_prepare()
{
	std::memset(playback_queue.ring.data(), 0, playback_queue.ring.size());
	mlock(playback_queue.ring.data(), playback_queue.ring.size()); // best effort
}

void playback_flush(int fd)
{
	playback_queue_t &q = playback_queue;
	while (q.length > 0) {
		const std::size_t piece = std::min(q.length, playback_queue_size - q.start);
		const ssize_t n = write(fd, q.ring.data() + q.start, piece);
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

void playback_send(int fd, std::span<const std::uint8_t> event)
{
	playback_queue_t &q = playback_queue;
	if (event.empty())
		return;
	if (event.size() > playback_queue_size - q.length) {
		q.dropped_events++;
		return;
	}
	if (q.length > 0) {
		append(event);
		return;
	}
	const ssize_t n = write(fd, event.data(), event.size());
	if (n < 0 && !transient(errno))
		return; // a failed write is not retried
	append(event.subspan(n > 0 ? static_cast<std::size_t>(n) : 0));
}

void playback_queue_clear()
{
	playback_queue.start = 0;
	playback_queue.length = 0;
}

} // namespace cableferry
