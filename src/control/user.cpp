// Users: resolving -U's argument, and the change of user.
//
// An argument is a user name first and a number only when no user has that
// name.  While the process has root rights it first sets its groups: the user's own
// (initgroups) and primary group when the user id has a password entry,
// otherwise no supplementary groups and a group id equal to the user id.
// Only then does it set the user id.  A drop that can be undone (setuid(0)
// still works afterwards) counts as a failure.
#include "control/user.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace cableferry {

bool resolve_user(const char *arg, std::uint32_t &uid, std::optional<std::string> &name)
{
	if (const passwd *pw = getpwnam(arg); pw != nullptr) {
		uid = pw->pw_uid;
		name = arg;
		return true;
	}
	// An empty argument, or a number beyond 32 bits, would otherwise become
	// root or wrap round to some other user.
	if (*arg == '\0')
		return false;
	char *end = nullptr;
	errno = 0;
	const unsigned long value = std::strtoul(arg, &end, 10);
	if (end == arg || *end != '\0' || errno == ERANGE)
		return false;
	const auto cut = static_cast<std::uint32_t>(value);
	// A positive number beyond 32 bits is refused outright.  strtoul
	// negates what follows a '-', so "-4294967295" would come out as 1;
	// "-1" reads as the largest value and cuts to 4294967295, which no user
	// has: setuid refuses it later, so it is let through.
	const char *digits = arg + std::strspn(arg, " \t\n\v\f\r");
	const bool negative = *digits == '-' && value != 0;
	if (!negative && value > UINT32_MAX)
		return false;
	if (negative && cut != UINT32_MAX)
		return false;
	uid = cut;
	name.reset();
	return true;
}


bool change_user(std::uint32_t uid, const char *name)
{
	if (getuid() == 0 || geteuid() == 0) {
		const passwd *pw = name != nullptr ? getpwnam(name) : getpwuid(uid);
		if (pw != nullptr) {
			if (initgroups(pw->pw_name, pw->pw_gid) != 0 || setgid(pw->pw_gid) != 0)
				return false;
		} else {
			if (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(uid)) != 0)
				return false;
		}
	}
	if (setuid(static_cast<uid_t>(uid)) != 0)
		return false;
	if (uid != 0 && setuid(0) == 0)
		return false;
	return true;
}

} // namespace cableferry
