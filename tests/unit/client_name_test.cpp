// Client naming rules, driven through a description source the test owns.
//
// The fake source records how often and for which unit it was asked, so the
// cases that must never query (-n, non-USB paths) can prove it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "control/client_name.h"

namespace cableferry {
namespace {

struct fake_description_t {
	description_status status; // what the query answers
	std::string value;         // bytes it delivers, cut to the capacity
	std::size_t reported;      // length it reports; 0 means value's length
	int calls;                 // how often it was asked
	int unit;                  // the unit it was last asked for
};

description_status fake_query(const void *context, int unit, name_span_t buffer,
                              std::size_t &length)
{
	auto *fake = const_cast<fake_description_t *>(static_cast<const fake_description_t *>(context));
	++fake->calls;
	fake->unit = unit;
	const std::size_t copied = std::min({fake->value.size(), length, buffer.size()});
	std::memcpy(buffer.data(), fake->value.data(), copied);
	length = fake->reported != 0 ? fake->reported : copied;
	return fake->status;
}

bridge_settings_t settings_of(const char *capture, const char *playback, const char *prefix)
{
	bridge_settings_t settings;
	if (capture != nullptr)
		settings.capture_path = capture;
	if (playback != nullptr)
		settings.playback_path = playback;
	if (prefix != nullptr)
		settings.name_prefix = prefix;
	return settings;
}

constexpr auto ok = description_status::ok;
constexpr auto refused = description_status::refused;
constexpr auto too_long = description_status::too_long;
constexpr auto umidi = node_family::umidi;
constexpr auto alsa = node_family::alsa_rawmidi;

struct naming_case {
	const char *label;         // case name in failure output
	node_family family;        // node family the fake source describes
	const char *capture;       // -C, or null
	const char *playback;      // -P, or null
	const char *prefix;        // -n, or null
	description_status status; // the fake's answer
	std::string value;         // the fake's description bytes
	std::size_t reported;      // the fake's reported length; 0 for the value's
	std::string expected;      // the client name
	int unit;                  // unit queried, or -1 when the source must not be asked
	rawmidi_port_t port{};     // the port the naming slot is open on
};

constexpr rawmidi_port_t port_3_0_2 = {3, 0, 2, {"MkII MIDI 3"}};

const naming_case naming_cases[] = {
	{"keys_49", umidi, "/dev/umidi1.0", nullptr, nullptr, ok, "Keys 49, rev 2", 0, "Keys 49 #0", 1},
	{"long_product", umidi, "/dev/umidi1.0", nullptr, nullptr, ok, "A Very Long Product Name Here", 0,
	 "A Very Long Prod #0", 1},
	{"refused", umidi, "/dev/umidi1.0", nullptr, nullptr, refused, "", 0, "cableferry-umidi1.0", 1},
	{"sixteen_before_comma", umidi, "/dev/umidi1.0", nullptr, nullptr, ok, "0123456789ABCDEF, rev 2", 0,
	 "0123456789ABCDEF #0", 1},
	{"seventeen_no_comma", umidi, "/dev/umidi1.0", nullptr, nullptr, ok, "0123456789ABCDEFG", 0,
	 "0123456789ABCDEF #0", 1},
	{"blanks_kept", umidi, "/dev/umidi1.0", nullptr, nullptr, ok, "  Keys  49 , x", 0, "  Keys  49  #0", 1},
	{"terminator_counted", umidi, "/dev/umidi1.0", nullptr, nullptr, ok, std::string("Keys 49\0", 8), 0,
	 "Keys 49 #0", 1},
	{"value_fills_buffer", umidi, "/dev/umidi1.0", nullptr, nullptr, too_long, std::string(200, 'x'), 0,
	 "xxxxxxxxxxxxxxxx #0", 1},
	{"length_beyond_buffer", umidi, "/dev/umidi1.0", nullptr, nullptr, too_long, std::string(200, 'y'), 500,
	 "yyyyyyyyyyyyyyyy #0", 1},
	{"utf8_two_byte_split", umidi, "/dev/umidi1.0", nullptr, nullptr, ok, "ABCDEFGHIJKLMNO\xc3\xa9 X", 0,
	 "ABCDEFGHIJKLMNO #0", 1},
	{"utf8_three_byte_split", umidi, "/dev/umidi1.0", nullptr, nullptr, ok, "ABCDEFGHIJKLMN\xe2\x82\xac X", 0,
	 "ABCDEFGHIJKLMN #0", 1},
	{"utf8_whole", umidi, "/dev/umidi1.0", nullptr, nullptr, ok, "ABCDEFGHIJKLM\xe2\x82\xac X", 0,
	 "ABCDEFGHIJKLM\xe2\x82\xac #0", 1},
	{"latin1_byte_kept", umidi, "/dev/umidi1.0", nullptr, nullptr, ok, "ABCDEFGHIJKLMNO\xe9XY", 0,
	 "ABCDEFGHIJKLMNO\xe9 #0", 1},
	{"sub_unit_one", umidi, "/dev/umidi0.1", nullptr, nullptr, ok, "Keys 49", 0, "Keys 49 #1", 0},
	{"sub_unit_missing", umidi, "/dev/umidi2", nullptr, nullptr, ok, "Keys 49", 0, "Keys 49 #-1", 2},
	{"prefix_synth", umidi, "/dev/umidi0.0", nullptr, "synth", ok, "Keys 49", 0, "synth-umidi0.0", -1},
	{"prefix_empty", umidi, "/dev/umidi0.0", nullptr, "", ok, "Keys 49", 0, "-umidi0.0", -1},
	{"duplex_with_prefix", umidi, "/dev/umidi3.0", "/dev/umidi3.0", "synth", ok, "Keys 49", 0,
	 "synth-umidi3.0", -1},
	{"outside_dev", umidi, "/tmp/umidi1.0", nullptr, nullptr, ok, "Keys 49", 0, "cableferry-/tmp/umidi1.0", -1},
	{"dev_midi0", umidi, "/dev/midi0", nullptr, nullptr, ok, "Keys 49", 0, "cableferry-midi0", -1},
	{"playback_only", umidi, nullptr, "/dev/umidi1.0", nullptr, ok, "Keys 49", 0, "Keys 49 #0", 1},
	{"playback_fifo", umidi, nullptr, "/tmp/midi.fifo", nullptr, ok, "Keys 49", 0, "cableferry-/tmp/midi.fifo",
	 -1},
	{"capture_wins", umidi, "/dev/umidi3.1", "/dev/umidi2.0", nullptr, ok, "Keys 49", 0, "Keys 49 #1", 3},
	{"capture_general", umidi, "/tmp/in", "/dev/umidi2.0", nullptr, ok, "Keys 49", 0, "cableferry-/tmp/in", -1},
	{"alsa_node", alsa, "/dev/snd/midiC2D1", nullptr, nullptr, ok, "Keys 49", 0, "Keys 49 #1", 2},
	{"alsa_device_missing", alsa, "/dev/snd/midiC2", nullptr, nullptr, ok, "Keys 49", 0, "Keys 49 #-1", 2},
	{"alsa_refused", alsa, "/dev/snd/midiC2D0", nullptr, nullptr, refused, "", 0, "cableferry-snd/midiC2D0", 2},
	{"umidi_under_alsa", alsa, "/dev/umidi1.0", nullptr, nullptr, ok, "Keys 49", 0, "cableferry-umidi1.0", -1},
	{"alsa_under_umidi", umidi, "/dev/snd/midiC1D0", nullptr, nullptr, ok, "Keys 49", 0,
	 "cableferry-snd/midiC1D0", -1},
	{"colon_in_path", umidi, "/tmp/a:b", nullptr, nullptr, ok, "Keys 49", 0, "cableferry-/tmp/a-b", -1},
	{"colon_in_description", alsa, "/dev/snd/midiC2D0", nullptr, nullptr, ok, "Keys: 49", 0, "Keys- 49 #0", 2},
	{"hw_by_id", alsa, "hw:MkII,0,2", nullptr, nullptr, ok, "MkII", 0, "MkII #0.2", 3, port_3_0_2},
	{"hw_first_free", alsa, "hw:3,0", nullptr, nullptr, ok, "MkII", 0, "MkII #0.2", 3, port_3_0_2},
	{"hw_not_open", alsa, "hw:MkII,0,2", nullptr, nullptr, ok, "MkII", 0, "cableferry-hw-MkII,0,2", -1},
	{"hw_prefix", alsa, "hw:MkII,0,2", nullptr, "synth", ok, "MkII", 0, "synth-hw-MkII,0,2", -1, port_3_0_2},
	{"hw_refused", alsa, "hw:MkII,0,2", nullptr, nullptr, refused, "", 0, "cableferry-hw-MkII,0,2", 3,
	 port_3_0_2},
	{"hw_under_umidi", umidi, "hw:MkII,0,2", nullptr, nullptr, ok, "MkII", 0, "cableferry-hw-MkII,0,2", -1,
	 port_3_0_2},
};

TEST(ClientName, FollowsTheNamingRules)
{
	for (const naming_case &c : naming_cases) {
		SCOPED_TRACE(c.label);
		fake_description_t fake{c.status, c.value, c.reported, 0, -1};
		const description_source_t source{c.family, fake_query, &fake};
		EXPECT_EQ(make_client_name(settings_of(c.capture, c.playback, c.prefix), source, c.port), c.expected);
		EXPECT_EQ(fake.calls, c.unit < 0 ? 0 : 1);
		EXPECT_EQ(fake.unit, c.unit);
	}
}

TEST(ClientName, GeneralFormIsCutAt127)
{
	const std::string long_prefix(200, 'p');
	const std::string long_path = "/tmp/" + std::string(300, 't');
	const struct {
		bridge_settings_t settings; // the options
		std::string expected;       // the client name
	} cases[] = {
		{settings_of("/dev/umidi0.0", nullptr, long_prefix.c_str()), std::string(127, 'p')},
		{settings_of("/dev/umidi0.0", nullptr, std::string(120, 'p').c_str()),
		 std::string(120, 'p') + "-umidi0"},
		{settings_of(long_path.c_str(), nullptr, nullptr), ("cableferry-" + long_path).substr(0, 127)},
	};
	fake_description_t fake{ok, "Keys 49", 0, 0, -1};
	const description_source_t source{umidi, fake_query, &fake};
	for (const auto &c : cases) {
		EXPECT_EQ(general_client_name(c.settings), c.expected);
		EXPECT_EQ(make_client_name(c.settings, source), c.expected);
	}
	EXPECT_EQ(fake.calls, 0);
}

TEST(ClientName, ScansNodePathsLikeSscanf)
{
	const struct {
		const char *path;   // node path scanned
		node_family family; // pattern it is scanned against
		int unit;           // expected unit
		int sub_unit;       // expected sub-unit
	} cases[] = {
		{"/dev/umidi1.0", umidi, 1, 0},
		{"/dev/umidi12.3", umidi, 12, 3},
		{"/dev/umidi2", umidi, 2, -1},
		{"/dev/umidi3.x", umidi, 3, -1},
		{"/dev/umidi0.1junk", umidi, 0, 1},
		{"/dev/umidi", umidi, -1, -1},
		{"/dev/umidi-4.0", umidi, -4, 0},
		{"/dev/umidi 5.+6", umidi, 5, 6},
		{"/dev/umidi99999999999.0", umidi, -1, -1},
		{"/dev/umidi2147483647.1", umidi, 2147483647, 1},
		{"/dev/umidi1.99999999999", umidi, 1, -1},
		{"/dev/midi0", umidi, -1, -1},
		{"/dev/snd/midiC1D0", umidi, -1, -1},
		{"/dev/snd/midiC1D0", alsa, 1, 0},
		{"/dev/snd/midiC10D2", alsa, 10, 2},
		{"/dev/snd/midiC2", alsa, 2, -1},
		{"/dev/snd/midiC1D", alsa, 1, -1},
		{"/dev/snd/pcmC0D0p", alsa, -1, -1},
		{"/dev/umidi1.0", alsa, -1, -1},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.path);
		const node_numbers_t numbers = scan_node_path(c.path, c.family);
		EXPECT_EQ(numbers.unit, c.unit);
		EXPECT_EQ(numbers.sub_unit, c.sub_unit);
	}
}

} // namespace
} // namespace cableferry
