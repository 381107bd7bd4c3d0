// The bridge on the kernel's own USB MIDI stack, inside the VM (boot.sh).
//
// Each test makes a USB gadget through configfs: a MIDI function with
// manufacturer and product strings, bound to dummy_hcd's controller, so
// that snd-usb-audio finds a USB MIDI interface on the same machine.  The
// gadget's own ALSA card is the other end of the cable: what the test
// writes to it, the bridge captures from the USB card; what the bridge
// plays comes out there.  Both cards are found by their ids at each use,
// through the daemon's own hw: code, since their numbers change with each
// plug.  The server is jackd at 1024 frames, the smallest period that
// keeps up under emulation.  Run outside the VM, every test skips.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/metadata.h>
#include <jack/uuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>

#include "device/alsa_rawmidi.h"
#include "support/jack_harness.h"
#include "support/midi_model.h"

using namespace cftest;
using cableferry::hw_name_t;

namespace {

constexpr auto long_wait = 30s;
const std::string gadgets = "/sys/kernel/config/usb_gadget";
constexpr const char *manufacturer = "Ferry";
constexpr const char *gadget_id = "FerryGadget";

std::string read_text(const std::string &path)
{
	std::ifstream in(path);
	std::string text((std::istreambuf_iterator<char>(in)), {});
	while (!text.empty() && text.back() == '\n')
		text.pop_back();
	return text;
}

bool write_text(const std::string &path, const std::string &text)
{
	std::ofstream out(path);
	out << text << '\n';
	out.close();
	return !out.fail();
}

// The number of the card whose USB product string is product, or -1.
int card_of_product(const std::string &product)
{
	for (int card = 0; card < 32; card++)
		if (read_text("/sys/class/sound/card" + std::to_string(card) + "/device/../product") == product)
			return card;
	return -1;
}

// A USB MIDI gadget on the dummy controller, removed at the end.
struct usb_gadget {
	std::string dir;      // its folder under configfs
	std::string product;  // its product string, also the host card's name
	int ports;            // MIDI ports each way

