#!/usr/bin/env bash
# The udev rule.
#
# 1. Syntax: "udevadm verify" where this systemd has it (version 254 on);
#    otherwise a parse of every rule line into KEY[{attr}] OP "value" pairs
#    with known keys and the operators udev allows for each.
# 2. Meaning: the rule matches one interface by its USB vendor and product
#    ids, and of the sound subsystem only its cards (a table of kernel
#    names); it tags them for systemd; the instances it wants, once udev has
#    put the card's id in and systemd has taken its level of backslashes off,
#    are those of systemd-escape 'hw:<id>,0,N', one per port, and each passes
#    systemd-analyze verify.
#
#   udev_rule.sh <source folder> <cableferry binary>
source "$(dirname "$0")/lib.sh"
src=${1:?usage: udev_rule.sh <source folder> <cableferry binary>}
binary=${2:?usage: udev_rule.sh <source folder> <cableferry binary>}
rules=$src/contrib/udev/90-cableferry.rules

# ---- 1. syntax ---------------------------------------------------------------
if command -v udevadm > /dev/null && udevadm verify --help > /dev/null 2>&1; then
	if out=$(udevadm verify --resolve-names=never "$rules" 2>&1); then
		pass "udevadm verify"
	else
		fail "udevadm verify:"$'\n'"$out"
	fi
else
	echo "note: no 'udevadm verify' here (systemd before 254); parsing the rules instead"
fi

match_keys=" ACTION DEVPATH KERNEL KERNELS NAME SYMLINK SUBSYSTEM SUBSYSTEMS DRIVER DRIVERS TAG TAGS ATTR ATTRS SYSCTL ENV CONST TEST PROGRAM RESULT "
assign_keys=" NAME SYMLINK OWNER GROUP MODE TAG ENV RUN LABEL GOTO IMPORT OPTIONS SECLABEL ATTR SYSCTL "
# The rule lines, with continuation lines joined.
mapfile -t lines < <(sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$rules" | grep -v '^[[:space:]]*\(#\|$\)')
[ ${#lines[@]} -gt 0 ] || fail "no rule in $rules"
pair='^[[:space:]]*([A-Z_]+)(\{[^}]*\})?[[:space:]]*(==|!=|\+=|-=|:=|=)[[:space:]]*"([^"]*)"[[:space:]]*(,|$)'
declare -A rule=() # key[{attr}] -> operator and value, of the one rule line
for line in "${lines[@]}"; do
	rest=$line
	while [ -n "${rest//[[:space:]]/}" ]; do
		if ! [[ $rest =~ $pair ]]; then
			fail "cannot parse: ${rest}"
			break
		fi
		key=${BASH_REMATCH[1]} attr=${BASH_REMATCH[2]} op=${BASH_REMATCH[3]} value=${BASH_REMATCH[4]}
		case $op in
		== | !=) [[ $match_keys == *" $key "* ]] || fail "$key cannot be matched with $op" ;;
		*) [[ $assign_keys == *" $key "* ]] || fail "$key cannot be assigned with $op" ;;
		esac
		case $key in ENV | ATTR | ATTRS | SYSCTL | IMPORT) [ -n "$attr" ] || fail "$key needs {name}" ;; esac
		rule[$key$attr]="$op $value"
		rest=${rest:${#BASH_REMATCH[0]}}
	done
done
[ "$failures" -eq 0 ] && pass "${#lines[@]} rule line(s) parse"
[ ${#lines[@]} -eq 1 ] || fail "expected one rule line, found ${#lines[@]}"

# ---- 2. meaning --------------------------------------------------------------
[ "${rule[SUBSYSTEM]-}" = '== sound' ] && pass 'SUBSYSTEM=="sound"' || fail "SUBSYSTEM is ${rule[SUBSYSTEM]-unset}"
[ "${rule[TAG]-}" = '+= systemd' ] && pass 'TAG+="systemd"' || fail "TAG is ${rule[TAG]-unset}"
# The tag must stay on "change" events, or systemd takes the device for gone.
case ${rule[ACTION]-} in
'!= remove' | '') pass "tagged on every event but removal" ;;
*) fail "ACTION ${rule[ACTION]}: a later change event would drop the systemd tag" ;;
esac
for id in idVendor idProduct; do
	if [[ ${rule[ATTRS{$id}]-} =~ ^==\ [0-9a-f]{4}$ ]]; then
		pass "matched by ATTRS{$id}${rule[ATTRS{$id}]}"
	else
		fail "not matched by its USB $id: ${rule[ATTRS{$id}]-unset}"
	fi
done
wants_key='ENV{SYSTEMD_WANTS}'
wants=${rule[$wants_key]-}
[ "${wants%% *}" = += ] || fail "SYSTEMD_WANTS is set with ${wants%% *}, not added to with +="
wants=${wants#* }
kernel_glob=${rule[KERNEL]#== }

# kernel name | the card itself?
table="card0 yes
card1 yes
card12 yes
controlC1 no
midiC1D0 no
pcmC0D0p no
seq no"
while read -r kernel card; do
	# shellcheck disable=SC2053 # the glob is meant to match
	if [[ $kernel == $kernel_glob ]]; then matched=yes; else matched=no; fi
	[ "$matched" = "$card" ] && pass "KERNEL==\"$kernel_glob\" on $kernel: $matched" \
		|| fail "KERNEL==\"$kernel_glob\" on $kernel: matched=$matched, want $card"
done <<< "$table"

command -v systemd-escape > /dev/null || skip "systemd-escape is not installed"
# udev puts the card's id in for $attr{id}; systemd reads the list as
# words, taking one level of backslashes off.
wanted=${wants//\$attr\{id\}/MkII}
wanted=${wanted//\\\\/\\}
mkdir -p "$work/root/lib/systemd/system" "$work/root/usr/bin" "$work/root/etc"
cp /lib/systemd/system/*.target "$work/root/lib/systemd/system/" 2> /dev/null || true
cp "$src/contrib/systemd/cableferry@.service" "$work/root/lib/systemd/system/"
cp "$binary" "$work/root/usr/bin/cableferry"
n=0
for unit in $wanted; do
	expected=$(systemd-escape --template=cableferry@.service "hw:MkII,0,$n")
	if [ "$unit" = "$expected" ]; then
		pass "port $n: $unit"
	else
		fail "port $n: wants $unit, expected $expected"
	fi
	# verify takes a ':' for an alias; \x3a names the same port.
	if out=$(systemd-analyze verify --man=no --root="$work/root" "${unit//:/\\x3a}" 2>&1) && [ -z "$out" ]; then
		pass "systemd-analyze verify $unit"
	elif grep -qiE 'not (booted|supported)|Failed to (initialize|connect|set up)|Operation not permitted' <<< "$out"; then
		echo "note: systemd-analyze cannot run here: $out"
	else
		fail "systemd-analyze verify $unit: $out"
	fi
	n=$((n + 1))
done
[ $n -ge 1 ] || fail "the rule wants no instance"

finish
