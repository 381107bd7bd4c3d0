// midi_send: sends a few MIDI messages to a JACK MIDI input port, then exits.
//
//	midi_send <port> <hex message>...
//
// Each message is one argument of hex bytes, e.g. 903C64.  All of them go out
// as separate events in one period, in order.  Used by the demo.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

jack_port_t *out_port;
std::vector<std::vector<unsigned char>> messages;
std::atomic<int> state{0}; // 0 wait, 1 send in the next period, 2 sent

int process(jack_nframes_t nframes, void *)
{
	void *buffer = jack_port_get_buffer(out_port, nframes);
	jack_midi_clear_buffer(buffer);
	if (state.load() != 1)
		return 0;
	jack_nframes_t t = 0;
	for (const auto &m : messages)
		jack_midi_event_write(buffer, t < nframes ? t++ : nframes - 1, m.data(), m.size());
	state.store(2);
	return 0;
}

bool parse_hex(const char *text, std::vector<unsigned char> &out)
{
	const size_t n = std::strlen(text);
	if (n == 0 || n % 2 != 0)
		return false;
	for (size_t i = 0; i < n; i += 2) {
		char byte[3] = {text[i], text[i + 1], 0};
		char *end = nullptr;
		out.push_back(static_cast<unsigned char>(std::strtoul(byte, &end, 16)));
		if (*end != '\0')
			return false;
	}
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 3) {
		std::fprintf(stderr, "usage: midi_send <port> <hex message>...\n");
		return 64;
	}
	for (int i = 2; i < argc; i++) {
		messages.emplace_back();
		if (!parse_hex(argv[i], messages.back())) {
			std::fprintf(stderr, "midi_send: bad message %s\n", argv[i]);
			return 64;
		}
	}
	jack_client_t *client = jack_client_open("midi_send", JackNoStartServer, nullptr);
	if (client == nullptr) {
		std::fprintf(stderr, "midi_send: no JACK server\n");
		return 69;
	}
	out_port = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
	jack_set_process_callback(client, process, nullptr);
	if (out_port == nullptr || jack_activate(client) != 0 ||
	    jack_connect(client, jack_port_name(out_port), argv[1]) != 0) {
		std::fprintf(stderr, "midi_send: cannot connect to %s\n", argv[1]);
		return 69;
	}
	state.store(1);
	for (int i = 0; i < 500 && state.load() != 2; i++)
		usleep(10000);
	usleep(100000); // let the receiving side run its period
	jack_client_close(client);
	return state.load() == 2 ? 0 : 1;
}
