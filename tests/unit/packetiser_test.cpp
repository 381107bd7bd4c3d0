// Packetiser tests.
//
// Short byte sequences with the exact packets they must give (code index, then
// the bytes a caller copies), then seeded random streams of two kinds:
// well-formed traffic built message by message, whose packets are known before
// it is fed in, and biased noise, where every packet must keep the properties
// the capture path relies on.  Seeds are fixed, so a failure reproduces.

#include "bridge/packetiser.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

using namespace cableferry;

namespace {

using bytes = std::vector<std::uint8_t>;

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

// Well-formed traffic built message by message.  Each message knows the
// packets it must give; real-time bytes are slipped in before any byte and
// must come out at once, ahead of the message they interrupt.
struct traffic {
	std::mt19937 rng;        // fixed seed: the stream is reproducible
	bytes in;                // the stream
	std::vector<bytes> want; // packets expected, in order
	std::uint8_t running;    // channel status in force, 0 when none
	bool open_sysex;         // a System Exclusive was left unfinished

	explicit traffic(std::uint32_t seed) : rng(seed), running(0), open_sysex(false) {}

	unsigned pick(unsigned n) { return unsigned(rng() % n); }
	std::uint8_t data() { return std::uint8_t(pick(0x80)); }

	void put(std::uint8_t b)
	{
		if (pick(6) == 0) {
			const std::uint8_t rt = std::uint8_t(0xF8 + pick(8));
			in.push_back(rt);
			want.push_back({0x0F, rt});
		}
		in.push_back(b);
	}

	void channel()
	{
		bytes m;
		const std::uint8_t status = running != 0 && pick(2) ? running : std::uint8_t(0x80 + pick(0x70));
		if (status != running)
			put(status);
		const unsigned n = (status & 0xE0) == 0xC0 ? 1 : 2;
		m.push_back(std::uint8_t(status >> 4));
		m.push_back(status);
		for (unsigned i = 0; i < n; ++i) {
			m.push_back(data());
			put(m.back());
		}
		want.push_back(m);
		running = status;
	}

	void common()
	{
		const unsigned kind = pick(open_sysex ? 5 : 6);
		if (kind <= 2) {
			const std::uint8_t status = kind == 0 ? 0xF1 : kind == 1 ? 0xF3 : 0xF2;
			bytes m{std::uint8_t(status == 0xF2 ? 0x3 : 0x2), status};
			put(status);
			for (unsigned i = 0; i < (status == 0xF2 ? 2u : 1u); ++i) {
				m.push_back(data());
				put(m.back());
			}
			want.push_back(m);
		} else if (kind == 3) {
			put(0xF6);
			want.push_back({0x5, 0xF6});
		} else if (kind == 4) {
			put(std::uint8_t(0xF4 + pick(2)));
		} else {
			put(0xF7); // stray end of exclusive
		}
		running = 0;
		open_sysex = false;
		for (unsigned i = pick(3); i > 0; --i)
			put(data()); // dropped: nothing is in progress
	}

	// A System Exclusive message; an unfinished one is cut off by whatever
	// status comes next, and only its whole chunks come out.
	void sysex(bool finish)
	{
		bytes m{0xF0};
		for (unsigned i = pick(40); i > 0; --i)
			m.push_back(data());
		if (finish)
			m.push_back(0xF7);
		for (std::size_t i = 0; i < m.size(); ++i) {
			put(m[i]);
			const bool end = finish && i + 1 == m.size();
			if (i % 3 == 2 || end) {
				const std::size_t len = i % 3 + 1;
				bytes chunk{std::uint8_t(end ? 4 + len : 4)};
				chunk.insert(chunk.end(), m.begin() + std::ptrdiff_t(i + 1 - len), m.begin() + std::ptrdiff_t(i + 1));
				want.push_back(chunk);
			}
		}
		running = 0;
		open_sysex = !finish;
	}

