// Device state lines: a word each time a node's state changes.
//
// After each service of the device link the main thread compares every
// configured slot with what it last said of it, and writes one line to the
// journal (journal.h) when that differs:
//
//   capture /dev/snd/midiC1D0: opened
//   capture /dev/snd/midiC1D0: lost
//   playback hw:MkII,0,0: cannot open: no such card
//
// A node that keeps failing for one reason is reported once, however many
// seconds it stays away; a new reason is reported again.  Nothing is
// written while nothing changes.
#pragma once

namespace cableferry {

// Writes the lines for what changed since the last call.  Main thread,
// after each device_link_service().
void report_node_changes();

} // namespace cableferry
