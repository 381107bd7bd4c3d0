// Note release: no note is left hanging when a node, a client or the bridge
// goes.
//
// played_notes holds what went through midi.RX to the playback node;
// captured_notes what came from the capture node and went out on midi.TX.
// Each is released where its notes were heading:
//
//   - the capture node is lost: the cycle puts its release on midi.TX and
//     the channel ports (capture_release), after every message the node
//     sent before it went;
//   - midi.RX loses its last connection: JACK's thread raises rx_let_go,
//     and the next cycle (with -t, the playback thread) queues the release
//     of played_notes to the playback node, behind what waits there;
//   - the bridge ends: the main thread writes the release of played_notes
//     to the playback node, with a short bound on the time it spends;
//   - the playback node is lost: played_notes is forgotten, since that
//     device was unplugged or reset.
//
// captured_notes belongs to the process cycle alone; once a loss is
// released the cycle says so in capture_released, which is what the main
// thread waits on.  played_notes is guarded by link_lock.  The flags
// between JACK's threads and the main thread are atomics; the cycle only
// tests them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>

#include "bridge/emission.h"
#include "bridge/held_notes.h"

namespace cableferry {

// What the release paths share between threads.
struct release_state_t {
	std::atomic<bool> rx_let_go{false};        // midi.RX lost its last connection: release in the next cycle
	std::atomic<bool> playback_closing{false}; // the bridge is ending: midi.RX is passed on no more
	std::atomic<std::uint64_t> cycles{0};      // process cycles run, so that waits count periods
	std::atomic<std::uint32_t> capture_released{0}; // the capture open whose loss the cycle released last
};

extern release_state_t release_state;

// The keys and pedals held on the playback node through midi.RX.  Kept by
// the process cycle, or with -t the playback thread, under link_lock.
extern held_notes_t played_notes;

// The keys and pedals the capture node holds down, as midi.TX carried them.
// The process cycle's alone.
extern held_notes_t captured_notes;

// How long the bridge spends, at most, writing the playback release as it
// ends.
inline constexpr std::chrono::milliseconds playback_release_bound{200};

// How many periods, at most, the main thread waits for the capture release
// to go out on midi.TX before the process ends.
inline constexpr std::uint64_t capture_release_periods = 8;

// The release of captured_notes on midi.TX, and on the channel ports, in
// the order a device would send it, as far as the ports take it this
// period; what is left goes in the next.  Stacked behind e's events, or with
// at at the frame of its stamp; never before a port's latest event.  True
// once nothing is held.  The cycle, once the node is lost.
bool capture_release(emission_t &e, const stamp_at *at = nullptr);

// Sends event to fd through the playback queue, and takes note of it in
// played_notes when the queue took it.  link_lock held.
bool play_tracked(int fd, std::span<const std::uint8_t> event);

// Writes both tables once, so that the process cycle takes no page fault
// on them.  Start-up.
void note_release_prepare();

// Once a period, before midi.RX's events: with the playback node open,
// sends on what waits for it, then queues the release that rx_let_go asks
// for; with it closed, forgets played_notes.  link_lock held.
void playback_upkeep();

// The main thread, when the bridge ends: stops the cycle from passing
// midi.RX on, queues the release of played_notes and writes the queue to
// the playback node until it is empty, the node fails, or the bound has
// passed.  Nothing when the node is closed.
void release_playback_before_exit();

// The main thread, once the capture node is closed: waits until the cycle
// has put the release of that open of the node out and run once more, at
// most capture_release_periods periods and never longer than a second.
void wait_for_capture_release();

} // namespace cableferry
