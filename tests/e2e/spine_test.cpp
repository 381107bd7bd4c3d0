// The command line of the real daemon: the usage text and its statuses, -U,
// and start-up without a server.
//
// The usage cases run next to a live server whose probe watches client
// registrations; after the runs, a marker port proves every earlier notice has
// arrived, so "no client appeared" is a fact and not a guess.  The -U drop is
// checked in /proc while the daemon runs against a server of the target user.
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace cftest {
namespace {

// Written out here on purpose rather than taken from the daemon's sources.
const std::string usage =
	"cableferry - RAW USB/socket MIDI client\n"
	"\t-d /dev/snd/midiC1D0 (set capture and playback device)\n"
	"\t-C hw:MkII,0,0 (set capture device)\n"
	"\t-P /dev/snd/midiC1D0 (set playback device)\n"
	"\t-S (also create one capture port per MIDI channel)\n"
	"\t-U <user> (after opening the devices, run as this user, on its JACK server)\n"
	"\t-B (run in background, waiting for the JACK server)\n"
	"\t-k (end when a device is missing or goes away)\n"
	"\t-t (keep MIDI timing, one period late)\n"
	"\t-w (send each System Exclusive message as one event)\n"
	"\t-n cableferry (set the prefix of the client name)\n"
	"\t-h (show help)\n";

struct usage_case {
	const char *label;                  // what the case shows
	std::vector<std::string> args;      // "@" stands for a FIFO path
	int status;                         // 0 for -h, 64 for a usage error
	std::string complaint;              // the line before the usage text
};

class usage_runs : public e2e_server {};

TEST_F(usage_runs, print_usage_and_never_connect)
{
	const std::string fifo = dir.make_fifo("dev");
	const std::vector<usage_case> cases = {
		{"-h", {"-h"}, 0, ""},
		{"no device", {}, 64, ""},
		{"no device, other options", {"-S", "-k", "-n", "x"}, 64, ""},
		{"-h with a device", {"-d", "@", "-h"}, 0, ""},
		{"-h before a device", {"-h", "-P", "@"}, 0, ""},
		{"unknown option", {"-x", "-d", "@"}, 64, "cableferry: invalid option -- 'x'\n"},
		{"missing argument", {"-P", "@", "-d"}, 64, "cableferry: option requires an argument -- 'd'\n"},
		{"-d after an operand", {"operand", "-d", "@"}, 64, "cableferry: ignoring 'operand' and what follows\n"},
		{"-d forgotten", {"@"}, 64, "cableferry: ignoring '@' and what follows\n"},
		{"only an option lacking its argument", {"-P"}, 64, "cableferry: option requires an argument -- 'P'\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		std::vector<std::string> args;
		for (const auto &a : c.args)
			args.push_back(a == "@" ? fifo : a);
		daemon_proc &d = launch(args);
		EXPECT_EQ(d.exit_status(), c.status);
		std::string complaint = c.complaint;
		if (const auto at = complaint.find('@'); at != std::string::npos)
			complaint.replace(at, 1, fifo);
		EXPECT_EQ(d.stderr_text(), complaint + usage);
	}
	ASSERT_TRUE(probe.sync_notices());
	for (const auto &n : probe.registrations())
		EXPECT_EQ(n.rfind("+cableferry", 0), std::string::npos) << n;
}

// ---- -U -------------------------------------------------------------------

struct user_case {
	std::vector<std::string> args; // "@" stands for a FIFO path
	int status;                    // expected exit status
	std::string message;           // expected standard error
};

// Runs that never reach a server: the name given to them has none.
class offline : public e2e_dir {};

TEST_F(offline, bad_names_and_ids_end_the_scan)
{
	const std::string fifo = dir.make_fifo("dev");
	const std::string no_server = unique_server_name() + "_absent";
	const std::vector<user_case> cases = {
		{{"-U", "12ab", "-P", "@"}, 64, "cableferry: '12ab': illegal user name\n"},
		// The refusal comes while scanning: later options are never seen.
		{{"-U", "12ab", "-h"}, 64, "cableferry: '12ab': illegal user name\n"},
		{{"-U", "12ab"}, 64, "cableferry: '12ab': illegal user name\n"},
		{{"-U", "", "-P", "@"}, 64, "cableferry: '': illegal user name\n"},
		{{"-U", "4294967296", "-P", "@"}, 64, "cableferry: '4294967296': illegal user name\n"},
		{{"-U", "8589934591", "-P", "@"}, 64, "cableferry: '8589934591': illegal user name\n"},
		{{"-U", "18446744073709551615", "-P", "@"}, 64,
		 "cableferry: '18446744073709551615': illegal user name\n"},
		{{"-U", "-4294967295", "-P", "@"}, 64, "cableferry: '-4294967295': illegal user name\n"},
		{{"-U", "99999999999999999999999", "-P", "@"}, 64,
		 "cableferry: '99999999999999999999999': illegal user name\n"},
		{{"-U", "12 ", "-P", "@"}, 64, "cableferry: '12 ': illegal user name\n"},
		// -1 reads as 4294967295, which no user has: setuid refuses it.
		{{"-U", "-1", "-P", "@"}, 69, "cableferry: Could not set user ID\n"},
		{{"-U", "4294967295", "-P", "@"}, 69, "cableferry: Could not set user ID\n"},
		// A good -U before -h: the usage text wins.
		{{"-U", "0", "-h"}, 0, usage},
	};
	for (const auto &c : cases) {
		std::vector<std::string> args;
		std::string shown;
		for (const auto &a : c.args) {
			args.push_back(a == "@" ? fifo : a);
			shown += "'" + a + "' ";
		}
		SCOPED_TRACE(shown);
		daemon_proc d;
		ASSERT_TRUE(d.spawn(args, no_server, dir));
		EXPECT_EQ(d.exit_status(), c.status);
		EXPECT_EQ(without_node_lines(d.stderr_text()), c.message);
	}
}

class user_switch : public e2e_server {};

TEST_F(user_switch, own_user_by_name_keeps_running)
{
	const passwd *pw = getpwuid(getuid());
	ASSERT_NE(pw, nullptr);
	const std::string fifo = dir.make_fifo("dev");
	daemon_proc &d = launch({"-U", pw->pw_name, "-C", fifo});
	ASSERT_NO_FATAL_FAILURE(await_port(d, "cableferry-" + fifo + ":midi.TX"));
	EXPECT_EQ(proc_status_field(d.pid, "Uid"),
	          std::to_string(getuid()) + " " + std::to_string(getuid()) + " " +
	                  std::to_string(getuid()) + " " + std::to_string(getuid()));
	EXPECT_TRUE(d.running());
}

struct drop_case {
	std::string arg;        // the -U argument
	uid_t uid;              // user id it names
	gid_t gid;              // group the daemon must end up in
	std::string groups;     // supplementary groups, as /proc shows them
};

class user_drop : public e2e_dir, public ::testing::WithParamInterface<std::string> {};

// Root drops to another user, its groups too, and still reaches a server run
// by that user.  The devices are opened before the drop.
TEST_P(user_drop, ids_and_groups_are_the_target_users)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root";
	drop_case c;
	c.arg = GetParam();
	if (const passwd *pw = getpwnam(c.arg.c_str())) {
		c.uid = pw->pw_uid;
		c.gid = pw->pw_gid;
		std::vector<gid_t> list(64);
		int n = static_cast<int>(list.size());
		ASSERT_GE(getgrouplist(pw->pw_name, pw->pw_gid, list.data(), &n), 0);
		list.resize(static_cast<std::size_t>(n));
		std::sort(list.begin(), list.end());
		for (gid_t g : list)
			c.groups += (c.groups.empty() ? "" : " ") + std::to_string(g);
	} else {
		c.uid = static_cast<uid_t>(std::stoul(c.arg));
		if (getpwuid(c.uid) != nullptr)
			GTEST_SKIP() << c.arg << " has a password entry here";
		c.gid = static_cast<gid_t>(c.uid);
		c.groups = "";
	}

	daemon_proc d;           // declared first: the server stops before it is killed
	jack_server server(dir);
	ASSERT_TRUE(server.start(c.uid)) << server.log();
	const std::string fifo = dir.make_fifo("dev"); // in root's private directory
	// The daemon starts with root's group and a supplementary group of
	// root's: neither may survive the drop.
	std::vector<gid_t> saved(static_cast<std::size_t>(getgroups(0, nullptr)));
	ASSERT_GE(getgroups(static_cast<int>(saved.size()), saved.data()), 0);
	const gid_t root_groups[] = {0, 4343};
	ASSERT_EQ(setgroups(2, root_groups), 0);
	const bool spawned = d.spawn({"-U", c.arg, "-C", fifo}, server.name, dir);
	ASSERT_EQ(setgroups(saved.size(), saved.data()), 0);
	ASSERT_TRUE(spawned);

	const std::string ids = [&](unsigned v) {
		const std::string s = std::to_string(v);
		return s + " " + s + " " + s + " " + s;
	}(c.uid);
	ASSERT_TRUE(wait_until([&] { return !d.running() || proc_status_field(d.pid, "Uid") == ids; }))
		<< d.stderr_text();
	ASSERT_TRUE(d.running()) << d.stderr_text();
	const std::string gids = std::to_string(c.gid) + " " + std::to_string(c.gid) + " " +
	                         std::to_string(c.gid) + " " + std::to_string(c.gid);
	EXPECT_EQ(proc_status_field(d.pid, "Gid"), gids);
	std::string groups = proc_status_field(d.pid, "Groups");
	{
		std::vector<unsigned long> g;
		std::istringstream in(groups);
		for (unsigned long v; in >> v;)
			g.push_back(v);
		std::sort(g.begin(), g.end());
		groups.clear();
		for (auto v : g)
			groups += (groups.empty() ? "" : " ") + std::to_string(v);
	}
	EXPECT_EQ(groups, c.groups);
	// The capture FIFO was opened as root, before the drop.
	EXPECT_EQ(open_count(d.pid, fifo), 1);

	// The daemon's client is on the target user's server: look from a
	// process of that user.
	const std::string port = "cableferry-" + fifo + ":midi.TX";
	const std::string server_name = server.name;
	const pid_t checker = fork();
	ASSERT_GE(checker, 0);
	if (checker == 0) {
		if (setgroups(0, nullptr) != 0 || setgid(c.gid) != 0 || setuid(c.uid) != 0)
			_exit(2);
		jack_status_t st;
		const std::string me = unique_client_name("checker");
		jack_client_t *cl = jack_client_open(me.c_str(), JackOptions(JackNoStartServer | JackServerName),
		                                     &st, server_name.c_str());
		if (cl == nullptr)
			_exit(3);
		const bool found = wait_until([&] { return jack_port_by_name(cl, port.c_str()) != nullptr; });
		jack_client_close(cl);
		_exit(found ? 0 : 1);
	}
	track_pid(checker);
	const auto status = wait_child(checker, 15s);
	if (!status)
		kill_child(checker);
	ASSERT_TRUE(status.has_value());
	EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
		<< "checker status " << *status << "; daemon stderr:\n" << d.stderr_text();
	EXPECT_TRUE(d.running());
}

INSTANTIATE_TEST_SUITE_P(users, user_drop, ::testing::Values("nobody", "4242"),
                         [](const auto &info) { return "uid_" + std::string(info.param); });

// ---- no server ------------------------------------------------------------

TEST_F(offline, no_server_without_background_is_69)
{
	const std::string fifo = dir.make_fifo("dev");
	daemon_proc d;
	const std::string server = unique_server_name() + "_absent";
	ASSERT_TRUE(d.spawn({"-C", fifo}, server, dir));
	EXPECT_EQ(d.exit_status(), 69);
	EXPECT_EQ(last_line(d.stderr_text()), "cableferry: Could not connect to the JACK server. Run jackd first?");
	const std::string err = d.stderr_text();
	const passwd *pw = getpwuid(geteuid());
	ASSERT_NE(pw, nullptr);
	EXPECT_NE(err.find("cableferry: asked for the JACK server '" + server + "' as user '" + pw->pw_name +
	                   "' (uid " + std::to_string(geteuid()) + ")\n"),
	          std::string::npos)
		<< err;
	EXPECT_TRUE(!err.empty() && err.back() == '\n');
}

// Started with standard error closed, the daemon must not hand its number
// to a device: libjack's complaints and our own message would
// then be written into the MIDI device.
TEST_F(offline, closed_standard_error_never_reaches_the_device)
{
	const std::string fifo = dir.make_fifo("dev");
	unique_fd reader = open_fifo_reader(fifo);
	ASSERT_TRUE(reader);
	const std::string env = "JACK_DEFAULT_SERVER=" + unique_server_name() + "_absent";
	std::string bin = CABLEFERRY_BINARY, opt = "-P";
	std::string path = fifo;
	char *argv[] = {bin.data(), opt.data(), path.data(), nullptr};
	char *envp[] = {const_cast<char *>(env.c_str()), nullptr};
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addclose(&actions, STDERR_FILENO);
	pid_t pid = -1;
	ASSERT_EQ(posix_spawn(&pid, bin.c_str(), &actions, nullptr, argv, envp), 0);
	posix_spawn_file_actions_destroy(&actions);
	track_pid(pid);
	const auto status = wait_child(pid, default_deadline);
	ASSERT_TRUE(status.has_value());
	EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 69);
	bytes got;
	read_available(reader.fd, got);
	EXPECT_EQ(std::string(got.begin(), got.end()), "");
}

} // namespace
} // namespace cftest