	usb_gadget(const std::string &product_string, int port_count)
		: dir(gadgets + "/cf"), product(product_string), ports(port_count)
	{
		mkdir(dir.c_str(), 0755);
		write_text(dir + "/idVendor", "0x1d6b");
		write_text(dir + "/idProduct", "0x0104");
		mkdir((dir + "/strings/0x409").c_str(), 0755);
		write_text(dir + "/strings/0x409/manufacturer", manufacturer);
		write_text(dir + "/strings/0x409/product", product);
		mkdir((dir + "/configs/c.1").c_str(), 0755);
		mkdir((dir + "/functions/midi.m").c_str(), 0755);
		// The port counts are only taken while the function is unlinked.
		write_text(dir + "/functions/midi.m/in_ports", std::to_string(ports));
		write_text(dir + "/functions/midi.m/out_ports", std::to_string(ports));
		write_text(dir + "/functions/midi.m/id", gadget_id);
		symlink((dir + "/functions/midi.m").c_str(), (dir + "/configs/c.1/midi.m").c_str());
	}
	~usb_gadget()
	{
		unplug();
		unlink((dir + "/configs/c.1/midi.m").c_str());
		for (const char *sub : {"/configs/c.1", "/functions/midi.m", "/strings/0x409", ""})
			rmdir((dir + sub).c_str());
	}
	// Binds the gadget to the controller and waits for the host's card.
	bool plug()
	{
		return write_text(dir + "/UDC", "dummy_udc.0") &&
		       wait_until([&] { return host_card() >= 0 && access(host_node().c_str(), F_OK) == 0; }, long_wait);
	}
	void unplug()
	{
		write_text(dir + "/UDC", "");
		wait_until([&] { return host_card() < 0; }, long_wait);
	}
	int host_card() const { return card_of_product(product); }
	std::string host_node() const { return "/dev/snd/midiC" + std::to_string(host_card()) + "D0"; }
	std::string host_id() const { return read_text("/sys/class/sound/card" + std::to_string(host_card()) + "/id"); }
};

// The gadget's end of port sub: opened through the daemon's own hw: code.
unique_fd open_gadget_end(int sub, int flags)
{
	const hw_name_t name{gadget_id, -1, 0, sub};
	cableferry::rawmidi_port_t port;
	std::string node;
	unique_fd fd;
	wait_until([&] {
		fd = unique_fd(cableferry::open_hw_name(name, flags, port, node));
		return bool(fd);
	}, long_wait);
	if (fd && (flags & O_ACCMODE) == O_RDONLY)
		cableferry::raise_input_buffer(fd.fd);
	return fd;
}

// Writes bytes to fd, at MIDI wire pace (3125 bytes a second) or at once.
void put(int fd, const bytes &b, bool wire_pace)
{
	const std::size_t step = wire_pace ? 31 : b.size();
	for (std::size_t at = 0; at < b.size(); at += step) {
		const std::size_t n = std::min(step, b.size() - at);
		ASSERT_EQ(::write(fd, b.data() + at, n), static_cast<ssize_t>(n));
		if (wire_pace)
			std::this_thread::sleep_for(10ms);
	}
}

// Messages of the performance mix (with dumps in it) until size bytes,
// and the events the bridge owes for them.
wire_model traffic(std::uint64_t seed, std::size_t size, std::size_t dump = 0)
{
	wire_model wire(seed, {0, 0});
	message_source source(seed, performance_mix);
	while (wire.wire.size() < size) {
		wire.add(source.next());
		if (dump != 0 && wire.wire.size() >= size / 2) {
			wire.add(sysex_message(dump, seed));
			dump = 0;
		}
	}
	return wire;
}

// "Buffer size" and "Overruns" of the open input of a card's raw MIDI
// device 0, subdevice sub, as /proc/asound reports them.
std::map<std::string, long> input_status(int card, int sub)
{
	std::istringstream in(read_text("/proc/asound/card" + std::to_string(card) + "/midi0"));
	std::map<std::string, long> found;
	bool inside = false;
	for (std::string line; std::getline(in, line);) {
		if (!line.starts_with("  "))
			inside = line == "Input " + std::to_string(sub);
		const std::size_t colon = line.find(':');
		if (inside && colon != std::string::npos) {
			std::string key = line.substr(2, colon - 2);
			key.erase(key.find_last_not_of(' ') + 1);
			found[key] = std::atol(line.c_str() + colon + 1);
		}
	}
	return found;
}

class Vm : public ::testing::Test {
protected:
	temp_dir dir;                      // this test's folder
	jack_server server{dir, 1024};     // jackd at the period emulation keeps up with
	jack_probe probe{1 << 16};         // room for a burst's events
	std::deque<daemon_proc> daemons;   // bridges started by launch()

	void SetUp() override
	{
		if (access(gadgets.c_str(), F_OK) != 0)
			GTEST_SKIP() << "no USB gadget configfs: runs inside the VM (tests/vm/boot.sh)";
		ASSERT_TRUE(server.start()) << server.log();
		ASSERT_TRUE(probe.open(server.name));
		ASSERT_TRUE(probe.add_output("out"));
		for (const char *in : {"in0", "in1", "in2", "in3"})
			ASSERT_GE(probe.add_input(in), 0);
		ASSERT_TRUE(probe.activate());
	}
	void TearDown() override
	{
		probe.close();
		server.stop();
		for (auto &d : daemons)
			d.wait(5s);
	}

	// Starts a bridge; CF_VM_DAEMON names another build of it to compare.
	daemon_proc &launch(const std::vector<std::string> &args)
	{
		daemon_proc &d = daemons.emplace_back();
		if (const char *other = std::getenv("CF_VM_DAEMON"))
			d.program = other;
		EXPECT_TRUE(d.spawn(args, server.name, dir));
		return d;
	}

