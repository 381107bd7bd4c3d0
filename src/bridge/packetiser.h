// Byte-stream packetiser: cuts a raw MIDI 1.0 byte stream into USB MIDI
// event packets, one byte at a time.
//
// A packet is four bytes: a Code Index Number, then up to three MIDI bytes.
// Channel messages keep running status; System Exclusive leaves in chunks of
// three bytes; real-time bytes (F8..FF) are returned at once from a packet of
// their own, so the message they interrupt is left untouched.  The state is
// one file-scope record, touched only by the JACK process thread.  Nothing
// here knows about JACK or about device nodes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace cableferry {

// One USB MIDI 1.0 event packet.
struct midi_packet {
	std::uint8_t code_index;          // Code Index Number, low nibble; cable 0
	std::array<std::uint8_t, 3> data; // the MIDI bytes, unused ones 0
};

// Number of MIDI bytes, counted from data[0], that a packet with each code
// index carries.
inline constexpr std::array<std::uint8_t, 16> code_index_length = {
	0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1,
};

enum class packet_state : std::uint8_t {
	idle = 0,            // no message in progress; data bytes dropped
	one_data = 1,        // status with one data byte in data[0]
	two_data_first = 2,  // status with two data bytes; next is the first
	two_data_second = 3, // next data byte is the second and completes it
	sysex_fill_1 = 4,    // inside System Exclusive; next byte to data[0]
	sysex_fill_2 = 5,    // inside System Exclusive; next byte to data[1]
	sysex_fill_3 = 6,    // inside System Exclusive; next byte to data[2]
};

struct packetiser_t {
	packet_state parse_state;         // where the current message stands
	midi_packet message_packet;       // message being assembled; data[0] holds the status
	midi_packet realtime_packet;      // real-time bytes only
	const midi_packet *current_packet; // the packet completed last
};

// The one instance; all zero at start.
extern packetiser_t packetiser;

// Feeds one byte.  Returns the completed packet, or nullptr when the byte
// completed nothing.  The packet stays valid until the next call.
const midi_packet *packetise_byte(std::uint8_t b);

// Feeds bytes from the front of the span until one completes a packet, and
// returns that packet (nullptr when the span ran out first).  used is set to
// the number of bytes taken.  The same as packetise_byte on each of them,
// but quicker over a run of bytes.
const midi_packet *packetise_bytes(std::span<const std::uint8_t> bytes, std::size_t &used);

// Puts the packetiser back to its state at start (tests and benchmarks).
void packetiser_reset();

// True while a System Exclusive message is open: its F0 came, and neither
// its F7 nor a status byte that abandons it.
inline bool packetiser_in_sysex()
{
	return packetiser.parse_state >= packet_state::sysex_fill_1;
}

} // namespace cableferry
