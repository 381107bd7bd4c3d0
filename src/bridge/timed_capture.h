// Timed capture (-t): MIDI from the capture node placed at the frames at
// which it came, one period late.
//
// A thread of its own waits on the capture node, reads what has come and
// stamps it with the monotonic clock, and hands the bytes and their stamp to
// the process cycle through a lock-free ring with one writer and one reader.
// The cycle never reads the node: it takes the chunks stamped before its
// own start, feeds them to the packetiser and puts each completed message at
// the frame of the byte that completed it, by its clock (frame_stamp.h),
// through the period's emission record (emission.h).
//
// The loss of the node reaches the cycle through the ring too.  Once the
// thread finds the slot closed, or opened anew, it puts a chunk without
// bytes behind the last one it read from that open: the loss, stamped when
// the thread saw it.  The cycle comes to it only after placing every byte
// before it, and releases captured_notes there, at the loss's frame, before
// it takes anything after it; captured_notes is the cycle's alone.  So the
// thread never waits for the cycle, and the cycle waits for nothing: it
// takes no lock and makes no system call.
#pragma once

#include <jack/jack.h>

#include <cstdint>
#include <span>

#include "bridge/emission.h"
#include "bridge/frame_stamp.h"

namespace cableferry {

// Allocates the ring, locks it in memory where the system allows and
// touches it, and turns the cycle over to the ring.  Start-up, before
// activation; false when the ring cannot be had.
bool timed_capture_prepare();

// True once prepared.
bool timed_capture_on();

// The capture thread, for jack_client_create_thread; never returns.
void *timed_capture_thread(void *arg);

// The thread's side: what one read of the capture node's open number open
// gave, stamped when (monotonic ns), into the ring; with no bytes, the loss
// of that open.  False, with nothing put, when the ring has no room for it.
bool timed_capture_put(std::int64_t when, std::uint32_t open, std::span<const std::uint8_t> bytes);

// The cycle's part, in the period that clock has just begun: places what
// came before its start, within the same limits as capture_drain, and
// releases what a lost node held.
void timed_capture_cycle(emission_t &e, const cycle_clock_t &clock);

} // namespace cableferry
