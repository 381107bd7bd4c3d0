// Supervision: the main thread's life after start-up.
//
// Once a second the device link is serviced; with -k, a configured device
// found closed ends the process.  Run-time exits use _exit: the JACK thread
// may still be running, and no library state is torn down under it.
#pragma once

namespace cableferry {

// With -k: ends the process (status 0) when a configured slot is closed,
// after the releases (ending.h).  Reads the descriptors without the lock;
// the main thread is their only writer.
void apply_device_loss_rule();

// One round of supervision: the device-loss rule, a one-second wait that
// answers status requests, a service of the device link and the lines for
// what it changed.
void supervision_round();

// The supervision loop; never returns.
[[noreturn]] void supervise();

// Ends the process at once with status.
[[noreturn]] void end_process(int status);

} // namespace cableferry
