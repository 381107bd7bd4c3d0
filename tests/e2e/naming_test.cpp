// The client's name for an ALSA raw MIDI node whose card has no description.
//
// The nodes are FIFOs made at /dev/snd/midiC<N>D<M>, N a card number that
// sysfs does not know: the daemon looks for the card's description, finds
// none and falls back to the general form, the prefix and the path below
// /dev/.  A -n prefix skips the look-up and gives the same form.
//
// /dev/snd may be shared with other tests and with the machine's own sound
// cards: a node is made with mkfifo, which fails rather than take over a
// name already there, and the test removes only what it made, the folder
// only if it made it and nothing else is left in it.
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
	std::vector<std::string> made; // nodes this test made
	bool made_folder = false;      // this test made /dev/snd

	void SetUp() override
	{
		if (access("/dev", W_OK) != 0)
			GTEST_SKIP() << "/dev is not writable";
		ASSERT_NO_FATAL_FAILURE(e2e_server::SetUp());
	}

	void TearDown() override
	{
		e2e_server::TearDown();
		remove_made();
		if (made_folder)
			rmdir(snd_folder); // fails, as it should, while another test's node is there
	}

	void remove_made()
	{
		for (auto it = made.rbegin(); it != made.rend(); ++it)
			unlink(it->c_str());
		made.clear();
	}

	// Makes a FIFO at path, creating /dev/snd when missing (again, should
	// another test have removed it meanwhile).  errno of the failure, or 0.
	int make_node(const std::string &path)
	{
		for (int attempt = 0; attempt < 5; attempt++) {
			if (mkfifo(path.c_str(), 0600) == 0) {
				made.push_back(path);
				return 0;
			}
			if (errno != ENOENT)
				return errno;
			if (mkdir(snd_folder, 0755) == 0)
				made_folder = true;
			else if (errno != EEXIST)
				return errno;
		}
		return ENOENT;
	}

	// Picks a card number that sysfs does not know and makes every case's
	// node for it; the number, or -1 with the errno of the failure in err
	// (0 when every number was taken).
	int make_nodes(const std::vector<name_case> &cases, int &err)
	{
		for (int card = 90 + getpid() % 100, tries = 0; tries < 200; card++, tries++) {
			if (exists("/sys/class/sound/card" + std::to_string(card)))
				continue;
			err = 0;
			for (const auto &c : cases)
				if ((err = make_node(std::string(snd_folder) + "/" + with_card(c.node, card))) != 0)
					break;
			if (err == 0)
				return card;
			remove_made();
			if (err != EEXIST)
				return -1;
		}
		err = 0;
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
	int err = 0;
	const int card = make_nodes(cases, err);
	if (card < 0 && (err == EACCES || err == EPERM || err == EROFS))
		GTEST_SKIP() << "cannot make nodes in " << snd_folder << ": " << std::strerror(err);
	ASSERT_GE(card, 0) << (err ? std::strerror(err) : "no free card number");
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
		EXPECT_EQ(d.stderr_text(), "");
	}
}

} // namespace
} // namespace cftest
