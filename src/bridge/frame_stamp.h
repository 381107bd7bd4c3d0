// Frame stamps: where a byte that came at a given moment goes in a period,
// and when a played event falls due.
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
// within half the range (a day at 48 kHz) of each other.
//
// The timing threads stamp and wait on the monotonic clock, and the cycle
// keeps the clock that turns those moments into frames: where its periods
// lie on the monotonic clock.  JACK counts frames exactly but says when
// they happen only through jack_frame_time, an estimate that jackd2 keeps
// with a slow filter; a disturbed server (a client that died while it ran
// synchronously, a stall) leaves it thousands of frames off, and running at
// the wrong rate, for many seconds.  The cycle's clock looks at the
// monotonic clock as each period starts.  The period started when the
// clock's timeline says it should, unless the cycle came earlier than that,
// which means the timeline was late (a callback is woken late, never
// early): then it started now.  A cycle a little late (up to half a period)
// moves the timeline a little towards it, so that it follows an audio clock
// slower than the monotonic one.  A cycle far late is a stall, after which
// the server catches up: it moves nothing, unless the cycle after it is as
// late again, which means the timeline itself has moved (an xrun, a new
// buffer size), and the clock moves with it.  So the timeline runs along the
// earliest wake-ups, the scheduler's lateness in waking JACK's thread does
// not move the MIDI, and a disturbance is forgotten within a period or two.
// Pure functions, tested on their own.
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

// Where the periods lie on the monotonic clock.
struct cycle_clock_t {
	std::int64_t start_ns = 0;      // when the current period started, on the monotonic clock
	jack_nframes_t start_frame = 0; // the frame time at which it started
	jack_nframes_t rate = 48000;    // frames a second
	bool running = false;           // a period has been seen
	std::int64_t late = 0;          // how late the current period came, against the timeline before it
};

// The share of its lateness by which a cycle moves the timeline.
inline constexpr std::int64_t clock_creep = 32;

// Nanoseconds that frames (negative: before) take at rate, rounded up, so
// that a moment that many frames after a frame's start lies in the frame.
constexpr std::int64_t frames_ns(std::int64_t frames, jack_nframes_t rate)
{
	const std::int64_t scaled = frames * 1'000'000'000;
	return scaled / rate + (scaled % rate > 0 ? 1 : 0);
}

// The clock once the period of nframes starting at frame time frame has
// begun, the monotonic clock reading now.
constexpr cycle_clock_t cycle_clock_next(cycle_clock_t c, jack_nframes_t frame, jack_nframes_t nframes,
                                         std::int64_t now)
{
	const std::int64_t expected = c.start_ns + frames_ns(frame_distance(frame, c.start_frame), c.rate);
	const std::int64_t late = now - expected;
	const std::int64_t half = frames_ns(nframes, c.rate) / 2;
	const std::int64_t alike = half / 2; // two latenesses this close are one move
	const bool as_late_again = c.late > half && late - c.late < alike && c.late - late < alike;
	if (!c.running || late < 0) {
		c.start_ns = now; // the timeline was late, or there was none
		c.late = 0;
	} else if (late <= half) {
		c.start_ns = expected + late / clock_creep;
		c.late = late;
	} else if (as_late_again) {
		c.start_ns = expected + (late < c.late ? late : c.late); // the timeline has moved
		c.late = 0;
	} else {
		c.start_ns = expected; // a stall
		c.late = late;
	}
	c.start_frame = frame;
	c.running = true;
	return c;
}

// The frame time of the moment t: the frame under way then.
constexpr jack_nframes_t clock_frame(const cycle_clock_t &c, std::int64_t t)
{
	const std::int64_t scaled = (t - c.start_ns) * c.rate;
	const std::int64_t frames = scaled / 1'000'000'000 - (scaled % 1'000'000'000 < 0 ? 1 : 0);
	return c.start_frame + static_cast<jack_nframes_t>(frames);
}

// The moment at which frame time frame begins.
constexpr std::int64_t clock_time(const cycle_clock_t &c, jack_nframes_t frame)
{
	return c.start_ns + frames_ns(frame_distance(frame, c.start_frame), c.rate);
}

} // namespace cableferry
