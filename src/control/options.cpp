// Command-line scanning.
//
// getopt runs with a leading '+' in the option string so that glibc, like the
// BSD scanner, stops at the first operand instead of moving operands to the
// end.  A repeated option replaces the earlier value; -d sets both paths, so
// "-d a -C b" captures from b and plays back to a.  A -U argument is resolved
// the moment it is seen: a refusal ends the scan, and later options are never
// looked at.
#include "control/options.h"
#include "control/user.h"

#include <unistd.h>


namespace cableferry {

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
				return {scan_result::bad_user, optarg};
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
		default: // -h, an unknown option, a missing argument
			return {scan_result::usage, nullptr};
		}
	}
	if (!settings.capture_path && !settings.playback_path)
		return {scan_result::usage, nullptr};
	return {scan_result::run, nullptr};
}

} // namespace cableferry
