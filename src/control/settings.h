// Settings from the command line.
//
// One record for the life of the process.  It is filled while the options are
// scanned, before the JACK client exists, and only read afterwards, from any
// thread.  An absent string is std::nullopt; an empty one (-n "") is present.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace cableferry {

struct bridge_settings_t {
	std::optional<std::string> capture_path;  // node read; its MIDI goes to JACK (-C, -d)
	std::optional<std::string> playback_path; // node written with MIDI from JACK (-P, -d)
	std::optional<std::string> name_prefix;   // prefix of the JACK client name (-n)
	bool per_channel_ports = false;           // also register midi.TX.CH0..CHF (-S)
	bool background = false;                  // daemonise and wait for a server (-B)
	bool exit_on_device_loss = false;         // end when a configured device closes (-k)
	bool keep_timing = false;                 // keep each event's frame, one period late (-t)
	bool whole_sysex = false;                 // each captured SysEx as one event (-w)
	bool switch_user = false;                 // change user id before connecting (-U)
	std::uint32_t user_id = 0;                // the user id to change to (-U)
	std::optional<std::string> user_name;     // -U's argument when it named a user
};

extern bridge_settings_t bridge_settings;

} // namespace cableferry
