#!/bin/sh
# The port checks, run as root inside the emulated PC (busybox sh).
#
# The machine has two ISA parallel ports, at 0x378 and 0x278, and firmware
# that records the first one in the BIOS data area. quon runs against them
# with its real back-end; /bin/ioprobe reads and writes the same registers
# by its own code, so every result is checked against the hardware, not
# against quon's word for it.
#
# Each quon run ends by itself: its script's last statement reads logical
# port 2, which ends the program with status 255 and a message, after the
# statements before it have run once. A run that hangs (a WAIT that never
# matches) is cut short by timeout and fails its check.
#
# Report lines, one per check, on the console:
#   QUONHW PLAN <names...>     the checks that will follow
#   QUONHW PASS <name>
#   QUONHW FAIL <name>: <why>
#   QUONHW DONE

PROBE=/bin/ioprobe
QUON=/bin/quon
WORK=/tmp/quon
RUNTIME=10            # seconds a quon run may take before it counts as hung
USER_ID=1000          # an unprivileged guest user: no CAP_SYS_RAWIO
INI_PLAIN='00\n0000\n'
END_RUN='WAIT 2 1\n$\n$\n'   # ends a run once the statements above have run

CHECKS="firmware-records-first-port locateport-finds-0x378
 locateport-follows-bios-data-area no-port-recorded-is-refused
 output-and-toggle-traces readback-from-data-register
 input-raw-registers input-calibration-applied logical-port-1-output
 logical-port-1-input unprivileged-user-is-refused probe-tells-access-apart
 spawned-command-has-no-port-access ports-are-listed
 port-option-drives-the-second-port claim-keeps-other-ppdev-users-off
 second-quon-on-a-port-is-refused
 lock-name-held-by-another-user-does-not-keep-roots-run-from-the-port
 run-of-port-0-leaves-the-second-port-to-others printer-driver-on-the-port-is-named
 missing-ppdev-device-is-noted address-of-another-driver-is-named
 unprivileged-hint-names-the-cause
 lockdown-hint-names-the-cause"
# The GPIO checks of guest-gpio.sh.
GPIO_CHECKS="gpio-chip-and-lines-listed gpio-blink-seen-on-lines-and-traced
 gpio-wait-follows-pulls gpio-active-low-and-bias gpio-line-held-elsewhere-is-refused
 gpio-line-consumer-holding-escape-bytes-reaches-the-terminal-escaped
 gpio-bad-input-is-refused gpio-safe-applied-at-exit gpio-runs-without-root
 gpio-wait-sleeps-and-spin-polls gpio-reaction-measured gpio-pulse-while-asleep-releases-wait
 gpio-debounce-gives-one-edge gpio-edge-times-follow-the-pulls
 gpio-delay-beside-sleeping-wait-on-time gpio-key-wakes-sleeping-loop gpio-spin-wait-follows-pulls
 gpio-access-cost"
# Unquoted on purpose: the list's line breaks become single spaces.
# shellcheck disable=SC2086
echo "QUONHW PLAN" $CHECKS $GPIO_CHECKS

problems=""

# want WHAT GOT EXPECTED: notes a mismatch for the current check.
want() {
  [ "$2" = "$3" ] || problems="$problems; $1 was '$2', expected '$3'"
}

# note WHY: notes a failed condition for the current check.
note() {
  problems="$problems; $1"
}

# verdict NAME: reports the current check and starts the next one clean.
verdict() {
  if [ -z "$problems" ]; then
    echo "QUONHW PASS $1"
  else
    echo "QUONHW FAIL $1: ${problems#; }"
  fi
  problems=""
}

# oneline FILE: a file's lines joined by " / ", for reports.
oneline() {
  sed -e ':a' -e 'N' -e '$!ba' -e 's/\n/ \/ /g' "$1" 2>/dev/null
}

# bits BYTE: the byte as an eight-place script pattern, bit 7 first.
bits() {
  v=$(($1))
  s=""
  i=7
  while [ $i -ge 0 ]; do
    s="$s$(( (v >> i) & 1 ))"
    i=$((i - 1))
  done
  echo "$s"
}

