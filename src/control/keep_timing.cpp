// Start-up of -t.
//
// The threads are created with jack_client_create_thread, as JACK's own
// MIDI drivers create theirs, at one step above the priority of the
// client's process thread: a byte must be stamped when it comes, not when
// the period's work is done, and the playback thread must write an event
// when it falls due.  Neither thread does more than a read or a write per
// wake, so they cannot starve the process thread.  Where real-time
// scheduling is refused (no rights, no limit), the same thread runs at
// ordinary priority, and timing is only as good as the scheduler allows.
// The threads are never joined: they run until the process ends.
//
// The latency callback gives midi.TX, its channel ports and midi.RX a
// latency of one period, the current buffer size, whenever JACK asks.  JACK
// asks when the graph changes, but not when the buffer size does, and it
// refuses a request from the thread that brings that news (jackd2 calls the
// buffer-size callback on its notification thread, and first on the process
// thread at activation).  So the buffer-size callback only takes note and
// wakes the main thread (ending.h), which asks JACK to recompute the
// latencies; JACK then asks every client again, this one included.  The
// timing threads need no word of the change: the cycle hands them moments
// worked out with each period's own length.
#include "control/keep_timing.h"

#include <jack/jack.h>
#include <jack/thread.h>

#include <atomic>

#include "bridge/port_table.h"
#include "bridge/process_cycle.h"
#include "bridge/timed_capture.h"
#include "bridge/timed_playback.h"
#include "control/ending.h"
#include "control/jack_client.h"
#include "control/settings.h"

namespace cableferry {

namespace {

// What the buffer-size callback tells the main thread.
struct latency_news_t {
	std::atomic<jack_nframes_t> period{0}; // the buffer size JACK last gave
	std::atomic<bool> stale{false};        // it changed since the latencies were last recomputed
};

latency_news_t latency_news;

int on_buffer_size(jack_nframes_t period, void *)
{
	if (latency_news.period.exchange(period) != period) {
		latency_news.stale.store(true, std::memory_order_release);
		wake_main_thread();
	}
	return 0;
}

void on_latency(jack_latency_callback_mode_t mode, void *)
{
	const jack_nframes_t period = jack_get_buffer_size(port_table.client);
	jack_latency_range_t range{period, period};
	if (mode == JackCaptureLatency) {
		for (jack_port_t *port : port_table.outputs)
			if (port != nullptr)
				jack_port_set_latency_range(port, mode, &range);
	} else if (port_table.rx != nullptr) {
		jack_port_set_latency_range(port_table.rx, mode, &range);
	}
}

void start_thread(void *(*body)(void *))
{
	jack_client_t *client = port_table.client;
	jack_native_thread_t thread;
	if (jack_is_realtime(client) &&
	    jack_client_create_thread(client, &thread, jack_client_real_time_priority(client) + 1, 1, body,
	                              nullptr) == 0)
		return;
	if (jack_client_create_thread(client, &thread, 0, 0, body, nullptr) != 0)
		fail_with_client("Could not start a MIDI timing thread.");
}

} // namespace

void keep_timing_prepare()
{
	if (!bridge_settings.keep_timing)
		return;
	jack_client_t *client = port_table.client;
	if ((bridge_settings.capture_path && !timed_capture_prepare()) ||
	    (bridge_settings.playback_path && !timed_playback_prepare()))
		fail_with_client("Could not allocate MIDI timing buffers.");
	process_cycle_keep_time(jack_get_sample_rate(client));
	jack_set_latency_callback(client, on_latency, nullptr);
	latency_news.period = jack_get_buffer_size(client);
	jack_set_buffer_size_callback(client, on_buffer_size, nullptr);
}

void keep_timing_upkeep()
{
	if (latency_news.stale.load(std::memory_order_relaxed) &&
	    latency_news.stale.exchange(false, std::memory_order_acquire))
		jack_recompute_total_latencies(port_table.client);
}

void keep_timing_start()
{
	if (timed_capture_on())
		start_thread(timed_capture_thread);
	if (timed_playback_on())
		start_thread(timed_playback_thread);
}

} // namespace cableferry
