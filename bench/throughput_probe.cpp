// throughput_probe: measures how many events the bridge carries per period
// when its capture node holds far more than a period's worth.
//
//	throughput_probe <fifo path> <bridge's midi.TX port> <messages>
//
// The probe creates the FIFO itself and opens it read-write, so it can fill
// the pipe (grown to the largest size the system allows) before the bridge,
// which looks for the node once a second, opens it.  From the first period
// in which the bridge sees the node, the backlog is already waiting; the
// writer keeps the pipe full until every message is written.  Each message
// is a three-byte note-on that carries its own sequence number (channel,
// note and velocity hold 4 + 7 + 7 bits of it), so the process callback can
// check every event against the one it expects without storing anything.
//
// The process callback only counts: events per period go into a
// preallocated table, mismatches into counters.  At the end the main thread
// reads the table from the first period that carried anything to the last:
// every period but the last should carry exactly nframes events.  Prints one
// line of key=value pairs.  Exit status 0 when every message arrived in
// order, 1 otherwise.
#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t max_periods = 1 << 20; // periods the table can hold

struct probe_state {
	jack_port_t *in;                          // connected to the bridge's midi.TX
	std::vector<std::uint32_t> per_period;    // events seen in each period
	std::atomic<std::uint64_t> periods{0};    // process calls so far
	std::atomic<std::uint64_t> received{0};   // events seen so far
	std::atomic<std::uint64_t> mismatched{0}; // events other than the next expected
	std::atomic<std::uint64_t> misplaced{0};  // events not at frame 0, 1, 2...
	std::atomic<std::uint64_t> xruns{0};      // xrun notices from the server
	std::atomic<jack_time_t> first_us{0};     // clock at the first period with events
	std::atomic<jack_time_t> last_us{0};      // clock at the last period with events
};

probe_state probe;

// The note-on that carries sequence number seq.
void message_for(std::uint64_t seq, unsigned char out[3])
{
	out[0] = static_cast<unsigned char>(0x90 | (seq & 0x0f));
	out[1] = static_cast<unsigned char>((seq >> 4) & 0x7f);
	out[2] = static_cast<unsigned char>((seq >> 11) & 0x7f);
}

int process(jack_nframes_t nframes, void *)
{
	void *buffer = jack_port_get_buffer(probe.in, nframes);
	const jack_nframes_t count = jack_midi_get_event_count(buffer);
	std::uint64_t next = probe.received.load(std::memory_order_relaxed);
	for (jack_nframes_t i = 0; i < count; i++) {
		jack_midi_event_t ev;
		if (jack_midi_event_get(&ev, buffer, i) != 0)
			continue;
		unsigned char want[3];
		message_for(next, want);
		if (ev.size != 3 || std::memcmp(ev.buffer, want, 3) != 0)
			probe.mismatched.fetch_add(1, std::memory_order_relaxed);
		if (ev.time != i)
			probe.misplaced.fetch_add(1, std::memory_order_relaxed);
		next++;
	}
	if (count > 0) {
		const jack_time_t now = jack_get_time();
		if (probe.first_us.load(std::memory_order_relaxed) == 0)
			probe.first_us.store(now, std::memory_order_relaxed);
		probe.last_us.store(now, std::memory_order_relaxed);
	}
	const std::uint64_t p = probe.periods.load(std::memory_order_relaxed);
	if (p < max_periods)
		probe.per_period[p] = count;
	probe.received.store(next, std::memory_order_release);
	probe.periods.store(p + 1, std::memory_order_release);
	return 0;
}

int on_xrun(void *)
{
	probe.xruns.fetch_add(1, std::memory_order_relaxed);
	return 0;
}

