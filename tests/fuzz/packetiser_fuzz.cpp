// libFuzzer target for the packetiser.
//
// Feeds the input, byte by byte, through a freshly reset packetiser and
// aborts on the first packet that breaks a property the capture path relies
// on.  Alongside, a small tracker follows System Exclusive at the level of the
// byte stream (opened by F0, carried on by data bytes, closed by F7, abandoned
// by any other non-real-time status) and checks that the chunks that come out
// are exactly the bytes that went in, in order.  The same input fed through
// packetise_bytes in spans of varying length must give the same packets.

#include "bridge/packetiser.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace cableferry;

namespace {

[[noreturn]] void violated(const char *what, std::size_t at, std::uint8_t b)
{
	std::fprintf(stderr, "packetiser: %s (byte %zu = %02X)\n", what, at, b);
	std::abort();
}

// System Exclusive bytes fed but not yet seen in a packet.
struct sysex_tracker {
	bool open;                        // an F0 has been fed and not yet closed
	std::size_t count;                // bytes pending in `pending`
	std::uint8_t pending[4];          // those bytes, oldest first
};

} // namespace

// The packets of one pass, as (code index, bytes) in order.
using packet_log = std::vector<std::array<std::uint8_t, 4>>;

void log_packet(packet_log &log, const midi_packet &p)
{
	log.push_back({p.code_index, p.data[0], p.data[1], p.data[2]});
}

// The same input through packetise_bytes, in spans of varying length: the
// packets and the final state must be those of the byte-by-byte pass.
void check_bulk_pass(const std::uint8_t *input, std::size_t size, const packet_log &expected,
                     const packetiser_t &end_state)
{
	packetiser_reset();
	packet_log got;
	std::size_t at = 0, turn = 0;
	while (at < size) {
		const std::size_t span_len = std::min<std::size_t>(size - at, 1 + (input[turn++ % size] % 19));
		std::size_t offset = 0;
		while (offset < span_len) {
			std::size_t used = 0;
			const midi_packet *p = packetise_bytes({input + at + offset, span_len - offset}, used);
			if (used == 0 || used > span_len - offset)
				violated("packetise_bytes took no bytes, or too many", at + offset, input[at + offset]);
			offset += used;
			if (p == nullptr && offset != span_len)
				violated("packetise_bytes stopped without a packet", at + offset, input[at + offset - 1]);
			if (p != nullptr) {
				if (p != packetiser.current_packet)
					violated("bulk packet is not current_packet", at + offset, input[at + offset - 1]);
				log_packet(got, *p);
			}
		}
		at += span_len;
	}
	if (got != expected)
		violated("packetise_bytes and packetise_byte disagree", 0, 0);
	if (packetiser.parse_state != end_state.parse_state
	    || packetiser.message_packet.data != end_state.message_packet.data)
		violated("packetise_bytes ends in another state", 0, 0);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *input, std::size_t size)
{
	packetiser_reset();
	sysex_tracker sx{};
	packet_log byte_log;

	for (std::size_t i = 0; i < size; ++i) {
		const std::uint8_t b = input[i];
		const packet_state before = packetiser.parse_state;
		const midi_packet held = packetiser.message_packet;
		const midi_packet *p = packetise_byte(b);

		// Stream-level view of System Exclusive, before looking at the packet.
		bool closes = false;
		if (b == 0xF0) {
			sx.open = true;
			sx.count = 0;
			sx.pending[sx.count++] = b;
		} else if (sx.open && b < 0x80) {
			if (sx.count >= 3)
				violated("System Exclusive chunk not handed out after three bytes", i, b);
			sx.pending[sx.count++] = b;
		} else if (sx.open && b == 0xF7) {
			sx.pending[sx.count++] = b;
			closes = true;
		} else if (sx.open && b < 0xF8) {
			sx.open = false; // abandoned; its partial chunk never comes out
			sx.count = 0;
		}

		if (b >= 0xF8) {
			if (p == nullptr || p->code_index != 0x0F || p->data[0] != b)
				violated("real-time byte not passed through at once", i, b);
			if (packetiser.parse_state != before || packetiser.message_packet.code_index != held.code_index
			    || packetiser.message_packet.data != held.data)
				violated("real-time byte disturbed the message in progress", i, b);
		}
		if (b < 0x80 && before == packet_state::idle && p != nullptr)
			violated("stray data byte produced a packet", i, b);
		if (closes && p == nullptr)
			violated("end of System Exclusive gave no packet", i, b);
		if (p == nullptr)
			continue;
		if (p != packetiser.current_packet)
			violated("returned packet is not current_packet", i, b);
		log_packet(byte_log, *p);

		const std::uint8_t code = p->code_index;
		if (code < 0x02 || code > 0x0F)
			violated("code index that is never produced", i, b);
		if ((code == 0x0F) != (b >= 0xF8))
			violated("code index F outside real-time", i, b);
		const std::size_t len = code_index_length[code];
		if (p->data[len - 1] != b)
			violated("completing byte is not the last one copied", i, b);
		for (std::size_t k = len; k < 3; ++k)
			if (p->data[k] != 0)
				violated("byte past the length is not zero", i, b);
		if (code >= 0x08 && code <= 0x0E && (p->data[0] >> 4) != code)
			violated("channel packet status does not match its code", i, b);
		if (code == 0x02 && p->data[0] != 0xF1 && p->data[0] != 0xF3)
			violated("code 2 without F1 or F3", i, b);
		if (code == 0x03 && p->data[0] != 0xF2)
			violated("code 3 without F2", i, b);

		const bool sysex_code = code == 0x04 || code == 0x06 || code == 0x07
		                        || (code == 0x05 && p->data[0] != 0xF6);
		if (sysex_code != (sx.open && (b < 0x80 || closes)))
			violated("System Exclusive packet outside System Exclusive, or the reverse", i, b);
		if (!sysex_code)
			continue;
		if ((code == 0x04) == closes)
			violated("System Exclusive chunk with the wrong code index", i, b);
		if (len != sx.count)
			violated("System Exclusive chunk length differs from the bytes fed", i, b);
		for (std::size_t k = 0; k < len; ++k)
			if (p->data[k] != sx.pending[k])
				violated("System Exclusive chunk differs from the bytes fed", i, b);
		sx.count = 0;
		if (closes)
			sx.open = false;
	}
	if (size > 0) {
		const packetiser_t end_state = packetiser;
		check_bulk_pass(input, size, byte_log, end_state);
	}
	return 0;
}
