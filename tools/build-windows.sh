#!/usr/bin/env bash
# Cross-builds the Windows interpreter (into its cache, once), the Windows
# launcher and its tests with MinGW-w64 (i686), and runs the tests under Wine.
#
#   tools/build-windows.sh [BUILD_DIR]        (default: build/windows,
#                                             build/windows-x86_64 for x86_64)
#
# The launcher, BUILD_DIR/launcher.exe, is a 32-bit GUI program with the
# application's resources (resources/launcher.rc and the boot script that
# tools/mkapp.py makes from examples/boot.py); beside it lie lib.dll and the
# interpreter: python311.dll, python311.zip and the .pyd extension modules.
#
# Environment:
#   LAUNCHER_WINDOWS_SOURCES  where the source packages are unpacked and the
#                             interpreter is built (default:
#                             /var/cache/launcher-windows/sources when it
#                             can be written, else under ~/.cache)
#   LAUNCHER_WINDOWS_ARCH     i686 (default: the launcher's platform) or
#                             x86_64, a 64-bit build of the same sources for
#                             machines whose kernel cannot run 32-bit
#                             programs (so neither 32-bit Wine)
#   LAUNCHER_WINDOWS_TESTS    1 (default): every test; essential: only the
#                             tests labelled essential (what CI runs where
#                             32-bit programs are emulated); 0: build only
#   WINEPREFIX                the Wine prefix of the tests (default:
#                             BUILD_DIR/wineprefix), made on first use
#   JOBS                      parallel build jobs (default: nproc)
#
# Needs the packages of tools/install-deps.sh --windows.
set -euo pipefail

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
arch="${LAUNCHER_WINDOWS_ARCH:-i686}"
case $arch in
  i686) toolchain=toolchain-mingw32.cmake default_build=build/windows loader=wine ;;
  x86_64) toolchain=toolchain-mingw64.cmake default_build=build/windows-x86_64 loader=/usr/lib/wine/wine64 ;;
  *) echo "LAUNCHER_WINDOWS_ARCH must be i686 or x86_64, not $arch" >&2; exit 2 ;;
esac
host="$arch-w64-mingw32"
build_dir="$(mkdir -p "${1:-$source_dir/$default_build}" && cd "${1:-$source_dir/$default_build}" && pwd)"
default_sources() {
  if mkdir -p /var/cache/launcher-windows 2>/dev/null && [ -w /var/cache/launcher-windows ]; then
    echo /var/cache/launcher-windows/sources
  else
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/launcher-windows/sources"
  fi
}
sources="${LAUNCHER_WINDOWS_SOURCES:-$(default_sources)}"
jobs="${JOBS:-$(nproc)}"

export WINEPREFIX="${WINEPREFIX:-$build_dir/wineprefix}"
export WINEDEBUG=-all
case $loader in */wine64) export WINELOADER="$loader" ;; esac

mkdir -p "$sources"
"$source_dir/tools/fetch-windows-sources.sh" "$sources"
"$source_dir/tools/windows-python/build.sh" "$sources" "$host" "$jobs"

cmake -S "$source_dir" -B "$build_dir" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/$toolchain" \
  -DCMAKE_BUILD_TYPE=Release \
  -DLAUNCHER_APP_RC=resources/launcher.rc \
  -DLAUNCHER_WINDOWS_SOURCES="$sources" \
  -DLAUNCHER_WINDOWS_PYTHON="$sources/windows-python/$host/dist" \
  -DLAUNCHER_WINEPREFIX="$WINEPREFIX"
cmake --build "$build_dir" -j "$jobs"

[ "${LAUNCHER_WINDOWS_TESTS:-1}" = 0 ] && exit 0
if ! "$loader" --version >/dev/null 2>&1; then
  echo "Wine's $arch loader ($loader) does not run on this machine; for the tests" >&2
  echo "use LAUNCHER_WINDOWS_ARCH=x86_64 (or LAUNCHER_WINDOWS_TESTS=0 to build only)" >&2
  exit 1
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "initializing the Wine prefix $WINEPREFIX"
  # No Mono or Gecko: the tests need neither, and their installers would ask.
  WINEDLLOVERRIDES="mscoree,mshtml=" "$loader" wineboot -i
  wineserver -w
fi

case ${LAUNCHER_WINDOWS_TESTS:-1} in
  essential) selection=(-L essential) ;;
  *) selection=(-LE essential-only) ;;
esac
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" "${selection[@]}"
