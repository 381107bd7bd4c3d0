#!/bin/busybox sh
# The VM's first process: mounts the host's root read-only over 9p under a
# tmpfs overlay, puts the kernel package's modules at /lib/modules, and runs
# the guest script there.  Its status goes to the console as the last line,
# "cf-vm-status N", for boot.sh; then the machine stops.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /mod/order); do insmod /mod/$m; done
status=1
if mount -t 9p -o ro,trans=virtio,version=9p2000.L,msize=262144,cache=loose hostroot /lower &&
	mount -t tmpfs -o size=1g tmpfs /upper && mkdir /upper/data /upper/work &&
	mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work overlay /root; then
	release=${cfmodules##*/}
	mkdir -p /root/lib/modules/$release
	mount --bind /root$cfmodules /root/lib/modules/$release
	mount -t proc proc /root/proc
	mount -t sysfs sys /root/sys
	mount -t devtmpfs dev /root/dev
	mkdir -p /root/dev/shm /root/dev/pts
	mount -t tmpfs -o mode=1777 tmpfs /root/dev/shm
	mount -t devpts devpts /root/dev/pts
	# A fresh /tmp and /run, unless the build or the guest script lives
	# there (a checkout under /tmp).
	for d in /tmp /run; do
		case "$cfbuild $cfguest" in "$d"/* | *" $d"/*) continue ;; esac
		mount -t tmpfs -o mode=1777 tmpfs /root$d
	done
	chroot /root /bin/bash "$cfguest" "$cfbuild" "$cffilter"
	status=$?
fi
echo "cf-vm-status $status"
sync
reboot -f
