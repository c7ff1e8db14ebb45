"""Edits the Makefile that Tcl's win/configure generated, so that tcl86.dll
carries zlib compiled from Tcl's bundled sources instead of depending on the
prebuilt zlib1.dll in the source tarball.

    tcl_makefile.py BUILD_FOLDER HOST

Each edit must match its passage exactly once (patch_sources.apply_edits),
or the build stops naming the passage.
"""
import pathlib
import sys

import patch_sources

# the prebuilt import library that configure links, per MinGW-w64 target
ZLIB_IMPORT = {"i686-w64-mingw32": "win32/zdll.lib", "x86_64-w64-mingw32": "win64/libz.dll.a"}


def edits(host):
    zlib_import = ZLIB_IMPORT[host]
    why = "zlib inside tcl86.dll, no zlib1.dll"
    return [
        ("Makefile", "SHARED_LIBRARIES \t= $(TCL_DLL_FILE) ${ZLIB_DLL_FILE}\n",
         "SHARED_LIBRARIES \t= $(TCL_DLL_FILE)\n", why),
        ("Makefile", "TCL_OBJS = ${GENERIC_OBJS} ${WIN_OBJS}  $(TOMMATH_OBJS)\n",
         "TCL_OBJS = ${GENERIC_OBJS} ${WIN_OBJS} ${ZLIB_OBJS} $(TOMMATH_OBJS)\n", why),
        ("Makefile", f"-lws2_32 $(shell $(CYGPATH) '${{ZLIB_DIR_NATIVE}}/{zlib_import}')\n",
         "-lws2_32 # zlib: ZLIB_OBJS\n", why),
    ]


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in ZLIB_IMPORT:
        sys.exit(__doc__)
    try:
        patch_sources.apply_edits(pathlib.Path(sys.argv[1]), edits(sys.argv[2]))
    except (patch_sources.EditFailed, OSError) as e:
        sys.exit(f"tcl_makefile.py: Tcl's generated Makefile changed, the edit no longer applies: {e}")


if __name__ == "__main__":
    main()