# runquon INI SCRIPT [OPTION...]: runs quon in a fresh working folder on a
# script (both texts in printf %b form; INI "-": no QUON.INI) with no terminal; sets status, and
# leaves out.txt and err.txt in $WORK. Output is capped, since a hung run
# with -v -b prints a line per pass.
runquon() {
  rm -rf "$WORK"
  mkdir -p "$WORK"
  [ "$1" = - ] || printf '%b' "$1" > "$WORK/QUON.INI"
  printf '%b' "$2" > "$WORK/check.qun"
  shift 2
  (
    cd "$WORK" || exit 1
    { timeout "$RUNTIME" "$QUON" "$@" check.qun < /dev/null 2> err.txt
      echo $? > status.txt; } | head -c 20000 > out.txt
  )
  status=$(cat "$WORK/status.txt" 2>/dev/null)
}

# The "Outputting" traces of the last run, space-separated.
traces() {
  grep '^Outputting' "$WORK/out.txt" | tr '\n' ' ' | sed 's/ $//'
}

# expectportend: the last run ended where its script reads logical port 2.
expectportend() {
  want "exit status" "$status" 255
  want "stderr" "$(oneline "$WORK/err.txt")" \
    "Attempt to input from logical port 2, > max of 1"
}

peek() {
  "$PROBE" peek "$1" || echo "unreadable"
}

# --- the firmware and the port locator --------------------------------------

want "BIOS data area word" "$("$PROBE" bda)" 0378
verdict firmware-records-first-port

# Logical port 0 goes to the port the firmware names.
"$PROBE" poke 0x378 0x00
"$PROBE" poke 0x278 0x00
runquon "$INI_PLAIN" "OUTPUT 0 01011010\n$END_RUN" -d
expectportend
want "traces" "$(traces)" "Outputting 5a"
want "register 0x378" "$(peek 0x378)" 5a
want "register 0x278" "$(peek 0x278)" 00
verdict locateport-finds-0x378

# With the word rewritten to 0x278, logical port 0 follows it: the base is
# read from the BIOS data area, not assumed.
"$PROBE" poke 0x378 0x00
"$PROBE" poke 0x278 0x00
if "$PROBE" setbda 0x278 && [ "$("$PROBE" bda)" = 0278 ]; then
  runquon "$INI_PLAIN" "OUTPUT 0 11000011\n$END_RUN" -d
  expectportend
  want "traces" "$(traces)" "Outputting c3"
  want "register 0x278" "$(peek 0x278)" c3
  want "register 0x378" "$(peek 0x378)" 00
else
  note "could not rewrite the BIOS data area word"
fi
"$PROBE" setbda 0x378
verdict locateport-follows-bios-data-area

# A word of 0 means no port (and this guest's kernel knows none either).
if "$PROBE" setbda 0 && [ "$("$PROBE" bda)" = 0000 ]; then
  runquon "$INI_PLAIN" "OUTPUT 0 1\n$END_RUN" -d
  want "exit status" "$status" 255
  want "first stderr line" "$(sed -n 1p "$WORK/err.txt")" \
    "Unable to locate printer port!"
  want "stderr line count" "$(wc -l < "$WORK/err.txt")" 2
  [ -n "$(sed -n 2p "$WORK/err.txt")" ] || note "no hint line"
  want "traces" "$(traces)" ""
else
  note "could not clear the BIOS data area word"
fi
"$PROBE" setbda 0x378
want "restored BIOS data area word" "$("$PROBE" bda)" 0378
verdict no-port-recorded-is-refused

# --- output: read-back, modify, write ---------------------------------------

# 5a; set bit 0; bit 7 to 1 and bits 4, 1, 0 to 0; flip the high nibble;
# flip bits 3 and 0 (don't-care places); a pattern that selects nothing
# writes the byte back unchanged.
"$PROBE" poke 0x378 0xff
runquon "$INI_PLAIN" "OUTPUT 0 01011010\nOUTPUT 0 1\nOUTPUT 0 1..0..00\nTOGGLE 0 11110000\nTOGGLE 0 1..1\nOUTPUT 0 ........\n$END_RUN" -d
expectportend
want "traces" "$(traces)" \
  "Outputting 5a Outputting 5b Outputting c8 Outputting 38 Outputting 31 Outputting 31"
want "register 0x378" "$(peek 0x378)" 31
verdict output-and-toggle-traces

