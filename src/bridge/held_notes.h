// Held notes: which keys and sustain pedals one direction has left down.
//
// A tracker is a fixed table, 16 channels of 128 keys as bits, and one
// pedal bit per channel.  It is fed one complete MIDI message at a time,
// running status already expanded, and reads only channel voice messages:
// a Note On with a velocity above 0 holds its key; a Note Off, or a Note On
// at velocity 0, lets it go; control change 64 at 64 or above holds the
// pedal and below 64 lets it go; all sound off (120) and all notes off
// (123), and the mode messages that imply it (124 to 127), let go of every
// key of their channel; reset all controllers (121) lets go of the pedal.
// Everything else, System Exclusive pieces included, is passed over.
//
// The release of a tracker is what undoes it on a receiver: a Note Off
// (8n kk 40) for each held key, channel by channel and key by key, then
// control change 64 at 0 for each channel whose pedal is down, and nothing
// else.  The release writer fills a small fixed batch with the first of
// these and leaves the table alone; the caller hands each message that it
// did deliver back to held_notes_track, which lets go of what it releases.
// So a release that cannot go out whole (a full port, a full queue) goes
// on in a later period where it stopped, and nothing is released twice.
//
// No allocation, no system call, nothing shared: the owner of a tracker
// decides which thread and which lock guard it.  Nothing here knows about
// JACK or about device nodes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace cableferry {

inline constexpr std::size_t midi_channels = 16;

// What a direction holds down.
struct held_notes_t {
	std::array<std::array<std::uint64_t, 2>, midi_channels> keys; // key k of channel c: bit k % 64 of keys[c][k / 64]
	std::uint16_t pedals;                                        // bit c: channel c's sustain pedal is down
	std::uint16_t held;                                          // keys and pedals down, all channels
};

// One message of a release: always three bytes.
using release_message = std::array<std::uint8_t, 3>;

// The most messages one call of the release writer gives.
inline constexpr std::size_t release_batch_size = 16;
using release_batch = std::array<release_message, release_batch_size>;

// Takes note of one complete message (its status first).
void held_notes_track(held_notes_t &t, std::span<const std::uint8_t> message);

// True when nothing is held.
inline bool held_notes_empty(const held_notes_t &t) { return t.held == 0; }

// Forgets everything held: the receiver is gone.
void held_notes_forget(held_notes_t &t);

// Fills batch with the first messages of t's release, in order, and
// returns how many (0 when nothing is held).  t does not change.
std::size_t held_notes_release(const held_notes_t &t, release_batch &batch);

} // namespace cableferry
