// Timed playback.
//
// The ring holds records of a header and the event's bytes, written as one
// piece so that the thread never sees a header without its bytes.  An event
// the ring cannot take (the thread has fallen more than a few periods
// behind, or the event is larger than the thread's buffer) leaves a header
// without bytes that carries the event's first and last byte: the thread
// passes it to playback_lost, so that the playback queue treats a SysEx cut
// there as it treats one it cut itself.  A whole event always leaves room
// for such a header behind it, so the first loss after it is always marked.
//
// The thread looks at the oldest event; when it is not yet due, it naps
// for the frames that are left, converted at the sample rate, or for
// nap_limit_ns if that is shorter, and looks again, so a JACK clock that
// moves differently from the monotonic one is followed.  When it is due, it
// takes link_lock, sends on what the queue still holds and then the event,
// as the untimed cycle does, hands what the queue took to played_notes, and
// lets go.  With nothing in the ring it naps, after the playback upkeep the
// untimed cycle does every period (note_release.h): the queue sent on, and
// the release that a midi.RX left without clients asks for, which thus
// comes after every event sent before it.  Once the bridge is ending no
// event goes out, so the main thread's release is the last word.  The node
// is non-blocking, so nothing done under the lock waits for it.
#include "bridge/timed_playback.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "bridge/frame_stamp.h"
#include "bridge/note_release.h"
#include "bridge/timing_ring.h"
#include "device/device_link.h"
#include "device/playback_queue.h"

namespace cableferry {

namespace {

// The largest event the thread writes: twice jackd2's whole MIDI buffer.
constexpr std::size_t largest_event = 64 * 1024;

// 256 KiB: several periods of a full midi.RX buffer.
constexpr std::size_t ring_size = 256 * 1024;

// The nap when there is nothing to write.
constexpr std::int64_t idle_nap_ns = 1'000'000;

// A record's header; size bytes of the event follow it.
struct due_event {
	jack_nframes_t due; // frame time at which it is written
	std::uint32_t size; // bytes that follow; 0: an event was lost here
	std::uint8_t first; // the lost event's first byte
	std::uint8_t last;  // the lost event's last byte
};

struct timed_playback_t {
	timing_ring ring;                 // events from the cycle to the thread; no bytes when -t is off
	jack_client_t *client = nullptr;  // whose frame time says what is due
	jack_nframes_t rate = 48000;      // its sample rate, for the naps
	std::array<std::uint8_t, largest_event> event{}; // the event being written (thread only)
};

timed_playback_t timed_playback;

// Copies n bytes from src to the write vector v, starting at offset at.
void copy_into(const jack_ringbuffer_data_t (&v)[2], std::size_t at, const void *src, std::size_t n)
{
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

// Nanoseconds that frames take at the sample rate.
std::int64_t frames_to_ns(std::int32_t frames)
{
	return static_cast<std::int64_t>(frames) * 1'000'000'000 / timed_playback.rate;
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

bool timed_playback_prepare(jack_client_t *client)
{
	timed_playback.client = client;
	timed_playback.rate = std::max<jack_nframes_t>(jack_get_sample_rate(client), 1);
	timed_playback.event.fill(0);
	return timing_ring_create(timed_playback.ring, ring_size);
}

bool timed_playback_on()
{
	return timed_playback.ring.bytes != nullptr;
}

void timed_playback_put(jack_nframes_t due, std::span<const std::uint8_t> event)
{
	if (event.empty())
		return;
	timing_ring &r = timed_playback.ring;
	const std::size_t room = writable(r);
	due_event h{due, static_cast<std::uint32_t>(event.size()), 0, 0};
	if (event.size() <= largest_event && room >= 2 * sizeof h + event.size()) {
		put_record(h, event);
		return;
	}
	if (room >= sizeof h) {
		h = {due, 0, event.front(), event.back()};
		put_record(h, {});
	}
}

void *timed_playback_thread(void *)
{
	timed_playback_t &tp = timed_playback;
	for (;;) {
		due_event h;
		if (readable(tp.ring) < sizeof h) {
			upkeep();
			nap(idle_nap_ns);
			continue;
		}
		jack_ringbuffer_peek(tp.ring.bytes, reinterpret_cast<char *>(&h), sizeof h);
		const std::int32_t ahead = frame_distance(h.due, jack_frame_time(tp.client));
		if (ahead > 0) {
			nap(frames_to_ns(ahead));
			continue;
		}
		jack_ringbuffer_read_advance(tp.ring.bytes, sizeof h);
		jack_ringbuffer_read(tp.ring.bytes, reinterpret_cast<char *>(tp.event.data()), h.size);
		took(tp.ring, sizeof h + h.size);
		write_due(h);
	}
}

} // namespace cableferry
