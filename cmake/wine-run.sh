#!/bin/sh
# Runs a cross-built test executable under Wine: CMake's emulator for the
# Windows build.  Usage: wine-run.sh PREFIX LOADER PROGRAM.exe [ARGUMENT...]
# PREFIX is the Wine prefix of the build folder, used when WINEPREFIX is not
# set; it is created on first use. LOADER is wine, or /usr/lib/wine/wine64
# for the 64-bit build.
set -eu
prefix="$1"
loader="$2"
shift 2
# Wine starts child processes with the loader it was started by.
case $loader in */wine64) export WINELOADER="$loader" ;; esac
export WINEPREFIX="${WINEPREFIX:-$prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# The test requests go to the loopback: never through a proxy of the host.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] ||
      WINEDLLOVERRIDES="mscoree,mshtml=" "$loader" wineboot -i >/dev/null 2>&1
  ) 9>"$WINEPREFIX.lock"
fi

exec "$loader" "$@"
