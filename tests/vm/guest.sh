#!/bin/bash
# Runs inside the VM (init.sh): loads the USB gadget and USB audio drivers,
# mounts configfs and runs the VM tests of the build dir.
#
#	guest.sh <build dir> <gtest filter>
set -u
modprobe -a dummy_hcd libcomposite usb_f_midi snd-usb-audio snd-rawmidi || exit 1
mount -t configfs none /sys/kernel/config || exit 1
[ -n "${cfdaemon:-}" ] && export CF_VM_DAEMON=$cfdaemon
cd /tmp && exec "$1/tests/vm_tests" --gtest_filter="$2"
