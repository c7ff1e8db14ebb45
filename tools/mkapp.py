#!/usr/bin/python3.11
"""Makes an application executable from the launcher binary.

An application executable is the launcher binary followed by a resource
image (a `.res` file as `windres -O res` writes it) and a 16-byte trailer:
the image's size as an unsigned 64-bit little-endian number, then the ASCII
text "RESIMG01". The launcher finds its resources through that trailer.
Beside the executable the tool writes "lib.dll", the zip archive of compiled
modules that the launcher puts first on the interpreter's module search path.

The resources are the version resource with the configuration strings, the
scrambled boot script (type "SCRIPT", id 1), the application's files (type
"DATA", ids 1 to N), an icon group and the manifest. They come either from a
resource script the tool writes from its options, or from a ready resource
script (--rc) that names the scrambled boot script "boot_script.bin" and finds
it on the include path.

Every bytecode this tool writes is compiled by the interpreter running it,
which must be the version the launcher embeds (Debian's /usr/bin/python3.11).

The module is importable: tests call scramble(), compile_boot_source(),
build_resource_image(), build_executable(), build_lib_dll(), parse_res(),
parse_version_info() and split_executable() directly.
"""

from __future__ import annotations

import argparse
import ast
import dataclasses
import importlib.machinery
import importlib.util
import io
import marshal
import modulefinder
import os
import re
import shutil
import struct
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import zipfile
from pathlib import Path

EMBEDDED_PYTHON = (3, 11)
DESCRAMBLE_KEY = bytes.fromhex("3f8a12c47b05e961a2d84e9017bb6c23")
TRAILER_MAGIC = b"RESIMG01"
TRAILER = struct.Struct("<Q8s")
ARCHIVE_NAME = "lib.dll"
BOOT_SCRIPT_FILE = "boot_script.bin"
GENERATED_RC_FILE = "app.rc"
GENERATED_ICON_FILE = "app_icon.ico"
DEFAULT_WINDRES = "i686-w64-mingw32-windres"
DEFAULT_BLOCK = "040904B0"

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

SOURCE_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_MANIFEST = SOURCE_ROOT / "resources" / "launcher.manifest"

# The configuration keys the launcher reads, in the order it reads them.
CONFIG_KEYS = ("__main_script", "__logging_host", "__logging_url", "__log_to_memory",
               "__company", "__product", "FileVersion")

EXAMPLE_CONFIG = {
    "__main_script": "mendrix.outer_application",
    "__logging_host": "localhost",
    "__logging_url": "upload_logs/v5/",
    "__log_to_memory": "false",
    "__company": "MendrixSoftware",
    "__product": "Mendrix",
    "FileVersion": "1.3.0.0",
}


class BuildError(Exception):
    """A failure of the build, reported as one line."""


# ---------------------------------------------------------------------------
# Boot script
# ---------------------------------------------------------------------------

