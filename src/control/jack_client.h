// The JACK client: connection, callbacks, ports and activation.
//
// Start-up follows JACK's own order: open the client, set the callbacks,
// register the ports, activate.  Each refusal is fatal (status 69).  Nothing
// is ever closed or unregistered: the process's exit releases it all.
#pragma once

#include <jack/types.h>

#include <string>
#include <string_view>

namespace cableferry {

// The longest client name the server accepts.  jackd2 refuses names of 64
// characters or more although jack_client_name_size() reports 65.
std::size_t client_name_limit();

// Room the server needs to make a taken name unique: "-NN".
inline constexpr std::size_t unique_suffix_size = 3;

// Cuts name to client_name_limit() less unique_suffix_size bytes, never
// inside a UTF-8 sequence.
std::string fit_client_name(std::string_view name);

// Opens the client without ever starting a server, with libjack's messages
// routed to the journal.  Without background mode a refusal is fatal (the
// server and user asked for, then the message); with it, the device-loss
// rule is applied, the devices are serviced and the attempt repeats every
// second until it succeeds.
void jack_connect(const std::string &name);

// A fatal start-up failure once the client is open: the message in errx's
// form, then _exit.  JACK's threads are running by then, and exit() would
// tear down library state under them.
[[noreturn]] __attribute__((format(printf, 1, 2))) void fail_with_client(const char *format, ...);

// Registers the ports the settings ask for into port_table.
void register_ports();

// Sets the process and shutdown callbacks, registers the ports and
// activates the client.
void jack_start();

// The end of start-up, given jack_activate's result: a refusal is fatal
// (69, "Cannot activate JACK client."); after a success, a shutdown that
// came meanwhile ends the process with 0.
void finish_activation(int result);

// JACK's shutdown callback: ends the process with status 0 once activation
// has returned, after the playback release (ending.h); before that it only
// takes note (see finish_activation).
void on_jack_shutdown(void *arg);

// JACK's port-connect callback: raises rx_let_go when a disconnection
// leaves midi.RX without any connection.
void on_port_connect(jack_port_id_t a, jack_port_id_t b, int connect, void *arg);

} // namespace cableferry
