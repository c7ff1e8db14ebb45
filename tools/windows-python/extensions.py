"""The extension modules (.pyd) of the Windows interpreter: their sources,
flags and libraries, and the makefile that builds them.

    extensions.py SOURCE_TREE FLAGS_FOLDER LIBRARIES MAKEFILE
        writes the makefile; LIBRARIES holds the static libraries
        (LIBRARIES/<name>/include and lib) that build_library.sh made
    extensions.py --names
        prints the module names, one a line
"""
import pathlib
import sys

M = "Modules/"
EXPAT = [M + "expat/" + f + ".c" for f in ("xmlparse", "xmlrole", "xmltok")]
MPDEC = [M + "_decimal/libmpdec/" + f + ".c" for f in (
    "basearith constants context convolute crt difradix2 fnt fourstep io mpalloc "
    "mpdecimal numbertheory sixstep transpose").split()]
EXPAT_FLAGS = "-DXML_STATIC -DHAVE_EXPAT_CONFIG_H -I$(SRC)/Modules/expat"

# name: (sources, compiler flags, libraries to link)
MODULES = {
    "_socket": ([M + "socketmodule.c"], "", "-lws2_32 -liphlpapi"),
    "select": ([M + "selectmodule.c"], "", "-lws2_32"),
    "unicodedata": ([M + "unicodedata.c"], "", ""),
    "_asyncio": ([M + "_asynciomodule.c"], "", ""),
    "_overlapped": ([M + "overlapped.c"], "", "-lws2_32"),
    "_multiprocessing": ([M + "_multiprocessing/multiprocessing.c",
                          M + "_multiprocessing/semaphore.c"], "", "-lws2_32"),
    "_queue": ([M + "_queuemodule.c"], "", ""),
    "_uuid": ([M + "_uuidmodule.c"], "", "-lrpcrt4"),
    "_zoneinfo": ([M + "_zoneinfo.c"], "", ""),
    "winsound": (["PC/winsound.c"], "", "-lwinmm"),
    "_msi": (["PC/_msi.c"], "", "-lcabinet -lmsi -lrpcrt4"),
    # -iquote: libmpdec's io.h must not shadow the runtime's <io.h>
    "_decimal": ([M + "_decimal/_decimal.c"] + MPDEC,
                 "$(DECIMAL_CONFIG) -iquote $(SRC)/Modules/_decimal/libmpdec", ""),
    "pyexpat": ([M + "pyexpat.c"] + EXPAT, "-DPy_BUILD_CORE_MODULE -DPYEXPAT_EXPORTS " + EXPAT_FLAGS, ""),
    "_elementtree": ([M + "_elementtree.c"] + EXPAT, EXPAT_FLAGS, ""),
    "_ctypes": ([M + "_ctypes/" + f + ".c" for f in
                 "_ctypes callbacks callproc cfield malloc_closure stgdict".split()],
                "-DUSING_MALLOC_CLOSURE_DOT_C=1 -DFFI_BUILDING -I$(LIBS)/libffi/include",
                "$(LIBS)/libffi/lib/libffi.a -lole32 -loleaut32 -luuid"),
    "_sqlite3": ([M + "_sqlite/" + f + ".c" for f in
                  "connection cursor microprotocols module prepare_protocol row statement util blob".split()],
                 "-DPY_SQLITE_HAVE_SERIALIZE -DPY_SQLITE_ENABLE_LOAD_EXTENSION -I$(LIBS)/sqlite3/include",
                 "$(LIBS)/sqlite3/lib/libsqlite3.a"),
    "_bz2": ([M + "_bz2module.c"], "-I$(LIBS)/bzip2/include", "$(LIBS)/bzip2/lib/libbz2.a"),
    "_lzma": ([M + "_lzmamodule.c"], "-DLZMA_API_STATIC -I$(LIBS)/xz/include", "$(LIBS)/xz/lib/liblzma.a"),
    "_ssl": ([M + "_ssl.c"], "-I$(LIBS)/openssl/include",
             "$(LIBS)/openssl/lib/libssl.a $(LIBS)/openssl/lib/libcrypto.a -lws2_32 -lcrypt32"),
    "_hashlib": ([M + "_hashopenssl.c"], "-I$(LIBS)/openssl/include",
                 "$(LIBS)/openssl/lib/libcrypto.a -lws2_32 -lcrypt32"),
    # Tcl and Tk stay DLLs (build_tcltk.sh), carried beside _tkinter.pyd
    "_tkinter": ([M + "_tkinter.c", M + "tkappinit.c"], "-DWITH_APPINIT -I$(LIBS)/tcltk/include",
                 "$(LIBS)/tcltk/lib/libtcl86.dll.a $(LIBS)/tcltk/lib/libtk86.dll.a"),
}


def makefile(tree, tools, libraries):
    lines = [f"SRC := {tree}", f"LIBS := {libraries}", f"include {tools}/flags.mk", "",
             "all: " + " ".join(f"pyd/{name}.pyd" for name in MODULES), ""]
    for name, (sources, cflags, libs) in MODULES.items():
        objects = []
        for source in sources:
            obj = f"objext/{name}/" + pathlib.PurePosixPath(source).stem + ".o"
            objects.append(obj)
            lines.append(f"{obj}: $(SRC)/{source} {tools}/flags.mk")
            lines.append("\t@mkdir -p $(dir $@)")
            lines.append(f"\t$(CC) $(EXT_CFLAGS) {cflags} -c $< -o $@")
        lines.append(f"pyd/{name}.pyd: {' '.join(objects)} libpython311.dll.a")
        lines.append("\t@mkdir -p pyd")
        lines.append(f"\t$(CC) -shared -s -o $@ {' '.join(objects)} -static-libgcc libpython311.dll.a {libs}")
    return "\n".join(lines) + "\n"


def main():
    if sys.argv[1:] == ["--names"]:
        print("\n".join(MODULES))
        return
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    tree, tools, libraries, out = sys.argv[1:]
    pathlib.Path(out).write_text(makefile(tree, tools, libraries))


if __name__ == "__main__":
    main()
