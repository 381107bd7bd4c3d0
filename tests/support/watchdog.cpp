// The watchdog.
//
// Guards take one of a few slots under one mutex; the watchdog thread sleeps
// on a condition until the earliest armed deadline.  Its state is allocated
// once and never freed, so that a guard on another thread never meets it
// half destroyed while the process exits.  The report runs gdb and ss
// through the shell, each bounded by timeout(1), and writes everything to
// the test program's standard error, which CTest shows for a failed test.
#include "support/watchdog.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/jack_harness.h"

namespace cftest {

namespace {

using steady = std::chrono::steady_clock;

// How long a hung call may take to come back once its server is killed.
constexpr std::chrono::seconds after_kill{10};

struct watch_slot {
	bool armed = false;         // a call is under way
	bool fired = false;         // its deadline passed and the report ran
	const char *what = nullptr; // the call, for the report
	steady::time_point due;     // when it passes its deadline
};

struct watchdog_t {
	std::mutex lock;                   // guards everything below
	std::condition_variable changed;   // a slot was armed or disarmed
	std::array<watch_slot, 32> slots;  // the calls under way
	watchdog_reporter report = nullptr; // fails the current test
	bool started = false;              // the thread runs
};

watchdog_t &watchdog()
{
	static watchdog_t *w = new watchdog_t;
	return *w;
}

std::string slurp(const std::string &path)
{
	std::ifstream in(path);
	std::ostringstream s;
	s << in.rdbuf();
	std::string text = s.str();
	while (!text.empty() && text.back() == '\n')
		text.pop_back();
	return text;
}

// Runs a shell command and copies what it prints to standard error.
void show(const std::string &command)
{
	std::fflush(stderr);
	if (FILE *out = popen((command + " 2>&1").c_str(), "r")) {
		std::array<char, 4096> buf;
		while (const std::size_t n = std::fread(buf.data(), 1, buf.size(), out))
			std::fwrite(buf.data(), 1, n, stderr);
		pclose(out);
	}
	std::fflush(stderr);
}

// Each thread of pid with its name and the kernel function it waits in.
void show_threads(pid_t pid)
{
	const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
	DIR *d = opendir(tasks.c_str());
	if (d == nullptr)
		return;
	while (dirent *e = readdir(d)) {
		if (e->d_name[0] == '.')
			continue;
		const std::string t = tasks + "/" + e->d_name;
		std::fprintf(stderr, "  thread %s %-16s waits in %s\n", e->d_name, slurp(t + "/comm").c_str(),
		             slurp(t + "/wchan").c_str());
	}
	closedir(d);
}

void report_hang(const char *what, const std::vector<pid_t> &started)
{
	std::fprintf(stderr, "\nharness watchdog: %s has not returned after %lld s; "
	             "the processes involved follow, then their socket queues\n",
	             what, static_cast<long long>(jack_call_deadline.count()));
	std::vector<pid_t> all = {getpid()};
	all.insert(all.end(), started.begin(), started.end());
	std::string pids;
	for (const pid_t pid : all) {
		const std::string proc = "/proc/" + std::to_string(pid);
		std::fprintf(stderr, "\n==== process %d (%s)%s: %s\n", pid, slurp(proc + "/comm").c_str(),
		             pid == getpid() ? ", the test" : "", slurp(proc + "/cmdline").c_str());
		show_threads(pid);
		show("timeout 30 gdb -p " + std::to_string(pid) +
		     " -batch -nx -q -ex 'set pagination off' -ex 'thread apply all bt' < /dev/null"
		     " | grep -v '^\\[New LWP\\|^\\[Thread debugging\\|^Using host libthread'");
		pids += (pids.empty() ? "" : "|") + std::to_string(pid);
	}
	std::fprintf(stderr, "\n==== Unix sockets of these processes (ss -xpn): Recv-Q, then Send-Q\n");
	show("timeout 10 ss -xpn | grep -E '^Netid|pid=(" + pids + "),'");
	std::fprintf(stderr, "\nharness watchdog: killing the processes the harness started\n");
	for (const pid_t pid : started)
		::kill(pid, SIGKILL);
}

void run_watchdog()
{
	watchdog_t &w = watchdog();
	std::unique_lock<std::mutex> held(w.lock);
	for (;;) {
		watch_slot *next = nullptr;
		for (auto &s : w.slots)
			if (s.armed && !s.fired && (next == nullptr || s.due < next->due))
				next = &s;
		if (next == nullptr) {
			w.changed.wait(held);
			continue;
		}
		if (steady::now() < next->due) {
			w.changed.wait_until(held, next->due);
			continue;
		}
		next->fired = true;
		const char *what = next->what;
		held.unlock();
		report_hang(what, tracked_processes());
		held.lock();
		if (!w.changed.wait_for(held, after_kill, [&] { return !next->fired; })) {
			std::fprintf(stderr, "harness watchdog: %s did not return even with its server gone; "
			             "ending the test program\n", what);
			std::fflush(stderr);
			std::_Exit(1);
		}
	}
}

} // namespace

void set_watchdog_reporter(watchdog_reporter report)
{
	watchdog_t &w = watchdog();
	std::lock_guard<std::mutex> held(w.lock);
	w.report = report;
}

jack_call_guard::jack_call_guard(const char *what)
{
	watchdog_t &w = watchdog();
	std::lock_guard<std::mutex> held(w.lock);
	if (!w.started) {
		std::thread(run_watchdog).detach();
		w.started = true;
	}
	for (slot_ = 0; slot_ < w.slots.size() && w.slots[slot_].armed; slot_++) {
	}
	if (slot_ == w.slots.size())
		return; // more calls at once than any test makes: this one goes unwatched
	w.slots[slot_] = {true, false, what, steady::now() + jack_call_deadline};
	w.changed.notify_all();
}

jack_call_guard::~jack_call_guard()
{
	watchdog_t &w = watchdog();
	std::unique_lock<std::mutex> held(w.lock);
	if (slot_ >= w.slots.size())
		return;
	watch_slot &s = w.slots[slot_];
	const bool fired = s.fired;
	const std::string what = s.what;
	const watchdog_reporter report = w.report;
	s = {};
	w.changed.notify_all();
	held.unlock();
	if (fired && report != nullptr)
		report(what + " hung until the watchdog killed the server (stacks above)");
}

} // namespace cftest
