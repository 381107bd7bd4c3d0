// Timed capture (-t): MIDI from the capture node placed at the frames at
// which it came, one period late.
//
// A thread of its own waits on the capture node, reads what has come and
// stamps it with the JACK frame time, and hands the bytes and their stamp to
// the process cycle through a lock-free ring with one writer and one reader.
// The cycle no longer reads the node: it takes the chunks stamped before its
// own start, feeds them to the packetiser and puts each completed message at
// the frame of the byte that completed it (frame_stamp.h), through the same
// emit_packet as the untimed drain.  The thread never waits for the cycle,
// and the cycle never waits for the thread or for link_lock.
#pragma once

#include <jack/jack.h>

#include "bridge/capture_drain.h"

namespace cableferry {

// Allocates the ring, locks it in memory where the system allows and
// touches it, and turns the cycle over to the ring.  Start-up, before
// activation; false when the ring cannot be had.
bool timed_capture_prepare(jack_client_t *client);

// True once prepared.
bool timed_capture_on();

// The capture thread, for jack_client_create_thread; never returns.
void *timed_capture_thread(void *arg);

// True when the cycle has handed out every byte the thread put in the
// ring.  The cycle, with link_lock held.
bool timed_capture_drained();

// The cycle's part: places what came before cycle_start, within the same
// limits as capture_drain.  nframes > 0.
void timed_capture_cycle(jack_nframes_t nframes, jack_nframes_t cycle_start,
                         const out_buffer_array &out_buffers, out_count_array &out_event_count,
                         const midi_sink &sink = jack_sink);

} // namespace cableferry
