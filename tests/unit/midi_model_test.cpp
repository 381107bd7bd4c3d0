// The test kit's MIDI model, where the daemon cannot check it: how a
// comparison classes what arrived, and how bytes read from a playback node
// are cut into messages.  (Its wire and the events it owes are checked
// against the packetiser itself, in packetiser_test.cpp.)

#include "support/midi_model.h"

#include <gtest/gtest.h>

#include <vector>

using namespace cftest;

namespace {

const bytes a = {0x90, 0x3C, 0x64}, b = {0xF8}, c = {0xC5, 0x10}, d = {0xF0, 0x01, 0xF7}, x = {0xF6};

struct compare_case {
	const char *what;         // shown when the case fails
	std::vector<bytes> want;  // owed
	std::vector<bytes> got;   // received
	std::vector<char> bad;    // received items malformed on their own
	bool tail_may_miss;       // a restart cut the stream
	tally expect;             // matched, lost, duplicated, reordered, corrupt, in flight
};

TEST(MidiModel, CompareClassesEachDifference)
{
	const std::vector<compare_case> cases = {
		{"the same", {a, b, c}, {a, b, c}, {}, false, {3, 0, 0, 0, 0, 0}},
		{"one lost", {a, b, c}, {a, c}, {}, false, {2, 1, 0, 0, 0, 0}},
		{"one twice", {a, b, c}, {a, b, b, c}, {}, false, {3, 0, 1, 0, 0, 0}},
		{"two swapped", {a, b, c}, {a, c, b}, {}, false, {2, 0, 0, 1, 0, 0}},
		{"one changed", {a, b, c}, {a, x, c}, {}, false, {2, 1, 0, 0, 1, 0}},
		{"malformed, though owed that way", {a, b, c}, {a, b, c}, {0, 1, 0}, false, {3, 0, 0, 0, 1, 0}},
		{"tail cut by a restart", {a, b, c, d}, {a, b}, {}, true, {2, 0, 0, 0, 0, 2}},
		{"a hole before the cut", {a, b, c, d}, {a, c}, {}, true, {2, 1, 0, 0, 0, 1}},
		{"tail missing without a restart", {a, b, c, d}, {a, b}, {}, false, {2, 2, 0, 0, 0, 0}},
	};
	for (const compare_case &k : cases) {
		SCOPED_TRACE(k.what);
		const tally t = compare(k.want, k.got, k.bad, k.tail_may_miss);
		EXPECT_EQ(t.matched, k.expect.matched);
		EXPECT_EQ(t.text(), k.expect.text());
		EXPECT_EQ(t.in_flight, k.expect.in_flight);
		EXPECT_FALSE(t.approximate);
	}
}

TEST(MidiModel, CompareBeyondItsReachSaysSo)
{
	std::vector<bytes> want, got;
	for (unsigned i = 0; i < 3000; i++) {
		want.push_back({0x90, static_cast<std::uint8_t>(i & 0x7F), static_cast<std::uint8_t>(i >> 7)});
		got.push_back({0x80, static_cast<std::uint8_t>(i & 0x7F), static_cast<std::uint8_t>(i >> 7)});
	}
	const tally t = compare(want, got, {});
	EXPECT_TRUE(t.approximate);
	EXPECT_EQ(t.lost, 3000u);
	EXPECT_EQ(t.corrupt, 3000u);
}

struct split_case {
	const char *what;            // shown when the case fails
	bytes in;                    // read from the node
	std::vector<bytes> items;    // the messages cut from it
	std::vector<char> bad;       // which of them are malformed
};

TEST(MidiModel, SplitMessagesCutsBytesReadIntoMessages)
{
	const std::vector<split_case> cases = {
		{"whole messages of each length", {0x90, 0x3C, 0x64, 0xC5, 0x10, 0xF8, 0xF0, 0x01, 0xF7, 0xF2, 0x01, 0x02},
		 {a, c, b, d, {0xF2, 0x01, 0x02}}, {0, 0, 0, 0, 0}},
		{"System Exclusive cut by a status", {0xF0, 0x01, 0x90, 0x3C, 0x64}, {{0xF0, 0x01}, a}, {1, 0}},
		{"a status inside a message", {0x90, 0x3C, 0xF8, 0x64}, {{0x90, 0x3C}, b, {0x64}}, {1, 0, 1}},
		{"bytes that start nothing", {0x3C, 0xF7, 0xF4, 0xF6}, {{0x3C}, {0xF7}, {0xF4}, x}, {1, 1, 1, 0}},
	};
	for (const split_case &k : cases) {
		SCOPED_TRACE(k.what);
		std::vector<char> bad;
		EXPECT_EQ(hex(split_messages(k.in, bad)), hex(k.items));
		EXPECT_EQ(bad, k.bad);
	}
}

TEST(MidiModel, DifferenceNamesTheFirstOne)
{
	EXPECT_EQ(difference(std::vector<bytes>{a, b}, std::vector<bytes>{a, b}), "");
	EXPECT_EQ(difference(std::vector<bytes>{a, x, c}, std::vector<bytes>{a, b, c}),
	          "got 3 events, want 3, first difference at 1: got F6, want F8; "
	          "a diff finds 1 lost, 0 duplicated, 0 reordered, 1 corrupt");
	EXPECT_EQ(difference(concat({a, c}), concat({a, b, c})),
	          "got 5 bytes, want 6, first difference at 3: got C5, want F8; "
	          "as messages, a diff finds 1 lost, 0 duplicated, 0 reordered, 0 corrupt");
}

} // namespace
