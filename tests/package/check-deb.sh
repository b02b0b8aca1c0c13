#!/usr/bin/env bash
# Builds the Debian package from a configured and built build folder,
# installs it, checks the installed programs, manual page, examples and
# editor files, removes it again and checks that nothing of it is left.
# Needs root (dpkg -i, dpkg -r) and a machine where quon is not installed.
#
# Usage: check-deb.sh <build folder>
# Prints "N passed, M failed" and exits non-zero on any failure.
set -u

build=${1:-}
if [ -z "$build" ] || [ ! -f "$build/CPackConfig.cmake" ]; then
  echo "usage: check-deb.sh <build folder> (configured and built with cmake)" >&2
  exit 2
fi
build=$(cd "$build" && pwd)

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
# check <description> <command...>
check() {
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}
installed() {
  dpkg-query -W -f='${Status}' quon 2>/dev/null | grep -q 'install ok installed'
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if installed; then
  fail "quon is already installed here; remove it first (dpkg -r quon)"
  finish
fi

# ---- Build ----
rm -f "$build"/quon_*.deb
if (cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1; then
  pass "cpack -G DEB"
else
  cat "$work/cpack.log"
  fail "cpack -G DEB"
  finish
fi
deb=$(ls "$build"/quon_*.deb 2>/dev/null | head -n 1)
if [ -z "$deb" ]; then
  fail "a quon_*.deb in the build folder"
  finish
fi

# ---- The package's control data ----
field() { dpkg-deb --field "$deb" "$1"; }
check "package name is quon" [ "$(field Package)" = quon ]
check "section is electronics" [ "$(field Section)" = electronics ]
check "maintainer is QUON developers" [ "$(field Maintainer)" = "QUON developers" ]
check "depends on libc6" grep -qw libc6 <<<"$(field Depends)"

# Every regular file the package ships, as an absolute path.
dpkg-deb --contents "$deb" | awk '$1 ~ /^-/ { sub(/^\./, "", $6); print $6 }' \
  >"$work/files.txt"
for f in /usr/bin/quon /usr/bin/quon-sim /usr/bin/quon-monitor \
         /usr/share/man/man1/quon.1 /usr/share/man/man1/quon-sim.1 \
         /usr/share/man/man1/quon-monitor.1 \
         /usr/lib/systemd/system/quon@.service \
         /usr/share/vim/vimfiles/compiler/quon.vim \
         /usr/share/doc/quon/examples/demo.qun \
         /usr/share/doc/quon/examples/demo.qtb \
         /usr/share/doc/quon/examples/QUON.INI \
         /usr/share/vim/vimfiles/syntax/qun.vim \
         /usr/share/vim/vimfiles/ftdetect/qun.vim; do
  check "package ships $f" grep -qx "$f" "$work/files.txt"
done
check "package ships no log from a run of the examples" \
  bash -c '! grep -qi "\.log$" "$1"' _ "$work/files.txt"

# ---- Install ----
if dpkg -i "$deb" >"$work/install.log" 2>&1; then
  pass "dpkg -i installs"
else
  cat "$work/install.log"
  fail "dpkg -i installs"
  finish
fi

usage='QUON [-v] [-d] [-b] [-? | /?] [--<option>...] [<file>]

   -v              Verbose: the script'"'"'s full source listed in QUON.log
        (with -b, every input reading printed too).
   -d              Dump: the tokens of the script, line by line, and the
        first entry of each thread; every output byte printed.
   -b              Port debugging: the calibration'"'"'s readings printed
        (with -v, every input reading).
   -?, /?          Prints this message.
   <file>          The script; a name without any '"'"'.'"'"' gets ".qun".
        Without one, the script is read from standard input.'
for program in quon-sim quon; do
  out=$(cd "$work" && "$program" '-?' </dev/null 2>"$work/err.txt")
  status=$?
  check "$program -? exits with status 0" [ "$status" -eq 0 ]
  check "$program -? prints the usage text" [ "$out" = "$usage" ]
  check "$program -? prints nothing on standard error" [ ! -s "$work/err.txt" ]
done
check "quon-monitor with nothing running says so (status 1)" \
  bash -c 'quon-monitor --once >/dev/null 2>&1; [ $? -eq 1 ]'
check "quon-sim is found on the PATH at /usr/bin" \
  [ "$(command -v quon-sim)" = /usr/bin/quon-sim ]

page=$(man -w quon 2>/dev/null)
check "man -w quon finds the page under /usr/share/man" \
  [ "${page#/usr/share/man/}" != "$page" ]
check "the installed page formats without warnings" \
  bash -c '[ -z "$(groff -ww -man -Tutf8 -z "$1" 2>&1)" ]' _ "$page"
# The service template passes systemd's own check (which exits 0 on some
# findings, so what it prints counts).
if command -v systemd-analyze >/dev/null 2>&1; then
  check "systemd-analyze verify finds nothing in quon@.service" \
    bash -c 'out=$(systemd-analyze verify quon@rig.service 2>&1); [ -z "$out" ] || { echo "$out" >&2; false; }'
  if [ -x /usr/bin/quon-mqtt ]; then
    check "systemd-analyze verify finds nothing in quon-mqtt@.service" \
      bash -c 'out=$(systemd-analyze verify quon-mqtt@rig.service 2>&1); [ -z "$out" ] || { echo "$out" >&2; false; }'
  fi
elif [ -n "${QUON_CI:-}" ]; then
  check "systemd-analyze is installed (CI)" false
fi
for program in quon-sim quon-monitor; do
  check "man $program shows its page" \
    bash -c 'man -P cat "$1" 2>/dev/null | grep -q "$1"' _ "$program"
done
for program in quon quon-sim quon-monitor; do
  check "$program --version names it" \
    bash -c '"$1" --version | grep -qx "$1 [0-9.]*"' _ "$program"
  check "$program --help prints its usage" bash -c '"$1" --help | grep -q "\-\-version"' _ "$program"
done

# The installed demo loads cleanly: its thread 0 is replaced by one that
# fails at its first step, so the run ends at once after loading.
mkdir "$work/run"
cp /usr/share/doc/quon/examples/QUON.INI "$work/run/"
{ printf 'OUTPUT 9 1\n$\n'; cat /usr/share/doc/quon/examples/demo.qun; } \
  >"$work/run/demo.qun"
(cd "$work/run" && timeout 30 setsid -w quon-sim demo.qun </dev/null \
  >/dev/null 2>"$work/run/err.txt")
status=$?
check "the installed demo loads on quon-sim (status $status)" \
  grep -q 'logical port 9' "$work/run/err.txt"
check "the installed demo leaves QUON.log empty" [ ! -s "$work/run/QUON.log" ]

# ---- Remove ----
if dpkg -r quon >"$work/remove.log" 2>&1; then
  pass "dpkg -r removes"
else
  cat "$work/remove.log"
  fail "dpkg -r removes"
fi
notinstalled() { ! installed; }
check "dpkg no longer lists quon as installed" notinstalled
left=0
while IFS= read -r f; do
  if [ -e "$f" ]; then
    echo "still there: $f"
    left=$((left + 1))
  fi
done <"$work/files.txt"
check "every file of the package is gone" [ "$left" -eq 0 ]
check "man -w quon no longer finds a page" bash -c '! man -w quon >/dev/null 2>&1'

# ---- A plain install, as the README gives it (prefix /usr/local) ----
# The service template names the program where this install put it.
if [ -e /usr/local/bin/quon ]; then
  fail "quon is installed under /usr/local already; remove it first"
  finish
fi
if cmake --install "$build" --prefix /usr/local >"$work/plain.log" 2>&1; then
  pass "cmake --install --prefix /usr/local"
else
  cat "$work/plain.log"
  fail "cmake --install --prefix /usr/local"
  finish
fi
unit=/usr/local/lib/systemd/system/quon@.service
check "the /usr/local unit starts /usr/local/bin/quon" \
  grep -qx 'ExecStart=/usr/local/bin/quon $QUON_OPTIONS %i.qun' "$unit"
if command -v systemd-analyze >/dev/null 2>&1; then
  check "systemd-analyze verify finds nothing in the /usr/local unit" \
    bash -c 'out=$(systemd-analyze verify quon@rig.service 2>&1); [ -z "$out" ] || { echo "$out" >&2; false; }'
fi
xargs -d '\n' rm -f <"$build/install_manifest.txt"
check "the plain install is removed again" bash -c '[ ! -e /usr/local/bin/quon ] && [ ! -e "$1" ]' _ "$unit"

finish
