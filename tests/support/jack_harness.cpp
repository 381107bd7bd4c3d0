// The test kit's harness: processes, files, the JACK server and the probe.
//
// The process registry is a fixed array of atomics, so the fatal-signal
// handler can walk it without allocating or locking.  Its handlers and the
// exit hook are installed the first time a process is recorded; a test
// program that never starts one is left untouched.
#include "support/jack_harness.h"
#include "support/watchdog.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <grp.h>
#include <jack/midiport.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

extern char **environ;

namespace cftest {

// ---- process registry --------------------------------------------------------

namespace {

constexpr std::size_t registry_size = 128;
std::array<std::atomic<pid_t>, registry_size> registry{}; // every process started
std::array<std::atomic<pid_t>, 16> server_registry{};     // the jackd ones among them
std::once_flag hooks_installed;

// Async-signal-safe: a fatal signal in the test process stops the servers
// (so that they leave the server table cleanly, and their clients end on the
// shutdown notice), gives everything a few seconds, kills what is left and
// dies of the signal.
void kill_all_on_signal(int sig)
{
	static const char note[] = "harness: fatal signal, stopping the processes it started\n";
	ssize_t ignored = write(STDERR_FILENO, note, sizeof note - 1);
	(void)ignored;
	for (auto &slot : server_registry)
		if (const pid_t pid = slot.load(); pid > 0)
			::kill(pid, SIGTERM);
	for (int round = 0; round < 300; round++) {
		bool left = false;
		for (auto &slot : registry) {
			const pid_t pid = slot.load();
			if (pid <= 0)
				continue;
			int status;
			const pid_t r = waitpid(pid, &status, WNOHANG);
			if (r == pid || (r < 0 && errno == ECHILD))
				slot.store(0);
			else
				left = true;
		}
		if (!left)
			break;
		const timespec ten_ms{0, 10000000};
		nanosleep(&ten_ms, nullptr);
	}
	for (auto &slot : registry)
		if (const pid_t pid = slot.load(); pid > 0)
			::kill(pid, SIGKILL);
	signal(sig, SIG_DFL);
	raise(sig);
}

void stop_all_at_exit()
{
	for (auto &slot : server_registry)
		if (const pid_t pid = slot.load(); pid > 0)
			stop_child(pid, 5s);
	for (auto &slot : registry)
		if (const pid_t pid = slot.load(); pid > 0)
			stop_child(pid, 3s);
}

// Records a jackd, to be stopped before anything else.
void track_server(pid_t pid)
{
	for (auto &slot : server_registry) {
		pid_t empty = 0;
		if (slot.compare_exchange_strong(empty, pid))
			return;
	}
}

void install_hooks()
{
	std::atexit(stop_all_at_exit);
	struct sigaction sa{};
	sa.sa_handler = kill_all_on_signal;
	sigemptyset(&sa.sa_mask);
	for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL})
		sigaction(sig, &sa, nullptr);
}

} // namespace

void track_pid(pid_t pid)
{
	std::call_once(hooks_installed, install_hooks);
	for (auto &slot : registry) {
		pid_t empty = 0;
		if (slot.compare_exchange_strong(empty, pid))
			return;
	}
	std::fprintf(stderr, "harness: process registry full\n");
}

void untrack_pid(pid_t pid)
{
	for (auto &slot : registry) {
		pid_t expected = pid;
		slot.compare_exchange_strong(expected, 0);
	}
	for (auto &slot : server_registry) {
		pid_t expected = pid;
		slot.compare_exchange_strong(expected, 0);
	}
}

std::vector<pid_t> tracked_processes()
{
	std::vector<pid_t> out;
	const auto add = [&](const auto &table) {
		for (const auto &slot : table)
			if (const pid_t pid = slot.load(); pid > 0 && std::find(out.begin(), out.end(), pid) == out.end())
				out.push_back(pid);
	};
	add(server_registry);
	add(registry);
	return out;
}

std::optional<int> wait_child(pid_t pid, std::chrono::milliseconds timeout)
{
	int status = 0;
	std::optional<int> result;
	wait_until([&] {
		const pid_t r = waitpid(pid, &status, WNOHANG);
		if (r == pid || (r < 0 && errno == ECHILD)) {
			result = r == pid ? status : -1;
			return true;
		}
		return false;
	}, timeout);
	if (result)
		untrack_pid(pid);
	return result;
}

int stop_child(pid_t pid, std::chrono::milliseconds grace)
{
	if (pid <= 0)
		return -1;
	::kill(pid, SIGTERM);
	if (auto status = wait_child(pid, grace))
		return *status;
	::kill(pid, SIGKILL);
	int status = -1;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	untrack_pid(pid);
	return status;
}

void kill_child(pid_t pid)
{
	if (pid <= 0)
		return;
	::kill(pid, SIGKILL);
	int status;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	untrack_pid(pid);
}

bool become_subreaper()
{
	return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

namespace {

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream s;
	s << in.rdbuf();
	return s.str();
}

// Parent id and command name from /proc/<pid>/stat.
bool read_stat(pid_t pid, pid_t &ppid, std::string &comm)
{
	const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
	const auto open = stat.find('(');
	const auto close = stat.rfind(')');
	if (open == std::string::npos || close == std::string::npos || close < open)
		return false;
	comm = stat.substr(open + 1, close - open - 1);
	char state = 0;
	int parent = 0;
	if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2)
		return false;
	ppid = parent;
	return true;
}

// Children of this process, with their command names.
std::vector<std::pair<pid_t, std::string>> list_children()
{
	std::vector<std::pair<pid_t, std::string>> out;
	const pid_t self = getpid();
	DIR *d = opendir("/proc");
	if (d == nullptr)
		return out;
	while (dirent *e = readdir(d)) {
		char *end = nullptr;
		const long pid = std::strtol(e->d_name, &end, 10);
		if (end == e->d_name || *end != '\0')
			continue;
		pid_t ppid;
		std::string name;
		if (read_stat(static_cast<pid_t>(pid), ppid, name) && ppid == self)
			out.emplace_back(static_cast<pid_t>(pid), name);
	}
	closedir(d);
	return out;
}

} // namespace

