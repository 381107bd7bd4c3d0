// The kit's watchdog: no call into libjack that waits on the server may
// hang a test.
//
// jackd2 serves every client's requests from one thread and writes its
// notices with blocking writes, so one client that stops reading can freeze
// the whole server, and then every libjack call that asks it something
// (open, port registration, activate, connect, deactivate, close) waits for
// ever.  The kit therefore makes each such call under a guard.  A thread of
// the watchdog's own sees a guard still armed after jack_call_deadline and
// prints what it takes to find out why: the thread list and kernel wait
// channel, then the gdb stacks, of the test process, of every JACK server
// and of every other process the harness started; then their Unix socket
// queues (ss -xpn).  It then kills those processes, which ends the hung
// call (its socket closes), and the guard fails the test through the
// reporter the test program set.  A call that still does not return ends
// the test program.
//
// Only one thread waits on the watchdog; a guard costs a lock and a
// notification, nothing on the real-time path uses it.
#pragma once

#include <chrono>
#include <string>
#include <utility>

namespace cftest {

// How long a libjack call may take before the watchdog steps in.  Long
// enough for a loaded two-core machine under ThreadSanitizer; an answer
// from a server that works comes in milliseconds.
inline constexpr std::chrono::seconds jack_call_deadline{15};

// How a test program fails its current test; without one the watchdog only
// prints.  The reporter runs on the thread whose call hung, after it came
// back.
using watchdog_reporter = void (*)(const std::string &what);
void set_watchdog_reporter(watchdog_reporter report);

// Arms the watchdog for the life of the object.
class jack_call_guard {
public:
	explicit jack_call_guard(const char *what);
	~jack_call_guard();
	jack_call_guard(const jack_call_guard &) = delete;
	jack_call_guard &operator=(const jack_call_guard &) = delete;

private:
	unsigned slot_; // the watchdog's slot for this call
};

// Runs call (a libjack call that asks the server) under a guard named what.
template <class Call>
auto guarded(const char *what, Call &&call)
{
	jack_call_guard guard(what);
	return std::forward<Call>(call)();
}

} // namespace cftest
