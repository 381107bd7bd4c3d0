# Sourced by the scripts that start JACK servers.
#
# Every JACK server of a user shares /dev/shm: a table of eight servers, and
# a metadata store that a stopping server deletes under the other servers'
# clients.  enter_private_shm re-executes the calling script in a mount
# namespace of its own with a fresh /dev/shm, when it can (root and
# util-linux unshare), so that a JACK server already running on the machine
# and the script's own servers leave each other alone.
#
#   enter_private_shm MARKER SCRIPT [ARGS...]
#
# MARKER names an environment variable that is set inside, so the script runs
# on when it gets there; SCRIPT is the script's real path (its $0 may be
# relative to a folder it has since left).  Returns 1 when it cannot.
enter_private_shm() {
	local marker=$1
	shift
	[ -z "${!marker:-}" ] || return 0
	[ "$(id -u)" -eq 0 ] && command -v unshare > /dev/null &&
		unshare --mount --propagation private true 2> /dev/null || return 1
	export "$marker=1"
	exec unshare --mount --propagation private \
		bash -c 'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && exec "$@"' _ "$@"
}
