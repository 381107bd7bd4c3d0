// Change of user.
//
// While the process has root rights it first sets its groups: the user's own
// (initgroups) and primary group when the user id has a password entry,
// otherwise no supplementary groups and a group id equal to the user id.
// Only then does it set the user id.  A drop that can be undone (setuid(0)
// still works afterwards) counts as a failure.
#include "control/user.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace cableferry {

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
