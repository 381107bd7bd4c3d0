// Reading the real-time probe's reports (rt_probe.h).
#include "support/rt_probe.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/jack_harness.h"

namespace cftest {

std::string rt::report::forbidden_text() const
{
	std::string out;
	for (const counter c : forbidden)
		out += (out.empty() ? "" : " ") + std::string(counter_names[c]) + "=" + std::to_string(n[c]);
	return out;
}

std::string rt_probe_library()
{
#ifdef RT_PROBE_LIBRARY
	return RT_PROBE_LIBRARY;
#else
	return {};
#endif
}

std::vector<std::string> rt_probe_env(const std::string &file, std::chrono::milliseconds interval)
{
	return {"LD_PRELOAD=" + rt_probe_library(), "RT_PROBE_FILE=" + file,
	        "RT_PROBE_INTERVAL_MS=" + std::to_string(interval.count())};
}

std::optional<rt::report> read_rt_report(const std::string &path)
{
	std::ifstream in(path);
	std::string word;
	rt::report r;
	std::size_t seen = 0;
	while (in >> word) {
		const auto eq = word.find('=');
		if (eq == std::string::npos)
			return std::nullopt;
		const std::string_view key(word.data(), eq);
		std::string text = word.substr(eq + 1);
		if (key == "buckets") {
			std::replace(text.begin(), text.end(), ',', ' ');
			std::istringstream value(text);
			for (auto &b : r.bucket)
				value >> b;
			seen += !value.fail();
			continue;
		}
		std::istringstream value(text);
		for (std::size_t c = 0; c < rt::counter_count; c++)
			if (rt::counter_names[c] == key && value >> r.n[c])
				seen++;
	}
	return seen == rt::counter_count + 1 ? std::optional<rt::report>(r) : std::nullopt;
}

std::optional<rt::report> settled_rt_report(const std::string &path, std::chrono::milliseconds timeout)
{
	const auto first = read_rt_report(path);
	const std::uint64_t wanted = (first ? (*first)[rt::reports] : 0) + 2;
	std::optional<rt::report> last;
	wait_until([&] {
		last = read_rt_report(path);
		return last && (*last)[rt::reports] >= wanted;
	}, timeout);
	return last && (*last)[rt::reports] >= wanted ? last : std::nullopt;
}

} // namespace cftest
