// The test kit's harness: a private JACK server (jackd or PipeWire), the
// daemon as a child process, and the probe, an in-process JACK client that
// talks to it.  The end-to-end tests, the real-time audit, the soak run,
// the benchmarks and cfprobe (the probe on the command line, for the
// scripts) all use these; nothing here needs GoogleTest.
//
// Every process the harness starts is recorded in a registry by its id.  The
// owning objects stop their process when they go out of scope (so a failing
// assertion still cleans up), and whatever is left in the registry is killed
// at exit or when a fatal signal hits the test process.  Nothing is ever
// killed by name.  Each test gets its own temporary directory, its own
// server name (cf_<pid>_<n>) and client names of its own (base_<pid>), so
// tests may run side by side.
//
// The probe client moves MIDI through two preallocated single-producer,
// single-consumer rings: the test thread queues groups of messages that the
// process callback writes in one period, and the callback records every event
// arriving on the probe's input ports, with its period, for the test thread
// to drain.  As a pass-through it forwards its first input to its output
// instead.  The process callback never allocates, locks or prints.
//
// Waiting is always for a condition, polled with a deadline.
#pragma once

#include <jack/jack.h>
#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/midi_model.h"

namespace cftest {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// Long enough for a loaded two-core machine; passing tests poll and are fast.
inline constexpr std::chrono::milliseconds default_deadline = 10s;

// Polls pred until it holds or timeout passes; returns its last value.
template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds timeout = default_deadline)
{
	const auto end = steady::now() + timeout;
	for (;;) {
		if (pred())
			return true;
		if (steady::now() >= end)
			return pred();
		std::this_thread::sleep_for(2ms);
	}
}

// ---- processes -------------------------------------------------------------

// Records pid as started by the harness (killed at exit if still there).
void track_pid(pid_t pid);
// Forgets pid once it has been reaped.
void untrack_pid(pid_t pid);
// Every process recorded and not yet reaped: the JACK servers first.
std::vector<pid_t> tracked_processes();

// Waits up to timeout for the child pid to end; its wait status, or nullopt.
std::optional<int> wait_child(pid_t pid, std::chrono::milliseconds timeout);
// SIGTERM, then SIGKILL after grace; reaps and untracks.  The wait status.
int stop_child(pid_t pid, std::chrono::milliseconds grace = default_deadline);
// SIGKILL, reap, untrack.
void kill_child(pid_t pid);

// Makes this process the reaper of orphaned descendants, so a daemon that
// forks away from its parent stays our child.
bool become_subreaper();
// Finds a child of ours whose command name is comm and whose id is not in
// skip; polls until timeout.  -1 if none.
pid_t find_child(std::string_view comm, const std::vector<pid_t> &skip,
                 std::chrono::milliseconds timeout = default_deadline);

// Kills and reaps every child this process still has: with a subreaper,
// also whatever a daemon forked off and the harness never found.
void kill_all_children();

// The command name the daemon's processes carry (its file name, cut to the
// kernel's 15 characters).
std::string daemon_comm();

// Number of descriptors of process pid that refer to path (also when the
// path has been removed since it was opened).
int open_count(pid_t pid, const std::string &path);

// One line of /proc/<pid>/status ("Uid", "Gid", "Groups"), without the key.
std::string proc_status_field(pid_t pid, std::string_view key);

// ---- files -------------------------------------------------------------------

// An owned file descriptor.
struct unique_fd {
	int fd = -1; // the descriptor, -1 when none

	unique_fd() = default;
	explicit unique_fd(int f) : fd(f) {}
	unique_fd(unique_fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
	unique_fd &operator=(unique_fd &&o) noexcept;
	unique_fd(const unique_fd &) = delete;
	unique_fd &operator=(const unique_fd &) = delete;
	~unique_fd() { reset(); }
	void reset();
	explicit operator bool() const { return fd >= 0; }
};

// A private directory, removed with its contents at the end.
struct temp_dir {
	std::string path; // absolute path of the directory

