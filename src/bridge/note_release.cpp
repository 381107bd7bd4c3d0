// Note release.
//
// The playback release always goes through the playback queue, behind what
// waits there, so the device sees every message whole and in order, and a
// SysEx left open is ended honestly (the queue's own rule).  A message the
// queue takes is handed back to played_notes, which lets go of it; one the
// queue refuses stays held and is tried again, so nothing goes out twice.
//
// As the bridge ends, the main thread first raises playback_closing, which
// the cycle tests before it touches midi.RX, and then releases under
// link_lock.  A cycle that had already begun may still pass on the events
// of its period; each round of the final loop therefore releases whatever
// is held by then, so those are undone too.  Between rounds the main thread
// waits for the node with poll, outside the lock, and never past the bound:
// a device that takes nothing costs 200 ms, not a hung exit.
//
// The capture release is a message at a time, each on every port it
// belongs on or on none (emission.h), and a message counts as released only
// once it is out: one that a full port refuses stays held for the next
// period, and no port sees it twice.  Once the table is empty, the cycle
// names the open of the node it released in capture_released.  The main
// thread, which counts the opens, waits for the open it closed to be named
// there, and then for one more period, so that the clients behind midi.TX
// take the release before the client goes.
#include "bridge/note_release.h"

#include <poll.h>
#include <pthread.h>

#include <algorithm>

#include "bridge/timing_ring.h"
#include "device/device_link.h"
#include "device/playback_queue.h"

namespace cableferry {

release_state_t release_state;
held_notes_t played_notes;
held_notes_t captured_notes;

namespace {

// Queues the release of played_notes to fd, as far as the queue takes it.
// link_lock held.
void queue_playback_release(int fd)
{
	release_batch batch;
	while (const std::size_t n = held_notes_release(played_notes, batch)) {
		for (std::size_t i = 0; i < n; i++)
			if (!play_tracked(fd, batch[i]))
				return;
	}
}

std::chrono::steady_clock::time_point now()
{
	return std::chrono::steady_clock::now();
}

} // namespace

bool capture_release(emission_t &e, const stamp_at *at)
{
	if (e.buffers[tx_index] == nullptr)
		return held_notes_empty(captured_notes); // nowhere to put it this period
	release_batch batch;
	while (const std::size_t n = held_notes_release(captured_notes, batch)) {
		for (std::size_t i = 0; i < n; i++) {
			if (!emit_everywhere(e, batch[i], at))
				return false;
			held_notes_track(captured_notes, batch[i]);
		}
	}
	return true;
}

bool play_tracked(int fd, std::span<const std::uint8_t> event)
{
	if (!playback_send(fd, event))
		return false;
	held_notes_track(played_notes, event);
	return true;
}

void note_release_prepare()
{
	captured_notes = held_notes_t{};
	played_notes = held_notes_t{};
}

void playback_upkeep()
{
	const int fd = device_link.playback_fd;
	const bool let_go = release_state.rx_let_go.load(std::memory_order_relaxed) &&
	                    release_state.rx_let_go.exchange(false, std::memory_order_acquire);
	if (fd < 0) {
		held_notes_forget(played_notes);
		return;
	}
	playback_flush(fd);
	if (let_go)
		queue_playback_release(fd);
}

void release_playback_before_exit()
{
	release_state.playback_closing.store(true);
	const auto deadline = now() + playback_release_bound;
	for (;;) {
		pthread_mutex_lock(&link_lock);
		const int fd = device_link.playback_fd;
		bool done = true;
		if (fd >= 0) {
			queue_playback_release(fd);
			playback_flush(fd);
			done = playback_queue.length == 0 && held_notes_empty(played_notes);
		}
		pthread_mutex_unlock(&link_lock);
		const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now());
		if (done || left.count() <= 0)
			return;
		pollfd p{fd, POLLOUT, 0};
		const int ready = poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 10)));
		if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
			return; // the node is in trouble: nothing more will go
	}
}

void wait_for_capture_release()
{
	const std::uint32_t lost = device_link.capture_opens;
	if (lost == 0)
		return; // never opened: nothing came, nothing is held
	const auto deadline = now() + std::chrono::seconds(1);
	const std::uint64_t first = release_state.cycles.load();
	std::uint64_t released_by = 0; // a cycle that began after the release
	for (;;) {
		const std::uint64_t cycles = release_state.cycles.load();
		// The cycle that released began no later than the one after
		// cycles; the one after that began once it had ended.
		if (released_by == 0 && release_state.capture_released.load(std::memory_order_acquire) == lost)
			released_by = cycles + 2;
		if (released_by != 0 && cycles >= released_by)
			return;
		if (cycles - first > capture_release_periods || now() >= deadline)
			return;
		nap(1'000'000);
	}
}

} // namespace cableferry