pid_t find_child(std::string_view comm, const std::vector<pid_t> &skip,
                 std::chrono::milliseconds timeout)
{
	pid_t found = -1;
	wait_until([&] {
		for (const auto &[pid, name] : list_children())
			if (name == comm && std::find(skip.begin(), skip.end(), pid) == skip.end()) {
				found = pid;
				return true;
			}
		return false;
	}, timeout);
	return found;
}

void kill_all_children()
{
	for (const auto &child : list_children())
		kill_child(child.first);
}

std::string daemon_comm()
{
	const std::string path = CABLEFERRY_BINARY;
	return path.substr(path.rfind('/') + 1).substr(0, 15);
}

int open_count(pid_t pid, const std::string &path)
{
	const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
	DIR *d = opendir(dir.c_str());
	if (d == nullptr)
		return 0;
	int count = 0;
	while (dirent *e = readdir(d)) {
		if (e->d_name[0] == '.')
			continue;
		char target[4096];
		const ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
		if (n <= 0)
			continue;
		const std::string_view t(target, static_cast<std::size_t>(n));
		if (t == path || t == path + " (deleted)")
			count++;
	}
	closedir(d);
	return count;
}

std::string proc_status_field(pid_t pid, std::string_view key)
{
	std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
	std::string line;
	const std::string prefix = std::string(key) + ":";
	while (std::getline(in, line)) {
		if (line.rfind(prefix, 0) != 0)
			continue;
		std::istringstream words(line.substr(prefix.size()));
		std::string word, out;
		while (words >> word)
			out += (out.empty() ? "" : " ") + word;
		return out;
	}
	return {};
}

// ---- files -------------------------------------------------------------------

unique_fd &unique_fd::operator=(unique_fd &&o) noexcept
{
	if (this != &o) {
		reset();
		fd = o.fd;
		o.fd = -1;
	}
	return *this;
}

void unique_fd::reset()
{
	if (fd >= 0)
		::close(fd);
	fd = -1;
}

temp_dir::temp_dir()
{
	char templ[] = "/tmp/cf-e2e-XXXXXX";
	if (mkdtemp(templ) != nullptr)
		path = templ;
}

temp_dir::~temp_dir()
{
	if (path.empty())
		return;
	nftw(path.c_str(), [](const char *p, const struct stat *, int, FTW *) { return ::remove(p); },
	     16, FTW_DEPTH | FTW_PHYS);
}

std::string temp_dir::at(std::string_view name) const
{
	return path + "/" + std::string(name);
}

std::string temp_dir::make_fifo(std::string_view name) const
{
	const std::string p = at(name);
	return mkfifo(p.c_str(), 0600) == 0 ? p : std::string();
}

