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
  # The Windows interpreter is built once into a cache outside the clone.
  export LAUNCHER_WINDOWS_SOURCES="${LAUNCHER_WINDOWS_SOURCES:-/var/cache/launcher-windows/sources}"
  if tools/i386-emulation/setup.sh --emulated; then
    # 32-bit programs run here only under user-mode emulation (install-deps
    # set it up): the 64-bit build and the 32-bit one each run every test;
    # the 32-bit suite takes about eleven minutes there.
    echo "== Windows build (64-bit) and tests under Wine"
    LAUNCHER_WINDOWS_ARCH=x86_64 tools/build-windows.sh
    echo "== Windows build (32-bit) and tests under emulation"
    tools/build-windows.sh
  elif /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "== Windows build and tests under Wine"
    tools/build-windows.sh
  else
    # A kernel without 32-bit support runs no 32-bit Wine: the 32-bit build is
    # built, and the tests run with the 64-bit build of the same sources.
    echo "== Windows build (32-bit; this machine cannot run 32-bit programs)"
    LAUNCHER_WINDOWS_TESTS=0 tools/build-windows.sh
    echo "== Windows build (64-bit) and tests under Wine"
    LAUNCHER_WINDOWS_ARCH=x86_64 tools/build-windows.sh
  fi
fi
