// Held notes.
//
// Keys are bits, 128 to a channel in two words, so that the release writer
// finds the held ones a word at a time instead of looking at 2,048 entries;
// held counts the bits that are set, which makes "nothing held" one test.
// A message shorter than three bytes (a Note On without its velocity, a
// program change) or with a status where a data byte belongs changes
// nothing.
#include "bridge/held_notes.h"

#include <bit>

namespace cableferry {

namespace {

constexpr std::uint8_t note_off = 0x80;
constexpr std::uint8_t note_on = 0x90;
constexpr std::uint8_t control_change = 0xB0;
constexpr std::uint8_t sustain = 64;
constexpr std::uint8_t all_sound_off = 120;
constexpr std::uint8_t reset_controllers = 121;
constexpr std::uint8_t all_notes_off = 123;
constexpr std::uint8_t poly_mode_on = 127; // 123..127 all end every note
constexpr std::uint8_t release_velocity = 0x40;

void set_key(held_notes_t &t, unsigned c, unsigned k, bool down)
{
	std::uint64_t &word = t.keys[c][k / 64];
	const std::uint64_t bit = std::uint64_t{1} << (k % 64);
	if (((word & bit) != 0) == down)
		return;
	word ^= bit;
	if (down)
		t.held++;
	else
		t.held--;
}

void set_pedal(held_notes_t &t, unsigned c, bool down)
{
	const auto bit = static_cast<std::uint16_t>(1u << c);
	if (((t.pedals & bit) != 0) == down)
		return;
	t.pedals ^= bit;
	if (down)
		t.held++;
	else
		t.held--;
}

void let_go_of_channel(held_notes_t &t, unsigned c)
{
	for (std::uint64_t &word : t.keys[c]) {
		t.held = static_cast<std::uint16_t>(t.held - std::popcount(word));
		word = 0;
	}
}

} // namespace

void held_notes_track(held_notes_t &t, std::span<const std::uint8_t> message)
{
	if (message.size() < 3 || ((message[1] | message[2]) & 0x80) != 0)
		return;
	const std::uint8_t kind = message[0] & 0xF0;
	const unsigned c = message[0] & 0x0F;
	const std::uint8_t d1 = message[1];
	const std::uint8_t d2 = message[2];
	switch (kind) {
	case note_on:
		set_key(t, c, d1, d2 > 0);
		break;
	case note_off:
		set_key(t, c, d1, false);
		break;
	case control_change:
		if (d1 == sustain)
			set_pedal(t, c, d2 >= 64);
		else if (d1 == reset_controllers)
			set_pedal(t, c, false);
		else if (d1 == all_sound_off || (d1 >= all_notes_off && d1 <= poly_mode_on))
			let_go_of_channel(t, c);
		break;
	default:
		break;
	}
}

void held_notes_forget(held_notes_t &t)
{
	if (!held_notes_empty(t))
		t = held_notes_t{};
}

std::size_t held_notes_release(const held_notes_t &t, release_batch &batch)
{
	std::size_t n = 0;
	if (held_notes_empty(t))
		return 0;
	for (unsigned c = 0; c < midi_channels; c++) {
		for (unsigned w = 0; w < t.keys[c].size(); w++) {
			for (std::uint64_t word = t.keys[c][w]; word != 0; word &= word - 1) {
				if (n == batch.size())
					return n;
				const auto k = static_cast<std::uint8_t>(w * 64 + std::countr_zero(word));
				batch[n++] = {static_cast<std::uint8_t>(note_off | c), k, release_velocity};
			}
		}
	}
	for (unsigned c = 0; c < midi_channels; c++) {
		if ((t.pedals & (1u << c)) == 0)
			continue;
		if (n == batch.size())
			return n;
		batch[n++] = {static_cast<std::uint8_t>(control_change | c), sustain, 0};
	}
	return n;
}

} // namespace cableferry
