#!/usr/bin/env bash
# The systemd template unit, as shipped.
#
# 1. systemd-analyze verify accepts the instance for /dev/snd/midiC1D0, in a
#    root folder laid out like an installed system (the program in /usr/bin,
#    the unit in /lib/systemd/system), and refuses it when the program is
#    missing, so the check is not vacuous.
# 2. The instance name, %I and the device unit agree with systemd-escape.
# 3. The unit's command line, expanded as systemd expands it for an
#    instance, with the shipped /etc/default/cableferry, run against a real
#    JACK server that runs as the configured user, on a FIFO standing in for
#    the raw MIDI node: each way the bridge ends gives the status the unit's
#    restart policy expects (no server yet: 69, tried again; the server
#    restarting: 0, started again; node unplugged: 0, stopped by its device
#    unit; empty user: 64, stays down), and while it runs the client sits on
#    that user's server under the node's name.
#
#   systemd_unit.sh <source folder> <cableferry binary>
#
# The node is made on a private tmpfs mounted on /dev/snd in a mount
# namespace of the script's own, never in the machine's /dev/snd; where the
# script cannot have one, part 3 is skipped.

# Into a mount namespace of our own first, before lib.sh makes anything.
if [ -z "${CABLEFERRY_OWN_MOUNTS:-}" ] && [ "$(id -u)" -eq 0 ] &&
	unshare --mount --propagation private true 2> /dev/null; then
	CABLEFERRY_OWN_MOUNTS=1 exec unshare --mount --propagation private bash "$0" "$@"
fi
source "$(dirname "$0")/lib.sh"
src=${1:?usage: systemd_unit.sh <source folder> <cableferry binary>}
binary=${2:?usage: systemd_unit.sh <source folder> <cableferry binary>}
unit=$src/contrib/systemd/cableferry@.service
conf=$src/contrib/systemd/cableferry.conf

command -v systemd-analyze > /dev/null || skip "systemd-analyze is not installed (scripts/setup installs systemd)"
command -v systemd-escape > /dev/null || skip "systemd-escape is not installed"

