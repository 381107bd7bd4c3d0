// Capture drain.
//
// The loop hands the packetiser the unread bytes of read_buffer and takes
// back the next completed packet, refilling read_buffer with a single read()
// whenever it is used up; a read that returns nothing ends the drain.
// midi.TX receives at most nframes events per period, each on a frame of its
// own; once it has them, or once its buffer has no room for another event,
// the drain stops and the bytes not yet handed out wait in read_buffer (and
// the rest in the device) for the next period.  Stopping on a full buffer
// rather than reading on means a burst larger than one period's buffer is
// delivered over several periods instead of being thrown away.  A
// per-channel port that is full, or has nframes events, simply misses the
// packets beyond that; midi.TX still gets them.
//
// The drain also stops reading once it has read capture_byte_bound(nframes)
// bytes in one period (reads stay 16 bytes long, so it may read up to 15
// more).  Bytes that complete no message (a node of zeros, stray data
// bytes, F4 and F5) make no event, so without a bound on bytes a node that
// never runs dry would keep the drain, the lock and JACK's thread for ever.
// What lies beyond the bound stays in the node for the next period.
//
// Every completed packet also goes to captured_notes, and once the node is
// gone its release takes the road a packet takes, midi.TX first and then
// the channel's port; a message midi.TX does not take waits, still held,
// for the next period, so that no port sees it twice.
//
// No allocation, no printing; read() on a non-blocking descriptor is the
// only system call.
#include "bridge/capture_drain.h"

#include <unistd.h>

#include <cstring>

#include "bridge/frame_stamp.h"
#include "bridge/packetiser.h"
#include "device/device_link.h"
#include "device/link_counters.h"

namespace cableferry {

held_notes_t captured_notes;

namespace {

// The longest event a packet can produce.
constexpr size_t longest_event = midi_bytes_per_event;

// Channel voice status bytes, 80..EF: their low nibble is the channel.
constexpr bool is_channel_status(std::uint8_t b) { return b >= 0x80 && b <= 0xEF; }

bool put_event(const midi_sink &sink, void *buffer, jack_nframes_t time, jack_nframes_t &count,
               const std::uint8_t *data, size_t len)
{
	jack_midi_data_t *e = sink.reserve(buffer, time, len);
	if (e == nullptr)
		return false;
	std::memcpy(e, data, len);
	count++;
	return true;
}

// The offset of port i's next event, which is then recorded for stamped.
jack_nframes_t place(std::size_t i, jack_nframes_t nframes, const out_count_array &out_event_count,
                     const stamp_place *stamped)
{
	if (stamped == nullptr)
		return out_event_count[i];
	const jack_nframes_t at = stamp_offset(stamped->stamp, stamped->cycle_start, nframes, stamped->last[i]);
	stamped->last[i] = at;
	return at;
}

// A channel message also goes to the port of its channel, while that port
// exists and has fewer than nframes events.
void fan_out(jack_nframes_t nframes, const out_buffer_array &out_buffers, out_count_array &out_event_count,
             const midi_sink &sink, const std::uint8_t *data, size_t len, const stamp_place *stamped = nullptr)
{
	if (const std::uint8_t status = data[0]; is_channel_status(status)) {
		const std::size_t i = tx_channel(status & 0x0F);
		if (out_buffers[i] != nullptr && out_event_count[i] < nframes)
			put_event(sink, out_buffers[i], place(i, nframes, out_event_count, stamped), out_event_count[i],
			          data, len);
	}
}

} // namespace

bool emit_packet(const midi_packet &p, jack_nframes_t nframes, const out_buffer_array &out_buffers,
                 out_count_array &out_event_count, const midi_sink &sink, const stamp_place *stamped)
{
	void *tx = out_buffers[tx_index];
	const size_t len = code_index_length[p.code_index];
	held_notes_track(captured_notes, std::span(p.data).first(len));
	bool tx_full = false;
	if (tx != nullptr) {
		if (put_event(sink, tx, place(tx_index, nframes, out_event_count, stamped), out_event_count[tx_index],
		              p.data.data(), len))
			tx_full = sink.room(tx) < longest_event;
		else
			count(link_counters.capture.dropped_events);
	}
	fan_out(nframes, out_buffers, out_event_count, sink, p.data.data(), len, stamped);
	return tx_full;
}

void capture_drain(jack_nframes_t nframes, const out_buffer_array &out_buffers,
                   out_count_array &out_event_count, const midi_sink &sink)
{
	device_link_t &dl = device_link;
	direction_counters_t &counters = link_counters.capture;
	const std::size_t bound = capture_byte_bound(nframes);
	std::size_t read_now = 0;
	do {
		if (dl.read_pos >= dl.read_len) {
			dl.read_pos = 0;
			if (read_now >= bound) {
				dl.read_len = 0;
				count(counters.bounded_cycles);
				return;
			}
			const ssize_t n = read(dl.capture_fd, dl.read_buffer.data(), read_buffer_size);
			if (n <= 0) {
				dl.read_len = 0;
				return;
			}
			dl.read_len = static_cast<int>(n);
			read_now += static_cast<std::size_t>(n);
			count(counters.bytes, static_cast<std::uint64_t>(n));
		}
		std::size_t used = 0;
		const midi_packet *p = packetise_bytes(
			std::span(dl.read_buffer).subspan(dl.read_pos, dl.read_len - dl.read_pos), used);
		dl.read_pos += static_cast<int>(used);
		if (p != nullptr && emit_packet(*p, nframes, out_buffers, out_event_count, sink))
			return;
	} while (out_event_count[tx_index] < nframes);
}

void capture_release(jack_nframes_t nframes, const out_buffer_array &out_buffers,
                     out_count_array &out_event_count, const midi_sink &sink)
{
	void *tx = out_buffers[tx_index];
	if (tx == nullptr)
		return;
	release_batch batch;
	while (const std::size_t n = held_notes_release(captured_notes, batch)) {
		for (std::size_t i = 0; i < n; i++) {
			const release_message &m = batch[i];
			if (out_event_count[tx_index] >= nframes || sink.room(tx) < m.size() ||
			    !put_event(sink, tx, out_event_count[tx_index], out_event_count[tx_index], m.data(), m.size()))
				return;
			fan_out(nframes, out_buffers, out_event_count, sink, m.data(), m.size());
			held_notes_track(captured_notes, m);
		}
	}
}

} // namespace cableferry
