#!/bin/bash
# Hardware check of quon's real-port back-end on an emulated PC.
#
# No build machine has a parallel port, so the code that reads the BIOS data
# area through /dev/mem and drives the registers with ioperm/inb/outb runs
# nowhere else. This script builds a statically linked quon, packs it with
# busybox, a probe program and the guest checks into an initramfs, boots it
# under QEMU (software emulation, no KVM) on a PC with ISA parallel ports at
# 0x378 and 0x278, and turns the report the guest prints on its serial
# console into one line per check and an exit status:
#
#   PASS <check> / FAIL <check>: <why> ... then "N passed, M failed"
#   exit 0 when every check passed, 1 when any failed, 77 when the emulated
#   PC cannot be set up here (missing packages, QEMU that does not start).
#
# The GPIO checks run quon on the kernel's own GPIO simulator, built for the
# booted kernel by gpio-sim-module.sh from linux-source-<major> at that
# kernel's exact Debian version and linux-headers-<abi>.
#
# Needs Debian's qemu-system-x86, linux-image-amd64 and busybox-static (and
# cmake, g++, gcc with libc6-dev, make, cpio, gzip, and the kernel source and
# headers above). It installs nothing: run by hand, it names what is missing
# and exits 77; .ci/run installs them first. A source that does not match
# the kernel is a failure, never a skip.
#
# Environment:
#   QUON_HW_BUILD    build folder for the static quon (default: build-hw in
#                    the repository)
#   QUON_HW_QUON     use this statically linked quon instead of building one
#   QUON_HW_KERNEL   kernel image to boot (default: the newest /boot/vmlinuz-*)
#   QUON_HW_TIMEOUT  seconds the emulated PC may run (default 300)
#   QUON_HW_CONSOLE  when set, print the whole guest console at the end
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
qemu_timeout=${QUON_HW_TIMEOUT:-300}

skip() {
  echo "SKIP hardware check: $*"
  exit 77
}

have() { command -v "$1" > /dev/null 2>&1; }

# A static busybox: the dynamic one of the "busybox" package cannot run in
# an initramfs that holds no libraries.
staticbusybox() {
  [ -x /bin/busybox ] || return 1
  if have readelf; then
    ! readelf -l /bin/busybox 2>/dev/null | grep -q 'program interpreter'
  else
    /bin/busybox 2>/dev/null | head -n 1 | grep -q BusyBox
  fi
}

newestkernel() {
  find /boot -maxdepth 1 -name 'vmlinuz-*' 2>/dev/null | sort -V | tail -n 1
}

staticlibc() {
  local probe
  probe=$(mktemp -d) || return 1
  echo 'int main(void){return 0;}' > "$probe/t.c"
  gcc -static -o "$probe/t" "$probe/t.c" > /dev/null 2>&1
  local result=$?
  rm -rf "$probe"
  return $result
}

# --- packages -----------------------------------------------------------------

if [ "$(uname -m)" != x86_64 ]; then
  skip "the port back-end is x86 code and this host is $(uname -m)"
fi

missing=()
have qemu-system-x86_64 || missing+=(qemu-system-x86)
[ -n "${QUON_HW_KERNEL:-$(newestkernel)}" ] || missing+=(linux-image-amd64)
staticbusybox || missing+=(busybox-static)
have cpio || missing+=(cpio)
have gzip || missing+=(gzip)
have gcc || missing+=(gcc libc6-dev)
have make || missing+=(make)
if [ -z "${QUON_HW_QUON:-}" ]; then
  have cmake || missing+=(cmake)
  have g++ || missing+=(g++)
  have make || have ninja || missing+=(make)
fi
if [ ${#missing[@]} -gt 0 ]; then
  skip "missing ${missing[*]}: install them with" \
    "apt-get install --no-install-recommends ${missing[*]} (.ci/run does)"
fi
kernel=${QUON_HW_KERNEL:-$(newestkernel)}
[ -r "$kernel" ] || skip "kernel image ${kernel:-(none)} is not readable"
staticbusybox || skip "/bin/busybox is not a static busybox"
staticlibc || skip "gcc cannot link static programs (libc6-dev missing?)"

# --- the programs ---------------------------------------------------------------

tmp=$(mktemp -d "${TMPDIR:-/tmp}/quon-hw.XXXXXX") || skip "no temporary folder"
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM

if [ -n "${QUON_HW_QUON:-}" ]; then
  quon=$QUON_HW_QUON
  [ -x "$quon" ] || { echo "FAIL build: $quon is not an executable"; echo "0 passed, 1 failed"; exit 1; }
else
  build=${QUON_HW_BUILD:-$repo/build-hw}
  echo "Building a static quon in $build"
  if ! cmake -S "$repo" -B "$build" -DQUON_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
         -DCMAKE_EXE_LINKER_FLAGS=-static > "$tmp/build.log" 2>&1 ||
     ! cmake --build "$build" --target quon -j 2 >> "$tmp/build.log" 2>&1; then
    tail -n 30 "$tmp/build.log"
    echo "FAIL build: the static quon did not build"
    echo "0 passed, 1 failed"
    exit 1
  fi
  quon=$build/quon
fi
if have readelf && readelf -l "$quon" 2>/dev/null | grep -q 'program interpreter'; then
  echo "FAIL build: $quon is dynamically linked; the guest has no libraries"
  echo "0 passed, 1 failed"
  exit 1
fi

version=$(basename "$kernel" | sed 's/^vmlinuz-//')
echo "Building the GPIO simulator module for $version"
bash "$here/gpio-sim-module.sh" "$version" "$tmp/gpio-sim"
case $? in
  0) ;;
  77) skip "the GPIO simulator cannot be built here (see above)" ;;
  *)
    echo "FAIL build: the GPIO simulator module for $version"
    echo "0 passed, 1 failed"
    exit 1 ;;
