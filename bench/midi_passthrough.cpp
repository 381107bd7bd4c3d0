// midi_passthrough: the smallest JACK MIDI client that forwards what it
// gets.  Every event on "in" goes out on "out" in the same period, at the
// same frame, with the same bytes.  It is the baseline against which the
// bridge's round trip is measured: both sit in the same place in the graph,
// but this one never leaves JACK.
//
//	midi_passthrough <client name>
//
// Runs until the server goes away or it gets SIGINT or SIGTERM, then prints
// the number of xruns the server reported meanwhile ("xruns N").
#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

jack_port_t *in_port;  // events to forward
jack_port_t *out_port; // forwarded events
volatile std::sig_atomic_t done; // set by a signal or the server's shutdown
std::atomic<unsigned long> xruns; // xrun notices from the server

int process(jack_nframes_t nframes, void *)
{
	void *in = jack_port_get_buffer(in_port, nframes);
	void *out = jack_port_get_buffer(out_port, nframes);
	jack_midi_clear_buffer(out);
	const jack_nframes_t count = jack_midi_get_event_count(in);
	for (jack_nframes_t i = 0; i < count; i++) {
		jack_midi_event_t ev;
		if (jack_midi_event_get(&ev, in, i) == 0)
			jack_midi_event_write(out, ev.time, ev.buffer, ev.size);
	}
	return 0;
}

int on_xrun(void *)
{
	xruns.fetch_add(1, std::memory_order_relaxed);
	return 0;
}

void on_shutdown(void *) { done = 1; }
void on_signal(int) { done = 1; }

} // namespace

int main(int argc, char **argv)
{
	if (argc != 2) {
		std::fprintf(stderr, "usage: midi_passthrough <client name>\n");
		return 64;
	}
	jack_client_t *client = jack_client_open(argv[1], JackNoStartServer, nullptr);
	if (client == nullptr) {
		std::fprintf(stderr, "midi_passthrough: no JACK server\n");
		return 69;
	}
	jack_set_process_callback(client, process, nullptr);
	jack_set_xrun_callback(client, on_xrun, nullptr);
	jack_on_shutdown(client, on_shutdown, nullptr);
	in_port = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
	out_port = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
	if (in_port == nullptr || out_port == nullptr || jack_activate(client) != 0) {
		std::fprintf(stderr, "midi_passthrough: could not set up the client\n");
		return 69;
	}
	std::signal(SIGINT, on_signal);
	std::signal(SIGTERM, on_signal);
	while (!done)
		usleep(50000);
	std::printf("xruns %lu\n", xruns.load());
	std::fflush(stdout);
	jack_client_close(client);
	return 0;
}
