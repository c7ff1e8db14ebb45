#!/usr/bin/env bash
# Runs every test: the native build, the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the Windows build under Wine.
# Installs what is missing first.
#   tools/test.sh [--native-only]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

with_windows=1
[ "${1:-}" = "--native-only" ] && with_windows=0

if [ "$with_windows" = 1 ]; then
  tools/install-deps.sh --windows
else
  tools/install-deps.sh
fi

build_and_test() {
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

echo "== native build and tests"
build_and_test "$root/build/native"

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build_and_test "$root/build/sanitize" -DLAUNCHER_SANITIZE=ON

if [ "$with_windows" = 1 ]; then
  echo "== Windows build and tests under Wine"
  tools/build-windows.sh
fi
