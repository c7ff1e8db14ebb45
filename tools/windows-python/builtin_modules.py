"""Prints the modules built into python311.dll, one a line: the entries of
_PyImport_Inittab in PC/config.c, which the core is compiled with.

    builtin_modules.py SOURCE_TREE
"""
import pathlib
import re
import sys


def builtin_modules(config_c: str) -> list:
    table = config_c.split("_PyImport_Inittab[]", 1)[-1]
    return re.findall(r'^\s*\{"(\w+)",', table, re.MULTILINE)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: builtin_modules.py SOURCE_TREE")
    names = builtin_modules((pathlib.Path(sys.argv[1]) / "PC/config.c").read_text())
    if len(names) < 40 or "nt" not in names or "sys" not in names:
        sys.exit("builtin_modules.py: PC/config.c no longer holds the module table as expected")
    print("\n".join(names))


if __name__ == "__main__":
    main()
