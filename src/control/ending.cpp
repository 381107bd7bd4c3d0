// Ending.
//
// The shutdown notice, like any thread that wants something of the main
// thread, wakes it with SIGUSR1 sent to it alone.  Every thread blocks
// SIGUSR1 (signals.h), so it stays pending until the main thread's wait
// takes it, at once when it is waiting, else as soon as it is back from
// servicing the devices; the wait tells it from a status request by its
// sender, this process, and looks at server_gone.  The notifying thread then sleeps
// out its bound and ends the process itself, in case the main thread is
// held up (a device close that waits for output to drain).
//
// A signal is re-raised with the main thread's mask opened for it alone:
// the default action ends the process, and the exit below it is only for
// the case where it somehow does not.
#include "control/ending.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "bridge/note_release.h"
#include "control/settings.h"
#include "device/device_link.h"

namespace cableferry {

namespace {

// What the shutdown notice and the main thread share.
struct ending_t {
	pthread_t main_thread{};              // the thread that releases; set before any other exists
	bool main_known = false;              // main_thread is set
	std::atomic<bool> server_gone{false}; // the server has gone: the main thread ends the bridge
};

ending_t ending;

// How long the notifying thread leaves the main thread to end the bridge.
constexpr timespec server_gone_bound{2, 0};

} // namespace

void ending_prepare()
{
	ending.main_thread = pthread_self();
	ending.main_known = true;
}

void end_bridge(int status)
{
	release_playback_before_exit();
	_exit(status);
}

void end_by_signal(int sig)
{
	release_playback_before_exit();
	signal(sig, SIG_DFL);
	raise(sig); // pending: the main thread blocks it
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, sig);
	pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
	_exit(128 + sig);
}

void end_on_device_loss()
{
	if (bridge_settings.capture_path && device_link.capture_fd == -1)
		wait_for_capture_release();
	end_bridge(0);
}

void end_after_server()
{
	if (!ending.main_known || pthread_equal(ending.main_thread, pthread_self()))
		end_bridge(0);
	ending.server_gone = true;
	wake_main_thread();
	nanosleep(&server_gone_bound, nullptr);
	_exit(0);
}

void check_server_gone()
{
	if (ending.server_gone)
		end_bridge(0);
}

void wake_main_thread()
{
	if (ending.main_known)
		pthread_kill(ending.main_thread, SIGUSR1);
}

} // namespace cableferry
