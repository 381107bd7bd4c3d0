// Capture drain: moves bytes from the capture node to the output ports.
//
// Runs inside the process cycle with link_lock held.  It refills
// read_buffer 16 bytes at a time from the non-blocking capture descriptor,
// feeds the packetiser byte by byte and turns each completed packet into one
// JACK MIDI event on midi.TX, and channel messages also on the port of their
// channel.  Events go at frame offsets 0, 1, 2... in the order their packets
// completed.  Bytes not handed out stay in read_buffer for the next period,
// and reading stops for the period once capture_byte_bound(nframes) bytes
// have been read.  The drain keeps captured_notes, what the node holds
// down; once the node is gone, capture_release sends its release on the
// same ports, as if the device had sent it.
#pragma once

#include <jack/midiport.h>

#include <array>
#include <cstddef>

#include "bridge/held_notes.h"
#include "bridge/port_table.h"

namespace cableferry {

// How the drain writes into an output buffer.  The program uses JACK's own
// functions; tests and benchmarks put a plain buffer behind it.
struct midi_sink {
	jack_midi_data_t *(*reserve)(void *buffer, jack_nframes_t time, size_t size); // reserve an event
	size_t (*room)(void *buffer); // largest event the buffer still takes
};

// JACK's MIDI buffer functions.
inline constexpr midi_sink jack_sink = {jack_midi_event_reserve, jack_midi_max_event_size};

// The most MIDI bytes one event of midi.TX carries: a three-byte message,
// or a three-byte SysEx chunk.
inline constexpr std::size_t midi_bytes_per_event = 3;

// The most bytes the drain reads from the node in one period.  midi.TX takes
// at most nframes events a period, and no event carries more than three
// bytes, so nframes events' worth of whole messages always fits: the bound
// never holds back a burst that the period could deliver, it only stops
// bytes that make no event from taking the period.
constexpr std::size_t capture_byte_bound(jack_nframes_t nframes)
{
	return midi_bytes_per_event * nframes;
}

using out_buffer_array = std::array<void *, output_port_count>;
using out_count_array = std::array<jack_nframes_t, output_port_count>;

struct midi_packet;

// With -t, where a packet's events go: at the frame of the byte that
// completed it (frame_stamp.h), never before the port's previous event.
struct stamp_place {
	jack_nframes_t stamp;       // frame time of the byte that completed the packet
	jack_nframes_t cycle_start; // frame time at which this cycle starts
	out_count_array &last;      // per port, the offset of its latest event this cycle
};

// Puts one completed packet on midi.TX and, when it is a channel message,
// also on its channel's port, each within that port's nframes events.
// Without stamped the events are stacked at offsets 0, 1, 2... (each
// port's count); with it they go where stamped says.  Refusals are counted
// as dropped on midi.TX.  True when midi.TX has no room left for another
// event.
bool emit_packet(const midi_packet &p, jack_nframes_t nframes, const out_buffer_array &out_buffers,
                 out_count_array &out_event_count, const midi_sink &sink,
                 const stamp_place *stamped = nullptr);

// Drains the capture node into the buffers, through sink.  nframes > 0;
// capture_fd >= 0; link_lock held.
void capture_drain(jack_nframes_t nframes, const out_buffer_array &out_buffers,
                   out_count_array &out_event_count, const midi_sink &sink = jack_sink);

// The keys and pedals the capture node holds down, as midi.TX carried them.
// Kept by the drain and the release, under link_lock.
extern held_notes_t captured_notes;

// The release of captured_notes on midi.TX, and on the channel ports, in
// the order a device would send it, as far as midi.TX takes it this
// period; what is left goes in the next.  nframes > 0; the capture slot is
// closed; link_lock held.
void capture_release(jack_nframes_t nframes, const out_buffer_array &out_buffers,
                     out_count_array &out_event_count, const midi_sink &sink = jack_sink);

} // namespace cableferry
