// Device link.
//
// A slot is closed (-1) or open.  A closed slot is opened when its node can
// be opened; an open one is probed by setting its file status flags, which
// at the same time reasserts its mode, non-blocking for both slots.  On
// systems where that flag change keeps working on a node whose device has
// gone (Linux among them), node_gone() adds the checks that do notice: the
// path must still name the very file that is open, and poll must report no
// error, nor a hang-up on a terminal.  A FIFO whose writer left is
// still there; a FIFO whose node was removed is gone.
//
// Both nodes are opened, and kept, non-blocking: a capture read never waits
// for bytes, a playback write never waits for a slow device (what it does
// not take waits in the playback queue), and a playback FIFO without a
// reader fails to open at once (ENXIO) instead of stalling the main thread.
// O_NOCTTY keeps a serial line from becoming the daemon's controlling
// terminal, and a terminal is put in raw mode so that MIDI bytes pass
// through the line discipline unchanged.  A slot given an ALSA hw: name
// resolves it at each open (alsa_rawmidi.h) and is probed through the node
// it resolved to; every capture node is asked for a larger kernel buffer.
//
// open, stat, poll and close run without the lock; publishing, the flag
// change and the retiring of a descriptor run under it.  Closing the capture
// slot empties the read buffer but leaves the packetiser alone, so a message
// cut by an unplug can still be completed by the device once it is back.
// Closing the playback slot empties the playback queue: those bytes were for
// the device that went.
#include "device/device_link.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "device/alsa_rawmidi.h"
#include "device/link_counters.h"
#include "device/playback_queue.h"

namespace cableferry {

device_link_t device_link;
pthread_mutex_t link_lock;

namespace {

// What one slot opens: a path, or an ALSA hw: name resolved at each open.
struct slot_node_t {
	std::optional<std::string> argument; // as start-up gave it; none: the slot stays closed
	std::optional<hw_name_t> hw;         // the argument as a hw: name, when it is one
	std::string node;                    // the node the open descriptor stands for
	rawmidi_port_t port;                 // the raw MIDI port it is open on, if any
	int error = 0;                       // errno of the latest open if it failed, else 0
};

// The two slots' nodes.
struct device_paths_t {
	slot_node_t capture;  // node read
	slot_node_t playback; // node written
};

device_paths_t device_paths;

slot_node_t slot_node(std::optional<std::string> argument)
{
	slot_node_t node;
	if (argument)
		node.hw = parse_hw_name(*argument);
	node.argument = std::move(argument);
	return node;
}

} // namespace

void device_link_set_paths(std::optional<std::string> capture_path,
                           std::optional<std::string> playback_path)
{
	device_paths = {slot_node(std::move(capture_path)), slot_node(std::move(playback_path))};
}

const rawmidi_port_t &device_link_port(bool capture)
{
	return capture ? device_paths.capture.port : device_paths.playback.port;
}

int device_link_open_error(bool capture)
{
	return capture ? device_paths.capture.error : device_paths.playback.error;
}

const char *device_link_open_reason(bool capture)
{
	const slot_node_t &node = capture ? device_paths.capture : device_paths.playback;
	if (node.error == 0)
		return nullptr;
	if (node.hw && node.error == ENODEV)
		return "no such card";
	if (node.hw && node.error == ENOENT)
		return "no such MIDI device on the card";
	return std::strerror(node.error);
}

// The main thread runs at ordinary priority and JACK's thread at real-time
// priority.  With a plain mutex, a main thread preempted while it holds
// link_lock (for one fcntl) keeps the real-time thread waiting for as long
// as the scheduler keeps it off the processor: a time slice, milliseconds,
// enough to miss a period.  Priority inheritance lifts the holder to the
// waiter's priority until it lets go.  Where the system offers no such
// mutex, a plain one does the same job, only without that bound.
void link_lock_init()
{
	pthread_mutexattr_t attr;
	if (pthread_mutexattr_init(&attr) == 0) {
		const bool inherit = pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) == 0 &&
		                     pthread_mutex_init(&link_lock, &attr) == 0;
		pthread_mutexattr_destroy(&attr);
		if (inherit)
			return;
	}
	pthread_mutex_init(&link_lock, nullptr);
}

