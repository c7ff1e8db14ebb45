"""Writes python311.zip: the pure-Python standard library as bytecode, compiled
by the build machine's python3.11 (the same bytecode as the Windows interpreter).

    stdlib_zip.py LIB_FOLDER ZIP
"""
import os
import pathlib
import sys
import zipfile

# Left out: the tests, the programs and demonstrations built on tkinter, the
# tools that install or package Python itself, and packages deprecated in 3.11
# for removal.
LEFT_OUT = {"test", "idlelib", "turtledemo", "ensurepip", "lib2to3",
            "site-packages", "venv", "distutils", "pydoc_data", "__phello__"}


def is_test_folder(path):
    parts = pathlib.PurePath(path).parts
    return any(p in ("test", "tests", "idle_test") for p in parts)


def write_zip(lib, out):
    tmp = out.with_suffix(".tmp")
    with zipfile.PyZipFile(tmp, "w", compression=zipfile.ZIP_DEFLATED, optimize=0) as z:
        for name in sorted(os.listdir(lib)):
            path = lib / name
            if name in LEFT_OUT or name.startswith("."):
                continue
            if path.is_dir() and (path / "__init__.py").is_file():
                z.writepy(str(path), filterfunc=lambda p: not is_test_folder(os.path.relpath(p, lib)))
            elif name.endswith(".py"):
                z.writepy(str(path))
    tmp.replace(out)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: stdlib_zip.py LIB_FOLDER ZIP")
    if sys.version_info[:2] != (3, 11):
        sys.exit("stdlib_zip.py: needs python3.11, the version of the Windows interpreter")
    lib, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    write_zip(lib, out)
    with zipfile.ZipFile(out) as z:
        names = set(z.namelist())
    for needed in ("encodings/__init__.pyc", "os.pyc", "ntpath.pyc", "io.pyc", "tkinter/__init__.pyc"):
        if needed not in names:
            sys.exit(f"stdlib_zip.py: {out} lacks {needed}")
    print(f"stdlib_zip.py: {out}: {len(names)} files, {out.stat().st_size} bytes")


if __name__ == "__main__":
    main()
