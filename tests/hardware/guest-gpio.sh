# The GPIO port checks, sourced by guest-checks.sh (busybox sh, as root)
# before lockdown, which would refuse the unsigned module.
#
# The kernel's own GPIO simulator (gpio-sim, built for this kernel as a
# module) makes a chip of 16 lines. Its sysfs files are the independent
# view: sim_gpioN/value shows what an output line is set to, and writing
# pull-up or pull-down to sim_gpioN/pull drives an input line. gpio-sim puts
# a line back to its pull when it is released, so what quon leaves on its
# lines at exit is read by "ioprobe atexit" while quon is stopped on its way
# out, its exit handlers done and its lines still held. The checks are
# named in guest-checks.sh's GPIO_CHECKS.

SIMCFG=/sys/kernel/config/gpio-sim/chip0
gpiochip=""
simdir=""

# gpiosetup: the simulated chip, labelled "rig", lines 1 and 5 named.
gpiosetup() {
  insmod /modules/configfs.ko 2>/dev/null
  insmod /modules/gpio-sim-oot.ko 2>/dev/null || { note "gpio-sim module would not load"; return 1; }
  mkdir -p /sys/kernel/config
  mount -t configfs configfs /sys/kernel/config 2>/dev/null
  mkdir -p "$SIMCFG/bank0" || { note "no gpio-sim in configfs"; return 1; }
  echo 16 > "$SIMCFG/bank0/num_lines"
  echo rig > "$SIMCFG/bank0/label"
  mkdir -p "$SIMCFG/bank0/line1" "$SIMCFG/bank0/line5"
  echo RELAY > "$SIMCFG/bank0/line1/name"
  echo SENSOR > "$SIMCFG/bank0/line5/name"
  echo 1 > "$SIMCFG/live" || { note "the simulated chip did not go live"; return 1; }
  gpiochip=$(cat "$SIMCFG/bank0/chip_name")
  simdir=/sys/devices/platform/$(cat "$SIMCFG/dev_name")/$gpiochip
  [ -c "/dev/$gpiochip" ] || { note "no /dev/$gpiochip"; return 1; }
  [ -r "$simdir/sim_gpio0/value" ] || { note "no $simdir/sim_gpio0/value"; return 1; }
}

simvalue() { cat "$simdir/sim_gpio$1/value" 2>/dev/null || echo unreadable; }
simpull() { echo "$2" > "$simdir/sim_gpio$1/pull"; }

# gpiorun SCRIPT OPTION...: runquon with no QUON.INI in the folder.
gpiorun() { runquon - "$@"; }

# portsshow FILE TEXT: --ports into FILE until it shows TEXT (a generous
# bound: the guest is emulated).
portsshow() {
  for _ in $(seq 1 60); do
    "$QUON" --ports > "$1" 2>&1
    grep -q "$2" "$1" && return 0
    sleep 0.5
  done
  return 1
}

if ! gpiosetup; then
  setup=$problems
  for check in $GPIO_CHECKS; do
    problems=$setup
    verdict "$check"
  done
  return 0
fi
MAP="$gpiochip:out=0,RELAY,2,3:in=SENSOR,6,7"

# --- listing -----------------------------------------------------------------

"$QUON" --ports > "$WORK.gpioports" 2>&1
want "--ports status" "$?" 0
grep -q "^$gpiochip *label \"rig\"  16 lines\$" "$WORK.gpioports" ||
  note "no line for the chip in: $(oneline "$WORK.gpioports")"
grep -q '^  line   1  RELAY  *free$' "$WORK.gpioports" || note "line 1 not listed as RELAY, free"
want "lines listed" "$(grep -c '^  line ' "$WORK.gpioports")" 16
"$PROBE" gpiohold "/dev/$gpiochip" 9 3 &
holder=$!
portsshow "$WORK.gpioports" 'in use by "rig-holder"'
grep -q '^  line   9  -  *in use by "rig-holder"$' "$WORK.gpioports" ||
  note "the held line 9 not listed with its holder"
wait $holder
verdict gpio-chip-and-lines-listed

# --- output, timing and trace --------------------------------------------------

