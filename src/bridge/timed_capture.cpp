// Timed capture.
//
// The ring carries fixed-size chunks: the bytes of one read (at most 16),
// the moment on the monotonic clock at which poll reported them ready, the
// closest the thread can come to the moment they arrived, and the open of
// the node they came from.  A chunk without bytes is the loss of that open.
// The cycle turns each moment into a frame time with its own clock
// (frame_stamp.h).
//
// The thread and the device link.  The main thread may close the capture
// node at any moment outside link_lock, once the slot reads -1, and the
// number may then be handed to any other file; a second later it may open
// the node again.  So the thread looks at the slot under the lock (its
// descriptor, and which open it is), polls the descriptor without the lock,
// and reads only under the lock, and only when the slot still holds the open
// it looked at, never from the copy.  Polling a copy that was closed or
// reused meanwhile costs nothing: poll reads no data, it answers at once
// (POLLNVAL, or a readiness that is not ours), or its timeout of
// poll_wait_ms ends it; the read then finds the slot changed, or a
// non-blocking node with nothing ready, and the thread looks again.  A read
// that gives nothing after poll said ready (a FIFO whose writer left reports
// a hang-up for ever) is followed by a nap, so the thread never spins.
//
// The loss.  The thread remembers the open it watches.  When a look finds
// the slot closed, or holding another open, the watched one has gone, and
// the thread puts its loss in the ring before it reads anything else; the
// loss thus follows every byte read from that open and comes before every
// byte of the next.  A ring without room for it is tried again after a nap.
// The cycle takes the loss as it takes a chunk, once it is due, and does not
// go past it until captured_notes is released; then it names the lost open
// in capture_released for the main thread (note_release.h).
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

#include <algorithm>
#include <array>

#include "bridge/capture_drain.h"
#include "bridge/frame_stamp.h"
#include "bridge/note_release.h"
#include "bridge/packetiser.h"
#include "bridge/timing_ring.h"
#include "bridge/whole_sysex.h"
#include "device/device_link.h"
#include "device/link_counters.h"

