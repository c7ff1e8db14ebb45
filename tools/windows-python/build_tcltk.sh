#!/usr/bin/env bash
# Cross-builds Tcl and Tk 8.6 for the Windows interpreter's _tkinter, as DLLs
# on msvcrt.dll, from Debian's tcl8.6 and tk8.6 source packages (the upstream
# win/ build; Debian's patches touch only the Unix side).
#
#   build_tcltk.sh HOST TCL_SOURCE TK_SOURCE PREFIX WORK JOBS
#
# The result in PREFIX:
#   bin/tcl86.dll bin/tk86.dll    the libraries (Tk reaches Tcl through its
#                                 stub table; _tkinter links both)
#   lib/libtcl86.dll.a lib/libtk86.dll.a include/
#   lib/tcl8.6 lib/tk8.6 lib/tcl8 the script libraries and Tcl's modules
# WORK is a scratch folder (logs stay there).
#
# The prefix compiled into tcl86.dll (::tcl::pkgconfig scriptdir,runtime,
# which Tcl searches for init.tcl when neither tcl_library nor TCL_LIBRARY is
# set) is //./NUL: a path inside the NUL device, where no user can create a
# folder. The application always names the folder it carries.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
host=$1 tcl=$2 tk=$3 prefix=$4 work=$5 jobs=$6
compiled_prefix=//./NUL
bits=
[ "$host" = x86_64-w64-mingw32 ] && bits=--enable-64bit
configure_args=(--host="$host" --build=x86_64-pc-linux-gnu CC="$host-gcc-posix" AR="$host-ar"
                RANLIB="$host-ranlib" RC="$host-windres" --prefix="$compiled_prefix"
                --enable-threads --enable-shared $bits)

rm -rf "$prefix" "$work"
mkdir -p "$work/tcl" "$work/tk" "$prefix"
logged() {
  local log=$1; shift
  "$@" > "$log" 2>&1 || { tail -n 20 "$log" >&2; echo "build_tcltk.sh: failed, see $PWD/$log" >&2; exit 1; }
}

cd "$work/tcl"
logged configure.log "$tcl/win/configure" "${configure_args[@]}"
/usr/bin/python3.11 "$here/tcl_makefile.py" "$work/tcl" "$host"
logged make.log make -j"$jobs"
logged install.log make install INSTALL_ROOT="$work/stage"

cd "$work/tk"
logged configure.log "$tk/win/configure" "${configure_args[@]}" --with-tcl="$work/tcl"
logged make.log make -j"$jobs"
logged install.log make install INSTALL_ROOT="$work/stage"

installed="$work/stage/${compiled_prefix#//./}"
mkdir -p "$prefix/bin" "$prefix/lib"
for dll in tcl86 tk86; do "$host-strip" -o "$prefix/bin/$dll.dll" "$installed/bin/$dll.dll"; done
cp "$installed"/lib/libtcl86.dll.a "$installed"/lib/libtk86.dll.a "$prefix/lib/"
cp -a "$installed/include" "$prefix/"
cp -a "$installed/lib/tcl8.6" "$installed/lib/tk8.6" "$installed/lib/tcl8" "$prefix/lib/"
# Tk's widget demonstrations are not part of the library.
rm -rf "$prefix/lib/tk8.6/demos"