# The byte an OUTPUT starts from is whatever the data register holds, here
# put there by another program.
"$PROBE" poke 0x378 0x3c
runquon "$INI_PLAIN" "OUTPUT 0 1\nTOGGLE 0 10000000\n$END_RUN" -d
expectportend
want "traces" "$(traces)" "Outputting 3d Outputting bd"
want "register 0x378" "$(peek 0x378)" bd
verdict readback-from-data-register

# --- input: control byte written, registers assembled, inversion applied ----

# checkinput PORT BASE CTL INV DECOY: quon's raw "inputting" line must show
# what the port's status and control registers return after CTL is written
# (measured by the probe), and a WAIT for the calibrated byte derived from
# them must match at once. DECOY, whose low bits differ from CTL's, is put
# in the control register first, so a run that did not write CTL shows it.
checkinput() {
  port=$1 base=$2 ctl=$3 inv=$4 decoy=$5
  measured=$("$PROBE" inputs "$base" "$ctl")
  sts=${measured% *}
  reg=${measured#* }
  if [ $(( 0x$reg & 7 )) -ne $(( ctl & 7 )) ]; then
    note "the emulated control register reads $reg after $ctl was written"
  fi
  expected=$(( ((0x$sts & 0xF8) | (0x$reg & 0x07)) ^ (inv & 0xFF) ))
  "$PROBE" poke $((base + 2)) "$decoy"
  runquon "$(printf '%02x\\n%04x\\n' "$ctl" "$inv")" \
    "WAIT $port $(bits $expected)\n$END_RUN" -v -b
  if [ "$status" != 255 ]; then
    note "WAIT for the calibrated input $(printf '%02x' $expected) did not match (status $status)"
  fi
  want "stderr" "$(oneline "$WORK/err.txt")" \
    "Attempt to input from logical port 2, > max of 1"
  want "diagnostic lines" "$(grep '^inputting' "$WORK/out.txt" | head -n 3 | tr '\n' '/')" \
    "inputting $sts | $reg/"
}

checkinput 0 0x378 0x00 0x0000 0x06
verdict input-raw-registers

# Control lines 0 and 2 raised and an inversion word whose high byte a WAIT
# must ignore.
checkinput 0 0x378 0x05 0x12a5 0x02
verdict input-calibration-applied

# --- logical port 1 is always 0x278 ----------------------------------------

"$PROBE" poke 0x378 0x11
"$PROBE" poke 0x278 0x00
runquon "$INI_PLAIN" "OUTPUT 1 10100101\nTOGGLE 1 1\n$END_RUN" -d
expectportend
want "traces" "$(traces)" "Outputting a5 Outputting a4"
want "register 0x278" "$(peek 0x278)" a4
want "register 0x378" "$(peek 0x378)" 11
verdict logical-port-1-output

checkinput 1 0x278 0x03 0x00ff 0x04
verdict logical-port-1-input

# --- privilege ----------------------------------------------------------------

# Without root quon gets neither the BIOS data area nor the registers. The
# probe first shows that this user really cannot reach the port.
"$PROBE" asuser "$USER_ID" "$PROBE" peek 0x378 > /dev/null 2>&1
want "probe's status as the unprivileged user" "$?" 2
rm -rf "$WORK"
mkdir -p "$WORK"
chmod 777 "$WORK"
printf '%b' "$INI_PLAIN" > "$WORK/QUON.INI"
printf '%b' "OUTPUT 0 1\n$END_RUN" > "$WORK/check.qun"
(
  cd "$WORK" || exit 1
  timeout "$RUNTIME" "$PROBE" asuser "$USER_ID" "$QUON" check.qun \
    < /dev/null > out.txt 2> err.txt
  echo $? > status.txt
)
want "exit status" "$(cat "$WORK/status.txt")" 255
want "first stderr line" "$(sed -n 1p "$WORK/err.txt")" \
  "Unable to locate printer port!"
want "stderr line count" "$(wc -l < "$WORK/err.txt")" 2
[ -n "$(sed -n 2p "$WORK/err.txt")" ] || note "no hint line"
want "stdout" "$(oneline "$WORK/out.txt")" ""
verdict unprivileged-user-is-refused

# The probe's "noperm" job can tell held from missing access: without
# access it is refused, and access granted to a parent reaches a child
# across fork and exec (so a refusal in a SPAWN'd command is quon's doing).
want "probe without access" "$("$PROBE" noperm 0x378)" denied
inherited=$("$PROBE" inherit 0x378)
want "probe's status under an inheriting parent" "$?" 0
case "$inherited" in
  granted*) ;;
  *) note "a child of a process with port access read '$inherited'" ;;
