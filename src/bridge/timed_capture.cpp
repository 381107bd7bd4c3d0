// Timed capture.
//
// The ring carries fixed-size chunks: the bytes of one read (at most 16) and
// the frame time at which poll reported them ready, the closest the thread
// can come to the moment they arrived.
//
// The thread and the device link.  The main thread may close the capture
// node at any moment outside link_lock, once the slot reads -1, and the
// number may then be handed to any other file.  So the thread copies the
// slot under the lock, polls the copy without the lock, and reads only
// under the lock, from the slot as it stands then, never from the copy.
// Polling a copy that was closed or reused meanwhile costs nothing: poll
// reads no data, it answers at once (POLLNVAL, or a readiness that is not
// ours), or its timeout of poll_wait_ms ends it; the read then finds the
// slot closed, or a non-blocking node with nothing ready, and the thread
// copies the slot anew.  A read that gives nothing after poll said ready
// (a FIFO whose writer left reports a hang-up for ever) is followed by a
// nap, so the thread never spins.
//
// The bounds.  The thread reads no more than the ring has room for: when
// the cycle falls behind, the bytes wait in the node, as they do in the
// untimed drain, and the thread naps instead of spinning at its real-time
// priority.  It counts the bytes it reads.  The cycle takes at most
// capture_byte_bound(nframes) bytes a period from the ring, the bound of
// the untimed drain: the bound protects JACK's thread, which is the one
// that consumes them here, and with the ring's room it also bounds the
// thread, which can read no faster than the cycle empties the ring.  A chunk
// stamped at or after the cycle's start stays in the ring for the next
// cycle; a chunk whose bytes the period had no room for stays in held.
#include "bridge/timed_capture.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <span>

#include "bridge/frame_stamp.h"
#include "bridge/packetiser.h"
#include "bridge/timing_ring.h"
#include "device/device_link.h"
#include "device/link_counters.h"

namespace cableferry {

namespace {

// The longest poll on the capture node: a node that was reopened, or a
// descriptor polled after it was retired, is looked at again within this.
constexpr int poll_wait_ms = 10;

// The nap after a read that gave nothing, or when the ring is full.
constexpr std::int64_t quiet_nap_ns = nap_limit_ns;

// One read of the capture node and its stamp.
struct stamped_chunk {
	jack_nframes_t stamp;                            // frame time when poll found the bytes ready
	std::uint8_t length;                             // bytes used in data
	std::array<std::uint8_t, read_buffer_size> data; // the bytes, as read
};

// 4096 chunks, 96 KiB: over a second of a MIDI line even at one byte a read.
constexpr std::size_t ring_size = 4096 * sizeof(stamped_chunk);

struct timed_capture_t {
	timing_ring ring;                  // chunks from the thread to the cycle; no bytes when -t is off
	jack_client_t *client = nullptr;   // whose frame time stamps the chunks
	stamped_chunk held{};              // the chunk the cycle is handing out (cycle only)
	std::size_t held_pos = 0;          // next byte of held to hand out (cycle only)
};

timed_capture_t timed_capture;

// The capture descriptor as it stands now, -1 while closed.
int capture_slot()
{
	pthread_mutex_lock(&link_lock);
	const int fd = device_link.capture_fd;
	pthread_mutex_unlock(&link_lock);
	return fd;
}

// One non-blocking read from the capture slot as it stands under the lock,
// put in the ring before the lock goes: a cycle that finds the slot closed
// under the lock, and the ring empty, has had every byte the node gave.
ssize_t read_slot(stamped_chunk &c)
{
	ssize_t n = -1;
	pthread_mutex_lock(&link_lock);
	if (device_link.capture_fd >= 0)
		n = read(device_link.capture_fd, c.data.data(), c.data.size());
	if (n > 0) {
		c.length = static_cast<std::uint8_t>(n);
		jack_ringbuffer_write(timed_capture.ring.bytes, reinterpret_cast<const char *>(&c), sizeof c);
		wrote(timed_capture.ring, sizeof c);
	}
	pthread_mutex_unlock(&link_lock);
	return n;
}

} // namespace

bool timed_capture_prepare(jack_client_t *client)
{
	timed_capture.client = client;
	return timing_ring_create(timed_capture.ring, ring_size);
}

bool timed_capture_on()
{
	return timed_capture.ring.bytes != nullptr;
}

void *timed_capture_thread(void *)
{
	timed_capture_t &tc = timed_capture;
	for (;;) {
		const int watched = capture_slot();
		if (watched < 0) {
			nap(quiet_nap_ns);
			continue;
		}
		pollfd p{watched, POLLIN, 0};
		if (poll(&p, 1, poll_wait_ms) <= 0)
			continue;
		stamped_chunk c{};
		c.stamp = jack_frame_time(tc.client);
		if (writable(tc.ring) < sizeof c) {
			nap(quiet_nap_ns);
			continue;
		}
		const ssize_t n = read_slot(c);
		if (n <= 0) {
			nap(quiet_nap_ns);
			continue;
		}
		count(link_counters.capture.bytes, static_cast<std::uint64_t>(n));
	}
}

bool timed_capture_drained()
{
	return timed_capture.held_pos >= timed_capture.held.length && readable(timed_capture.ring) == 0;
}

void timed_capture_cycle(jack_nframes_t nframes, jack_nframes_t cycle_start,
                         const out_buffer_array &out_buffers, out_count_array &out_event_count,
                         const midi_sink &sink)
{
	timed_capture_t &tc = timed_capture;
	out_count_array last{};
	const std::size_t bound = capture_byte_bound(nframes);
	std::size_t taken = 0;
	while (out_event_count[tx_index] < nframes) {
		if (tc.held_pos >= tc.held.length) {
			if (taken >= bound) {
				count(link_counters.capture.bounded_cycles);
				return;
			}
			stamped_chunk next;
			if (readable(tc.ring) < sizeof next)
				return;
			jack_ringbuffer_peek(tc.ring.bytes, reinterpret_cast<char *>(&next), sizeof next);
			if (!stamp_due(next.stamp, cycle_start))
				return;
			jack_ringbuffer_read_advance(tc.ring.bytes, sizeof next);
			took(tc.ring, sizeof next);
			tc.held = next;
			tc.held_pos = 0;
			taken += next.length;
		}
		std::size_t used = 0;
		const midi_packet *p = packetise_bytes(
			std::span(tc.held.data).subspan(tc.held_pos, tc.held.length - tc.held_pos), used);
		tc.held_pos += used;
		if (p == nullptr)
			continue;
		const stamp_place at{tc.held.stamp, cycle_start, last};
		if (emit_packet(*p, nframes, out_buffers, out_event_count, sink, &at))
			return;
	}
}

} // namespace cableferry
