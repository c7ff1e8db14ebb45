#!/usr/bin/env bash
# Builds the Windows launcher (tools/build-windows.sh, without its tests) and
# runs the start-up benchmark under Wine in a private network namespace.
#   bench/run-wine.sh [--runs N] [--warmup N]
# LAUNCHER_WINDOWS_ARCH chooses the build as for tools/build-windows.sh; on a
# machine that cannot run 32-bit programs the 64-bit build is measured. Where
# 32-bit programs run only emulated, a start costs seconds: the 32-bit build
# then takes 10 runs after 1 warm-up run unless --runs and --warmup say more.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${LAUNCHER_WINDOWS_ARCH:-}" ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  export LAUNCHER_WINDOWS_ARCH=x86_64
fi
arch="${LAUNCHER_WINDOWS_ARCH:-i686}"
build=build/windows
[ "$arch" = x86_64 ] && build=build/windows-x86_64
tools/install-deps.sh --windows
LAUNCHER_WINDOWS_TESTS=0 tools/build-windows.sh "$build" >/dev/null
counts=()
if [ "$arch" = i686 ] && tools/i386-emulation/setup.sh --emulated; then
  counts=(--runs 10 --warmup 1)
fi
exec unshare --net /usr/bin/python3.11 bench/wine_startup.py "$build/tests/windows/app_link.json" \
  "${counts[@]}" "$@"
