"""The POSIX host target: the interpreter running this tool (Debian's
/usr/bin/python3.11), whose standard library and lib-dynload folder an output
carries. Extension modules find the libraries carried beside them through
an RPATH of $ORIGIN, set with patchelf."""

from __future__ import annotations

import functools
import importlib.machinery
import os
import re
import shutil
import struct
import subprocess
import sys
import sysconfig
from pathlib import Path, PurePosixPath

from .errors import BuildError
from .target import Target

# Modules of other platforms (Windows, macOS, other interpreters): a module
# imports them under a platform test, and their absence here is no fault.
FOREIGN_MODULES = frozenset({
    "winreg", "_winreg", "winsound", "msvcrt", "_msi", "msilib", "_winapi", "_overlapped",
    "nt", "_wmi", "_winxptheme", "win32api", "win32con", "win32com", "win32evtlog",
    "win32file", "win32pipe", "win32process", "win32security", "win32service", "pywintypes",
    "pythoncom", "winerror", "wmi", "_scproxy", "Carbon", "AppKit", "Foundation", "objc",
    "CoreFoundation", "SystemConfiguration", "MacOS", "java", "org", "vms_lib", "riscos",
    "riscosenviron", "riscospath", "ce", "os2", "os2emxpath", "_emx_link", "EasyDialogs",
    "_dummy_threading", "dummy_threading", "comtypes", "_winreg", "win32ui", "win32gui",
    "win32clipboard", "winxpgui", "_win32typing", "ctypes.macholib", "_osx_support",
    "_aix_support", "_bootsubprocess",
})

# Shared libraries that every machine provides and an output never carries:
# the C library and the loader, and the display system (X11, fonts, GL).
SYSTEM_LIBRARY = re.compile(
    r"^(ld-linux.*|linux-vdso.*|libc|libm|libpthread|libdl|librt|libutil|libresolv|libnsl"
    r"|libanl|libcrypt|libmvec|libBrokenLocale|libthread_db"
    r"|libX11|libX11-xcb|libXau|libXdmcp|libXext|libXft|libXrender|libXss|libXrandr"
    r"|libXinerama|libXi|libXcursor|libXfixes|libXcomposite|libXdamage|libXtst|libxcb.*"
    r"|libxkbcommon.*|libfontconfig|libfreetype|libGL.*|libEGL|libGLX.*|libOpenGL"
    r"|libdrm|libgbm|libwayland-.*)\.so(\..*)?$")

# Files per run of readelf or patchelf.
BATCH = 64

LIBRARY_DIRS = ("/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib64",
                "/lib", "/usr/lib", "/usr/local/lib")


class PosixTarget(Target):
    name = "posix"

    def __init__(self):
        stdlib_dir = Path(sysconfig.get_paths()["stdlib"])
        super().__init__(stdlib_dir,
                         sysconfig.get_config_var("DESTSHARED") or stdlib_dir / "lib-dynload",
                         importlib.machinery.EXTENSION_SUFFIXES)
        self.builtin_modules = frozenset(sys.builtin_module_names) | {
            "_frozen_importlib", "_frozen_importlib_external"}
        self.foreign_modules = FOREIGN_MODULES
        self.sysconfigdata_module = sysconfig._get_sysconfigdata_name()

    def shared_libraries(self, binaries) -> dict:
        carried = {}
        pending = [Path(binary) for binary in binaries]
        seen = set()
        while pending:
            read_dynamic_sections(pending)
            found_now = []
            for binary in pending:
                for needed in needed_libraries(binary):
                    if SYSTEM_LIBRARY.match(needed) or needed in seen:
                        continue
                    seen.add(needed)
                    found = resolve_library(needed, binary)
                    if found is None:
                        raise BuildError("%s needs the shared library %s, which was not found"
                                         % (binary, needed))
                    carried[needed] = found
                    found_now.append(found)
            pending = found_now
        return carried

    def finish_binaries(self, output: Path, placed) -> None:
        patchelf = shutil.which("patchelf")
        if placed and patchelf is None:
            raise BuildError("patchelf not found (Debian package patchelf): it makes the "
                             "extension modules find the libraries carried beside them")
        by_rpath = {}
        for relative in placed:
            depth = len(PurePosixPath(relative).parts) - 1
            by_rpath.setdefault("/".join(["$ORIGIN"] + [".."] * depth), []).append(relative)
        for rpath, files in sorted(by_rpath.items()):
            for start in range(0, len(files), BATCH):
                run_tool([patchelf, "--set-rpath", rpath]
                         + [str(output / relative) for relative in files[start:start + BATCH]])

    def module_names_in_binary(self, path: Path) -> list:
        try:
            sections = elf_sections(Path(path).read_bytes())
        except OSError as error:
            raise BuildError("cannot read %s: %s" % (path, error.strerror))
        names = set()
        for name in READ_ONLY_SECTIONS:
            names.update(match.decode("ascii")
                         for match in MODULE_NAME_STRING.findall(b"\x00" + sections.get(name, b"")))
        return sorted(names)

    def tcl_tk_libraries(self) -> list:
        version = tcl_version()
        found = []
        for name in ("tcl", "tk"):
            folder = "%s%s" % (name, version)
            for root in ("/usr/share/tcltk", "/usr/share", "/usr/lib", "/usr/local/lib"):
                source = Path(root, folder)
                if (source / ("init.tcl" if name == "tcl" else "tk.tcl")).is_file():
                    found.append((source, PurePosixPath("tcl", folder)))
                    break
            else:
                raise BuildError("the %s script library %s was not found (Debian package %s%s)"
                                 % (name.capitalize(), folder, name, version))
        return found