unique_fd open_fifo_reader(const std::string &path)
{
	return unique_fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

bool read_available(int fd, bytes &out)
{
	std::array<std::uint8_t, 4096> buf;
	for (;;) {
		const ssize_t n = ::read(fd, buf.data(), buf.size());
		if (n > 0) {
			out.insert(out.end(), buf.begin(), buf.begin() + n);
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		return n < 0 && errno == EAGAIN;
	}
}

std::int64_t monotonic_ns()
{
	timespec t{};
	clock_gettime(CLOCK_MONOTONIC, &t);
	return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

namespace {

// Runs body on a thread of its own, at real-time priority where allowed,
// and waits for it.
void run_prompt(const std::function<void()> &body)
{
	std::thread t(body);
	sched_param p{};
	p.sched_priority = sched_get_priority_min(SCHED_FIFO) + 10;
	pthread_setschedparam(t.native_handle(), SCHED_FIFO, &p);
	t.join();
}

} // namespace

std::vector<std::int64_t> write_every(int fd, std::uint8_t byte, unsigned count, std::chrono::nanoseconds interval,
                                      const std::function<std::int64_t()> &clock)
{
	std::vector<std::int64_t> times;
	times.reserve(count);
	run_prompt([&] {
		timespec due{};
		clock_gettime(CLOCK_MONOTONIC, &due);
		for (unsigned i = 0; i < count; i++) {
			const std::int64_t ns = due.tv_nsec + interval.count();
			due.tv_sec += ns / 1000000000;
			due.tv_nsec = ns % 1000000000;
			while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
			}
			const bool wrote = ::write(fd, &byte, 1) == 1;
			times.push_back(clock());
			if (!wrote)
				break;
		}
	});
	return times;
}

std::vector<std::int64_t> stamp_arrivals(int fd, unsigned count, std::chrono::milliseconds timeout,
                                         const std::function<std::int64_t()> &clock)
{
	std::vector<std::int64_t> times;
	times.reserve(count);
	run_prompt([&] {
		const std::int64_t end = monotonic_ns() + std::int64_t(timeout.count()) * 1000000;
		while (times.size() < count && monotonic_ns() < end) {
			pollfd p{fd, POLLIN, 0};
			if (poll(&p, 1, 10) <= 0)
				continue;
			const std::int64_t now = clock();
			std::array<std::uint8_t, 64> buf;
			const ssize_t n = ::read(fd, buf.data(), buf.size());
			for (ssize_t i = 0; i < n; i++)
				times.push_back(now);
			if (n <= 0)
				std::this_thread::sleep_for(1ms); // no writer yet, or for now
		}
	});
	return times;
}

std::int64_t spacing_spread(const std::vector<std::int64_t> &times, const std::vector<std::int64_t> &reference)
{
	if (times.size() < 3)
		return 0;
	const bool relative = reference.size() == times.size();
	std::int64_t lo = INT64_MAX, hi = INT64_MIN;
	for (std::size_t i = 1; i < times.size(); i++) {
		const std::int64_t gap = times[i] - times[i - 1] - (relative ? reference[i] - reference[i - 1] : 0);
		lo = std::min(lo, gap);
		hi = std::max(hi, gap);
	}
	return hi - lo;
}

std::int64_t offset_spread(const std::vector<std::int64_t> &times, const std::vector<std::int64_t> &reference,
                           std::size_t excused)
{
	std::vector<std::int64_t> offsets;
	for (std::size_t i = 0; i < times.size() && i < reference.size(); i++)
		offsets.push_back(times[i] - reference[i]);
	if (offsets.size() <= excused)
		return 0;
	std::sort(offsets.begin(), offsets.end());
	const std::int64_t median = offsets[offsets.size() / 2];
	auto lo = offsets.begin(), hi = offsets.end() - 1;
	for (std::size_t k = 0; k < excused; k++) {
		if (median - *lo > *hi - median)
			++lo;
		else
			--hi;
	}
	return *hi - *lo;
}

std::optional<pty_pair> open_pty()
{
	const int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
	if (m < 0)
		return std::nullopt;
	pty_pair p;
	p.master = unique_fd(m);
	char name[128];
	if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0)
		return std::nullopt;
	p.slave_path = name;
	return p;
}

// ---- JACK server ---------------------------------------------------------

namespace {

std::atomic<unsigned> name_counter{0};
std::atomic<bool> quiet_jack{false};

void jack_error_printer(const char *msg)
{
	if (!quiet_jack.load())
		std::fprintf(stderr, "libjack: %s\n", msg);
}

void install_jack_printer()
{
	static std::once_flag once;
	std::call_once(once, [] {
		jack_set_error_function(jack_error_printer);
		jack_set_info_function(jack_error_printer);
	});
}

// argv/envp storage for posix_spawn and execve.
struct arg_vector {
	std::vector<std::string> strings; // the owned strings
	std::vector<char *> pointers;     // null-terminated view of them

	char **get()
	{
		pointers.clear();
		for (auto &s : strings)
			pointers.push_back(s.data());
		pointers.push_back(nullptr);
		return pointers.data();
	}
};

arg_vector environment_with_server(const std::string &server)
{
	arg_vector env;
	for (char **e = environ; *e != nullptr; e++)
		if (std::strncmp(*e, "JACK_DEFAULT_SERVER=", 20) != 0)
			env.strings.emplace_back(*e);
	env.strings.push_back("JACK_DEFAULT_SERVER=" + server);
	return env;
}

// posix_spawn with stdin from /dev/null, stdout/stderr to files, no other
// descriptor, and every signal at its default action.
pid_t spawn_logged(const std::string &program, arg_vector &args, arg_vector &env,
                   const std::string &out_path, const std::string &err_path)
{
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
	posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
	// Nothing else of ours leaks in: an inherited FIFO end would keep a
	// node alive that a test means to lose.
	posix_spawn_file_actions_addclosefrom_np(&fa, 3);
	posix_spawnattr_t attr;
	posix_spawnattr_init(&attr);
	sigset_t all, none;
	sigfillset(&all);
	sigemptyset(&none);
	posix_spawnattr_setsigdefault(&attr, &all);
	posix_spawnattr_setsigmask(&attr, &none);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
	pid_t pid = -1;
	const int rc = posix_spawn(&pid, program.c_str(), &fa, &attr, args.get(), env.get());
	posix_spawn_file_actions_destroy(&fa);
	posix_spawnattr_destroy(&attr);
	if (rc != 0)
		return -1;
	track_pid(pid);
	return pid;
}

// Runs fn in a child process that has become uid (and its primary group);
// the child's exit status, or -1.  Only for moments when this process has
// no JACK client of its own (the child may use libjack).
int run_as(uid_t uid, const std::function<int()> &fn, std::chrono::milliseconds timeout)
{
	const passwd *pw = getpwuid(uid);
	const gid_t gid = pw ? pw->pw_gid : static_cast<gid_t>(uid);
	const pid_t pid = fork();
	if (pid < 0)
		return -1;
	if (pid == 0) {
		if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
			_exit(125);
		_exit(fn());
	}
	track_pid(pid);
	const auto status = wait_child(pid, timeout);
	if (!status) {
		kill_child(pid);
		return -1;
	}
	return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

} // namespace

std::string unique_server_name()
{
	return "cf_" + std::to_string(getpid()) + "_" + std::to_string(name_counter++);
}

std::string unique_client_name(std::string_view base)
{
	return std::string(base) + "_" + std::to_string(getpid());
}

bool server_answers(const std::string &server)
{
	install_jack_printer();
	quiet_jack = true;
	jack_status_t status;
	const std::string name = unique_client_name("ping");
	jack_client_t *c = guarded("jack_client_open", [&] {
		return jack_client_open(name.c_str(), JackOptions(JackNoStartServer | JackServerName), &status,
		                        server.c_str());
	});
	if (c != nullptr)
		guarded("jack_client_close", [&] { return jack_client_close(c); });
	quiet_jack = false;
	return c != nullptr;
}

std::optional<std::string> run_jack_tool(const std::vector<std::string> &argv,
                                         const std::string &server, const temp_dir &dir)
{
	static std::atomic<unsigned> runs{0};
	const std::string out = dir.at("tool-" + std::to_string(runs++) + ".out");
	arg_vector args;
	args.strings = argv;
	arg_vector env = environment_with_server(server);
	const pid_t pid = spawn_logged("/usr/bin/" + argv.at(0), args, env, out, out + ".err");
	if (pid <= 0)
		return std::nullopt;
	const auto status = wait_child(pid, default_deadline);
	if (!status) {
		kill_child(pid);
		return std::nullopt;
	}
	if (!WIFEXITED(*status) || WEXITSTATUS(*status) != 0)
		return std::nullopt;
	return read_file(out);
}

jack_server::jack_server(const temp_dir &dir, unsigned period_frames)
	: name(unique_server_name()), log_path(dir.at("jackd-" + name + ".log")), period(period_frames)
{
}

namespace {

// Starts jackd under name; its id, or -1.  With as_uid it runs as that user
// and the user's primary group.
pid_t spawn_jackd(const std::string &name, unsigned period, const std::string &log_path,
                  std::optional<uid_t> as_uid)
{
	arg_vector args;
	// -S: synchronous mode, so a busy machine does not hand clients stale
	// buffers.  The client timeout stays at its default: a larger one also
	// stretches how long jackd waits for a client that was killed.
	args.strings = {"jackd", "-S", "-n", name, "-d", "dummy",
	                "-r", "48000", "-p", std::to_string(period)};
	// A library preloaded into this program (the real-time probe) stays
	// out of the server.
	arg_vector env;
	for (char **e = environ; *e != nullptr; e++)
		if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0)
			env.strings.emplace_back(*e);
	if (!as_uid) {
		const pid_t pid = spawn_logged("/usr/bin/jackd", args, env, log_path, log_path);
		if (pid > 0)
			track_server(pid);
		return pid;
	}

	const passwd *pw = getpwuid(*as_uid);
	const gid_t gid = pw ? pw->pw_gid : static_cast<gid_t>(*as_uid);
	const uid_t uid = *as_uid;
	const int log_fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	char **argv = args.get();
	char **envp = env.get();
	const pid_t pid = fork();
	if (pid == 0) {
		const int null_fd = ::open("/dev/null", O_RDONLY);
		dup2(null_fd, 0);
		dup2(log_fd, 1);
		dup2(log_fd, 2);
		closefrom(3);
		if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
			_exit(125);
		execve("/usr/bin/jackd", argv, envp);
		_exit(127);
	}
	if (log_fd >= 0)
		::close(log_fd);
	if (pid > 0) {
		track_pid(pid);
		track_server(pid);
	}
	return pid;
}

// Waits until a client of user as_uid can connect to server name.  Clears
// pid and returns false if jackd ends first.
bool await_jackd(pid_t &pid, const std::string &name, std::optional<uid_t> as_uid)
{
	const auto ready = [&] {
		if (!as_uid)
			return server_answers(name);
		return run_as(*as_uid, [&] { return server_answers(name) ? 0 : 1; }, 5s) == 0;
	};
	bool up = false;
	wait_until([&] {
		int status;
		if (waitpid(pid, &status, WNOHANG) == pid) {
			untrack_pid(pid);
			pid = -1;
			return true;
		}
		up = ready();
		return up;
	}, default_deadline);
	return up;
}

// jackd keeps its servers in a table of eight in a shared registry, and
// frees an entry only when its server exits cleanly, or when a server of the
// same user and name starts.  A server that dies otherwise holds its entry
// for ever: killed, or dead of SIGPIPE, which jackd can take while shutting
// down if it writes to a client that has just exited (the daemon exits on
// the shutdown notice).  Once the table is full no server starts at all.

// One entry of the server table.
struct registry_entry {
	pid_t pid;         // the server that registered it
	std::string label; // "jack-<uid>:<server name>:"
};

std::vector<registry_entry> read_server_registry()
{
	constexpr std::size_t table = 24;  // offset of the server table
	constexpr std::size_t entry = 264; // pid_t, a 257-byte name, padding
	constexpr std::size_t servers = 8;
	const std::string reg = read_file("/dev/shm/jack-shm-registry");
	std::vector<registry_entry> out;
	if (reg.size() < table + servers * entry || reg.compare(0, 4, "KCAJ") != 0)
		return out;
	for (std::size_t i = 0; i < servers; i++) {
		std::int32_t owner;
		std::memcpy(&owner, reg.data() + table + i * entry, sizeof owner);
		if (owner > 0)
			out.push_back({owner, std::string(reg.c_str() + table + i * entry + 4)});
	}
	return out;
}

// Frees the entries of dead servers named like the harness's (cf_<pid>_<n>),
// or only the one of server only_name when given, by starting and cleanly
// stopping a server of the same user and name.  How many were freed.
int reclaim_dead_servers(const std::string &only_name = {})
{
	int freed = 0;
	for (const auto &e : read_server_registry()) {
		if (::kill(e.pid, 0) == 0 || errno != ESRCH)
			continue;
		unsigned uid = 0;
		char server[200] = {};
		unsigned a, b;
		if (std::sscanf(e.label.c_str(), "jack-%u:%199[^:]:", &uid, server) != 2 ||
		    std::sscanf(server, "cf_%u_%u", &a, &b) != 2)
			continue;
		if (!only_name.empty() && only_name != server)
			continue;
		const auto as = uid == geteuid() ? std::nullopt : std::optional<uid_t>(uid);
		pid_t pid = spawn_jackd(server, 256, "/dev/null", as);
		if (pid > 0 && await_jackd(pid, server, as))
			freed++;
		if (pid > 0)
			stop_child(pid);
	}
	return freed;
}

// Removes the semaphore files that clients of server name leave behind in
// /dev/shm when they end without closing.
void remove_semaphores(const std::string &name)
{
	DIR *d = opendir("/dev/shm");
	if (d == nullptr)
		return;
	std::vector<std::string> doomed;
	while (dirent *e = readdir(d)) {
		unsigned uid;
		int used = 0;
		if (std::sscanf(e->d_name, "jack_sem.%u_%n", &uid, &used) != 1 || used == 0)
			continue;
		if (std::string_view(e->d_name + used).substr(0, name.size() + 1) == name + "_")
			doomed.push_back(std::string("/dev/shm/") + e->d_name);
	}
	closedir(d);
	for (const auto &p : doomed)
		::unlink(p.c_str());
}

} // namespace

namespace {

// The file this program's libjack was loaded from.
std::string loaded_libjack()
{
	Dl_info info{};
	if (dladdr(reinterpret_cast<void *>(&jack_client_open), &info) == 0 || info.dli_fname == nullptr)
		return {};
	return info.dli_fname;
}

bool is_pipewire_libjack(const std::string &path)
{
	return path.find("/pipewire-") != std::string::npos;
}

constexpr const char *pipewire_binary = "/usr/bin/pipewire";

// A PipeWire that needs nothing but itself: no D-Bus, no session manager,
// no devices.  The dummy driver runs the graph at a fixed quantum, the
// JACK period; the freewheel driver is there because JACK clients expect
// one.  The access module lets clients in (without it they wait for a
// session manager for ever).
std::string pipewire_config(const std::string &name, unsigned period)
{
	const std::string q = std::to_string(period);
	return "context.properties = {\n"
	       "    core.daemon = true\n"
	       "    core.name = " + name + "\n"
	       "    support.dbus = false\n"
	       "    default.clock.rate = 48000\n"
	       "    default.clock.allowed-rates = [ 48000 ]\n"
	       "    default.clock.quantum = " + q + "\n"
	       "    default.clock.min-quantum = " + q + "\n"
	       "    default.clock.max-quantum = " + q + "\n"
	       "}\n"
	       "context.spa-libs = {\n"
	       "    support.* = support/libspa-support\n"
	       "}\n"
	       "context.modules = [\n"
	       "    { name = libpipewire-module-rt flags = [ ifexists nofail ] }\n"
	       "    { name = libpipewire-module-protocol-native }\n"
	       "    { name = libpipewire-module-access }\n"
	       "    { name = libpipewire-module-metadata }\n"
	       "    { name = libpipewire-module-spa-node-factory }\n"
	       "    { name = libpipewire-module-client-node }\n"
	       "    { name = libpipewire-module-adapter }\n"
	       "    { name = libpipewire-module-link-factory }\n"
	       "]\n"
	       "context.objects = [\n"
	       "    { factory = metadata args = { metadata.name = default } }\n"
	       "    { factory = spa-node-factory args = {\n"
	       "        factory.name = support.node.driver node.name = Dummy-Driver\n"
	       "        node.group = pipewire.dummy priority.driver = 20000 } }\n"
	       "    { factory = spa-node-factory args = {\n"
	       "        factory.name = support.node.driver node.name = Freewheel-Driver\n"
	       "        node.group = pipewire.freewheel priority.driver = 19000 node.freewheel = true } }\n"
	       "]\n";
}

// Starts PipeWire with a configuration and runtime folder in log_path's
// folder; its id, or -1.  This process's environment then names the server
// for the JACK clients to come.
pid_t spawn_pipewire(const std::string &name, unsigned period, const std::string &log_path,
                     std::string &runtime_dir)
{
	const std::string folder = log_path.substr(0, log_path.rfind('/'));
	runtime_dir = folder + "/run-" + name;
	const std::string config = folder + "/pipewire-" + name + ".conf";
	if (mkdir(runtime_dir.c_str(), 0700) != 0 && errno != EEXIST)
		return -1;
	if (!(std::ofstream(config) << pipewire_config(name, period)))
		return -1;
	setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
	setenv("PIPEWIRE_REMOTE", name.c_str(), 1);
	arg_vector args;
	args.strings = {"pipewire", "-c", config};
	// The server itself gets neither pipewire-jack's libjack nor a remote.
	arg_vector env;
	for (char **e = environ; *e != nullptr; e++)
		if (std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0 && std::strncmp(*e, "PIPEWIRE_REMOTE=", 16) != 0)
			env.strings.emplace_back(*e);
	const pid_t pid = spawn_logged(pipewire_binary, args, env, log_path, log_path);
	if (pid > 0)
		track_server(pid);
	return pid;
}

} // namespace

std::string server_unavailable(server_kind kind)
{
	const std::string lib = loaded_libjack();
	if (kind == server_kind::jackd) {
		if (is_pipewire_libjack(lib))
			return "this test program runs pipewire-jack's libjack (" + lib + "), not jackd2's";
		return {};
	}
	if (access(pipewire_binary, X_OK) != 0)
		return "PipeWire is not installed (scripts/setup installs pipewire, pipewire-bin and "
		       "pipewire-jack where it can)";
	if (!is_pipewire_libjack(lib))
		return "this test program runs " + (lib.empty() ? std::string("an unknown libjack") : lib) +
		       "; the PipeWire tests need pipewire-jack's libjack first on LD_LIBRARY_PATH "
		       "(ctest sets it when pipewire-jack was installed before the build was configured)";
	return {};
}

bool jack_server::start(std::optional<uid_t> as_uid)
{
	if (pid > 0)
		return true;
	if (kind == server_kind::pipewire) {
		pid = spawn_pipewire(name, period, log_path, runtime_dir);
		if (pid > 0 && await_jackd(pid, name, std::nullopt))
			return true;
		stop();
		std::fprintf(stderr, "harness: pipewire %s did not come up:\n%s\n", name.c_str(), log().c_str());
		return false;
	}
	for (int attempt = 0; attempt < 2; attempt++) {
		pid = spawn_jackd(name, period, log_path, as_uid);
		if (pid > 0 && await_jackd(pid, name, as_uid))
			return true;
		stop();
		if (log().find("Too many servers already active") == std::string::npos ||
		    reclaim_dead_servers() == 0)
			break;
	}
	std::fprintf(stderr, "harness: jackd %s did not come up:\n%s\n", name.c_str(), log().c_str());
	return false;
}

int jack_server::stop()
{
	if (pid <= 0)
		return -1;
	const int status = stop_child(pid);
	pid = -1;
	if (kind == server_kind::pipewire)
		return status;
	if (!WIFEXITED(status))
		reclaim_dead_servers(name);
	remove_semaphores(name);
	return status;
}

std::string jack_server::log() const
{
	return read_file(log_path);
}

// ---- the daemon ------------------------------------------------------------

bool daemon_proc::spawn(const std::vector<std::string> &args, const std::string &server,
                        const temp_dir &dir, const std::vector<std::string> &extra_env)
{
	const std::string binary = program.empty() ? CABLEFERRY_BINARY : program;
	static std::atomic<unsigned> runs{0};
	const std::string tag = "daemon-" + std::to_string(runs++);
	stderr_path = dir.at(tag + ".err");
	stdout_path = dir.at(tag + ".out");
	arg_vector argv;
	std::string run = binary;
	if (!sys_root.empty()) {
		// unshare and the shell each replace themselves, so the id stays
		// the daemon's.
		run = "/usr/bin/unshare";
		argv.strings = {"unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
		                "mount --bind \"$1\" /sys && shift && exec \"$@\"", "sh", sys_root, binary};
	} else {
		argv.strings.push_back(program.empty() ? "cableferry" : program); // as when found on PATH
	}
	argv.strings.insert(argv.strings.end(), args.begin(), args.end());
	arg_vector env = environment_with_server(server);
	env.strings.insert(env.strings.end(), extra_env.begin(), extra_env.end());
	wait_status.reset();
	pid = spawn_logged(run, argv, env, stdout_path, stderr_path);
	return pid > 0;
}

std::optional<int> daemon_proc::wait(std::chrono::milliseconds timeout)
{
	if (wait_status || pid <= 0)
		return wait_status;
	wait_status = wait_child(pid, timeout);
	if (wait_status)
		pid = -1;
	return wait_status;
}

int daemon_proc::exit_status(std::chrono::milliseconds timeout)
{
	const auto status = wait(timeout);
	if (!status || !WIFEXITED(*status))
		return -1;
	return WEXITSTATUS(*status);
}

bool daemon_proc::running()
{
	if (pid <= 0)
		return false;
	return !wait(0ms).has_value();
}

void daemon_proc::kill()
{
	if (pid > 0 && !wait_status) {
		kill_child(pid);
		wait_status = -1;
	}
	pid = -1;
}

std::string daemon_proc::stderr_text() const
{
	return read_file(stderr_path);
}

std::string daemon_proc::output_text() const
{
	return read_file(stdout_path);
}

std::string last_line(const std::string &text)
{
	std::string t = text;
	if (!t.empty() && t.back() == '\n')
		t.pop_back();
	const auto nl = t.rfind('\n');
	return nl == std::string::npos ? t : t.substr(nl + 1);
}

std::string without_node_lines(const std::string &text)
{
	static const std::regex node_line("cableferry: (capture|playback) .*: (opened|lost|cannot open: .*)\n");
	return std::regex_replace(text, node_line, "");
}

// ---- the probe client ----------------------------------------------------

jack_probe::jack_probe(std::size_t record_slots)
	: send_ring_(new send_slot[send_slots]), recv_slots_(record_slots),
	  recv_ring_(new midi_record[record_slots])
{
}

jack_probe::~jack_probe()
{
	close();
}

bool jack_probe::open(const std::string &server, const std::string &name)
{
	install_jack_printer();
	jack_status_t status;
	const std::string wanted = name.empty() ? unique_client_name("probe") : name;
	client_ = guarded("jack_client_open", [&] {
		return jack_client_open(wanted.c_str(), JackOptions(JackNoStartServer | JackServerName | JackUseExactName),
		                        &status, server.c_str());
	});
	if (client_ == nullptr)
		return false;
	name_ = jack_get_client_name(client_);
	jack_set_process_callback(client_, on_process, this);
	jack_set_client_registration_callback(client_, on_client_registration, this);
	jack_set_port_registration_callback(client_, on_port_registration, this);
	jack_on_shutdown(client_, on_shutdown, this);
	jack_set_xrun_callback(client_, on_xrun, this);
	return true;
}

jack_port_t *jack_probe::register_port(const std::string &port, unsigned long flags)
{
	return guarded("jack_port_register", [&] {
		return jack_port_register(client_, port.c_str(), JACK_DEFAULT_MIDI_TYPE, flags, 0);
	});
}

bool jack_probe::add_output(const std::string &port)
{
	out_ = register_port(port, JackPortIsOutput);
	return out_ != nullptr;
}

int jack_probe::add_input(const std::string &port)
{
	if (in_count_ >= max_inputs)
		return -1;
	jack_port_t *p = register_port(port, JackPortIsInput);
	if (p == nullptr)
		return -1;
	in_[in_count_] = p;
	return static_cast<int>(in_count_++);
}

bool jack_probe::activate()
{
	return guarded("jack_activate", [&] { return jack_activate(client_); }) == 0;
}

void jack_probe::close()
{
	if (client_ == nullptr)
		return;
	if (!shut_down_.load())
		guarded("jack_deactivate", [&] { return jack_deactivate(client_); });
	guarded("jack_client_close", [&] { return jack_client_close(client_); });
	client_ = nullptr;
}

std::string jack_probe::own(const std::string &port) const
{
	return name_ + ":" + port;
}

bool jack_probe::connect(const std::string &from, const std::string &to)
{
	// A client's ports exist before the client is activated, and the server
	// refuses connections to an inactive client: try until it takes.  Then
	// wait until the graph the process cycles run on has the connection;
	// an event sent before that goes nowhere.
	const bool made = wait_until([&] {
		const int rc = guarded("jack_connect", [&] { return jack_connect(client_, from.c_str(), to.c_str()); });
		return rc == 0 || rc == EEXIST;
	});
	jack_port_t *src = jack_port_by_name(client_, from.c_str());
	return made && src != nullptr &&
	       wait_until([&] { return jack_port_connected_to(src, to.c_str()) != 0; }) &&
	       wait_periods(2);
}

bool jack_probe::disconnect(const std::string &from, const std::string &to)
{
	jack_port_t *src = jack_port_by_name(client_, from.c_str());
	return src != nullptr &&
	       guarded("jack_disconnect", [&] { return jack_disconnect(client_, from.c_str(), to.c_str()); }) == 0 &&
	       wait_until([&] { return jack_port_connected_to(src, to.c_str()) == 0; }) && wait_periods(2);
}

bool jack_probe::send(const std::vector<bytes> &group, std::chrono::milliseconds timeout)
{
	if (group.empty() || group.size() > send_slots)
		return false;
	for (const auto &m : group)
		if (m.empty() || m.size() > max_message)
			return false;
	const std::uint64_t head = send_head_.load(std::memory_order_relaxed);
	if (!wait_until([&] { return send_slots - (head - send_tail_.load(std::memory_order_acquire)) >= group.size(); },
	                timeout))
		return false;
	for (std::size_t i = 0; i < group.size(); i++) {
		send_slot &slot = send_ring_[(head + i) % send_slots];
		slot.size = static_cast<std::uint32_t>(group[i].size());
		slot.last = i + 1 == group.size();
		std::copy(group[i].begin(), group[i].end(), slot.data.begin());
	}
	send_head_.store(head + group.size(), std::memory_order_release);
	return true;
}

bool jack_probe::send_every(const bytes &message, std::uint32_t count, std::uint32_t spacing)
{
	if (spaced_left_.load() != 0 || message.empty() || message.size() > spaced_msg_.size() || spacing == 0)
		return false;
	std::copy(message.begin(), message.end(), spaced_msg_.begin());
	spaced_size_ = static_cast<std::uint32_t>(message.size());
	spaced_spacing_ = spacing;
	spaced_next_ = 0;
	spaced_count_ = count;
	spaced_left_.store(count, std::memory_order_release);
	return true;
}

bool jack_probe::wait_flushed(std::chrono::milliseconds timeout)
{
	const auto end = steady::now() + timeout;
	if (!wait_until([&] { return send_tail_.load() == send_head_.load(); }, timeout))
		return false;
	const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - steady::now());
	return wait_periods(3, std::max(left, 0ms));
}