	void build(unsigned messages)
	{
		for (unsigned i = 0; i < messages; ++i) {
			const unsigned r = pick(10);
			if (r < 5)
				channel();
			else if (r < 7)
				common();
			else
				sysex(r != 9);
		}
	}
};

TEST(PacketiserStream, WellFormedTrafficGivesExactlyItsMessages)
{
	for (std::uint32_t seed = 1; seed <= 20; ++seed) {
		SCOPED_TRACE(testing::Message() << "seed " << seed);
		traffic t(seed);
		t.build(2000);
		const std::vector<bytes> got = packets_of(t.in);
		ASSERT_EQ(got.size(), t.want.size());
		for (std::size_t i = 0; i < got.size(); ++i)
			ASSERT_EQ(got[i], t.want[i]) << "packet " << i;
	}
}

TEST(PacketiserStream, SysexChunksRejoinToTheMessage)
{
	std::mt19937 rng(7);
	packetiser_reset();
	for (unsigned length = 2; length < 200; ++length) {
		SCOPED_TRACE(testing::Message() << "message of " << length << " bytes");
		bytes message{0xF0};
		while (message.size() + 1 < length)
			message.push_back(std::uint8_t(rng() % 0x80));
		message.push_back(0xF7);

		bytes joined;
		bool ended = false;
		for (std::uint8_t b : message) {
			if (rng() % 4 == 0) {
				const midi_packet *rt = packetise_byte(std::uint8_t(0xF8 + rng() % 8));
				ASSERT_NE(rt, nullptr);
				ASSERT_EQ(rt->code_index, 0xF);
			}
			const midi_packet *p = packetise_byte(b);
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

std::uint8_t biased_byte(std::mt19937 &rng)
{
	const unsigned r = unsigned(rng() % 100);
	if (r < 50)
		return std::uint8_t(rng() % 0x80);        // data
	if (r < 65)
		return std::uint8_t(0x80 + rng() % 0x70); // channel status
	if (r < 77)
		return std::uint8_t(0xF8 + rng() % 8);    // real-time
	if (r < 85)
		return 0xF0;
	if (r < 92)
		return 0xF7;
	return std::uint8_t(0xF1 + rng() % 6);        // F1..F6
}

// What must hold for byte b, fed in state `before` with `held` assembled,
// given what packetise_byte returned.
testing::AssertionResult well_formed(std::uint8_t b, packet_state before, const midi_packet &held,
                                     const midi_packet *p)
{
	const auto fail = [&] { return testing::AssertionFailure() << "byte " << std::hex << int(b) << ": "; };
	if (b >= 0xF8) {
		if (p == nullptr || p->code_index != 0xF || p->data[0] != b)
			return fail() << "real-time byte not passed through at once";
		if (packetiser.parse_state != before || packetiser.message_packet.code_index != held.code_index
		    || packetiser.message_packet.data != held.data)
			return fail() << "real-time byte disturbed the message in progress";
	}
	if (b < 0x80 && before == packet_state::idle && p != nullptr)
		return fail() << "stray data byte produced a packet";
	if (p == nullptr)
		return testing::AssertionSuccess();

	const std::uint8_t code = p->code_index;
	if (code < 0x2 || code > 0xF)
		return fail() << "code index " << int(code) << " is never produced";
	if ((code == 0xF) != (b >= 0xF8))
		return fail() << "code index F is for real-time bytes only";
	const unsigned len = code_index_length[code];
	if (p->data[len - 1] != b)
		return fail() << "the completing byte is not the last one copied";
	for (unsigned k = len; k < 3; ++k)
		if (p->data[k] != 0)
			return fail() << "byte past the length is not zero";
	if (code >= 0x8 && code <= 0xE && p->data[0] >> 4 != code)
		return fail() << "channel packet whose status does not match code " << int(code);
	if (code == 0x2 && p->data[0] != 0xF1 && p->data[0] != 0xF3)
		return fail() << "code 2 without F1 or F3";
	if (code == 0x3 && p->data[0] != 0xF2)
		return fail() << "code 3 without F2";
	if (p != packetiser.current_packet)
		return fail() << "returned packet is not current_packet";
	return testing::AssertionSuccess();
}

TEST(PacketiserStream, NoiseKeepsEveryPacketWellFormed)
{
	std::array<unsigned, 16> seen{};
	for (std::uint32_t seed = 100; seed < 104; ++seed) {
		std::mt19937 rng(seed);
		packetiser_reset();
		for (unsigned i = 0; i < 250000; ++i) {
			const std::uint8_t b = biased_byte(rng);
			const packet_state before = packetiser.parse_state;
			const midi_packet held = packetiser.message_packet;
			const midi_packet *p = packetise_byte(b);
			ASSERT_TRUE(well_formed(b, before, held, p)) << "seed " << seed << ", byte " << i;
			if (p != nullptr)
				++seen[p->code_index];
		}
	}
	for (unsigned code = 0x2; code <= 0xF; ++code)
		EXPECT_GT(seen[code], 0u) << "code index " << code << " never came out";
}

} // namespace
