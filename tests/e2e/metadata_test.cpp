// JACK metadata as other clients read it: the pretty-names, hardware paths
// and order of the ports, their aliases, and the client's pretty-name from
// the device's whole description; and none of it left once the bridge ends.
//
// The description comes from a sysfs-shaped tree in the test's folder,
// which the daemon sees as /sys in a mount namespace of its own; its node
// need not exist for that (a missing node only stays closed).  The
// properties are read back with jack_property, a client that starts for
// each reading, waiting for them, since a server may hand them on after the
// ports appear: pipewire-jack's clients keep properties they were once told
// of, even of subjects gone since, so a long-lived client is no witness.
// The aliases, which live with the ports, are read through the probe.
#include <jack/metadata.h>
#include <jack/uuid.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace cftest {
namespace {

namespace fs = std::filesystem;

using property_map = std::map<std::string, std::string>; // key -> value, or value and type

constexpr const char *int_type = "http://www.w3.org/2001/XMLSchema#int";

// Every property on the server, read by a client that starts now:
// "jack_property -l" lists each subject's number on a line, then a line
// "key: <key> value: <value>[ type: <type>]" for each of its properties.
// Values are kept as "value" or "value [type]".
std::map<jack_uuid_t, property_map> parse_listing(const std::string &text)
{
	std::map<jack_uuid_t, property_map> out;
	jack_uuid_t subject = 0;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);) {
		if (line.rfind("key: ", 0) != 0) {
			subject = std::strtoull(line.c_str(), nullptr, 10);
			continue;
		}
		const auto value_at = line.find(" value: ");
		if (value_at == std::string::npos)
			continue;
		std::string value = line.substr(value_at + 8);
		std::string type;
		if (const auto type_at = value.rfind(" type: "); type_at != std::string::npos) {
			type = value.substr(type_at + 7);
			value.resize(type_at);
		}
		out[subject][line.substr(5, value_at - 5)] = type.empty() ? value : value + " [" + type + "]";
	}
	return out;
}

std::string text_of(const property_map &m)
{
	std::string out;
	for (const auto &[k, v] : m)
		out += k + " = " + v + "\n";
	return out;
}

// The port's properties as expected.
property_map port_properties(const char *pretty, const std::string &node, int order)
{
	return {{JACK_METADATA_PRETTY_NAME, pretty},
	        {JACK_METADATA_HARDWARE, node},
	        {JACK_METADATA_ORDER, std::to_string(order) + " [" + int_type + "]"}};
}

struct labelled_port {
	const char *port;   // short name
	const char *pretty; // pretty-name
	int order;          // order value
	bool capture;       // its node is the capture node
};

const std::vector<labelled_port> every_port = {
	{"midi.TX", "MIDI capture", 1, true},
	{"midi.TX.CH0", "MIDI capture, channel 1", 2, true},
	{"midi.TX.CH1", "MIDI capture, channel 2", 3, true},
	{"midi.TX.CH2", "MIDI capture, channel 3", 4, true},
	{"midi.TX.CH3", "MIDI capture, channel 4", 5, true},
	{"midi.TX.CH4", "MIDI capture, channel 5", 6, true},
	{"midi.TX.CH5", "MIDI capture, channel 6", 7, true},
	{"midi.TX.CH6", "MIDI capture, channel 7", 8, true},
	{"midi.TX.CH7", "MIDI capture, channel 8", 9, true},
	{"midi.TX.CH8", "MIDI capture, channel 9", 10, true},
	{"midi.TX.CH9", "MIDI capture, channel 10", 11, true},
	{"midi.TX.CHA", "MIDI capture, channel 11", 12, true},
	{"midi.TX.CHB", "MIDI capture, channel 12", 13, true},
	{"midi.TX.CHC", "MIDI capture, channel 13", 14, true},
	{"midi.TX.CHD", "MIDI capture, channel 14", 15, true},
	{"midi.TX.CHE", "MIDI capture, channel 15", 16, true},
	{"midi.TX.CHF", "MIDI capture, channel 16", 17, true},
	{"midi.RX", "MIDI playback", 18, false},
};