	// Waits until the bridge named client runs cycles with its capture on
	// gadget port sub: clock bytes sent there reach probe input in.
	void await_active(daemon_proc &d, const std::string &client, int sub = 0, int in = 0)
	{
		const std::string tx = client + ":midi.TX";
		ASSERT_TRUE(wait_until([&] { return probe.port_exists(tx) || !d.running(); }, long_wait))
			<< "no port " << tx << "; stderr:\n" << d.stderr_text();
		ASSERT_TRUE(probe.connect(tx, probe.own("in" + std::to_string(in))));
		await_capture(sub);
	}

	// Waits until clock bytes sent from gadget port sub reach the probe;
	// then lets the clocks in flight pass and forgets them.
	void await_capture(int sub = 0)
	{
		unique_fd gadget = open_gadget_end(sub, O_WRONLY);
		ASSERT_TRUE(gadget);
		bool seen = false;
		ASSERT_TRUE(wait_until([&] {
			const std::uint8_t clock = 0xF8;
			if (::write(gadget.fd, &clock, 1) != 1)
				return false;
			return wait_until([&] {
				for (const midi_record &r : probe.drain())
					seen = seen || (r.size == 1 && r.data[0] == 0xF8);
				return seen;
			}, 200ms);
		}, long_wait)) << "no byte came through";
		probe.wait_periods(20, long_wait);
		probe.drain();
	}

	// Events on probe input in until count arrived or nothing came for 3 s;
	// those on the other inputs are counted in elsewhere.
	std::vector<bytes> collect(std::size_t count, std::uint32_t in, std::size_t &elsewhere)
	{
		std::vector<bytes> got;
		auto last = steady::now();
		while (got.size() < count && steady::now() - last < 3s) {
			for (const midi_record &r : probe.drain()) {
				if (r.port != in) {
					++elsewhere;
					continue;
				}
				got.emplace_back(r.data.begin(), r.data.begin() + std::min<std::size_t>(r.size, r.data.size()));
				last = steady::now();
			}
			std::this_thread::sleep_for(5ms);
		}
		return got;
	}

	// Sends wire from gadget port sub and checks that the bridge on probe
	// input in carried every event owed, in order, and no other bridge
	// anything.
	void expect_capture(const wire_model &wire, bool wire_pace, int sub = 0, std::uint32_t in = 0)
	{
		unique_fd gadget = open_gadget_end(sub, O_WRONLY);
		ASSERT_TRUE(gadget);
		put(gadget.fd, wire.wire, wire_pace);
		std::size_t elsewhere = 0;
		const std::vector<bytes> got = collect(wire.events.size(), in, elsewhere);
		EXPECT_EQ(difference(got, wire.events), "");
		EXPECT_EQ(elsewhere, 0u);
		EXPECT_EQ(probe.record_overflows(), 0u);
	}

	// Sends messages to the bridge's midi.RX and checks that its gadget
	// port sub received exactly their bytes.
	void expect_playback(const std::string &client, const std::vector<bytes> &messages, int sub = 0)
	{
		unique_fd gadget = open_gadget_end(sub, O_RDONLY | O_NONBLOCK);
		ASSERT_TRUE(gadget);
		const std::string rx = client + ":midi.RX";
		ASSERT_TRUE(probe.connect(probe.own("out"), rx));
		probe.wait_periods(3); // the graph takes a connection at the next cycle
		for (std::size_t at = 0; at < messages.size(); at += 8)
			ASSERT_TRUE(probe.send({messages.begin() + at, messages.begin() + std::min(at + 8, messages.size())}));
		const bytes want = concat(messages);
		bytes got;
		wait_until([&] { read_available(gadget.fd, got); return got.size() >= want.size(); }, long_wait);
		probe.wait_periods(10);
		read_available(gadget.fd, got);
		jack_disconnect(probe.client(), probe.own("out").c_str(), rx.c_str());
		EXPECT_EQ(difference(got, want), "");
	}

	// Plugs gadget in and starts "cableferry -n vm <args> hw:<id>,0" on it;
	// the client's name once it runs.
	std::string bridge_on_hw(usb_gadget &gadget, std::vector<std::string> args)
	{
		EXPECT_TRUE(gadget.plug());
		args.insert(args.begin(), {"-n", "vm"});
		args.push_back("hw:" + gadget.host_id() + ",0");
		const std::string client = "vm-hw-" + gadget.host_id() + ",0";
		await_active(launch(args), client);
		return client;
	}

