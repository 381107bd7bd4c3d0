# shellcheck shell=bash
# Helpers shared by the packaging tests (sourced, not run).
#
# Each test makes one temporary folder, records every process it starts by
# its id, and on exit stops them in an order that lets jackd end cleanly:
# JACK clients first, then, once the server has seen them go, the server
# itself.  A jackd that dies otherwise keeps its entry in the server
# registry in /dev/shm for good.  Nothing is ever stopped by name.
#
# A test that cannot run here exits with status 77 (CTest's skip code) and
# says why.

set -euo pipefail

work=$(mktemp -d /tmp/cableferry-pkgtest.XXXXXX)
client_pids=()   # processes that may be JACK clients, stopped first
server_pid=""    # the test's jackd
server_name=""   # its name
server_uid=""    # the user it runs as
made_paths=()    # files and folders outside $work to remove, last first

failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
skip() { echo "SKIP: $*"; exit 77; }
finish() { # prints the closing line and exits non-zero on any failure
	if [ "$failures" -gt 0 ]; then
		echo "$failures check(s) failed" >&2
		exit 1
	fi
	echo "all checks passed"
}

# as_server_user <command...>: runs a command as the user the server runs as.
as_server_user() {
	if [ "$server_uid" = "$(id -u)" ]; then
		"$@"
	else
		setpriv --reuid="$server_uid" --regid="$server_uid" --clear-groups "$@"
	fi
}

# jack_ports: the server's ports, one a line (nothing if it does not answer).
jack_ports() {
	as_server_user env JACK_DEFAULT_SERVER="$server_name" jack_lsp 2> /dev/null || true
}

# wait_for <seconds> <command...>: polls the command until it succeeds.
wait_for() {
	local deadline=$((SECONDS + $1))
	shift
	until "$@" > /dev/null 2>&1; do
		[ $SECONDS -lt "$deadline" ] || return 1
		sleep 0.1
	done
}

# start_jackd <uid>: a dummy-backend server run as uid, under the private
# name in server_name (one is made up when it is empty).
start_jackd() {
	server_uid=$1
	server_name=${server_name:-cfpkg_$$_$RANDOM}
	# Started as a plain command, not through a function, so that $! is
	# jackd itself: setpriv and env exec it.
	local -a cmd=(env JACK_DEFAULT_SERVER="$server_name"
		jackd -S -n "$server_name" -d dummy -r 48000 -p 256)
	[ "$server_uid" = "$(id -u)" ] ||
		cmd=(setpriv --reuid="$server_uid" --regid="$server_uid" --clear-groups "${cmd[@]}")
	"${cmd[@]}" > "$work/jackd.log" 2>&1 &
	server_pid=$!
	if ! wait_for 20 server_answers; then
		cat "$work/jackd.log" >&2
		return 1
	fi
}

server_answers() {
	alive "$server_pid" && [ -n "$(jack_ports)" ]
}

# has_port <client:port>: the server lists that port.
has_port() {
	jack_ports | grep -qxF -- "$1"
}

# True when the server has no ports but its own.
only_system_ports() {
	! jack_ports | grep -qv '^system:'
}

# alive <pid>: the process exists and has not ended (a zombie has ended).
alive() {
	local stat
	stat=$(cat "/proc/$1/stat" 2> /dev/null) || return 1
	stat=${stat##*) }
	[ "${stat%% *}" != Z ]
}

# wait_status <seconds> <pid>: waits for a child of this shell to end and
# sets exit_status to its status, or to "running" when it has not ended in
# time.  (Not for use inside $(...): a subshell cannot wait for it.)
# shellcheck disable=SC2034 # exit_status is read by the tests
exit_status=""
# shellcheck disable=SC2034
wait_status() {
	local deadline=$((SECONDS + $1)) pid=$2
	while alive "$pid"; do
		if [ $SECONDS -ge "$deadline" ]; then
			exit_status=running
			return
		fi
		sleep 0.05
	done
	exit_status=0
	wait "$pid" || exit_status=$?
}

cleanup() {
	local p
	for p in "${client_pids[@]}"; do kill "$p" 2> /dev/null || true; done
	for p in "${client_pids[@]}"; do wait "$p" 2> /dev/null || true; done
	if [ -n "$server_pid" ]; then
		# Let the server notice its clients are gone before it is stopped.
		wait_for 5 only_system_ports || true
		kill "$server_pid" 2> /dev/null || true
		wait "$server_pid" 2> /dev/null || true
		rm -f /dev/shm/jack_sem."$server_uid"_"$server_name"_* 2> /dev/null || true
	fi
	local i
	for ((i = ${#made_paths[@]} - 1; i >= 0; i--)); do
		rm -f "${made_paths[i]}" 2> /dev/null || rmdir "${made_paths[i]}" 2> /dev/null || true
	done
	rm -rf "$work"
}
trap cleanup EXIT