# Bit 0 on for two seconds, then off for two; the lines are sampled in the
# middle of each, and the trace must show the same two changes.
rm -f /tmp/gpio-samples
( sleep 1; simvalue 0 >> /tmp/gpio-samples; sleep 2; simvalue 0 >> /tmp/gpio-samples ) &
sampler=$!
rm -rf "$WORK.keep"
gpiorun "OUTPUT 0 1\nDELAY 2\nOUTPUT 0 0\nDELAY 2\n$END_RUN" "--port=$MAP" --trace=blink.vcd
wait $sampler
expectportend
want "line 0 at 1 s and 3 s" "$(tr '\n' ' ' < /tmp/gpio-samples)" "1 0 "
changes=$(awk '/^#/ { t = substr($0, 2) } /^[01]!$/ { printf "%s:%s ", substr($0, 1, 1), t }' \
  "$WORK/blink.vcd" 2>/dev/null)
# shellcheck disable=SC2086
set -- $changes
[ "${1%%:*}" = 0 ] && shift  # the first value, before the script ran
case "$1 $2" in
  1:*\ 0:*)
    gap=$(( ${2#0:} - ${1#1:} ))
    [ "$gap" -ge 1990000 ] && [ "$gap" -le 3500000 ] || note "the trace's pulse lasted $gap us" ;;
  *) note "the trace shows '$changes' for out0" ;;
esac
[ ! -e "$WORK/QUON.INI" ] || note "QUON.INI was written"
verdict gpio-blink-seen-on-lines-and-traced

# --- input ---------------------------------------------------------------------

# A WAIT for input bit 0 (line SENSOR, 5) holds until the line is pulled up.
simpull 5 pull-down
rm -rf "$WORK"
mkdir -p "$WORK"
printf '%b' "WAIT 0 .......1\n$END_RUN" > "$WORK/wait.qun"
(cd "$WORK" && exec timeout "$RUNTIME" "$QUON" "--port=$MAP" wait.qun < /dev/null > out.txt 2> err.txt) &
waiter=$!
sleep 2
kill -0 $waiter 2>/dev/null || note "the WAIT ended before the line was pulled up"
simpull 5 pull-up
wait $waiter
want "status after the pull" "$?" 255
want "stderr" "$(oneline "$WORK/err.txt")" "Attempt to input from logical port 2, > max of 1"
simpull 5 pull-down
verdict gpio-wait-follows-pulls

# Input bit 0 active-low on a line pulled down reads 1; bit 1 asks a
# pull-up and bit 2 a pull-down, against the simulator's opposite pulls.
# Output bit 0 active-low: a 1 leaves the line low.
simpull 8 pull-down
simpull 10 pull-down
simpull 11 pull-up
gpiorun "OUTPUT 0 1\nWAIT 0 .....011\n$END_RUN" \
  "--port=$gpiochip:out=0/active-low:in=8/active-low,10/pull-up,11/pull-down" -v -b
expectportend
want "input line" "$(grep '^inputting' "$WORK/out.txt" | head -n 1)" "inputting lines 03"
rm -rf "$WORK.al"
mkdir -p "$WORK.al"
printf '%b' "OUTPUT 0 1\n$END_RUN" > "$WORK.al/al.qun"
(cd "$WORK.al" && "$PROBE" atexit "cat $simdir/sim_gpio0/value > held.txt" \
   "$QUON" "--port=$gpiochip:out=0/active-low" al.qun < /dev/null > /dev/null 2>&1)
want "active-low output line while held" "$(cat "$WORK.al/held.txt" 2>/dev/null)" 0
verdict gpio-active-low-and-bias

# --- ownership -----------------------------------------------------------------

"$PROBE" gpiohold "/dev/$gpiochip" 5 3 &
holder=$!
portsshow "$WORK.heldports" 'in use by "rig-holder"'
gpiorun "OUTPUT 0 1\n$END_RUN" "--port=$MAP"
want "status" "$status" 255
want "stderr" "$(oneline "$WORK/err.txt")" \
  "Unable to use GPIO lines! / line 5 (SENSOR) of $gpiochip is in use by \"rig-holder\": free it and run again"
want "line 0 (not written)" "$(simvalue 0)" 0
wait $holder
verdict gpio-line-held-elsewhere-is-refused

# Any process that may request a line names its consumer: one that would
# retitle the terminal is shown, in --ports and in the refusal, escaped.
"$PROBE" gpiohold "/dev/$gpiochip" 5 5 "$(printf 'evil\033]2;ROOTED\007')" &
holder=$!
portsshow "$WORK.evilports" 'in use by "evil'
grep -q '^  line   5  SENSOR  *in use by "evil^\[\]2;ROOTED^G"$' "$WORK.evilports" ||
  note "--ports does not show line 5's consumer escaped"
gpiorun "OUTPUT 0 1\n$END_RUN" "--port=$MAP"
want "status" "$status" 255
want "stderr" "$(oneline "$WORK/err.txt")" \
  "Unable to use GPIO lines! / line 5 (SENSOR) of $gpiochip is in use by \"evil^[]2;ROOTED^G\": free it and run again"
for shown in "$WORK.evilports" "$WORK/err.txt"; do
  if grep -q "$(printf '[\033\007]')" "$shown"; then note "a raw escape byte in $shown"; fi
done
wait $holder
verdict gpio-line-consumer-holding-escape-bytes-reaches-the-terminal-escaped

# --- bad input: one message, status 255, nothing requested ----------------------

badinput() {
  gpiorun "OUTPUT 0 1\n$END_RUN" "$1"
  want "status for $1" "$status" 255
  want "stderr for $1" "$(oneline "$WORK/err.txt")" "$1: $2"
}
FORM=" (the form is CHIP:out=LINE,...:in=LINE,...)"
badinput "--port=nochip:out=1" 'no GPIO chip is labelled "nochip" (--ports lists the chips)'
badinput "--port=$gpiochip:out=NOPE" "$gpiochip has no line named NOPE (--ports lists them)"
badinput "--port=$gpiochip:out=16" "line 16 is beyond $gpiochip, which has 16 lines (0-15)"
badinput "--port=rig:out=1:in=RELAY" "line 1 (RELAY) is named twice"
badinput "--port=$gpiochip:in=0,1,2,3,4,5,6,7,8" "in= lists 9 lines; a port has 8 bits a side$FORM"
badinput "--port=$gpiochip:out=3/pull-up" "3/pull-up: a bias is for input lines$FORM"
badinput "--port=/dev/null:out=1" "/dev/null is not a GPIO chip"
badinput "--port=/dev/ttyS0:out=1" "/dev/ttyS0 is not a GPIO chip"
badinput "--port=/dev/gpiochip99:out=1" "/dev/gpiochip99: no such GPIO chip (--ports lists them)"
gpiorun "$END_RUN" "--port=$MAP" --port1=0x278
want "mixed ports' status" "$status" 255
want "mixed ports" "$(oneline "$WORK/err.txt")" "Unable to use GPIO lines! / Logical port 0 is on GPIO lines and --port1= names a parallel port: give --port1= as GPIO lines too (a GPIO port and a parallel port cannot be mixed)."
gpiorun "$END_RUN" "--port=$MAP" --port=0x378
want "one port on lines and on a parallel port: status" "$status" 255
want "one port on lines and on a parallel port" "$(oneline "$WORK/err.txt")" \
  "--port=0x378: logical port 0 is on GPIO lines already (a GPIO port and a parallel port cannot be mixed)"
gpiorun "OUTPUT 1 1\n$END_RUN" "--port=$MAP"
want "port 1 unwired" "$(oneline "$WORK/err.txt")" \
  "The script uses logical port 1, which has no GPIO lines: give them with --port1=CHIP:out=...:in=..."
# Permission: root-only, then a group the user is not in.
for mode in 600:0 660:2000; do
  chmod "${mode%:*}" "/dev/$gpiochip"
  chgrp "${mode#*:}" "/dev/$gpiochip"
  rm -rf "$WORK"
  mkdir -p "$WORK"
  chmod 777 "$WORK"
  printf '%b' "$END_RUN" > "$WORK/p.qun"
  (cd "$WORK" && timeout "$RUNTIME" "$PROBE" asuser "$USER_ID" "$QUON" "--port=$MAP" p.qun \
     < /dev/null > out.txt 2> err.txt)
  want "status as user, mode $mode" "$?" 255
  case $mode in
    600:0) hint="permission denied: it is open to root only (group 0): a udev rule can give it to a group (see the manual)" ;;
    *) hint="permission denied: members of group 2000 may open it (add the user to that group)" ;;
  esac
  want "stderr as user, mode $mode" "$(oneline "$WORK/err.txt")" "--port=$MAP: cannot open /dev/$gpiochip: $hint"
  # A check reads the map and opens no chip: the user may check all the same.
  printf 'OUTPUT 0 1\n$\n$\n' > "$WORK/c.qun"
  (cd "$WORK" && "$PROBE" asuser "$USER_ID" "$QUON" --check "--port=$MAP" c.qun \
     < /dev/null > out.txt 2> err.txt)
  want "--check as user, mode $mode" "$(oneline "$WORK/err.txt")" "c.qun: 0 errors, 0 warnings"
