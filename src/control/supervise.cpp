// Supervision.
//
// The loop is the device-loss rule, a one-second wait (which answers status
// requests) and a service of the device link, for ever.  The rule comes
// first, so with -k a device that failed to open at start-up ends the
// process right after activation, and a device lost in a service is seen
// at once, while the capture release is still on its way (ending.h).  What
// a service changed is said right after it (node_state.h), so a loss that
// ends the process under -k is in the journal first.
#include "control/supervise.h"

#include <unistd.h>

#include "control/ending.h"
#include "control/node_state.h"
#include "control/settings.h"
#include "control/signals.h"
#include "device/device_link.h"

namespace cableferry {

void end_process(int status)
{
	_exit(status);
}

void apply_device_loss_rule()
{
	if (!bridge_settings.exit_on_device_loss)
		return;
	if ((bridge_settings.playback_path && device_link.playback_fd == -1) ||
	    (bridge_settings.capture_path && device_link.capture_fd == -1))
		end_on_device_loss();
}

void supervision_round()
{
	apply_device_loss_rule();
	wait_answering(std::chrono::seconds(1));
	device_link_service();
	report_node_changes();
}

void supervise()
{
	for (;;)
		supervision_round();
}

} // namespace cableferry
