// The status line.
//
// The figures are read one by one from the link counters, which the
// real-time thread keeps adding to; a line is a snapshot of each figure, not
// of all of them at one instant.  A node that waits says why, when an open
// of it has failed: the reason the device link kept from its latest try.  Whether a node is open is read from its
// descriptor without the lock: the main thread, which prints, is the only
// thread that changes it.
#include "control/status.h"

#include <array>
#include <cinttypes>
#include <cstdio>

#include "control/journal.h"
#include "control/memory_lock.h"
#include "control/settings.h"
#include "device/device_link.h"

namespace cableferry {

namespace {

std::uint64_t figure(const std::atomic<std::uint64_t> &f)
{
	return f.load(std::memory_order_relaxed);
}

} // namespace

std::string status_line(std::string_view direction, std::string_view path, std::string_view state,
                        const direction_counters_t &c, std::string_view memory)
{
	std::array<char, 256> figures;
	std::snprintf(figures.data(), figures.size(),
	              ": bytes=%" PRIu64 " dropped=%" PRIu64 " queued=%" PRIu64 " peak=%" PRIu64
	              " bounded=%" PRIu64 " opened=%" PRIu64 " lost=%" PRIu64 " memory=",
	              figure(c.bytes), figure(c.dropped_events), figure(c.queued), figure(c.queue_peak),
	              figure(c.bounded_cycles), figure(c.opened), figure(c.lost));
	std::string line(direction);
	line.append(" ").append(path).append(" ").append(state).append(figures.data()).append(memory);
	return line;
}

namespace {

void report_node(bool capture, const std::string &path, int fd, const direction_counters_t &counters,
                 const char *memory)
{
	std::string state = "open";
	if (fd < 0) {
		state = "waiting";
		if (const char *reason = device_link_open_reason(capture))
			state.append(" (").append(reason).append(")");
	}
	const std::string line = status_line(capture ? "capture" : "playback", path, state, counters, memory);
	journal("%s", line.c_str());
}

} // namespace

void report_status()
{
	const char *memory = memory_lock_name(memory_locked());
	if (bridge_settings.capture_path)
		report_node(true, *bridge_settings.capture_path, device_link.capture_fd, link_counters.capture, memory);
	if (bridge_settings.playback_path)
		report_node(false, *bridge_settings.playback_path, device_link.playback_fd, link_counters.playback,
		            memory);
}

} // namespace cableferry
