// The client's name for an ALSA raw MIDI node whose card has no description.
//
// The nodes are FIFOs made at /dev/snd/midiC<N>D<M>, N a card number that
// sysfs does not know: the daemon looks for the card's description, finds
// none and falls back to the general form, the prefix and the path below
// /dev/.  A -n prefix skips the look-up and gives the same form.
//
// The machine's own /dev/snd is never written: the test enters a mount
// namespace of its own (which its daemons inherit) and mounts a tmpfs over
// /dev/snd there.  Where /dev/snd does not exist, an empty folder is made as
// the mount point and removed afterwards.  A process with threads cannot
// enter a mount namespace, nor can one without the right to mount: then the
// test is skipped, saying why.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace cftest {
namespace {

constexpr const char *snd_folder = "/dev/snd";

struct name_case {
	const char *label;             // what the case shows
	std::vector<std::string> args; // "@" stands for the node
	std::string node;              // below /dev/snd/; "%" is the card number
	std::string client;            // expected client name; "%" is the card number
	const char *port;              // a port the client must have
};

std::string with_card(std::string text, int card)
{
	if (const auto at = text.find('%'); at != std::string::npos)
		text.replace(at, 1, std::to_string(card));
	return text;
}

bool exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

class naming : public e2e_server {
protected:
	bool made_folder = false; // this test made /dev/snd as a mount point
	bool mounted = false;     // the private tmpfs is on /dev/snd

	void SetUp() override
	{
		if (unshare(CLONE_NEWNS) != 0)
			GTEST_SKIP() << "no mount namespace of its own (" << std::strerror(errno)
			             << (errno == EINVAL ? ": the test process has threads; run the test alone, as ctest does"
			                                 : "") << ")";
		ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
		if (!exists(snd_folder)) {
			if (mkdir(snd_folder, 0755) != 0)
				GTEST_SKIP() << "cannot make the mount point " << snd_folder << ": " << std::strerror(errno);
			made_folder = true;
		}
		if (mount("tmpfs", snd_folder, "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0)
			GTEST_SKIP() << "cannot mount a tmpfs on " << snd_folder << ": " << std::strerror(errno);
		mounted = true;
		ASSERT_NO_FATAL_FAILURE(e2e_server::SetUp());
	}

	void TearDown() override
	{
		e2e_server::TearDown();
		if (mounted)
			umount2(snd_folder, MNT_DETACH);
		if (made_folder)
			rmdir(snd_folder);
	}

	// A card number that sysfs does not know.
	static int free_card()
	{
		for (int card = 90; card < 1000; card++)
			if (!exists("/sys/class/sound/card" + std::to_string(card)))
				return card;
		return -1;
	}
};

// Every daemon runs until the server stops; each case has a node of its
// own, so the names differ.
TEST_F(naming, raw_midi_node_without_description_gets_the_general_form)
{
	const std::vector<name_case> cases = {
		{"capture node", {"-C", "@"}, "midiC%D0", "cableferry-snd/midiC%D0", "midi.TX"},
		{"-n synth", {"-n", "synth", "-C", "@"}, "midiC%D1", "synth-snd/midiC%D1", "midi.TX"},
		{"only -P: the playback node names it", {"-P", "@"}, "midiC%D2", "cableferry-snd/midiC%D2", "midi.RX"},
		{"-d and an empty -n", {"-n", "", "-d", "@"}, "midiC%D3", "-snd/midiC%D3", "midi.RX"},
		{"no device number", {"-C", "@"}, "midiC%", "cableferry-snd/midiC%", "midi.TX"},
	};
	const int card = free_card();
	ASSERT_GE(card, 0) << "no free card number";
	for (const auto &c : cases)
		ASSERT_EQ(mkfifo((std::string(snd_folder) + "/" + with_card(c.node, card)).c_str(), 0600), 0)
			<< std::strerror(errno);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.label);
		const std::string node = std::string(snd_folder) + "/" + with_card(c.node, card);
		const std::string client = with_card(c.client, card);
		std::vector<std::string> args;
		for (const auto &a : c.args)
			args.push_back(a == "@" ? node : a);

		daemon_proc &d = launch(args);
		ASSERT_NO_FATAL_FAILURE(await_port(d, client + ":" + c.port));
		if (args[args.size() - 2] == "-C") {
			EXPECT_TRUE(wait_until([&] { return open_count(d.pid, node) == 1; }))
				<< "the daemon did not open " << node;
		}
		EXPECT_TRUE(d.running());
		EXPECT_EQ(without_node_lines(d.stderr_text()), "");
	}
}

} // namespace
} // namespace cftest
