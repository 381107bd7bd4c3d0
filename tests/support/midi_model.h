// One seeded model of MIDI traffic, for every test that makes or checks it.
//
// A message_source draws whole messages from a seeded generator, in the
// proportions of a traffic_mix: the same seed gives the same messages on
// every machine.  A wire_model lays messages on the wire as a device may send
// them (a repeated channel status left out, real-time bytes slipped inside
// other messages) and writes down, as each byte goes, the events the
// packetiser must make of them: a message when its last byte is written, a
// System Exclusive chunk of three bytes, a real-time byte at once.  So the
// events owed are known before the bytes are fed anywhere.
//
// Going back the other way, code_index_of and event_checker tell whether an
// event is one the packetiser can make, split_messages cuts bytes read from
// a playback node into messages, and compare and difference say how what
// arrived differs from what was owed: where the two first part, and what a
// diff makes of the rest (lost, duplicated, reordered, corrupt).
//
// Nothing here knows about JACK, the daemon or the packetiser's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace cftest {

using bytes = std::vector<std::uint8_t>;

// splitmix64: small, fast, and the same sequence on every platform.
struct prng {
	std::uint64_t state; // generator state; the seed at first

	std::uint64_t next();
	std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
	std::uint8_t data() { return static_cast<std::uint8_t>(below(0x80)); }
	// True once in n calls, on average; never when n is 0.
	bool one_in(std::uint32_t n) { return n != 0 && below(n) == 0; }
};

// ---- messages ------------------------------------------------------------------

// The proportions of a stream: each weight is a share of their sum.
struct traffic_mix {
	unsigned channel3;         // note off and on, key pressure, control change, pitch bend
	unsigned channel2;         // program change, channel pressure
	unsigned common;           // song position, song select or quarter frame, with its data
	unsigned tune_request;     // F6
	unsigned realtime;         // one real-time byte as a message of its own
	unsigned short_sysex;      // System Exclusive of 2 to 40 bytes, F0 and F7 counted
	unsigned long_sysex;       // System Exclusive of 64 to 512 bytes
	unsigned unfinished_sysex; // System Exclusive without its F7, cut off by what follows
	unsigned undefined;        // F4 or F5, which carry nothing
	unsigned stray_end;        // F7 alone (ends an unfinished System Exclusive, else nothing)
	unsigned repeat_status;    // percent of channel messages that keep the status before
	unsigned stray_data;       // most data bytes after a system message, dropped as strays
};

// Whole messages, as any device or JACK client may send them: the traffic
// of the soak run, both ways.
inline constexpr traffic_mix playable_mix = {
	.channel3 = 450, .channel2 = 150, .common = 60, .tune_request = 20, .realtime = 170,
	.short_sysex = 135, .long_sysex = 15, .unfinished_sysex = 0, .undefined = 0, .stray_end = 0,
	.repeat_status = 25, .stray_data = 0,
};

// Everything a capture stream may hold, the malformed too: messages cut
// off, undefined statuses and data bytes that belong to nothing.
inline constexpr traffic_mix rough_mix = {
	.channel3 = 36, .channel2 = 14, .common = 10, .tune_request = 3, .realtime = 4,
	.short_sysex = 20, .long_sysex = 0, .unfinished_sysex = 10, .undefined = 3, .stray_end = 4,
	.repeat_status = 50, .stray_data = 2,
};

// A performance: long runs of notes in one status, some program changes,
// dumps now and then.
inline constexpr traffic_mix performance_mix = {
	.channel3 = 160, .channel2 = 16, .common = 4, .tune_request = 2, .realtime = 2,
	.short_sysex = 10, .long_sysex = 3, .unfinished_sysex = 0, .undefined = 0, .stray_end = 0,
	.repeat_status = 90, .stray_data = 0,
};

// Draws messages in a mix's proportions.  Data bytes are random; a system
// message may carry up to stray_data extra data bytes.
struct message_source {
	prng rng;                      // seeded: the same messages for the same seed
	traffic_mix mix;               // what to draw
	std::uint8_t last_channel = 0; // status of the last channel message, 0 before any

	message_source(std::uint64_t seed, const traffic_mix &m) : rng{seed}, mix(m) {}
	bytes next();
};

// A System Exclusive message of length bytes (at least 2), F0 and F7
// included, whose body is drawn from r, or from a generator seeded with seed.
bytes sysex_message(std::size_t length, prng &r);
bytes sysex_message(std::size_t length, std::uint64_t seed);

// Messages one after the other, as one byte string.
bytes concat(const std::vector<bytes> &messages);
bytes concat(const std::vector<std::vector<bytes>> &groups);

// ---- the wire and the events owed ------------------------------------------------

