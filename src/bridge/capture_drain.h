// Capture drain: moves bytes from the capture node to the output ports.
//
// Runs inside the process cycle with link_lock held.  It refills
// read_buffer 16 bytes at a time from the non-blocking capture descriptor,
// feeds the packetiser byte by byte and turns each completed packet into one
// JACK MIDI event on midi.TX, and channel messages also on the port of their
// channel.  Events go at frame offsets 0, 1, 2... in the order their packets
// completed.  Bytes not handed out stay in read_buffer for the next period.
#pragma once

#include <jack/midiport.h>

#include <array>
#include <cstddef>

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

using out_buffer_array = std::array<void *, output_port_count>;
using out_count_array = std::array<jack_nframes_t, output_port_count>;

// Drains the capture node into the buffers, through sink.  nframes > 0;
// capture_fd >= 0; link_lock held.
void capture_drain(jack_nframes_t nframes, const out_buffer_array &out_buffers,
                   out_count_array &out_event_count, const midi_sink &sink = jack_sink);

} // namespace cableferry
