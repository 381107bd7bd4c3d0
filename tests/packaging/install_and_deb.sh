#!/usr/bin/env bash
# Installation and the Debian package, from the existing build folder.
#
# 1. "cmake --install --prefix <tmp>" places bin/cableferry and
#    share/man/man8/cableferry.8, and nothing else (no demo tool, no files for
#    fixed system places).
# 2. "cpack -G DEB" builds a package whose contents (dpkg-deb -c) are the
#    program, the compressed page, the unit, /etc/default/cableferry, the
#    copyright file and the example udev rule (not in rules.d: nothing is
#    bridged until the admin names a port); whose metadata (dpkg-deb -f) names the package,
#    the sound section, a maintainer, a description and libjack among the
#    dependencies; whose conffiles list /etc/default/cableferry; whose
#    md5sums match its files; whose program runs and whose page lints clean;
#    and whose unit passes systemd-analyze verify with the packaged program.
#
#   install_and_deb.sh <source folder> <build folder>
source "$(dirname "$0")/lib.sh"
src=${1:?usage: install_and_deb.sh <source folder> <build folder>}
build=${2:?usage: install_and_deb.sh <source folder> <build folder>}

# ---- 1. cmake --install ------------------------------------------------------
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 || fail "cmake --install: $(cat "$work/install.log")"
installed=$(cd "$prefix" && find . -type f | sort)
want=$'./bin/cableferry\n./share/man/man8/cableferry.8'
if [ "$installed" = "$want" ]; then
	pass "cmake --install places bin/cableferry and share/man/man8/cableferry.8, nothing else"
else
	fail "cmake --install placed:"$'\n'"$installed"
fi
[ -x "$prefix/bin/cableferry" ] || fail "bin/cableferry is not executable"
cmp -s "$prefix/share/man/man8/cableferry.8" "$src/man/cableferry.8" || fail "the installed page differs from man/cableferry.8"

# ---- 2. the Debian package ---------------------------------------------------
for tool in cpack dpkg-deb; do
	command -v $tool > /dev/null || { echo "SKIP (the package): $tool is not installed"; finish; exit; }
done
(cd "$build" && cpack -G DEB -B "$work/cpack") > "$work/cpack.log" 2>&1 || fail "cpack -G DEB:"$'\n'"$(cat "$work/cpack.log")"
mapfile -t debs < <(find "$work/cpack" -maxdepth 1 -name '*.deb')
if [ ${#debs[@]} -ne 1 ]; then
	fail "cpack made ${#debs[@]} packages"
	finish
fi
deb=${debs[0]}
arch=$(dpkg --print-architecture)
version=$(sed -n 's/^project(cableferry VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ "$(basename "$deb")" = "cableferry_${version}_${arch}.deb" ] && pass "package file $(basename "$deb")" \
	|| fail "package file is $(basename "$deb"), expected cableferry_${version}_${arch}.deb"

# Contents: exactly these files, with these modes.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort -k2 > "$work/contents"
cat > "$work/expected" <<'EOF'
-rw-r--r-- ./etc/default/cableferry
-rw-r--r-- ./lib/systemd/system/cableferry@.service
-rwxr-xr-x ./usr/bin/cableferry
-rw-r--r-- ./usr/share/doc/cableferry/copyright
-rw-r--r-- ./usr/share/doc/cableferry/examples/90-cableferry.rules
-rw-r--r-- ./usr/share/man/man8/cableferry.8.gz
EOF
if diff -u "$work/expected" "$work/contents" > "$work/contents.diff"; then
	pass "dpkg-deb -c: the six files in their places, no active udev rule"
else
	fail "dpkg-deb -c differs from what is expected:"$'\n'"$(cat "$work/contents.diff")"
fi
dpkg-deb -c "$deb" | awk '{ print $2 }' | grep -qv '^root/root$' && fail "files not owned by root/root"

# Metadata.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = cableferry ] && pass "Package: cableferry" || fail "Package: $(field Package)"
[ "$(field Section)" = sound ] && pass "Section: sound" || fail "Section: $(field Section)"
[ "$(field Architecture)" = "$arch" ] && pass "Architecture: $arch" || fail "Architecture: $(field Architecture)"
[ "$(field Version)" = "$version" ] && pass "Version: $version" || fail "Version: $(field Version)"
[ -n "$(field Maintainer)" ] && pass "Maintainer: $(field Maintainer)" || fail "no Maintainer"
[ -n "$(field Description)" ] && pass "has a Description" || fail "no Description"
depends=$(field Depends)
if grep -Eq '(^|[ ,|])libjack(-jackd2-0|0)([ ,(]|$)' <<< "$depends"; then
	pass "Depends on libjack: $depends"
else
	fail "Depends lacks libjack: $depends"
fi

# Control files: conffiles and md5sums.
dpkg-deb -R "$deb" "$work/raw"
if grep -qx /etc/default/cableferry "$work/raw/DEBIAN/conffiles" 2> /dev/null; then
	pass "/etc/default/cableferry is a conffile"
else
	fail "/etc/default/cableferry is not a conffile"
fi
if (cd "$work/raw" && md5sum --quiet -c DEBIAN/md5sums) > "$work/md5.log" 2>&1; then
	pass "md5sums match the packaged files"
else
	fail "md5sums:"$'\n'"$(cat "$work/md5.log")"
fi
for script in postinst prerm postrm; do
	if [ -x "$work/raw/DEBIAN/$script" ] && sh -n "$work/raw/DEBIAN/$script"; then
		pass "$script is an executable sh script"
	else
		fail "$script is missing, not executable, or not valid sh"
	fi
done

grep -q '^Copyright: 2026 The cableferry developers$' "$work/raw/usr/share/doc/cableferry/copyright" &&
	grep -q '^License: BSD-2-clause$' "$work/raw/usr/share/doc/cableferry/copyright" &&
	pass "copyright: BSD-2-clause, The cableferry developers" || fail "the copyright file names no holder or licence"

# The packaged files work.
root=$work/raw
set +e
"$root/usr/bin/cableferry" -h 2> "$work/usage.txt"
status=$?
set -e
if [ $status -eq 0 ] && head -n1 "$work/usage.txt" | grep -qx 'cableferry - RAW USB/socket MIDI client'; then
	pass "packaged program runs (-h: usage, status 0)"
else
	fail "packaged program -h: status $status, output: $(cat "$work/usage.txt")"
fi
if command -v mandoc > /dev/null; then
	gzip -dc "$root/usr/share/man/man8/cableferry.8.gz" > "$work/page.8"
	out=$(mandoc -T lint -W warning "$work/page.8" 2>&1 | sed "s|$work/page.8|cableferry.8|") || true
	[ -z "$out" ] && pass "packaged page lints clean" || fail "packaged page: $out"
fi
if command -v systemd-analyze > /dev/null; then
	cp /lib/systemd/system/*.target "$root/lib/systemd/system/" 2> /dev/null || true
	if out=$(systemd-analyze verify --man=no --root="$root" 'cableferry@hw\x3aMkII\x2c0\x2c0.service' 2>&1) && [ -z "$out" ]; then
		pass "systemd-analyze verify on the unpacked package"
	else
		fail "systemd-analyze verify on the unpacked package: $out"
	fi
fi

finish