std::vector<midi_record> jack_probe::drain()
{
	std::vector<midi_record> out;
	const std::uint64_t head = recv_head_.load(std::memory_order_acquire);
	std::uint64_t tail = recv_tail_.load(std::memory_order_relaxed);
	for (; tail != head; tail++)
		out.push_back(recv_ring_[tail % recv_slots_]);
	recv_tail_.store(tail, std::memory_order_release);
	return out;
}

bool jack_probe::wait_periods(std::uint64_t n, std::chrono::milliseconds timeout)
{
	const std::uint64_t target = periods() + n;
	return wait_until([&] { return periods() >= target || server_gone(); }, timeout) && !server_gone();
}

std::vector<port_info> jack_probe::ports_of(const std::string &client_name) const
{
	std::vector<port_info> out;
	const char **names = jack_get_ports(client_, nullptr, nullptr, 0);
	if (names == nullptr)
		return out;
	const std::string prefix = client_name + ":";
	for (const char **n = names; *n != nullptr; n++) {
		if (std::string_view(*n).substr(0, prefix.size()) != prefix)
			continue;
		jack_port_t *p = jack_port_by_name(client_, *n);
		if (p == nullptr)
			continue;
		const char *type = jack_port_type(p);
		out.push_back({*n, type ? type : "", static_cast<unsigned long>(jack_port_flags(p))});
	}
	jack_free(names);
	return out;
}