	temp_dir();
	~temp_dir();
	temp_dir(const temp_dir &) = delete;
	temp_dir &operator=(const temp_dir &) = delete;
	// path/name
	std::string at(std::string_view name) const;
	// Creates a FIFO path/name; returns its path (empty on failure).
	std::string make_fifo(std::string_view name) const;
};

// Opens the read end of a FIFO without waiting for a writer.
unique_fd open_fifo_reader(const std::string &path);
// Appends whatever fd has to offer now to out.  False on EOF (no writer left
// and nothing buffered) or an error; true when it would block.
bool read_available(int fd, bytes &out);

// A pseudo-terminal: the master side is ours, the slave path goes to the daemon.
struct pty_pair {
	unique_fd master;       // master side, non-blocking
	std::string slave_path; // /dev/pts/N
};
std::optional<pty_pair> open_pty();

// ---- timing ------------------------------------------------------------------

// The monotonic clock, in nanoseconds.
std::int64_t monotonic_ns();

// Writes byte to fd count times, interval apart, on deadlines of the
// monotonic clock, from a thread of its own (SCHED_FIFO where the system
// allows); the time of each write, on clock (ns).
std::vector<std::int64_t> write_every(int fd, std::uint8_t byte, unsigned count,
                                      std::chrono::nanoseconds interval,
                                      const std::function<std::int64_t()> &clock = monotonic_ns);

// Reads fd (which may be non-blocking) from a thread of its own (SCHED_FIFO
// where allowed) until count bytes came or timeout passed; the time at which
// each byte was seen, on clock (ns).
std::vector<std::int64_t> stamp_arrivals(int fd, unsigned count, std::chrono::milliseconds timeout,
                                         const std::function<std::int64_t()> &clock = monotonic_ns);

// The largest less the smallest gap between neighbours of times (0 for
// fewer than three).  Given a reference of the same length (when each event
// was sent, say), each gap is first taken less the reference's own, so a
// sender that ran late is not held against what carried its events.
std::int64_t spacing_spread(const std::vector<std::int64_t> &times,
                            const std::vector<std::int64_t> &reference = {});

// How far times stray from reference (both of one length): each time less
// its reference, the largest of these offsets less the smallest, once the
// excused offsets farthest from their median are set aside.  One event late
// moves one offset (where it moves two gaps).
std::int64_t offset_spread(const std::vector<std::int64_t> &times, const std::vector<std::int64_t> &reference,
                           std::size_t excused = 0);

// ---- JACK server ---------------------------------------------------------

// A server name unique to this process and call.
std::string unique_server_name();

// The servers the end-to-end tests can run against.
enum class server_kind {
	jackd,    // jackd2 with the dummy backend, in synchronous mode
	pipewire, // a headless PipeWire, reached through pipewire-jack's libjack
};

// Why tests against kind cannot run in this test program, or "" when they
// can.  The program's libjack decides: jackd2's for jackd, pipewire-jack's
// (put first on LD_LIBRARY_PATH when the program starts) for PipeWire.
std::string server_unavailable(server_kind kind);

// A JACK server under a private name: jackd with the dummy backend, or a
// PipeWire with a dummy driver whose quantum is the period.  A PipeWire
// gets a configuration file and a runtime folder of its own in the test's
// directory; starting one points this program's later JACK clients and the
// children it starts at it (XDG_RUNTIME_DIR and PIPEWIRE_REMOTE in the
// environment).
struct jack_server {
	std::string name;        // server name, also JACK_DEFAULT_SERVER for children
	std::string log_path;    // the server's stdout and stderr
	unsigned period = 256;   // frames per period
	pid_t pid = -1;          // the server's id while it runs
	server_kind kind = server_kind::jackd; // which server start() runs
	std::string runtime_dir; // a PipeWire's XDG_RUNTIME_DIR

	explicit jack_server(const temp_dir &dir, unsigned period_frames = 256);
	~jack_server() { stop(); }
	jack_server(const jack_server &) = delete;
	jack_server &operator=(const jack_server &) = delete;

