// The seeded MIDI model: messages, the wire, the events owed, and the
// comparison of what arrived.  See midi_model.h.
#include "support/midi_model.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <unordered_set>

namespace cftest {

namespace {

bool is_channel(std::uint8_t b) { return b >= 0x80 && b <= 0xEF; }

// Bytes of a message with this status, or 0 where the length is not fixed
// by the status (System Exclusive, F4, F5, F7, a data byte).
std::size_t message_length(std::uint8_t status)
{
	if (is_channel(status))
		return (status & 0xE0) == 0xC0 ? 2 : 3;
	if (status == 0xF1 || status == 0xF3)
		return 2;
	if (status == 0xF2)
		return 3;
	return status == 0xF6 || status >= 0xF8 ? 1 : 0;
}

bool all_data(std::span<const std::uint8_t> b, std::size_t from, std::size_t to)
{
	for (std::size_t i = from; i < to; i++)
		if (b[i] >= 0x80)
			return false;
	return true;
}

} // namespace

std::uint64_t prng::next()
{
	std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
	z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
	z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
	return z ^ (z >> 31);
}

// ---- messages ------------------------------------------------------------------

bytes sysex_message(std::size_t length, prng &r)
{
	bytes m(std::max<std::size_t>(length, 2));
	m.front() = 0xF0;
	for (std::size_t i = 1; i + 1 < m.size(); i++)
		m[i] = r.data();
	m.back() = 0xF7;
	return m;
}

bytes sysex_message(std::size_t length, std::uint64_t seed)
{
	prng r{seed};
	return sysex_message(length, r);
}

bytes concat(const std::vector<bytes> &messages)
{
	bytes out;
	for (const auto &m : messages)
		out.insert(out.end(), m.begin(), m.end());
	return out;
}

bytes concat(const std::vector<std::vector<bytes>> &groups)
{
	bytes out;
	for (const auto &g : groups) {
		const bytes b = concat(g);
		out.insert(out.end(), b.begin(), b.end());
	}
	return out;
}

bytes message_source::next()
{
	const std::array<unsigned, 10> weights = {mix.channel3, mix.channel2, mix.common, mix.tune_request,
	                                          mix.realtime, mix.short_sysex, mix.long_sysex,
	                                          mix.unfinished_sysex, mix.undefined, mix.stray_end};
	unsigned sum = 0;
	for (unsigned w : weights)
		sum += w;
	unsigned roll = rng.below(std::max(sum, 1u)), kind = 0;
	while (kind + 1 < weights.size() && roll >= weights[kind])
		roll -= weights[kind++];

	bytes m;
	switch (kind) {
	case 0:
	case 1: {
		static constexpr std::uint8_t three[] = {0x80, 0x90, 0xA0, 0xB0, 0xE0};
		std::uint8_t status = kind == 0 ? three[rng.below(5)] : rng.below(2) ? 0xC0 : 0xD0;
		status = static_cast<std::uint8_t>(status | rng.below(16));
		if (last_channel != 0 && rng.below(100) < mix.repeat_status)
			status = last_channel;
		last_channel = status;
		m = {status};
		while (m.size() < message_length(status))
			m.push_back(rng.data());
		return m;
	}
	case 2: {
		static constexpr std::uint8_t common[] = {0xF1, 0xF2, 0xF3};
		m = {common[rng.below(3)]};
		while (m.size() < message_length(m[0]))
			m.push_back(rng.data());
		break;
	}
	case 3:
		m = {0xF6};
		break;
	case 4:
		return {static_cast<std::uint8_t>(0xF8 + rng.below(8))};
	case 5:
		return sysex_message(2 + rng.below(39), rng);
	case 6:
		return sysex_message(64 + rng.below(449), rng);
	case 7:
		m = sysex_message(2 + rng.below(40), rng);
		m.pop_back();
		return m;
	case 8:
		m = {static_cast<std::uint8_t>(0xF4 + rng.below(2))};
		break;
	default:
		m = {0xF7};
		break;
	}
	// A system message leaves nothing in progress: data bytes after it are strays.
	for (unsigned i = mix.stray_data > 0 ? rng.below(mix.stray_data + 1) : 0; i > 0; i--)
		m.push_back(rng.data());
	return m;
}

// ---- the wire and the events owed ------------------------------------------------

void wire_model::owe(bytes event) { events.push_back(std::move(event)); }

void wire_model::put(std::uint8_t b, bool inside)
{
	if (inside && rng.one_in(style.realtime_inside)) {
		const auto rt = static_cast<std::uint8_t>(0xF8 + rng.below(8));
		wire.push_back(rt);
		owe({rt}); // comes out at once, ahead of the message it interrupts
	}
	wire.push_back(b);
}

void wire_model::add(const bytes &message)
{
	if (message.empty() || message[0] < 0x80)
		return; // not a message
	const std::uint8_t status = message[0];
	if (status >= 0xF8) {
		put(status, false);
		owe({status});
		return;
	}
	// F7 ends an open System Exclusive; any other status abandons it, and
	// its bytes not yet handed out never come out.
	if (status == 0xF7 && in_sysex) {
		chunk.push_back(0xF7);
		owe(chunk);
	}
	in_sysex = false;
	chunk.clear();

	if (status == 0xF0) {
		running = 0;
		in_sysex = true;
		for (std::size_t i = 0; i < message.size(); i++) {
			put(message[i], i > 0);
			chunk.push_back(message[i]);
			if (chunk.size() == 3 || message[i] == 0xF7) {
				owe(chunk);
				chunk.clear();
			}
			if (message[i] == 0xF7)
				in_sysex = false;
		}
		return;
	}
	const bool keep_status = is_channel(status) && status == running && rng.below(100) < style.running_status;
	running = is_channel(status) ? status : 0;
	// A channel message is whole; a system message may carry strays after
	// its own bytes, which the packetiser drops.  F4, F5 and F7 carry nothing.
	const std::size_t length = std::min(message_length(status), message.size());
	for (std::size_t i = keep_status ? 1 : 0; i < message.size(); i++) {
		put(message[i], i > 0);
		if (i + 1 == length)
			owe(bytes(message.begin(), message.begin() + static_cast<long>(length)));
	}
}

void wire_model::start_over()
{
	running = 0;
	in_sysex = false;
	chunk.clear();
}

// ---- what arrived ----------------------------------------------------------------

bytes stream_of(std::uint64_t seed, const traffic_mix &mix, const wire_style &style, std::size_t size)
{
	message_source source(seed, mix);
	wire_model wire(seed + 1, style);
	while (wire.wire.size() < size)
		wire.add(source.next());
	return std::move(wire.wire);
}

std::uint8_t code_index_of(std::span<const std::uint8_t> e)
{
	if (e.empty() || e.size() > 3)
		return 0;
	const std::uint8_t s = e[0];
	if (s == 0xF0 || s == 0xF7 || s < 0x80) {
		const bool ends = e.back() == 0xF7;
		if (!all_data(e, s == 0xF0 ? 1 : 0, ends ? e.size() - 1 : e.size()))
			return 0;
		if (!ends)
			return e.size() == 3 ? 0x4 : 0;
		return static_cast<std::uint8_t>(0x4 + e.size());
	}
	if (message_length(s) != e.size() || !all_data(e, 1, e.size()))
		return 0;
	if (s >= 0xF8)
		return 0xF;
	if (is_channel(s))
		return static_cast<std::uint8_t>(s >> 4);
	return s == 0xF2 ? 0x3 : s == 0xF6 ? 0x5 : 0x2;
}

int channel_of(const bytes &event)
{
	return !event.empty() && is_channel(event[0]) ? event[0] & 0x0F : -1;
}

std::vector<bytes> on_channel(const std::vector<bytes> &events, unsigned c)
{
	std::vector<bytes> out;
	for (const auto &e : events)
		if (channel_of(e) == static_cast<int>(c))
			out.push_back(e);
	return out;
}

const char *event_checker::problem(const bytes &event)
{
	const std::uint8_t code = code_index_of(event);
	if (code == 0)
		return "no message or System Exclusive chunk the packetiser makes";
	if (event[0] >= 0xF8)
		return nullptr;
	if ((event[0] < 0x80 || event[0] == 0xF7) && !in_sysex)
		return "System Exclusive chunk with none open";
	in_sysex = code == 0x4;
	return nullptr;
}

std::vector<char> malformed_events(const std::vector<bytes> &events)
{
	std::vector<char> bad;
	event_checker check;
	for (const auto &e : events)
		bad.push_back(check.problem(e) != nullptr);
	return bad;
}

std::vector<char> malformed_channel_events(const std::vector<bytes> &events, unsigned c)
{
	std::vector<char> bad;
	for (const auto &e : events) {
		const std::uint8_t code = code_index_of(e);
		bad.push_back(code < 0x8 || code > 0xE || channel_of(e) != static_cast<int>(c));
	}
	return bad;
}

std::vector<bytes> split_messages(const bytes &in, std::vector<char> &bad)
{
	std::vector<bytes> out;
	bad.clear();
	std::size_t i = 0;
	while (i < in.size()) {
		const std::uint8_t b = in[i];
		std::size_t len = message_length(b);
		bool ok = len > 0;
		if (b == 0xF0) {
			std::size_t j = i + 1;
			while (j < in.size() && in[j] < 0x80)
				j++;
			ok = j < in.size() && in[j] == 0xF7;
			len = ok ? j + 1 - i : j - i;
		} else if (len == 0) {
			len = 1;
		}
		len = std::min(len, in.size() - i);
		if (b != 0xF0)
			for (std::size_t k = 1; k < len; k++)
				if (in[i + k] >= 0x80) {
					len = k;
					ok = false;
					break;
				}
		out.emplace_back(in.begin() + static_cast<long>(i), in.begin() + static_cast<long>(i + len));
		bad.push_back(!ok);
		i += len;
	}
	return out;
}

// ---- comparing ---------------------------------------------------------------------

void tally::add(const tally &t)
{
	matched += t.matched;
	lost += t.lost;
	duplicated += t.duplicated;
	reordered += t.reordered;
	corrupt += t.corrupt;
	in_flight += t.in_flight;
	approximate = approximate || t.approximate;
}

std::string tally::text() const
{
	return std::to_string(lost) + " lost, " + std::to_string(duplicated) + " duplicated, " +
	       std::to_string(reordered) + " reordered, " + std::to_string(corrupt) + " corrupt" +
	       (approximate ? " (approx.)" : "");
}

namespace {

std::uint64_t fingerprint(const bytes &b)
{
	std::uint64_t h = 0xCBF29CE484222325ull ^ b.size();
	for (std::uint8_t c : b)
		h = (h ^ c) * 0x100000001B3ull;
	return h;
}

// Myers' diff on fingerprints: marks the items of a and b that belong to
// one longest common subsequence.  False when the edit distance exceeds
// max_d (the marks are then meaningless).
bool common_items(const std::vector<std::uint64_t> &a, const std::vector<std::uint64_t> &b, int max_d,
                  std::vector<char> &a_kept, std::vector<char> &b_kept)
{
	const int n = static_cast<int>(a.size()), m = static_cast<int>(b.size());
	a_kept.assign(a.size(), 0);
	b_kept.assign(b.size(), 0);
	const int limit = std::min(max_d, n + m);
	const int off = limit + 1;
	std::vector<int> v(2 * limit + 3, 0);
	std::vector<std::vector<int>> trace;
	for (int d = 0; d <= limit; d++) {
		trace.push_back(v);
		for (int k = -d; k <= d; k += 2) {
			int x = (k == -d || (k != d && v[off + k - 1] < v[off + k + 1])) ? v[off + k + 1]
			                                                                    : v[off + k - 1] + 1;
			int y = x - k;
			while (x < n && y < m && a[x] == b[y]) {
				x++;
				y++;
			}
			v[off + k] = x;
			if (x < n || y < m)
				continue;
			// Walk back through the trace, marking the diagonal runs.
			for (int e = d; e > 0; e--) {
				const auto &w = trace[e];
				const int kk = x - y;
				const int pk = (kk == -e || (kk != e && w[off + kk - 1] < w[off + kk + 1])) ? kk + 1 : kk - 1;
				const int px = w[off + pk], py = px - pk;
				const int sx = pk == kk + 1 ? px : px + 1; // where the run after the edit starts
				const int sy = sx - kk;
				while (x > sx && y > sy) {
					a_kept[--x] = 1;
					b_kept[--y] = 1;
				}
				x = px;
				y = py;
			}
			while (x > 0 && y > 0) {
				a_kept[--x] = 1;
				b_kept[--y] = 1;
			}
			return true;
		}
	}
	return false;
}

} // namespace

tally compare(const std::vector<bytes> &want, const std::vector<bytes> &got, const std::vector<char> &bad,
              bool tail_may_miss)
{
	tally t;
	const bool no_bad = std::find(bad.begin(), bad.end(), 1) == bad.end();
	if (no_bad && got.size() <= want.size() && std::equal(got.begin(), got.end(), want.begin()) &&
	    (got.size() == want.size() || tail_may_miss)) {
		t.matched = got.size();
		t.in_flight = want.size() - got.size();
		return t;
	}
	std::vector<std::uint64_t> a, b;
	for (const auto &w : want)
		a.push_back(fingerprint(w));
	for (const auto &g : got)
		b.push_back(fingerprint(g));
	std::vector<char> a_kept, b_kept;
	if (!common_items(a, b, 2000, a_kept, b_kept)) {
		std::size_t prefix = 0;
		while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix])
			prefix++;
		t.matched = prefix;
		t.lost = a.size() - prefix;
		t.corrupt = b.size() - prefix;
		t.approximate = true;
		return t;
	}
	long last_kept = -1;
	for (std::size_t i = 0; i < a.size(); i++)
		if (a_kept[i]) {
			t.matched++;
			last_kept = static_cast<long>(i);
		}
	std::unordered_multiset<std::uint64_t> missing; // owed, not arrived, not excused
	for (std::size_t i = 0; i < a.size(); i++) {
		if (a_kept[i])
			continue;
		if (tail_may_miss && static_cast<long>(i) > last_kept)
			t.in_flight++;
		else
			missing.insert(a[i]);
	}
	const std::unordered_multiset<std::uint64_t> owed(a.begin(), a.end());
	std::uint64_t strays = 0;
	for (std::size_t j = 0; j < b.size(); j++) {
		if (j < bad.size() && bad[j]) { // owed that way or not, no packet looks like it
			strays++;
			continue;
		}
		if (b_kept[j])
			continue;
		if (auto it = missing.find(b[j]); it != missing.end()) {
			missing.erase(it);
			t.reordered++;
		} else if (owed.count(b[j]) != 0) {
			t.duplicated++;
		} else {
			strays++;
		}
	}
	t.corrupt = strays;
	t.lost = missing.size();
	return t;
}