bool jack_probe::port_exists(const std::string &full_name) const
{
	return jack_port_by_name(client_, full_name.c_str()) != nullptr;
}

std::vector<std::string> jack_probe::registrations() const
{
	std::lock_guard<std::mutex> lock(notes_lock_);
	return notes_;
}

bool jack_probe::sync_notices(std::chrono::milliseconds timeout)
{
	const std::string port = "marker" + std::to_string(marker_count_++);
	jack_port_t *p = register_port(port, JackPortIsInput);
	if (p == nullptr)
		return false;
	const std::string want = "+" + own(port);
	const bool seen = wait_until([&] {
		const auto notes = registrations();
		return std::find(notes.begin(), notes.end(), want) != notes.end();
	}, timeout);
	guarded("jack_port_unregister", [&] { return jack_port_unregister(client_, p); });
	return seen;
}

bool jack_probe::port_announced(const std::string &full_name) const
{
	const auto notes = registrations();
	return std::find(notes.begin(), notes.end(), "+" + full_name) != notes.end();
}

std::vector<std::string> jack_probe::starting_clients() const
{
	// Client notices carry a name, port notices client:port; a client that
	// leaves and comes back starts anew.
	std::vector<std::pair<std::string, bool>> clients; // name, announced a port
	for (const std::string &note : registrations()) {
		const bool joined = note[0] == '+';
		const std::string name = note.substr(1);
		const auto of = std::find_if(clients.begin(), clients.end(), [&](const auto &c) {
			return name == c.first || name.rfind(c.first + ":", 0) == 0;
		});
		if (of == clients.end()) {
			if (joined && name.find(':') == std::string::npos)
				clients.emplace_back(name, false);
		} else if (name == of->first) {
			clients.erase(of);
			if (joined)
				clients.emplace_back(name, false);
		} else if (joined) {
			of->second = true;
		}
	}
	std::vector<std::string> starting;
	for (const auto &[name, announced] : clients)
		if (!announced && name != name_)
			starting.push_back(name);
	return starting;
}

