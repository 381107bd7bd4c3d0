// Held notes: streams fed through the packetiser, as the capture path feeds
// the tracker, each with the exact release it leaves.  The release is taken
// as the bridge takes it, batch by batch, each message handed back to the
// tracker, and must leave nothing for a second one.
#include <gtest/gtest.h>

#include "bridge/held_notes.h"
#include "bridge/packetiser.h"
#include "support/midi_model.h"

using namespace cableferry;
using namespace cftest;

namespace {

std::vector<bytes> release_of(held_notes_t &t)
{
	std::vector<bytes> out;
	release_batch batch;
	for (std::size_t n; out.size() < 5000 && (n = held_notes_release(t, batch)) > 0;)
		for (std::size_t i = 0; i < n; i++) {
			out.emplace_back(batch[i].begin(), batch[i].end());
			held_notes_track(t, batch[i]);
		}
	return out;
}

} // namespace

TEST(HeldNotes, ReleaseIsExactlyWhatIsStillDown)
{
	bytes many{0xB3, 0x40, 0x40, 0xB0, 0x40, 0x7F, 0x9F}; // more than one batch
	std::vector<bytes> many_release;
	for (std::uint8_t k = 0; k < 40; k++) {
		many.insert(many.end(), {k, 0x10});
		many_release.push_back({0x8F, k, 0x40});
	}
	many_release.insert(many_release.end(), {{0xB0, 0x40, 0x00}, {0xB3, 0x40, 0x00}});

	const std::vector<std::tuple<const char *, bytes, std::vector<bytes>>> cases = {
		{"on, off and velocity-0 on",
		 {0x90, 0x3C, 0x64, 0x90, 0x3E, 0x64, 0x80, 0x3C, 0x00, 0x90, 0x40, 0x64, 0x90, 0x40, 0x00},
		 {{0x80, 0x3E, 0x40}}},
		{"running status, a clock inside", {0x93, 0x30, 0x64, 0x31, 0xF8, 0x64, 0x32, 0x00, 0x30, 0x00},
		 {{0x83, 0x31, 0x40}}},
		{"the pedal: down at 64 and above; keys go first",
		 {0xB1, 0x40, 0x40, 0xB2, 0x40, 0x7F, 0xB2, 0x40, 0x3F, 0xB5, 0x40, 0x64, 0x95, 0x3C, 0x64},
		 {{0x85, 0x3C, 0x40}, {0xB1, 0x40, 0x00}, {0xB5, 0x40, 0x00}}},
		{"CC 123 and CC 120 let go of their channel's keys, not its pedal",
		 {0x94, 0x30, 0x64, 0x31, 0x64, 0x95, 0x30, 0x64, 0xB4, 0x40, 0x7F, 0xB4, 0x7B, 0x00, 0x96, 0x30, 0x64,
		  0xB6, 0x78, 0x00},
		 {{0x85, 0x30, 0x40}, {0xB4, 0x40, 0x00}}},
		{"one key held on two channels", {0x90, 0x3C, 0x64, 0x91, 0x3C, 0x64, 0x80, 0x3C, 0x00}, {{0x81, 0x3C, 0x40}}},
		{"SysEx, pressure, short messages change nothing",
		 {0xF0, 0x90, 0xF0, 0x7E, 0x3C, 0x64, 0xF7, 0xA0, 0x3C, 0x64, 0xD0, 0x40, 0xC0, 0x05}, {}},
		{"more than one batch", many, many_release},
	};
	for (const auto &[label, stream, release] : cases) {
		SCOPED_TRACE(label);
		held_notes_t t{};
		packetiser_reset();
		for (const std::uint8_t b : stream)
			if (const midi_packet *p = packetise_byte(b))
				held_notes_track(t, std::span(p->data).first(code_index_length[p->code_index]));
		EXPECT_EQ(hex(release_of(t)), hex(release));
		EXPECT_TRUE(held_notes_empty(t));
		EXPECT_TRUE(release_of(t).empty()) << "released twice";
	}
}
