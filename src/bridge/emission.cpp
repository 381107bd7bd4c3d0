// Emission.
//
// Every event goes through put(), which picks its offset (stacked, or
// stamped, never before the port's latest event) and records it.  A stamped
// offset is below nframes whenever the port's latest one is, and JACK
// refuses an event only when it is out of order, at or past nframes, or
// larger than the room left; so once fits() has said yes for a port, put()
// on it succeeds.  No allocation, no system call.
#include "bridge/emission.h"

#include <cstring>

#include "bridge/frame_stamp.h"
#include "device/link_counters.h"

namespace cableferry {

namespace {

// The channel port a message also belongs on, when it is a channel message
// (status 80..EF) and that port exists; null otherwise.
void *channel_buffer(const emission_t &e, std::span<const std::uint8_t> message, std::size_t &port)
{
	const std::uint8_t status = message.front();
	if (status < 0x80 || status > 0xEF)
		return nullptr;
	port = tx_channel(status & 0x0F);
	return e.buffers[port];
}

// Port i takes another event of size bytes this period.
bool fits(const emission_t &e, std::size_t i, std::size_t size)
{
	return e.buffers[i] != nullptr && e.events[i] < e.nframes && e.sink->room(e.buffers[i]) >= size;
}

// Puts message on port i at its offset; false when the buffer refused it.
bool put(emission_t &e, std::size_t i, std::span<const std::uint8_t> message, const stamp_at *at)
{
	const jack_nframes_t offset = at != nullptr ? stamp_offset(at->stamp, at->cycle_start, e.nframes, e.last[i])
	                                            : e.events[i];
	jack_midi_data_t *event = e.sink->reserve(e.buffers[i], offset, message.size());
	if (event == nullptr)
		return false;
	std::memcpy(event, message.data(), message.size());
	e.events[i]++;
	e.last[i] = offset;
	return true;
}

} // namespace

bool emit_message(emission_t &e, std::span<const std::uint8_t> message, const stamp_at *at)
{
	bool tx_full = false;
	if (void *tx = e.buffers[tx_index]) {
		if (put(e, tx_index, message, at))
			tx_full = e.sink->room(tx) < midi_bytes_per_event;
		else
			count(link_counters.capture.dropped_events);
	}
	std::size_t port = 0;
	if (channel_buffer(e, message, port) != nullptr && e.events[port] < e.nframes)
		put(e, port, message, at);
	return tx_full;
}

bool emit_everywhere(emission_t &e, std::span<const std::uint8_t> message, const stamp_at *at)
{
	std::size_t port = 0;
	const bool on_channel = channel_buffer(e, message, port) != nullptr;
	if (!fits(e, tx_index, message.size()) || (on_channel && !fits(e, port, message.size())))
		return false;
	return put(e, tx_index, message, at) && (!on_channel || put(e, port, message, at));
}

} // namespace cableferry
