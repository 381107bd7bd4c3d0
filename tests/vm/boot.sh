#!/usr/bin/env bash
# Boots the VM group's machine and runs the VM tests in it.
#
#	boot.sh <build dir> [gtest filter]
#
# The machine is QEMU in TCG mode (no KVM needed), one vCPU and 2 GiB, with
# Debian's kernel: the vmlinuz and the modules of its linux-image-*-amd64
# package, fetched with apt-get download and unpacked into
# <build dir>/vm-cache once.  The initramfs is busybox-static and one
# script (init.sh): it mounts this machine's root read-only over 9p under
# a tmpfs overlay and runs guest.sh there, so the guest runs the very
# binaries of the build dir with this machine's userland.  The guest's
# console is this script's output; its last line carries the status of
# the tests.  Status 77, with the reason, when QEMU, busybox-static or the
# kernel package cannot be had.  CF_VM_DAEMON names another daemon binary
# for the tests to run (doc/measuring.md compares builds so).
set -euo pipefail
build=$(realpath "$1")
filter=${2:-*}
here=$(dirname "$(realpath "$0")")
cache=$build/vm-cache
skip() { echo "VM group skipped: $*"; exit 77; }

command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed (package qemu-system-x86)"
[ -x /bin/busybox ] && /bin/busybox --list | grep -x cpio >/dev/null ||
	skip "busybox-static is not installed"
file -L /bin/busybox | grep -q 'statically linked' || skip "/bin/busybox is not busybox-static"
command -v depmod >/dev/null || skip "depmod is not installed (package kmod)"

mkdir -p "$cache"
if [ ! -e "$cache/kernel/ok" ]; then
	# The newest Debian kernel image the package lists know.
	pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*-amd64\)$/\1/p;T;q' || true)
	[ -n "$pkg" ] || skip "no linux-image-*-amd64 package is known to apt"
	rm -rf "$cache/kernel" "$cache"/*.deb
	(cd "$cache" && apt-get download "$pkg" >/dev/null 2>&1) || skip "apt-get download $pkg failed"
	dpkg-deb -x "$cache"/linux-image-*.deb "$cache/kernel"
	rm -f "$cache"/*.deb
	release=$(ls "$cache/kernel/lib/modules")
	depmod -b "$cache/kernel" "$release"
	touch "$cache/kernel/ok"
fi
release=$(ls "$cache/kernel/lib/modules")
modules=$cache/kernel/lib/modules/$release

# The initramfs: busybox, init.sh, and the modules that reach the host's
# root, in load order.
if [ ! -e "$cache/initramfs.cpio" ] || [ "$here/init.sh" -nt "$cache/initramfs.cpio" ]; then
	tree=$cache/initramfs
	rm -rf "$tree"
	mkdir -p "$tree"/{bin,proc,sys,dev,lower,upper,root,mod}
	cp /bin/busybox "$tree/bin/busybox"
	cp "$here/init.sh" "$tree/init"
	chmod 755 "$tree/init"
	for m in virtio_pci 9pnet_virtio 9p overlay; do
		modprobe -d "$cache/kernel" -S "$release" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
	done | awk '!seen[$0]++' | while read -r ko; do
		cp "$ko" "$tree/mod/"
		basename "$ko" >> "$tree/mod/order"
	done
	(cd "$tree" && find . | /bin/busybox cpio -o -H newc 2>/dev/null) > "$cache/initramfs.cpio"
fi

# The guest's environment comes from the kernel command line (names
# without a dot reach init as variables).
log=$cache/console.log
# Every wait in the tests has its deadline; the whole run takes under 2
# minutes, and 8 are the most it may take.
timeout --foreground 480 qemu-system-x86_64 -machine q35,accel=tcg -cpu max -smp 1 -m 2048 \
	-nographic -nic none -no-reboot -monitor none -serial stdio \
	-kernel "$cache/kernel/boot/vmlinuz-$release" -initrd "$cache/initramfs.cpio" \
	-virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
	-append "console=ttyS0 quiet loglevel=1 panic=-1 cfmodules=$modules cfguest=$here/guest.sh cfbuild=$build cffilter=$filter cfdaemon=${CF_VM_DAEMON:-}" \
	< /dev/null | tr -d '\r' | tee "$log"
status=$(sed -n 's/^cf-vm-status \([0-9]*\)$/\1/p' "$log" | tail -1)
[ -n "$status" ] || { echo "the VM ended without a status"; exit 1; }
exit "$status"