// Writes everything in [data, data+len) to the non-blocking fd, waiting for
// room.  False on an error.
bool write_all(int fd, const unsigned char *data, std::size_t len)
{
	while (len > 0) {
		const ssize_t n = write(fd, data, len);
		if (n > 0) {
			data += n;
			len -= static_cast<std::size_t>(n);
			continue;
		}
		if (n < 0 && errno != EAGAIN && errno != EINTR)
			return false;
		pollfd p{fd, POLLOUT, 0};
		poll(&p, 1, 100);
	}
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 4) {
		std::fprintf(stderr, "usage: throughput_probe <fifo> <midi.TX port> <messages>\n");
		return 64;
	}
	const char *path = argv[1];
	const char *source = argv[2];
	const std::uint64_t total = std::strtoull(argv[3], nullptr, 10);
	probe.per_period.assign(max_periods, 0);

	jack_client_t *client = jack_client_open("throughput_probe", JackNoStartServer, nullptr);
	if (client == nullptr) {
		std::fprintf(stderr, "throughput_probe: no JACK server\n");
		return 69;
	}
	jack_set_process_callback(client, process, nullptr);
	jack_set_xrun_callback(client, on_xrun, nullptr);
	probe.in = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
	if (probe.in == nullptr || jack_activate(client) != 0 ||
	    jack_connect(client, source, jack_port_name(probe.in)) != 0) {
		std::fprintf(stderr, "throughput_probe: could not set up or connect to %s\n", source);
		return 69;
	}
	const jack_nframes_t nframes = jack_get_buffer_size(client);
	const jack_nframes_t rate = jack_get_sample_rate(client);

	// Fill the pipe before the bridge can see the node.
	unlink(path);
	if (mkfifo(path, 0600) != 0) {
		std::perror("throughput_probe: mkfifo");
		return 69;
	}
	const int fd = open(path, O_RDWR | O_NONBLOCK);
	if (fd < 0) {
		std::perror("throughput_probe: open");
		return 69;
	}
	int pipe_size = 1 << 20;
	while (pipe_size > 4096 && fcntl(fd, F_SETPIPE_SZ, pipe_size) < 0)
		pipe_size /= 2;
	pipe_size = fcntl(fd, F_GETPIPE_SZ);

	const auto start = std::chrono::steady_clock::now();
	std::vector<unsigned char> chunk;
	std::uint64_t written = 0;
	while (written < total) {
		chunk.clear();
		for (int i = 0; i < 1024 && written < total; i++, written++) {
			unsigned char m[3];
			message_for(written, m);
			chunk.insert(chunk.end(), m, m + 3);
		}
		if (!write_all(fd, chunk.data(), chunk.size())) {
			std::perror("throughput_probe: write");
			return 69;
		}
	}
	// Every message is written; wait for the last of them, two seconds at
	// most after the stream stops moving.
	std::uint64_t seen = 0;
	auto last_move = std::chrono::steady_clock::now();
	while (probe.received.load(std::memory_order_acquire) < total) {
		const std::uint64_t now_seen = probe.received.load(std::memory_order_acquire);
		if (now_seen != seen) {
			seen = now_seen;
			last_move = std::chrono::steady_clock::now();
		} else if (std::chrono::steady_clock::now() - last_move > std::chrono::seconds(2)) {
			break;
		}
		usleep(2000);
	}
	const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	jack_deactivate(client);
	close(fd);
	unlink(path);

	const std::uint64_t periods = std::min<std::uint64_t>(probe.periods.load(), max_periods);
	std::uint64_t first = periods, last = 0;
	for (std::uint64_t p = 0; p < periods; p++) {
		if (probe.per_period[p] == 0)
			continue;
		if (first == periods)
			first = p;
		last = p;
	}
	// Every period from the first that carried anything to the one before
	// the last should be full; the last carries what was left.
	std::uint64_t full = 0, judged = 0, carried = 0, largest = 0;
	for (std::uint64_t p = first; p < last; p++) {
		judged++;
		full += probe.per_period[p] == nframes;
		carried += probe.per_period[p];
		largest = std::max<std::uint64_t>(largest, probe.per_period[p]);
	}
	const double seconds = judged > 0 ? static_cast<double>(judged) * nframes / rate : 0;
	const double per_second = seconds > 0 ? static_cast<double>(carried) / seconds : 0;
	const std::uint64_t received = probe.received.load();
	// The same rate on the wall clock: from the start of the first period
	// that carried events to the start of the last one.
	const double span = static_cast<double>(probe.last_us.load() - probe.first_us.load()) / 1e6;
	const double wall_per_second = span > 0 ? static_cast<double>(carried) / span : 0;
	std::printf("nframes=%u rate=%u pipe=%d messages=%llu received=%llu mismatched=%llu misplaced=%llu "
	            "periods=%llu full=%llu fraction=%.4f largest=%llu events_per_s=%.0f wall_events_per_s=%.0f cap=%u xruns=%llu wall=%.2f\n",
	            nframes, rate, pipe_size, static_cast<unsigned long long>(total),
	            static_cast<unsigned long long>(received),
	            static_cast<unsigned long long>(probe.mismatched.load()),
	            static_cast<unsigned long long>(probe.misplaced.load()),
	            static_cast<unsigned long long>(judged), static_cast<unsigned long long>(full),
	            judged > 0 ? static_cast<double>(full) / judged : 0.0,
	            static_cast<unsigned long long>(largest), per_second, wall_per_second, rate,
	            static_cast<unsigned long long>(probe.xruns.load()), wall);
	jack_client_close(client);
	return received == total && probe.mismatched.load() == 0 && probe.misplaced.load() == 0 ? 0 : 1;
}
