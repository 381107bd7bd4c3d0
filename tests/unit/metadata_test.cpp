// Names for people: the port labels, the client's pretty-name and the cut
// of aliases on a UTF-8 boundary.
//
// The client's pretty-name is driven through a description source the test
// owns, which counts its calls: the cases where the client name never
// reads a description must not read one here either.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "control/client_name.h"
#include "control/metadata.h"

namespace cableferry {
namespace {

struct fake_description_t {
	description_status status; // what the query answers
	std::string value;         // bytes it delivers, cut to the capacity
	int calls;                 // how often it was asked
};

description_status fake_query(const void *context, int, name_span_t buffer, std::size_t &length)
{
	auto *fake = const_cast<fake_description_t *>(static_cast<const fake_description_t *>(context));
	++fake->calls;
	const std::size_t copied = std::min({fake->value.size(), length, buffer.size()});
	std::memcpy(buffer.data(), fake->value.data(), copied);
	length = fake->status == description_status::too_long ? std::min(length, buffer.size()) : copied;
	return fake->status;
}

TEST(CutUtf8, NeverSplitsACharacter)
{
	const struct {
		std::string text;     // what is cut
		std::size_t max;      // bytes allowed
		std::string expected; // what is left
	} cases[] = {
		{"abc", 2, "ab"},
		{"abc", 3, "abc"},
		{"abc", 0, ""},
		{"a\xC3\xA9", 2, "a"},                 // é, two bytes
		{"a\xC3\xA9", 3, "a\xC3\xA9"},
		{"a\xE2\x82\xAC" "b", 3, "a"},         // €, three bytes
		{"a\xE2\x82\xAC" "b", 4, "a\xE2\x82\xAC"},
		{"\xF0\x9F\x8E\xB9" "x", 3, ""},       // a four-byte character first
		{"\xF0\x9F\x8E\xB9" "x", 4, "\xF0\x9F\x8E\xB9"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(cut_utf8(c.text, c.max), c.expected) << c.text << " to " << c.max;
}

TEST(PortAlias, ClientAndPortPrettyNamesCutToTheLimit)
{
	EXPECT_EQ(port_alias("Roland Corporation UM-ONE", "MIDI capture, channel 1", 320),
	          "Roland Corporation UM-ONE:MIDI capture, channel 1");
	EXPECT_EQ(port_alias("Caf\xC3\xA9", "MIDI playback", 4), "Caf");
	EXPECT_EQ(port_alias("Caf\xC3\xA9", "MIDI playback", 5), "Caf\xC3\xA9");
	const std::string long_name(400, 'x');
	EXPECT_EQ(port_alias(long_name, "MIDI playback", 319), long_name.substr(0, 319));
}

TEST(ClientPrettyName, WholeDescriptionElseTheNodePath)
{
	const std::string e_acute = "\xC3\xA9";
	// 126 bytes, then an é across the 127-byte limit.
	const std::string straddling = std::string(126, 'a') + e_acute + "tail";
	const struct {
		const char *label;         // what the case shows
		const char *capture;       // -C, or null
		const char *playback;      // -P, or null
		const char *prefix;        // -n, or null
		description_status status; // the source's answer
		std::string value;         // the description it delivers
		std::string expected;      // the pretty-name
		bool queried;              // the source is asked
		rawmidi_port_t port{};     // the port the naming slot is open on
	} cases[] = {
		{"whole, past a ',' and 16 bytes", "/dev/snd/midiC1D0", nullptr, nullptr, description_status::ok,
		 "Acme Corporation Keys 49, rev 2", "Acme Corporation Keys 49, rev 2", true},
		{"UTF-8 kept", "/dev/snd/midiC1D0", nullptr, nullptr, description_status::ok,
		 "Caf" + e_acute + " Synth", "Caf" + e_acute + " Synth", true},
		{"refused", "/dev/snd/midiC1D0", nullptr, nullptr, description_status::refused, "", "/dev/snd/midiC1D0", true},
		{"empty description", "/dev/snd/midiC1D0", nullptr, nullptr, description_status::ok, "", "/dev/snd/midiC1D0", true},
		{"-n: never read", "/dev/snd/midiC1D0", nullptr, "synth", description_status::ok, "Acme", "/dev/snd/midiC1D0", false},
		{"not a device node", "/tmp/in.fifo", "/tmp/out.fifo", nullptr, description_status::ok, "Acme", "/tmp/in.fifo", false},
		{"only -P names it", nullptr, "/dev/snd/midiC2D0", nullptr, description_status::ok, "Acme Keys", "Acme Keys", true},
		{"too long: cut before the character it splits", "/dev/snd/midiC1D0", nullptr, nullptr,
		 description_status::too_long, straddling, std::string(126, 'a'), true},
		{"text ends at a NUL", "/dev/snd/midiC1D0", nullptr, nullptr, description_status::ok,
		 std::string("Acme\0junk", 9), "Acme", true},
		{"hw: the subdevice's name follows", "hw:MkII,0,2", nullptr, nullptr, description_status::ok,
		 "Acme MkII", "Acme MkII (MkII MIDI 3)", true, {3, 0, 2, {"MkII MIDI 3"}}},
		{"hw: not open", "hw:MkII,0,2", nullptr, nullptr, description_status::ok, "Acme MkII", "hw:MkII,0,2", false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		bridge_settings_t settings;
		if (c.capture)
			settings.capture_path = c.capture;
		if (c.playback)
			settings.playback_path = c.playback;
		if (c.prefix)
			settings.name_prefix = c.prefix;
		fake_description_t fake{c.status, c.value, 0};
		const description_source_t source{node_family::alsa_rawmidi, fake_query, &fake};
		EXPECT_EQ(client_pretty_name(settings, source, c.port), c.expected);
		EXPECT_EQ(fake.calls, c.queried ? 1 : 0);
	}
}

} // namespace
} // namespace cableferry