done
chmod 600 "/dev/$gpiochip"
chgrp 0 "/dev/$gpiochip"
verdict gpio-bad-input-is-refused

# --- safe outputs at exit -----------------------------------------------------------

rm -rf "$WORK.safe"
mkdir -p "$WORK.safe"
printf '%b' "OUTPUT 0 0101\n$END_RUN" > "$WORK.safe/s.qun"
(cd "$WORK.safe" && "$PROBE" atexit \
   "cat $simdir/sim_gpio0/value $simdir/sim_gpio1/value $simdir/sim_gpio2/value $simdir/sim_gpio3/value | tr -d '\n' > held.txt" \
   "$QUON" "--port=$MAP" --safe=0:1.10 --trace=s.vcd s.qun < /dev/null > /dev/null 2> err.txt)
want "status" "$?" 255
# OUTPUT 0101 then the safe pattern 1.10: bit 3 on, bit 2 kept, bits 1, 0 = 1, 0.
want "lines 0-3 at exit" "$(cat "$WORK.safe/held.txt" 2>/dev/null)" 0111
verdict gpio-safe-applied-at-exit

# --- no root: the device node's group --------------------------------------------------

chgrp "$USER_ID" "/dev/$gpiochip"
chmod 660 "/dev/$gpiochip"
rm -rf "$WORK"
mkdir -p "$WORK"
chmod 777 "$WORK"
printf '%b' "OUTPUT 0 10\n$END_RUN" > "$WORK/u.qun"
(cd "$WORK" && "$PROBE" atexit "cat $simdir/sim_gpio1/value > held.txt" \
   "$PROBE" asuser "$USER_ID" "$QUON" "--port=$MAP" u.qun < /dev/null > out.txt 2> err.txt)
