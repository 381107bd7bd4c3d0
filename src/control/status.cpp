// The status line.
//
// The figures are read one by one from the link counters, which the
// real-time thread keeps adding to; a line is a snapshot of each figure, not
// of all of them at one instant.  Whether a node is open is read from its
// descriptor without the lock: the main thread, which prints, is the only
// thread that changes it.
#include "control/status.h"

#include <err.h>
#include <syslog.h>

#include <array>
#include <cinttypes>
#include <cstdio>

#include "control/memory_lock.h"
#include "control/settings.h"
#include "device/device_link.h"

namespace cableferry {

namespace {

std::uint64_t figure(const std::atomic<std::uint64_t> &f)
{
	return f.load(std::memory_order_relaxed);
}

void print_line(const std::string &line)
{
	if (bridge_settings.background) {
		static bool opened = false;
		if (!opened)
			openlog("cableferry", LOG_PID, LOG_DAEMON);
		opened = true;
		syslog(LOG_NOTICE, "%s", line.c_str());
	} else {
		warnx("%s", line.c_str());
	}
}

} // namespace

std::string status_line(std::string_view direction, std::string_view path, bool open,
                        const direction_counters_t &c, std::string_view memory)
{
	std::array<char, 256> figures;
	std::snprintf(figures.data(), figures.size(),
	              ": bytes=%" PRIu64 " dropped=%" PRIu64 " queued=%" PRIu64 " peak=%" PRIu64
	              " bounded=%" PRIu64 " opened=%" PRIu64 " lost=%" PRIu64 " memory=",
	              figure(c.bytes), figure(c.dropped_events), figure(c.queued), figure(c.queue_peak),
	              figure(c.bounded_cycles), figure(c.opened), figure(c.lost));
	std::string line(direction);
	line.append(" ").append(path).append(open ? " open" : " waiting").append(figures.data()).append(memory);
	return line;
}

void report_status()
{
	const char *memory = memory_lock_name(memory_locked());
	if (bridge_settings.capture_path)
		print_line(status_line("capture", *bridge_settings.capture_path, device_link.capture_fd >= 0,
		                       link_counters.capture, memory));
	if (bridge_settings.playback_path)
		print_line(status_line("playback", *bridge_settings.playback_path, device_link.playback_fd >= 0,
		                       link_counters.playback, memory));
}

} // namespace cableferry
