// Signals the main thread takes for itself.
//
// A status request (SIGUSR1, and SIGINFO where the system has one) is never
// handled asynchronously.  main blocks it before any other thread exists, so
// every thread libjack starts later inherits the block, and the supervision
// loop takes it with sigtimedwait while it waits out its second.  No handler
// interrupts any thread, the real-time one least of all, and the answer is
// printed on the main thread, between two services of the devices.
// SIGTERM, SIGINT and SIGHUP are held and taken alike; taking one ends the
// bridge (ending.h).
#pragma once

#include <chrono>

namespace cableferry {

// Blocks the signals the main thread takes, leaving out an ending signal
// that is ignored.  First thing in main.
void hold_signals();

// Waits for duration, answering each status request as it comes, and
// recomputing the latencies after a change of buffer size (keep_timing.h);
// an ending signal, or the server's going, ends the bridge instead.
void wait_answering(std::chrono::microseconds duration);

} // namespace cableferry
