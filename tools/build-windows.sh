#!/usr/bin/env bash
# Cross-builds the Windows launcher and its tests with MinGW-w64 (i686) and
# runs the tests under Wine.
#
#   tools/build-windows.sh [BUILD_DIR]        (default: build/windows)
#
# The launcher, BUILD_DIR/launcher.exe, is a 32-bit GUI program with the
# application's resources (resources/launcher.rc and the boot script that
# tools/mkapp.py makes from examples/boot.py) and BUILD_DIR/lib.dll beside it.
# It needs python311.dll at run time, which only a Windows installation of
# the interpreter provides.
#
# Environment:
#   LAUNCHER_WINDOWS_SOURCES  where the source packages lzo2 and python3.11 are
#                             unpacked (default: BUILD_DIR/windows-sources);
#                             point it at a cache to fetch them only once
#   WINEPREFIX                the Wine prefix of the tests (default:
#                             BUILD_DIR/wineprefix), made on first use
#   JOBS                      parallel build jobs (default: nproc)
#
# Needs the packages of tools/install-deps.sh --windows.
set -euo pipefail

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$(mkdir -p "${1:-$source_dir/build/windows}" && cd "${1:-$source_dir/build/windows}" && pwd)"
sources="${LAUNCHER_WINDOWS_SOURCES:-$build_dir/windows-sources}"
jobs="${JOBS:-$(nproc)}"

export WINEPREFIX="${WINEPREFIX:-$build_dir/wineprefix}"
export WINEDEBUG=-all

"$source_dir/tools/fetch-windows-sources.sh" "$sources"

cmake -S "$source_dir" -B "$build_dir" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchain-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DLAUNCHER_APP_RC=resources/launcher.rc \
  -DLAUNCHER_WINDOWS_SOURCES="$sources" \
  -DLAUNCHER_WINEPREFIX="$WINEPREFIX"
cmake --build "$build_dir" -j "$jobs"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "initializing the Wine prefix $WINEPREFIX"
  # No Mono or Gecko: the tests need neither, and their installers would ask.
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i
  wineserver -w
fi

ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
