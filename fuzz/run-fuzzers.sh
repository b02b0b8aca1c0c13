#!/usr/bin/env bash
# Builds the fuzz targets with clang++ under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a bounded time.
#
#   fuzz/run-fuzzers.sh [seconds-per-target]     (default 30)
#
# The build folder is build-fuzz at the repository root (QUON_FUZZ_BUILD
# overrides it); it is configured from fuzz/CMakeLists.txt, so the main
# build is never touched. New corpus entries stay in the build folder; a
# crash, a hang (no return within 10 s) or a blown memory limit makes the
# script exit non-zero, and the input is saved under <build>/crashes/.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
build="${QUON_FUZZ_BUILD:-$root/build-fuzz}"
jobs="${QUON_FUZZ_JOBS:-2}"

case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [seconds-per-target]" >&2; exit 2 ;;
esac
if ! command -v clang++ >/dev/null; then
  echo "clang++ is missing (Debian: apt-get install clang)" >&2
  exit 2
fi

echo "== Building the fuzz targets in $build"
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j"$jobs"

# Seeds: the example scripts and testbenches and the hand-made inputs of
# fuzz/corpus. The examples are copied at run time, so a new example
# becomes a seed at once.
seeds="$build/seeds-load"
benchseeds="$build/seeds-testbench"
rm -rf "$seeds" "$benchseeds"
mkdir -p "$seeds" "$benchseeds" "$build/corpus-load" "$build/corpus-literals" \
  "$build/corpus-testbench" "$build/crashes"
cp "$root"/examples/*.qun "$seeds"/
cp "$root"/examples/*.qtb "$benchseeds"/

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=0
# runfuzzer <target> <extra options...> -- <corpus folders...>
# The first corpus folder receives the new inputs; the others are read only.
runfuzzer() {
  local target="$1"
  shift
  echo "== $target for $seconds s"
  if ! "$build/$target" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/crashes/$target-" "$@"; then
    echo "!! $target failed; the input is in $build/crashes/" >&2
    ls -l "$build/crashes/" >&2
    failed=1
  fi
}

runfuzzer fuzz_load -max_len=8192 -dict="$root/fuzz/script.dict" \
  "$build/corpus-load" "$seeds" "$root/fuzz/corpus/load"
runfuzzer fuzz_literals -max_len=64 \
  "$build/corpus-literals" "$root/fuzz/corpus/literals"
runfuzzer fuzz_testbench -max_len=8192 -dict="$root/fuzz/testbench.dict" \
  "$build/corpus-testbench" "$benchseeds" "$root/fuzz/corpus/testbench"

if [ "$failed" -ne 0 ]; then
  echo "== Fuzzing found faults" >&2
  exit 1
fi
echo "== Fuzzing found no fault"
