// The process cycle's costs that matter: the capture drain with a full
// backlog, per event, the idle cycle against the one read() it cannot
// avoid, and the playback cycles against the idle cycle.
//
// Drain, per event, without the reads.  read_buffer holds 16 bytes, so the
// drain refills it with a read() every 16 bytes whatever the stream; the
// reads cannot be made rare, only kept out of the loop.  The benchmark does
// the refill itself: it copies the next 16 bytes of the stream into
// read_buffer (read_pos 0, read_len 16) and calls capture_drain with nframes
// set to the number of events those bytes complete so far in the period, so
// the drain stops right after the last packet completed in the window and
// never reaches its own read().  It picks up exactly where it stopped:
// read_pos tells how far it got, and the next window starts there.  The
// packetiser, the fan-out and the reservations are the daemon's own code,
// with all 17 output buffers present (-S); what differs from a real period is
// a 16-byte memcpy and a call per window in place of one read() per window,
// which if anything adds cost.  A period is 256 events, after which every
// buffer is cleared and the counts start again, as process_cycle does.  A
// cross-check measures the same drain fed by real reads from a pipe holding a
// backlog, next to the bare reads alone, and reports the difference.
//
// Output buffers.  JACK hands out MIDI buffers only to a client of a running
// server, so the headline figure puts a small preallocated stand-in behind
// the capture drain's sink: a static array of event slots per port, with a bump
// index reset at each period, refusing what jack_midi_event_reserve refuses
// (no slot left, a frame at or past nframes, a frame before the previous
// event).  Events of up to 4 bytes sit in their slot, as JACK keeps short
// events in line.  When jackd is installed the benchmark also starts a
// private dummy server and runs the same drain on real JACK buffers of an
// inactive client, so the stand-in's figure can be compared with the real
// functions behind the seam.
//
// Idle cycle.  With nothing to read and nothing to play, process_cycle gets
// and clears 17 buffers, takes link_lock, reads the capture node once
// (EAGAIN), releases the lock, and finds no event on midi.RX.  The "jack"
// case calls the real process_cycle with port_table holding 17 outputs and
// midi.RX of the inactive client (the buffer functions are plain memory work
// on the server's shared segment, the same off and on the real-time thread),
// and an empty non-blocking pipe as the capture node.  The "seam" case needs
// no server: 17 clears of the stand-in, then the drain under link_lock on the
// same empty pipe.  Each iteration times a batch of cycles and then a batch
// of bare read() calls on the same empty pipe, so both figures come from the
// same run and the ratio is printed as a counter.
//
// Playback cycles.  The real process_cycle, -d style, against the idle
// cycle of the same run: one that finds a 3-byte event on midi.RX and writes
// it at once to a pipe with room, and one that finds nothing new but bytes
// waiting in the playback queue, which it tries to flush into a full pipe
// (EAGAIN).  Each costs the idle cycle plus one write() system call.
//
// The counters are taken on this thread's CPU clock, not the wall clock: on
// a shared two-core machine the wall clock also counts time spent waiting for
// the core.  Google Benchmark's own Time column is wall time.
//
// The server is the test kit's (support/jack_harness.h): started once, on
// first use, under a private name, and stopped by its id at exit after the
// clients are closed.

#include "bridge/capture_drain.h"
#include "bridge/packetiser.h"
#include "bridge/process_cycle.h"
#include "bridge/port_table.h"
#include "device/device_link.h"
#include "device/playback_queue.h"
#include "support/midi_model.h"

#include "support/jack_harness.h"

#include <benchmark/benchmark.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace cableferry;