	// Starts the server and waits until a client can connect.  With as_uid
	// (jackd only), the server runs as that user (and its primary group),
	// so that a client of that user can reach it.
	bool start(std::optional<uid_t> as_uid = std::nullopt);
	// Stops the server (SIGTERM, then SIGKILL); its wait status, or -1 if
	// none ran.
	int stop();
	// The server's log so far, for failure messages.
	std::string log() const;
};

// jackd2 puts a client's notification socket at /dev/shm/jack_<client>_<uid>_0,
// whatever the server: two clients of one name on two servers at once take
// each other's socket.  Tests running side by side therefore give their own
// clients names of this form: base_<pid>.
std::string unique_client_name(std::string_view base);

// True when a client can be opened on server right now.
bool server_answers(const std::string &server);

// Runs a JACK tool (argv[0] in /usr/bin) against server, with this
// program's environment; its standard output if it exited 0 in time.
std::optional<std::string> run_jack_tool(const std::vector<std::string> &argv,
                                         const std::string &server, const temp_dir &dir);

// ---- the daemon ------------------------------------------------------------

// One run of the daemon binary (or of another program, for a test that
// runs one under the same watch).
struct daemon_proc {
	pid_t pid = -1;                 // the child's id while it is ours to reap
	std::string stderr_path;        // where its standard error goes
	std::string stdout_path;        // where its standard output goes
	std::optional<int> wait_status; // set once it has been reaped
	std::string sys_root;           // a folder shown to the daemon as /sys, if set
	std::string program;            // the program run; empty: the daemon

	daemon_proc() = default;
	~daemon_proc() { kill(); }
	daemon_proc(const daemon_proc &) = delete;
	daemon_proc &operator=(const daemon_proc &) = delete;

	// Starts CABLEFERRY_BINARY with args, JACK_DEFAULT_SERVER=server (and
	// extra_env, NAME=value each) in its environment only, standard error to
	// a file in dir.  With sys_root set, the daemon runs in a mount
	// namespace of its own where that folder is mounted on /sys (root only).
	bool spawn(const std::vector<std::string> &args, const std::string &server,
	           const temp_dir &dir, const std::vector<std::string> &extra_env = {});
	// Waits for the exit; the wait status, or nullopt at the deadline.
	std::optional<int> wait(std::chrono::milliseconds timeout = default_deadline);
	// Exit status when it exited normally within the deadline, else -1.
	int exit_status(std::chrono::milliseconds timeout = default_deadline);
	// True while the process has not ended.
	bool running();
	// Kills it (by id) if it still runs.
	void kill();
	// Everything it wrote to standard error, and to standard output.
	std::string stderr_text() const;
	std::string output_text() const;
	// Takes over a process found by find_child (after daemon(3)).
	void adopt(pid_t child) { pid = child; track_pid(child); wait_status.reset(); }
};

// The last line of text (without its newline).
std::string last_line(const std::string &text);

// text less the daemon's device state lines ("cableferry: capture PATH:
// opened", "... lost", "... cannot open: REASON").
std::string without_node_lines(const std::string &text);

// ---- the probe client ----------------------------------------------------

// A port as the server lists it.
struct port_info {
	std::string name;   // full name, client:port
	std::string type;   // port type string
	unsigned long flags; // JackPortFlags
};

// One event received on a probe input port.
struct midi_record {
	std::uint32_t port;               // index of the probe input port
	std::uint64_t period;             // probe period in which it arrived
	std::uint32_t frame;              // frame offset within that period
	std::uint32_t size;               // event size (bytes beyond 'data' are cut)
	std::int64_t time_us;             // monotonic clock at the start of that period
	std::uint32_t frame_time;         // JACK frame time of the event: period start + frame
	std::array<std::uint8_t, 64> data; // first bytes of the event
	std::uint64_t digest;             // event_digest of all its bytes
};

// FNV-1a of an event's bytes, which a record keeps beside the first of them.
inline std::uint64_t event_digest(const std::uint8_t *p, std::size_t n)
{
	std::uint64_t h = 14695981039346656037u;
	while (n-- > 0)
		h = (h ^ *p++) * 1099511628211u;
	return h;
}

class jack_probe {
public:
	static constexpr std::size_t max_message = 32768; // largest message sent
	static constexpr std::size_t send_slots = 512;  // ring size, in messages
	static constexpr std::size_t recv_slots = 8192; // default record ring size, in events
	static constexpr std::size_t max_inputs = 20;   // input ports at most

