// The JACK process callback.
//
// Everything it touches lasts longer than the call and is preallocated: the
// port table, the device link, its playback queue and the packetiser.  The
// only wait is link_lock, held by the main thread for a few non-blocking
// system calls at most; both device descriptors are non-blocking, so no
// device can hold up the period.  Playback first sends on what earlier
// periods left in the queue, then this period's events in JACK's index
// order, each exactly as it came; their frame times are not used.  Each
// step takes link_lock for itself, never across JACK's buffer functions.
// What the nodes hold down is kept on the way, and released when a node or
// midi.RX's last client goes (note_release.h).
//
// With -t (timed_capture.h, timed_playback.h) the cycle touches neither
// node: it places what the capture thread stamped before the cycle's start,
// and hands each midi.RX event, due one period after its frame, to the
// playback thread, which keeps played_notes and does the playback upkeep.
// It still takes link_lock around the capture step, for captured_notes; the
// capture thread holds the lock only for one non-blocking read and its
// entry in the ring.  The release of a lost capture node waits until the
// ring is empty, so that it comes after every message the node sent.
#include "bridge/process_cycle.h"

#include <jack/midiport.h>

#include "bridge/capture_drain.h"
#include "bridge/frame_stamp.h"
#include "bridge/note_release.h"
#include "bridge/port_table.h"
#include "bridge/timed_capture.h"
#include "bridge/timed_playback.h"
#include "device/device_link.h"
#include "device/playback_queue.h"

namespace cableferry {

namespace {

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
			timed_playback_put(due_frame(cycle_start, nframes, event.time), {event.buffer, event.size});
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

	out_buffer_array out_buffers;
	out_count_array out_event_count{};
	for (std::size_t i = 0; i < output_port_count; i++) {
		void *buffer = nullptr;
		if (port_table.outputs[i] != nullptr)
			buffer = jack_port_get_buffer(port_table.outputs[i], nframes);
		if (buffer != nullptr)
			jack_midi_clear_buffer(buffer);
		out_buffers[i] = buffer;
	}

	const jack_nframes_t cycle_start = jack_last_frame_time(port_table.client);
	pthread_mutex_lock(&link_lock);
	if (timed_capture_on()) {
		timed_capture_cycle(nframes, cycle_start, out_buffers, out_event_count);
		if (device_link.capture_fd < 0 && timed_capture_drained())
			capture_release(nframes, out_buffers, out_event_count);
	} else if (device_link.capture_fd >= 0) {
		capture_drain(nframes, out_buffers, out_event_count);
	} else {
		capture_release(nframes, out_buffers, out_event_count);
	}
	pthread_mutex_unlock(&link_lock);

	play_back(nframes, cycle_start);
	return 0;
}

} // namespace cableferry
