// Description sources: the FreeBSD configuration tree and Linux sysfs.
//
// Both sources write into the caller's 128-byte buffer and never past the
// capacity it hands in.  The only line tied to one platform is the
// sysctlbyname call, compiled on FreeBSD alone; formatting the query name and
// reading the outcome are plain code that runs on every platform against
// whatever read the context supplies.  The sysfs source opens and reads a
// few small files with bounded buffers; anything it cannot open or read
// counts as absent.
#include "control/description.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#if defined(__FreeBSD__)
#include <sys/types.h>
#include <sys/sysctl.h>
#endif

namespace cableferry {

namespace {

// Longest path built under the sysfs root, terminator included.
constexpr std::size_t sysfs_path_capacity = 4096;

// One sysfs attribute as read.  It holds one byte more than a name buffer,
// so a value that cannot fit is seen to be too long even after a newline is
// dropped from it.
struct sysfs_text_t {
	std::array<char, name_capacity + 1> bytes; // the file's first bytes
	std::size_t length;                        // how many of them are used
};

// Reads <root>/class/sound/card<card>/<leaf> into text and drops one
// trailing newline.  False when the path does not fit or the file cannot be
// opened or read.
bool read_card_file(const char *root, int card, const char *leaf, sysfs_text_t &text)
{
	std::array<char, sysfs_path_capacity> path;
	const int wanted =
		std::snprintf(path.data(), path.size(), "%s/class/sound/card%d/%s", root, card, leaf);
	if (wanted < 0 || static_cast<std::size_t>(wanted) >= path.size())
		return false;
	const int fd = ::open(path.data(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	text.length = 0;
	bool failed = false;
	while (text.length < text.bytes.size()) {
		const ssize_t got =
			::read(fd, text.bytes.data() + text.length, text.bytes.size() - text.length);
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0) {
			failed = true;
			break;
		}
		if (got == 0)
			break;
		text.length += static_cast<std::size_t>(got);
	}
	::close(fd);
	if (failed)
		return false;
	if (text.length > 0 && text.bytes[text.length - 1] == '\n')
		--text.length;
	return true;
}

std::string_view text_of(const sysfs_text_t &text)
{
	return {text.bytes.data(), text.length};
}

// Copies part to buffer[at..] as far as capacity allows and returns the
// length the text would have with all of part.
std::size_t append_text(name_span_t buffer, std::size_t capacity, std::size_t at,
                        std::string_view part)
{
	if (at < capacity) {
		const std::size_t room = std::min(part.size(), capacity - at);
		std::memcpy(buffer.data() + at, part.data(), room);
	}
	return at + part.size();
}

#if defined(__FreeBSD__)
int system_sysctl_read(const char *name, void *value, std::size_t *length)
{
	if (::sysctlbyname(name, value, length, nullptr, 0) == 0)
		return 0;
	return errno != 0 ? errno : EIO;
}

constexpr uaudio_source_t system_uaudio = {system_sysctl_read};
#elif defined(__linux__)
constexpr sysfs_source_t system_sysfs = {"/sys"};
#endif

} // namespace

description_status uaudio_description(const void *context, int unit, name_span_t buffer,
                                      std::size_t &length)
{
	const auto *source = static_cast<const uaudio_source_t *>(context);
	if (source == nullptr || source->read == nullptr)
		return description_status::refused;
	const std::size_t capacity = std::min(length, buffer.size());
	// The query name goes into the buffer that then receives the value.
	const int wanted = std::snprintf(buffer.data(), capacity, "dev.uaudio.%d.%%desc", unit);
	if (wanted < 0 || static_cast<std::size_t>(wanted) >= capacity)
		return description_status::refused;
	std::size_t delivered = capacity;
	const int error = source->read(buffer.data(), buffer.data(), &delivered);
	if (error != 0 && error != ENOMEM)
		return description_status::refused;
	length = std::min(delivered, capacity);
	return error == 0 ? description_status::ok : description_status::too_long;
}

description_status sysfs_description(const void *context, int unit, name_span_t buffer,
                                     std::size_t &length)
{
	const auto *source = static_cast<const sysfs_source_t *>(context);
	if (source == nullptr || source->root == nullptr || unit < 0)
		return description_status::refused;
	const std::size_t capacity = std::min(length, buffer.size());

	// The card's "device" link points at the USB interface; the strings
	// belong to the USB device one level up.
	sysfs_text_t manufacturer{};
	sysfs_text_t product{};
	const bool has_manufacturer =
		read_card_file(source->root, unit, "device/../manufacturer", manufacturer);
	const bool has_product = read_card_file(source->root, unit, "device/../product", product);

	std::size_t total = 0;
	if (has_manufacturer || has_product) {
		if (has_manufacturer)
			total = append_text(buffer, capacity, total, text_of(manufacturer));
		if (has_manufacturer && has_product)
			total = append_text(buffer, capacity, total, " ");
		if (has_product)
			total = append_text(buffer, capacity, total, text_of(product));
	} else {
		sysfs_text_t id{};
		if (!read_card_file(source->root, unit, "id", id))
			return description_status::refused;
		total = append_text(buffer, capacity, total, text_of(id));
	}

	// Like the configuration tree, a value with no room left for its
	// terminator does not fit.
	if (total >= capacity) {
		length = capacity;
		return description_status::too_long;
	}
	buffer[total] = '\0';
	length = total;
	return description_status::ok;
}

description_status no_description(const void *, int, name_span_t, std::size_t &)
{
	return description_status::refused;
}

description_source_t platform_description_source()
{
#if defined(__FreeBSD__)
	return {node_family::umidi, uaudio_description, &system_uaudio};
#elif defined(__linux__)
	return {node_family::alsa_rawmidi, sysfs_description, &system_sysfs};
#else
	return {node_family::umidi, no_description, nullptr};
#endif
}

} // namespace cableferry