want "status as the group's user" "$?" 255
want "stderr" "$(oneline "$WORK/err.txt")" "Attempt to input from logical port 2, > max of 1"
want "line 1 while held" "$(cat "$WORK/held.txt" 2>/dev/null)" 1
[ ! -e "$WORK/QUON.INI" ] || note "QUON.INI was written"
chmod 600 "/dev/$gpiochip"
chgrp 0 "/dev/$gpiochip"
verdict gpio-runs-without-root

# --- edges: the sleeping loop ----------------------------------------------------

PULL5=$simdir/sim_gpio5/pull

# gpiostart SCRIPT OPTION...: quon in the background in a fresh $WORK on the
# script, its own pid in quonpid (no wrapper: the processor share is its).
gpiostart() {
  rm -rf "$WORK"
  mkdir -p "$WORK"
  printf '%b' "$1" > "$WORK/bg.qun"
  shift
  (cd "$WORK" && exec "$QUON" "$@" bg.qun < /dev/null > out.txt 2> err.txt) &
  quonpid=$!
  gpioready "$@"
}

# gpioready OPTION...: waits (a generous bound: the guest is emulated) until
# the run holds its lines and, unless it spins, sleeps in the kernel (or has
# ended already: gpioend tells).
gpioready() {
  for _ in $(seq 1 80); do
    kill -0 "$quonpid" 2>/dev/null || return 0
    if "$QUON" --ports 2>/dev/null | grep -q 'in use by "quon"'; then
      case " $* " in *" --spin "*) return 0 ;; esac
      [ "$(cut -d' ' -f3 "/proc/$quonpid/stat" 2>/dev/null)" = S ] && return 0
    fi
    sleep 0.25
  done
  note "the run did not take its lines and settle"
}

