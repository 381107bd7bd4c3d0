// Ending: how the running bridge ends without leaving a note hanging.
//
// Whatever ends the bridge while the playback node is open (SIGTERM,
// SIGINT, SIGHUP, the JACK server going away, -k on a lost device), the
// main thread first writes the release of what came through midi.RX to
// that node (note_release.h), and only then ends the process, with the
// status it always had: 0 for the server and for -k; for a signal, the
// signal itself, re-raised with its default action, so that a caller sees
// the same wait status as before.  JACK's shutdown notice comes on a thread
// of JACK's; it only wakes the main thread, and ends the process itself
// should the main thread not have done so within a couple of seconds.
#pragma once

namespace cableferry {

// Remembers the main thread, for the shutdown notice to wake.  First thing
// in main.
void ending_prepare();

// Releases, then ends with status.  Main thread.
[[noreturn]] void end_bridge(int status);

// Releases, then ends by sig (SIGTERM, SIGINT or SIGHUP).  Main thread.
[[noreturn]] void end_by_signal(int sig);

// -k found a configured device closed: lets the capture release go out
// first, then releases and ends with 0.  Main thread.
[[noreturn]] void end_on_device_loss();

// From JACK's shutdown callback once the client is active: the server has
// gone.  Wakes the main thread, which ends the bridge with 0.
[[noreturn]] void end_after_server();

// Main thread: ends the bridge if the server has gone.
void check_server_gone();

// From any thread: wakes the main thread out of its wait, which then looks
// at what the waking thread has asked of it.  One system call.
void wake_main_thread();

} // namespace cableferry
