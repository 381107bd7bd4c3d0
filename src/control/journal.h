// The journal: where the bridge's messages go while it runs.
//
// Without -B a message is a line on standard error in warnx's form
// ("cableferry: " and the message); under -B, where standard error is the
// null device, it goes to syslog (facility daemon, with the process id).
// The status line, the device state lines and the JACK library's own
// messages all take this one road.  Main thread, and JACK's non-real-time
// threads; never the real-time one.
#pragma once

#include <string_view>

namespace cableferry {

// One message of the bridge's own.
__attribute__((format(printf, 1, 2))) void journal(const char *format, ...);

// One line of the JACK library's, as it wrote it: without the program's
// name on standard error, as libjack prints it itself.  While repeats are
// held back (journal_hold_repeats), a line already written since is dropped.
void journal_jack_line(const char *line);

// Holds back (true) or lets through again (false) repeated lines of the JACK
// library.  Held back while the bridge waits for a server, whose every
// attempt would bring the same lines.  Main thread, before the client exists.
void journal_hold_repeats(bool hold);

} // namespace cableferry