	// record_slots: how many events the record ring holds until drained.
	explicit jack_probe(std::size_t record_slots = recv_slots);
	~jack_probe();
	jack_probe(const jack_probe &) = delete;
	jack_probe &operator=(const jack_probe &) = delete;

	// Opens the client on server (never starting one) and sets callbacks.
	// The name defaults to unique_client_name("probe").
	bool open(const std::string &server, const std::string &name = {});
	// Registers the output port (before activate).
	bool add_output(const std::string &port = "out");
	// Registers an input port (before activate); its index or -1.
	int add_input(const std::string &port);
	// Makes the probe a plain pass-through (before activate): every event
	// on the first input goes out on the output in the same period, at the
	// same frame, with the same bytes, and is neither queued nor recorded.
	void pass_through() { pass_through_ = true; }
	bool activate();
	void close();

	jack_client_t *client() const { return client_; }
	// Full name of one of the probe's own ports.
	std::string own(const std::string &port) const;
	// Connects two ports, retrying until the server takes it or the deadline.
	bool connect(const std::string &from, const std::string &to);
	// Removes a connection and waits until the graph no longer has it.
	bool disconnect(const std::string &from, const std::string &to);

	// Queues messages to be written in one period, at frames 0, 1, 2...
	// Waits for room in the ring; false if there was none in time or a
	// message is too large.
	bool send(const std::vector<bytes> &group,
	          std::chrono::milliseconds timeout = default_deadline);
	// From the next period on, writes message (at most 3 bytes) count times,
	// spacing frames apart, beside what send() queues.  False while an
	// earlier run is still going.
	bool send_every(const bytes &message, std::uint32_t count, std::uint32_t spacing);
	// True once every message of send_every went out.
	bool spaced_done() const { return spaced_left_.load() == 0; }
	// The JACK frame time of send_every's first message, once it went out.
	std::uint32_t spaced_start() const { return spaced_start_.load(); }
	// Waits until every queued message went out and the graph ran two more
	// periods, so that every client has seen them.
	bool wait_flushed(std::chrono::milliseconds timeout = default_deadline);
	// Events that the server refused to take from the probe.
	std::uint64_t send_failures() const { return send_failures_.load(); }
	// Largest event the output buffer takes (0 before the first period).
	std::size_t max_event_size() const { return max_event_size_.load(); }

	// Takes every event recorded so far.
	std::vector<midi_record> drain();
	// Events lost because the record ring was full.
	std::uint64_t record_overflows() const { return recv_overflow_.load(); }

	// Periods run so far.
	std::uint64_t periods() const { return periods_.load(); }
	// Waits until n more periods have run.
	bool wait_periods(std::uint64_t n, std::chrono::milliseconds timeout = default_deadline);

	// All ports of client, in the server's order.
	std::vector<port_info> ports_of(const std::string &client_name) const;
	bool port_exists(const std::string &full_name) const;

	// Clients and ports that registered since open ("+name") or left ("-name").
	std::vector<std::string> registrations() const;
	// Waits until every registration notice issued before this call has
	// reached the probe (the server sends notices in order).
	bool sync_notices(std::chrono::milliseconds timeout = default_deadline);
	// True once the server has announced the port full_name to the probe.
	bool port_announced(const std::string &full_name) const;
	// Other clients that have joined the server and announced no port yet.
	// jackd2 announces a client's ports when it activates the client, so
	// these are the clients still starting (or without ports).
	std::vector<std::string> starting_clients() const;