bool node_gone(int fd, const char *path)
{
#if defined(__linux__)
	struct stat by_path{}, by_fd{};
	if (fstat(fd, &by_fd) != 0)
		return true;
	if (stat(path, &by_path) != 0) {
		// After a change of user the path may no longer be searchable
		// (EACCES): that says nothing about the device, and there is no
		// identity to compare.
		if (errno == ENOENT || errno == ENOTDIR)
			return true;
	} else if (by_path.st_dev != by_fd.st_dev || by_path.st_ino != by_fd.st_ino ||
	           ((S_ISCHR(by_fd.st_mode) || S_ISBLK(by_fd.st_mode)) && by_path.st_rdev != by_fd.st_rdev)) {
		return true;
	}
	pollfd p{fd, 0, 0};
	if (poll(&p, 1, 0) > 0) {
		if (p.revents & (POLLERR | POLLNVAL))
			return true;
		if ((p.revents & POLLHUP) && isatty(fd))
			return true;
	}
#else
	(void)fd;
	(void)path;
#endif
	return false;
}

namespace {

// Puts a terminal in raw mode, keeping its speed.  Other nodes are left as
// they are.
void make_raw_if_terminal(int fd)
{
	termios t{};
	if (tcgetattr(fd, &t) != 0)
		return;
	cfmakeraw(&t);
	tcsetattr(fd, TCSANOW, &t);
}

// A directory opens for reading, and every read of it then fails.
bool is_directory(int fd)
{
	struct stat st{};
	return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

// Opens a slot's node: its path, or what its hw: name stands for now.
// Records the node's path for the probe and, for a raw MIDI node, its
// port; a capture node gets the larger input buffer.  A failure is
// recorded with its reason.
int open_node(slot_node_t &node, int mode)
{
	const int flags = mode | O_NONBLOCK | O_NOCTTY;
	const bool capture = mode == O_RDONLY;
	node.port = {};
	int fd;
	if (node.hw) {
		fd = open_hw_name(*node.hw, flags, node.port, node.node);
	} else {
		fd = open(node.argument->c_str(), flags);
		if (fd >= 0 && is_directory(fd)) {
			close(fd);
			fd = -1;
			errno = EISDIR;
		}
		if (fd >= 0) {
			node.node = *node.argument;
			make_raw_if_terminal(fd);
			rawmidi_port_of(fd, capture ? rawmidi_input : rawmidi_output, node.port);
		}
	}
	node.error = fd < 0 ? errno : 0;
	if (fd >= 0 && capture)
		raise_input_buffer(fd);
	return fd;
}

void reset_read_buffer()
{
	device_link.read_buffer.fill(0);
	device_link.read_pos = 0;
	device_link.read_len = 0;
}

// One slot: opens it when closed, counting the open in opens when given;
// when open, sets its status flags (the probe that also reasserts its mode)
// and closes it when it has gone.
void service_slot(int &slot, slot_node_t &node, int access, int status_flags, void (*on_close)(),
                  std::uint32_t *opens, direction_counters_t &counters)
{
	if (slot < 0) {
		const int fd = open_node(node, access);
		if (fd < 0)
			return;
		pthread_mutex_lock(&link_lock);
		slot = fd;
		if (opens != nullptr)
			++*opens;
		fcntl(fd, F_SETFL, status_flags);
		pthread_mutex_unlock(&link_lock);
		count(counters.opened);
		return;
	}
	const int fd = slot;
	const bool gone = node_gone(fd, node.node.c_str());
	pthread_mutex_lock(&link_lock);
	const bool lost = fcntl(fd, F_SETFL, status_flags) == -1 || gone;
	if (lost) {
		slot = -1;
		on_close();
	}
	pthread_mutex_unlock(&link_lock);
	// Once the slot reads -1 the process cycle no longer touches fd, so it
	// is closed outside the lock: closing a serial line or a raw MIDI output
	// may wait for its output to drain, and the cycle must not wait with it.
	if (lost) {
		close(fd);
		count(counters.lost);
	}
}

} // namespace

void device_link_service()
{
	if (device_paths.capture.argument)
		service_slot(device_link.capture_fd, device_paths.capture, O_RDONLY, O_NONBLOCK,
		             reset_read_buffer, &device_link.capture_opens, link_counters.capture);
	if (device_paths.playback.argument)
		service_slot(device_link.playback_fd, device_paths.playback, O_WRONLY, O_NONBLOCK,
		             playback_queue_clear, nullptr, link_counters.playback);
}

} // namespace cableferry
