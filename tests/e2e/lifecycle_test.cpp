// How the daemon ends, and how it waits: -k on a missing or lost device, the
// server going away, and background mode waiting for a server.
//
// In background mode daemon(3) forks and the parent exits.  The test process
// is made a child subreaper, so the daemon is re-parented to it and can be
// found among its children, waited for and killed by its id.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "support/midi_model.h"

namespace cftest {
namespace {

struct missing_case {
	const char *label;             // what the case shows
	std::vector<std::string> args; // "@" is a missing path, "%" a FIFO that opens
	std::vector<std::string> ports; // ports that must have been registered
};

class exit_on_loss : public e2e_server {};

// With -k, a device that did not open at start ends the process right after
// activation: the ports were registered first.
TEST_F(exit_on_loss, device_missing_at_start_ends_after_registration)
{
	const std::vector<missing_case> cases = {
		{"playback", {"-k", "-P", "@"}, {"midi.RX"}},
		{"capture", {"-k", "-C", "@"}, {"midi.TX"}},
		{"both", {"-k", "-d", "@"}, {"midi.TX", "midi.RX"}},
		{"capture there, playback missing", {"-k", "-C", "%", "-P", "@"}, {"midi.TX", "midi.RX"}},
		{"playback there, capture missing", {"-C", "@", "-k", "-P", "%"}, {"midi.TX", "midi.RX"}},
		{"FIFO without a reader", {"-k", "-P", "%w"}, {"midi.RX"}},
	};
	std::vector<unique_fd> readers;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		const std::string tag = std::to_string(&c - cases.data());
		const std::string missing = dir.at("missing" + tag);
		const std::string present = dir.make_fifo("present" + tag);
		readers.push_back(open_fifo_reader(present));
		std::vector<std::string> args;
		std::string naming, failing = missing;
		for (std::size_t i = 0; i < c.args.size(); i++) {
			std::string a = c.args[i];
			if (a == "@")
				a = missing;
			else if (a == "%")
				a = present;
			else if (a == "%w")
				a = failing = dir.make_fifo("noreader" + tag);
			args.push_back(a);
			if (naming.empty() && i > 0 && (c.args[i - 1] == "-C" || c.args[i - 1] == "-d"))
				naming = a;
		}
		if (naming.empty())
			naming = args.back();
		const std::string client = "cableferry-" + naming;

		daemon_proc &d = launch(args);
		EXPECT_EQ(d.exit_status(), 0);
		// The node that ends it is named, with the reason.
		const std::string err = d.stderr_text();
		EXPECT_NE(err.find(failing + ": cannot open: No such "), std::string::npos) << err;
		EXPECT_EQ(without_node_lines(err), "");
		ASSERT_TRUE(probe.sync_notices());
		const auto notes = probe.registrations();
		EXPECT_NE(std::find(notes.begin(), notes.end(), "+" + client), notes.end()) << "the client never came";
		for (const auto &p : c.ports)
			EXPECT_NE(std::find(notes.begin(), notes.end(), "+" + client + ":" + p), notes.end())
				<< p << " was never registered";
	}
}

struct lost_case {
	const char *label;             // what the case shows
	std::vector<std::string> args; // "@" is the FIFO
	bool close_reader;             // lose it by closing the reader (else remove it)
	bool stalled = false;          // first fill the playback node, whose reader never reads
};

TEST_F(exit_on_loss, device_lost_while_running_ends_with_zero)
{
	const std::vector<lost_case> cases = {
		{"capture node removed", {"-k", "-C", "@"}, false},
		{"playback node removed", {"-k", "-P", "@"}, false},
		{"playback reader gone", {"-k", "-P", "@"}, true},
		{"shared node removed", {"-k", "-d", "@"}, false},
		{"shared node removed, timed", {"-k", "-d", "@", "-t"}, false},
		{"stalled playback node removed", {"-k", "-P", "@"}, false, true},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		const std::string fifo = dir.make_fifo("dev" + std::to_string(&c - cases.data()));
		unique_fd reader = open_fifo_reader(fifo);
		std::vector<std::string> args;
		for (const auto &a : c.args)
			args.push_back(a == "@" ? fifo : a);
		const std::string client = "cableferry-" + fifo;
		const bool capture = args[1] != "-P";

		daemon_proc &d = launch(args);
		ASSERT_NO_FATAL_FAILURE(await_port(d, client + (capture ? ":midi.TX" : ":midi.RX")));
		const int opened = args[1] == "-d" ? 2 : 1;
		ASSERT_TRUE(wait_until([&] { return open_count(d.pid, fifo) == opened; }));
		ASSERT_TRUE(d.running());
		if (c.stalled) {
			// One page of room, three dumps of 4,104 bytes, and nobody reads.
			fcntl(reader.fd, F_SETPIPE_SZ, 4096);
			ASSERT_TRUE(probe.connect(probe.own("out"), client + ":midi.RX"));
			const bytes dump = sysex_message(4104, 1);
			ASSERT_TRUE(probe.send({dump, dump, dump}));
			ASSERT_TRUE(probe.wait_flushed());
		}

		if (c.close_reader)
			reader.reset();
		else
			ASSERT_EQ(unlink(fifo.c_str()), 0);
		// The loop looks once a second: a couple of seconds, with room for load.
		EXPECT_EQ(d.exit_status(5s), 0) << d.stderr_text();
		EXPECT_NE(d.stderr_text().find(fifo + ": lost\n"), std::string::npos) << d.stderr_text();
		EXPECT_EQ(without_node_lines(d.stderr_text()), "");
	}
}

// Without -k the loss of the capture node is survived, and the node is
// opened again once it is back.  Each change is said once: the node's
// absence, though tried every second, only the first time.
TEST_F(exit_on_loss, capture_loss_without_k_is_survived)
{
	const std::string fifo = dir.make_fifo("in");
	const std::string said = "cableferry: capture " + fifo + ": ";
	daemon_proc &d = launch({"-C", fifo});
	ASSERT_NO_FATAL_FAILURE(await_port(d, "cableferry-" + fifo + ":midi.TX"));
	ASSERT_TRUE(wait_until([&] { return open_count(d.pid, fifo) == 1; }));
	ASSERT_EQ(unlink(fifo.c_str()), 0);
	ASSERT_TRUE(wait_until([&] { return d.stderr_text().find("cannot open") != std::string::npos; }));
	EXPECT_EQ(open_count(d.pid, fifo), 0);
	std::this_thread::sleep_for(2500ms); // two more tries, which say nothing
	EXPECT_TRUE(d.running());
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	const std::string lines = said + "opened\n" + said + "lost\n" + said +
	                          "cannot open: No such file or directory\n" + said + "opened\n";
	EXPECT_TRUE(wait_until([&] { return d.stderr_text() == lines; })) << d.stderr_text();
	EXPECT_EQ(open_count(d.pid, fifo), 1);
}

// A node the daemon may not open is named once, with the reason, which the
// status line gives too, and once more when it opens.  The daemon runs as
// nobody, on nobody's server, as a user outside the group audio would.
class node_words : public e2e_dir {};

TEST_F(node_words, forbidden_node_is_said_once_then_opened)
{
	const passwd *pw = getpwnam("nobody");
	if (geteuid() != 0 || pw == nullptr)
		GTEST_SKIP() << "needs root and a user nobody";
	daemon_proc d;           // declared first: the server stops before it is killed
	jack_server server(dir);
	ASSERT_TRUE(server.start(pw->pw_uid)) << server.log();
	ASSERT_EQ(chmod(dir.path.c_str(), 0711), 0);
	const std::string fifo = dir.make_fifo("in"); // root's, 0600
	const std::string said = "cableferry: capture " + fifo + ": ";
	d.program = "/usr/bin/setpriv";
	ASSERT_TRUE(d.spawn({"--reuid=" + std::to_string(pw->pw_uid), "--regid=" + std::to_string(pw->pw_gid),
	                     "--clear-groups", CABLEFERRY_BINARY, "-C", fifo},
	                    server.name, dir));
	ASSERT_TRUE(wait_until([&] { return d.stderr_text().find("cannot open") != std::string::npos; }))
		<< d.stderr_text();
	std::this_thread::sleep_for(2500ms); // two more tries, which say nothing
	ASSERT_EQ(kill(d.pid, SIGUSR1), 0);
	const std::string waiting = said.substr(0, said.size() - 2) + " waiting (Permission denied): bytes=0 ";
	EXPECT_TRUE(wait_until([&] { return d.stderr_text().find(waiting) != std::string::npos; }))
		<< d.stderr_text();
	ASSERT_EQ(chmod(fifo.c_str(), 0666), 0);
	EXPECT_TRUE(wait_until([&] { return d.stderr_text().find(said + "opened\n") != std::string::npos; }));
	const std::string err = d.stderr_text();
	EXPECT_EQ(err.substr(0, err.find('\n') + 1), said + "cannot open: Permission denied\n");
	EXPECT_EQ(err.substr(err.find('\n', err.find(waiting)) + 1), said + "opened\n");
}

class server_loss : public e2e_server {};

TEST_F(server_loss, server_stopping_ends_with_zero)
{
	const std::string in = dir.make_fifo("in");
	const std::string out = dir.make_fifo("out");
	unique_fd reader = open_fifo_reader(out);
	daemon_proc &a = launch({"-C", in, "-S"});
	daemon_proc &b = launch({"-P", out});
	ASSERT_NO_FATAL_FAILURE(await_port(a, "cableferry-" + in + ":midi.TX.CHF"));
	ASSERT_NO_FATAL_FAILURE(await_port(b, "cableferry-" + out + ":midi.RX"));
	// Both are active (await_port waits for the announcement); one round
	// trip to the server, which answers requests one at a time, and the
	// daemons have had their answers too.  Stopping the server before then
	// would fail an activation.
	ASSERT_TRUE(probe.sync_notices());
	probe.close();
	server.stop();
	EXPECT_EQ(a.exit_status(), 0) << a.stderr_text();
	EXPECT_EQ(b.exit_status(), 0) << b.stderr_text();
}

// ---- the status line ---------------------------------------------------------

// The figures of the last status line the daemon printed for direction, as
// "open bytes=9 dropped=0 ..." (the state first), after asking for a new one.
std::map<std::string, std::string> ask_status(daemon_proc &d, const std::string &direction)
{
	const auto lines = [&](const std::string &text) { return std::count(text.begin(), text.end(), '\n'); };
	const auto before = lines(d.stderr_text());
	EXPECT_EQ(kill(d.pid, SIGUSR1), 0);
	std::string text;
	EXPECT_TRUE(wait_until([&] {
		text = d.stderr_text();
		return lines(text) >= before + 2;
	})) << text;
	std::map<std::string, std::string> figures;
	const std::string head = "cableferry: " + direction + " ";
	const std::size_t at = text.rfind(head);
	if (at == std::string::npos)
		return figures;
	std::istringstream line(text.substr(at, text.find('\n', at) - at));
	std::string word;
	while (line >> word)
		if (const auto eq = word.find('='); eq != std::string::npos)
			figures[word.substr(0, eq)] = word.substr(eq + 1);
		else if (word == "open:" || word.starts_with("waiting"))
			figures["state"] = word.substr(0, word.find(':'));
	return figures;
}

class status_line : public e2e_server {};

// SIGUSR1 prints one line per node whose figures follow a known exchange,
// and the daemon carries on.
TEST_F(status_line, counts_what_went_through_and_keeps_running)
{
	const std::string in = dir.make_fifo("in");
	const std::string out = dir.make_fifo("out");
	unique_fd reader = open_fifo_reader(out);
	const std::string client = "cableferry-" + in;
	daemon_proc &d = launch({"-C", in, "-P", out});
	ASSERT_NO_FATAL_FAILURE(await_active(d, client, in));
	ASSERT_TRUE(wait_until([&] { return open_count(d.pid, out) == 1; }));
	ASSERT_TRUE(probe.connect(probe.own("out"), client + ":midi.RX"));
	auto capture = ask_status(d, "capture " + in);
	auto playback = ask_status(d, "playback " + out);
	EXPECT_EQ(capture["state"], "open");
	EXPECT_EQ(playback["state"], "open");
	const auto figure = [](std::map<std::string, std::string> &m, const char *key) {
		return std::stoull(m.count(key) ? m[key] : "0");
	};
	const std::uint64_t read_before = figure(capture, "bytes");

	// Nine bytes in, six bytes out.
	unique_fd writer(::open(in.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
	ASSERT_EQ(::write(writer.fd, "\x90\x3C\x64\x80\x3C\x40\xB0\x07\x64", 9), 9);
	ASSERT_TRUE(probe.send({{0x91, 0x40, 0x7F}, {0x81, 0x40, 0x00}}));
	bytes got;
	ASSERT_TRUE(wait_until([&] { read_available(reader.fd, got); return got.size() >= 6; }));
	ASSERT_TRUE(probe.wait_periods(4));
	capture = ask_status(d, "capture " + in);
	playback = ask_status(d, "playback " + out);
	EXPECT_EQ(figure(capture, "bytes") - read_before, 9u);
	EXPECT_EQ(figure(playback, "bytes"), 6u);
	for (auto *m : {&capture, &playback}) {
		EXPECT_EQ((*m)["opened"], "1");
		EXPECT_EQ((*m)["lost"], "0");
		EXPECT_EQ((*m)["dropped"], "0");
		EXPECT_EQ((*m)["queued"], "0");
		EXPECT_EQ((*m)["bounded"], "0");
		EXPECT_FALSE((*m)["memory"].empty());
	}

	// The capture node goes: the line says so.
	writer.reset();
	ASSERT_EQ(unlink(in.c_str()), 0);
	ASSERT_TRUE(wait_until([&] { return open_count(d.pid, in) == 0; }));
	capture = ask_status(d, "capture " + in);
	EXPECT_EQ(capture["state"], "waiting");
	EXPECT_EQ(capture["lost"], "1");
	EXPECT_TRUE(d.running());
}

// ---- background mode ---------------------------------------------------------

class background : public e2e_dir {
protected:
	void SetUp() override
	{
		e2e_dir::SetUp();
		ASSERT_TRUE(become_subreaper());
	}

	// A daemon the test could not find is still our child: end it too.
	void TearDown() override { kill_all_children(); }

	// Starts the daemon with -B; once daemon(3) has forked, takes over the
	// child that carries on.
	void start_background(daemon_proc &d, const std::vector<std::string> &args, const std::string &server)
	{
		ASSERT_TRUE(d.spawn(args, server, dir));
		const pid_t parent = d.pid;
		ASSERT_EQ(d.exit_status(), 0) << "the parent of daemon(3) must exit 0";
		const pid_t child = find_child(daemon_comm(), {parent});
		ASSERT_GT(child, 0) << "the daemon was not found among our children";
		d.adopt(child);
	}
};

TEST_F(background, waits_for_a_server_that_starts_later)
{
	daemon_proc d;           // declared first: the server stops before it is killed
	jack_server server(dir); // not started yet
	jack_probe probe;
	const std::string fifo = dir.make_fifo("out");
	ASSERT_NO_FATAL_FAILURE(start_background(d, {"-B", "-P", fifo}, server.name));

	// Detached: root as working directory, standard streams on /dev/null.
	// The child does this right after the fork, so it may still be at it.
	const auto link_of = [&](const std::string &what) {
		char target[256] = {};
		const std::string link = "/proc/" + std::to_string(d.pid) + "/" + what;
		return readlink(link.c_str(), target, sizeof target - 1) > 0 ? std::string(target) : std::string();
	};
	EXPECT_TRUE(wait_until([&] {
		return link_of("cwd") == "/" && link_of("fd/0") == "/dev/null" && link_of("fd/1") == "/dev/null" &&
		       link_of("fd/2") == "/dev/null";
	})) << "cwd " << link_of("cwd") << ", fds " << link_of("fd/0") << " " << link_of("fd/1") << " "
	    << link_of("fd/2");

	// The devices are serviced between connection attempts: a reader that
	// appears now lets the playback FIFO open before any server exists.
	unique_fd reader = open_fifo_reader(fifo);
	ASSERT_TRUE(wait_until([&] { return open_count(d.pid, fifo) == 1 || !d.running(); }));
	ASSERT_TRUE(d.running());
	EXPECT_EQ(open_count(d.pid, fifo), 1);

	ASSERT_TRUE(server.start()) << server.log();
	ASSERT_TRUE(probe.open(server.name));
	ASSERT_TRUE(probe.add_output("out"));
	ASSERT_TRUE(probe.activate());
	const std::string rx = "cableferry-" + fifo + ":midi.RX";
	ASSERT_TRUE(wait_until([&] { return probe.port_exists(rx) || !d.running(); }));
	ASSERT_TRUE(probe.port_exists(rx)) << "daemon ended";

	// And it bridges: a message reaches the FIFO.
	ASSERT_TRUE(probe.connect(probe.own("out"), rx));
	ASSERT_TRUE(probe.send({{0x90, 0x3C, 0x64}}));
	bytes got;
	EXPECT_TRUE(wait_until([&] {
		read_available(reader.fd, got);
		return got.size() >= 3;
	}));
	EXPECT_EQ(got, (bytes{0x90, 0x3C, 0x64}));

	probe.close();
	server.stop();
	EXPECT_EQ(d.exit_status(), 0);
}

TEST_F(background, exit_on_loss_ends_while_waiting_for_the_server)
{
	daemon_proc d;
	ASSERT_NO_FATAL_FAILURE(start_background(d, {"-B", "-k", "-P", dir.at("missing")},
	                                         unique_server_name() + "_absent"));
	EXPECT_EQ(d.exit_status(), 0);
}

} // namespace
} // namespace cftest