# A whole NUL-terminated string of read-only data that could name a module.
MODULE_NAME_STRING = re.compile(rb"(?<=\x00)[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)*(?=\x00)")
READ_ONLY_SECTIONS = (b".rodata", b".data.rel.ro")
ELF_HEADER = struct.Struct("<16sHHIQQQIHHHHHH")
ELF_SECTION = struct.Struct("<IIQQQQIIQQ")


def elf_sections(data: bytes) -> dict:
    """Section name -> bytes of a 64-bit little-endian ELF file; empty for
    any other file or a damaged one."""
    if len(data) < ELF_HEADER.size or data[:6] != b"\x7fELF\x02\x01":
        return {}
    header = ELF_HEADER.unpack_from(data)
    offset, entry_size, count, names_index = header[6], header[11], header[12], header[13]
    if entry_size != ELF_SECTION.size or offset + count * entry_size > len(data) \
            or names_index >= count:
        return {}
    sections = [ELF_SECTION.unpack_from(data, offset + i * entry_size) for i in range(count)]
    names_at = sections[names_index][4]
    found = {}
    for name_offset, kind, _, _, start, size, *_ in sections:
        end = data.find(b"\x00", names_at + name_offset)
        if kind != 8 and start + size <= len(data) and end >= 0:  # 8: no bits in the file
            found[data[names_at + name_offset:end]] = data[start:start + size]
    return found


def run_tool(command: list) -> str:
    result = subprocess.run(command, capture_output=True, text=True, errors="replace")
    if result.returncode != 0:
        detail = " | ".join(line.strip() for line in result.stderr.splitlines() if line.strip())
        raise BuildError("%s failed: %s" % (" ".join(command), detail or result.returncode))
    return result.stdout


_dynamic_sections = {}


def read_dynamic_sections(binaries) -> None:
    """Reads the dynamic sections of many files with few runs of readelf."""
    todo = sorted({str(binary) for binary in binaries} - set(_dynamic_sections))
    readelf = shutil.which("readelf")
    if todo and readelf is None:
        raise BuildError("readelf not found (Debian package binutils)")
    for start in range(0, len(todo), BATCH):
        batch = todo[start:start + BATCH]
        text = run_tool([readelf, "-d", "-W"] + batch)
        if len(batch) == 1:
            _dynamic_sections[batch[0]] = text
            continue
        for part in re.split(r"^File: ", text, flags=re.MULTILINE)[1:]:
            name, _, section = part.partition("\n")
            _dynamic_sections[name.strip()] = section
        for name in batch:
            _dynamic_sections.setdefault(name, "")


def dynamic_section(binary: Path) -> str:
    if str(binary) not in _dynamic_sections:
        read_dynamic_sections([binary])
    return _dynamic_sections[str(binary)]


def needed_libraries(binary: Path) -> list:
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic_section(binary))


def run_paths(binary: Path) -> list:
    text = dynamic_section(binary)
    paths = []
    for entry in re.findall(r"\((?:RUNPATH|RPATH)\)\s+Library (?:runpath|rpath): \[([^\]]*)\]",
                            text):
        for item in entry.split(":"):
            if item:
                paths.append(item.replace("$ORIGIN", str(binary.resolve().parent))
                             .replace("${ORIGIN}", str(binary.resolve().parent)))
    return paths


@functools.lru_cache(maxsize=None)
def loader_cache() -> dict:
    """Library name -> path of the 64-bit libraries in the loader's cache (ldconfig -p)."""
    ldconfig = shutil.which("ldconfig") or "/sbin/ldconfig"
    try:
        text = subprocess.run([ldconfig, "-p"], capture_output=True, text=True).stdout
    except OSError:
        return {}
    found = {}
    for name, flags, path in re.findall(r"^\s*(\S+) \(([^)]*)\) => (\S+)$", text, re.MULTILINE):
        if "x86-64" in flags:
            found.setdefault(name, path)
    return found


def resolve_library(name: str, binary: Path) -> Path | None:
    """The file the loader would use for `name` needed by `binary`."""
    for folder in run_paths(binary) + os.environ.get("LD_LIBRARY_PATH", "").split(":"):
        if folder and Path(folder, name).is_file():
            return Path(folder, name)
    cached = loader_cache().get(name)
    if cached and Path(cached).is_file():
        return Path(cached)
    for folder in LIBRARY_DIRS:
        if Path(folder, name).is_file():
            return Path(folder, name)
    return None


@functools.lru_cache(maxsize=None)
def tcl_version() -> str:
    """The Tcl version that the interpreter's _tkinter was built against."""
    try:
        import _tkinter
        return str(_tkinter.TCL_VERSION)
    except ImportError:
        return "8.6"