class metadata : public e2e_on_server {
protected:
	// A USB card with these strings, as Linux lays it out under sys/ in
	// the test's folder; the folder to show the daemon as /sys.
	std::string fake_sysfs(int card, const char *manufacturer, const char *product)
	{
		const fs::path root = dir.at("sys");
		const std::string n = std::to_string(card);
		const fs::path usb = root / "devices/usb1/1-1";
		const fs::path interface = usb / "1-1:1.0";
		fs::create_directories(interface / "sound" / ("card" + n));
		fs::create_directories(root / "class/sound");
		fs::create_directory_symlink("../../../1-1:1.0", interface / "sound" / ("card" + n) / "device");
		fs::create_directory_symlink("../../devices/usb1/1-1/1-1:1.0/sound/card" + n,
		                             root / "class/sound" / ("card" + n));
		std::ofstream(usb / "manufacturer") << manufacturer << "\n";
		std::ofstream(usb / "product") << product << "\n";
		return root.string();
	}

	jack_uuid_t client_uuid(const std::string &client)
	{
		jack_uuid_t uuid = 0;
		if (char *text = jack_get_uuid_for_client_name(probe.client(), client.c_str())) {
			jack_uuid_parse(text, &uuid);
			jack_free(text);
		}
		return uuid;
	}

	jack_uuid_t port_uuid(const std::string &full_name)
	{
		jack_port_t *port = jack_port_by_name(probe.client(), full_name.c_str());
		return port ? jack_port_uuid(port) : 0;
	}

	std::vector<std::string> aliases(const std::string &full_name)
	{
		std::vector<std::string> out;
		jack_port_t *port = jack_port_by_name(probe.client(), full_name.c_str());
		if (port == nullptr)
			return out;
		const int size = jack_port_name_size();
		std::vector<char> a(size, '\0'), b(size, '\0');
		char *both[2] = {a.data(), b.data()};
		const int n = jack_port_get_aliases(port, both);
		for (int i = 0; i < n && i < 2; i++)
			if (both[i][0] != '\0')
				out.emplace_back(both[i]);
		return out;
	}

	// Every property on the server, as jack_property lists it.
	std::map<jack_uuid_t, property_map> listing()
	{
		const auto text = run_jack_tool({"jack_property", "-l"}, server.name, dir);
		return text ? parse_listing(*text) : std::map<jack_uuid_t, property_map>{};
	}

	// Waits until the listing holds want for every subject in it; fails
	// with what it saw.
	void expect_properties(const std::map<jack_uuid_t, property_map> &want, const std::string &what)
	{
		std::map<jack_uuid_t, property_map> got;
		const auto matches = [&] {
			got = listing();
			return std::all_of(want.begin(), want.end(), [&](const auto &w) { return got[w.first] == w.second; });
		};
		if (wait_until(matches))
			return;
		for (const auto &[subject, props] : want)
			EXPECT_EQ(text_of(got[subject]), text_of(props)) << what << ", subject " << subject;
	}

	// Every subject of the client, the client first.
	std::vector<jack_uuid_t> subjects_of(const std::string &client)
	{
		std::vector<jack_uuid_t> out{client_uuid(client)};
		for (const auto &p : probe.ports_of(client))
			out.push_back(port_uuid(p.name));
		return out;
	}
};

struct metadata_case {
	const char *label;             // what the case shows
	std::vector<std::string> args; // "@C" capture node, "@P" playback node
	bool usb_card;                 // the capture node is a USB card in the fake sysfs
	bool channels;                 // per-channel ports expected
	std::string client;            // client name; "@C" for the capture node
	std::string pretty;            // client pretty-name; "@C" for the capture node
};

