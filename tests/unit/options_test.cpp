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

TEST(Options, UsageTextIsTheFixed388Bytes)
{
	EXPECT_EQ(usage_text.size(), 388u);
	EXPECT_EQ(usage_text.substr(0, 40), "cableferry - RAW USB/socket MIDI client\n");
	EXPECT_EQ(usage_text.back(), '\n');
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
	EXPECT_TRUE(s.settings.per_channel_ports);
	EXPECT_TRUE(s.settings.background);
	EXPECT_TRUE(s.settings.exit_on_device_loss);
	EXPECT_FALSE(s.settings.switch_user);
	ASSERT_TRUE(s.settings.name_prefix.has_value());
	EXPECT_EQ(*s.settings.name_prefix, "");
}

TEST(Options, UsageCases)
{
	const std::vector<std::vector<std::string>> cases = {
		{},                                   // no device
		{"-S", "-k"},                         // still no device
		{"-t"},
		{"-h", "-d", "/dev/umidi0.0"},        // -h wins
		{"-d", "/dev/umidi0.0", "-h"},
		{"-x", "-d", "/dev/umidi0.0"},        // unknown option
		{"-d"},                               // missing argument
		{"op", "-d", "/dev/umidi0.0"},        // operand ends the scan
		{"-S", "--", "-d", "/dev/umidi0.0"},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(scan(c).outcome.result, scan_result::usage) << ::testing::PrintToString(c);
	}
}

TEST(Options, OperandAfterDeviceIsIgnored)
{
	auto s = scan({"-d", "/dev/a", "operand", "-C", "/dev/b"});
	ASSERT_EQ(s.outcome.result, scan_result::run);
	EXPECT_EQ(s.settings.capture_path, "/dev/a");
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
