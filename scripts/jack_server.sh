# shellcheck shell=bash
# Sourced by every script that starts a JACK server: scripts/demo,
# scripts/measure and the packaging tests.  One private jackd at a time,
# with the dummy backend, started and stopped by its id.
#
#   start_jack_server LOG [PERIOD [sync|async [UID]]]
#       Starts jackd (period 256 and synchronous unless told otherwise, as
#       UID when given, with that user's group and no other) under the name
#       in server_name, or a private one made up when that is empty, and
#       waits until it answers.  Sets server_pid and server_uid and exports
#       JACK_DEFAULT_SERVER.  Status 1, with the log on standard error, when
#       it does not come up.
#   stop_jack_server [SECONDS]
#       Waits up to SECONDS (0 by default) for the server's clients to
#       leave, then stops it and removes the semaphores its clients left.
#       A server that sees its clients go first ends cleanly and frees its
#       entry in JACK's shared registry; one that dies otherwise keeps it
#       for good.
#   server_user_command COMMAND...
#       Sets the array server_cmd to COMMAND run as the server's user with
#       the server's name.  Run as a plain command ("${server_cmd[@]}" &),
#       $! is COMMAND itself: setpriv and env exec it.
#   jack_ports, has_port PORT, only_system_ports
#       The server's ports as its user sees them; whether it lists PORT;
#       whether it has none but its own.
#   wait_for SECONDS COMMAND..., alive PID
#       Polls COMMAND until it succeeds (status 1 at the deadline); whether
#       a process exists and has not ended (a zombie has ended).

server_name=""  # the server's name
server_pid=""   # its id while it runs
server_uid=""   # the user it runs as

server_user_command() {
	server_cmd=(env JACK_DEFAULT_SERVER="$server_name" "$@")
	[ "${server_uid:-$(id -u)}" = "$(id -u)" ] ||
		server_cmd=(setpriv --reuid="$server_uid" --regid="$server_uid" --clear-groups "${server_cmd[@]}")
}

jack_ports() {
	server_user_command jack_lsp
	"${server_cmd[@]}" 2> /dev/null || true
}

has_port() {
	jack_ports | grep -qxF -- "$1"
}

only_system_ports() {
	! jack_ports | grep -qv '^system:'
}

wait_for() {
	local deadline=$((SECONDS + $1))
	shift
	until "$@" > /dev/null 2>&1; do
		[ $SECONDS -lt "$deadline" ] || return 1
		sleep 0.05
	done
}

alive() {
	local stat
	stat=$(cat "/proc/$1/stat" 2> /dev/null) || return 1
	stat=${stat##*) }
	[ "${stat%% *}" != Z ]
}

start_jack_server() {
	local log=$1 period=${2:-256} mode=${3:-sync}
	server_uid=${4:-$(id -u)}
	server_name=${server_name:-cf_$$_$RANDOM}
	export JACK_DEFAULT_SERVER=$server_name
	local -a sync=()
	[ "$mode" = sync ] && sync=(-S)
	server_user_command jackd "${sync[@]}" -n "$server_name" -d dummy -r 48000 -p "$period"
	"${server_cmd[@]}" > "$log" 2>&1 &
	server_pid=$!
	if ! wait_for 20 server_answers; then
		cat "$log" >&2
		echo "jackd $server_name did not come up" >&2
		return 1
	fi
}

server_answers() {
	alive "$server_pid" && [ -n "$(jack_ports)" ]
}

stop_jack_server() {
	[ -n "$server_pid" ] || return 0
	wait_for "${1:-0}" only_system_ports || true
	kill "$server_pid" 2> /dev/null || true
	wait "$server_pid" 2> /dev/null || true
	rm -f /dev/shm/jack_sem."$server_uid"_"$server_name"_* 2> /dev/null || true
	server_pid=""
}