namespace {

constexpr jack_nframes_t period_frames = 256; // events per period on midi.TX, and jackd's -p
constexpr std::size_t window = read_buffer_size; // bytes the drain gets per refill

// This thread's CPU time in nanoseconds, system calls included.  The machine
// is shared, so wall time would also count the time other processes had the
// core; the figures below are all taken on this clock.
double cpu_ns()
{
	timespec t{};
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
	return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

// ---- the stream --------------------------------------------------------------

constexpr std::size_t stream_size = 64 * 1024;

// Channel messages only, as a keyboard and a sequencer send them: long runs
// in one status (running status on the wire), note on and off, controllers,
// pitch bend, key pressure, program changes and channel pressure.  Fixed
// seed: the same stream on every run.
constexpr cftest::traffic_mix channel_mix = {
	.channel3 = 95, .channel2 = 5, .common = 0, .tune_request = 0, .realtime = 0,
	.short_sysex = 0, .long_sysex = 0, .unfinished_sysex = 0, .undefined = 0, .stray_end = 0,
	.repeat_status = 85, .stray_data = 0,
};

std::vector<std::uint8_t> build_channel_stream()
{
	return cftest::stream_of(20240607, channel_mix, {.running_status = 100, .realtime_inside = 0},
	                         stream_size);
}

// The stream, and what the packetiser makes of it.
struct channel_stream_t {
	std::vector<std::uint8_t> bytes;     // the raw stream
	std::vector<std::uint32_t> done;     // done[i]: packets completed by bytes[0..i)
	std::vector<midi_packet> packets;    // every packet, in order
	std::size_t used = 0;                // bytes fed per pass: whole windows only
};

const channel_stream_t &channel_stream()
{
	static const channel_stream_t s = [] {
		channel_stream_t t;
		t.bytes = build_channel_stream();
		t.used = t.bytes.size() / window * window;
		t.done.resize(t.bytes.size() + 1);
		packetiser_reset();
		for (std::size_t i = 0; i < t.bytes.size(); ++i) {
			const midi_packet *p = packetise_byte(t.bytes[i]);
			if (p != nullptr)
				t.packets.push_back(*p);
			t.done[i + 1] = std::uint32_t(t.packets.size());
		}
		packetiser_reset();
		return t;
	}();
	return s;
}

// ---- the stand-in output buffer ----------------------------------------------

constexpr std::size_t stand_in_capacity = 512; // event slots per port, above one period

// One event slot; short events are kept in place, as JACK does.
struct stand_in_event {
	jack_nframes_t time;                     // frame offset
	std::uint32_t size;                      // bytes in data
	std::array<jack_midi_data_t, 4> data;    // the event's bytes
};

// One port's buffer: a bump index into preallocated slots.
struct stand_in_port {
	jack_nframes_t nframes;                                    // frames of the period
	std::uint32_t count;                                       // events since the last clear
	std::array<stand_in_event, stand_in_capacity> events;      // the events, in order
};

std::array<stand_in_port, output_port_count> stand_in_ports; // one per output port

void stand_in_clear(stand_in_port &p, jack_nframes_t nframes)
{
	p.nframes = nframes;
	p.count = 0;
}

jack_midi_data_t *stand_in_reserve(void *buffer, jack_nframes_t time, size_t size)
{
	stand_in_port &p = *static_cast<stand_in_port *>(buffer);
	if (p.count >= stand_in_capacity || size > 4 || time >= p.nframes)
		return nullptr;
	if (p.count > 0 && time < p.events[p.count - 1].time)
		return nullptr;
	stand_in_event &e = p.events[p.count++];
	e.time = time;
	e.size = std::uint32_t(size);
	return e.data.data();
}

size_t stand_in_room(void *buffer)
{
	const stand_in_port &p = *static_cast<const stand_in_port *>(buffer);
	return p.count < stand_in_capacity ? 4 : 0;
}

constexpr midi_sink stand_in_sink = {stand_in_reserve, stand_in_room};

out_buffer_array stand_in_buffers()
{
	out_buffer_array b;
	for (std::size_t i = 0; i < output_port_count; ++i)
		b[i] = &stand_in_ports[i];
	return b;
}

// ---- a private JACK server ---------------------------------------------------

// The server this process started, and its clients.
struct bench_server_t {
	std::optional<cftest::temp_dir> dir;                 // the server's log
	std::optional<cftest::jack_server> server;           // the private jackd
	jack_client_t *client = nullptr;                     // our client, never activated
	std::array<jack_port_t *, output_port_count> outputs{}; // tx, then tx.CH0..CHF
	jack_port_t *rx = nullptr;                           // the input port
	jack_client_t *feeder = nullptr;                     // a second client, owner of feed
	jack_port_t *feed = nullptr;                         // output connected to rx: what rx receives
	bool tried = false;                                  // start attempted already
	std::string error;                                   // why there is none
};

bench_server_t bench_server;

void quiet(const char *) {}

void stop_bench_server()
{
	bench_server_t &s = bench_server;
	if (s.feeder != nullptr) {
		jack_client_close(s.feeder);
		s.feeder = nullptr;
	}
	if (s.client != nullptr) {
		jack_client_close(s.client);
		s.client = nullptr;
		port_table = {};
	}
	s.server.reset();
	s.dir.reset();
}

// Opens a client of the bench's server.
jack_client_t *open_client(const char *name)
{
	return jack_client_open(name, JackOptions(JackNoStartServer | JackServerName), nullptr,
	                        bench_server.server->name.c_str());
}

// Starts jackd with the dummy backend and opens a client with 17 output
// ports and one input port.  False (with bench_server.error) if any step
// fails; then the cases that need it are skipped.
bool bench_server_up()
{
	bench_server_t &s = bench_server;
	if (s.tried)
		return s.client != nullptr;
	s.tried = true;
	s.dir.emplace();
	s.server.emplace(*s.dir, period_frames);
	std::atexit(stop_bench_server);
	if (!s.server->start()) {
		s.error = "jackd did not come up (not installed, or no free server slot)";
		return false;
	}
	jack_set_error_function(quiet);
	jack_set_info_function(quiet);
	s.client = open_client("cfbench");
	if (s.client == nullptr || jack_get_buffer_size(s.client) != period_frames) {
		s.error = s.client == nullptr ? "jackd did not take a client" : "unexpected server period";
		stop_bench_server();
		return false;
	}
	// The daemon's flags: physical, terminal.
	constexpr unsigned long out_flags = JackPortIsOutput | JackPortIsPhysical | JackPortIsTerminal;
	constexpr unsigned long in_flags = JackPortIsInput | JackPortIsPhysical | JackPortIsTerminal;
	for (std::size_t i = 0; i < output_port_count; ++i) {
		// The daemon's names: midi.TX, then midi.TX.CH0 .. midi.TX.CHF.
		std::array<char, 16> name{};
		if (i == tx_index)
			std::snprintf(name.data(), name.size(), "midi.TX");
		else
			std::snprintf(name.data(), name.size(), "midi.TX.CH%X", unsigned(i - 1));
		s.outputs[i] = jack_port_register(s.client, name.data(), JACK_DEFAULT_MIDI_TYPE, out_flags, 0);
	}
	s.rx = jack_port_register(s.client, "midi.RX", JACK_DEFAULT_MIDI_TYPE, in_flags, 0);
	s.feeder = open_client("cfbench_feed");
	if (s.feeder != nullptr)
		s.feed = jack_port_register(s.feeder, "feed", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
	for (jack_port_t *p : s.outputs)
		if (p == nullptr || s.rx == nullptr || s.feed == nullptr) {
			s.error = "port registration failed";
			stop_bench_server();
			return false;
		}
	// With one connection from another client, midi.RX hands out feed's
	// buffer, as it does in the daemon: what the benchmark writes there is
	// what the cycle finds on midi.RX.  The server connects ports of active
	// clients only; neither client has a process callback, so activation
	// does nothing else.
	if (jack_activate(s.client) != 0 || jack_activate(s.feeder) != 0 ||
	    jack_connect(s.client, jack_port_name(s.feed), jack_port_name(s.rx)) != 0) {
		s.error = "could not connect feed to midi.RX";
		stop_bench_server();
		return false;
	}
	// The new graph takes effect in one of the server's next cycles.
	if (!cftest::wait_until([&] {
		    return jack_port_get_buffer(s.rx, period_frames) == jack_port_get_buffer(s.feed, period_frames);
	    })) {
		s.error = "the connection to midi.RX never took effect";
		stop_bench_server();
		return false;
	}
	return true;
}

// The real buffers of the 17 output ports, cleared.
out_buffer_array jack_buffers()
{
	out_buffer_array b;
	for (std::size_t i = 0; i < output_port_count; ++i) {
		b[i] = jack_port_get_buffer(bench_server.outputs[i], period_frames);
		jack_midi_clear_buffer(b[i]);
	}
	return b;
}

// ---- descriptors ---------------------------------------------------------------

// A non-blocking pipe: its read end stands for the capture node.
struct pipe_fds {
	int read_end = -1;  // the capture node
	int write_end = -1; // where the benchmark feeds it
};

pipe_fds open_pipe()
{
	int fds[2] = {-1, -1};
	if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
		return {};
	return {fds[0], fds[1]};
}

void close_pipe(pipe_fds &p)
{
	if (p.read_end >= 0)
		close(p.read_end);
	if (p.write_end >= 0)
		close(p.write_end);
	p = {};
}

// ---- the drain, reads left out -------------------------------------------------

// Per-port event totals over one pass, to check that nothing was dropped.
using port_totals = std::array<std::uint64_t, output_port_count>;

// What one pass did.
struct pass_result {
	std::uint64_t events = 0; // events written to midi.TX
	std::size_t end = 0;      // stream bytes handed to the packetiser
	port_totals totals{};     // events per port (filled when asked for)
	bool read_called = false; // the drain ran out of bytes and called read()
};

// One pass over the stream in periods of period_frames events on midi.TX.
// clear(buffers) starts a period.
template <class Clear>
pass_result drain_pass(const channel_stream_t &s, const midi_sink &sink, out_buffer_array &buffers, Clear clear,
                       bool count_ports)
{
	device_link_t &dl = device_link;
	packetiser_reset();
	pass_result r;
	std::size_t off = 0;
	while (off + window <= s.used) {
		clear(buffers);
		emission_t e{period_frames, buffers, &sink};
		const out_count_array &counts = e.events;
		const std::uint32_t base = s.done[off];
		do {
			std::memcpy(dl.read_buffer.data(), s.bytes.data() + off, window);
			dl.read_pos = 0;
			dl.read_len = int(window);
			std::uint32_t upto = s.done[off + window] - base;
			if (upto > period_frames)
				upto = period_frames;
			e.nframes = upto;
			capture_drain(e);
			if (dl.read_len == 0) {
				// Only a read() clears read_len: the window held fewer
				// packets than counted.  Stop rather than go round again.
				r.read_called = true;
				r.end = off;
				return r;
			}
			off += std::size_t(dl.read_pos);
		} while (counts[tx_index] < period_frames && off + window <= s.used);
		r.events += counts[tx_index];
		if (count_ports)
			for (std::size_t i = 0; i < output_port_count; ++i)
				r.totals[i] += counts[i];
	}
	r.end = off;
	return r;
}

// Checks a pass against the packetiser's own output: every packet handed out
// is on midi.TX, and every channel packet on its channel's port.  Empty when
// all is well.
std::string check_pass(const channel_stream_t &s, const pass_result &r)
{
	if (r.read_called)
		return "the drain reached its read()";
	if (r.events != s.done[r.end])
		return "events lost or added on midi.TX";
	port_totals expected{};
	expected[tx_index] = r.events;
	for (std::uint64_t i = 0; i < r.events; ++i) {
		const std::uint8_t status = s.packets[i].data[0];
		if (status >= 0x80 && status <= 0xEF)
			expected[tx_channel(status & 0x0F)]++;
	}
	if (r.totals != expected)
		return "events lost or added on a channel port";
	return {};
}

// One pass on the stand-in, checked as above, and the first period's events
// on midi.TX byte for byte and frame for frame.
std::string check_stand_in_pass(const channel_stream_t &s)
{
	out_buffer_array buffers = stand_in_buffers();
	int periods = 0;
	bool first_period_ok = false;
	const auto clear = [&](out_buffer_array &) {
		if (++periods == 2) {
			const stand_in_port &tx = stand_in_ports[tx_index];
			first_period_ok = tx.count == period_frames;
			for (std::uint32_t i = 0; i < tx.count && first_period_ok; ++i) {
				const midi_packet &p = s.packets[i];
				const std::size_t len = code_index_length[p.code_index];
				const stand_in_event &e = tx.events[i];
				first_period_ok = e.time == i && e.size == len &&
				                  std::memcmp(e.data.data(), p.data.data(), len) == 0;
			}
		}
		for (auto &p : stand_in_ports)
			stand_in_clear(p, period_frames);
	};
	const pass_result r = drain_pass(s, stand_in_sink, buffers, clear, true);
	if (!first_period_ok)
		return "the first period differs from the packetiser's output";
	return check_pass(s, r);
}

void BM_drain_backlog(benchmark::State &state, bool real_jack)
{
	const channel_stream_t &s = channel_stream();
	pipe_fds empty = open_pipe();
	device_link = {};
	device_link.capture_fd = empty.read_end; // never read: the drain stops first
	if (const std::string why = check_stand_in_pass(s); !why.empty()) {
		state.SkipWithError(why.c_str());
		close_pipe(empty);
		return;
	}
	if (real_jack && !bench_server_up()) {
		state.SkipWithError(bench_server.error.c_str());
		close_pipe(empty);
		return;
	}
	out_buffer_array buffers = real_jack ? jack_buffers() : stand_in_buffers();
	const auto clear_stand_in = [](out_buffer_array &) {
		for (auto &p : stand_in_ports)
			stand_in_clear(p, period_frames);
	};
	const auto clear_jack = [](out_buffer_array &b) {
		for (void *buffer : b)
			jack_midi_clear_buffer(buffer);
	};
	const auto pass = [&](bool count_ports) {
		return real_jack ? drain_pass(s, jack_sink, buffers, clear_jack, count_ports)
		                 : drain_pass(s, stand_in_sink, buffers, clear_stand_in, count_ports);
	};
	if (real_jack)
		if (const std::string why = check_pass(s, pass(true)); !why.empty()) {
			state.SkipWithError(why.c_str());
			close_pipe(empty);
			return;
		}

	std::uint64_t events = 0;
	double ns = 0;
	for (auto _ : state) {
		const double t0 = cpu_ns();
		events += pass(false).events;
		ns += cpu_ns() - t0;
		benchmark::ClobberMemory();
	}
	state.counters["ns_per_event"] = ns / double(events);
	state.counters["events"] = benchmark::Counter(double(events), benchmark::Counter::kIsRate);

	device_link = {};
	close_pipe(empty);
}

// ---- the drain fed by real reads: cross-check ----------------------------------

// Each iteration fills a pipe with a backlog, drains it period after period
// until a read finds it empty, then fills it again and reads it back 16 bytes
// at a time with nothing else.  Reported per event: the drain with its reads,
// the reads alone, and the difference (ns_per_event), which should agree with
// BM_drain_backlog/stand_in.
void BM_drain_backlog_with_reads(benchmark::State &state)
{
	const channel_stream_t &s = channel_stream();
	pipe_fds pipe = open_pipe();
	fcntl(pipe.write_end, F_SETPIPE_SZ, 1 << 20);
	const int capacity = fcntl(pipe.write_end, F_GETPIPE_SZ);
	const std::size_t chunk = std::min<std::size_t>(s.used, std::size_t(capacity > 0 ? capacity : 65536));
	const auto fill = [&] {
		std::size_t put = 0;
		while (put < chunk) {
			const ssize_t n = write(pipe.write_end, s.bytes.data() + put, chunk - put);
			if (n <= 0)
				break;
			put += std::size_t(n);
		}
		return put == chunk;
	};

	device_link = {};
	device_link.capture_fd = pipe.read_end;
	out_buffer_array buffers = stand_in_buffers();
	std::array<std::uint8_t, window> scratch{};

	std::uint64_t events = 0;
	double with_reads_ns = 0, reads_ns = 0;
	bool ok = true;
	for (auto _ : state) {
		packetiser_reset();
		device_link.read_pos = device_link.read_len = 0;
		ok = ok && fill();
		const double t0 = cpu_ns();
		for (;;) {
			for (auto &p : stand_in_ports)
				stand_in_clear(p, period_frames);
			emission_t e{period_frames, buffers, &stand_in_sink};
			capture_drain(e);
			events += e.events[tx_index];
			if (device_link.read_len == 0)
				break; // the read found the pipe empty
		}
		const double t1 = cpu_ns();
		ok = ok && fill();
		const double t2 = cpu_ns();
		while (read(pipe.read_end, scratch.data(), window) > 0) {
		}
		reads_ns += cpu_ns() - t2;
		with_reads_ns += t1 - t0;
		benchmark::ClobberMemory();
	}
	if (!ok)
		state.SkipWithError("could not fill the pipe");
	state.counters["with_reads_ns_per_event"] = with_reads_ns / double(events);
	state.counters["reads_ns_per_event"] = reads_ns / double(events);
	state.counters["ns_per_event"] = (with_reads_ns - reads_ns) / double(events);

	device_link = {};
	close_pipe(pipe);
}

// ---- the idle cycle ------------------------------------------------------------

constexpr int idle_batch = 256; // calls timed together, to keep the clock out

// A named total of CPU time.
struct timed_total {
	const char *name; // counter name
	double ns;        // nanoseconds over all calls
};

// Both totals per call, and the first as a ratio to the second.
void report_ratio(benchmark::State &state, timed_total measured, timed_total against, std::uint64_t calls)
{
	state.counters[measured.name] = measured.ns / double(calls);
	state.counters[against.name] = against.ns / double(calls);
	state.counters["ratio"] = measured.ns / against.ns;
}

// What process_cycle does with nothing to do, on the stand-in buffers.
void idle_cycle_seam(jack_nframes_t nframes)
{
	out_buffer_array buffers;
	for (std::size_t i = 0; i < output_port_count; ++i) {
		stand_in_clear(stand_in_ports[i], nframes);
		buffers[i] = &stand_in_ports[i];
	}
	emission_t e{nframes, buffers, &stand_in_sink};
	pthread_mutex_lock(&link_lock);
	if (device_link.capture_fd >= 0)
		capture_drain(e);
	pthread_mutex_unlock(&link_lock);
	benchmark::DoNotOptimize(e.events);
}

void BM_idle_cycle_vs_read(benchmark::State &state, bool real_jack)
{
	if (real_jack && !bench_server_up()) {
		state.SkipWithError(bench_server.error.c_str());
		return;
	}
	pipe_fds empty = open_pipe();
	static const bool lock_ready = (link_lock_init(), true);
	(void)lock_ready;
	device_link = {};
	device_link.capture_fd = empty.read_end;
	if (real_jack) {
		port_table.client = bench_server.client;
		port_table.outputs = bench_server.outputs;
		port_table.rx = bench_server.rx;
	}
	std::array<std::uint8_t, window> scratch{};

	double cycle_ns = 0, read_ns = 0;
	std::uint64_t calls = 0;
	bool stray = false;
	for (auto _ : state) {
		const double t0 = cpu_ns();
		if (real_jack)
			for (int i = 0; i < idle_batch; ++i)
				process_cycle(period_frames, nullptr);
		else
			for (int i = 0; i < idle_batch; ++i)
				idle_cycle_seam(period_frames);
		const double t1 = cpu_ns();
		for (int i = 0; i < idle_batch; ++i)
			stray |= read(empty.read_end, scratch.data(), window) != -1;
		const double t2 = cpu_ns();
		cycle_ns += t1 - t0;
		read_ns += t2 - t1;
		calls += idle_batch;
	}
	if (stray)
		state.SkipWithError("the empty pipe was not empty");
	report_ratio(state, {"cycle_ns", cycle_ns}, {"read_ns", read_ns}, calls);

	port_table = {};
	device_link = {};
	close_pipe(empty);
}

// ---- playback cycles -------------------------------------------------------------

// What the cycle finds on midi.RX and in the playback queue.
enum class playback_case {
	direct, // one 3-byte event, written at once to a node with room
	stalled, // nothing new; the queue holds bytes and the node answers EAGAIN
};

// Both run the real process_cycle on the server's buffers, -d style: an
// empty capture pipe and a playback pipe.  Each iteration times a batch of
// idle cycles (nothing on midi.RX, nothing queued) and then a batch of the
// case's cycles, so the ratio compares figures of the same run.
void BM_playback_cycle(benchmark::State &state, playback_case which)
{
	if (!bench_server_up()) {
		state.SkipWithError(bench_server.error.c_str());
		return;
	}
	pipe_fds capture = open_pipe();
	pipe_fds playback = open_pipe();
	static const bool lock_ready = (link_lock_init(), playback_queue_prepare(), true);
	(void)lock_ready;
	device_link = {};
	device_link.capture_fd = capture.read_end;
	device_link.playback_fd = playback.write_end;
	playback_queue_clear();
	port_table.client = bench_server.client;
	port_table.outputs = bench_server.outputs;
	port_table.rx = bench_server.rx;

	void *feed = jack_port_get_buffer(bench_server.feed, period_frames);
	const jack_midi_data_t note[] = {0x90, 0x3C, 0x64};
	const auto set_feed = [&](bool with_note) {
		jack_midi_clear_buffer(feed);
		if (with_note)
			jack_midi_event_write(feed, 0, note, sizeof note);
	};
	std::vector<std::uint8_t> scratch(1 << 16);
	const auto empty_node = [&] {
		while (read(playback.read_end, scratch.data(), scratch.size()) > 0) {
		}
	};
	// The stalled node: full, with a whole SysEx message of 1 KiB waiting
	// behind it.
	std::vector<std::uint8_t> dump(1024, 0x01);
	dump.front() = 0xF0;
	dump.back() = 0xF7;
	const auto stall = [&] {
		while (write(playback.write_end, scratch.data(), scratch.size()) > 0) {
		}
		playback_send(playback.write_end, dump);
	};

	// CPU time of a batch of cycles.
	const auto batch_ns = [] {
		const double t0 = cpu_ns();
		for (int i = 0; i < idle_batch; ++i)
			process_cycle(period_frames, nullptr);
		return cpu_ns() - t0;
	};

	double idle_ns = 0, case_ns = 0;
	std::uint64_t calls = 0;
	bool wrong = false;
	for (auto _ : state) {
		state.PauseTiming();
		set_feed(false);
		empty_node();
		playback_queue_clear();
		state.ResumeTiming();
		idle_ns += batch_ns();
		state.PauseTiming();
		wrong |= playback_queue.length != 0 || read(playback.read_end, scratch.data(), 1) != -1;
		if (which == playback_case::direct)
			set_feed(true);
		else
			stall();
		state.ResumeTiming();
		case_ns += batch_ns();
		state.PauseTiming();
		if (which == playback_case::direct) {
			// Every cycle wrote the note, at once.
			std::size_t got = 0;
			for (ssize_t n; (n = read(playback.read_end, scratch.data(), scratch.size())) > 0;)
				got += std::size_t(n);
			wrong |= got != idle_batch * sizeof note || playback_queue.length != 0;
		} else {
			wrong |= playback_queue.length != 1024;
		}
		state.ResumeTiming();
		calls += idle_batch;
	}
	if (wrong)
		state.SkipWithError("the cycles did not do what the case needs");
	report_ratio(state, {"cycle_ns", case_ns}, {"idle_ns", idle_ns}, calls);

	set_feed(false);
	playback_queue_clear();
	port_table = {};
	device_link = {};
	close_pipe(capture);
	close_pipe(playback);
}

} // namespace

BENCHMARK_CAPTURE(BM_drain_backlog, stand_in, false);
BENCHMARK_CAPTURE(BM_drain_backlog, jack, true);
BENCHMARK(BM_drain_backlog_with_reads);
BENCHMARK_CAPTURE(BM_idle_cycle_vs_read, jack, true);
BENCHMARK_CAPTURE(BM_idle_cycle_vs_read, seam, false);
BENCHMARK_CAPTURE(BM_playback_cycle, direct, playback_case::direct);
BENCHMARK_CAPTURE(BM_playback_cycle, stalled, playback_case::stalled);