	// True when the server shut the probe down.
	bool server_gone() const { return shut_down_.load(); }

	// Xruns the server has reported to the probe since open.
	std::uint64_t xruns() const { return xruns_.load(); }

	// The longest wall-clock time between the starts of two of the probe's
	// periods since the last call of restart_gap_watch: how long the graph
	// left every client without a cycle.
	std::chrono::microseconds longest_gap() const
	{
		return std::chrono::microseconds(longest_gap_us_.load());
	}
	void restart_gap_watch() { longest_gap_us_.store(0); }

private:
	struct send_slot {
		std::uint32_t size;                         // message length
		bool last;                                  // ends its group
		std::array<std::uint8_t, max_message> data; // message bytes
	};

	// Registers one of the probe's own MIDI ports.
	jack_port_t *register_port(const std::string &port, unsigned long flags);
	static int on_process(jack_nframes_t nframes, void *arg);
	static void on_client_registration(const char *name, int reg, void *arg);
	static void on_port_registration(jack_port_id_t id, int reg, void *arg);
	static void on_shutdown(void *arg);
	static int on_xrun(void *arg);
	void process(jack_nframes_t nframes);
	void emit_queued(void *buf, jack_nframes_t nframes);
	void emit_spaced(void *buf, jack_nframes_t nframes);
	void forward(void *in, void *out);
	void record(std::size_t port, void *buf, std::uint64_t period, std::int64_t start_us,
	            jack_nframes_t start_frame);
	void note(std::string text);

	jack_client_t *client_ = nullptr;                    // the probe client
	std::string name_;                                   // its actual name
	jack_port_t *out_ = nullptr;                         // output port, if any
	std::array<jack_port_t *, max_inputs> in_{};         // input ports
	std::size_t in_count_ = 0;                           // ports in in_

	std::unique_ptr<send_slot[]> send_ring_;             // queued messages
	std::atomic<std::uint64_t> send_head_{0};            // next slot to fill
	std::atomic<std::uint64_t> send_tail_{0};            // next slot to emit
	std::atomic<std::uint64_t> send_failures_{0};        // refused writes
	std::atomic<std::size_t> max_event_size_{0};         // output buffer capacity

	std::array<std::uint8_t, 3> spaced_msg_{};           // send_every's message
	std::uint32_t spaced_size_ = 0;                      // its length
	std::uint32_t spaced_spacing_ = 0;                   // frames between two of them
	std::uint32_t spaced_count_ = 0;                     // how many send_every asked for
	std::uint32_t spaced_next_ = 0;                      // frame of the next one, from this period's start (probe thread)
	std::atomic<std::uint32_t> spaced_left_{0};          // still to write; set by send_every, counted down by the probe thread
	std::atomic<std::uint32_t> spaced_start_{0};         // frame time of the first one written

	bool pass_through_ = false;                          // forward the first input instead
	std::size_t recv_slots_;                             // size of recv_ring_
	std::unique_ptr<midi_record[]> recv_ring_;           // recorded events
	std::atomic<std::uint64_t> recv_head_{0};            // next record to fill
	std::atomic<std::uint64_t> recv_tail_{0};            // next record to drain
	std::atomic<std::uint64_t> recv_overflow_{0};        // events not recorded

	std::atomic<std::uint64_t> periods_{0};              // process calls so far
	std::atomic<bool> shut_down_{false};                 // server went away
	std::atomic<std::uint64_t> xruns_{0};                // xrun notices so far
	std::int64_t last_start_us_ = 0;                     // start of the latest period (probe thread)
	std::atomic<std::int64_t> longest_gap_us_{0};        // longest gap since restart_gap_watch

	mutable std::mutex notes_lock_;                      // guards notes_
	std::vector<std::string> notes_;                     // registration notices
	unsigned marker_count_ = 0;                          // sync_notices calls
};

} // namespace cftest
