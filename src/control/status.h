// The status line: what each node has done since start-up, on request.
//
// SIGUSR1 (and SIGINFO, Ctrl-T on the BSDs) asks for it; the supervision
// loop answers on the main thread, so the real-time thread never prints.
// One line per configured node, to standard error, or to syslog in
// background mode, where standard error is the null device:
//
//   capture /dev/snd/midiC1D0 open: bytes=1200 dropped=0 queued=0 peak=0 bounded=0 opened=1 lost=0 memory=all
//   capture hw:MkII,0,0 waiting (no such card): bytes=0 dropped=0 ...
//
// The state is open, or waiting with the reason the latest open failed;
// bytes are those read from a capture node or written to a playback node;
// dropped counts events thrown away (no room, the rest of a cut SysEx, or
// with -w a cut SysEx whole);
// queued and peak are the bytes waiting for the node now and at most;
// bounded counts the periods whose capture stopped at its byte bound;
// opened and lost count how often the node was opened and found gone;
// memory says what is locked in memory (all, queue or none).
#pragma once

#include <string>
#include <string_view>

#include "device/link_counters.h"

namespace cableferry {

// One status line, without the program name and the newline; state is
// "open" or "waiting", with the reason in brackets when there is one.
std::string status_line(std::string_view direction, std::string_view path, std::string_view state,
                        const direction_counters_t &counters, std::string_view memory);

// Prints the line of each configured node.  Main thread only.
void report_status();

} // namespace cableferry
