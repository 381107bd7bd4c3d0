// Emission: how a MIDI message leaves on the output ports in one period.
//
// The process cycle makes one emission record a period, with the buffers of
// midi.TX and of the channel ports, and hands it down to whatever has
// messages for them: the untimed drain, the timed cycle and the capture
// release.  A message goes on midi.TX, and a channel message also on the
// port of its channel.  Without a stamp, each port's events are stacked at
// offsets 0, 1, 2... in the order they come; with one (-t), a message goes
// at its stamped frame (frame_stamp.h).  Either way no event goes before the
// port's latest one, so JACK, which keeps a buffer's events in order, takes
// every event it has room for, and no port takes more than nframes events
// a period.
//
// Two ways to put a message.  Captured messages go on each port as far as
// it has room: a message midi.TX refuses is counted as dropped, one a full
// channel port refuses passes it by.  A release message goes on every port
// it belongs on or on none, so that it can be tried again in the next
// period without any port seeing it twice.
#pragma once

#include <jack/midiport.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "bridge/packetiser.h"
#include "bridge/port_table.h"

namespace cableferry {

// How events are put into an output buffer.  The program uses JACK's own
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

using out_buffer_array = std::array<void *, output_port_count>;
using out_count_array = std::array<jack_nframes_t, output_port_count>;

// One period's output ports, as the capture side fills them.
struct emission_t {
	jack_nframes_t nframes;             // frames in this period
	out_buffer_array buffers;           // each output port's buffer; null where the port is absent
	const midi_sink *sink = &jack_sink; // what puts events into the buffers
	out_count_array events{};           // events each port has taken this period
	out_count_array last{};             // offset of each port's latest event this period
};

// With -t, where a message goes: at the frame of the byte that completed it.
struct stamp_at {
	jack_nframes_t stamp;       // frame time of the byte that completed the message
	jack_nframes_t cycle_start; // frame time at which this period starts
};

// The MIDI bytes a packet carries.
inline std::span<const std::uint8_t> packet_bytes(const midi_packet &p)
{
	return std::span(p.data).first(code_index_length[p.code_index]);
}

// Puts a captured message (at most midi_bytes_per_event bytes) on each port
// it belongs on that has room, stacked, or at at when given.  True when
// midi.TX has no room left for another event.
bool emit_message(emission_t &e, std::span<const std::uint8_t> message, const stamp_at *at = nullptr);

// Puts a message on every port it belongs on, or, when one of them has no
// room this period, on none: false then.
bool emit_everywhere(emission_t &e, std::span<const std::uint8_t> message, const stamp_at *at = nullptr);

} // namespace cableferry
