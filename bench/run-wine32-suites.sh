#!/usr/bin/env bash
# Times the 32-bit Windows tests under Wine, in one run: the tests labelled
# essential (what tools/test.sh runs where 32-bit programs are emulated)
# against the whole suite (tools/build-windows.sh with every test), both in
# the same build folder and Wine prefix, after one untimed prefix start.
#   bench/run-wine32-suites.sh [BUILD_DIR]      (default build/windows)
# Prints the load average before and after. Fails only when a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/windows}"
tools/install-deps.sh --windows
if tools/i386-emulation/setup.sh --emulated; then how="emulated (qemu-i386)"; else how="native"; fi
LAUNCHER_WINDOWS_TESTS=0 tools/build-windows.sh "$build" >/dev/null
export WINEPREFIX="${WINEPREFIX:-$PWD/$build/wineprefix}"
WINEDEBUG=-all wine cmd /c exit >/dev/null 2>&1 || true  # the prefix and a first start, untimed

timed_ctest() {
  local start end
  start=$(date +%s%N)
  ctest --test-dir "$build" -j "$(nproc)" "$@" >"$build/bench-ctest.log" 2>&1 ||
    { tail -n 30 "$build/bench-ctest.log" >&2; echo "ctest $* failed" >&2; exit 1; }
  end=$(date +%s%N)
  echo $(( (end - start) / 1000000 ))
}

load_average() { cut -d' ' -f1 /proc/loadavg; }

load_before=$(load_average)
essential_ms=$(timed_ctest -L essential)
full_ms=$(timed_ctest -LE essential-only)
echo "32-bit Windows tests under Wine, 32-bit programs $how, $(nproc) jobs"
echo "  load average (1 min) $load_before before, $(load_average) after"
printf '  %-40s %6d.%d s\n' "essential (ctest -L essential)" $((essential_ms / 1000)) $((essential_ms % 1000 / 100)) \
  "full suite (ctest -LE essential-only)" $((full_ms / 1000)) $((full_ms % 1000 / 100))
echo "  ratio essential/full: $((essential_ms * 1000 / full_ms / 1000)).$(printf %03d $((essential_ms * 1000 / full_ms % 1000)))"
