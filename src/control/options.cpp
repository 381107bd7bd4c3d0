// Command-line scanning.
//
// getopt runs with a leading '+' in the option string so that glibc, like the
// BSD scanner, stops at the first operand instead of moving operands to the
// end.  A repeated option replaces the earlier value; -d sets both paths, so
// "-d a -C b" captures from b and plays back to a.  A -U argument is resolved
// the moment it is seen: a refusal ends the scan, and later options are never
// looked at.  A scan that ends at an operand reports it; with a device
// given before it the run goes on, without one it is a usage error.
#include "control/options.h"
#include "control/user.h"

#include <unistd.h>


namespace cableferry {

std::string usage_text()
{
	std::string text(usage_title);
	text += '\n';
	for (const usage_row &row : usage_rows) {
		text.append("\t-").append(1, row.letter);
		if (!row.argument.empty())
			text.append(" ").append(row.argument);
		text.append(" (").append(row.words).append(")\n");
	}
	return text;
}

scan_outcome scan_options(int argc, char **argv, bridge_settings_t &settings)
{
#if defined(__GLIBC__)
	optind = 0; // restarts glibc's scanner from scratch
#else
	optreset = 1; // the BSD way to restart it
	optind = 1;
#endif
	int ch;
	while ((ch = getopt(argc, argv, option_string)) != -1) {
		switch (ch) {
		case 'd':
			settings.capture_path = optarg;
			settings.playback_path = optarg;
			break;
		case 'C':
			settings.capture_path = optarg;
			break;
		case 'P':
			settings.playback_path = optarg;
			break;
		case 'S':
			settings.per_channel_ports = true;
			break;
		case 'U':
			if (!resolve_user(optarg, settings.user_id, settings.user_name))
				return {scan_result::bad_user, optarg, nullptr};
			settings.switch_user = true;
			break;
		case 'B':
			settings.background = true;
			break;
		case 'k':
			settings.exit_on_device_loss = true;
			break;
		case 'n':
			settings.name_prefix = optarg;
			break;
		case 't':
			settings.keep_timing = true;
			break;
		case 'w':
			settings.whole_sysex = true;
			break;
		case 'h':
			return {scan_result::help, nullptr, nullptr};
		default: // an unknown option, a missing argument
			return {scan_result::usage_error, nullptr, nullptr};
		}
	}
	const char *operand = optind < argc ? argv[optind] : nullptr;
	if (!settings.capture_path && !settings.playback_path)
		return {scan_result::usage_error, nullptr, operand};
	return {scan_result::run, nullptr, operand};
}

} // namespace cableferry
