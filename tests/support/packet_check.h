// What every packet of the packetiser must be, whatever bytes come in: the
// one checker of the packetiser's stream tests and its fuzzer.
//
// packet_checker feeds bytes through packetise_byte and says what the first
// packet that breaks a property the capture path relies on got wrong.  It
// compares the packet with its own bytes (the code index they call for, the
// completing byte last, nothing past the length) and with the packetiser's
// state around it (a real-time byte leaves the message in progress alone,
// a data byte in idle gives nothing).  Alongside, it follows System
// Exclusive at the level of the byte stream (opened by F0, carried on by
// data bytes, closed by F7, abandoned by any other status but real-time) and
// checks that the chunks that come out are exactly the bytes that went in.
//
// Header only: it needs the packetiser's types, which the rest of the kit
// does without.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "bridge/packetiser.h"
#include "support/midi_model.h"

namespace cftest {

class packet_checker {
public:
	// Feeds b.  Returns the packet, or nullptr; problem is set to what is
	// wrong, or to nullptr when nothing is.
	const cableferry::midi_packet *feed(std::uint8_t b, const char *&problem)
	{
		using namespace cableferry;
		const packetiser_t before = packetiser;
		const midi_packet *p = packetise_byte(b);
		problem = check(b, before, p);
		return p;
	}

private:
	const char *check(std::uint8_t b, const cableferry::packetiser_t &before, const cableferry::midi_packet *p)
	{
		using namespace cableferry;
		const bool closes = follow_sysex(b);
		if (overfull_)
			return "System Exclusive chunk not handed out after three bytes";
		if (b >= 0xF8) {
			if (p == nullptr || p->code_index != 0xF || p->data[0] != b)
				return "real-time byte not passed through at once";
			if (packetiser.parse_state != before.parse_state ||
			    packetiser.message_packet.code_index != before.message_packet.code_index ||
			    packetiser.message_packet.data != before.message_packet.data)
				return "real-time byte disturbed the message in progress";
		}
		if (b < 0x80 && before.parse_state == packet_state::idle && p != nullptr)
			return "stray data byte produced a packet";
		if (closes && p == nullptr)
			return "end of System Exclusive gave no packet";
		if (p == nullptr)
			return nullptr;
		if (p != packetiser.current_packet)
			return "returned packet is not current_packet";

		const std::uint8_t code = p->code_index;
		if (code < 0x2 || code > 0xF)
			return say("code index " + hex(bytes{code}) + " is never produced");
		if ((code == 0xF) != (b >= 0xF8))
			return "code index F is for real-time bytes only";
		const std::size_t len = code_index_length[code];
		const std::span<const std::uint8_t> copied(p->data.data(), len);
		if (copied.back() != b)
			return "the completing byte is not the last one copied";
		for (std::size_t k = len; k < 3; ++k)
			if (p->data[k] != 0)
				return "byte past the length is not zero";
		if (const std::uint8_t want = code_index_of(copied); want != code)
			return say("code index " + hex(bytes{code}) + " on " + hex(bytes(copied.begin(), copied.end())) +
			           ", whose code index is " + hex(bytes{want}));

		const bool sysex_code = code == 0x4 || code == 0x6 || code == 0x7 || (code == 0x5 && p->data[0] != 0xF6);
		if (sysex_code != (open_ && (b < 0x80 || closes)))
			return "System Exclusive packet outside System Exclusive, or the reverse";
		if (!sysex_code)
			return nullptr;
		if ((code == 0x4) == closes)
			return "System Exclusive chunk with the wrong code index";
		if (!std::equal(copied.begin(), copied.end(), pending_.begin(), pending_.begin() + count_))
			return say("System Exclusive chunk differs from the bytes fed: " +
			           hex(bytes(copied.begin(), copied.end())) + " for " +
			           hex(bytes(pending_.begin(), pending_.begin() + count_)));
		count_ = 0;
		if (closes)
			open_ = false;
		return nullptr;
	}

	// A problem put together from the bytes at hand.
	const char *say(std::string text)
	{
		said_ = std::move(text);
		return said_.c_str();
	}

	// The stream-level view of System Exclusive, before the packet is looked
	// at.  True when b closes one.
	bool follow_sysex(std::uint8_t b)
	{
		overfull_ = false;
		if (b == 0xF0) {
			open_ = true;
			pending_[0] = b;
			count_ = 1;
		} else if (open_ && b < 0x80) {
			overfull_ = count_ >= 3;
			if (!overfull_)
				pending_[count_++] = b;
		} else if (open_ && b == 0xF7) {
			pending_[count_++] = b;
			return true;
		} else if (open_ && b < 0xF8) {
			open_ = false; // abandoned; its partial chunk never comes out
			count_ = 0;
		}
		return false;
	}

	bool open_ = false;     // an F0 has been fed and not yet closed or abandoned
	std::array<std::uint8_t, 4> pending_{}; // its bytes fed but not yet seen in a packet
	std::size_t count_ = 0;                 // how many of them
	bool overfull_ = false; // a fourth byte came before the chunk of three went out
	std::string said_;      // the last problem put together by say()
};

} // namespace cftest
