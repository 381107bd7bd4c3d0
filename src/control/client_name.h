// The JACK client name.
//
// The name is built once at start-up from the settings.  Its general form is
// "<prefix>-<tail>": the prefix is -n's argument (even an empty one) or
// "cableferry"; the tail is the naming path (capture, else playback) without
// a leading "/dev/".  When no -n was given and the naming path is a USB MIDI
// node of this platform's family, the device names the client instead: its
// description, cut at the first ',' and to 16 bytes, then " #" and the
// node's sub-unit.  A refused description falls back to the general form.
// An ALSA hw: name is named after the card it was opened on, if it was:
// the card's description, then " #<device>.<subdevice>", the subdevice the
// open took, so that bridges on the ports of one interface differ.  No
// name holds a ':', JACK's separator of client and port: each one becomes
// a '-' (a hw: name that did not open gives cableferry-hw-MkII,0,2).
// Every name is built in a 128-byte buffer the way snprintf fills one, so it
// has at most 127 characters; the server's own, shorter limit is applied by
// the caller.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "control/description.h"
#include "control/settings.h"
#include "device/alsa_rawmidi.h"

namespace cableferry {

// Longest stretch of a description kept in a name, in bytes.
inline constexpr std::size_t description_keep = 16;

// The two numbers of a USB MIDI node path.
struct node_numbers_t {
	int unit;     // first number; -1 when the path did not reach it
	int sub_unit; // second number; -1 when the path did not reach it
};

// Scans path against the family's pattern as sscanf would, storing each
// number only where it matched ("/dev/umidi2" gives unit 2, sub-unit -1).  A
// number too large for an int counts as not matched.
node_numbers_t scan_node_path(std::string_view path, node_family family);

// The first `keep` bytes of text, less a UTF-8 sequence the cut would split.
std::string_view cut_utf8(std::string_view text, std::size_t keep);

// The path that names the client: capture, else playback; null when neither.
const std::string *naming_path(const bridge_settings_t &settings);

// What a source says of the naming node.
struct node_description_t {
	std::string text; // the whole description, at most 127 bytes
	int sub_unit;     // the node's second number (a hw: name's device); -1 when it has none
	int subdevice;    // a hw: name's subdevice in use; -1 for a path
};

// The naming node's description, when the client is to be named after it:
// no -n, a node of the source's family (or a hw: name that opened on
// port), a description the source gives.
std::optional<node_description_t> describe_naming_node(const bridge_settings_t &settings,
                                                       const description_source_t &source,
                                                       const rawmidi_port_t &port = {});

// "<prefix>-<tail>", cut to 127 characters.
std::string general_client_name(const bridge_settings_t &settings);

// The client name, with descriptions taken from source; port is the raw
// MIDI port the naming slot is open on.
std::string make_client_name(const bridge_settings_t &settings, const description_source_t &source,
                             const rawmidi_port_t &port = {});

// The raw MIDI port the naming slot is open on now.
const rawmidi_port_t &naming_port(const bridge_settings_t &settings);

// Builds the JACK client name from bridge_settings and the naming slot's
// port: at most 127 characters.
std::string make_client_name(const bridge_settings_t &settings);

} // namespace cableferry
