#!/bin/bash
# Builds the kernel's GPIO simulator (gpio-sim) with the interrupt simulator
# it needs as one out-of-tree module for the kernel the emulated PC boots:
# Debian's kernels build neither.
#
#   gpio-sim-module.sh ABI OUTDIR      e.g. 6.1.0-57-amd64
#
# gpio-sim.c reads the kernel's private drivers/gpio/gpiolib.h, whose layout
# must be the booted kernel's: the sources come from linux-source-<major>
# at exactly the Debian version of linux-image-ABI, the build from
# linux-headers-ABI. Only the three files needed are taken from the source
# archive. irq_to_desc is not exported to modules, so the simulator's work
# handler calls generic_handle_irq, which runs the same flow handler
# (handle_simple_irq, set by the domain's map).
#
# Writes OUTDIR/gpio-sim-oot.ko. Exit status: 0 built; 1 the versions do not
# match or the build failed (a fault: say so, never skip); 77 the source or
# headers package is not installed (the message names it).
set -u
abi=$1
out=$2

image=linux-image-$abi
wanted=$(dpkg-query -W -f='${Version}' "$image" 2>/dev/null)
if [ -z "$wanted" ]; then
  echo "gpio-sim: $image is not installed: its Debian version cannot be known" >&2
  exit 1
fi
major=$(echo "$abi" | sed -n 's/^\([0-9]*\.[0-9]*\)\..*/\1/p')
source=linux-source-$major
headers=/usr/src/linux-headers-$abi
have=$(dpkg-query -W -f='${Status} ${Version}' "$source" 2>/dev/null |
       sed -n 's/^install ok installed //p')
if [ -z "$have" ] || [ ! -d "$headers" ]; then
  echo "gpio-sim: install $source=$wanted and linux-headers-$abi (.ci/run does)" >&2
  exit 77
fi
if [ "$have" != "$wanted" ]; then
  echo "gpio-sim: $source is $have but the booted kernel $image is $wanted:" \
       "gpiolib.h would not match; install $source=$wanted" >&2
  exit 1
fi
archive=$(ls /usr/src/"$source".tar.* 2>/dev/null | head -n 1)
if [ -z "$archive" ]; then
  echo "gpio-sim: $source is installed but /usr/src holds no $source archive" >&2
  exit 1
fi

mkdir -p "$out/src" || exit 1
if ! tar -xf "$archive" -C "$out/src" --strip-components=1 --wildcards \
       '*/drivers/gpio/gpio-sim.c' '*/drivers/gpio/gpiolib.h' '*/kernel/irq/irq_sim.c'; then
  echo "gpio-sim: could not extract the three files from $archive" >&2
  exit 1
fi
build=$out/build
mkdir -p "$build"
cp "$out/src/drivers/gpio/gpio-sim.c" "$out/src/drivers/gpio/gpiolib.h" \
   "$out/src/kernel/irq/irq_sim.c" "$build/"
sed -i 's/handle_simple_irq(irq_to_desc(irqnum));/generic_handle_irq(irqnum);/' "$build/irq_sim.c"
if ! grep -q 'generic_handle_irq(irqnum);' "$build/irq_sim.c" ||
   grep -q 'irq_to_desc' "$build/irq_sim.c"; then
  echo "gpio-sim: irq_sim.c of $source $have is not the one this change is for" >&2
  exit 1
fi
printf '%s\n' 'obj-m := gpio-sim-oot.o' 'gpio-sim-oot-y := gpio-sim.o irq_sim.o' > "$build/Kbuild"
if ! make -s -C "$headers" M="$build" modules > "$out/build.log" 2>&1; then
  tail -n 30 "$out/build.log" >&2
  echo "gpio-sim: the module did not build against $headers" >&2
  exit 1
fi
cp "$build/gpio-sim-oot.ko" "$out/gpio-sim-oot.ko"
