// Memory locking: keeping the real-time path out of the page-fault handler.
//
// The process cycle must never wait for a page to come in.  Where the system
// lets the daemon lock everything it maps, now and later, it does; where it
// does not, the playback queue, the one large block the cycle touches, is
// locked alone: playback_queue_prepare does that before the change of user,
// while the rights the daemon starts with still count.  Being refused is not
// an error and prints nothing: the status line tells which was done.
#pragma once

namespace cableferry {

enum class memory_lock {
	none,  // nothing could be locked
	queue, // the playback queue alone
	all,   // every page, present and future
};

// Locks what the system allows, once, after the change of user (whose
// limits then apply) and before the JACK client opens (whose mappings are
// then locked as they come).  queue_locked: the playback queue was locked.
memory_lock lock_memory(bool queue_locked);

// What lock_memory achieved; none before it ran.
memory_lock memory_locked();

// "all", "queue" or "none".
const char *memory_lock_name(memory_lock lock);

} // namespace cableferry
