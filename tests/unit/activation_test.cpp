// The end of start-up against JACK's shutdown callback.  JACK may call the
// callback from a thread of its own while jack_activate is still under way;
// the process must then end one way, whole: "Cannot activate JACK client."
// with 69, or 0 without a word, and without running exit handlers under
// JACK's threads.  Each case runs in a child process, since every outcome
// but one ends the process.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "control/jack_client.h"

using namespace cableferry;

namespace {

enum class step { shutdown, activated, refused };

struct activation_case {
	const char *label;       // what the case shows
	std::vector<step> steps; // in the order they happen
	int status;              // exit status; 7 when the process runs on
	bool message;            // "Cannot activate JACK client." expected
};

struct child_outcome {
	int status;      // exit status, -1 if it did not exit
	std::string err; // its standard error
};

child_outcome run_in_child(const std::vector<step> &steps)
{
	int p[2];
	if (pipe(p) != 0)
		return {-1, "pipe failed"};
	const pid_t child = fork();
	if (child == 0) {
		dup2(p[1], STDERR_FILENO);
		close(p[0]);
		// JACK's threads would still run: no exit handler may run under them.
		atexit([] { (void)!write(STDERR_FILENO, "exit handlers ran\n", 18); });
		for (step s : steps) {
			if (s == step::shutdown)
				on_jack_shutdown(nullptr);
			else
				finish_activation(s == step::activated ? 0 : -1);
		}
		_exit(7);
	}
	close(p[1]);
	child_outcome out{-1, ""};
	char buf[256];
	for (ssize_t n; (n = read(p[0], buf, sizeof buf)) > 0;)
		out.err.append(buf, static_cast<std::size_t>(n));
	close(p[0]);
	int st = 0;
	if (child > 0 && waitpid(child, &st, 0) == child && WIFEXITED(st))
		out.status = WEXITSTATUS(st);
	return out;
}

} // namespace

TEST(Activation, ShutdownDuringActivationEndsOneWayWhole)
{
	const std::vector<activation_case> cases = {
		{"server gone, activation refused", {step::shutdown, step::refused}, 69, true},
		{"server gone, activation had gone through", {step::shutdown, step::activated}, 0, false},
		{"server gone after activation", {step::activated, step::shutdown}, 0, false},
		{"activation refused", {step::refused}, 69, true},
		{"activated, server still there", {step::activated}, 7, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		const child_outcome got = run_in_child(c.steps);
		EXPECT_EQ(got.status, c.status);
		if (c.message) {
			const std::string tail = ": Cannot activate JACK client.\n";
			EXPECT_TRUE(got.err.size() > tail.size() &&
			            got.err.compare(got.err.size() - tail.size(), tail.size(), tail) == 0 &&
			            got.err.find('\n') == got.err.size() - 1)
				<< got.err;
		} else {
			EXPECT_EQ(got.err, "");
		}
	}
}
