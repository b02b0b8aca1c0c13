#!/bin/busybox sh
# /init of the emulated PC: a bare busybox system that runs the port checks
# once and powers off. Its only output channel is the serial console.

/bin/busybox --install -s
export PATH=/bin:/sbin:/usr/bin:/usr/sbin

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mkdir -p /run
mount -t tmpfs -o mode=0755 tmpfs /run

# Keep kernel messages off the console so that report lines stay whole.
echo 1 > /proc/sys/kernel/printk

sh /checks/guest-checks.sh

sync
poweroff -f
# If power-off is refused, ending init panics the kernel, which with
# panic=-1 and -no-reboot also ends the emulator.
exit 1
