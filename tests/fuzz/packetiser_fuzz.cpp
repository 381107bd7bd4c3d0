// libFuzzer target for the packetiser.
//
// Feeds the input, byte by byte, through a freshly reset packetiser and
// aborts on the first packet that packet_checker refuses (the same checker
// the packetiser's stream tests use).  The same input fed through
// packetise_bytes in spans of varying length must give the same packets.

#include "bridge/packetiser.h"
#include "support/packet_check.h"

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
	cftest::packet_checker checker;
	packet_log byte_log;
	const char *problem = nullptr;
	for (std::size_t i = 0; i < size; ++i) {
		const midi_packet *p = checker.feed(input[i], problem);
		if (problem != nullptr)
			violated(problem, i, input[i]);
		if (p != nullptr)
			log_packet(byte_log, *p);
	}
	if (size > 0) {
		const packetiser_t end_state = packetiser;
		check_bulk_pass(input, size, byte_log, end_state);
	}
	return 0;
}