std::string hex(const bytes &b)
{
	std::string out;
	char digits[4];
	for (const std::uint8_t x : b) {
		std::snprintf(digits, sizeof digits, "%02X", x);
		out += (out.empty() ? "" : " ") + std::string(digits);
	}
	return out;
}

std::string hex(const std::vector<bytes> &events)
{
	std::string out;
	for (const auto &e : events)
		out += (out.empty() ? "" : "; ") + hex(e);
	return out;
}

namespace {

template <class T>
std::string first_difference(const std::vector<T> &got, const std::vector<T> &want, const char *items,
                             std::string (*show)(const T &))
{
	std::size_t i = 0;
	while (i < got.size() && i < want.size() && got[i] == want[i])
		i++;
	std::string out = "got " + std::to_string(got.size()) + " " + items + ", want " + std::to_string(want.size()) +
	                  ", first difference at " + std::to_string(i);
	if (i < got.size())
		out += ": got " + show(got[i]);
	if (i < want.size())
		out += std::string(i < got.size() ? ", " : ": ") + "want " + show(want[i]);
	return out;
}

std::string hex_event(const bytes &e) { return hex(e); }
std::string hex_byte(const std::uint8_t &b) { return hex(bytes{b}); }

} // namespace

std::string first_difference(const std::vector<bytes> &got, const std::vector<bytes> &want)
{
	return first_difference(got, want, "events", hex_event);
}

std::string first_difference(const bytes &got, const bytes &want)
{
	return first_difference(got, want, "bytes", hex_byte);
}

std::string difference(const std::vector<bytes> &got, const std::vector<bytes> &want)
{
	if (got == want)
		return "";
	return first_difference(got, want) + "; a diff finds " + compare(want, got, {}).text();
}

std::string difference(const bytes &got, const bytes &want)
{
	if (got == want)
		return "";
	std::vector<char> got_bad, want_bad;
	const std::vector<bytes> got_messages = split_messages(got, got_bad);
	const std::vector<bytes> want_messages = split_messages(want, want_bad);
	return first_difference(got, want) + "; as messages, a diff finds " +
	       compare(want_messages, got_messages, got_bad).text();
}

} // namespace cftest