# gpioend WHAT: waits (a generous bound: the guest is emulated) for the run
# to end by itself; sets status.
gpioend() {
  for _ in $(seq 1 40); do
    kill -0 "$quonpid" 2>/dev/null || break
    sleep 0.25
  done
  if kill -0 "$quonpid" 2>/dev/null; then
    note "$1: the run did not end"
    kill "$quonpid"
  fi
  wait "$quonpid"
  status=$?
}

# gpiostop: ends a run that waits for ever.
gpiostop() {
  kill "$quonpid" 2>/dev/null
  wait "$quonpid"
}

# traced VCD ID: the times (or, with "values", the values) of ID's changes
# in the trace, the value at time 0 left out.
traced() {
  awk -v id="$2" -v what="${3:-times}" '
    /^#/ { t = substr($0, 2) }
    substr($0, 2) == id && t != 0 { printf "%s ", what == "times" ? t : substr($0, 1, 1) }' "$1"
}

# A WAIT-only script's processor share over five seconds: asleep in the
# kernel by default, polling with --spin.
simpull 5 pull-down
WAITONLY='WAIT 0 .......1\n$\n$\n'
gpiostart "$WAITONLY" "--port=$MAP"
sleeping=$("$PROBE" share "$quonpid" 5 2>&1)
gpiostop
gpiostart "$WAITONLY" "--port=$MAP" --spin
spinning=$("$PROBE" share "$quonpid" 5 2>&1)
gpiostop
echo "QUONHW NOTE gpio-wait-share: sleeping $sleeping %, spinning $spinning %"
case "$sleeping $spinning" in
  [0-9]*.[0-9]\ [0-9]*.[0-9])
    [ "${sleeping%.*}" -lt 2 ] || [ "$sleeping" = 2.0 ] || note "sleeping, the WAIT took $sleeping % (at most 2 %)"
    [ "${spinning%.*}" -ge 50 ] || note "with --spin the WAIT took only $spinning %: it polls no more" ;;
  *) note "no share measured: '$sleeping' '$spinning'" ;;
esac
verdict gpio-wait-sleeps-and-spin-polls

# The time from a pull to the output of the WAIT it releases, both ways.
REACT='WAIT 0 .......1\nOUTPUT 0 1\nWAIT 0 .......0\nOUTPUT 0 0\n$\n$\n'
for mode in sleeping spinning; do
  if [ $mode = sleeping ]; then gpiostart "$REACT" "--port=$MAP"; else gpiostart "$REACT" "--port=$MAP" --spin; fi
  reaction=$("$PROBE" pullwait "$PULL5" "$simdir/sim_gpio0/value" 5 2>&1)
  gpiostop
  echo "QUONHW NOTE gpio-reaction $mode: pull to output in us: $reaction"
  case "$reaction" in
    "mean "[0-9]*" max "[0-9]*) ;;
    *) note "$mode: $reaction" ;;
  esac
done
verdict gpio-reaction-measured

# A pulse made and gone while the loop sleeps (up and at once down again)
# still releases the WAIT for its level.
simpull 5 pull-down
gpiostart "WAIT 0 .......1\nOUTPUT 0 1\n$END_RUN" "--port=$MAP"
"$PROBE" pulls "$PULL5" 0 > /dev/null
gpioend pulse
expectportend
want "line 5 after the pulse" "$(simvalue 5)" 0
verdict gpio-pulse-while-asleep-releases-wait

# A bounce inside the debounce time is one edge; --ports shows the period.
simpull 5 pull-down
gpiostart "WAIT 0 .......1\nWAIT 0 .......0\n$END_RUN" \
  "--port=$gpiochip:out=0,RELAY,2,3:in=SENSOR/debounce=50ms,6,7" --trace=db.vcd
"$QUON" --ports > "$WORK.dbports" 2>&1
grep -q '^  line   5  SENSOR  *in use by "quon", debounce 50ms$' "$WORK.dbports" ||
  note "--ports does not show line 5's debounce: $(grep '^  line   5 ' "$WORK.dbports")"
"$PROBE" pulls "$PULL5" 5 5 > /dev/null  # up, down 5 ms later, up 5 ms after that
sleep 1  # well past the 50 ms debounce: the kernel reports the settled level
simpull 5 pull-down
gpioend debounce
expectportend
want "in0 in the trace" "$(traced "$WORK/db.vcd" '"' values)" "1 0 "
verdict gpio-debounce-gives-one-edge

