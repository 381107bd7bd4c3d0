// Device state lines.
//
// The device link keeps the descriptor of each slot and the reason its
// latest open failed; this file keeps what was last said of each, and says
// the difference.  A loss is said before the reason the node cannot be
// opened again, which the next service finds.
#include "control/node_state.h"

#include <string>

#include "control/journal.h"
#include "control/settings.h"
#include "device/device_link.h"

namespace cableferry {

namespace {

// What was last said of one slot.
struct said_t {
	bool open = false; // "opened" was the latest word
	int error = 0;     // the open failure last reported; 0 for none
};

// The two slots' words.
struct node_words_t {
	said_t capture;  // of the capture slot
	said_t playback; // of the playback slot
};

node_words_t node_words;

void report_slot(bool capture, const std::string &path, int fd, said_t &said)
{
	const char *direction = capture ? "capture" : "playback";
	if (fd >= 0) {
		if (!said.open)
			journal("%s %s: opened", direction, path.c_str());
		said = {true, 0};
		return;
	}
	if (said.open)
		journal("%s %s: lost", direction, path.c_str());
	said.open = false;
	const int error = device_link_open_error(capture);
	if (error != 0 && error != said.error)
		journal("%s %s: cannot open: %s", direction, path.c_str(), device_link_open_reason(capture));
	said.error = error;
}

} // namespace

void report_node_changes()
{
	if (bridge_settings.capture_path)
		report_slot(true, *bridge_settings.capture_path, device_link.capture_fd, node_words.capture);
	if (bridge_settings.playback_path)
		report_slot(false, *bridge_settings.playback_path, device_link.playback_fd, node_words.playback);
}

} // namespace cableferry
