// Timed playback.
//
// The ring holds records of a header and the event's bytes, written as one
// piece so that the thread never sees a header without its bytes.  An event
// the ring cannot take (the thread has fallen more than a few periods
// behind, or the event is larger than the thread's buffer) is counted as
// dropped where it is lost, in the cycle, and leaves a mark, a header
// without bytes: the thread passes it to playback_lost, so that the
// playback queue treats a SysEx cut there as it treats one it cut itself.
// A whole event always leaves room for a mark behind it, so the first loss
// after it is always marked at once.  Losses that come after that, with no
// room even for a mark, are gathered into one mark that the cycle puts
// before the next event it can put; what the queue must learn of them is
// only whether any was more than a real-time byte, and whether the latest
// such began a SysEx that it did not end, which the first byte of the
// first and the last byte of the latest tell.
//
// Each event carries the moment on the monotonic clock at which it is due,
// which the cycle worked out with its own clock (frame_stamp.h).  The
// thread looks at the oldest event; when it is not yet due, it naps until
// then, or for nap_limit_ns if that is shorter, and looks again.  When it
// is due, it
// takes link_lock, sends on what the queue still holds and then the event,
// as the untimed cycle does, hands what the queue took to played_notes, and
// lets go.  It runs above JACK's process thread, so a burst of events due
// at once is written at most burst_events events or burst_bytes bytes a
// wake, with a short nap between, which leaves the processor to JACK's
// cycle.  With nothing in the ring it naps, after the playback upkeep the
// untimed cycle does every period (note_release.h): the queue sent on, and
// the release that a midi.RX left without clients asks for, which thus
// comes after every event sent before it.  Once the bridge is ending no
// event goes out, so the main thread's release is the last word.  The node
// is non-blocking, so nothing done under the lock waits for it; link_lock
// is shared with the capture thread and the main thread only.
#include "bridge/timed_playback.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "bridge/note_release.h"
#include "bridge/timing_ring.h"
#include "device/device_link.h"
#include "device/link_counters.h"
#include "device/playback_queue.h"

namespace cableferry {

namespace {

// The largest event the thread writes: twice jackd2's whole MIDI buffer.
constexpr std::size_t largest_event = 64 * 1024;

// 256 KiB: several periods of a full midi.RX buffer.
constexpr std::size_t ring_size = 256 * 1024;

// The nap when there is nothing to write.
constexpr std::int64_t idle_nap_ns = 1'000'000;

// The most one wake writes of events that are due, and the nap after it.
constexpr std::size_t burst_events = 32;
constexpr std::size_t burst_bytes = 4096;
constexpr std::int64_t burst_nap_ns = 100'000;

// A record's header; size bytes of the event follow it.
struct due_event {
	std::int64_t due;   // monotonic ns at which it is written
	std::uint32_t size; // bytes that follow; 0: an event was lost here
	std::uint8_t first; // the lost event's first byte
	std::uint8_t last;  // the lost event's last byte
};

struct timed_playback_t {
	timing_ring ring;                 // events from the cycle to the thread; no bytes when -t is off
	std::array<std::uint8_t, largest_event> event{}; // the event being written (thread only)
	due_event lost{};                 // losses not yet marked in the ring (cycle only)
	bool lost_pending = false;        // lost holds some
};

timed_playback_t timed_playback;

// Copies n bytes from src to the write vector v, starting at offset at.
void copy_into(const jack_ringbuffer_data_t (&v)[2], std::size_t at, const void *src, std::size_t n)
{
	if (n == 0)
		return;
	const char *s = static_cast<const char *>(src);
	if (at < v[0].len) {
		const std::size_t k = std::min(n, v[0].len - at);
		std::memcpy(v[0].buf + at, s, k);
		s += k;
		n -= k;
		at = 0;
	} else {
		at -= v[0].len;
	}
	if (n > 0)
		std::memcpy(v[1].buf + at, s, n);
}

// Writes a header and its bytes as one record; the caller made room.
void put_record(const due_event &h, std::span<const std::uint8_t> bytes)
{
	timing_ring &r = timed_playback.ring;
	jack_ringbuffer_data_t v[2];
	jack_ringbuffer_get_write_vector(r.bytes, v);
	copy_into(v, 0, &h, sizeof h);
	copy_into(v, sizeof h, bytes.data(), bytes.size());
	jack_ringbuffer_write_advance(r.bytes, sizeof h + bytes.size());
	wrote(r, sizeof h + bytes.size());
}

// The upkeep of an idle moment.
void upkeep()
{
	pthread_mutex_lock(&link_lock);
	playback_upkeep();
	pthread_mutex_unlock(&link_lock);
}

// Writes the event of header h, whose bytes are in timed_playback.event.
void write_due(const due_event &h)
{
	const std::span<const std::uint8_t> event = std::span(timed_playback.event).first(h.size);
	pthread_mutex_lock(&link_lock);
	if (release_state.playback_closing.load(std::memory_order_acquire)) {
		// the bridge is ending: nothing more goes out
	} else if (h.size == 0) {
		playback_lost(h.first, h.last);
	} else if (const int fd = device_link.playback_fd; fd >= 0) {
		playback_flush(fd);
		play_tracked(fd, event);
	}
	pthread_mutex_unlock(&link_lock);
}

} // namespace

bool timed_playback_prepare()
{
	timed_playback.event.fill(0);
	return timing_ring_create(timed_playback.ring, ring_size);
}

bool timed_playback_on()
{
	return timed_playback.ring.bytes != nullptr;
}

void timed_playback_put(std::int64_t due, std::span<const std::uint8_t> event)
{
	if (event.empty())
		return;
	timed_playback_t &tp = timed_playback;
	const std::size_t room = writable(tp.ring);
	const std::size_t mark = tp.lost_pending ? sizeof(due_event) : 0;
	if (event.size() <= largest_event && room >= mark + 2 * sizeof(due_event) + event.size()) {
		if (tp.lost_pending)
			put_record(tp.lost, {});
		tp.lost_pending = false;
		put_record({due, static_cast<std::uint32_t>(event.size()), 0, 0}, event);
		return;
	}
	count(link_counters.playback.dropped_events);
	const bool real_time = event.front() >= 0xF8;
	if (!tp.lost_pending || tp.lost.first >= 0xF8)
		tp.lost = {due, 0, event.front(), event.back()};
	else if (!real_time)
		tp.lost.last = event.back();
	tp.lost.due = due;
	tp.lost_pending = true;
	if (room >= sizeof(due_event)) {
		put_record(tp.lost, {});
		tp.lost_pending = false;
	}
}

void *timed_playback_thread(void *)
{
	timed_playback_t &tp = timed_playback;
	std::size_t events = 0, bytes = 0; // written since the last nap
	for (;;) {
		due_event h;
		if (readable(tp.ring) < sizeof h) {
			upkeep();
			nap(idle_nap_ns);
			events = bytes = 0;
			continue;
		}
		jack_ringbuffer_peek(tp.ring.bytes, reinterpret_cast<char *>(&h), sizeof h);
		const std::int64_t ahead = h.due - monotonic_ns();
		if (ahead > 0 || events >= burst_events || bytes >= burst_bytes) {
			nap(ahead > 0 ? ahead : burst_nap_ns);
			events = bytes = 0;
			continue;
		}
		jack_ringbuffer_read_advance(tp.ring.bytes, sizeof h);
		jack_ringbuffer_read(tp.ring.bytes, reinterpret_cast<char *>(tp.event.data()), h.size);
		took(tp.ring, sizeof h + h.size);
		write_due(h);
		events++;
		bytes += h.size;
	}
}

} // namespace cableferry