# The trace stamps each edge when it happened: the order and spacing of
# the pulls, whatever the loop's wake-ups.
simpull 5 pull-down
gpiostart "WAIT 0 .......1\nWAIT 0 .......0\nWAIT 0 .......1\nWAIT 0 .......0\n$END_RUN" \
  "--port=$MAP" --trace=edges.vcd
pulled=$("$PROBE" pulls "$PULL5" 100 200 100)
gpioend edge-times
expectportend
times=$(traced "$WORK/edges.vcd" '"')
# shellcheck disable=SC2086
set -- $pulled
p1=$1 p2=$2 p3=$3 p4=$4
# shellcheck disable=SC2086
set -- $times
if [ $# -ne 4 ] || [ -z "$p4" ]; then
  note "the trace shows in0 changing at '$times' for pulls at '$pulled'"
else
  for pair in "$(($2 - $1)) $((p2 - p1))" "$(($3 - $2)) $((p3 - p2))" "$(($4 - $3)) $((p4 - p3))"; do
    # shellcheck disable=SC2086
    set -- $pair
    off=$(($1 - $2))
    [ "${off#-}" -le 5000 ] || note "an edge spacing of $1 us in the trace for $2 us between the pulls"
  done
fi
verdict gpio-edge-times-follow-the-pulls

# A DELAY beside a sleeping WAIT still ends on time. DELAY counts whole
# milliseconds of the run's clock from the pass it starts in, and the trace
# stamps in microseconds: a DELAY 1 may end up to a millisecond short of
# 1000000 us by the trace, never more.
gpiostart "WAIT 0 .......1\n\$\nOUTPUT 0 1\nDELAY 1\nOUTPUT 0 0\n$END_RUN" "--port=$MAP" --trace=delay.vcd
gpioend delay
expectportend
# shellcheck disable=SC2046
set -- $(traced "$WORK/delay.vcd" '!')
if [ $# -eq 2 ]; then
  gap=$(($2 - $1))
  if [ "$gap" -lt 999000 ] || [ "$gap" -gt 1050000 ]; then note "the DELAY 1 lasted $gap us"; fi
else
  note "out0 changed at '$*'"
fi
verdict gpio-delay-beside-sleeping-wait-on-time

# A key typed on the terminal wakes the sleeping loop. The probe's
# terminal is a pseudo-terminal: the bare guest mounts none of its own.
mkdir -p /dev/pts
mount -t devpts -o ptmxmode=0666 devpts /dev/pts 2>/dev/null
[ -e /dev/ptmx ] || ln -s pts/ptmx /dev/ptmx
rm -rf "$WORK"
mkdir -p "$WORK"
printf '%b' "WAIT 0 .......1\n\$\nKEY a\nNOTATE typed\n$END_RUN" > "$WORK/key.qun"
(cd "$WORK" && timeout "$RUNTIME" "$PROBE" typekey 1500 a "$QUON" "--port=$MAP" key.qun \
   > out.txt 2> err.txt)
status=$?
expectportend
grep -q '^typed$' "$WORK/out.txt" || note "the key was not seen: $(oneline "$WORK/out.txt")"
verdict gpio-key-wakes-sleeping-loop

# --spin: the WAIT polls the lines as before and follows a held pull.
simpull 5 pull-down
gpiostart "WAIT 0 .......1\n$END_RUN" "--port=$MAP" --spin
kill -0 "$quonpid" 2>/dev/null || note "the WAIT ended before the line was pulled up"
simpull 5 pull-up
gpioend spin
expectportend
simpull 5 pull-down
verdict gpio-spin-wait-follows-pulls

# --- cost of one access ---------------------------------------------------------------

costs=$("$PROBE" cost "/dev/$gpiochip" 12 13 0x378 20000 2>&1)
echo "QUONHW NOTE access cost in ns: $costs"
case "$costs" in
  "gpio-in "[0-9]*" gpio-out "[0-9]*" port-in "[0-9]*" port-out "[0-9]*) ;;
  *) note "the probe measured nothing: $costs" ;;
esac
verdict gpio-access-cost
