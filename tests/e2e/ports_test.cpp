// The daemon's JACK client as the server sees it: its name and its ports,
// with their types and flags.
//
// The name limit is checked twice: a raw client open shows what the server
// allows, so the limit is the real server's and not a number from a header,
// and the daemon's long names must be cut to that, less the room the server
// needs to tell two of them apart.
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace cftest {
namespace {

struct port_case {
	const char *label;              // what the case shows
	std::vector<std::string> args;  // "@" stands for the FIFO
	bool tx;                        // midi.TX expected
	bool channels;                  // midi.TX.CH0..CHF expected
	bool rx;                        // midi.RX expected
	bool timed = false;             // -t: every port declares one period of latency
};

// The latency range port declares in the direction of its flags.
jack_latency_range_t latency_of(jack_client_t *client, const port_info &port)
{
	jack_latency_range_t range{~0u, ~0u};
	if (jack_port_t *p = jack_port_by_name(client, port.name.c_str()))
		jack_port_get_latency_range(p, (port.flags & JackPortIsOutput) ? JackCaptureLatency : JackPlaybackLatency,
		                            &range);
	return range;
}

class ports : public e2e_server {};

// Each case has a FIFO of its own, so the clients' names differ and all the
// daemons can run until the server stops.
TEST_F(ports, names_types_and_flags)
{
	const std::vector<port_case> cases = {
		{"-d", {"-d", "@"}, true, false, true},
		{"-S -d", {"-S", "-d", "@"}, true, true, true},
		{"-C", {"-C", "@"}, true, false, false},
		{"-S -C", {"-C", "@", "-S"}, true, true, false},
		{"-P", {"-P", "@"}, false, false, true},
		{"-S without a capture device", {"-S", "-P", "@"}, false, false, true},
		{"-t -S -d", {"-t", "-S", "-d", "@"}, true, true, true, true},
	};
	const auto declares = [&](const port_info &p, unsigned latency) {
		return wait_until([&] {
			const jack_latency_range_t r = latency_of(probe.client(), p);
			return r.min == latency && r.max == latency;
		});
	};
	std::vector<port_info> timed_ports;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		const std::string fifo = dir.make_fifo("dev" + std::to_string(&c - cases.data()));
		const std::string client = "cableferry-" + fifo;
		std::vector<std::string> args;
		for (const auto &a : c.args)
			args.push_back(a == "@" ? fifo : a);

		const std::vector<port_info> want = bridge_ports(client, c.tx, c.channels, c.rx);

		daemon_proc &d = launch(args);
		// The ports are all registered before the client is activated, and
		// they can be looked up by name from then on (the registration
		// notices come only with activation): wait for the last one.
		ASSERT_NO_FATAL_FAILURE(await_port(d, want.back().name));
		ASSERT_NO_FATAL_FAILURE(expect_same_ports(probe.ports_of(client), want));
		const unsigned latency = c.timed ? server.period : 0;
		for (const auto &p : want)
			EXPECT_TRUE(declares(p, latency)) << p.name << " declares " << latency_of(probe.client(), p).min;
		if (c.timed)
			timed_ports = want;
		EXPECT_TRUE(d.running());
		EXPECT_EQ(without_node_lines(d.stderr_text()), "");
	}
	// A new buffer size: with -t the ports declare the new period at once,
	// with no new connection to make JACK ask again.
	const unsigned period = server.period * 4;
	ASSERT_EQ(jack_set_buffer_size(probe.client(), period), 0);
	for (const auto &p : timed_ports)
		EXPECT_TRUE(declares(p, period)) << p.name << " declares " << latency_of(probe.client(), p).min;
}

struct name_case {
	const char *label;             // what the case shows
	std::vector<std::string> args; // "@" stands for the FIFO
	std::string client;            // expected client name; "@" for the FIFO
};

// /dev/ nodes are pseudo-terminals: their numbers are unique on the machine
// while open, and so are the names (see unique_client_name).
TEST_F(ports, client_name_general_form)
{
	auto pty1 = open_pty();
	auto pty2 = open_pty();
	ASSERT_TRUE(pty1 && pty2);
	const std::string pts1 = pty1->slave_path, pts2 = pty2->slave_path;
	ASSERT_EQ(pts1.rfind("/dev/", 0), 0u);
	const std::vector<name_case> cases = {
		{"playback path kept whole", {"-P", "@"}, "cableferry-@"},
		{"capture path names the client", {"-C", "@", "-P", "/dev/null"}, "cableferry-@"},
		{"/dev/ is dropped, -n prefix", {"-d", pts1, "-n", "synth"}, "synth-" + pts1.substr(5)},
		{"playback /dev/ node", {"-P", pts2}, "cableferry-" + pts2.substr(5)},
		{"empty prefix", {"-n", "", "-P", "@"}, "-@"},
		{"later -n wins", {"-n", "a", "-n", "b", "-P", "@"}, "b-@"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		const std::string fifo = dir.make_fifo("dev" + std::to_string(&c - cases.data()));
		std::vector<std::string> args;
		for (const auto &a : c.args)
			args.push_back(a == "@" ? fifo : a);
		std::string client = c.client;
		if (const auto at = client.find('@'); at != std::string::npos)
			client.replace(at, 1, fifo);
		const bool capture = std::find(args.begin(), args.end(), "-C") != args.end() ||
		                     std::find(args.begin(), args.end(), "-d") != args.end();

		daemon_proc &d = launch(args);
		ASSERT_NO_FATAL_FAILURE(await_port(d, client + (capture ? ":midi.TX" : ":midi.RX")));
	}
}

// A raw client open against the real server: where does it stop taking names?
std::size_t server_name_limit(const std::string &server)
{
	std::size_t accepted = 0;
	for (std::size_t len : {60, 61, 62, 63, 64, 65, 70, 100}) {
		// Unique to this process (see unique_client_name), len characters.
		const std::string base = unique_client_name("n");
		const std::string name = base + std::string(len - base.size(), 'x');
		jack_status_t status;
		jack_client_t *c = guarded("jack_client_open", [&] {
			return jack_client_open(name.c_str(), JackOptions(JackNoStartServer | JackServerName), &status,
			                        server.c_str());
		});
		if (c == nullptr)
			continue;
		accepted = std::max(accepted, len);
		guarded("jack_client_close", [&] { return jack_client_close(c); });
	}
	return accepted;
}

// jackd2 makes a taken name unique with "-01" only when the name leaves room
// for it, so names are cut 3 bytes short of the server's limit; and never
// inside a UTF-8 character, which would leave an undecodable name.
TEST_F(ports, long_name_is_cut_to_what_the_server_takes)
{
	const std::size_t limit = server_name_limit(server.name);
	EXPECT_EQ(limit, 63u) << "jackd2 refuses 64 characters and more";
	ASSERT_GT(limit, 3u);
	const std::size_t keep = limit - 3;

	// Paths long enough to give a name beyond the 127-character buffer too;
	// two of them, alike up to well past the cut.
	std::string sub = dir.path;
	for (int i = 0; i < 3; i++) {
		sub += "/" + std::string(40, static_cast<char>('a' + i));
		ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
	}
	const std::string fifo1 = sub + "/dev1", fifo2 = sub + "/dev2";
	ASSERT_EQ(mkfifo(fifo1.c_str(), 0600), 0);
	ASSERT_EQ(mkfifo(fifo2.c_str(), 0600), 0);
	const std::string full = "cableferry-" + fifo1;
	ASSERT_GT(full.size(), 127u);
	const std::string client = full.substr(0, keep);

	daemon_proc &first = launch({"-P", fifo1});
	ASSERT_NO_FATAL_FAILURE(await_port(first, client + ":midi.RX"));
	const auto all = probe.ports_of(client);
	ASSERT_EQ(all.size(), 1u);
	EXPECT_EQ(all[0].name, client + ":midi.RX");
	daemon_proc &second = launch({"-P", fifo2});
	ASSERT_NO_FATAL_FAILURE(await_port(second, client + "-01:midi.RX"));

	// "\xC3\xA9" (e acute) taking bytes keep - 1 and keep: the name ends before it.
	const std::string head = "cableferry-" + dir.path + "/";
	ASSERT_LT(head.size(), keep - 1);
	const std::string accented = dir.path + "/" + std::string(keep - 1 - head.size(), 'e') + "\xC3\xA9tail";
	ASSERT_EQ(mkfifo(accented.c_str(), 0600), 0);
	const std::string cut = ("cableferry-" + accented).substr(0, keep - 1);
	daemon_proc &third = launch({"-P", accented});
	ASSERT_NO_FATAL_FAILURE(await_port(third, cut + ":midi.RX"));
	EXPECT_TRUE(first.running() && second.running() && third.running());
}

} // namespace
} // namespace cftest
