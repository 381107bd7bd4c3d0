// The JACK process callback.
//
// Everything it touches lasts longer than the call and is preallocated: the
// port table, the device link, its playback queue, the packetiser and the
// rings of -t.  Each period it makes one emission record (emission.h) with
// the cleared output buffers, hands it to the capture side, and then passes
// midi.RX's events on.
//
// Without -t, the capture drain reads the node under link_lock, or once the
// node is closed the capture release goes out (behind a whole SysEx that
// waits for room, with -w), and each midi.RX event is
// written to the playback node at once, behind whatever the node has not
// taken yet, in JACK's index order; their frame times are not used.  Each
// step takes link_lock for itself, never across JACK's buffer functions.
// The only wait is link_lock, held by the main thread for a few
// non-blocking system calls at most; both device descriptors are
// non-blocking, so no device can hold up the period.  What the nodes hold
// down is kept on the way, and released when a node or midi.RX's last
// client goes (note_release.h).
//
// With -t (timed_capture.h, timed_playback.h) the cycle touches neither node
// nor link_lock.  It reads the monotonic clock to keep its cycle clock
// (frame_stamp.h), places what the capture thread stamped before the
// cycle's start, releasing what a lost node held where the ring says it was
// lost, and hands each midi.RX event, due one period after its frame, to the
// playback thread, which keeps played_notes and does the playback upkeep.
// It makes no system call and waits for nothing.
#include "bridge/process_cycle.h"

#include <jack/midiport.h>

#include "bridge/capture_drain.h"
#include "bridge/emission.h"
#include "bridge/frame_stamp.h"
#include "bridge/note_release.h"
#include "bridge/port_table.h"
#include "bridge/timed_capture.h"
#include "bridge/timed_playback.h"
#include "bridge/timing_ring.h"
#include "bridge/whole_sysex.h"
#include "device/device_link.h"
#include "device/playback_queue.h"

namespace cableferry {

namespace {

// Where the periods lie on the monotonic clock, with -t (frame_stamp.h).
// The cycle's alone.
cycle_clock_t cycle_clock;

void play_back(jack_nframes_t nframes, jack_nframes_t cycle_start)
{
	if (port_table.rx == nullptr || release_state.playback_closing.load(std::memory_order_acquire))
		return;
	const bool timed = timed_playback_on();
	if (!timed) {
		pthread_mutex_lock(&link_lock);
		playback_upkeep();
		pthread_mutex_unlock(&link_lock);
	}

	void *buffer = jack_port_get_buffer(port_table.rx, nframes);
	if (buffer == nullptr)
		return;
	const uint32_t n = jack_midi_get_event_count(buffer);
	for (uint32_t i = 0; i < n; i++) {
		jack_midi_event_t event;
		if (jack_midi_event_get(&event, buffer, i) != 0)
			continue;
		if (timed) {
			timed_playback_put(clock_time(cycle_clock, due_frame(cycle_start, nframes, event.time)),
			                   {event.buffer, event.size});
			continue;
		}
		pthread_mutex_lock(&link_lock);
		if (device_link.playback_fd >= 0)
			play_tracked(device_link.playback_fd, {event.buffer, event.size});
		pthread_mutex_unlock(&link_lock);
	}
}

} // namespace

int process_cycle(jack_nframes_t nframes, void *)
{
	if (nframes == 0)
		return 0;
	release_state.cycles.fetch_add(1, std::memory_order_relaxed);

	emission_t e{nframes, {}};
	for (std::size_t i = 0; i < output_port_count; i++) {
		void *buffer = nullptr;
		if (port_table.outputs[i] != nullptr)
			buffer = jack_port_get_buffer(port_table.outputs[i], nframes);
		if (buffer != nullptr)
			jack_midi_clear_buffer(buffer);
		e.buffers[i] = buffer;
	}

	const jack_nframes_t cycle_start = jack_last_frame_time(port_table.client);
	if (timed_capture_on() || timed_playback_on())
		cycle_clock = cycle_clock_next(cycle_clock, cycle_start, nframes, monotonic_ns());
	if (timed_capture_on()) {
		timed_capture_cycle(e, cycle_clock);
	} else if (port_table.outputs[tx_index] != nullptr) {
		pthread_mutex_lock(&link_lock);
		if (device_link.capture_fd >= 0)
			capture_drain(e);
		else if (emit_gathered(e) && capture_release(e))
			release_state.capture_released.store(device_link.capture_opens, std::memory_order_release);
		pthread_mutex_unlock(&link_lock);
	}

	play_back(nframes, cycle_start);
	return 0;
}

void process_cycle_keep_time(jack_nframes_t rate)
{
	cycle_clock = {};
	cycle_clock.rate = rate > 0 ? rate : 48000;
}

} // namespace cableferry
