// Command-line scanning, and the usage text.
//
// The options are read with getopt into bridge_settings.  Scanning stops at
// the first operand; that operand and everything after it are ignored, and
// the scanner hands the operand back for main to name.  The scanner prints
// nothing of its own, except getopt's complaint about an unknown option or a
// missing argument.  The usage text is a table, one row per option, printed
// as one block: an option is added by adding its row.
#pragma once

#include <array>
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
inline constexpr const char option_string[] = "+U:kBd:hP:SC:n:tw";
#else
inline constexpr const char option_string[] = "U:kBd:hP:SC:n:tw";
#endif

// The examples of a device argument, in the names this system gives its
// MIDI nodes.
#if defined(__FreeBSD__)
inline constexpr std::string_view node_example = "/dev/umidi0.0";
inline constexpr std::string_view port_example = "/dev/umidi0.0";
#else
inline constexpr std::string_view node_example = "/dev/snd/midiC1D0";
inline constexpr std::string_view port_example = "hw:MkII,0,0";
#endif

// One option's line of the usage text: "\t-<letter> <argument> (<words>)".
struct usage_row {
	char letter;               // the option letter
	std::string_view argument; // an example of its argument; empty when it takes none
	std::string_view words;    // what it does
};

inline constexpr std::string_view usage_title = "cableferry - RAW USB/socket MIDI client";

inline constexpr std::array usage_rows = {
	usage_row{'d', node_example, "set capture and playback device"},
	usage_row{'C', port_example, "set capture device"},
	usage_row{'P', node_example, "set playback device"},
	usage_row{'S', "", "also create one capture port per MIDI channel"},
	usage_row{'U', "<user>", "after opening the devices, run as this user, on its JACK server"},
	usage_row{'B', "", "run in background, waiting for the JACK server"},
	usage_row{'k', "", "end when a device is missing or goes away"},
	usage_row{'t', "", "keep MIDI timing, one period late"},
	usage_row{'w', "", "send each System Exclusive message as one event"},
	usage_row{'n', "cableferry", "set the prefix of the client name"},
	usage_row{'h', "", "show help"},
};

// The usage text: the title, then one tab-indented line per row.
std::string usage_text();

enum class scan_result {
	run,         // settings complete; go on with start-up
	help,        // -h: print the usage text, exit 0
	usage_error, // a bad option, a missing argument or no device: usage text, exit 64
	bad_user,    // -U named neither a user nor a user id, exit 64
};

struct scan_outcome {
	scan_result result;    // what main does next
	const char *bad_user;  // the -U argument that was refused, else nullptr
	const char *operand;   // the first operand, where scanning stopped, else nullptr
};

// Scans argv into settings.  Restarts getopt, so it may be called again.
scan_outcome scan_options(int argc, char **argv, bridge_settings_t &settings);

} // namespace cableferry
