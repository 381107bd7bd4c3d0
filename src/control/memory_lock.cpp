// Memory locking.
//
// mlockall(MCL_CURRENT | MCL_FUTURE) locks every page the process has and
// every page it maps later.  The second half is the catch: with a finite
// RLIMIT_MEMLOCK and no privilege, a later mapping that passes the limit
// fails, and the JACK client's thread stacks and shared memory come after
// this point.  So everything is locked only where nothing can pass a limit:
// with the privilege to lock memory (root's, which no limit counts; on
// Linux the CAP_IPC_LOCK capability) or under an unlimited limit.
// Elsewhere the queue is locked on its own, as it always was.
//
// Sanitizer builds reserve terabytes of shadow memory, which no one can
// lock; they never try.
#include "control/memory_lock.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>


namespace cableferry {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// The outcome of lock_memory, for the status line.
struct memory_state_t {
	memory_lock locked = memory_lock::none; // what was locked
};

memory_state_t memory_state;

// Whether this process may lock memory beyond any limit.
bool privileged_to_lock()
{
#if defined(__linux__)
	constexpr int cap_ipc_lock = 14;
	char line[256];
	FILE *status = std::fopen("/proc/self/status", "re");
	if (status == nullptr)
		return false;
	unsigned long long effective = 0;
	bool found = false;
	while (!found && std::fgets(line, sizeof line, status) != nullptr)
		found = std::sscanf(line, "CapEff: %llx", &effective) == 1;
	std::fclose(status);
	return found && (effective >> cap_ipc_lock & 1) != 0;
#else
	return geteuid() == 0;
#endif
}

bool may_lock_everything()
{
	if (sanitized)
		return false;
	if (privileged_to_lock())
		return true;
	rlimit limit{};
	return getrlimit(RLIMIT_MEMLOCK, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY;
}

} // namespace

memory_lock lock_memory(bool queue_locked)
{
	if (may_lock_everything() && mlockall(MCL_CURRENT | MCL_FUTURE) == 0)
		memory_state.locked = memory_lock::all;
	else if (queue_locked)
		memory_state.locked = memory_lock::queue;
	return memory_state.locked;
}

memory_lock memory_locked()
{
	return memory_state.locked;
}

const char *memory_lock_name(memory_lock lock)
{
	switch (lock) {
	case memory_lock::all:
		return "all";
	case memory_lock::queue:
		return "queue";
	case memory_lock::none:
		break;
	}
	return "none";
}

} // namespace cableferry