int jack_probe::on_process(jack_nframes_t nframes, void *arg)
{
	static_cast<jack_probe *>(arg)->process(nframes);
	return 0;
}

void jack_probe::process(jack_nframes_t nframes)
{
	const std::uint64_t period = periods_.load(std::memory_order_relaxed) + 1;

	// The monotonic clock is read without a system call.
	timespec now{};
	clock_gettime(CLOCK_MONOTONIC, &now);
	const std::int64_t start_us = std::int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
	if (last_start_us_ != 0 && start_us - last_start_us_ > longest_gap_us_.load(std::memory_order_relaxed))
		longest_gap_us_.store(start_us - last_start_us_, std::memory_order_relaxed);
	last_start_us_ = start_us;

	void *out = out_ != nullptr ? jack_port_get_buffer(out_, nframes) : nullptr;
	if (out != nullptr) {
		jack_midi_clear_buffer(out);
		max_event_size_.store(jack_midi_max_event_size(out), std::memory_order_relaxed);
	}
	for (std::size_t i = 0; i < in_count_; i++) {
		void *buf = jack_port_get_buffer(in_[i], nframes);
		if (buf == nullptr)
			continue;
		if (i == 0 && pass_through_) {
			if (out != nullptr)
				forward(buf, out);
			continue;
		}
		record(i, buf, period, start_us, jack_last_frame_time(client_));
	}
	if (out != nullptr && !pass_through_) {
		emit_queued(out, nframes);
		emit_spaced(out, nframes);
	}

	periods_.store(period, std::memory_order_release);
}

