// Playback queue: the bytes that the playback node has not taken yet.
//
// The playback node is non-blocking, so a device slower than the MIDI sent
// to it never holds up JACK's thread.  What the node does not take at once
// waits here, in order, and goes out first in the following periods.  The
// ring is one fixed block, touched at start-up and never resized; an event
// that does not fit whole is dropped whole, so the device never sees part
// of a message.  The queue belongs to the device link: every function below
// runs with link_lock held, and the process cycle is the only writer.
//
// A System Exclusive message often comes in pieces, one event each (our own
// midi.TX sends three bytes at a time).  Once a piece is dropped, every later
// piece of that message is dropped too, up to and including its F7, and so
// is a piece whose F0 never went out: a device may see a SysEx cut off by
// the next status byte, which receivers discard, but never a shortened one
// that looks whole.  Real-time bytes between the pieces pass as ever.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace cableferry {

// 256 KiB.  One period can bring at most one JACK MIDI buffer to midi.RX
// (32 KiB with jackd2), so the ring holds eight periods of a full port, or
// the bulk dump of a whole synthesizer bank, without dropping anything.  A
// MIDI line takes 3,125 bytes a second, so a full ring is 84 seconds of
// playing: bytes held longer than that are no longer worth sending.  It is
// small enough to lock in memory.
inline constexpr std::size_t playback_queue_size = 256 * 1024;

// Where the stream sent to the node stands with System Exclusive.
enum class sysex_state : std::uint8_t {
	none, // no SysEx open: a piece without its F0 is dropped
	open, // an F0 went out and its F7 has not: pieces go on
	cut,  // a piece of the open SysEx was dropped: the rest is dropped too
};

struct playback_queue_t {
	std::array<std::uint8_t, playback_queue_size> ring; // waiting bytes, oldest at start
	std::size_t start;                                 // index in ring of the oldest byte
	std::size_t length;                                // bytes waiting
	sysex_state sysex;                                 // SysEx framing of what went out
};

// The one instance; empty at start.
extern playback_queue_t playback_queue;

// Touches every page of the ring, and locks it in memory where the system
// allows, so that the real-time thread never takes a page fault on it.
// Called once at start-up; true when the ring is locked.
bool playback_queue_prepare();

// Writes what is queued to fd until the queue is empty or fd takes no more.
// A write error other than EAGAIN or EINTR drops what is queued.  link_lock
// held.
void playback_flush(int fd);

// One event for fd.  With nothing queued it is written at once and what fd
// did not take is queued; otherwise it goes behind the queue.  An event that
// does not fit whole in the free space is dropped whole and counted, as is
// a SysEx piece whose message was cut or never begun.  True when the event
// was written or queued whole; false when it was dropped, or the write
// failed.  link_lock held.
bool playback_send(int fd, std::span<const std::uint8_t> event);

// An event lost before it reached the queue, of which first and last are
// the first and last bytes: a SysEx it was a piece of counts as cut, as if
// the queue had refused it.  Whoever lost it counted it.  link_lock held.
void playback_lost(std::uint8_t first, std::uint8_t last);

// Drops everything queued: the slot closed, and the bytes were for that
// device.  A SysEx that was open counts as cut, so its later pieces never
// reach a device without their start.  link_lock held.
void playback_queue_clear();

} // namespace cableferry
