// Signals the main thread takes for itself.
//
// The wait runs against a deadline on the monotonic clock, so a request that
// comes in the middle of the second is answered at once and the rest of the
// second is still waited out: the devices stay serviced once a second
// however often a user asks.
#include "control/signals.h"

#include <signal.h>
#include <time.h>

#include <cerrno>

#include "control/status.h"

namespace cableferry {

namespace {

sigset_t held_signals()
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGUSR1);
#if defined(SIGINFO)
	sigaddset(&set, SIGINFO);
#endif
	return set;
}

bool is_status_request(int sig)
{
#if defined(SIGINFO)
	if (sig == SIGINFO)
		return true;
#endif
	return sig == SIGUSR1;
}

std::chrono::nanoseconds monotonic_now()
{
	timespec ts{};
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

} // namespace

void hold_signals()
{
	const sigset_t set = held_signals();
	pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void wait_answering(std::chrono::microseconds duration)
{
	const sigset_t set = held_signals();
	const auto deadline = monotonic_now() + duration;
	for (;;) {
		const auto left = deadline - monotonic_now();
		if (left <= std::chrono::nanoseconds::zero())
			return;
		const auto whole = std::chrono::duration_cast<std::chrono::seconds>(left);
		const timespec timeout{static_cast<time_t>(whole.count()),
		                       static_cast<long>((left - whole).count())};
		const int sig = sigtimedwait(&set, nullptr, &timeout);
		if (sig > 0 && is_status_request(sig))
			report_status();
		// EAGAIN at the deadline, EINTR for another signal's handler:
		// the loop looks at the clock again.
	}
}

} // namespace cableferry
