// ALSA raw MIDI devices.
//
// The parser reads the name by hand, one field at a time, and takes
// nothing it does not expect: no blanks, no signs, no field left empty,
// nothing after SUB.  Numbers stop at 9999, well above what ALSA numbers.
//
// A card id is looked up in /sys/class/sound, whose card<N>/id files hold
// the ids /proc/asound/cards shows.  Opening a hw: name takes the card's
// control node first and tells it the subdevice wanted (-1: any): the
// raw MIDI open that follows, from the same process while the control node
// is open, takes that subdevice or fails.  The node's own report then says
// which subdevice it is and its name; one that is not the one asked for is
// closed again.  All of it runs on the main thread, in the device link's
// open, never under link_lock.
#include "device/alsa_rawmidi.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#if defined(__linux__)
#include <dirent.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>

#include <sound/asound.h>
#endif

namespace cableferry {

namespace {

constexpr int largest_number = 9999;
constexpr std::size_t longest_card_id = 15;

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

bool is_letter(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Reads decimal digits at text[at..], moving at past them.
std::optional<int> read_number(std::string_view text, std::size_t &at)
{
	int value = 0;
	const std::size_t first = at;
	for (; at < text.size() && is_digit(text[at]); ++at) {
		value = value * 10 + (text[at] - '0');
		if (value > largest_number)
			return std::nullopt;
	}
	if (at == first)
		return std::nullopt;
	return value;
}

} // namespace

std::optional<hw_name_t> parse_hw_name(std::string_view arg)
{
	constexpr std::string_view prefix = "hw:";
	if (!arg.starts_with(prefix))
		return std::nullopt;
	std::size_t at = prefix.size();
	hw_name_t name;
	if (at < arg.size() && is_digit(arg[at])) {
		const std::optional<int> card = read_number(arg, at);
		if (!card)
			return std::nullopt;
		name.card = *card;
	} else {
		const std::size_t first = at;
		while (at < arg.size() && (is_letter(arg[at]) || is_digit(arg[at]) || arg[at] == '_' || arg[at] == '-'))
			++at;
		if (at == first || at - first > longest_card_id || !is_letter(arg[first]))
			return std::nullopt;
		name.card_id = std::string(arg.substr(first, at - first));
	}
	if (at >= arg.size() || arg[at++] != ',')
		return std::nullopt;
	const std::optional<int> device = read_number(arg, at);
	if (!device)
		return std::nullopt;
	name.device = *device;
	if (at < arg.size()) {
		if (arg[at++] != ',')
			return std::nullopt;
		const std::optional<int> subdevice = read_number(arg, at);
		if (!subdevice || at != arg.size())
			return std::nullopt;
		name.subdevice = *subdevice;
	}
	return name;
}

#if defined(__linux__)

namespace {

// The number of the card whose id is id, or -1.
int card_of_id(const std::string &id)
{
	DIR *dir = opendir("/sys/class/sound");
	if (dir == nullptr)
		return -1;
	int found = -1;
	while (const dirent *entry = readdir(dir)) {
		int card = -1;
		char end = 0;
		if (std::sscanf(entry->d_name, "card%d%c", &card, &end) != 1 || card < 0)
			continue;
		std::array<char, 64> path;
		std::snprintf(path.data(), path.size(), "/sys/class/sound/card%d/id", card);
		const int fd = open(path.data(), O_RDONLY | O_CLOEXEC);
		if (fd < 0)
			continue;
		std::array<char, 32> text{};
		const ssize_t got = read(fd, text.data(), text.size() - 1);
		close(fd);
		if (got <= 0)
			continue;
		std::string_view value(text.data(), static_cast<std::size_t>(got));
		if (value.ends_with('\n'))
			value.remove_suffix(1);
		if (value == id) {
			found = card;
			break;
		}
	}
	closedir(dir);
	return found;
}

} // namespace

bool rawmidi_port_of(int fd, int stream, rawmidi_port_t &port)
{
	snd_rawmidi_info info{};
	info.stream = stream;
	if (ioctl(fd, SNDRV_RAWMIDI_IOCTL_INFO, &info) != 0)
		return false;
	port.card = info.card;
	port.device = static_cast<int>(info.device);
	port.subdevice = static_cast<int>(info.subdevice);
	static_assert(sizeof info.subname < sizeof port.name);
	port.name = {};
	std::memcpy(port.name.data(), info.subname, sizeof info.subname);
	return true;
}

int open_hw_name(const hw_name_t &name, int flags, rawmidi_port_t &port, std::string &node)
{
	const int card = name.card >= 0 ? name.card : card_of_id(name.card_id);
	if (card < 0) {
		errno = ENODEV;
		return -1;
	}
	std::array<char, 64> path;
	std::snprintf(path.data(), path.size(), "/dev/snd/controlC%d", card);
	const int control = open(path.data(), O_RDONLY | O_CLOEXEC);
	if (control < 0) {
		if (errno == ENOENT)
			errno = ENODEV;
		return -1;
	}
	int wanted = name.subdevice;
	int fd = -1;
	if (ioctl(control, SNDRV_CTL_IOCTL_RAWMIDI_PREFER_SUBDEVICE, &wanted) == 0) {
		std::snprintf(path.data(), path.size(), "/dev/snd/midiC%dD%d", card, name.device);
		fd = open(path.data(), flags);
	}
	const int error = errno;
	close(control);
	if (fd < 0) {
		errno = error;
		return -1;
	}
	const int stream = (flags & O_ACCMODE) == O_RDONLY ? rawmidi_input : rawmidi_output;
	if (!rawmidi_port_of(fd, stream, port) || port.card != card || port.device != name.device ||
	    (name.subdevice >= 0 && port.subdevice != name.subdevice)) {
		close(fd);
		errno = EBUSY; // not the subdevice asked for: that one is taken
		return -1;
	}
	node = path.data();
	return fd;
}

bool raise_input_buffer(int fd)
{
	snd_rawmidi_params params{};
	params.stream = SNDRV_RAWMIDI_STREAM_INPUT;
	params.buffer_size = rawmidi_input_buffer;
	params.avail_min = 1;
	if (ioctl(fd, SNDRV_RAWMIDI_IOCTL_PARAMS, &params) != 0)
		return false;
	// The resize stops the input, and a USB MIDI driver drops what arrives
	// while it is stopped, until the next read or poll starts it again: a
	// poll starts it now rather than at the first period.
	pollfd p{fd, POLLIN, 0};
	poll(&p, 1, 0);
	return true;
}

#else

bool rawmidi_port_of(int, int, rawmidi_port_t &)
{
	return false;
}

int open_hw_name(const hw_name_t &, int, rawmidi_port_t &, std::string &)
{
	errno = ENODEV;
	return -1;
}

bool raise_input_buffer(int)
{
	return false;
}

#endif

} // namespace cableferry