def scramble(data: bytes) -> bytes:
    """The launcher's transform: byte k XOR key[k % 16]. Its own inverse."""
    n = len(data)
    if n == 0:
        return b""
    stream = (DESCRAMBLE_KEY * (n // len(DESCRAMBLE_KEY) + 1))[:n]
    mixed = int.from_bytes(data, "little") ^ int.from_bytes(stream, "little")
    return mixed.to_bytes(n, "little")


def require_embedded_python() -> None:
    if sys.version_info[:2] != EMBEDDED_PYTHON:
        raise BuildError(
            "bytecode must be compiled by Python %d.%d, the interpreter the launcher embeds "
            "(run this tool with /usr/bin/python%d.%d), not %d.%d"
            % (EMBEDDED_PYTHON + EMBEDDED_PYTHON + sys.version_info[:2]))


def compile_source(source: bytes, filename: str):
    """Compiles module source; a syntax error becomes a one-line BuildError."""
    require_embedded_python()
    try:
        return compile(source, filename, "exec", dont_inherit=True)
    except SyntaxError as error:
        raise BuildError("%s:%s: %s" % (error.filename or filename, error.lineno, error.msg))
    except ValueError as error:  # NUL bytes in the source
        raise BuildError("%s: %s" % (filename, error))


def compile_boot_source(source, filename: str = "boot.py") -> bytes:
    """The boot script's plain form: magic number, 4 zero bytes, marshalled code."""
    if isinstance(source, str):
        source = source.encode("utf-8")
    code = compile_source(source, filename)
    return importlib.util.MAGIC_NUMBER + bytes(4) + marshal.dumps(code)


def compile_boot_script(path) -> bytes:
    """compile_boot_source of a file; the code's file name is the file's base name."""
    path = Path(path)
    return compile_boot_source(read_input(path, "boot script"), path.name)


def unpack_boot_script(stored: bytes):
    """Descrambles a stored boot script and returns (header, code object)."""
    plain = scramble(stored)
    return plain[:8], marshal.loads(plain[8:])


# ---------------------------------------------------------------------------
# Version resource
# ---------------------------------------------------------------------------

def version_numbers(text: str):
    """Four 16-bit numbers from a version text such as "1.3.0.0".

    Leading digits of each dot-separated part count; the parts after the first
    one that has none (or that does not fit in 16 bits) are 0.
    """
    numbers = []
    for part in text.split(".")[:4]:
        match = re.match(r"\d+", part)
        if not match or int(match.group()) > 0xFFFF:
            break
        numbers.append(int(match.group()))
        if match.end() != len(part):
            break
    return tuple(numbers + [0] * (4 - len(numbers)))


def version_strings(overrides=None, omit=()) -> dict:
    """The string table of an application: the configuration keys (the example
    application's values unless overridden), the descriptive keys derived from
    them, then any further keys of `overrides`; keys in `omit` are left out."""
    overrides = dict(overrides or {})
    table = {key: overrides.pop(key, EXAMPLE_CONFIG[key]) for key in CONFIG_KEYS}
    descriptive = {
        "ProductVersion": table["FileVersion"],
        "FileDescription": table["__product"],
        "ProductName": table["__product"],
    }
    for key, value in descriptive.items():
        table[key] = overrides.pop(key, value)
    table.update(overrides)
    for key in omit:
        table.pop(key, None)
    return table


def check_block_name(block: str) -> str:
    if not re.fullmatch(r"[0-9A-Fa-f]{8}", block):
        raise BuildError("string block name must be 8 hexadecimal digits "
                         "(language and code page, e.g. 040904B0): %r" % block)
    return block


def check_version_text(what: str, text: str) -> None:
    if "\0" in text:
        raise BuildError("%s contains a NUL character, which a version string "
                         "cannot hold" % what)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise BuildError("%s is not valid Unicode text: %r" % (what, text))


# ---------------------------------------------------------------------------
# Icons
# ---------------------------------------------------------------------------

ICON_DIR = struct.Struct("<HHH")
ICON_ENTRY = struct.Struct("<BBBBHHII")


def read_icon_images(path: Path):
    """The images of an .ico file as (entry fields without offset, image bytes)."""
    data = read_input(path, "icon")
    if len(data) < ICON_DIR.size:
        raise BuildError("not an icon file: %s" % path)
    reserved, kind, count = ICON_DIR.unpack_from(data)
    if reserved != 0 or kind != 1 or count == 0:
        raise BuildError("not an icon file: %s" % path)
    images = []
    for index in range(count):
        position = ICON_DIR.size + index * ICON_ENTRY.size
        if position + ICON_ENTRY.size > len(data):
            raise BuildError("icon file is truncated: %s" % path)
        *fields, size, offset = ICON_ENTRY.unpack_from(data, position)
        if size == 0 or offset + size > len(data):
            raise BuildError("icon file is truncated: %s" % path)
        images.append((tuple(fields), data[offset:offset + size]))
    return images


def merge_icons(paths) -> bytes:
    """One .ico file holding the images of all given .ico files, in order."""
    images = [image for path in paths for image in read_icon_images(Path(path))]
    header = ICON_DIR.pack(0, 1, len(images))
    offset = ICON_DIR.size + ICON_ENTRY.size * len(images)
    entries, bodies = [], []
    for fields, body in images:
        entries.append(ICON_ENTRY.pack(*fields, len(body), offset))
        bodies.append(body)
        offset += len(body)
    return header + b"".join(entries) + b"".join(bodies)


# ---------------------------------------------------------------------------
# Resource script
# ---------------------------------------------------------------------------

@dataclasses.dataclass
class AppResources:
    """What a generated resource script holds.

    strings: the version resource's string table (key -> value), in order, or
    None for no version resource at all. script: the bytes stored as the
    SCRIPT resource (already scrambled, or raw), or None for no SCRIPT.
    """
    strings: dict | None = dataclasses.field(default_factory=version_strings)
    block: str = DEFAULT_BLOCK
    script: bytes | None = None
    data_files: list = dataclasses.field(default_factory=list)
    icons: list = dataclasses.field(default_factory=list)
    manifest: Path | None = DEFAULT_MANIFEST

    def check(self) -> None:
        check_block_name(self.block)
        for key, value in (self.strings or {}).items():
            if not key:
                raise BuildError("a version string key must not be empty")
            check_version_text("version string key %r" % key, key)
            check_version_text("value of version string %r" % key, value)
        for path in self.data_files:
            require_file(Path(path), "data file")
        for path in self.icons:
            require_file(Path(path), "icon")
        if self.manifest is not None:
            require_file(Path(self.manifest), "manifest")


def rc_string(text: str) -> str:
    """A narrow rc string literal; the script declares code page 65001 (UTF-8)."""
    out = []
    for ch in text:
        if ch == '"':
            out.append('""')
        elif ch == "\\":
            out.append("\\\\")
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append("\\%03o" % ord(ch))
        else:
            out.append(ch)
    return '"%s"' % "".join(out)


def rc_path(path) -> str:
    return rc_string(str(path))


def render_version_info(strings: dict, block: str) -> list:
    numbers = ",".join(str(n) for n in version_numbers(strings.get("FileVersion", "")))
    language, code_page = int(block[:4], 16), int(block[4:], 16)
    lines = [
        "LANGUAGE 0x09, 0x01",
        "1 VERSIONINFO",
        "FILEVERSION " + numbers,
        "PRODUCTVERSION " + numbers,
        "FILEFLAGSMASK 0x3F",
        "FILEFLAGS 0x0",
        "FILEOS 0x40004",
        "FILETYPE 0x1",
        "FILESUBTYPE 0x0",
        "BEGIN",
        '  BLOCK "StringFileInfo"',
        "  BEGIN",
        "    BLOCK %s" % rc_string(block),
        "    BEGIN",
    ]
    lines += ["      VALUE %s, %s" % (rc_string(key), rc_string(value))
              for key, value in strings.items()]
    lines += [
        "    END",
        "  END",
        '  BLOCK "VarFileInfo"',
        "  BEGIN",
        '    VALUE "Translation", 0x%X, %d' % (language, code_page),
        "  END",
        "END",
    ]
    return lines


def render_rc(contents: AppResources, folder: Path) -> str:
    """Writes the files the script refers to by bare name (the boot script, the
    merged icon) into `folder` and returns the script's text. Other inputs are
    named by absolute path."""
    contents.check()
    lines = ["// Resources of an application executable, written by mkapp.",
             "#pragma code_page(65001)", "", "LANGUAGE 0, 0"]
    if contents.script is not None:
        (folder / BOOT_SCRIPT_FILE).write_bytes(contents.script)
        lines.append("1 SCRIPT " + rc_string(BOOT_SCRIPT_FILE))
    for number, path in enumerate(contents.data_files, start=1):
        lines.append("%d DATA %s" % (number, rc_path(Path(path).resolve())))
    if contents.icons:
        (folder / GENERATED_ICON_FILE).write_bytes(merge_icons(contents.icons))
        lines.append("1 ICON " + rc_string(GENERATED_ICON_FILE))
    if contents.manifest is not None:
        lines.append("1 %d %s" % (RT_MANIFEST, rc_path(Path(contents.manifest).resolve())))
    if contents.strings is not None:
        lines.append("")
        lines += render_version_info(contents.strings, contents.block)
    return "\n".join(lines) + "\n"


def run_windres(windres: str, rc_file: Path, output: Path, output_format: str,
                include_dirs=()) -> None:
    """Compiles a resource script. Relative file names in the script resolve
    against the script's own folder, then the include folders."""
    program = shutil.which(windres)
    if program is None:
        raise BuildError("resource compiler not found: %s" % windres)
    command = [program, "-J", "rc", "-O", output_format]
    for folder in include_dirs:
        command += ["-I", str(folder)]
    command += [str(rc_file.resolve()), "-o", str(output.resolve())]
    result = subprocess.run(command, cwd=rc_file.resolve().parent, capture_output=True,
                            text=True, errors="replace")
    if result.returncode != 0 or not output.exists():
        detail = " | ".join(line.strip() for line in result.stderr.splitlines() if line.strip())
        raise BuildError("%s failed on %s: %s" % (Path(windres).name, rc_file,
                                                  detail or "exit code %d" % result.returncode))


def compile_generated(contents: AppResources, folder: Path, windres: str) -> bytes:
    """Writes the generated script into `folder`, compiles it and checks that
    every version string came through unchanged."""
    rc_file = folder / GENERATED_RC_FILE
    rc_file.write_text(render_rc(contents, folder), encoding="utf-8")
    res_file = folder / "app.res"
    run_windres(windres, rc_file, res_file, "res")
    image = res_file.read_bytes()
    if contents.strings is not None:
        verify_strings(image, contents.strings, contents.block)
    return image


def compile_given_rc(rc_file: Path, script: bytes | None, folder: Path, windres: str) -> bytes:
    """Compiles a ready resource script; the boot script is written to `folder`,
    which is on the include path, as boot_script.bin."""
    require_file(rc_file, "resource script")
    if script is not None:
        (folder / BOOT_SCRIPT_FILE).write_bytes(script)
    res_file = folder / "app.res"
    run_windres(windres, rc_file, res_file, "res", include_dirs=[folder])
    return res_file.read_bytes()


def verify_strings(image: bytes, strings: dict, block: str) -> None:
    tables = find_version_info(parse_res(image)).string_tables
    found = tables.get(block, {})
    for key, value in strings.items():
        if found.get(key) != value:
            raise BuildError("the resource compiler did not keep version string %r intact: "
                             "wanted %r, got %r" % (key, value, found.get(key)))


def build_resource_image(contents: AppResources, windres: str = DEFAULT_WINDRES) -> bytes:
    """The compiled .res image of a generated resource script."""
    with tempfile.TemporaryDirectory(prefix="mkapp-") as folder:
        return compile_generated(contents, Path(folder), windres)


def build_resource_image_from_rc(rc_file, script: bytes | None,
                                 windres: str = DEFAULT_WINDRES) -> bytes:
    """The compiled .res image of a ready resource script (see compile_given_rc)."""
    with tempfile.TemporaryDirectory(prefix="mkapp-") as folder:
        return compile_given_rc(Path(rc_file), script, Path(folder), windres)


# ---------------------------------------------------------------------------
# Reading .res images and version resources back
# ---------------------------------------------------------------------------

@dataclasses.dataclass
class Resource:
    type: int | str
    name: int | str
    language: int
    data: bytes


def align4(n: int) -> int:
    return (n + 3) & ~3


def read_name_or_ordinal(image: bytes, position: int, limit: int):
    """A resource type or name: 0xFFFF and an ordinal, or a NUL-ended UTF-16 string."""
    if position + 4 > limit:
        raise ValueError("resource header truncated")
    (first,) = struct.unpack_from("<H", image, position)
    if first == 0xFFFF:
        return struct.unpack_from("<H", image, position + 2)[0], position + 4
    end = position
    while True:
        if end + 2 > limit:
            raise ValueError("resource name not terminated")
        if image[end:end + 2] == b"\0\0":
            break
        end += 2
    return image[position:end].decode("utf-16-le"), end + 2


def parse_res(image: bytes) -> list:
    """The records of a .res image, without the leading empty record."""
    resources = []
    position = 0
    while position < len(image):
        if position + 8 > len(image):
            raise ValueError("record header truncated at %d" % position)
        data_size, header_size = struct.unpack_from("<II", image, position)
        header_end = position + header_size
        if header_size < 32 or header_end > len(image):
            raise ValueError("bad header size at %d" % position)
        kind, at = read_name_or_ordinal(image, position + 8, header_end)
        name, at = read_name_or_ordinal(image, at, header_end)
        at = align4(at)
        if at + 16 > header_end:
            raise ValueError("record header truncated at %d" % position)
        language = struct.unpack_from("<H", image, at + 6)[0]
        if header_end + data_size > len(image):
            raise ValueError("record data truncated at %d" % position)
        data = image[header_end:header_end + data_size]
        if not (kind == 0 and name == 0 and data_size == 0):
            resources.append(Resource(kind, name, language, data))
        position = align4(header_end + data_size)
    return resources


@dataclasses.dataclass
class VersionInfo:
    fixed: bytes
    string_tables: dict   # block name -> {key: value}
    translations: list    # (language, code page) pairs

    def file_version(self):
        ms, ls = struct.unpack_from("<II", self.fixed, 8)
        return ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF


def read_version_node(data: bytes, position: int):
    """One node of a version-information tree: (key, value bytes, is text,
    children, end position)."""
    length, value_length, is_text = struct.unpack_from("<HHH", data, position)
    end = position + length
    if length < 6 or end > len(data):
        raise ValueError("version node overruns its block at %d" % position)
    key, at = read_name_or_ordinal(data, position + 6, end)
    at = align4(at)
    value_bytes = value_length * 2 if is_text else value_length
    value = data[at:at + value_bytes]
    at = align4(at + value_bytes)
    children = []
    while at < end:
        child = read_version_node(data, at)
        children.append(child)
        at = align4(child[4])
    return key, value, bool(is_text), children, end


def parse_version_info(data: bytes) -> VersionInfo:
    key, fixed, _, children, _ = read_version_node(data, 0)
    if key != "VS_VERSION_INFO":
        raise ValueError("not a version resource: %r" % key)
    info = VersionInfo(fixed, {}, [])
    for child_key, _, _, grandchildren, _ in children:
        if child_key == "StringFileInfo":
            for block, _, _, entries, _ in grandchildren:
                info.string_tables[block] = {
                    name: value.decode("utf-16-le").split("\0", 1)[0]
                    for name, value, _, _, _ in entries}
        elif child_key == "VarFileInfo":
            for _, value, _, _, _ in grandchildren:
                info.translations += [struct.unpack_from("<HH", value, i)
                                      for i in range(0, len(value) - 3, 4)]
    return info


def find_version_info(resources) -> VersionInfo:
    for resource in resources:
        if resource.type == RT_VERSION:
            return parse_version_info(resource.data)
    raise ValueError("no version resource")


def split_executable(executable: bytes):
    """(launcher bytes, resource image) of an application executable."""
    if len(executable) < TRAILER.size:
        raise ValueError("file too short for a resource trailer")
    size, magic = TRAILER.unpack_from(executable, len(executable) - TRAILER.size)
    if magic != TRAILER_MAGIC or size > len(executable) - TRAILER.size:
        raise ValueError("no resource trailer")
    start = len(executable) - TRAILER.size - size
    return executable[:start], executable[start:start + size]


# ---------------------------------------------------------------------------
# lib.dll
# ---------------------------------------------------------------------------

EXTENSION_SUFFIXES = tuple(importlib.machinery.EXTENSION_SUFFIXES)
STDLIB_DIR = Path(sysconfig.get_paths()["stdlib"])
STDLIB_DYNLOAD_DIR = Path(sysconfig.get_config_var("DESTSHARED") or STDLIB_DIR / "lib-dynload")


# Developer tools of the standard library. Their modules are reached mostly
# through the command-line helpers of other modules (tokenize.main imports
# argparse, and so on); they are left out of lib.dll unless the application's
# own code or the boot script imports them.
DEVELOPMENT_PACKAGES = frozenset({
    "pydoc", "pydoc_data", "pdb", "doctest", "unittest", "test", "lib2to3", "distutils",
    "tkinter", "idlelib", "turtle", "turtledemo", "ensurepip", "venv",
})


@dataclasses.dataclass
class LibraryReport:
    modules: list    # names of the modules in the archive
    warnings: list   # one line each


class TracingModuleFinder(modulefinder.ModuleFinder):
    """A module finder that also records who imports each module."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.callers = []
        self.imported_by = {}

    def import_hook(self, name, caller=None, fromlist=None, level=-1):
        self.callers.append(caller)
        try:
            return super().import_hook(name, caller, fromlist, level)
        finally:
            self.callers.pop()

    def import_module(self, partname, fqname, parent):
        module = super().import_module(partname, fqname, parent)
        caller = self.callers[-1] if self.callers else None
        if module is not None and caller is not None:
            self.imported_by.setdefault(fqname, set()).add(caller.__name__)
        return module


def application_modules(app_dir: Path) -> dict:
    """Module name -> source file of every module in an application folder:
    top-level modules and the modules of regular packages (with __init__.py)."""
    modules = {}

    def visit(folder: Path, prefix: str):
        for entry in sorted(folder.iterdir()):
            if entry.name.startswith(".") or entry.name == "__pycache__":
                continue
            if entry.is_dir() and (entry / "__init__.py").is_file() and entry.name.isidentifier():
                visit(entry, prefix + entry.name + ".")
            elif entry.suffix == ".py" and entry.stem.isidentifier():
                if entry.stem == "__init__":
                    modules[prefix.rstrip(".")] = entry
                else:
                    modules[prefix + entry.stem] = entry

    visit(app_dir, "")
    return modules


def archive_name_of(module) -> str:
    stem = module.__name__.replace(".", "/")
    return stem + ("/__init__.pyc" if module.__path__ else ".pyc")


def pyc_bytes(source: bytes, filename: str) -> bytes:
    """A compiled module in the standard format, hash-based and unchecked, so
    that the archive's content depends only on the sources."""
    code = compile_source(source, filename)
    flags = 0b01  # hash-based, unchecked
    return (importlib.util.MAGIC_NUMBER + struct.pack("<I", flags)
            + importlib.util.source_hash(source) + marshal.dumps(code))


def is_within(path: Path, folder: Path) -> bool:
    try:
        path.resolve().relative_to(folder.resolve())
        return True
    except ValueError:
        return False


def imported_packages(path: Path) -> set:
    """Top-level names of the absolute imports in a source file, nested ones included."""
    try:
        tree = ast.parse(path.read_bytes(), str(path))
    except SyntaxError as error:
        raise BuildError("%s:%s: %s" % (path, error.lineno, error.msg))
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            names.update(alias.name.partition(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            names.add(node.module.partition(".")[0])
    return names


def run_module_finder(app_dir: Path, main_module: str, boot_script):
    own = application_modules(app_dir)
    if main_module not in own:
        raise BuildError("main module %s is not in the application folder %s"
                         % (main_module, app_dir))
    wanted = set()
    for path in list(own.values()) + ([Path(boot_script)] if boot_script else []):
        wanted |= imported_packages(path)
    finder = TracingModuleFinder(path=[str(app_dir), str(STDLIB_DIR), str(STDLIB_DYNLOAD_DIR)],
                                 excludes=["stub"] + sorted(DEVELOPMENT_PACKAGES - wanted))
    try:
        for name in own:  # the main module among them
            finder.import_hook(name)
        if boot_script is not None:
            finder.run_script(str(boot_script))
    except SyntaxError as error:
        raise BuildError("%s:%s: %s" % (error.filename, error.lineno, error.msg))
    return finder, own


def import_warnings(finder: TracingModuleFinder, own: dict) -> list:
    """Imports of the application's own code (and the boot script) that the
    archive cannot satisfy."""
    importers = set(own) | {"__main__"}
    warnings = []
    for name, module in sorted(finder.modules.items()):
        if module.__file__ and module.__file__.endswith(EXTENSION_SUFFIXES):
            users = sorted(finder.imported_by.get(name, set()) & importers)
            if users:
                warnings.append("%s imports the C extension module %s, which cannot be loaded "
                                "from %s" % (", ".join(users), name, ARCHIVE_NAME))
    missing, _ = finder.any_missing_maybe()
    for name in missing:
        users = sorted(set(finder.badmodules.get(name, {})) & importers)
        if users:
            warnings.append("%s imports %s, which was not found" % (", ".join(users), name))
    return warnings


def is_stdlib_source(file: str) -> bool:
    path = Path(file)
    return (file.endswith(".py") and is_within(path, STDLIB_DIR)
            and not is_within(path, STDLIB_DIR / "site-packages"))


def archive_entries(finder: TracingModuleFinder, own: dict, app_dir: Path) -> dict:
    """Archive name -> (module name, compiled module) of every module of the
    application folder and every standard-library source module found."""
    entries = {}
    for name, path in own.items():
        is_package = path.name == "__init__.py"
        arcname = name.replace(".", "/") + ("/__init__.pyc" if is_package else ".pyc")
        relative = path.relative_to(app_dir).as_posix()
        entries[arcname] = (name, pyc_bytes(path.read_bytes(), relative))
    for name, module in finder.modules.items():
        if name == "__main__" or name in own or not module.__file__:
            continue
        if is_stdlib_source(module.__file__):
            source = Path(module.__file__).read_bytes()
            entries[archive_name_of(module)] = (name, pyc_bytes(source, module.__file__))
    return entries


def zip_bytes(files: dict) -> bytes:
    """A zip archive, stored without compression (the archive must open before
    any compression module can be imported), with fixed time stamps."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        for name in sorted(files):
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = 0o644 << 16
            archive.writestr(info, files[name])
    return buffer.getvalue()


def build_lib_dll(app_dir, main_module: str, destination=None, boot_script=None):
    """The lib.dll archive of an application as bytes (also written to
    `destination` when given, atomically), and a LibraryReport.

    It holds the application's own modules and the pure-Python standard-library
    modules they and the boot script import. C extension modules are left out:
    a zip cannot carry them, and the launcher's module search path holds only
    lib.dll and the executable's folder."""
    require_embedded_python()
    app_dir = Path(app_dir)
    if not app_dir.is_dir():
        raise BuildError("application folder not found: %s" % app_dir)
    if boot_script is not None:
        require_file(Path(boot_script), "boot script")
    finder, own = run_module_finder(app_dir, main_module, boot_script)
    entries = archive_entries(finder, own, app_dir)
    data = zip_bytes({arcname: pyc for arcname, (_, pyc) in entries.items()})
    if destination is not None:
        write_atomically(Path(destination), data, 0o644)
    report = LibraryReport(sorted(name for name, _ in entries.values()),
                           import_warnings(finder, own))
    return data, report


# ---------------------------------------------------------------------------
# Files
# ---------------------------------------------------------------------------

def require_file(path: Path, what: str) -> Path:
    if not path.is_file():
        raise BuildError("%s not found: %s" % (what, path))
    return path


def read_input(path: Path, what: str) -> bytes:
    require_file(path, what)
    try:
        return path.read_bytes()
    except OSError as error:
        raise BuildError("cannot read %s %s: %s" % (what, path, error.strerror))


class StagedFile:
    """Output written to a temporary file in its destination folder and moved
    into place by commit(); discarded otherwise, so no output is half written."""

    def __init__(self, destination: Path, data: bytes, mode: int):
        self.destination = destination
        destination.parent.mkdir(parents=True, exist_ok=True)
        handle, name = tempfile.mkstemp(prefix="." + destination.name + ".",
                                        dir=destination.parent)
        self.temporary = Path(name)
        try:
            with os.fdopen(handle, "wb") as stream:
                stream.write(data)
                stream.flush()
                os.fsync(stream.fileno())
            os.chmod(self.temporary, mode)
        except BaseException:
            self.discard()
            raise

    def commit(self) -> None:
        os.replace(self.temporary, self.destination)

    def discard(self) -> None:
        try:
            self.temporary.unlink()
        except FileNotFoundError:
            pass


def write_all_or_nothing(outputs) -> None:
    """Writes (path, bytes, mode) triples: all of them, or none on failure."""
    staged = []
    try:
        for path, data, mode in outputs:
            try:
                staged.append(StagedFile(Path(path), data, mode))
            except OSError as error:
                raise BuildError("cannot write %s: %s" % (path, error.strerror or error))
        for item in staged:
            try:
                item.commit()
            except OSError as error:
                raise BuildError("cannot write %s: %s" % (item.destination,
                                                          error.strerror or error))
    finally:
        for item in staged:
            item.discard()


def write_atomically(path: Path, data: bytes, mode: int) -> None:
    write_all_or_nothing([(path, data, mode)])


def executable_bytes(launcher: bytes, image: bytes) -> bytes:
    return launcher + image + TRAILER.pack(len(image), TRAILER_MAGIC)


def executable_outputs(launcher, output, image: bytes, lib_dll: bytes | None) -> list:
    """The (path, bytes, mode) triples of an application executable (launcher +
    image + trailer, with the launcher's mode) and of lib.dll beside it."""
    launcher, output = Path(launcher), Path(output)
    launcher_bytes = read_input(launcher, "launcher binary")
    outputs = [(output, executable_bytes(launcher_bytes, image),
                launcher.stat().st_mode & 0o7777)]
    if lib_dll is not None:
        outputs.append((output.parent / ARCHIVE_NAME, lib_dll, 0o644))
    return outputs


def build_executable(launcher, output, image: bytes, lib_dll: bytes | None = None) -> None:
    """Writes the application executable and, when given, lib.dll beside it:
    both or neither."""
    write_all_or_nothing(executable_outputs(launcher, output, image, lib_dll))


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------

HELP_EPILOG = """\
examples:
  build the example application from its shipped resource script:
    %(prog)s --launcher build/launcher --rc resources/launcher.rc \\
        --boot-script examples/boot.py --app examples/app -o dist/mendrix

  a variant with a generated resource script, one key missing:
    %(prog)s --launcher build/launcher --boot-script examples/boot.py \\
        --set __product=Other --omit __company -o /tmp/variant/app

lib.dll:
  With --app, lib.dll is written beside the executable (or into the --emit-rc
  folder). It holds the application's modules and the standard-library
  modules that they and the boot script import (found with modulefinder), as
  compiled modules. The standard library's developer tools (pydoc, pdb,
  unittest, doctest, distutils, tkinter, ...) are left out unless the
  application's own code imports them. C extension modules cannot be loaded
  from a zip archive, and the launcher's module search path is exactly
  ["lib.dll", "."]: an application can use only pure-Python modules and the
  interpreter's built-in modules. The tool warns about C extension modules or
  missing modules that the application's own code imports.

The tool must run under the interpreter version the launcher embeds
(/usr/bin/python3.11): it compiles the boot script and the modules with it.
Exit status: 0 on success, 1 on a build failure, 2 on a usage error.
"""


class OneLineArgumentParser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, "%s: error: %s (see --help)\n" % (self.prog, message))


def key_value(text: str):
    key, separator, value = text.partition("=")
    if not separator or not key:
        raise argparse.ArgumentTypeError("expected KEY=VALUE, got %r" % text)
    return key, value


def make_parser() -> argparse.ArgumentParser:
    parser = OneLineArgumentParser(
        prog="mkapp",
        description=textwrap.fill(
            "Make an application executable from the launcher binary: the launcher, a "
            "compiled resource image and a trailer; and its lib.dll.", 79),
        epilog=HELP_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    outputs = parser.add_argument_group("outputs (at least one)")
    outputs.add_argument("-o", "--output", type=Path, metavar="FILE",
                         help="the application executable to write (mode of the launcher "
                              "binary); lib.dll goes beside it")
    outputs.add_argument("--emit-rc", type=Path, metavar="DIR",
                         help="for linking on Windows (windres -O coff): write into DIR the "
                              "generated resource script " + GENERATED_RC_FILE + " and the files "
                              "it names by bare name (" + BOOT_SCRIPT_FILE + ", "
                              + GENERATED_ICON_FILE + "), and lib.dll with --app. With --rc, "
                              "only " + BOOT_SCRIPT_FILE + " (and lib.dll) are written: compile "
                              "the given script with -I DIR")

    inputs = parser.add_argument_group("inputs")
    inputs.add_argument("--launcher", type=Path, metavar="FILE",
                        help="the launcher binary (needed with --output)")
    script = inputs.add_mutually_exclusive_group()
    script.add_argument("--boot-script", type=Path, metavar="FILE.py",
                        help="Python source of the boot script: compiled, given the 8-byte "
                             "header (magic number and 4 zero bytes), scrambled and stored as "
                             "resource SCRIPT 1")
    script.add_argument("--raw-script", type=Path, metavar="FILE",
                        help="store the bytes of FILE as resource SCRIPT 1 unchanged (for "
                             "empty or damaged boot scripts)")
    script.add_argument("--no-script", action="store_true",
                        help="no SCRIPT resource at all")
    inputs.add_argument("--app", type=Path, metavar="DIR",
                        help="application source folder (top-level modules and packages) "
                             "to compile into lib.dll")
    inputs.add_argument("--main-module", metavar="NAME",
                        help="dotted name of the application's main module, the starting "
                             "point of the module search (default: the __main_script string "
                             "of the version resource)")
    inputs.add_argument("--windres", default=DEFAULT_WINDRES, metavar="PROGRAM",
                        help="resource compiler (default: %(default)s)")

    given = parser.add_argument_group("ready resource script")
    given.add_argument("--rc", type=Path, metavar="FILE",
                       help="compile FILE instead of generating a script; it finds the "
                            "scrambled boot script as \"" + BOOT_SCRIPT_FILE + "\" on the "
                            "include path. Relative names resolve against FILE's folder. "
                            "Excludes the options of the next group")

    generated = parser.add_argument_group("generated resource script", textwrap.fill(
        "Without --rc the tool writes the script: a version resource whose string table "
        "holds the configuration keys " + ", ".join(CONFIG_KEYS) + " (the example "
        "application's values unless set) and ProductVersion, FileDescription and "
        "ProductName (derived from FileVersion and __product); FILEVERSION and "
        "PRODUCTVERSION numbers come from FileVersion; VarFileInfo's Translation follows "
        "the block name. Values are UTF-8 here and UTF-16 in the resource; a value the "
        "resource compiler cannot carry (a NUL character, invalid Unicode) is an error.",
        77))
    generated.add_argument("--set", dest="strings", action="append", type=key_value, default=[],
                           metavar="KEY=VALUE",
                           help="set a string of the table, or add another key (repeatable)")
    generated.add_argument("--omit", action="append", default=[], metavar="KEY",
                           help="leave KEY out of the string table (repeatable)")
    generated.add_argument("--block", default=DEFAULT_BLOCK, metavar="NAME",
                           help="name of the string block: language and code page as 8 hex "
                                "digits (default: %(default)s)")
    generated.add_argument("--no-version-info", action="store_true",
                           help="no version resource at all")
    generated.add_argument("--data", action="append", type=Path, default=[], metavar="FILE",
                           help="a DATA resource; ids 1, 2, ... in the order given (repeatable)")
    generated.add_argument("--icon", action="append", type=Path, default=[], metavar="FILE.ico",
                           help="icon file; the images of all given files form icon group 1 "
                                "(repeatable)")
    generated.add_argument("--manifest", type=Path, default=DEFAULT_MANIFEST, metavar="FILE",
                           help="application manifest, resource 24 id 1 (default: %s)"
                                % DEFAULT_MANIFEST.relative_to(SOURCE_ROOT))
    generated.add_argument("--no-manifest", action="store_true", help="no manifest resource")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="list the modules written to lib.dll")
    return parser


# Destination -> option of the options that only a generated script uses.
GENERATION_OPTIONS = {"strings": "--set", "omit": "--omit", "block": "--block",
                      "no_version_info": "--no-version-info", "data": "--data",
                      "icon": "--icon", "manifest": "--manifest",
                      "no_manifest": "--no-manifest", "no_script": "--no-script"}


def check_arguments(parser, args) -> None:
    if args.output is None and args.emit_rc is None:
        parser.error("nothing to write: give --output or --emit-rc")
    if args.output is not None and args.launcher is None:
        parser.error("--output needs --launcher")
    if args.rc is not None:
        for destination, option in GENERATION_OPTIONS.items():
            if getattr(args, destination) != parser.get_default(destination):
                parser.error("%s applies to a generated resource script, not with --rc"
                             % option)


def stored_script(args) -> bytes | None:
    if args.boot_script is not None:
        return scramble(compile_boot_script(args.boot_script))
    if args.raw_script is not None:
        return read_input(args.raw_script, "raw script")
    return None


def app_resources(args, script: bytes | None) -> AppResources:
    return AppResources(
        strings=None if args.no_version_info else version_strings(dict(args.strings), args.omit),
        block=args.block,
        script=script,
        data_files=args.data,
        icons=args.icon,
        manifest=None if args.no_manifest else args.manifest)


def configured_main_module(image: bytes) -> str | None:
    try:
        tables = find_version_info(parse_res(image)).string_tables
    except ValueError:
        return None
    for block in [DEFAULT_BLOCK] + sorted(tables):
        if "__main_script" in tables.get(block, {}):
            return tables[block]["__main_script"]
    return None


def emitted_files(folder: Path, generated: bool):
    """The files --emit-rc writes, as (name, bytes) pairs: those of the work
    folder that the resource script names by bare name, and the generated
    script itself."""
    names = (GENERATED_RC_FILE, BOOT_SCRIPT_FILE, GENERATED_ICON_FILE) if generated \
        else (BOOT_SCRIPT_FILE,)
    return [(name, (folder / name).read_bytes()) for name in names if (folder / name).exists()]


def run(args) -> list:
    """Builds everything the arguments ask for; returns the lines to report."""
    if args.launcher is not None:
        require_file(args.launcher, "launcher binary")
    script = stored_script(args)
    with tempfile.TemporaryDirectory(prefix="mkapp-") as work:
        work = Path(work)
        if args.rc is not None:
            contents = None
            image = compile_given_rc(args.rc, script, work, args.windres)
        else:
            contents = app_resources(args, script)
            image = compile_generated(contents, work, args.windres)
        emitted = emitted_files(work, contents is not None) if args.emit_rc is not None else []

    report_lines = []
    lib_dll = None
    if args.app is not None:
        main_module = args.main_module or configured_main_module(image)
        if not main_module:
            raise BuildError("no main module: give --main-module or set __main_script")
        lib_dll, report = build_lib_dll(args.app, main_module, boot_script=args.boot_script)
        report_lines += ["warning: " + line for line in report.warnings]
        if args.verbose:
            report_lines += ["%s: %s" % (ARCHIVE_NAME, name) for name in report.modules]

    outputs = []
    if args.output is not None:
        outputs += executable_outputs(args.launcher, args.output, image, lib_dll)
    if args.emit_rc is not None:
        outputs += [(args.emit_rc / name, data, 0o644) for name, data in emitted]
        if lib_dll is not None:
            outputs.append((args.emit_rc / ARCHIVE_NAME, lib_dll, 0o644))
    write_all_or_nothing(outputs)
    return report_lines


def main(argv=None) -> int:
    parser = make_parser()
    args = parser.parse_args(argv)
    check_arguments(parser, args)
    try:
        require_embedded_python()
        lines = run(args)
    except BuildError as error:
        print("%s: error: %s" % (parser.prog, error), file=sys.stderr)
        return 1
    except OSError as error:
        print("%s: error: %s: %s" % (parser.prog, error.filename, error.strerror or error),
              file=sys.stderr)
        return 1
    for line in lines:
        print("%s: %s" % (parser.prog, line), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
