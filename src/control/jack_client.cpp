// The JACK client.
//
// The client is opened with JackNoStartServer: the daemon never starts a
// server of its own.  All ports are of type "8 bit raw midi"; the outputs
// (midi.TX and, with -S and a capture device, midi.TX.CH0..CHF) and the
// input midi.RX are flagged physical and terminal, since they stand for a
// piece of hardware.  The handles go into port_table, where the process
// cycle finds them.  The shutdown callback ends the process only once
// activation has returned; before that, start-up decides how it ends.
// The port-connect callback watches midi.RX: once its last connection is
// gone it asks the process cycle for the release of what came through it,
// by a flag, since a notification thread must not touch the playback node.  A
// failure after the client is open prints its message and ends with _exit,
// as the run-time exits do.
//
// libjack's own messages go to the journal (journal.h), so that under -B
// they reach syslog instead of the null device.  A failed connection names
// the server asked for and the user asking, the usual cause being a server
// run by another user or under another name.  While background mode waits
// for a server, it says so once and holds back libjack's repeated lines,
// and says once that it is connected.
#include "control/jack_client.h"

#include <err.h>
#include <jack/jack.h>
#include <pwd.h>
#include <stdarg.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "bridge/note_release.h"
#include "bridge/process_cycle.h"
#include "bridge/port_table.h"
#include "control/client_name.h"
#include "control/ending.h"
#include "control/journal.h"
#include "control/keep_timing.h"
#include "control/metadata.h"
#include "control/settings.h"
#include "control/supervise.h"

namespace cableferry {

namespace {

// Start-up and the shutdown callback, which JACK may call from a thread of
// its own while jack_activate is still under way.  Until activation has
// returned the callback only takes note, so that a failed activation ends
// with its whole message and 69, and a successful one with 0.
struct activation_t {
	std::atomic<bool> done{false};        // jack_activate has succeeded
	std::atomic<bool> server_gone{false}; // the shutdown callback has run
};

activation_t activation;

constexpr unsigned long output_flags = JackPortIsOutput | JackPortIsPhysical | JackPortIsTerminal;
constexpr unsigned long input_flags = JackPortIsInput | JackPortIsPhysical | JackPortIsTerminal;

jack_port_t *register_port(const char *name, unsigned long flags)
{
	return jack_port_register(port_table.client, name, JACK_DEFAULT_MIDI_TYPE, flags, 0);
}

// "the JACK server 'NAME' as user 'USER' (uid N)": the server libjack looks
// for, and who asks.  jackd keeps its servers per user.
std::string server_asked_for()
{
	const char *server = std::getenv("JACK_DEFAULT_SERVER");
	const uid_t uid = geteuid();
	const passwd *pw = getpwuid(uid);
	std::array<char, 256> text;
	std::snprintf(text.data(), text.size(), "the JACK server '%s' as user '%s' (uid %u)",
	              server != nullptr && *server != '\0' ? server : "default", pw != nullptr ? pw->pw_name : "",
	              static_cast<unsigned>(uid));
	return text.data();
}

} // namespace

void fail_with_client(const char *format, ...)
{
	va_list args;
	va_start(args, format);
	vwarnx(format, args);
	va_end(args);
	end_process(69);
}

std::size_t client_name_limit()
{
	// jack_client_name_size() counts the terminating NUL, and jackd2 keeps
	// one more byte back.
	const int size = jack_client_name_size();
	return size > 2 ? static_cast<std::size_t>(size - 2) : 0;
}

std::string fit_client_name(std::string_view name)
{
	// jackd2 makes a taken name unique by appending "-01" ... "-99", but
	// only to a name that leaves room for them; a longer one is refused as
	// if there were no server.
	const std::size_t limit = client_name_limit();
	return std::string(cut_utf8(name, limit > unique_suffix_size ? limit - unique_suffix_size : 0));
}

void jack_connect(const std::string &name)
{
	jack_set_error_function(journal_jack_line);
	jack_set_info_function(journal_jack_line);
	// In background mode the first attempt's lines are written, and
	// remembered: the same lines from later attempts are not.
	journal_hold_repeats(bridge_settings.background);
	bool waiting = false;
	for (;;) {
		port_table.client = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
		if (port_table.client != nullptr)
			break;
		const std::string server = server_asked_for();
		if (!bridge_settings.background) {
			warnx("asked for %s", server.c_str());
			errx(69, "Could not connect to the JACK server. Run jackd first?");
		}
		if (!waiting)
			journal("waiting for %s", server.c_str());
		waiting = true;
		supervision_round();
	}
	journal_hold_repeats(false);
	if (waiting)
		journal("connected to the JACK server as client '%s'", jack_get_client_name(port_table.client));
}

void register_ports()
{
	if (bridge_settings.capture_path) {
		port_table.outputs[tx_index] = register_port("midi.TX", output_flags);
		if (port_table.outputs[tx_index] == nullptr)
			fail_with_client("Could not register JACK output port.");
		if (bridge_settings.per_channel_ports) {
			for (unsigned c = 0; c < 16; c++) {
				std::array<char, 16> port_name;
				std::snprintf(port_name.data(), port_name.size(), "midi.TX.CH%X", c);
				port_table.outputs[tx_channel(c)] = register_port(port_name.data(), output_flags);
				if (port_table.outputs[tx_channel(c)] == nullptr)
					fail_with_client("Could not register JACK output port, %s.", port_name.data());
			}
		}
	}
	if (bridge_settings.playback_path) {
		port_table.rx = register_port("midi.RX", input_flags);
		if (port_table.rx == nullptr)
			fail_with_client("Could not register JACK input port.");
	}
}

void jack_start()
{
	if (jack_set_process_callback(port_table.client, process_cycle, nullptr) != 0)
		fail_with_client("Could not register JACK process callback.");
	jack_on_shutdown(port_table.client, on_jack_shutdown, nullptr);
	// Without it a client that lets go of midi.RX leaves its notes held;
	// everything else works, so a refusal is not fatal.
	jack_set_port_connect_callback(port_table.client, on_port_connect, nullptr);
	keep_timing_prepare();
	register_ports();
	publish_metadata();
	finish_activation(jack_activate(port_table.client));
	keep_timing_start();
}

void finish_activation(int result)
{
	if (result != 0)
		fail_with_client("Cannot activate JACK client.");
	activation.done = true;
	if (activation.server_gone)
		end_bridge(0);
}

void on_jack_shutdown(void *)
{
	activation.server_gone = true;
	if (activation.done)
		end_after_server();
}

void on_port_connect(jack_port_id_t a, jack_port_id_t b, int connect, void *)
{
	jack_port_t *rx = port_table.rx;
	if (connect != 0 || rx == nullptr)
		return;
	if (jack_port_by_id(port_table.client, a) != rx && jack_port_by_id(port_table.client, b) != rx)
		return;
	if (jack_port_connected(rx) == 0)
		release_state.rx_let_go.store(true, std::memory_order_release);
}

} // namespace cableferry
