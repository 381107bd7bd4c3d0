// Option scanning and -U resolution.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "control/options.h"
#include "control/user.h"

using namespace cableferry;

namespace {

struct scanned {
	std::vector<std::string> args; // kept alive: outcome may point into it
	scan_outcome outcome;
	bridge_settings_t settings;
};

scanned scan(std::vector<std::string> args)
{
	scanned s{};
	s.args = std::move(args);
	s.args.insert(s.args.begin(), "cableferry");
	std::vector<char *> argv;
	for (auto &a : s.args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	opterr = 0; // keep getopt's complaints out of the test log
	s.outcome = scan_options(static_cast<int>(s.args.size()), argv.data(), s.settings);
	opterr = 1;
	return s;
}

} // namespace

// Every option the scanner takes has its line, and only those lines.
TEST(Options, UsageTextHasALinePerOption)
{
	const std::string text = usage_text();
	EXPECT_EQ(text.substr(0, 40), "cableferry - RAW USB/socket MIDI client\n");
	std::string letters;
	for (const char c : std::string_view(option_string))
		if (c != ':' && c != '+')
			letters += c;
	std::size_t lines = 0;
	for (std::size_t at = text.find('\n'); at + 1 < text.size(); at = text.find('\n', at + 1), lines++)
		EXPECT_EQ(text[at + 1], '\t') << text.substr(at + 1);
	EXPECT_EQ(lines, letters.size());
	for (const char c : letters)
		EXPECT_NE(text.find(std::string("\t-") + c + " "), std::string::npos) << "-" << c;
#if defined(__linux__)
	EXPECT_NE(text.find("\t-d /dev/snd/midiC1D0 ("), std::string::npos);
	EXPECT_NE(text.find("hw:MkII,0,0"), std::string::npos);
	EXPECT_EQ(text.find("umidi"), std::string::npos);
#endif
}

TEST(Options, DeviceSetsBothPathsAndLaterOptionsOverride)
{
	auto s = scan({"-d", "a", "-C", "b"});
	ASSERT_EQ(s.outcome.result, scan_result::run);
	EXPECT_EQ(s.settings.capture_path, "b");
	EXPECT_EQ(s.settings.playback_path, "a");

	s = scan({"-C", "x", "-P", "y", "-d", "z"});
	EXPECT_EQ(s.settings.capture_path, "z");
	EXPECT_EQ(s.settings.playback_path, "z");

	s = scan({"-n", "one", "-n", "two", "-P", "p"});
	EXPECT_EQ(s.settings.name_prefix, "two");
	EXPECT_FALSE(s.settings.capture_path.has_value());
}

TEST(Options, FlagsAndEmptyPrefix)
{
	auto s = scan({"-S", "-B", "-k", "-n", "", "-C", "/dev/umidi0.0"});
	ASSERT_EQ(s.outcome.result, scan_result::run);
	EXPECT_FALSE(s.settings.keep_timing);
	EXPECT_TRUE(scan({"-t", "-C", "a"}).settings.keep_timing);
	EXPECT_TRUE(scan({"-w", "-C", "a"}).settings.whole_sysex);
	EXPECT_TRUE(s.settings.per_channel_ports);
	EXPECT_TRUE(s.settings.background);
	EXPECT_TRUE(s.settings.exit_on_device_loss);
	EXPECT_FALSE(s.settings.switch_user);
	ASSERT_TRUE(s.settings.name_prefix.has_value());
	EXPECT_EQ(*s.settings.name_prefix, "");
}

TEST(Options, UsageCases)
{
	struct row {
		std::vector<std::string> args;
		scan_result result;
		const char *operand; // named by main, where scanning stopped
	};
	const row rows[] = {
		{{}, scan_result::usage_error, nullptr},                                      // no device
		{{"-S", "-k"}, scan_result::usage_error, nullptr},                            // still no device
		{{"-t"}, scan_result::usage_error, nullptr},
		{{"-h", "-d", "/dev/umidi0.0"}, scan_result::help, nullptr},                  // -h wins
		{{"-d", "/dev/umidi0.0", "-h"}, scan_result::help, nullptr},
		{{"-x", "-d", "/dev/umidi0.0"}, scan_result::usage_error, nullptr},           // unknown option
		{{"-d"}, scan_result::usage_error, nullptr},                                  // missing argument
		{{"/dev/snd/midiC1D0"}, scan_result::usage_error, "/dev/snd/midiC1D0"},      // -d forgotten
		{{"op", "-d", "/dev/umidi0.0"}, scan_result::usage_error, "op"},              // operand ends the scan
		{{"-S", "--", "-d", "/dev/umidi0.0"}, scan_result::usage_error, "-d"},
		{{"-d", "/dev/a", "operand", "-C", "/dev/b"}, scan_result::run, "operand"}, // a device before it
	};
	for (const auto &r : rows) {
		const auto s = scan(r.args);
		EXPECT_EQ(s.outcome.result, r.result) << ::testing::PrintToString(r.args);
		EXPECT_STREQ(s.outcome.operand, r.operand) << ::testing::PrintToString(r.args);
		if (r.result == scan_result::run) {
			EXPECT_EQ(s.settings.capture_path, "/dev/a"); // nothing after the operand was read
		}
	}
}

TEST(Options, BadUserStopsTheScanAtOnce)
{
	auto s = scan({"-U", "12ab", "-h"});
	EXPECT_EQ(s.outcome.result, scan_result::bad_user);
	EXPECT_STREQ(s.outcome.bad_user, "12ab");

	s = scan({"-d", "/dev/a", "-U", "", "-x"});
	EXPECT_EQ(s.outcome.result, scan_result::bad_user);
}

TEST(Options, UserNameFromPasswordDatabase)
{
	auto s = scan({"-U", "root", "-P", "p"});
	ASSERT_EQ(s.outcome.result, scan_result::run);
	EXPECT_TRUE(s.settings.switch_user);
	EXPECT_EQ(s.settings.user_id, 0u);
	EXPECT_EQ(s.settings.user_name, "root");

	s = scan({"-U", "root", "-U", "1001", "-P", "p"});
	EXPECT_EQ(s.settings.user_id, 1001u);
	EXPECT_FALSE(s.settings.user_name.has_value()); // a number replaces the name
}

TEST(Options, ResolveUser)
{
	struct row {
		const char *arg;
		bool accepted;
		std::uint32_t uid;
	};
	const row rows[] = {
		{"root", true, 0},
		{"1001", true, 1001},
		{"0", true, 0},
		{"  42", true, 42},          // strtoul skips leading blanks
		{"+7", true, 7},
		{"4294967295", true, 4294967295u},
		{"-1", true, 4294967295u},   // no user has it; setuid refuses later
		{"12ab", false, 0},
		{"", false, 0},              // would have been root
		{"   ", false, 0},
		{"4294967296", false, 0},    // would wrap to root
		{"8589934591", false, 0},    // would cut to 4294967295
		{"18446744073709551615", false, 0}, // the same, and no ERANGE
		{"-4294967295", false, 0},   // would wrap to 1
		{"-18446744073709551615", false, 0}, // would wrap to 1 as well
		{" -4294967297", true, 4294967295u}, // cuts to 4294967295 like "-1"
		{"-0", true, 0},
		{"99999999999999999999999", false, 0}, // ERANGE
		{"12 ", false, 0},
		{"0x10", false, 0},
	};
	for (const auto &r : rows) {
		std::uint32_t uid = 0;
		std::optional<std::string> name;
		EXPECT_EQ(resolve_user(r.arg, uid, name), r.accepted) << '"' << r.arg << '"';
		EXPECT_EQ(name.has_value(), r.accepted && std::string(r.arg) == "root");
		if (r.accepted) {
			EXPECT_EQ(uid, r.uid) << '"' << r.arg << '"';
		}
	}
}
