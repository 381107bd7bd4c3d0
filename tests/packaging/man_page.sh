#!/usr/bin/env bash
# The manual page: mandoc finds nothing to warn about, it has the sections a
# reader looks for, and it keeps up with the program: every option letter of
# the option string and every fatal message in the sources is documented.
#
#   man_page.sh <source folder>
source "$(dirname "$0")/lib.sh"
src=${1:?usage: man_page.sh <source folder>}
page=$src/man/cableferry.8

command -v mandoc > /dev/null || skip "mandoc is not installed (scripts/setup installs it)"

lint=$(mandoc -T lint -W warning "$page" 2>&1) || true
if [ -z "$lint" ]; then
	pass "mandoc -T lint -W warning: no output"
else
	fail "mandoc -T lint -W warning:"$'\n'"$lint"
fi

mandoc -T ascii "$page" | sed "s/.\x08//g" > "$work/page.txt"
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES "SEE ALSO"; do
	grep -qx "$section" "$work/page.txt" && pass "section $section" || fail "no section $section"
done

# Every option letter, from the option string the program hands to getopt.
optstring=$(sed -n 's/.*option_string\[\] = "+\{0,1\}\([^"]*\)".*/\1/p' "$src/src/control/options.h")
[ -n "$optstring" ] || fail "option string not found in src/control/options.h"
letters=$(printf '%s' "$optstring" | tr -d ':' | fold -w1)
for letter in $letters; do
	if grep -q "^\.It Fl $letter\b" "$page"; then
		pass "option -$letter documented"
	else
		fail "option -$letter has no .It Fl $letter entry"
	fi
done

# Every fatal message the program can print, as the page renders it.  A
# format with %s is checked as it reads for -U.
tr -s ' \n' ' ' < "$work/page.txt" > "$work/page.flat"
# (Failures once the JACK client is open go through fail_with_client.)
mapfile -t messages < <(grep -hoE '(errx\([0-9]*, |fail_with_client\()"[^"]*"' "$src"/src/*/*.cpp |
	sed -E 's/^(errx\([0-9]*, |fail_with_client\()"//; s/"$//')
[ ${#messages[@]} -ge 5 ] || fail "found only ${#messages[@]} fatal messages in the sources"
for m in "${messages[@]}"; do
	case $m in
	"'%s': illegal %s name") m='illegal user name' ;;
	*'%s'*) m=${m%%%s*} ;;
	esac
	if grep -qF -- "$m" "$work/page.flat"; then
		pass "message documented: $m"
	else
		fail "message not in the page: $m"
	fi
done

finish