namespace cableferry {

namespace {

// The longest poll on the capture node: a node that was reopened, or a
// descriptor polled after it was retired, is looked at again within this.
constexpr int poll_wait_ms = 10;

// The nap after a read that gave nothing, or when the ring is full.
constexpr std::int64_t quiet_nap_ns = nap_limit_ns;

// One read of the capture node and its stamp, or the loss of an open.
struct stamped_chunk {
	std::int64_t when;                               // monotonic ns when poll found the bytes ready, or the loss was seen
	std::uint32_t open;                              // the open of the node (device_link_t::capture_opens)
	std::uint8_t length;                             // bytes used in data; 0: the open was lost here
	std::array<std::uint8_t, read_buffer_size> data; // the bytes, as read
};

// 4096 chunks, 128 KiB: over a second of a MIDI line even at one byte a read.
constexpr std::size_t ring_size = 4096 * sizeof(stamped_chunk);

struct timed_capture_t {
	timing_ring ring;                // chunks from the thread to the cycle; no bytes when -t is off
	std::uint32_t watched = 0;       // the open the thread watches, 0 for none (thread only)
	stamped_chunk held{};            // the chunk the cycle is handing out (cycle only)
	std::size_t held_pos = 0;        // next byte of held to hand out (cycle only)
	bool releasing = false;          // held is a loss whose release is not all out (cycle only)
};

timed_capture_t timed_capture;

// The capture slot as one look under the lock found it.
struct slot_look {
	int fd;            // its descriptor, -1 while closed
	std::uint32_t open; // which open of the node that is
};

slot_look look_at_slot()
{
	pthread_mutex_lock(&link_lock);
	const slot_look look{device_link.capture_fd, device_link.capture_opens};
	pthread_mutex_unlock(&link_lock);
	return look;
}

// One non-blocking read into bytes, from the slot as it stands under the
// lock, as long as it still holds open; -1 otherwise.
ssize_t read_slot(std::uint32_t open, std::array<std::uint8_t, read_buffer_size> &bytes)
{
	ssize_t n = -1;
	pthread_mutex_lock(&link_lock);
	if (device_link.capture_fd >= 0 && device_link.capture_opens == open)
		n = read(device_link.capture_fd, bytes.data(), bytes.size());
	pthread_mutex_unlock(&link_lock);
	return n;
}

} // namespace

bool timed_capture_prepare()
{
	return timing_ring_create(timed_capture.ring, ring_size);
}

bool timed_capture_on()
{
	return timed_capture.ring.bytes != nullptr;
}

bool timed_capture_put(std::int64_t when, std::uint32_t open, std::span<const std::uint8_t> bytes)
{
	timing_ring &r = timed_capture.ring;
	stamped_chunk c{when, open, static_cast<std::uint8_t>(bytes.size()), {}};
	if (bytes.size() > c.data.size() || writable(r) < sizeof c)
		return false;
	std::copy(bytes.begin(), bytes.end(), c.data.begin());
	jack_ringbuffer_write(r.bytes, reinterpret_cast<const char *>(&c), sizeof c);
	wrote(r, sizeof c);
	return true;
}

void *timed_capture_thread(void *)
{
	timed_capture_t &tc = timed_capture;
	for (;;) {
		const slot_look slot = look_at_slot();
		if (tc.watched != 0 && (slot.fd < 0 || slot.open != tc.watched)) {
			// The watched open has gone: its loss, behind its bytes.
			if (timed_capture_put(monotonic_ns(), tc.watched, {}))
				tc.watched = 0;
			else
				nap(quiet_nap_ns);
			continue;
		}
		if (slot.fd < 0) {
			nap(quiet_nap_ns);
			continue;
		}
		tc.watched = slot.open;
		pollfd p{slot.fd, POLLIN, 0};
		if (poll(&p, 1, poll_wait_ms) <= 0)
			continue;
		const std::int64_t when = monotonic_ns();
		if (writable(tc.ring) < sizeof(stamped_chunk)) {
			nap(quiet_nap_ns);
			continue;
		}
		std::array<std::uint8_t, read_buffer_size> bytes;
		const ssize_t n = read_slot(slot.open, bytes);
		if (n <= 0) {
			nap(quiet_nap_ns);
			continue;
		}
		count(link_counters.capture.bytes, static_cast<std::uint64_t>(n));
		// Only this thread writes the ring, so the room it had is still there.
		timed_capture_put(when, slot.open, std::span(bytes).first(static_cast<std::size_t>(n)));
	}
}

void timed_capture_cycle(emission_t &e, const cycle_clock_t &clock)
{
	timed_capture_t &tc = timed_capture;
	const jack_nframes_t cycle_start = clock.start_frame;
	const std::size_t bound = capture_byte_bound(e.nframes);
	std::size_t taken = 0;
	while (e.events[tx_index] < e.nframes) {
		const stamp_at at{clock_frame(clock, tc.held.when), cycle_start};
		if (!emit_gathered(e, &at))
			return; // a whole SysEx waits for room, at its stamp
		if (tc.releasing) {
			if (!capture_release(e, &at))
				return; // the rest in the next period
			tc.releasing = false;
			release_state.capture_released.store(tc.held.open, std::memory_order_release);
		}
		if (tc.held_pos >= tc.held.length) {
			if (taken >= bound) {
				count(link_counters.capture.bounded_cycles);
				return;
			}
			stamped_chunk next;
			if (readable(tc.ring) < sizeof next)
				return;
			jack_ringbuffer_peek(tc.ring.bytes, reinterpret_cast<char *>(&next), sizeof next);
			if (!stamp_due(clock_frame(clock, next.when), cycle_start))
				return;
			jack_ringbuffer_read_advance(tc.ring.bytes, sizeof next);
			took(tc.ring, sizeof next);
			tc.held = next;
			tc.held_pos = 0;
			tc.releasing = next.length == 0;
			taken += next.length;
			continue;
		}
		std::size_t used = 0;
		const midi_packet *p = packetise_bytes(
			std::span(tc.held.data).subspan(tc.held_pos, tc.held.length - tc.held_pos), used);
		tc.held_pos += used;
		if (p != nullptr)
			held_notes_track(captured_notes, packet_bytes(*p));
		if (emit_packet(e, p, &at))
			return;
	}
}

} // namespace cableferry
