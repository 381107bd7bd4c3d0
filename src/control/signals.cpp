// Signals the main thread takes for itself.
//
// The wait runs against a deadline on the monotonic clock, so a request that
// comes in the middle of the second is answered at once and the rest of the
// second is still waited out: the devices stay serviced once a second
// however often a user asks.
//
// SIGTERM, SIGINT and SIGHUP are taken the same way, rather than by
// handlers that set a flag.  A handler runs on whichever thread does not
// block the signal, which may be JACK's real-time thread, and a flag it sets
// still has to wake the main thread out of its wait; blocked everywhere and
// taken here, the signal is simply the end of the wait, on the one thread
// that writes the release.  Start-up is covered too: between main's first
// line and the supervision loop the main thread only waits in this function
// (the retries of background mode, with or without a server) or inside
// libjack's opening and activation of the client, after which the first
// round of the loop takes a signal that came meanwhile at once.  A signal
// that was ignored when the process started stays ignored, as before.
//
// A SIGUSR1 that the process sent itself is no status request but another
// thread waking the wait (ending.h): the loop looks at what it may have
// asked for, the server's going or a new buffer size, and waits on.
#include "control/signals.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "control/ending.h"
#include "control/keep_timing.h"
#include "control/status.h"

namespace cableferry {

namespace {

// The signals that end the bridge.
constexpr std::array<int, 3> ending_signals = {SIGTERM, SIGINT, SIGHUP};

// The signals the main thread takes, fixed by hold_signals.
struct held_t {
	sigset_t set; // status requests, and the ending signals not ignored at start
};

held_t held;

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
	sigemptyset(&held.set);
	sigaddset(&held.set, SIGUSR1);
#if defined(SIGINFO)
	sigaddset(&held.set, SIGINFO);
#endif
	for (const int sig : ending_signals) {
		struct sigaction was{};
		if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
			sigaddset(&held.set, sig);
	}
	pthread_sigmask(SIG_BLOCK, &held.set, nullptr);
}

void wait_answering(std::chrono::microseconds duration)
{
	const auto deadline = monotonic_now() + duration;
	for (;;) {
		check_server_gone();
		keep_timing_upkeep();
		const auto left = deadline - monotonic_now();
		if (left <= std::chrono::nanoseconds::zero())
			return;
		const auto whole = std::chrono::duration_cast<std::chrono::seconds>(left);
		const timespec timeout{static_cast<time_t>(whole.count()),
		                       static_cast<long>((left - whole).count())};
		siginfo_t info{};
		const int sig = sigtimedwait(&held.set, &info, &timeout);
		if (sig <= 0)
			continue; // EAGAIN at the deadline, EINTR for another signal's handler
		if (!is_status_request(sig))
			end_by_signal(sig);
		if (info.si_pid == getpid())
			continue; // a wake-up (ending.h): the loop's top sees to it
		check_server_gone();
		report_status();
	}
}

} // namespace cableferry
