// Whole System Exclusive.
//
// The buffer holds the message from its front: a chunk is appended, and a
// piece that left is taken off the front, the rest moved down behind it
// (only a message longer than the port takes is ever cut so, at most one
// buffer's worth of bytes a period).  A message is ready to go once it has
// ended, or once the buffer has no room for another chunk; a message that is
// ready is never added to, since the drains put it out before they feed
// another byte.  Every event goes through emit_everywhere, which puts it on
// midi.TX or, without room, nowhere, so a message waits whole.  No
// allocation; the one system call, mlock, is made at start-up.
#include "bridge/whole_sysex.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <span>

#include "device/link_counters.h"

namespace cableferry {

whole_sysex_t whole_sysex{};

namespace {

// A packet that belongs to a SysEx: code index 4, 6 or 7, or 5 with F7 (5
// with F6 is a tune request).
bool sysex_chunk(const midi_packet &p)
{
	switch (p.code_index) {
	case 0x4:
	case 0x6:
	case 0x7:
		return true;
	case 0x5:
		return p.data[0] == 0xF7;
	default:
		return false;
	}
}

// The gathered bytes are ready to go out.
bool ready(const whole_sysex_t &w)
{
	return (w.state == gathering::ended && w.length > 0) || whole_sysex_size - w.length < midi_bytes_per_event;
}

// Drops the open message, which a status byte cut: one dropped event.
void discard(whole_sysex_t &w)
{
	w.length = 0;
	w.state = gathering::none;
	count(link_counters.capture.dropped_events);
}

// Puts the gathered bytes on midi.TX as one event: all of them when the port
// has room, or, when even this period's empty port cannot take them all, as
// many as it takes.  Returns how many bytes are done with; 0 when they wait
// for the next period.
std::size_t put_ready(emission_t &e, const whole_sysex_t &w, const stamp_at *at)
{
	const std::span<const std::uint8_t> gathered = std::span(w.bytes).first(w.length);
	void *tx = e.buffers[tx_index];
	if (tx == nullptr)
		return w.length; // no buffer this period: it passes, as any message would
	if (emit_everywhere(e, gathered, at))
		return w.length;
	if (e.events[tx_index] > 0)
		return 0; // the next period starts with an empty port
	const std::size_t piece = std::min(e.sink->room(tx), w.length);
	if (piece == 0) { // a port that takes nothing would hold capture up for ever
		count(link_counters.capture.dropped_events);
		return w.length;
	}
	return emit_everywhere(e, gathered.first(piece), at) ? piece : 0;
}

} // namespace

void whole_sysex_prepare()
{
	whole_sysex.bytes.fill(0);
	mlock(whole_sysex.bytes.data(), whole_sysex.bytes.size());
	whole_sysex_reset(true);
}

void whole_sysex_reset(bool on)
{
	whole_sysex.length = 0;
	whole_sysex.state = gathering::none;
	whole_sysex.on = on;
}

bool emit_gathered(emission_t &e, const stamp_at *at)
{
	whole_sysex_t &w = whole_sysex;
	if (!ready(w))
		return true;
	const std::size_t done = put_ready(e, w, at);
	std::memmove(w.bytes.data(), w.bytes.data() + done, w.length - done);
	w.length -= done;
	if (w.length == 0 && w.state == gathering::ended)
		w.state = gathering::none;
	return !ready(w);
}

bool emit_packet(emission_t &e, const midi_packet *p, const stamp_at *at)
{
	whole_sysex_t &w = whole_sysex;
	if (!w.on)
		return p != nullptr && emit_message(e, packet_bytes(*p), at);
	const bool chunk = p != nullptr && sysex_chunk(*p);
	if (w.state == gathering::open) {
		const bool cut = chunk ? p->data[0] == 0xF0
		                 : p == nullptr ? !packetiser_in_sysex()
		                                : p->code_index != 0x0F;
		if (cut)
			discard(w);
	}
	if (p == nullptr)
		return false;
	if (!chunk)
		return emit_message(e, packet_bytes(*p), at);

	const std::span<const std::uint8_t> piece = packet_bytes(*p);
	std::memcpy(w.bytes.data() + w.length, piece.data(), piece.size());
	w.length += piece.size();
	w.state = p->code_index == 0x4 ? gathering::open : gathering::ended;
	if (!emit_gathered(e, at))
		return true;
	void *tx = e.buffers[tx_index];
	return tx != nullptr && e.sink->room(tx) < midi_bytes_per_event;
}

} // namespace cableferry
