// The JACK process callback.
//
// Each period it clears the output buffers, drains the capture node into
// them under link_lock, and passes every event that arrived on midi.RX to the
// playback node, behind whatever the node has not taken yet, taking
// link_lock around each step.  With -t it exchanges stamped MIDI with the
// two timing threads instead, one period late, and takes no lock.
#pragma once

#include <jack/types.h>

namespace cableferry {

// Registered with jack_set_process_callback; arg is null.  Returns 0.
int process_cycle(jack_nframes_t nframes, void *arg);

// With -t: the cycle keeps its clock, at rate frames a second.  Start-up,
// before activation.
void process_cycle_keep_time(jack_nframes_t rate);

} // namespace cableferry
