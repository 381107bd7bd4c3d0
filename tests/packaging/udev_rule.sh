#!/usr/bin/env bash
# The udev rule.
#
# 1. Syntax: "udevadm verify" where this systemd has it (version 254 on);
#    otherwise a parse of every rule line into KEY[{attr}] OP "value" pairs
#    with known keys and the operators udev allows for each.
# 2. Meaning, for a table of kernel names: the rule matches the raw MIDI
#    nodes and nothing else of the sound subsystem, tags them for systemd,
#    and wants exactly the instance whose /dev/%I is the node, as
#    systemd-escape names it.
#
#   udev_rule.sh <source folder>
source "$(dirname "$0")/lib.sh"
src=${1:?usage: udev_rule.sh <source folder>}
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
wants_key='ENV{SYSTEMD_WANTS}'
wants=${rule[$wants_key]-}
[ "${wants%% *}" = += ] || fail "SYSTEMD_WANTS is set with ${wants%% *}, not added to with +="
wants=${wants#* }
kernel_glob=${rule[KERNEL]#== }

command -v systemd-escape > /dev/null || skip "systemd-escape is not installed"
# kernel name | a raw MIDI node?
table="midiC0D0 yes
midiC1D0 yes
midiC12D3 yes
controlC1 no
pcmC0D0p no
hwC1D0 no
seq no
timer no"
while read -r kernel raw; do
	# shellcheck disable=SC2053 # the glob is meant to match
	if [[ $kernel == $kernel_glob ]]; then matched=yes; else matched=no; fi
	if [ "$matched" != "$raw" ]; then
		fail "KERNEL==\"$kernel_glob\" on $kernel: matched=$matched, want $raw"
		continue
	fi
	[ "$raw" = yes ] || { pass "$kernel: not matched"; continue; }
	unit=${wants//%k/$kernel}
	expected=$(systemd-escape --path --template=cableferry@.service "/dev/snd/$kernel")
	expected=${expected/@dev-/@} # the path below /dev
	instance=${unit#cableferry@}
	instance=${instance%.service}
	node=/dev/$(systemd-escape --unescape "$instance") # the unit's /dev/%I
	if [ "$unit" = "$expected" ] && [ "$node" = "/dev/snd/$kernel" ]; then
		pass "$kernel wants $unit, which bridges $node"
	else
		fail "$kernel wants $unit (expected $expected), which bridges $node"
	fi
done <<< "$table"

finish
