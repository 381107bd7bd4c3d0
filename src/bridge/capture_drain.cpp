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
// Every completed message also goes to captured_notes, for the release
// that follows the node's loss.  With -w a SysEx is gathered on its way out
// (whole_sysex.h); one that waits for room stops the drain as a full
// midi.TX does.
//
// No allocation, no printing; read() on a non-blocking descriptor is the
// only system call.
#include "bridge/capture_drain.h"

#include <unistd.h>

#include "bridge/note_release.h"
#include "bridge/packetiser.h"
#include "bridge/whole_sysex.h"
#include "device/device_link.h"
#include "device/link_counters.h"

namespace cableferry {

void capture_drain(emission_t &e)
{
	device_link_t &dl = device_link;
	direction_counters_t &counters = link_counters.capture;
	const std::size_t bound = capture_byte_bound(e.nframes);
	std::size_t read_now = 0;
	do {
		if (!emit_gathered(e))
			return;
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
		if (p != nullptr)
			held_notes_track(captured_notes, packet_bytes(*p));
		if (emit_packet(e, p))
			return;
	} while (e.events[tx_index] < e.nframes);
}

} // namespace cableferry
