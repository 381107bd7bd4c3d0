// Frame stamps: where a byte stamped with the JACK frame time at which it
// arrived goes in a period, and when a played event falls due.
//
// With -t everything runs one period late, so that a period can carry the
// events of the one before it at the frames at which they came.  A byte
// stamped in the period before the cycle's start goes at its own frame,
// stamp - (cycle start - nframes).  One stamped earlier still (it waited
// behind a full period, or the cycle ran late) is late and goes at frame 0;
// one stamped at or after the cycle's start belongs to the next cycle.  An
// event never goes before the one ahead of it on its port, so the order of
// the bytes is the order of the events.  Frame times wrap at 2^32; stamps
// are compared by their signed distance, which is right as long as they lie
// within half the range (a day at 48 kHz) of each other.  Pure functions,
// tested on their own.
#pragma once

#include <jack/types.h>

#include <cstdint>

namespace cableferry {

// Signed distance from frame time b to frame time a.
constexpr std::int32_t frame_distance(jack_nframes_t a, jack_nframes_t b)
{
	return static_cast<std::int32_t>(a - b);
}

// True when a byte stamped at stamp is due in the cycle that starts at
// cycle_start: it came before that start.
constexpr bool stamp_due(jack_nframes_t stamp, jack_nframes_t cycle_start)
{
	return frame_distance(stamp, cycle_start) < 0;
}

// Frame offset in the cycle starting at cycle_start of an event completed
// by a byte stamped at stamp (stamp_due holds), placed no earlier than
// floor, the offset of the event before it on the same port (0 for none).
// Always less than nframes when floor is.
constexpr jack_nframes_t stamp_offset(jack_nframes_t stamp, jack_nframes_t cycle_start,
                                      jack_nframes_t nframes, jack_nframes_t floor)
{
	const std::int32_t back = frame_distance(stamp, cycle_start - nframes);
	const jack_nframes_t at = back < 0 ? 0 : static_cast<jack_nframes_t>(back);
	const jack_nframes_t clamped = at < nframes ? at : nframes - 1;
	return clamped < floor ? floor : clamped;
}

// The frame time at which an event at offset frame of the cycle starting at
// cycle_start is written to the playback node: the same frame, one period
// later.
constexpr jack_nframes_t due_frame(jack_nframes_t cycle_start, jack_nframes_t nframes,
                                   jack_nframes_t frame)
{
	return cycle_start + nframes + frame;
}

} // namespace cableferry
