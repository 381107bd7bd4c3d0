// Building the JACK client name.
//
// Everything is done in fixed 128-byte buffers with snprintf, so a name can
// never outgrow them and a long one is cut exactly as snprintf cuts.  The
// node path scan is a small reader of patterns made of literal characters
// and %d, behaving like sscanf on them but refusing numbers that do not fit
// an int instead of storing an undefined value.  A description is used as
// text up to its delivered length or its first NUL, whichever comes first,
// and the 16-byte cut steps back rather than split a UTF-8 sequence, as
// does the cut to the server's limit.
#include "control/client_name.h"

#include "device/device_link.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

namespace cableferry {

namespace {

constexpr const char *default_prefix = "cableferry";
constexpr std::string_view dev_folder = "/dev/";

using name_buffer_t = std::array<char, name_capacity>;

// The naming path without a leading "/dev/"; "" when there is none.
const char *name_tail(const bridge_settings_t &settings)
{
	const std::string *path = naming_path(settings);
	if (path == nullptr)
		return "";
	const char *tail = path->c_str();
	if (std::strncmp(tail, dev_folder.data(), dev_folder.size()) == 0)
		tail += dev_folder.size();
	return tail;
}

// JACK's full port names are "client:port": a colon in the client name
// would split wrong in every patchbay and script.
std::string without_colons(std::string name)
{
	std::replace(name.begin(), name.end(), ':', '-');
	return name;
}

std::string general_form(const char *prefix, const char *tail)
{
	name_buffer_t name{};
	std::snprintf(name.data(), name.size(), "%s-%s", prefix, tail);
	return without_colons(name.data());
}

bool is_scan_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Reads a %d at text[at]: blanks, an optional sign, then at least one digit.
// On success stores the value, moves at past it and returns true.
bool scan_int(std::string_view text, std::size_t &at, int &value)
{
	std::size_t i = at;
	while (i < text.size() && is_scan_blank(text[i]))
		++i;
	bool negative = false;
	if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
		negative = text[i] == '-';
		++i;
	}
	const std::size_t first_digit = i;
	const long long limit = negative ? -static_cast<long long>(std::numeric_limits<int>::min())
	                                 : std::numeric_limits<int>::max();
	long long magnitude = 0;
	bool too_big = false;
	for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
		if (too_big)
			continue;
		magnitude = magnitude * 10 + (text[i] - '0');
		too_big = magnitude > limit;
	}
	if (i == first_digit || too_big)
		return false;
	value = static_cast<int>(negative ? -magnitude : magnitude);
	at = i;
	return true;
}

} // namespace

std::string_view cut_utf8(std::string_view text, std::size_t keep)
{
	if (text.size() <= keep)
		return text;
	const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
	if ((byte(keep) & 0xC0) != 0x80)
		return text.substr(0, keep); // the cut falls between characters
	for (std::size_t back = 1; back <= 3 && back <= keep; ++back) {
		const unsigned char lead = byte(keep - back);
		if ((lead & 0xC0) == 0x80)
			continue;
		const std::size_t span = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
		if (span > back)
			keep -= back;
		break;
	}
	return text.substr(0, keep);
}

const std::string *naming_path(const bridge_settings_t &settings)
{
	if (settings.capture_path)
		return &*settings.capture_path;
	if (settings.playback_path)
		return &*settings.playback_path;
	return nullptr;
}

node_numbers_t scan_node_path(std::string_view path, node_family family)
{
	const std::string_view pattern = node_patterns[static_cast<std::size_t>(family)];
	std::array<int, 2> numbers = {-1, -1};
	std::size_t stored = 0;
	std::size_t at = 0;
	for (std::size_t p = 0; p < pattern.size(); ++p) {
		if (pattern.substr(p, 2) == "%d") {
			int value = 0;
			if (stored == numbers.size() || !scan_int(path, at, value))
				break;
			numbers[stored++] = value;
			++p;
			continue;
		}
		if (at >= path.size() || path[at] != pattern[p])
			break;
		++at;
	}
	return {numbers[0], numbers[1]};
}

std::string general_client_name(const bridge_settings_t &settings)
{
	const char *prefix = settings.name_prefix ? settings.name_prefix->c_str() : default_prefix;
	return general_form(prefix, name_tail(settings));
}

std::optional<node_description_t> describe_naming_node(const bridge_settings_t &settings,
                                                       const description_source_t &source,
                                                       const rawmidi_port_t &port)
{
	const std::string *path = naming_path(settings);
	if (settings.name_prefix || path == nullptr || source.query == nullptr)
		return std::nullopt;
	node_numbers_t numbers{-1, -1};
	int subdevice = -1;
	if (parse_hw_name(*path)) {
		if (source.family != node_family::alsa_rawmidi || port.card < 0)
			return std::nullopt;
		numbers = {port.card, port.device};
		subdevice = port.subdevice;
	} else if (std::string_view(path->c_str()).starts_with(dev_folder)) {
		numbers = scan_node_path(path->c_str(), source.family);
	}
	if (numbers.unit < 0)
		return std::nullopt;

	name_buffer_t buffer{};
	std::size_t length = buffer.size();
	if (source.query(source.context, numbers.unit, buffer, length) == description_status::refused)
		return std::nullopt;
	// At most 127 bytes; a value cut short there loses the character the
	// cut would split.
	std::string_view text(buffer.data(), std::min(length, buffer.size()));
	text = text.substr(0, text.find('\0'));
	text = cut_utf8(text, buffer.size() - 1);
	return node_description_t{std::string(text), numbers.sub_unit, subdevice};
}

std::string make_client_name(const bridge_settings_t &settings, const description_source_t &source,
                             const rawmidi_port_t &port)
{
	const std::optional<node_description_t> description = describe_naming_node(settings, source, port);
	if (!description)
		return general_client_name(settings); // no -n here: prefix "cableferry"
	std::string_view text = description->text;
	text = text.substr(0, text.find(','));
	text = cut_utf8(text, description_keep);

	name_buffer_t name{};
	const int length = static_cast<int>(text.size());
	if (description->subdevice >= 0)
		std::snprintf(name.data(), name.size(), "%.*s #%d.%d", length, text.data(),
		              description->sub_unit, description->subdevice);
	else
		std::snprintf(name.data(), name.size(), "%.*s #%d", length, text.data(),
		              description->sub_unit);
	return without_colons(name.data());
}

const rawmidi_port_t &naming_port(const bridge_settings_t &settings)
{
	return device_link_port(settings.capture_path.has_value());
}

std::string make_client_name(const bridge_settings_t &settings)
{
	return make_client_name(settings, platform_description_source(), naming_port(settings));
}

} // namespace cableferry
