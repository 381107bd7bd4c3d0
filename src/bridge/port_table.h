// The JACK client handle and its ports.
//
// Filled on the main thread while the JACK client starts, before it is
// activated, and only read afterwards, by the process cycle above all.  The
// 17 output ports sit in one array so that the cycle can walk them: index 0
// is midi.TX, index 1 + c is midi.TX.CH<c>.  A handle is null when its port
// was not registered.
#pragma once

#include <jack/jack.h>

#include <array>
#include <cstddef>

namespace cableferry {

inline constexpr std::size_t output_port_count = 17;
inline constexpr std::size_t tx_index = 0;

struct port_table_t {
	jack_client_t *client = nullptr;                           // our JACK client
	std::array<jack_port_t *, output_port_count> outputs{};   // tx, then tx_channel[0..15]
	jack_port_t *rx = nullptr;                                 // midi.RX
};

extern port_table_t port_table;

// Output index of channel c's port.
constexpr std::size_t tx_channel(unsigned c) { return 1 + c; }

} // namespace cableferry
