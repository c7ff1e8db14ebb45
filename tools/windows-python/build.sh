#!/usr/bin/env bash
# Builds the Windows interpreter (CPython 3.11 on msvcrt.dll, cross-built with
# MinGW-w64) from Debian's source packages, into a cache folder.
#
#   tools/windows-python/build.sh SOURCES [HOST [JOBS]]
#
# HOST is the MinGW-w64 target: i686-w64-mingw32 (the default, the launcher's
# own platform) or x86_64-w64-mingw32 (for testing where the machine cannot
# run 32-bit programs). SOURCES holds the unpacked source packages
# (tools/fetch-windows-sources.sh fetches what is missing). The result is
# SOURCES/windows-python/HOST/dist:
#   python311.dll  the core, with the modules PC/config.c builds in
#   python311.zip  the pure-Python standard library
#   *.pyd          the extension modules of extensions.py
#   tcl86.dll tk86.dll
#                  Tcl and Tk, which _tkinter.pyd loads (build_tcltk.sh)
#   tcl/tcl8.6 tcl/tk8.6 tcl/tcl8
#                  their script libraries and Tcl's modules; Tcl finds them
#                  only where the application points TCL_LIBRARY and
#                  TK_LIBRARY (the prefix compiled in names nothing)
#   python.exe     the console interpreter on the same DLL
#   libpython311.dll.a
#                  the import library of python311.dll, for the launcher
#   builtin_modules.txt
#                  the modules built into python311.dll, one a line
#   include/       the headers the interpreter was built with
# Each stage is redone only when its inputs (source versions, these scripts)
# changed, so a second run takes seconds. Needs the packages of
# tools/install-deps.sh --windows.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
sources="$(cd "${1:?usage: build.sh SOURCES [HOST [JOBS]]}" && pwd)"
host="${2:-i686-w64-mingw32}"
jobs="${3:-2}"
case $host in
  i686-w64-mingw32|x86_64-w64-mingw32) ;;
  *) echo "build.sh: unknown host $host" >&2; exit 2 ;;
esac
cache="$sources/windows-python/$host"
dist="$cache/dist"
python=/usr/bin/python3.11
libraries=(bzip2:bzip2 xz:xz-utils libffi:libffi sqlite3:sqlite3 openssl:openssl)

"$here/../fetch-windows-sources.sh" "$sources" python3.11 libffi sqlite3 bzip2 xz-utils openssl tcl8.6 tk8.6

# a key for the inputs of a stage: the exact versions of the given source
# packages (their changelog's first line) and the contents of the given files
inputs_key() {
  { echo "$host"
    for f in "$@"; do
      if [ -d "$f" ]; then head -n 1 "$f/debian/changelog"; else sha256sum < "$f"; fi
    done; } | sha256sum | cut -c1-16
}
fresh() { [ -f "$1" ] && [ "$(cat "$1")" = "$2" ]; }

python_key=$(inputs_key "$sources/python3.11" "$here/patch_sources.py" "$here/freeze_modules.sh")
all_key=$(inputs_key "$sources/python3.11" "$here"/*.py "$here"/*.sh "$here/flags.mk" \
  $(for l in "${libraries[@]}"; do echo "$sources/${l#*:}"; done) "$sources/tcl8.6" "$sources/tk8.6")
if fresh "$dist/.key" "$all_key"; then
  echo "the Windows interpreter is up to date in $dist"
  exit 0
fi
mkdir -p "$cache"
start=$(date +%s)
stage() { echo "== windows interpreter: $1 ($(( $(date +%s) - start )) s)"; }

# The source tree is copied, then edited: the unpacked package stays as Debian
# made it (the launcher's own build reads its headers).
tree="$cache/python3.11"
if ! fresh "$cache/.tree-key" "$python_key"; then
  stage "source tree"
  rm -rf "$tree" "$cache/core" "$cache/.tree-key"
  cp -a "$sources/python3.11/." "$tree"
  "$python" "$here/patch_sources.py" "$tree"
  "$here/freeze_modules.sh" "$tree"
  echo "$python_key" > "$cache/.tree-key"
fi

stage "python311.dll"
mkdir -p "$cache/core"
# The objects depend on the flags by the cache's copy of flags.mk, renewed
# only when its content changed: a fresh checkout's file times rebuild nothing.
cmp -s "$here/flags.mk" "$cache/flags.mk" || cp "$here/flags.mk" "$cache/flags.mk"
"$python" "$here/core_makefile.py" "$tree" "$cache" "$cache/core/Makefile"
make -C "$cache/core" -j"$jobs" HOST="$host" > "$cache/core/make.log" 2>&1 || {
  grep -E 'error|Error' "$cache/core/make.log" | head -n 20 >&2
  echo "the interpreter's core failed to build, see $cache/core/make.log" >&2; exit 1; }

for entry in "${libraries[@]}"; do
  name=${entry%%:*} package=${entry#*:}
  key=$(inputs_key "$sources/$package" "$here/build_library.sh")
  fresh "$cache/libraries/$name/.key" "$key" && continue
  stage "library $name"
  "$here/build_library.sh" "$host" "$name" "$(cd "$sources/$package" && pwd -P)" "$cache/libraries/$name" \
    "$cache/library-build/$name" "$jobs"
  echo "$key" > "$cache/libraries/$name/.key"
done

tcltk_key=$(inputs_key "$sources/tcl8.6" "$sources/tk8.6" "$here/build_tcltk.sh" "$here/tcl_makefile.py")
if ! fresh "$cache/libraries/tcltk/.key" "$tcltk_key"; then
  stage "Tcl/Tk"
  "$here/build_tcltk.sh" "$host" "$(cd "$sources/tcl8.6" && pwd -P)" "$(cd "$sources/tk8.6" && pwd -P)" \
    "$cache/libraries/tcltk" "$cache/library-build/tcltk" "$jobs"
  echo "$tcltk_key" > "$cache/libraries/tcltk/.key"
fi

stage "extension modules"
"$python" "$here/extensions.py" "$tree" "$cache" "$cache/libraries" "$cache/core/Makefile.extensions"
make -C "$cache/core" -j"$jobs" HOST="$host" -f Makefile.extensions > "$cache/core/make-extensions.log" 2>&1 || {
  grep -E 'error|undefined reference' "$cache/core/make-extensions.log" | head -n 20 >&2
  echo "extension modules failed to build, see $cache/core/make-extensions.log" >&2; exit 1; }

stage "python311.zip"
rm -rf "$dist.new"
mkdir -p "$dist.new"
"$python" "$here/stdlib_zip.py" "$tree/Lib" "$dist.new/python311.zip"

stage "dist"
"$host-strip" -o "$dist.new/python311.dll" "$cache/core/python311.dll"
"$host-strip" -o "$dist.new/python.exe" "$cache/core/python.exe"
cp "$cache"/core/pyd/*.pyd "$cache/core/libpython311.dll.a" "$dist.new/"
cp "$cache"/libraries/tcltk/bin/*.dll "$dist.new/"
mkdir -p "$dist.new/tcl"
cp -a "$cache"/libraries/tcltk/lib/{tcl8.6,tk8.6,tcl8} "$dist.new/tcl/"
"$python" "$here/builtin_modules.py" "$tree" > "$dist.new/builtin_modules.txt"
mkdir -p "$dist.new/include"
cp -a "$tree/Include/." "$dist.new/include/"
cp "$tree/PC/pyconfig.h" "$dist.new/include/"
echo "$all_key" > "$dist.new/.key"
rm -rf "$dist"
mv "$dist.new" "$dist"
stage "done: $dist"
