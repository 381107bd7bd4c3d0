// Timing rings and naps.
//
// jack_ringbuffer_mlock may be refused (a user without a memory-lock
// limit); the ring is touched whole all the same, which is what keeps the
// first periods from faulting it in, and memory_lock may have locked the
// process already.  clock_nanosleep is the one sleep used, so the FreeBSD
// build needs nothing else.  clock_gettime on the monotonic clock is read
// from memory the kernel shares with the process (Linux's vDSO, FreeBSD's
// shared page), so the process cycle may read it too.
#include "bridge/timing_ring.h"

#include <time.h>

#include <cstring>

namespace cableferry {

bool timing_ring_create(timing_ring &r, std::size_t size)
{
	r.bytes = jack_ringbuffer_create(size);
	if (r.bytes == nullptr)
		return false;
	jack_ringbuffer_mlock(r.bytes);
	std::memset(r.bytes->buf, 0, r.bytes->size);
	return true;
}

void nap(std::int64_t ns)
{
	if (ns <= 0)
		return;
	if (ns > nap_limit_ns)
		ns = nap_limit_ns;
	const timespec wait{0, static_cast<long>(ns)};
	clock_nanosleep(CLOCK_MONOTONIC, 0, &wait, nullptr);
}

std::int64_t monotonic_ns()
{
	timespec now{};
	clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

} // namespace cableferry
