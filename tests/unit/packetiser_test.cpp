// Packetiser tests.
//
// Short byte sequences with the exact packets they must give (code index, then
// the bytes a caller copies), then seeded random streams of two kinds:
// traffic from the MIDI model, whose packets are known before it is fed in,
// and biased noise, where every packet must pass the checker the fuzzer
// uses.  Seeds are fixed, so a failure reproduces.

#include "bridge/packetiser.h"
#include "support/midi_model.h"
#include "support/packet_check.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using namespace cableferry;
using namespace cftest;

namespace {

// A packet as the capture path sees it: the code index, then the bytes it copies.
bytes copied(const midi_packet &p)
{
	bytes out{p.code_index};
	out.insert(out.end(), p.data.begin(), p.data.begin() + code_index_length[p.code_index & 0x0F]);
	return out;
}

std::vector<bytes> packets_of(const bytes &in)
{
	packetiser_reset();
	std::vector<bytes> out;
	for (std::uint8_t b : in)
		if (const midi_packet *p = packetise_byte(b))
			out.push_back(copied(*p));
	return out;
}

struct stream_case {
	const char *what;          // shown when the case fails
	bytes in;                  // bytes fed, in order
	std::vector<bytes> want;   // packets expected: code index, then copied bytes
};

void check_cases(const std::vector<stream_case> &cases)
{
	for (const stream_case &c : cases) {
		SCOPED_TRACE(c.what);
		EXPECT_EQ(packets_of(c.in), c.want);
	}
}

TEST(Packetiser, ReferenceSequences)
{
	check_cases({
		{"note on", {0x90, 0x3C, 0x64}, {{0x9, 0x90, 0x3C, 0x64}}},
		{"running status", {0x90, 0x3C, 0x64, 0x3E, 0x64},
		 {{0x9, 0x90, 0x3C, 0x64}, {0x9, 0x90, 0x3E, 0x64}}},
		{"running program change", {0xC5, 0x10, 0x11}, {{0xC, 0xC5, 0x10}, {0xC, 0xC5, 0x11}}},
		{"clock inside a note", {0x90, 0x3C, 0xF8, 0x64}, {{0xF, 0xF8}, {0x9, 0x90, 0x3C, 0x64}}},
		{"sysex of six bytes", {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7},
		 {{0x4, 0xF0, 0x7E, 0x7F}, {0x7, 0x09, 0x01, 0xF7}}},
		{"empty sysex", {0xF0, 0xF7}, {{0x6, 0xF0, 0xF7}}},
		{"sysex of three bytes", {0xF0, 0x43, 0xF7}, {{0x7, 0xF0, 0x43, 0xF7}}},
		{"sysex ending with two", {0xF0, 0x01, 0x02, 0x03, 0xF7},
		 {{0x4, 0xF0, 0x01, 0x02}, {0x6, 0x03, 0xF7}}},
		{"sysex ending with one", {0xF0, 0x01, 0x02, 0x03, 0x04, 0x05, 0xF7},
		 {{0x4, 0xF0, 0x01, 0x02}, {0x4, 0x03, 0x04, 0x05}, {0x5, 0xF7}}},
		{"song position, no running status", {0xF2, 0x10, 0x20, 0x30}, {{0x3, 0xF2, 0x10, 0x20}}},
		{"quarter frame, no running status", {0xF1, 0x05, 0x06}, {{0x2, 0xF1, 0x05}}},
		{"tune request", {0xF6}, {{0x5, 0xF6}}},
		{"data before any status", {0x3C, 0x64}, {}},
		{"stray end of exclusive", {0xF7}, {}},
		{"undefined common cancels a note", {0x90, 0x3C, 0xF4, 0x64}, {}},
		{"active sensing", {0xFE}, {{0xF, 0xFE}}},
	});
}

TEST(Packetiser, SysexInterruptions)
{
	check_cases({
		{"real-time bytes pass through without breaking it",
		 {0xF0, 0x01, 0xF8, 0x02, 0x03, 0xFE, 0x04, 0xF7},
		 {{0xF, 0xF8}, {0x4, 0xF0, 0x01, 0x02}, {0xF, 0xFE}, {0x7, 0x03, 0x04, 0xF7}}},
		{"a channel status abandons it; its F7 is then stray",
		 {0xF0, 0x01, 0x02, 0x03, 0x04, 0x90, 0x3C, 0x64, 0xF7, 0x3E, 0x64},
		 {{0x4, 0xF0, 0x01, 0x02}, {0x9, 0x90, 0x3C, 0x64}}},
		{"F6 abandons it and still comes out; later data is dropped",
		 {0xF0, 0x01, 0x02, 0x03, 0x04, 0xF6, 0x05, 0xF7},
		 {{0x4, 0xF0, 0x01, 0x02}, {0x5, 0xF6}}},
		{"F0 starts a new message", {0xF0, 0x01, 0x02, 0x03, 0xF0, 0x04, 0xF7},
		 {{0x4, 0xF0, 0x01, 0x02}, {0x7, 0xF0, 0x04, 0xF7}}},
		{"a system common abandons it", {0xF0, 0x01, 0xF3, 0x05, 0x06}, {{0x2, 0xF3, 0x05}}},
		{"F4 abandons it", {0xF0, 0x01, 0xF4, 0x02, 0xF7}, {}},
	});
}

TEST(Packetiser, RunningStatusSurvivesRealTime)
{
	check_cases({
		{"clock between two notes", {0x90, 0x3C, 0x64, 0xF8, 0x3E, 0x64},
		 {{0x9, 0x90, 0x3C, 0x64}, {0xF, 0xF8}, {0x9, 0x90, 0x3E, 0x64}}},
		{"clock inside a running-status note", {0xB0, 0x07, 0x64, 0x0A, 0xFA, 0x40},
		 {{0xB, 0xB0, 0x07, 0x64}, {0xF, 0xFA}, {0xB, 0xB0, 0x0A, 0x40}}},
		{"reset byte between channel pressures", {0xD3, 0x10, 0xFF, 0x11},
		 {{0xD, 0xD3, 0x10}, {0xF, 0xFF}, {0xD, 0xD3, 0x11}}},
		{"a new status replaces the old one", {0x90, 0x3C, 0x64, 0xE1, 0x00, 0x40, 0x7F, 0x7F},
		 {{0x9, 0x90, 0x3C, 0x64}, {0xE, 0xE1, 0x00, 0x40}, {0xE, 0xE1, 0x7F, 0x7F}}},
		{"F7 cancels running status", {0x90, 0x3C, 0x64, 0xF7, 0x3E, 0x64},
		 {{0x9, 0x90, 0x3C, 0x64}}},
	});
}

// One case per code index the packetiser can produce; the whole packet of the
// last completion is compared, so the bytes past its length must be zero.
TEST(Packetiser, EveryProducedCodeIndex)
{
	struct code_case {
		std::uint8_t code;  // code index expected
		bytes in;           // bytes fed
		midi_packet want;   // last packet completed, all four bytes
	};
	const std::vector<code_case> cases = {
		{0x2, {0xF3, 0x07}, {0x2, {0xF3, 0x07, 0x00}}},
		{0x3, {0xF2, 0x10, 0x20}, {0x3, {0xF2, 0x10, 0x20}}},
		{0x4, {0xF0, 0x01, 0x02}, {0x4, {0xF0, 0x01, 0x02}}},
		{0x5, {0xF0, 0x01, 0x02, 0xF7}, {0x5, {0xF7, 0x00, 0x00}}},
		{0x6, {0xF0, 0x01, 0x02, 0x03, 0xF7}, {0x6, {0x03, 0xF7, 0x00}}},
		{0x7, {0xF0, 0x01, 0x02, 0x03, 0x04, 0xF7}, {0x7, {0x03, 0x04, 0xF7}}},
		{0x8, {0x8F, 0x3C, 0x40}, {0x8, {0x8F, 0x3C, 0x40}}},
		{0x9, {0x90, 0x3C, 0x64}, {0x9, {0x90, 0x3C, 0x64}}},
		{0xA, {0xA2, 0x3C, 0x10}, {0xA, {0xA2, 0x3C, 0x10}}},
		{0xB, {0xB3, 0x07, 0x64}, {0xB, {0xB3, 0x07, 0x64}}},
		{0xC, {0x90, 0x3C, 0x64, 0xC4, 0x10}, {0xC, {0xC4, 0x10, 0x00}}},
		{0xD, {0xB0, 0x07, 0x64, 0xD5, 0x40}, {0xD, {0xD5, 0x40, 0x00}}},
		{0xE, {0xE6, 0x00, 0x40}, {0xE, {0xE6, 0x00, 0x40}}},
		{0xF, {0xF0, 0x01, 0xFC}, {0xF, {0xFC, 0x00, 0x00}}},
	};
	for (const code_case &c : cases) {
		SCOPED_TRACE(testing::Message() << "code index " << int(c.code));
		packetiser_reset();
		const midi_packet *last = nullptr;
		for (std::uint8_t b : c.in)
			if (const midi_packet *p = packetise_byte(b))
				last = p;
		ASSERT_NE(last, nullptr);
		EXPECT_EQ(last->code_index, c.want.code_index);
		EXPECT_EQ(last->data, c.want.data);
		EXPECT_EQ(last, packetiser.current_packet);
	}
}

TEST(Packetiser, ResetForgetsTheMessageInProgress)
{
	packetiser_reset();
	EXPECT_EQ(packetise_byte(0x90), nullptr);
	EXPECT_EQ(packetise_byte(0x3C), nullptr);
	packetiser_reset();
	EXPECT_EQ(packetise_byte(0x64), nullptr);
	EXPECT_EQ(packetiser.parse_state, packet_state::idle);
}

// One stream case: messages from the model in a mix, laid on the wire in a
// style.  The packets must be exactly the events the model owes, each with
// the code index its bytes call for.
struct traffic_case {
	const char *what;   // shown when the case fails
	traffic_mix mix;    // the messages
	wire_style style;   // how they are sent
};

const traffic_case traffic_cases[] = {
	{"rough traffic, running status, real-time inside", rough_mix, {100, 6}},
	{"whole messages, some running status, rare real-time", playable_mix, {50, 200}},
	{"a performance", performance_mix, {100, 6}},
};

TEST(PacketiserStream, WellFormedTrafficGivesExactlyItsMessages)
{
	for (const traffic_case &c : traffic_cases)
		for (std::uint64_t seed = 1; seed <= 20; ++seed) {
			SCOPED_TRACE(testing::Message() << c.what << ", seed " << seed);
			message_source source(seed, c.mix);
			wire_model wire(seed, c.style);
			for (unsigned i = 0; i < 2000; ++i)
				wire.add(source.next());
			std::vector<bytes> want;
			for (const bytes &e : wire.events) {
				want.push_back({code_index_of(e)});
				want.back().insert(want.back().end(), e.begin(), e.end());
			}
			EXPECT_EQ(difference(packets_of(wire.wire), want), "");
		}
}

// Every length of System Exclusive, with real-time bytes inside: its
// chunks, joined, are the message.
TEST(PacketiserStream, SysexChunksRejoinToTheMessage)
{
	prng rng{7};
	packetiser_reset();
	for (unsigned length = 2; length < 200; ++length) {
		SCOPED_TRACE(testing::Message() << "message of " << length << " bytes");
		const bytes message = sysex_message(length, rng);
		wire_model wire(length, {0, 4});
		wire.add(message);

		bytes joined;
		bool ended = false;
		for (std::uint8_t b : wire.wire) {
			const midi_packet *p = packetise_byte(b);
			if (b >= 0xF8) {
				ASSERT_NE(p, nullptr);
				ASSERT_EQ(p->code_index, 0xF);
				continue;
			}
			if (p == nullptr)
				continue;
			ASSERT_FALSE(ended);
			ASSERT_GE(p->code_index, 0x4);
			ASSERT_LE(p->code_index, 0x7);
			joined.insert(joined.end(), p->data.begin(), p->data.begin() + code_index_length[p->code_index]);
			ended = p->code_index != 0x4;
		}
		EXPECT_TRUE(ended);
		EXPECT_EQ(joined, message);
	}
}

std::uint8_t biased_byte(prng &rng)
{
	const unsigned r = rng.below(100);
	if (r < 50)
		return rng.data();                                       // data
	if (r < 65)
		return static_cast<std::uint8_t>(0x80 + rng.below(0x70)); // channel status
	if (r < 77)
		return static_cast<std::uint8_t>(0xF8 + rng.below(8));    // real-time
	if (r < 85)
		return 0xF0;
	if (r < 92)
		return 0xF7;
	return static_cast<std::uint8_t>(0xF1 + rng.below(6));        // F1..F6
}

// Biased noise, and the generated streams too: every packet passes the
// checker the fuzzer uses.
TEST(PacketiserStream, NoiseKeepsEveryPacketWellFormed)
{
	std::array<unsigned, 16> seen{};
	const auto run = [&](const char *what, std::uint64_t seed, const bytes &in) {
		packetiser_reset();
		packet_checker checker;
		const char *problem = nullptr;
		for (std::size_t i = 0; i < in.size(); ++i) {
			const midi_packet *p = checker.feed(in[i], problem);
			ASSERT_EQ(problem, nullptr) << problem << ": " << what << ", seed " << seed << ", byte " << i << " = " << hex(bytes{in[i]});
			if (p != nullptr)
				++seen[p->code_index];
		}
	};
	for (std::uint64_t seed = 100; seed < 104; ++seed) {
		prng rng{seed};
		bytes noise(250000);
		for (std::uint8_t &b : noise)
			b = biased_byte(rng);
		ASSERT_NO_FATAL_FAILURE(run("noise", seed, noise));
	}
	for (const traffic_case &c : traffic_cases) {
		message_source source(1, c.mix);
		wire_model wire(1, c.style);
		for (unsigned i = 0; i < 20000; ++i)
			wire.add(source.next());
		ASSERT_NO_FATAL_FAILURE(run(c.what, 1, wire.wire));
	}
	for (unsigned code = 0x2; code <= 0xF; ++code)
		EXPECT_GT(seen[code], 0u) << "code index " << code << " never came out";
}

} // namespace
