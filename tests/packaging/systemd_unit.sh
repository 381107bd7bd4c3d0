#!/usr/bin/env bash
# The systemd template unit, as shipped.
#
# 1. systemd-analyze verify accepts the instance for hw:MkII,0,0, in a root
#    folder laid out like an installed system (the program in /usr/bin, the
#    unit in /lib/systemd/system), and refuses it when the program is
#    missing, so the check is not vacuous.
# 2. The instance names agree with systemd-escape: the escaped hw: name, or
#    the escaped path, comes back as %I; "systemctl enable" has a target.
# 3. The unit's command line, expanded as systemd expands it for an
#    instance, with the shipped /etc/default/cableferry, run against a real
#    JACK server that runs as the configured user: each way the bridge ends
#    gives the status the unit's restart policy expects (no user set: 64,
#    stays down; no server yet: 69, tried again; the server restarting: 0,
#    started again), and while it runs the client sits on that user's server
#    under the port's name, waiting for a card that is not there.
#
#   systemd_unit.sh <source folder> <cableferry binary>
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
port=hw:MkII,0,0
# systemd-analyze verify (252) takes a ':' in its argument for an alias, so
# the colon goes in as \x3a, which names the same port.
instance=$(systemd-escape --template=cableferry@.service "$port")
instance=${instance//:/\\x3a}

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
key() { # key <name>: the values of a [Service], [Unit] or [Install] key, one a line
	sed -n "s/^$1=//p" "$unit"
}
# %I: the instance, unescaped.
for arg in "$port" /dev/snd/midiC1D0; do
	escaped=$(systemd-escape -- "$arg")
	back=$(systemd-escape --unescape -- "$escaped")
	[ "$back" = "$arg" ] && pass "cableferry@$escaped bridges $back" || fail "cableferry@$escaped: %I is $back"
done
key After | grep -qw sound.target && pass "After=sound.target" || fail "not ordered after sound.target"
key WantedBy | grep -qw multi-user.target && pass "WantedBy=multi-user.target: systemctl enable starts it at boot" \
	|| fail "no WantedBy=: systemctl enable has nothing to hook it to"
[ -z "$(key BindsTo)" ] && pass "bound to no device: the bridge waits for its port" || fail "BindsTo=$(key BindsTo)"

# ---- 3. the command line and the restart policy -------------------------------
exec_start=$(key ExecStart)
[ "$(key Type)" = exec ] || [ "$(key Type)" = simple ] || fail "Type=$(key Type): the bridge runs in the foreground"
grep -qw -- -U <<< "$exec_start" && pass "ExecStart has -U" || fail "ExecStart lacks -U"
grep -qw -- -B <<< "$exec_start" && fail "ExecStart has -B; systemd wants the bridge in the foreground"
grep -qw -- -k <<< "$exec_start" && fail "ExecStart has -k; the bridge should wait for its port"
grep -q -- '-d %I$' <<< "$exec_start" && pass "ExecStart ends with -d %I" || fail "ExecStart does not end with -d %I"

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

# The rest needs root (a change of user) and jackd.
stop_here() { echo "SKIP (the rest): $*"; finish; exit; }
[ "$(id -u)" -eq 0 ] || stop_here "not root"
command -v jackd > /dev/null || stop_here "jackd is not installed"
command -v setpriv > /dev/null || stop_here "setpriv is not installed"
id nobody > /dev/null 2>&1 || stop_here "no user nobody"

# The port: a card id that no card here has, so the bridge waits for it.
instance_name=$(systemd-escape "hw:Cf$$,0,0")

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

# The shipped config names no user: the bridge refuses to start, and stays
# down until the admin sets one.
grep -qx 'CABLEFERRY_USER=' "$conf" && pass "the shipped config guesses no user" || fail "the shipped config sets a user"
run_service "$conf"
expect_end "no user set" 64 no
grep -q "'': illegal user name" "$work/bridge.log" || fail "no illegal user name message: $(cat "$work/bridge.log")"

# The user set, as the admin would, with the private server's name.
user=nobody
uid=$(id -u "$user")
server_name=cfpkg_$$_$RANDOM # the server started below gets this name
env_file=$work/default
sed "s/^CABLEFERRY_USER=.*/CABLEFERRY_USER=$user/" "$conf" > "$env_file"
echo "JACK_DEFAULT_SERVER=$server_name" >> "$env_file"

# No JACK server yet: status 69, and systemd tries again.
run_service "$env_file"
expect_end "no JACK server" 69 yes
grep -q "asked for the JACK server '$server_name' as user '$user'" "$work/bridge.log" \
	&& pass "the failure names the server and the user" || fail "no server or user named: $(cat "$work/bridge.log")"

# The user's server is up: the bridge attaches to it under the port's name.
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
client="cableferry-hw-Cf$$,0,0"
if wait_for 10 has_port "$client:midi.RX"; then
	pass "attached to uid $uid's server as $client"
else
	fail "no client $client on uid $uid's server; ports:"$'\n'"$(jack_ports)"$'\n'"output:"$'\n'"$(cat "$work/bridge.log")"
fi
alive "$bridge_pid" && pass "the bridge waits for its port" || fail "the bridge ended: $(cat "$work/bridge.log")"
grep -q ": cannot open: no such card" "$work/bridge.log" && pass "it says why the port is not open" \
	|| fail "no reason given: $(cat "$work/bridge.log")"

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

finish