// Writes the next queued group at frames 0, 1, 2...
void jack_probe::emit_queued(void *buf, jack_nframes_t nframes)
{
	std::uint64_t tail = send_tail_.load(std::memory_order_relaxed);
	const std::uint64_t head = send_head_.load(std::memory_order_acquire);
	jack_nframes_t frame = 0;
	while (tail != head) {
		const send_slot &slot = send_ring_[tail % send_slots];
		if (jack_midi_event_write(buf, std::min(frame, nframes - 1), slot.data.data(), slot.size) != 0)
			send_failures_.fetch_add(1, std::memory_order_relaxed);
		frame++;
		tail++;
		if (slot.last)
			break;
	}
	send_tail_.store(tail, std::memory_order_release);
}

// Writes send_every's messages that fall in this period.  JACK takes a
// buffer's events in frame order only, so a test does not mix these with
// send() groups in the same periods.
void jack_probe::emit_spaced(void *buf, jack_nframes_t nframes)
{
	std::uint32_t left = spaced_left_.load(std::memory_order_acquire);
	while (left > 0 && spaced_next_ < nframes) {
		if (left == spaced_count_)
			spaced_start_.store(jack_last_frame_time(client_) + spaced_next_, std::memory_order_relaxed);
		if (jack_midi_event_write(buf, spaced_next_, spaced_msg_.data(), spaced_size_) != 0)
			send_failures_.fetch_add(1, std::memory_order_relaxed);
		spaced_next_ += spaced_spacing_;
		spaced_left_.store(--left, std::memory_order_release);
	}
	if (left > 0)
		spaced_next_ -= nframes;
}

