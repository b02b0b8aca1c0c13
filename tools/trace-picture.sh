#!/usr/bin/env bash
# Makes the README's picture of a trace: the demo script traced on quon-sim
# for three seconds, drawn by GTKWave on a virtual screen and photographed.
#
#   tools/trace-picture.sh [out.png]     (default docs/trace-demo.png)
#
# Needs a built quon-sim (build/), and Debian's gtkwave, xvfb and
# imagemagick. Not part of CI: the picture only shows what the tests check.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/docs/trace-demo.png}"
for tool in gtkwave xvfb-run import; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is missing (Debian: apt-get install gtkwave xvfb xauth imagemagick)" >&2
    exit 2
  fi
done
[ -x "$root/build/quon-sim" ] || { echo "build quon-sim first (see README)" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp "$root/examples/demo.qun" "$root/examples/QUON.INI" "$work/"
cd "$work"
# Three seconds of the demo, ended by a signal as a user's Ctrl-C would.
timeout -s TERM 3 "$root/build/quon-sim" --trace=demo.vcd demo </dev/null >/dev/null || true

cat > view.tcl <<'TCL'
gtkwave::addSignalsFromList {port0.out0 port0.in0 threads.blinker threads.follower threads.watcher}
gtkwave::setZoomFactor -5
gtkwave::/Time/Zoom/Zoom_Full
TCL
xvfb-run -a -s "-screen 0 1000x420x24" sh -c '
  gtkwave -S view.tcl demo.vcd >/dev/null 2>&1 &
  viewer=$!
  sleep 5
  import -window root "$0"
  kill "$viewer"
' "$work/shot.png"
cp "$work/shot.png" "$out"
echo "wrote $out"
