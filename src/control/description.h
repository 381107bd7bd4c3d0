// Where a USB MIDI node's description comes from.
//
// A description source is a plain record: the family of node names it knows
// how to describe, a function pointer and an opaque context.  The query fills
// a 128-byte buffer and reports how many bytes it delivered, in the manner of
// sysctlbyname: a value that does not fit leaves as much of it as fits in the
// buffer and reports the whole capacity.  Client naming (client_name.h) cuts
// whatever text a source delivers; the sources only fetch it.
//
// Two sources exist.  On FreeBSD, uaudio(4) keeps each USB audio device's
// description in the kernel's configuration tree under dev.uaudio.N.%desc;
// the query name is formatted into the very buffer that receives the value.
// The sysctl call itself sits behind a function pointer, so everything around
// it builds and runs everywhere.  On Linux, ALSA raw MIDI nodes
// /dev/snd/midiC<card>D<device> are described from sysfs: the manufacturer
// and product strings of the USB device the card hangs off, else the card's
// id.  The sysfs root is part of the context, so another tree can stand in.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace cableferry {

// Size of the buffer that a client name and a description are built in.
inline constexpr std::size_t name_capacity = 128;

using name_span_t = std::span<char, name_capacity>;

enum class description_status {
	ok,       // the whole value was delivered
	too_long, // the value did not fit: the buffer holds as much as fits
	refused,  // no description for this unit
};

// Families of device node names that carry a unit and a sub-unit number.
enum class node_family {
	umidi,        // FreeBSD USB MIDI: /dev/umidi<unit>.<sub-unit>
	alsa_rawmidi, // Linux ALSA raw MIDI: /dev/snd/midiC<card>D<device>
};

// The scanf-style pattern of each family, indexed by node_family.
inline constexpr std::array<std::string_view, 2> node_patterns = {
	"/dev/umidi%d.%d",
	"/dev/snd/midiC%dD%d",
};

// Reads the description of `unit` into `buffer`.  On entry `length` is the
// capacity (at most the buffer's size); on return it is the number of bytes
// delivered, never more than the capacity.  The text need not be terminated.
using description_query_t = description_status (*)(const void *context, int unit,
                                                   name_span_t buffer, std::size_t &length);

struct description_source_t {
	node_family family;        // node names whose unit this source describes
	description_query_t query; // fetches one unit's description
	const void *context;       // handed to query unchanged
};

// A sysctlbyname read with no new value: 0, or the errno value it failed with.
using sysctl_read_t = int (*)(const char *name, void *value, std::size_t *length);

// Context of uaudio_description.
struct uaudio_source_t {
	sysctl_read_t read; // the configuration-tree read to use
};

// Context of sysfs_description.
struct sysfs_source_t {
	const char *root; // where sysfs is mounted, "/sys" in the daemon
};

// dev.uaudio.<unit>.%desc through the context's read; context is a
// const uaudio_source_t *.
description_status uaudio_description(const void *context, int unit, name_span_t buffer,
                                      std::size_t &length);

// "<manufacturer> <product>" of the card's USB device, else the card's id;
// context is a const sysfs_source_t *.
description_status sysfs_description(const void *context, int unit, name_span_t buffer,
                                     std::size_t &length);

// Refuses every unit.
description_status no_description(const void *context, int unit, name_span_t buffer,
                                  std::size_t &length);

// The source the daemon uses on this platform: uaudio through sysctlbyname on
// FreeBSD, sysfs under /sys on Linux, none elsewhere.
description_source_t platform_description_source();

} // namespace cableferry