	std::string pretty_name(const std::string &client)
	{
		std::string value;
		if (char *uuid_text = jack_get_uuid_for_client_name(probe.client(), client.c_str())) {
			jack_uuid_t uuid;
			char *text = nullptr;
			char *type = nullptr;
			if (jack_uuid_parse(uuid_text, &uuid) == 0 &&
			    jack_get_property(uuid, JACK_METADATA_PRETTY_NAME, &text, &type) == 0) {
				value = text;
				jack_free(text);
				jack_free(type);
			}
			jack_free(uuid_text);
		}
		return value;
	}
};

std::vector<bytes> playable(std::uint64_t seed, std::size_t count)
{
	message_source source(seed, playable_mix);
	std::vector<bytes> messages;
	while (messages.size() < count)
		messages.push_back(source.next());
	return messages;
}

TEST_F(Vm, NameAndMetadataFromUsbStrings)
{
	usb_gadget gadget("Keys 49, rev 2", 1);
	ASSERT_TRUE(gadget.plug());
	daemon_proc &d = launch({"-C", gadget.host_node()});
	ASSERT_NO_FATAL_FAILURE(await_active(d, "Ferry Keys 49 #0"));
	EXPECT_EQ(pretty_name("Ferry Keys 49 #0"), "Ferry Keys 49, rev 2");
}

TEST_F(Vm, CaptureExactAtWirePace)
{
	usb_gadget gadget("Keys 49", 1);
	ASSERT_NO_FATAL_FAILURE(bridge_on_hw(gadget, {"-C"}));
	ASSERT_NO_FATAL_FAILURE(expect_capture(traffic(1, 3000, 600), true));
}

// 20 KB at bus speed with a 4 KiB dump in the middle: the kernel must keep
// what the cycle has not yet drained.
TEST_F(Vm, CaptureExactInA20KBurst)
{
	usb_gadget gadget("Keys 49", 1);
	ASSERT_TRUE(gadget.plug());
	daemon_proc &d = launch({"-n", "vm", "-C", gadget.host_node()});
	ASSERT_NO_FATAL_FAILURE(await_active(d, "vm-" + gadget.host_node().substr(5)));
	const wire_model wire = traffic(2, 20000, 4096);
	ASSERT_NO_FATAL_FAILURE(expect_capture(wire, false));
	const auto status = input_status(gadget.host_card(), 0);
	std::vector<char> bad;
	std::printf("burst: %zu bytes, %zu messages, %zu events; kernel input buffer %ld, overruns %ld\n",
	            wire.wire.size(), split_messages(wire.wire, bad).size(), wire.events.size(),
	            status.count("Buffer size") ? status.at("Buffer size") : -1,
	            status.count("Overruns") ? status.at("Overruns") : -1);
}

TEST_F(Vm, PlaybackExact)
{
	usb_gadget gadget("Keys 49", 1);
	std::string client;
	ASSERT_NO_FATAL_FAILURE(client = bridge_on_hw(gadget, {"-d"}));
	std::vector<bytes> messages = playable(3, 400);
	messages.insert(messages.begin() + 200, sysex_message(4096, 3));
	ASSERT_NO_FATAL_FAILURE(expect_playback(client, messages));
}

// One node with four subdevices: each bridge gets its own port, its own
// name and its own pretty-name, both ways.
TEST_F(Vm, EachPortOfAFourPortInterfaceByHwName)
{
	usb_gadget gadget("Quad", 4);
	ASSERT_TRUE(gadget.plug());
	const std::string id = gadget.host_id();
	std::vector<std::string> clients;
	for (int sub = 0; sub < 4; sub++) {
		daemon_proc &d = launch({"-d", "hw:" + id + "," + "0," + std::to_string(sub)});
		clients.push_back("Ferry Quad #0." + std::to_string(sub));
		ASSERT_NO_FATAL_FAILURE(await_active(d, clients.back(), sub, sub));
		EXPECT_EQ(pretty_name(clients.back()), "Ferry Quad (Quad MIDI " + std::to_string(sub + 1) + ")");
	}
	for (int sub = 0; sub < 4; sub++) {
		SCOPED_TRACE(clients[sub]);
		ASSERT_NO_FATAL_FAILURE(expect_capture(traffic(10 + sub, 600), true, sub, sub));
		ASSERT_NO_FATAL_FAILURE(expect_playback(clients[sub], playable(20 + sub, 50), sub));
	}
}

// Unplugged and plugged back three times: the bridge closes the node,
// opens it again and carries traffic both ways each time.
TEST_F(Vm, UnplugAndReplugThreeTimes)
{
	usb_gadget gadget("Keys 49", 1);
	std::string client;
	ASSERT_NO_FATAL_FAILURE(client = bridge_on_hw(gadget, {"-d"}));
	daemon_proc &d = daemons.back();
	for (int round = 0; round < 3; round++) {
		SCOPED_TRACE(round);
		const std::string node = gadget.host_node();
		const auto unplugged = steady::now();
		gadget.unplug();
		ASSERT_TRUE(wait_until([&] { return open_count(d.pid, node) == 0; }, long_wait));
		const auto closed = steady::now();
		ASSERT_TRUE(gadget.plug());
		const auto plugged = steady::now();
		// Open both ways, and the capture buffer raised: from now on the
		// device may send at once, as a device just plugged in does.
		ASSERT_TRUE(wait_until([&] {
			return open_count(d.pid, gadget.host_node()) == 2 &&
			       input_status(gadget.host_card(), 0)["Buffer size"] == 65536;
		}, long_wait));
		probe.drain(); // the release of notes held when the node went
		std::printf("round %d: closed %.1f s after the unplug, reopened %.1f s after the card came\n", round,
		            std::chrono::duration<double>(closed - unplugged).count(),
		            std::chrono::duration<double>(steady::now() - plugged).count());
		ASSERT_NO_FATAL_FAILURE(expect_capture(traffic(30 + round, 300), true));
		ASSERT_NO_FATAL_FAILURE(expect_playback(client, playable(40 + round, 30)));
	}
	EXPECT_TRUE(d.running());
}

// Another card takes the number while the interface is away: a bridge on
// the card's id leaves it alone and follows the interface to its new number.
TEST_F(Vm, CardComesBackUnderAnotherNumber)
{
	usb_gadget gadget("Keys 49", 1);
	ASSERT_NO_FATAL_FAILURE(bridge_on_hw(gadget, {"-C"}));
	daemon_proc &d = daemons.back();
	const int first = gadget.host_card();
	gadget.unplug();
	ASSERT_EQ(std::system(("modprobe snd-virmidi index=" + std::to_string(first)).c_str()), 0);
	const std::string taken = "/dev/snd/midiC" + std::to_string(first) + "D0";
	ASSERT_TRUE(wait_until([&] { return access(taken.c_str(), F_OK) == 0; }, long_wait));
	std::this_thread::sleep_for(2500ms);
	EXPECT_EQ(open_count(d.pid, taken), 0) << "the bridge opened the card that took the number";
	ASSERT_TRUE(gadget.plug());
	EXPECT_NE(gadget.host_card(), first);
	ASSERT_TRUE(wait_until([&] { return open_count(d.pid, gadget.host_node()) == 1; }, long_wait));
	ASSERT_NO_FATAL_FAILURE(await_capture());
	ASSERT_NO_FATAL_FAILURE(expect_capture(traffic(50, 300), true));
	gadget.unplug();
	std::system("rmmod snd-virmidi");
}

TEST_F(Vm, ExitOnLossEndsWithStatusZero)
{
	usb_gadget gadget("Keys 49", 1);
	ASSERT_NO_FATAL_FAILURE(bridge_on_hw(gadget, {"-k", "-d"}));
	daemon_proc &d = daemons.back();
	gadget.unplug();
	EXPECT_EQ(d.exit_status(long_wait), 0) << d.stderr_text();
}

} // namespace
