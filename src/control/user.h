// Users: who -U names, and the change of user.
//
// The daemon opens its device nodes with the rights it starts with, then
// becomes the user whose JACK server it serves.  Root's groups are dropped
// before root's user id, so nothing of root stays behind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace cableferry {

// Resolves a -U argument: a user name from the password database, else a
// whole decimal number that fits in 32 bits.  False when it is neither.
// name is set to the argument when it was found as a user name.
bool resolve_user(const char *arg, std::uint32_t &uid, std::optional<std::string> &name);

// Becomes uid, with the groups of the password entry found by name (when
// given) or by uid; for a uid without an entry, with no supplementary
// groups and the group id equal to uid.  False when any step fails or root's
// rights could be taken back afterwards.
bool change_user(std::uint32_t uid, const char *name);

} // namespace cableferry
