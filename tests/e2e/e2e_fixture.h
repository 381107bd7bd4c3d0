// Fixtures shared by the end-to-end tests.
//
// e2e_dir gives a test its own temporary directory.  e2e_server adds a
// private JACK server and a probe client on it, with one MIDI output ("out")
// and two MIDI inputs ("in", "in2"), all started in SetUp.  Members are destroyed in
// reverse order, so the probe leaves before its server stops, and the server
// stops before its directory goes.  Daemons started with launch() belong to
// the fixture: TearDown stops the server, which ends them through JACK's
// shutdown notice.  (A client killed while the server runs makes jackd wait
// for it, in synchronous mode for seconds.)
//
// The probe leaves first, but only once no other client is still starting.
// jackd2 writes every property notice to every client from the one thread
// that serves all requests, with blocking writes; a daemon starting with -S
// sets some fifty properties, which fill the socket of a client that has
// stopped reading, and a closing client stops reading before the server
// has taken its close.  The server would freeze, and the close with it.
// For the same reason await_port waits on jackd2 until the port is
// announced, that is until its client is active and done publishing.
// A libjack call of the kit that hangs all the same fails the test through
// the watchdog (support/watchdog.h), with every stack printed.
//
// The server is jackd unless a test says otherwise: e2e_on_server takes the
// kind as its parameter, and a test skips, with the reason, when this
// program cannot reach that kind of server.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "support/jack_harness.h"
#include "support/watchdog.h"

namespace cftest {

inline constexpr const char *midi_type = "8 bit raw midi";
inline constexpr unsigned long out_flags = JackPortIsOutput | JackPortIsPhysical | JackPortIsTerminal;
inline constexpr unsigned long in_flags = JackPortIsInput | JackPortIsPhysical | JackPortIsTerminal;

// The ports a bridge named client registers, as the server lists them:
// midi.TX, midi.TX.CH0 .. CHF and midi.RX, each where asked for.
inline std::vector<port_info> bridge_ports(const std::string &client, bool tx, bool channels, bool rx)
{
	std::vector<port_info> ports;
	if (tx)
		ports.push_back({client + ":midi.TX", midi_type, out_flags});
	if (channels)
		for (const char *ch : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "A", "B", "C", "D", "E", "F"})
			ports.push_back({client + ":midi.TX.CH" + ch, midi_type, out_flags});
	if (rx)
		ports.push_back({client + ":midi.RX", midi_type, in_flags});
	return ports;
}

// The ports got are exactly those of want, in any order, each with its type
// and flags.
inline void expect_same_ports(std::vector<port_info> got, std::vector<port_info> want)
{
	const auto by_name = [](const port_info &a, const port_info &b) { return a.name < b.name; };
	std::sort(got.begin(), got.end(), by_name);
	std::sort(want.begin(), want.end(), by_name);
	ASSERT_EQ(got.size(), want.size());
	for (std::size_t i = 0; i < got.size(); i++) {
		EXPECT_EQ(got[i].name, want[i].name);
		EXPECT_EQ(got[i].type, want[i].type) << got[i].name;
		EXPECT_EQ(got[i].flags, want[i].flags) << got[i].name;
	}
}

class e2e_dir : public ::testing::Test {
protected:
	temp_dir dir; // this test's own directory

	void SetUp() override { ASSERT_FALSE(dir.path.empty()) << "mkdtemp failed"; }
};

class e2e_server : public e2e_dir {
protected:
	jack_server server{dir};         // private server, started in SetUp
	jack_probe probe;                // our client on it
	std::deque<daemon_proc> daemons; // daemons started by launch()

	void SetUp() override
	{
		e2e_dir::SetUp();
		set_watchdog_reporter([](const std::string &what) { ADD_FAILURE() << what; });
		if (const std::string why = server_unavailable(server.kind); !why.empty())
			GTEST_SKIP() << why;
		ASSERT_TRUE(server.start()) << server.log();
		ASSERT_TRUE(probe.open(server.name)) << server.log();
		ASSERT_TRUE(probe.add_output("out"));
		ASSERT_EQ(probe.add_input("in"), 0);
		ASSERT_EQ(probe.add_input("in2"), 1);
		ASSERT_TRUE(probe.activate());
		ASSERT_TRUE(probe.wait_periods(1));
	}

	void TearDown() override
	{
		if (server.kind == server_kind::jackd && probe.client() != nullptr) {
			std::vector<std::string> starting;
			EXPECT_TRUE(wait_until([&] { return (starting = probe.starting_clients()).empty(); }))
				<< "clients still starting at the end of the test: " << testing::PrintToString(starting);
		}
		probe.close();
		server.stop();
		for (auto &d : daemons)
			d.wait(2s);
	}

	// Starts the daemon on this server, with extra_env (NAME=value each) in
	// its environment.
	daemon_proc &launch(const std::vector<std::string> &args, const std::vector<std::string> &extra_env = {})
	{
		daemon_proc &d = daemons.emplace_back();
		if (!d.spawn(args, server.name, dir, extra_env))
			ADD_FAILURE() << "could not start the daemon";
		return d;
	}

	// Waits until full_port exists, and on jackd2 until it is announced
	// (its client is active), failing (with the daemon's stderr) if the
	// daemon ends first or the deadline passes.
	void await_port(daemon_proc &d, const std::string &full_port)
	{
		const auto there = [&] {
			return probe.port_exists(full_port) &&
			       (server.kind != server_kind::jackd || probe.port_announced(full_port));
		};
		const bool seen = wait_until([&] { return there() || !d.running(); });
		ASSERT_TRUE(seen && there()) << "no active port " << full_port << "; daemon stderr:\n"
		                             << d.stderr_text();
	}

	// Waits until the daemon's process cycle runs, the one sign of an
	// active client that every server gives: a clock byte written to its
	// capture FIFO reaches the probe's "in2" through midi.TX.  Leaves that
	// connection, and takes whatever the probe had recorded.
	void await_active(daemon_proc &d, const std::string &client, const std::string &capture_fifo)
	{
		ASSERT_NO_FATAL_FAILURE(await_port(d, client + ":midi.TX"));
		ASSERT_TRUE(probe.connect(client + ":midi.TX", probe.own("in2")));
		unique_fd writer(::open(capture_fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
		bool seen = false;
		const auto clock_came = [&] {
			for (const auto &r : probe.drain())
				seen = seen || (r.port == 1 && r.size == 1 && r.data[0] == 0xF8);
			return seen;
		};
		const bool active = wait_until([&] {
			if (!writer)
				writer = unique_fd(::open(capture_fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
			const std::uint8_t clock = 0xF8;
			if (writer && ::write(writer.fd, &clock, 1) < 0)
				return false;
			return wait_until(clock_came, 100ms);
		});
		ASSERT_TRUE(active) << client << " never ran a cycle; daemon stderr:\n" << d.stderr_text();
	}
};

// A test on the kind of server given as its parameter.
class e2e_on_server : public e2e_server, public ::testing::WithParamInterface<server_kind> {
protected:
	e2e_on_server() { server.kind = GetParam(); }
};

// "jackd" or "pipewire", for the instances' names.
inline std::string server_kind_name(const ::testing::TestParamInfo<server_kind> &info)
{
	return info.param == server_kind::pipewire ? "pipewire" : "jackd";
}

} // namespace cftest