// How a device sends: how often it uses running status, and how often a
// real-time byte comes inside another message.
struct wire_style {
	unsigned running_status;  // percent of repeated channel statuses left out
	unsigned realtime_inside; // one byte in this many inside a message has a real-time byte before it; 0: none
};

// Lays messages on the wire and keeps the events the packetiser makes of
// them, in order.  It follows the packetiser's state as far as the messages
// need: the channel status in force, and a System Exclusive left open.
struct wire_model {
	prng rng;                   // for the style's choices
	wire_style style;           // how the device sends
	bytes wire;                 // the bytes to write, in order
	std::vector<bytes> events;  // the events owed, in order
	std::uint8_t running = 0;   // channel status in force on the wire, 0 when none
	bool in_sysex = false;      // a System Exclusive is open
	bytes chunk;                // its bytes not handed out yet

	wire_model(std::uint64_t seed, const wire_style &s) : rng{seed}, style(s) {}
	void add(const bytes &message);
	// The far side starts afresh (a new node or a new daemon): nothing is in
	// force, and the next channel message carries its status.
	void start_over();

private:
	void put(std::uint8_t b, bool inside);
	void owe(bytes event);
};

// At least size bytes of wire: messages drawn in mix's proportions, laid
// down in style, all from seed.  For benchmarks, which want a stream and not
// its events.
bytes stream_of(std::uint64_t seed, const traffic_mix &mix, const wire_style &style, std::size_t size);

// ---- what arrived ----------------------------------------------------------------

// The code index of the packet that carries event, or 0 when no packet the
// packetiser makes carries it.  A System Exclusive chunk is told apart by its
// bytes alone: F0 first, or data bytes, ending with F7 or three long.
std::uint8_t code_index_of(std::span<const std::uint8_t> event);

// The channel of a channel message, or -1.
int channel_of(const bytes &event);

// The channel messages of channel c, in order.
std::vector<bytes> on_channel(const std::vector<bytes> &events, unsigned c);

// Follows the events of midi.TX in order: each must be one the packetiser
// makes, and a System Exclusive chunk that does not start with F0 must
// follow an unfinished one.
struct event_checker {
	bool in_sysex = false; // the last chunk left a System Exclusive open

	// What is wrong with the next event, or nullptr.
	const char *problem(const bytes &event);
};

// Marks the events of midi.TX that event_checker refuses.
std::vector<char> malformed_events(const std::vector<bytes> &events);

// Marks the events of a channel port that are no channel message of c.
std::vector<char> malformed_channel_events(const std::vector<bytes> &events, unsigned c);

// Cuts bytes read from a playback node into messages.  A byte that cannot
// start a message, or a System Exclusive cut by a status byte, becomes an
// item of its own marked bad.
std::vector<bytes> split_messages(const bytes &in, std::vector<char> &bad);

// ---- comparing ---------------------------------------------------------------------

// What a comparison of items owed and items received found.
struct tally {
	std::uint64_t matched = 0;    // items that arrived in place
	std::uint64_t lost = 0;       // owed items that never arrived
	std::uint64_t duplicated = 0; // extra copies of items that were owed
	std::uint64_t reordered = 0;  // items that arrived out of place
	std::uint64_t corrupt = 0;    // items received that were never owed, or malformed
	std::uint64_t in_flight = 0;  // the missing tail of a stream cut short, when excused
	bool approximate = false;     // the difference was too large to classify exactly

	void add(const tally &t);
	std::uint64_t faults() const { return lost + duplicated + reordered + corrupt; }
	// "1 lost, 0 duplicated, 2 reordered, 0 corrupt"
	std::string text() const;
};

// Compares the items owed with those received, with a diff.  bad marks
// received items that are malformed on their own.  With tail_may_miss (a
// stream cut by a server restart) owed items after the last one that
// arrived count as in flight, not lost.
tally compare(const std::vector<bytes> &want, const std::vector<bytes> &got, const std::vector<char> &bad,
              bool tail_may_miss = false);

// Bytes as "90 3C 64", events as "90 3C 64; F8".
std::string hex(const bytes &b);
std::string hex(const std::vector<bytes> &events);

// Where two lists part: "got 5 events, want 6, first difference at 3:
// got 90 3C 64, want F8".
std::string first_difference(const std::vector<bytes> &got, const std::vector<bytes> &want);
std::string first_difference(const bytes &got, const bytes &want);

// "" when got is want; otherwise the first difference and what a diff
// makes of the whole (for byte strings, of their messages).
std::string difference(const std::vector<bytes> &got, const std::vector<bytes> &want);
std::string difference(const bytes &got, const bytes &want);

} // namespace cftest
