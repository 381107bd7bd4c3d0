// Command-line scanning.
//
// The options are read with getopt into bridge_settings.  Scanning stops at
// the first operand; that operand and everything after it are ignored.  The
// scanner reports what main must do next and prints nothing of its own,
// except getopt's complaint about an unknown option or a missing argument.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/settings.h"

namespace cableferry {

// glibc moves operands behind the options unless the string starts with
// '+'; the BSD scanner stops at the first operand by itself and would take
// a '+' for an option letter.
#if defined(__GLIBC__)
inline constexpr const char option_string[] = "+U:kBd:hP:SC:n:t";
#else
inline constexpr const char option_string[] = "U:kBd:hP:SC:n:t";
#endif

// The usage text, written to standard error as one block.
inline constexpr std::string_view usage_text =
	"cableferry - RAW USB/socket MIDI client\n"
	"\t-d /dev/umidi0.0 (set capture and playback device)\n"
	"\t-C /dev/umidi0.0 (set capture device)\n"
	"\t-P /dev/umidi0.0 (set playback device)\n"
	"\t-S (create per channel subdevices for capture device)\n"
	"\t-U <username> (attach to this JACK user)\n"
	"\t-B (run in background)\n"
	"\t-k (terminate client if a device goes away)\n"
	"\t-n cableferry (specify port name)\n"
	"\t-h (show help)\n";

enum class scan_result {
	run,      // settings complete; go on with start-up
	usage,    // print the usage text, exit 0
	bad_user, // -U named neither a user nor a user id, exit 64
};

struct scan_outcome {
	scan_result result;   // what main does next
	const char *bad_user; // the -U argument that was refused, else nullptr
};

// Scans argv into settings.  Restarts getopt, so it may be called again.
scan_outcome scan_options(int argc, char **argv, bridge_settings_t &settings);

} // namespace cableferry
