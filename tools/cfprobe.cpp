// cfprobe: the test kit's probe client (support/jack_harness.h) on the
// command line, for the scripts.  It runs against the server named by
// JACK_DEFAULT_SERVER.
//
//	cfprobe send <port> <hex message>...
//	cfprobe pass <client name>
//	cfprobe count <fifo> <midi.TX port> <messages>
//	cfprobe timing capture|playback <fifo> <bridge port> <ticks>
//
// send: sends the messages (each one argument of hex bytes, e.g. 903C64) to
// a MIDI input port as separate events in one period, in order, and exits
// once every client has seen them (scripts/demo).
//
// pass: the smallest client that forwards what it gets, the baseline against
// which the bridge's round trip is measured (scripts/measure): every event on
// "in" goes out on "out" in the same period, at the same frame.  Runs until
// the server goes away or SIGINT or SIGTERM, then prints "xruns N", the
// xruns the server reported meanwhile.
//
// count: how many events the bridge carries per period when its capture
// node holds far more than a period's worth (scripts/measure).  It makes the
// FIFO itself and opens it read-write, so it can fill the pipe (grown to the
// largest size the system allows) before the bridge, which looks for the
// node once a second, opens it; from the first period in which the bridge
// sees the node, the backlog is already waiting.  Each message is a
// three-byte note-on that carries its own sequence number (channel, note and
// velocity hold 4 + 7 + 7 bits of it), so every event is checked against
// the one expected.  The probe records each event with its period; a thread
// drains the records while the writer keeps the pipe full.  Every period
// from the first that carried anything to the one before the last should
// carry exactly nframes events.  Prints one line of key=value pairs; status
// 0 when every message arrived in order, 1 otherwise.
//
// timing: how well the bridge keeps MIDI timing (scripts/measure).  Clock
// ticks (F8) 1000 frames (20.833 ms at 48 kHz) apart go through the bridge
// in one direction.  capture: a thread at real-time priority where allowed
// writes them into the FIFO, the bridge's capture node, and the probe
// records the frame time of each on midi.TX.  playback: the probe sends
// them to midi.RX at frames 1000 apart and a thread reads them from the
// FIFO, the bridge's playback node (opened here first, so that the bridge
// can open it).  A few ticks go first, until one comes through, so that the
// bridge is known to hold the node.  All times are on JACK's frame clock
// (jack_frame_time for the threads, the frame for an event on a port), so
// that a dummy server whose periods fall behind the wall clock does not
// show up as the bridge's latency.  Prints the sender's own spacing jitter
// (max - min of the gaps; 0 for the probe, which sends at exact frames), the
// jitter at the far end, and the latency (median, and max - min), all in
// ms; status 1 when ticks were lost.
//
// Status 64 for a bad command line, 69 when the server or a port cannot be
// had.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/jack_harness.h"

using namespace cftest;

