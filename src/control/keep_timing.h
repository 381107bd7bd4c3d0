// -t: the rings, the port latency and the two timing threads.
//
// With -t each direction gets a ring and a thread of its own (see
// bridge/timed_capture.h and bridge/timed_playback.h), and the ports
// declare the one period by which the bridge then delays all MIDI, so that
// hosts can line recorded MIDI up with audio; they declare the new period
// as soon as the buffer size changes.  Without -t nothing here runs and
// nothing changes.
#pragma once

namespace cableferry {

// Before activation: the rings of the directions in use, and the latency
// and buffer-size callbacks.  A ring that cannot be had is fatal (69).
void keep_timing_prepare();

// The main thread, whenever it wakes: after a change of buffer size, has
// JACK recompute the latencies, so that the ports declare the new period.
void keep_timing_upkeep();

// After activation: the threads, real-time just above JACK's process thread
// when the client is real-time, else, or where that is refused, ordinary
// ones.  A thread that cannot be had at all is fatal (69).
void keep_timing_start();

} // namespace cableferry