TEST_P(metadata, every_property_reads_back)
{
	if (IsSkipped())
		return;
	// A card number that no node of the machine has, as the daemon may
	// open the node.
	int card = 90 + getpid() % 100;
	while (access(("/dev/snd/midiC" + std::to_string(card) + "D0").c_str(), F_OK) == 0)
		card++;
	const std::string usb_node = "/dev/snd/midiC" + std::to_string(card) + "D0";
	const std::vector<metadata_case> cases = {
		{"a USB card: the whole description", {"-S", "-d", "@C"}, true, true,
		 "Roland Corporati #0", "Roland Corporation UM-ONE"},
		{"FIFOs: the capture path names it", {"-C", "@C", "-P", "@P"}, false, false, "cableferry-@C", "@C"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		const std::string tag = std::to_string(&c - cases.data());
		const std::string capture = c.usb_card ? usb_node : dir.make_fifo("cap" + tag);
		const std::string playback = c.usb_card ? usb_node : dir.make_fifo("play" + tag);
		const auto fill = [&](const std::string &s) { return s == "@C" ? capture : s == "@P" ? playback : s; };
		std::vector<std::string> args;
		for (const auto &a : c.args)
			args.push_back(fill(a));
		const std::string client = c.client == "cableferry-@C" ? "cableferry-" + capture : c.client;

		daemon_proc &d = daemons.emplace_back();
		if (c.usb_card) {
			if (geteuid() != 0)
				GTEST_SKIP() << "showing the daemon a sysfs of the test's needs root";
			d.sys_root = fake_sysfs(card, "Roland Corporation", "UM-ONE");
		}
		ASSERT_TRUE(d.spawn(args, server.name, dir));
		ASSERT_NO_FATAL_FAILURE(await_port(d, client + ":midi.RX"));

		std::map<jack_uuid_t, property_map> want = {
			{client_uuid(client), {{JACK_METADATA_PRETTY_NAME, fill(c.pretty)}}}};
		std::size_t ports = 0;
		for (const auto &p : every_port) {
			const bool is_channel = std::string_view(p.port).starts_with("midi.TX.CH");
			if (is_channel && !c.channels)
				continue;
			ports++;
			const std::string full = client + ":" + p.port;
			const std::string node = p.capture ? capture : playback;
			want[port_uuid(full)] = port_properties(p.pretty, node, p.order);
			// PipeWire 0.3.65 keeps an alias to the client that set it.
			if (server.kind == server_kind::jackd) {
				const std::vector<std::string> want{fill(c.pretty) + ":" + p.pretty};
				std::vector<std::string> got;
				wait_until([&] { return (got = aliases(full)) == want; });
				EXPECT_EQ(got, want);
			}
		}
		EXPECT_EQ(probe.ports_of(client).size(), ports);
		EXPECT_EQ(want.size(), ports + 1) << "two subjects share a number";
		expect_properties(want, client);
		EXPECT_TRUE(d.running());
		EXPECT_EQ(without_node_lines(d.stderr_text()), "");
	}
}

// Each way the bridge can end, with the server running on: every property
// it set is gone.  Last, the server stops, and a server started again under
// the same name has none either.
TEST_P(metadata, none_left_when_the_bridge_ends)
{
	if (IsSkipped())
		return;
	enum class way { node_lost_under_k, sigterm, sigkill, server_stops };
	const struct {
		const char *label; // what the case shows
		way how;           // how the bridge ends
		int status;        // its wait status
	} cases[] = {
		{"-k and the node removed", way::node_lost_under_k, 0},
		{"SIGTERM", way::sigterm, SIGTERM},
		{"SIGKILL", way::sigkill, SIGKILL},
		{"the server stops", way::server_stops, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		const std::string fifo = dir.make_fifo("node" + std::to_string(static_cast<int>(c.how)));
		const std::string client = "cableferry-" + fifo;
		daemon_proc &d = launch({"-k", "-S", "-C", fifo});
		ASSERT_NO_FATAL_FAILURE(await_port(d, client + ":midi.TX.CHF"));
		// Ended before it is active, the bridge would fail its activation.
		ASSERT_NO_FATAL_FAILURE(await_active(d, client, fifo));
		const std::vector<jack_uuid_t> subjects = subjects_of(client);
		ASSERT_EQ(subjects.size(), 18u);
		ASSERT_TRUE(wait_until([&] { return listing()[subjects.back()].size() == 3; }))
			<< "the bridge's properties never appeared";

		switch (c.how) {
		case way::node_lost_under_k:
			ASSERT_EQ(unlink(fifo.c_str()), 0);
			break;
		case way::sigterm:
			::kill(d.pid, SIGTERM);
			break;
		case way::sigkill:
			::kill(d.pid, SIGKILL);
			break;
		case way::server_stops:
			probe.close();
			server.stop();
			break;
		}
		const auto status = d.wait();
		ASSERT_TRUE(status.has_value()) << "the bridge did not end";
		if (c.status == 0)
			EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
				<< "status " << *status << "; stderr:\n" << d.stderr_text();
		else
			EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == c.status) << "status " << *status;

		if (c.how == way::server_stops) {
			ASSERT_TRUE(server.start()) << server.log();
		}
		// A client that starts now sees none.  (pipewire-jack's running
		// clients keep what they were once told: the probe is no witness.)
		std::optional<std::string> listed;
		EXPECT_TRUE(wait_until([&] {
			listed = run_jack_tool({"jack_property", "-l"}, server.name, dir);
			return listed && listed->find("key:") == std::string::npos;
		})) << "jack_property -l still lists:\n" << listed.value_or("(it failed)");
	}
}

INSTANTIATE_TEST_SUITE_P(servers, metadata,
                         ::testing::Values(server_kind::jackd, server_kind::pipewire), server_kind_name);

} // namespace
} // namespace cftest
