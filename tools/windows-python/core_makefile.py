"""Writes the makefile of python311.dll: the C sources of
PCbuild/pythoncore.vcxproj, with the per-file definitions that project gives,
and python.exe, the console interpreter on the same DLL.

    core_makefile.py SOURCE_TREE FLAGS_FOLDER MAKEFILE

FLAGS_FOLDER holds flags.mk.
"""
import pathlib
import re
import sys

# Definitions pythoncore.vcxproj sets for single files.
PER_FILE_FLAGS = {
    "Modules/getpath.c": r'-DPREFIX=NULL -DEXEC_PREFIX=NULL -DVERSION=NULL -DVPATH=\"..\\\\..\" '
                         r'-DPYDEBUGEXT=\"\" -DPLATLIBDIR=\"DLLs\"',
    "Python/sysmodule.c": r'-DVPATH=\"..\\\\..\"',
    "Modules/binascii.c": "-DUSE_ZLIB_CRC32",
}


def core_sources(project_text):
    """The project's C sources relative to the tree, without $(zlibDir) (Debian's libz.a instead)."""
    names = [n.replace("\\", "/") for n in re.findall(r'ClCompile Include="([^"]*)"', project_text)]
    return [n[len("../"):] for n in names if n.startswith("../")]


def object_of(source):
    return "obj/" + source[:-len(".c")] + ".o"


def makefile(tree, tools, sources):
    objects = [object_of(s) for s in sources]
    lines = [f"SRC := {tree}", f"include {tools}/flags.mk", ""]
    lines.append("all: python311.dll python.exe")
    lines.append("python311.dll: " + " ".join(objects))
    lines.append("\t$(CC) -shared -o $@ $^ -Wl,--out-implib,libpython311.dll.a $(CORE_LIBS)")
    lines.append("libpython311.dll.a: python311.dll")
    lines.append(f"python.exe: $(SRC)/Programs/python.c libpython311.dll.a {tools}/flags.mk")
    lines.append("\t$(CC) $(EXT_CFLAGS) -municode -o $@ $< libpython311.dll.a -static-libgcc")
    for source, obj in zip(sources, objects):
        lines.append(f"{obj}: $(SRC)/{source} {tools}/flags.mk")
        lines.append(f"\t@mkdir -p $(dir $@)")
        lines.append(f"\t$(CC) $(CORE_CFLAGS) {PER_FILE_FLAGS.get(source, '')} -c $< -o $@")
    return "\n".join(lines) + "\n"


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: core_makefile.py SOURCE_TREE FLAGS_FOLDER MAKEFILE")
    tree, tools, out = (pathlib.Path(a) for a in sys.argv[1:])
    sources = core_sources((tree / "PCbuild/pythoncore.vcxproj").read_text())
    if len(sources) < 150 or "Python/pylifecycle.c" not in sources:
        sys.exit(f"core_makefile.py: PCbuild/pythoncore.vcxproj lists {len(sources)} sources, "
                 "not the core as expected")
    missing = [s for s in sources if not (tree / s).is_file()]
    if missing:
        sys.exit("core_makefile.py: sources named by the project are missing: " + " ".join(missing))
    out.write_text(makefile(tree, tools, sources))
    print(f"core_makefile.py: {len(sources)} sources")


if __name__ == "__main__":
    main()
