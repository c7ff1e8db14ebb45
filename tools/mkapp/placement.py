"""Placement: what goes into lib.dll, compiled, and how the archive is written."""

from __future__ import annotations

import dataclasses
import importlib.util
import io
import marshal
import struct
import zipfile
from pathlib import Path

from .assembly import write_atomically
from .bootscript import compile_source
from .errors import BuildError, require_embedded_python, require_file
from .graph import TracingModuleFinder, import_warnings, is_within, run_module_finder
from .target import HOST


@dataclasses.dataclass
class LibraryReport:
    modules: list    # names of the modules in the archive
    warnings: list   # one line each


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


def is_stdlib_source(file: str) -> bool:
    path = Path(file)
    return (file.endswith(".py") and is_within(path, HOST.stdlib_dir)
            and not is_within(path, HOST.stdlib_dir / "site-packages"))


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
