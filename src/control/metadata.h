// Names for people: JACK metadata on the client and its ports.
//
// The client and port names stay as they are, since scripts and saved
// sessions rely on them.  What a patchbay shows comes from JACK's metadata
// instead, set once on the main thread after the ports are registered:
//
//   client         pretty-name  the device's description in full (with a
//                               hw: name's subdevice name), else the
//                               naming node's path
//   each port      pretty-name  what it carries ("MIDI capture, channel 1")
//                  hardware     the path of its node
//                  order        midi.TX, then channels 1 to 16, then midi.RX
//                  one alias    "<client pretty-name>:<port pretty-name>",
//                               cut to the port-name size, for patchbays
//                               that show aliases rather than metadata
//
// Metadata is a courtesy: a server without it, or a refused property, leaves
// the bridge running as it was, and nothing is reported.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "control/description.h"
#include "control/settings.h"
#include "device/alsa_rawmidi.h"

namespace cableferry {

// Ports in the order shown to people: midi.TX, midi.TX.CH0..CHF, midi.RX.
inline constexpr std::size_t labelled_port_count = 18;
inline constexpr std::size_t rx_label_index = 17;

// What one port is called for people, and where it sorts.
struct port_label_t {
	const char *port;   // the port's own short name
	const char *pretty; // its pretty-name
	int order;          // its place among the client's ports
};

// The labels in port order (index 0 midi.TX, 1 + c channel c, 17 midi.RX).
const port_label_t &port_label(std::size_t index);

// The client's pretty-name: the naming node's description in full, when
// the client name would be read from it and source has one, else the
// naming node's path.  For a hw: name the subdevice's own name follows in
// parentheses ("... (Keys MIDI 3)"), so the ports of one interface differ.
std::string client_pretty_name(const bridge_settings_t &settings, const description_source_t &source,
                               const rawmidi_port_t &port = {});

// "<client pretty-name>:<port pretty-name>", cut to max_bytes.
std::string port_alias(std::string_view client_pretty, std::string_view port_pretty,
                       std::size_t max_bytes);

// Sets the client's and its registered ports' metadata (port_table,
// bridge_settings, the platform's description source).  Main thread only,
// after the ports are registered.
void publish_metadata();

} // namespace cableferry
