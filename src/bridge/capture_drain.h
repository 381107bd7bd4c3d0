// Capture drain: moves bytes from the capture node to the output ports,
// without -t.
//
// Runs inside the process cycle with link_lock held.  It refills
// read_buffer 16 bytes at a time from the non-blocking capture descriptor,
// feeds the packetiser byte by byte and puts each completed message out
// through the period's emission record (emission.h, and with -w
// whole_sysex.h): on midi.TX, and a
// channel message also on the port of its channel, at offsets 0, 1, 2... in
// the order the messages completed.  Bytes not handed out stay in
// read_buffer for the next period, and reading stops for the period once
// capture_byte_bound(nframes) bytes have been read.  Every message also goes
// to captured_notes (note_release.h).
#pragma once

#include <jack/types.h>

#include <cstddef>

#include "bridge/emission.h"

namespace cableferry {

// The most bytes the drain reads from the node in one period.  midi.TX takes
// at most nframes events a period, and no event carries more than three
// bytes, so nframes events' worth of whole messages always fits: the bound
// never holds back a burst that the period could deliver, it only stops
// bytes that make no event from taking the period.  With -w a whole SysEx
// counts its bytes against the bound like any others, so a long dump spans
// as many periods as its bytes need.
constexpr std::size_t capture_byte_bound(jack_nframes_t nframes)
{
	return midi_bytes_per_event * nframes;
}

// Drains the capture node into e's buffers.  e.nframes > 0;
// capture_fd >= 0; link_lock held.
void capture_drain(emission_t &e);

} // namespace cableferry