# ---- 1. systemd-analyze verify ---------------------------------------------
# A root folder with the targets systemd needs to build a start job, the unit
# and, unless told otherwise, the program where the package puts it.
make_root() { # make_root <folder> <with program: yes|no>
	mkdir -p "$1/lib/systemd/system" "$1/usr/bin" "$1/etc/default"
	cp /lib/systemd/system/*.target "$1/lib/systemd/system/" 2> /dev/null || true
	cp "$unit" "$1/lib/systemd/system/"
	cp "$conf" "$1/etc/default/cableferry"
	[ "$2" = no ] || cp "$binary" "$1/usr/bin/cableferry"
}
instance=cableferry@snd-midiC1D0.service

make_root "$work/root" yes
if out=$(systemd-analyze verify --man=no --root="$work/root" "$instance" 2>&1) && [ -z "$out" ]; then
	pass "systemd-analyze verify $instance: clean"
elif grep -qiE 'not (booted|supported)|Failed to (initialize|connect|set up)|Operation not permitted' <<< "$out"; then
	skip "systemd-analyze cannot run here: $out"
else
	fail "systemd-analyze verify $instance:"$'\n'"$out"
fi
make_root "$work/bare" no
if systemd-analyze verify --man=no --root="$work/bare" "$instance" > "$work/bare.out" 2>&1; then
	fail "systemd-analyze verify accepts the unit without its program: the check proves nothing"
else
	grep -q 'not executable' "$work/bare.out" && pass "verify notices a missing program" \
		|| fail "verify failed for another reason:"$'\n'"$(cat "$work/bare.out")"
fi

# ---- 2. names ----------------------------------------------------------------
key() { # key <name>: the values of a [Service] or [Unit] key, one a line
	sed -n "s/^$1=//p" "$unit"
}
# The node's path below /dev, escaped: the escaped full path less "dev-".
below_dev() { local e; e=$(systemd-escape --path "$1"); echo "${e#dev-}"; }
escaped=$(below_dev /dev/snd/midiC1D0)
[ "$escaped" = snd-midiC1D0 ] && pass "instance for /dev/snd/midiC1D0 is $escaped" \
	|| fail "the instance for /dev/snd/midiC1D0 is $escaped"
node=/dev/$(systemd-escape --unescape "$escaped")      # what /dev/%I becomes
[ "$node" = /dev/snd/midiC1D0 ] && pass "/dev/%I is $node" || fail "/dev/%I is $node"
device_unit=$(systemd-escape --path --suffix=device /dev/snd/midiC1D0)
for k in BindsTo After; do
	if key "$k" | tr ' ' '\n' | sed "s/%i/$escaped/" | grep -qx "$device_unit"; then
		pass "$k= names $device_unit"
	else
		fail "$k= does not name $device_unit"
	fi
done
key After | grep -qw sound.target && pass "After=sound.target" || fail "not ordered after sound.target"

# ---- 3. the command line and the restart policy -------------------------------
exec_start=$(key ExecStart)
[ "$(key Type)" = exec ] || [ "$(key Type)" = simple ] || fail "Type=$(key Type): the bridge runs in the foreground"
for word in -k -U; do
	grep -qw -- "$word" <<< "$exec_start" && pass "ExecStart has $word" || fail "ExecStart lacks $word"
done
grep -qw -- -B <<< "$exec_start" && fail "ExecStart has -B; systemd wants the bridge in the foreground"
grep -q -- '-d /dev/%I$' <<< "$exec_start" && pass "ExecStart ends with -d /dev/%I" || fail "ExecStart does not end with -d /dev/%I"

# restarts <status>: "yes" when systemd restarts the unit after that exit
# status, under the unit's Restart=, SuccessExitStatus= and
# RestartPreventExitStatus= (only Restart=on-failure and always are read).
restarts() {
	local status=$1 restart success prevent
	restart=$(key Restart)
	success=" 0 $(key SuccessExitStatus | tr '\n' ' ') "
	prevent=" $(key RestartPreventExitStatus | tr '\n' ' ') "
	if [[ $prevent == *" $status "* ]]; then echo no; return; fi
	case $restart in
	always) echo yes ;;
	on-failure) [[ $success == *" $status "* ]] && echo no || echo yes ;;
	*) echo no ;;
	esac
}

# The rest needs root (a FIFO on /dev/snd, a change of user) and jackd.
stop_here() { echo "SKIP (the rest): $*"; finish; exit; }
[ "$(id -u)" -eq 0 ] || stop_here "not root"
[ -w /dev ] || stop_here "/dev is not writable"
command -v jackd > /dev/null || stop_here "jackd is not installed"
command -v setpriv > /dev/null || stop_here "setpriv is not installed"

[ -n "${CABLEFERRY_OWN_MOUNTS:-}" ] || stop_here "no mount namespace of its own for a private /dev/snd"

# The node: a FIFO at /dev/snd/midiC<pid>D7; no sysfs card has that number, so
# the client gets the general name.  Where /dev/snd is missing, an empty
# folder is made as the mount point and removed at the end.
if [ ! -d /dev/snd ]; then
	mkdir /dev/snd
	made_paths+=(/dev/snd)
fi
mount -t tmpfs -o mode=0755 tmpfs /dev/snd || stop_here "cannot mount a tmpfs on /dev/snd"
trap 'umount -l /dev/snd 2> /dev/null || true; cleanup' EXIT
card=$$
fifo=/dev/snd/midiC${card}D7
mkfifo -m 600 "$fifo"
made_paths+=("$fifo")
instance_name=$(below_dev "$fifo")

# The environment systemd gives the service: the shipped config file, with
# the private server's name added the way the file describes.
user=$(sed -n 's/^CABLEFERRY_USER=//p' "$conf")
[ -n "$user" ] || fail "the shipped config sets no CABLEFERRY_USER"
uid=$(id -u "$user" 2> /dev/null || echo "$user")

# expand <environment file>: the ExecStart words for the instance, one a
# line, with ${VAR} as one word and $VAR split on blanks, as systemd does,
# and the program's name replaced by the binary under test.
expand() {
	local envfile=$1 word name value first=yes
	declare -A env=()
	while IFS= read -r line; do
		[[ $line =~ ^([A-Za-z_][A-Za-z0-9_]*)=(.*)$ ]] && env[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
	done < "$envfile"
	for word in $exec_start; do
		if [ $first = yes ]; then
			[ "$word" = cableferry ] || [ "$word" = /usr/bin/cableferry ] || fail "ExecStart runs $word"
			echo "$binary"
			first=no
			continue
		fi
		if [[ $word =~ ^\$\{([A-Za-z_][A-Za-z0-9_]*)\}$ ]]; then
			name=${BASH_REMATCH[1]}
			echo "${env[$name]-}"
		elif [[ $word =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
			name=${BASH_REMATCH[1]}
			for value in ${env[$name]-}; do echo "$value"; done
		else
			word=${word//%I/$(systemd-escape --unescape "$instance_name")}
			echo "${word//%i/$instance_name}"
		fi
	done
}

# run_service <environment file>: starts the bridge as the unit would; sets
# bridge_pid.  Its output goes to $work/bridge.log.
run_service() {
	local -a argv env_args=()
	mapfile -t argv < <(expand "$1")
	while IFS= read -r line; do
		[[ $line =~ ^[A-Za-z_][A-Za-z0-9_]*= ]] && env_args+=("$line")
	done < "$1"
	env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "${env_args[@]}" "${argv[@]}" > "$work/bridge.log" 2>&1 &
	bridge_pid=$!
	client_pids+=("$bridge_pid")
}

# expect_end <what> <status> <restart: yes|no>
expect_end() {
	wait_status 15 "$bridge_pid"
	if [ "$exit_status" = "$2" ]; then
		pass "$1: status $2"
	else
		fail "$1: status $exit_status, expected $2; output:"$'\n'"$(cat "$work/bridge.log")"
	fi
	if [ "$(restarts "$2")" = "$3" ]; then
		pass "$1: restarted by systemd: $3"
	else
		fail "$1: the unit's policy gives restart=$(restarts "$2") after status $2, wanted $3"
	fi
}

server_name=cfpkg_$$_$RANDOM # the server started below gets this name
env_file=$work/default
{ cat "$conf"; echo "JACK_DEFAULT_SERVER=$server_name"; } > "$env_file"
exec 3<> "$fifo" # a reader and a writer, so both directions can open

# No JACK server yet: status 69, and systemd tries again.
run_service "$env_file"
expect_end "no JACK server" 69 yes
grep -q 'Could not connect to the JACK server' "$work/bridge.log" || fail "no connect message"

# The user's server is up: the bridge attaches to it under the node's name.
# jack_evmon logs the server's notices, port announcements among them; its
# first line comes with its own activation.
start_jack_server "$work/jackd.log" 256 sync "$uid" || { fail "jackd would not start as uid $uid"; finish; }
# $! is jack_evmon itself (stdbuf execs it): it outlives its server and is
# stopped at the end.
server_user_command stdbuf -oL jack_evmon
"${server_cmd[@]}" > "$work/evmon.log" 2>&1 &
client_pids+=("$!")
wait_for 10 grep -q 'Graph reordered' "$work/evmon.log" || fail "jack_evmon did not start"
run_service "$env_file"
client="cableferry-snd/midiC${card}D7"
if wait_for 10 has_port "$client:midi.RX"; then
	pass "attached to uid $uid's server as $client"
else
	fail "no client $client on uid $uid's server; ports:"$'\n'"$(jack_ports)"$'\n'"output:"$'\n'"$(cat "$work/bridge.log")"
fi
alive "$bridge_pid" && pass "the bridge keeps running" || fail "the bridge ended: $(cat "$work/bridge.log")"

# The server restarts (QjackCtl does so whenever the period size changes):
# status 0, and systemd starts the bridge again, which attaches to the new
# server.  The server is stopped only once the bridge is active: a port can
# be listed before that, but jackd2 announces it only at activation.
wait_for 10 grep -q '^Port .* registered' "$work/evmon.log" || fail "the bridge's port was never announced"
stop_jack_server
expect_end "JACK server stopped" 0 yes
start_jack_server "$work/jackd.log" 256 sync "$uid" || { fail "jackd would not start again as uid $uid"; finish; }
run_service "$env_file"
wait_for 10 has_port "$client:midi.RX" && pass "attached again to the restarted server" \
	|| fail "no client $client on the restarted server; output:"$'\n'"$(cat "$work/bridge.log")"

# Unplug: the node goes away, -k ends the bridge with status 0.  The restart
# that follows never comes: BindsTo= (checked above) stops the instance with
# its device unit.
rm -f "$fifo"
expect_end "node removed" 0 yes
exec 3>&-
wait_for 10 only_system_ports || fail "the bridge's ports stayed on the server"

# An empty user in the config: status 64, and systemd leaves it down.
sed 's/^CABLEFERRY_USER=.*/CABLEFERRY_USER=/' "$env_file" > "$work/default.empty"
run_service "$work/default.empty"
expect_end "empty CABLEFERRY_USER" 64 no
grep -q ': illegal user name' "$work/bridge.log" || fail "no illegal user name message"

finish
