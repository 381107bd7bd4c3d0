// Change of user.
//
// The daemon opens its device nodes with the rights it starts with, then
// becomes the user whose JACK server it serves.  Root's groups are dropped
// before root's user id, so nothing of root stays behind.
#pragma once

#include <cstdint>

namespace cableferry {

// Becomes uid, with the groups of the password entry found by name (when
// given) or by uid; for a uid without an entry, with no supplementary
// groups and the group id equal to uid.  False when any step fails or root's
// rights could be taken back afterwards.
bool change_user(std::uint32_t uid, const char *name);

} // namespace cableferry
