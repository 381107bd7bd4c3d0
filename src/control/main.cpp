// cableferry: bridges raw MIDI device nodes and the JACK audio server.
//
// main scans the options (a usage error ends with 64, -h with 0), prepares
// the process (daemon, SIGPIPE, the lock, the first opening of the devices,
// the change of user), names and starts the JACK client, and then
// supervises the devices for ever.  The devices
// are opened, and the playback queue (with -w the SysEx buffer too) locked
// in memory, before the change of user, with the rights the daemon starts with; the rest of memory is locked
// after it, where the new user's limits allow.  Status requests and the
// ending signals are blocked first of all, before any thread exists, for
// the supervision loop to take.
#include <err.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "bridge/note_release.h"
#include "bridge/whole_sysex.h"
#include "control/client_name.h"
#include "control/ending.h"
#include "control/jack_client.h"
#include "control/memory_lock.h"
#include "control/node_state.h"
#include "control/options.h"
#include "control/settings.h"
#include "control/signals.h"
#include "control/supervise.h"
#include "control/user.h"
#include "device/device_link.h"
#include "device/playback_queue.h"

using namespace cableferry;

namespace {

void on_sigpipe(int)
{
}

// A device opened while descriptor 0, 1 or 2 is closed would get that
// number, and every message printed afterwards (libjack's among them) would
// go into the MIDI device.  Fill the gaps with the null device.
void fill_standard_descriptors()
{
	for (;;) {
		const int fd = open("/dev/null", O_RDWR);
		if (fd < 0)
			return;
		if (fd > STDERR_FILENO) {
			close(fd);
			return;
		}
	}
}

// The usage text, as one block on standard error, and the end with status.
[[noreturn]] void usage(int status)
{
	const std::string text = usage_text();
	const char *p = text.data();
	size_t left = text.size();
	while (left > 0) {
		const ssize_t n = write(STDERR_FILENO, p, left);
		if (n <= 0)
			break;
		p += n;
		left -= static_cast<size_t>(n);
	}
	exit(status);
}

} // namespace

int main(int argc, char **argv)
{
	ending_prepare();
	hold_signals();
	fill_standard_descriptors();
	const scan_outcome scan = scan_options(argc, argv, bridge_settings);
	if (scan.result == scan_result::help)
		usage(0);
	if (scan.result == scan_result::bad_user)
		errx(64, "'%s': illegal %s name", scan.bad_user, "user");
	if (scan.operand)
		warnx("ignoring '%s' and what follows", scan.operand);
	if (scan.result == scan_result::usage_error)
		usage(64);

	if (bridge_settings.background && daemon(0, 0) != 0)
		errx(69, "Could not become daemon");
	signal(SIGPIPE, on_sigpipe);
	device_link_set_paths(bridge_settings.capture_path, bridge_settings.playback_path);
	link_lock_init();
	const bool queue_locked = bridge_settings.playback_path && playback_queue_prepare();
	note_release_prepare();
	if (bridge_settings.capture_path && bridge_settings.whole_sysex)
		whole_sysex_prepare();
	device_link_service();
	report_node_changes();
	const auto &name = bridge_settings.user_name;
	if (bridge_settings.switch_user && !change_user(bridge_settings.user_id, name ? name->c_str() : nullptr))
		errx(69, "Could not set user ID");
	lock_memory(queue_locked);

	jack_connect(fit_client_name(make_client_name(bridge_settings)));
	jack_start();
	supervise();
}