esac

if ! gcc -static -O2 -Wall -Wextra -o "$tmp/ioprobe" "$here/ioprobe.c" 2> "$tmp/probe.log"; then
  cat "$tmp/probe.log"
  echo "FAIL build: the probe program did not build"
  echo "0 passed, 1 failed"
  exit 1
fi

# --- the initramfs --------------------------------------------------------------

root=$tmp/root
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,checks}
cp /bin/busybox "$root/bin/busybox"
cp "$quon" "$root/bin/quon"
cp "$tmp/ioprobe" "$root/bin/ioprobe"
cp "$here/guest-init.sh" "$root/init"
cp "$here/guest-checks.sh" "$here/guest-gpio.sh" "$root/checks/"
# The kernel's parallel-port drivers of the booted kernel, for the checks
# of port listing, claiming and choosing; configfs and the GPIO simulator
# for the GPIO checks.
mkdir -p "$root/modules"
cp "$tmp/gpio-sim/gpio-sim-oot.ko" "$root/modules/"
for module in drivers/parport/parport drivers/parport/parport_pc drivers/char/ppdev drivers/char/lp \
              fs/configfs/configfs; do
  found=$(ls /lib/modules/"$version"/kernel/$module.ko* 2>/dev/null | head -n 1)
  case "$found" in
    *.ko) cp "$found" "$root/modules/" ;;
    *.ko.xz) xz -dc "$found" > "$root/modules/$(basename "$module").ko" ;;
    *.ko.zst) zstd -dcq "$found" > "$root/modules/$(basename "$module").ko" ;;
    *) ;;  # the guest checks say which module is missing
  esac
done
chmod 755 "$root/init" "$root/bin/busybox" "$root/bin/quon" "$root/bin/ioprobe"
chmod 1777 "$root/tmp"
# /dev/console comes from the kernel's built-in initramfs.
if ! (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$tmp/initramfs.gz"; then
  echo "FAIL build: could not pack the initramfs"
  echo "0 passed, 1 failed"
  exit 1
fi

# --- the emulated PC ------------------------------------------------------------

# Two ISA parallel ports with no peer (a null chardev): the firmware finds
# them at 0x378 and 0x278 and records them in the BIOS data area. The
# kernel's own parport drivers are modules the initramfs does not hold, so
# nothing in the guest touches the ports but the checks.
echo "Booting the emulated PC (software emulation, no KVM)"
timeout -k 10 "$qemu_timeout" qemu-system-x86_64 \
  -machine pc -accel tcg -cpu qemu64 -m 256 -smp 1 \
  -nodefaults -display none -no-reboot \
  -chardev file,id=console,path="$tmp/console.log" -serial chardev:console \
  -chardev null,id=lpt0 -device isa-parallel,chardev=lpt0,iobase=0x378,irq=7 \
  -chardev null,id=lpt1 -device isa-parallel,chardev=lpt1,iobase=0x278,irq=5 \
  -kernel "$kernel" -initrd "$tmp/initramfs.gz" \
  -append "console=ttyS0 panic=-1 loglevel=1 rdinit=/init" \
  < /dev/null > "$tmp/qemu.log" 2>&1
qemu_status=$?

console=$tmp/console.log
touch "$console"
if [ -n "${QUON_HW_CONSOLE:-}" ]; then
  echo "--- guest console ---"
  tr -d '\r' < "$console"
  echo "--- end of guest console ---"
fi

report=$(tr -d '\r' < "$console" | grep -o 'QUONHW .*')
if [ -z "$report" ] && [ "$qemu_status" -ne 0 ] && [ "$qemu_status" -ne 124 ] &&
   [ ! -s "$console" ]; then
  cat "$tmp/qemu.log"
  skip "QEMU did not start (status $qemu_status)"
fi

# --- the verdict ----------------------------------------------------------------

passed=0
failed=0
plan=$(echo "$report" | sed -n 's/^QUONHW PLAN //p' | head -n 1)
if [ -z "$plan" ]; then
  echo "FAIL boot: the guest reported nothing (QEMU status $qemu_status)"
  failed=1
fi
for check in $plan; do
  line=$(echo "$report" | grep -E "^QUONHW (PASS|FAIL) $check(:|\$)" | head -n 1)
  case "$line" in
    "QUONHW PASS $check")
      echo "PASS $check"
      passed=$((passed + 1)) ;;
    "QUONHW FAIL $check:"*)
      echo "FAIL ${line#QUONHW FAIL }"
      failed=$((failed + 1)) ;;
    *)
      echo "FAIL $check: no result from the guest"
      failed=$((failed + 1)) ;;
  esac
done
# What the guest measured (no verdict): one line each.
echo "$report" | sed -n 's/^QUONHW NOTE /NOTE /p'
if [ -n "$plan" ] && ! echo "$report" | grep -qx 'QUONHW DONE'; then
  echo "FAIL guest-finished: the checks did not run to the end (QEMU status $qemu_status)"
  failed=$((failed + 1))
fi
if [ "$failed" -gt 0 ] && [ -z "${QUON_HW_CONSOLE:-}" ]; then
  echo "--- last lines of the guest console ---"
  tr -d '\r' < "$console" | tail -n 20
  echo "---"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
