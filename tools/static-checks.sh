#!/usr/bin/env bash
# Static checks: clang-tidy (checks in .clang-tidy) and cppcheck over the
# program's sources. Exits non-zero on any finding.
#
#   tools/static-checks.sh
#
# clang-tidy needs the build's compile commands: a build folder (default
# build-static at the repository root, QUON_STATIC_BUILD overrides it) is
# configured with CMAKE_EXPORT_COMPILE_COMMANDS; nothing is compiled.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUON_STATIC_BUILD:-$root/build-static}"
jobs="${QUON_STATIC_JOBS:-2}"
cd "$root"

for tool in clang-tidy cppcheck; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is missing (Debian: apt-get install clang-tidy cppcheck)" >&2
    exit 2
  fi
done

echo "== Configuring $build for its compile commands"
cmake -S "$root" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# The program itself: every source the build compiles in the product
# folders named in cmake/sources.cmake (every subsystem, every provider,
# quon-monitor), and the test doubles; the headers of the same folders.
cmake -DBUILD="$build" -P "$root/cmake/product-sources.cmake"
mapfile -t sources < "$build/static-check-sources.txt"
headers="$(cat "$build/static-check-headers.txt")"
if [ "${#sources[@]}" -eq 0 ]; then
  echo "!! $build/compile_commands.json names no source of the program" >&2
  exit 1
fi

status=0

echo "== clang-tidy (${#sources[@]} files)"
# One file per clang-tidy process: clang-tidy 14 carries analyzer state from
# one file to the next and then reports a va_list in fatal() as
# uninitialised when that file is not the first of its process.
# The "N warnings generated" lines count system-header warnings that the
# header filter drops anyway; everything else is shown.
set +o pipefail
printf '%s\n' "${sources[@]}" |
  xargs -P "$jobs" -n 1 clang-tidy -p "$build" --header-filter="$headers" --quiet 2>&1 |
  { grep -v '^[0-9]* warnings\? generated\.$' || true; }  # clean: no lines
tidy="${PIPESTATUS[1]}"
set -o pipefail
if [ "$tidy" -ne 0 ]; then
  echo "!! clang-tidy found faults" >&2
  status=1
fi

# cppcheck reads the sources itself, with the repository root as include
# path. The analysed files also take in the fuzz targets.
#  -D__attribute__(x)=   cppcheck 2.10 misses [[noreturn]] on fatal() when
#                        a GNU attribute follows it, and then reports the
#                        code after every fatal() call as reachable.
#  missingIncludeSystem  the standard headers are not given to cppcheck;
#                        it knows the library through its own configuration.
#  useStlAlgorithm       the program keeps plain loops over plain arrays.
#  unreachableCode:platform/lastwords_posix.cpp, platform/keys_tty.cpp
#                        cppcheck takes raise() for a call that never
#                        returns: the _exit() after it in the fatal-signal
#                        handler is a guard, and a raise(SIGTSTP) returns
#                        when the program is continued.
echo "== cppcheck"
if ! cppcheck --std=c++17 --language=c++ -I "$root" '-D__attribute__(x)=' \
    --enable=warning,style,performance,portability --inline-suppr \
    --error-exitcode=1 --quiet -j "$jobs" \
    --suppress=missingIncludeSystem --suppress=useStlAlgorithm \
    --suppress=unreachableCode:platform/lastwords_posix.cpp \
    --suppress=unreachableCode:platform/keys_tty.cpp \
    --template='{file}:{line}: {severity}: {message} [{id}]' \
    "${sources[@]}" fuzz/*.cpp; then
  echo "!! cppcheck found faults" >&2
  status=1
fi

if [ "$status" -ne 0 ]; then
  echo "== Static checks failed" >&2
  exit 1
fi
echo "== Static checks clean"