esac
verdict probe-tells-access-apart

# A SPAWN'd command runs without the port, and quon keeps it afterwards.
"$PROBE" poke 0x378 0x00
runquon "$INI_PLAIN" 'SPAWN /bin/ioprobe noperm 0x378; echo "child status $?"\nOUTPUT 0 01100110\n'"$END_RUN" -d
expectportend
want "command's output" "$(grep -E '^(denied|granted|child status)' "$WORK/out.txt" | tr '\n' '/')" \
  "denied/child status 3/"
want "traces" "$(traces)" "Outputting 66"
want "register 0x378" "$(peek 0x378)" 66
verdict spawned-command-has-no-port-access

# --- the kernel's drivers: listing, choosing, claiming, locking -------------

for module in parport parport_pc ppdev; do
  insmod "/modules/$module.ko" 2>/dev/null || echo "QUONHW NOTE cannot load $module"
done
mkdir -p /run/lock

"$QUON" --ports > "$WORK.ports" 2>&1
want "--ports status" "$?" 0
# The kernel numbers the ports in the order it found them.
first=$(grep ' base 0x378 ' "$WORK.ports" | cut -d' ' -f1)
second=$(grep ' base 0x278 ' "$WORK.ports" | cut -d' ' -f1)
case "$first $second" in
  parport[0-9]\ parport[0-9]) ;;
  *) note "both ports not listed: $(oneline "$WORK.ports")" ;;
esac
grep -q '^logical port 0: 0x378' "$WORK.ports" || note "no line for logical port 0"
verdict ports-are-listed

# --port=<the port at 0x278>: logical port 0 is that port, which the probe sees.
"$PROBE" poke 0x378 0x00
"$PROBE" poke 0x278 0x00
runquon "$INI_PLAIN" "OUTPUT 0 10100101\n$END_RUN" "--port=$second"
expectportend
want "register 0x278" "$(peek 0x278)" a5
want "register 0x378" "$(peek 0x378)" 00
verdict port-option-drives-the-second-port

# A run of two seconds in the background, in a folder of its own, with
# the options given.
longrun() {
  rm -rf "$WORK.long"
  mkdir -p "$WORK.long"
  printf '%b' "$INI_PLAIN" > "$WORK.long/QUON.INI"
  printf '%b' "DELAY 2\n$END_RUN" > "$WORK.long/long.qun"
  (cd "$WORK.long" && exec timeout "$RUNTIME" "$QUON" "$@" long.qun < /dev/null > /dev/null 2>&1) &
  longpid=$!
  sleep 1
}

# While quon runs, another ppdev user cannot claim the port; after, it can.
longrun
want "probe's claim during the run" "$("$PROBE" ppclaim "/dev/$first")" refused
wait $longpid
want "probe's claim after the run" "$("$PROBE" ppclaim "/dev/$first")" claimed
verdict claim-keeps-other-ppdev-users-off

# A second quon on the same port ends at start-up naming the first.
longrun
runquon "$INI_PLAIN" "OUTPUT 0 1\n$END_RUN"
want "second run's status" "$status" 255
want "second run's hint" "$(sed -n 2p "$WORK/err.txt" | sed 's/process [0-9]*/process N/')" \
  "Port 0x378 is driven by another QUON (process N); one QUON a port."
grep -q "process [0-9][0-9]*)" "$WORK/err.txt" || note "no process id in: $(oneline "$WORK/err.txt")"
wait $longpid
verdict second-quon-on-a-port-is-refused

# A user without CAP_SYS_RAWIO takes both ports' lock names (as any user
# can); root's runs on either port go on as if they were free.
"$PROBE" asuser "$USER_ID" "$PROBE" squat 30 quon-port-0x378 quon-port-0x278 &
squatter=$!
waited=0
until grep -q '@quon-port-0x278$' /proc/net/unix || [ $waited -ge 100 ]; do
  sleep 0.1
  waited=$((waited + 1))
