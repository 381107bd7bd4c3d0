// Whole System Exclusive (-w): each SysEx from the capture node leaves
// midi.TX as one event, F0 first and F7 last, instead of in chunks.
//
// The packetiser cuts a SysEx into chunks of at most three bytes: code
// index 4 for the first, which begins with F0, and for each full one after
// it, then 5, 6 or 7 for the last, which ends with F7.  The drains hand every
// packet to emit_packet.  Without -w it goes straight to emit_message; with
// -w the chunks' bytes are gathered in a buffer of the bridge's own, and the
// end chunk completes the message, which goes out on midi.TX alone as one
// event, stacked behind the port's events, or with -t at the frame of the
// byte that completed it.  Every other packet goes out as it comes, so a
// real-time byte inside a SysEx goes out at once, ahead of it.
//
// A cut.  A status byte 80..F6 inside a SysEx makes the packetiser abandon
// it without an end chunk, and an F0 starts a new one.  Here that shows as a
// chunk beginning with F0 while a message is open, as a packet that is
// neither a chunk nor real-time, or, after bytes that completed nothing (F4,
// F5, a status whose message is not complete yet), as a packetiser no longer
// inside a SysEx.  The open message is then discarded whole and counted as
// one dropped event: no fragment of it leaves.
//
// Waiting for room.  A complete message goes on midi.TX whole or not at all.
// When the port has no room for it this period (it has its nframes events,
// or too few bytes left), the message waits in the buffer and the drain
// takes no byte until it is out; the next period puts it first, before
// anything that came after it.  Meanwhile the bytes behind it wait where
// they wait for a full midi.TX: in read_buffer and the node, or with -t in
// the held chunk and the ring.  The drains' limits stay (nframes events a
// port, the byte bound), so a long dump spans periods.
//
// Too large for the port.  A message longer than the buffer, or than the
// port takes in an empty period (jack_midi_max_event_size: 32,720 bytes with
// jackd2), cannot go whole; it goes in as few events as the port takes.  Once
// the buffer is full, or once the message is complete and the empty port
// refuses it, the largest piece the port takes goes out, the first one
// beginning with F0, and gathering goes on behind the rest; the last piece
// ends with F7.  A cut after a piece left discards only the rest: what left
// cannot be taken back.
//
// The buffer is a fixed block, touched and locked in memory at start-up.
// The state belongs to the process cycle, the only caller of emit_packet
// and emit_gathered.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "bridge/emission.h"
#include "bridge/packetiser.h"

namespace cableferry {

// 64 KiB: twice the largest event a jackd2 port takes.
inline constexpr std::size_t whole_sysex_size = 64 * 1024;

// Where the message in the buffer stands.
enum class gathering : std::uint8_t {
	none,  // no SysEx open
	open,  // its F0 was gathered, its F7 not yet
	ended, // its F7 was gathered: what is left waits to go out
};

struct whole_sysex_t {
	std::array<std::uint8_t, whole_sysex_size> bytes; // the message gathered and not yet out, from its front
	std::size_t length;                                // bytes of it in bytes
	gathering state;                                   // where it stands
	bool on;                                           // -w: SysEx is gathered
};

// The one instance; off and empty at start.
extern whole_sysex_t whole_sysex;

// -w: touches the buffer, locks it in memory where the system allows, and
// turns gathering on.  Start-up, before the change of user.
void whole_sysex_prepare();

// Puts the gatherer back to its state at start, on or off (tests and
// benchmarks).
void whole_sysex_reset(bool on);

// Hands what the packetiser gave, the packet p or nullptr when the bytes ran
// out first, to the output ports: to emit_message, or with -w by the rules
// above, stacked, or at at when given.  True when the drain takes nothing
// more this period: midi.TX has no room for another event, or a gathered
// message waits for room.
bool emit_packet(emission_t &e, const midi_packet *p, const stamp_at *at = nullptr);

// Before the drain takes a byte: puts out the gathered message that waits
// for room, as far as midi.TX takes it.  False while some of it still
// waits.
bool emit_gathered(emission_t &e, const stamp_at *at = nullptr);

} // namespace cableferry