namespace {

[[noreturn]] void usage()
{
	std::fprintf(stderr, "usage: cfprobe send <port> <hex message>...\n"
	                     "       cfprobe pass <client name>\n"
	                     "       cfprobe count <fifo> <midi.TX port> <messages>\n"
	                     "       cfprobe timing capture|playback <fifo> <bridge port> <ticks>\n");
	std::exit(64);
}

[[noreturn]] void unavailable(const std::string &what)
{
	std::fprintf(stderr, "cfprobe: %s\n", what.c_str());
	std::exit(69);
}

std::string server_name()
{
	const char *s = std::getenv("JACK_DEFAULT_SERVER");
	return s != nullptr && *s != '\0' ? s : "default";
}

bool parse_hex(const char *text, bytes &out)
{
	const std::size_t n = std::strlen(text);
	if (n == 0 || n % 2 != 0)
		return false;
	for (std::size_t i = 0; i < n; i += 2) {
		const char byte[3] = {text[i], text[i + 1], 0};
		char *end = nullptr;
		out.push_back(static_cast<std::uint8_t>(std::strtoul(byte, &end, 16)));
		if (*end != '\0')
			return false;
	}
	return true;
}

int send(int argc, char **argv)
{
	if (argc < 2)
		usage();
	std::vector<bytes> messages;
	for (int i = 1; i < argc; i++)
		if (!parse_hex(argv[i], messages.emplace_back())) {
			std::fprintf(stderr, "cfprobe: bad message %s\n", argv[i]);
			return 64;
		}
	jack_probe probe;
	if (!probe.open(server_name(), "midi_send") || !probe.add_output("out") || !probe.activate())
		unavailable("no JACK server");
	if (!probe.connect(probe.own("out"), argv[0]))
		unavailable(std::string("cannot connect to ") + argv[0]);
	return probe.send(messages) && probe.wait_flushed() && probe.send_failures() == 0 ? 0 : 1;
}

volatile sig_atomic_t stop_asked; // set by SIGINT or SIGTERM

void on_signal(int)
{
	stop_asked = 1;
}

int pass(int argc, char **argv)
{
	if (argc != 1)
		usage();
	jack_probe probe;
	probe.pass_through();
	if (!probe.open(server_name(), argv[0]) || probe.add_input("in") != 0 || !probe.add_output("out") ||
	    !probe.activate())
		unavailable("could not set up the client");
	signal(SIGINT, on_signal);
	signal(SIGTERM, on_signal);
	while (!stop_asked && !probe.server_gone())
		usleep(50000);
	std::printf("xruns %llu\n", static_cast<unsigned long long>(probe.xruns()));
	std::fflush(stdout);
	return 0;
}

// The note-on that carries sequence number seq.
void message_for(std::uint64_t seq, std::uint8_t out[3])
{
	out[0] = static_cast<std::uint8_t>(0x90 | (seq & 0x0f));
	out[1] = static_cast<std::uint8_t>((seq >> 4) & 0x7f);
	out[2] = static_cast<std::uint8_t>((seq >> 11) & 0x7f);
}

// What arrived, checked event by event as the records are drained.
struct tally {
	std::uint64_t received = 0;                     // events seen
	std::uint64_t mismatched = 0;                   // events other than the next expected
	std::uint64_t misplaced = 0;                    // events not at frame 0, 1, 2... of their period
	std::map<std::uint64_t, std::uint64_t> per_period; // events in each probe period that had any
	std::int64_t first_us = 0, last_us = 0;         // starts of the first and last of those periods
	std::uint64_t last_period = 0;                  // period of the latest event
	std::uint32_t in_period = 0;                    // its index within that period
};

void take(tally &t, const std::vector<midi_record> &records)
{
	for (const midi_record &r : records) {
		if (r.period != t.last_period)
			t.in_period = 0;
		std::uint8_t want[3];
		message_for(t.received, want);
		t.mismatched += r.size != 3 || std::memcmp(r.data.data(), want, 3) != 0;
		t.misplaced += r.frame != t.in_period;
		if (t.per_period.empty())
			t.first_us = r.time_us;
		t.last_us = r.time_us;
		t.per_period[r.period]++;
		t.last_period = r.period;
		t.in_period++;
		t.received++;
	}
}

// Writes everything in [data, data+len) to the non-blocking fd, waiting for
// room.  False on an error.
bool write_all(int fd, const std::uint8_t *data, std::size_t len)
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

int count(int argc, char **argv)
{
	if (argc != 3)
		usage();
	const char *path = argv[0];
	const std::string source = argv[1];
	const std::uint64_t total = std::strtoull(argv[2], nullptr, 10);

	jack_probe probe(1 << 16);
	if (!probe.open(server_name(), "throughput_probe") || probe.add_input("in") != 0 || !probe.activate() ||
	    !probe.connect(source, probe.own("in")))
		unavailable("could not set up or connect to " + source);
	const jack_nframes_t nframes = jack_get_buffer_size(probe.client());
	const jack_nframes_t rate = jack_get_sample_rate(probe.client());

	// Fill the pipe before the bridge can see the node.
	unlink(path);
	if (mkfifo(path, 0600) != 0)
		unavailable(std::string("mkfifo: ") + std::strerror(errno));
	const int fd = open(path, O_RDWR | O_NONBLOCK);
	if (fd < 0)
		unavailable(std::string("open: ") + std::strerror(errno));
	int pipe_size = 1 << 20;
	while (pipe_size > 4096 && fcntl(fd, F_SETPIPE_SZ, pipe_size) < 0)
		pipe_size /= 2;
	pipe_size = fcntl(fd, F_GETPIPE_SZ);

	tally t;
	std::atomic<bool> writing{true};
	std::thread drainer([&] {
		// Every message is written once writing ends; then wait for the
		// last of them, two seconds at most after the stream stops moving.
		auto last_move = steady::now();
		while (t.received < total && (writing || steady::now() - last_move < 2s)) {
			const auto records = probe.drain();
			take(t, records);
			if (!records.empty())
				last_move = steady::now();
			std::this_thread::sleep_for(1ms);
		}
	});
	const auto start = steady::now();
	bytes chunk;
	std::uint64_t written = 0;
	bool write_failed = false;
	while (written < total && !write_failed) {
		chunk.clear();
		for (int i = 0; i < 1024 && written < total; i++, written++) {
			std::uint8_t m[3];
			message_for(written, m);
			chunk.insert(chunk.end(), m, m + 3);
		}
		write_failed = !write_all(fd, chunk.data(), chunk.size());
	}
	writing = false;
	drainer.join();
	const double wall = std::chrono::duration<double>(steady::now() - start).count();
	probe.close();
	close(fd);
	unlink(path);
	if (write_failed)
		unavailable(std::string("write: ") + std::strerror(errno));

	// Every period from the first that carried anything to the one before
	// the last should be full; the last carries what was left.
	std::uint64_t full = 0, judged = 0, carried = 0, largest = 0;
	if (!t.per_period.empty()) {
		const std::uint64_t first = t.per_period.begin()->first, last = t.per_period.rbegin()->first;
		for (std::uint64_t p = first; p < last; p++) {
			const auto it = t.per_period.find(p);
			const std::uint64_t n = it == t.per_period.end() ? 0 : it->second;
			judged++;
			full += n == nframes;
			carried += n;
			largest = std::max(largest, n);
		}
	}
	const double seconds = judged > 0 ? static_cast<double>(judged) * nframes / rate : 0;
	const double per_second = seconds > 0 ? static_cast<double>(carried) / seconds : 0;
	// The same rate on the wall clock: from the start of the first period
	// that carried events to the start of the last one.
	const double span = static_cast<double>(t.last_us - t.first_us) / 1e6;
	const double wall_per_second = span > 0 ? static_cast<double>(carried) / span : 0;
	// Events the probe saw but could not record (its ring was full) make
	// the run fail: what came after them cannot be checked.
	const std::uint64_t unrecorded = probe.record_overflows();
	std::printf("nframes=%u rate=%u pipe=%d messages=%llu received=%llu mismatched=%llu misplaced=%llu "
	            "periods=%llu full=%llu fraction=%.4f largest=%llu events_per_s=%.0f wall_events_per_s=%.0f "
	            "cap=%u xruns=%llu wall=%.2f unrecorded=%llu\n",
	            nframes, rate, pipe_size, static_cast<unsigned long long>(total),
	            static_cast<unsigned long long>(t.received), static_cast<unsigned long long>(t.mismatched),
	            static_cast<unsigned long long>(t.misplaced), static_cast<unsigned long long>(judged),
	            static_cast<unsigned long long>(full), judged > 0 ? static_cast<double>(full) / judged : 0.0,
	            static_cast<unsigned long long>(largest), per_second, wall_per_second, rate,
	            static_cast<unsigned long long>(probe.xruns()), wall, static_cast<unsigned long long>(unrecorded));
	return t.received == total && t.mismatched == 0 && t.misplaced == 0 && unrecorded == 0 ? 0 : 1;
}

double ms(std::int64_t ns)
{
	return static_cast<double>(ns) / 1e6;
}

int timing(int argc, char **argv)
{
	if (argc != 4)
		usage();
	const std::string direction = argv[0], fifo = argv[1], port = argv[2];
	const unsigned ticks = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
	if ((direction != "capture" && direction != "playback") || ticks < 3)
		usage();
	const bool capture = direction == "capture";
	constexpr std::uint32_t spacing = 1000;
	jack_probe probe;
	if (!probe.open(server_name(), "midi_timing") || !probe.add_output("out") || probe.add_input("in") != 0 ||
	    !probe.activate())
		unavailable("no JACK server");
	const std::int64_t rate = jack_get_sample_rate(probe.client());
	// Everything is timed on JACK's frame clock, in ns: the writer and the
	// reader read it with jack_frame_time, an event on midi.TX carries its
	// frame.  So the latency is the bridge's own, whether or not the
	// server's periods keep pace with the wall clock.
	jack_client_t *client = probe.client();
	std::int64_t base = -1; // the frame time where the run began, against wrapping
	const auto at = [&](jack_nframes_t frame) {
		if (base < 0)
			base = frame;
		return static_cast<std::int64_t>(static_cast<std::int32_t>(frame - base)) * 1000000000 / rate;
	};
	const auto frame_clock = [&] { return at(jack_frame_time(client)); };
	const auto ticks_in = [&](std::vector<std::int64_t> &out) {
		for (const auto &r : probe.drain())
			if (r.size == 1 && r.data[0] == 0xF8)
				out.push_back(at(r.frame_time));
	};

	std::vector<std::int64_t> sent, got; // ns on the monotonic clock
	if (capture) {
		if (!probe.connect(port, probe.own("in")))
			unavailable("cannot connect " + port);
		unique_fd writer;
		std::vector<std::int64_t> warm;
		const bool through = wait_until([&] {
			if (!writer)
				writer = unique_fd(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
			const std::uint8_t tick = 0xF8;
			if (writer && ::write(writer.fd, &tick, 1) == 1)
				wait_until([&] { ticks_in(warm); return !warm.empty(); }, 200ms);
			return !warm.empty();
		});
		if (!through)
			unavailable("nothing came through " + port);
		probe.wait_periods(4);
		probe.drain();
		sent = write_every(writer.fd, 0xF8, ticks, std::chrono::nanoseconds(spacing * 1000000000LL / rate),
		                   frame_clock);
		wait_until([&] { ticks_in(got); return got.size() >= ticks; }, 5s);
	} else {
		unique_fd reader = open_fifo_reader(fifo);
		if (!reader || !probe.connect(probe.own("out"), port))
			unavailable("cannot read " + fifo + " or connect " + port);
		bytes warm;
		const bool through = wait_until([&] {
			if (!probe.send({{0xF8}}))
				return false;
			wait_until([&] { read_available(reader.fd, warm); return !warm.empty(); }, 200ms);
			return !warm.empty();
		});
		if (!through)
			unavailable("nothing came through " + port);
		probe.wait_periods(4);
		read_available(reader.fd, warm);
		probe.send_every({0xF8}, ticks, spacing);
		got = stamp_arrivals(reader.fd, ticks, std::chrono::milliseconds(ticks * 50 + 5000), frame_clock);
		wait_until([&] { return probe.spaced_done(); });
		for (unsigned i = 0; i < ticks; i++)
			sent.push_back(at(probe.spaced_start() + i * spacing));
	}

	std::vector<std::int64_t> latency;
	for (std::size_t i = 0; i < std::min(sent.size(), got.size()); i++)
		latency.push_back(got[i] - sent[i]);
	std::sort(latency.begin(), latency.end());
	const std::int64_t median = latency.empty() ? 0 : latency[latency.size() / 2];
	const std::int64_t spread = latency.empty() ? 0 : latency.back() - latency.front();
	std::printf("ticks=%u received=%zu sender_jitter_ms=%.2f jitter_ms=%.2f latency_median_ms=%.2f "
	            "latency_spread_ms=%.2f xruns=%llu\n",
	            ticks, got.size(), capture ? ms(spacing_spread(sent)) : 0.0,
	            ms(spacing_spread(got)), ms(median),
	            ms(spread), static_cast<unsigned long long>(probe.xruns()));
	return got.size() == ticks ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 2)
		usage();
	const std::string mode = argv[1];
	if (mode == "send")
		return send(argc - 2, argv + 2);
	if (mode == "pass")
		return pass(argc - 2, argv + 2);
	if (mode == "count")
		return count(argc - 2, argv + 2);
	if (mode == "timing")
		return timing(argc - 2, argv + 2);
	usage();
}
