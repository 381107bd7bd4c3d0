// Byte-stream packetiser.
//
// One byte in, at most one packet out.  Each byte is classed by its range and
// the first class that matches decides: real-time (F8..FF), system common and
// System Exclusive framing (F0..F7), channel status (80..EF), then data
// (00..7F), which is handled by the parse state.  The ranges are tested in
// that order.  Data bytes are the bulk of any stream, so the first three tests
// are marked unlikely and a data byte falls straight through them to a switch
// on the state; nothing else stands between a byte and its packet.
//
// A real-time byte is built in its own packet so that a message it interrupts
// is left as it was.  Every other packet is assembled in place in
// message_packet, whose first MIDI byte keeps the status between messages for
// running status.  Only the bytes each step names are written; every packet
// that completes has had its bytes past its length cleared, though callers
// copy just code_index_length of its code.  No allocation, no system call, no
// output.

#include "bridge/packetiser.h"

namespace cableferry {

packetiser_t packetiser{};

namespace {

// One byte.  The parse state is passed in a local so that a loop over many
// bytes keeps it in a register; the callers store it back.
inline __attribute__((always_inline)) const midi_packet *step(packet_state &state, std::uint8_t b)
{
	packetiser_t &p = packetiser;
	midi_packet &m = p.message_packet;

	// Real-time: a packet of its own; the message in progress is untouched.
	if (b >= 0xF8) [[unlikely]] {
		p.realtime_packet = {0x0F, {b, 0x00, 0x00}};
		return &p.realtime_packet;
	}

	// System common and the System Exclusive brackets.
	if (b >= 0xF0) [[unlikely]] {
		switch (b) {
		case 0xF0:
			m.data[0] = 0xF0;
			state = packet_state::sysex_fill_2;
			return nullptr;
		case 0xF1:
		case 0xF3:
			m.data[0] = b;
			state = packet_state::one_data;
			return nullptr;
		case 0xF2:
			m.data[0] = 0xF2;
			state = packet_state::two_data_first;
			return nullptr;
		case 0xF4:
		case 0xF5:
			state = packet_state::idle;
			return nullptr;
		case 0xF6:
			m = {0x05, {0xF6, 0x00, 0x00}};
			state = packet_state::idle;
			return &m;
		default: // F7, end of System Exclusive
			break;
		}
		const packet_state was = state;
		state = packet_state::idle;
		switch (was) {
		case packet_state::sysex_fill_1:
			m = {0x05, {0xF7, 0x00, 0x00}};
			return &m;
		case packet_state::sysex_fill_2:
			m.code_index = 0x06;
			m.data[1] = 0xF7;
			m.data[2] = 0x00;
			return &m;
		case packet_state::sysex_fill_3:
			m.code_index = 0x07;
			m.data[2] = 0xF7;
			return &m;
		default: // F7 outside System Exclusive is dropped
			return nullptr;
		}
	}

	// Channel status: remembered for running status.
	if (b >= 0x80) [[unlikely]] {
		m.data[0] = b;
		state = (b & 0xE0) == 0xC0 ? packet_state::one_data
		                                   : packet_state::two_data_first;
		return nullptr;
	}

	// Data byte.
	switch (state) {
	case packet_state::idle:
		return nullptr;
	case packet_state::one_data: {
		const std::uint8_t s = m.data[0];
		std::uint8_t code;
		if (s >= 0xF0) {
			code = 0x02;
			state = packet_state::idle;
		} else {
			code = s >> 4;
		}
		m.code_index = code;
		m.data[1] = b;
		m.data[2] = 0x00;
		return &m;
	}
	case packet_state::two_data_first:
		m.data[1] = b;
		state = packet_state::two_data_second;
		return nullptr;
	case packet_state::two_data_second: {
		const std::uint8_t s = m.data[0];
		std::uint8_t code;
		if (s >= 0xF0) {
			code = 0x03;
			state = packet_state::idle;
		} else {
			code = s >> 4;
			state = packet_state::two_data_first;
		}
		m.code_index = code;
		m.data[2] = b;
		return &m;
	}
	case packet_state::sysex_fill_1:
		m.data[0] = b;
		state = packet_state::sysex_fill_2;
		return nullptr;
	case packet_state::sysex_fill_2:
		m.data[1] = b;
		state = packet_state::sysex_fill_3;
		return nullptr;
	case packet_state::sysex_fill_3:
		m.code_index = 0x04;
		m.data[2] = b;
		state = packet_state::sysex_fill_1;
		return &m;
	}
	return nullptr;
}

} // namespace

const midi_packet *packetise_byte(std::uint8_t b)
{
	packet_state state = packetiser.parse_state;
	const midi_packet *packet = step(state, b);
	packetiser.parse_state = state;
	if (packet != nullptr)
		packetiser.current_packet = packet;
	return packet;
}

const midi_packet *packetise_bytes(std::span<const std::uint8_t> bytes, std::size_t &used)
{
	packet_state state = packetiser.parse_state;
	const midi_packet *packet = nullptr;
	std::size_t i = 0;
	while (i < bytes.size() && packet == nullptr)
		packet = step(state, bytes[i++]);
	packetiser.parse_state = state;
	if (packet != nullptr)
		packetiser.current_packet = packet;
	used = i;
	return packet;
}

void packetiser_reset()
{
	packetiser = packetiser_t{};
}

} // namespace cableferry