void jack_probe::forward(void *in, void *out)
{
	const std::uint32_t n = jack_midi_get_event_count(in);
	for (std::uint32_t e = 0; e < n; e++) {
		jack_midi_event_t ev;
		if (jack_midi_event_get(&ev, in, e) == 0 && jack_midi_event_write(out, ev.time, ev.buffer, ev.size) != 0)
			send_failures_.fetch_add(1, std::memory_order_relaxed);
	}
}

void jack_probe::record(std::size_t port, void *buf, std::uint64_t period, std::int64_t start_us,
                        jack_nframes_t start_frame)
{
	const std::uint32_t n = jack_midi_get_event_count(buf);
	for (std::uint32_t e = 0; e < n; e++) {
		jack_midi_event_t ev;
		if (jack_midi_event_get(&ev, buf, e) != 0)
			continue;
		const std::uint64_t head = recv_head_.load(std::memory_order_relaxed);
		if (head - recv_tail_.load(std::memory_order_acquire) >= recv_slots_) {
			recv_overflow_.fetch_add(1, std::memory_order_relaxed);
			continue;
		}
		midi_record &r = recv_ring_[head % recv_slots_];
		r.port = static_cast<std::uint32_t>(port);
		r.period = period;
		r.frame = ev.time;
		r.size = static_cast<std::uint32_t>(ev.size);
		r.time_us = start_us;
		r.frame_time = start_frame + ev.time;
		const std::size_t keep = std::min(ev.size, r.data.size());
		std::copy(ev.buffer, ev.buffer + keep, r.data.begin());
		r.digest = event_digest(ev.buffer, ev.size);
		recv_head_.store(head + 1, std::memory_order_release);
	}
}

void jack_probe::note(std::string text)
{
	std::lock_guard<std::mutex> lock(notes_lock_);
	notes_.push_back(std::move(text));
}

void jack_probe::on_client_registration(const char *name, int reg, void *arg)
{
	static_cast<jack_probe *>(arg)->note(std::string(reg ? "+" : "-") + name);
}

void jack_probe::on_port_registration(jack_port_id_t id, int reg, void *arg)
{
	auto *self = static_cast<jack_probe *>(arg);
	jack_port_t *p = jack_port_by_id(self->client_, id);
	const char *name = p ? jack_port_name(p) : nullptr;
	self->note(std::string(reg ? "+" : "-") + (name ? name : "?"));
}

void jack_probe::on_shutdown(void *arg)
{
	static_cast<jack_probe *>(arg)->shut_down_.store(true);
}

int jack_probe::on_xrun(void *arg)
{
	static_cast<jack_probe *>(arg)->xruns_.fetch_add(1, std::memory_order_relaxed);
	return 0;
}

} // namespace cftest
