// Timed playback (-t): each event sent to midi.RX is written to the
// playback node at its own frame, one period late.
//
// The process cycle copies each event, with the moment on the monotonic
// clock at which it falls due, into a lock-free ring with one writer and one
// reader; that is all it does with it, and it takes no lock and makes no
// system call.  A thread of its own takes the events in order, sleeps until
// each is due and then
// writes it through the playback queue, under link_lock, exactly as the
// untimed cycle does: non-blocking, bytes in order, whole events dropped
// when the queue is full.
#pragma once

#include <jack/jack.h>

#include <cstdint>
#include <span>

namespace cableferry {

// Allocates the ring, locks it in memory where the system allows and
// touches it, with the thread's event buffer.  Start-up, before
// activation; false when the ring cannot be had.
bool timed_playback_prepare();

// True once prepared: the cycle hands midi.RX's events to the thread.
bool timed_playback_on();

// The playback thread, for jack_client_create_thread; never returns.
void *timed_playback_thread(void *arg);

// The cycle's part: one event of midi.RX, due at due (monotonic ns).  An
// event the ring has no room for is dropped whole and counted, and the
// thread is told, so that the rest of a SysEx it cut is dropped too.
void timed_playback_put(std::int64_t due, std::span<const std::uint8_t> event);

} // namespace cableferry
