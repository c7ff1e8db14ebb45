#!/bin/sh
# Runs a cross-built test executable under Wine: CMake's emulator for the
# Windows build.  Usage: wine-run.sh PREFIX PROGRAM.exe [ARGUMENT...]
# PREFIX is the Wine prefix of the build folder, used when WINEPREFIX is not
# set; it is created on first use.
#
# An executable that imports the interpreter's DLL runs only where that DLL
# can be found (beside it, or in the prefix's system folder); elsewhere it is
# reported as skipped with exit code 77.
set -eu
prefix="$1"
shift
export WINEPREFIX="${WINEPREFIX:-$prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# The test requests go to the loopback: never through a proxy of the host.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    [ -f "$WINEPREFIX/system.reg" ] ||
      WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
  ) 9>"$WINEPREFIX.lock"
fi

program="$1"
interpreter_dll=python311.dll
if i686-w64-mingw32-objdump -p "$program" 2>/dev/null |
     grep -qi "DLL Name: $interpreter_dll"; then
  if [ ! -f "$(dirname "$program")/$interpreter_dll" ] &&
     [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/$interpreter_dll" ] &&
     [ ! -f "$WINEPREFIX/drive_c/windows/system32/$interpreter_dll" ]; then
    echo "skipped: $program needs $interpreter_dll, which is not installed" >&2
    exit 77
  fi
fi
exec wine "$@"