done
grep -q '@quon-port-0x378$' /proc/net/unix || note "the names were not taken"
"$PROBE" poke 0x378 0x00
"$PROBE" poke 0x278 0x00
runquon "$INI_PLAIN" "OUTPUT 0 1\n$END_RUN"
expectportend
want "register 0x378" "$(peek 0x378)" 01
runquon "$INI_PLAIN" "OUTPUT 1 10\n$END_RUN"
expectportend
want "register 0x278" "$(peek 0x278)" 02
kill $squatter
wait $squatter 2>/dev/null
verdict lock-name-held-by-another-user-does-not-keep-roots-run-from-the-port

# A run that drives logical port 0 alone holds 0x378 only: a second run
# may take the port at 0x278 as its port 0.
longrun
"$PROBE" poke 0x278 0x00
runquon "$INI_PLAIN" "OUTPUT 0 11\n$END_RUN" "--port=$second"
expectportend
want "register 0x278" "$(peek 0x278)" 03
wait $longpid
# A safe pattern for logical port 1 drives it at the end: then it is held.
longrun --safe=1:0
runquon "$INI_PLAIN" "OUTPUT 0 11\n$END_RUN" "--port=$second"
want "status beside a safe port 1" "$status" 255
want "hint beside a safe port 1" "$(sed -n 2p "$WORK/err.txt" | sed 's/process [0-9]*/process N/')" \
  "Port 0x278 is driven by another QUON (process N); one QUON a port."
wait $longpid
verdict run-of-port-0-leaves-the-second-port-to-others

# The printer driver on the port: the claim is refused and the hint says
# how to get it off.
if insmod /modules/lp.ko 2>/dev/null; then
  runquon "$INI_PLAIN" "OUTPUT 0 1\n$END_RUN"
  want "status with lp loaded" "$status" 255
  want "hint" "$(sed -n 2p "$WORK/err.txt")" \
    "$first is held by the kernel's printer driver or another program: unload it (rmmod lp; blacklist lp to keep it off) and run again."
  rmmod lp
else
  note "lp would not load"
fi
verdict printer-driver-on-the-port-is-named

# Without the ppdev device node the run goes on unclaimed, and -v says so.
mv "/dev/$first" "/dev/$first.away"
runquon "$INI_PLAIN" "OUTPUT 0 1\n$END_RUN" -v
want "status" "$status" 255
want "note" "$(sed -n 1p "$WORK/err.txt")" \
  "Note: $first is not claimed: /dev/$first is missing (load ppdev: modprobe ppdev)"
runquon "$INI_PLAIN" "OUTPUT 0 1\n$END_RUN"
expectportend
mv "/dev/$first.away" "/dev/$first"
verdict missing-ppdev-device-is-noted

# An address the kernel gives to another driver (the serial console).
runquon "$INI_PLAIN" "$END_RUN" --port=0x3f8
want "warning" "$(sed -n 1p "$WORK/err.txt")" \
  "Warning: --port=0x3f8: 0x3f8 is no parallel port: the kernel gives it to serial; used as given"
verdict address-of-another-driver-is-named

# Without privilege the kernel lists the port, and the refusal says why.
rm -rf "$WORK"
mkdir -p "$WORK"
chmod 777 "$WORK"
printf '%b' "$INI_PLAIN" > "$WORK/QUON.INI"
printf '%b' "OUTPUT 0 1\n$END_RUN" > "$WORK/check.qun"
(cd "$WORK" && timeout "$RUNTIME" "$PROBE" asuser "$USER_ID" "$QUON" check.qun \
   < /dev/null > out.txt 2> err.txt)
want "hint" "$(sed -n 2p "$WORK/err.txt")" \
  "Run as root, or give quon the CAP_SYS_RAWIO capability (setcap cap_sys_rawio+ep quon)."
verdict unprivileged-hint-names-the-cause

# GPIO lines as ports, on the kernel's GPIO simulator (before lockdown,
# which would refuse its module).
. /checks/guest-gpio.sh

# Lockdown, last: it cannot be undone. The kernel really locks down here.
mount -t securityfs securityfs /sys/kernel/security 2>/dev/null
if echo integrity > /sys/kernel/security/lockdown 2>/dev/null; then
  runquon "$INI_PLAIN" "OUTPUT 0 1\n$END_RUN"
  want "status under lockdown" "$status" 255
  want "hint" "$(sed -n 2p "$WORK/err.txt")" \
    "Secure Boot lockdown forbids direct port access; disable lockdown or Secure Boot to use this port."
else
  note "this guest kernel cannot lock down"
fi
verdict lockdown-hint-names-the-cause

echo "QUONHW DONE"
