// Note release: no note is left hanging when a node, a client or the bridge
// goes.
//
// played_notes holds what went through midi.RX to the playback node, kept
// by the process cycle; captured_notes (capture_drain.h) what came from the
// capture node.  Each is released where its notes were heading:
//
//   - the capture node is lost: the cycle puts its release on midi.TX in
//     the next period (capture_release);
//   - midi.RX loses its last connection: JACK's thread raises rx_let_go,
//     and the next cycle queues the release of played_notes to the playback
//     node, behind what waits there;
//   - the bridge ends: the main thread writes the release of played_notes
//     to the playback node, with a short bound on the time it spends;
//   - the playback node is lost: played_notes is forgotten, since that
//     device was unplugged or reset.
//
// Both tables are guarded by link_lock.  The flags between JACK's threads
// and the main thread are atomics; the cycle only tests them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>

#include "bridge/held_notes.h"

namespace cableferry {

// What the release paths share between threads.
struct release_state_t {
	std::atomic<bool> rx_let_go{false};        // midi.RX lost its last connection: release in the next cycle
	std::atomic<bool> playback_closing{false}; // the bridge is ending: midi.RX is passed on no more
	std::atomic<std::uint64_t> cycles{0};      // process cycles run, so that waits count periods
};

extern release_state_t release_state;

// The keys and pedals held on the playback node through midi.RX.  Kept by
// the process cycle, under link_lock.
extern held_notes_t played_notes;

// How long the bridge spends, at most, writing the playback release as it
// ends.
inline constexpr std::chrono::milliseconds playback_release_bound{200};

// How many periods, at most, the main thread waits for the capture release
// to go out on midi.TX before the process ends.
inline constexpr std::uint64_t capture_release_periods = 8;

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
// has put the release of captured_notes out and run once more, at most
// capture_release_periods periods and never longer than a second.
void wait_for_capture_release();

} // namespace cableferry
