// The journal.
//
// The repeats held back are remembered by a hash of each line, in a small
// table: a server that stays away brings the same five lines at every
// attempt, and a line that comes again with other words (another reason,
// another error number) is news and is written.  Once the table is full,
// every further line is taken for a repeat: a library that keeps finding
// new words for one failure is not worth a journal full of them.  The table
// is used only while no client exists, when libjack has no thread that
// could write; the flag is read by any thread.
#include "control/journal.h"

#include <err.h>
#include <stdarg.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <functional>

#include "control/settings.h"

namespace cableferry {

namespace {

// Lines of the JACK library's already written while repeats are held back.
struct repeats_t {
	std::atomic<bool> held{false};        // repeats are being held back; read by libjack's threads
	std::array<std::size_t, 32> seen{};   // hashes of the lines written since
	std::size_t count = 0;                // entries of seen in use
};

repeats_t repeats;

void open_syslog()
{
	static bool opened = false;
	if (!opened)
		openlog("cableferry", LOG_PID, LOG_DAEMON);
	opened = true;
}

// True when line was written while held back before; remembers it if not.
bool is_repeat(std::string_view line)
{
	const std::size_t hash = std::hash<std::string_view>{}(line);
	const auto end = repeats.seen.begin() + static_cast<std::ptrdiff_t>(repeats.count);
	if (std::find(repeats.seen.begin(), end, hash) != end || repeats.count == repeats.seen.size())
		return true;
	repeats.seen[repeats.count++] = hash;
	return false;
}

} // namespace

void journal(const char *format, ...)
{
	va_list args;
	va_start(args, format);
	if (bridge_settings.background) {
		open_syslog();
		vsyslog(LOG_NOTICE, format, args);
	} else {
		vwarnx(format, args);
	}
	va_end(args);
}

void journal_jack_line(const char *line)
{
	if (repeats.held && is_repeat(line))
		return;
	if (bridge_settings.background) {
		open_syslog();
		syslog(LOG_NOTICE, "%s", line);
		return;
	}
	// One write, so that lines of two threads never mix.
	std::array<char, 512> text;
	const std::size_t n = std::min(std::strlen(line), text.size() - 1);
	std::memcpy(text.data(), line, n);
	text[n] = '\n';
	[[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text.data(), n + 1);
}

void journal_hold_repeats(bool hold)
{
	repeats.count = 0;
	repeats.held = hold;
}

} // namespace cableferry
