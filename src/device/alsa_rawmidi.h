// ALSA raw MIDI devices: hw: names and the kernel's input buffer.
//
// ALSA's own tools name a raw MIDI port hw:CARD,DEV or hw:CARD,DEV,SUB,
// where CARD is a card number or the card's id (/proc/asound/cards, the
// names amidi -l prints).  Such a name is parsed once, when the options
// are read, and resolved at every open: an id is looked up among the
// cards present then, so a card that comes back under another number is
// found again, and one that is gone, or a subdevice that is missing or
// busy, leaves the slot closed like a missing path.  The subdevice is
// chosen the way ALSA chooses it: a preference set on the card's control
// node, held open across the open of /dev/snd/midiC<card>D<dev>, and a
// check with the node's own report of what it opened.
//
// Every capture node is also asked to raise its kernel input buffer.  The
// kernel keeps 4 KiB for an ALSA raw MIDI input and drops, without a word
// to read(), what a USB device sends beyond that between two periods.
// Nodes of other kinds (FIFOs, terminals) and other systems refuse the
// request, and nothing changes for them.
//
// The parser is plain code and compiles everywhere; the rest is Linux
// only and refuses everything elsewhere.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace cableferry {

// The input buffer asked of an ALSA raw MIDI capture node, in bytes.  A USB
// device delivers a burst at bus speed, far faster than the process cycle
// drains it (at most three bytes per frame: 144 KB/s at 48 kHz, whatever
// the period), so the kernel must hold the whole burst meanwhile.  64 KiB is
// sixteen of ALSA's default buffers: it holds a patch-bank dump of tens of
// kilobytes, and the cycle empties it in under half a second at 48 kHz.  It
// costs 64 KiB of kernel memory per open capture node; the kernel grants up
// to 1 MiB.
inline constexpr std::size_t rawmidi_input_buffer = 64 * 1024;

// A device argument hw:CARD,DEV or hw:CARD,DEV,SUB.
struct hw_name_t {
	std::string card_id; // CARD when it is an id; empty when it is a number
	int card = -1;       // CARD when it is a number; -1 when it is an id
	int device = 0;      // DEV
	int subdevice = -1;  // SUB; -1 when absent: the first free subdevice
};

// The hw: name arg spells, or nothing when it is not one (then it is a
// path).  CARD is decimal digits or an id of 1 to 15 letters, digits, '_'
// and '-' that starts with a letter; DEV and SUB are decimal digits.
std::optional<hw_name_t> parse_hw_name(std::string_view arg);

// What the node itself reports of the subdevice that was opened.
struct rawmidi_port_t {
	int card = -1;                  // card number; -1 when not a raw MIDI node
	int device = -1;                // device number on the card
	int subdevice = -1;             // the subdevice the open took
	std::array<char, 33> name{};    // the subdevice's name ("... MIDI 3"), terminated
};

// Opens the subdevice that name stands for now, with open(2)'s flags
// (O_RDONLY or O_WRONLY, with O_NONBLOCK), and reports it in port and its
// node's path in node.  -1 when the card is not there (errno ENODEV), the
// subdevice is missing or busy, or the node refuses (errno says why).
int open_hw_name(const hw_name_t &name, int flags, rawmidi_port_t &port, std::string &node);

// The raw MIDI port fd is open on; false when fd is no raw MIDI node.
bool rawmidi_port_of(int fd, int stream, rawmidi_port_t &port);

// The stream numbers of the two directions, as rawmidi_port_of takes them.
inline constexpr int rawmidi_output = 0;
inline constexpr int rawmidi_input = 1;

// Asks the node open on fd for rawmidi_input_buffer bytes of kernel input
// buffer; false when it refuses (it is no raw MIDI input).
bool raise_input_buffer(int fd);

} // namespace cableferry
