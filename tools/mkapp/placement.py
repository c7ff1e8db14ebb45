"""Placement: where each module of the graph goes in the output folder.

- Pure-Python modules and packages go into lib.dll, compiled.
- A package from outside the standard library is carried whole.
- A top-level package that holds extension modules or data files goes into
  the folder as a package directory (compiled modules, extension modules and
  data side by side), never split between the zip and the folder.
- Extension modules go into the folder under their own file names, which
  the extension loader accepts; the shared libraries they need go beside the
  executable.
- Built-in modules need no file.
"""

from __future__ import annotations

import dataclasses
import importlib.util
import io
import marshal
import struct
import types
import zipfile
from pathlib import Path, PurePosixPath

from .assembly import MANIFEST_NAME, manifest_files
from .bootscript import compile_source
from .errors import BuildError
from .graph import Application, Module, compiled_code

ARCHIVE_NAME = "lib.dll"

# Standard-library packages whose data files they read themselves.
STDLIB_DATA_PACKAGES = frozenset({"lib2to3", "ensurepip", "idlelib", "turtledemo"})

# Files of a package that are neither modules nor data it reads.
NOT_DATA_SUFFIXES = (".py", ".pyc", ".pyo", ".pyi")
NOT_DATA_NAMES = frozenset({"py.typed"})


@dataclasses.dataclass
class Placement:
    """The output folder's content, before anything is written.

    archive: lib.dll member name -> bytes. files: path relative to the output
    folder -> bytes (compiled modules of folder packages). copies: relative
    path -> source file (extension modules, libraries, data). binaries: the
    relative paths of copies that need the carried libraries."""
    archive: dict = dataclasses.field(default_factory=dict)
    files: dict = dataclasses.field(default_factory=dict)
    copies: dict = dataclasses.field(default_factory=dict)
    binaries: list = dataclasses.field(default_factory=list)
    libraries: dict = dataclasses.field(default_factory=dict)
    folder_packages: list = dataclasses.field(default_factory=list)
    archive_modules: list = dataclasses.field(default_factory=list)

    zipped: bytes | None = dataclasses.field(default=None, repr=False)

    def archive_bytes(self) -> bytes:
        """lib.dll, made once from `archive`."""
        if self.zipped is None:
            self.zipped = zip_bytes(self.archive)
        return self.zipped


_compiled = {}


def pyc_bytes(source: bytes, filename: str, path: Path | None = None) -> bytes:
    """A compiled module in the standard format, hash-based and unchecked, so
    that the output depends only on the sources. Compiled once per process
    for the same source and file name; the interpreter's own compiled copy
    of `path` (its __pycache__) is taken when it is current."""
    source_hash = importlib.util.source_hash(source)
    key = (source_hash, len(source), filename)
    if key not in _compiled:
        code = cached_code(path, source, source_hash, filename) if path else None
        if code is None:
            code = marshal.dumps(compile_source(source, filename))
        flags = 0b01  # hash-based, unchecked
        _compiled[key] = (importlib.util.MAGIC_NUMBER + struct.pack("<I", flags)
                          + source_hash + code)
    return _compiled[key]


def cached_code(path: Path, source: bytes, source_hash: bytes, filename: str) -> bytes | None:
    """The marshalled code of `path` from the interpreter's cache, when the
    cache was made from this very source under the same file name."""
    try:
        cache = Path(importlib.util.cache_from_source(str(path)))
        data = cache.read_bytes()
        mtime = int(Path(path).stat().st_mtime) & 0xFFFFFFFF
    except (OSError, ValueError, NotImplementedError):
        return None
    if len(data) < 16 or data[:4] != importlib.util.MAGIC_NUMBER:
        return None
    flags = struct.unpack_from("<I", data, 4)[0]
    if flags == 0:
        current = struct.unpack_from("<II", data, 8) == (mtime, len(source) & 0xFFFFFFFF)
    else:
        current = bool(flags & 0b01) and data[8:16] == source_hash
    if not current:
        return None
    try:
        code = marshal.loads(data[16:])
    except (EOFError, ValueError, TypeError):
        return None
    if not isinstance(code, types.CodeType) or code.co_filename != filename:
        return None
    return data[16:]


def zip_bytes(files: dict) -> bytes:
    """A zip archive, stored without compression (the archive must open before
    any compression module can be imported), with fixed time stamps. Names
    ending in "/" are folders (a namespace package needs its folder entry)."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as archive:
        for name in sorted(files):
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = (0o40755 if name.endswith("/") else 0o644) << 16
            archive.writestr(info, files[name])
    return buffer.getvalue()


def is_within(path: Path, folder: Path) -> bool:
    try:
        path.resolve().relative_to(folder.resolve())
        return True
    except ValueError:
        return False


def is_stdlib(module: Module, target) -> bool:
    if module.kind == "builtin":
        return True
    locations = [module.file] if module.file else module.locations
    return bool(locations) and all(
        any(is_within(Path(place), folder) for folder in target.stdlib_dirs())
        and not any(part in ("site-packages", "dist-packages") for part in Path(place).parts)
        for place in locations)


def data_files(package: Module, target) -> list:
    """(path relative to the package folder, source file) of every data file
    in a package's folders."""
    found = []
    for folder in package.locations:
        folder = Path(folder)
        for path in sorted(folder.rglob("*")):
            relative = path.relative_to(folder)
            if "__pycache__" in relative.parts or not path.is_file():
                continue
            if path.suffix in NOT_DATA_SUFFIXES or path.name in NOT_DATA_NAMES \
                    or target.is_extension(path):
                continue
            found.append((PurePosixPath(relative.as_posix()), path))
    return found


def folder_packages(app: Application, target) -> set:
    """Top-level packages that must live in the folder: those with extension
    modules, and those with data files."""
    graph = app.graph
    tops = {}
    for module in graph.modules.values():
        tops.setdefault(module.top, []).append(module)
    chosen = set()
    for top, members in tops.items():
        head = graph.modules.get(top)
        if head is None or not head.is_package:
            continue
        if any(member.kind == "extension" for member in members):
            chosen.add(top)
        elif is_stdlib(head, target):
            if top in STDLIB_DATA_PACKAGES:
                chosen.add(top)
        elif data_files(head, target):
            chosen.add(top)
    return chosen


def complete_packages(app: Application, target) -> set:
    """Carries every module of the packages from outside the standard
    library (their plugins are often imported by computed names: PIL's image
    plugins, pygments' lexers), until no more packages come in; returns the
    packages that must live in the folder."""
    done = set()
    while True:
        todo = sorted({module.top for module in app.graph.modules.values()
                       if module.top not in done and module.top in app.graph.modules
                       and app.graph.modules[module.top].is_package
                       and not is_stdlib(app.graph.modules[module.top], target)})
        if not todo:
            return folder_packages(app, target)
        for top in todo:
            app.graph.add_whole_package(top, top)
            done.add(top)


def source_filename(module: Module, app: Application) -> str:
    """The file name compiled into a module's code: relative to the
    application folder for the application's own modules."""
    if app.app_dir is not None and is_within(module.file, app.app_dir):
        return module.file.resolve().relative_to(app.app_dir.resolve()).as_posix()
    return str(module.file)


def module_path(module: Module) -> PurePosixPath:
    """The compiled module's path inside lib.dll or the folder."""
    parts = module.name.split(".")
    if module.is_package:
        return PurePosixPath(*parts, "__init__.pyc")
    return PurePosixPath(*parts[:-1], parts[-1] + ".pyc")


def source_path(module: Module) -> PurePosixPath:
    """Where a module's source lies in lib.dll: beside its compiled form,
    with the suffix .py (pkg/mod.py beside pkg/mod.pyc, pkg/__init__.py
    beside pkg/__init__.pyc), as an importer of lib.dll looks for it when
    asked for a module's source. The member holds the file's bytes as they
    are; the code's file name is the path relative to the application
    folder (source_filename)."""
    return module_path(module).with_suffix(".py")


def place(app: Application, target, with_source: bool = False) -> Placement:
    """Decides where every module of the graph goes. with_source: the
    application folder's modules in lib.dll have their source beside their
    compiled form (see source_path)."""
    placement = Placement()
    in_folder = complete_packages(app, target)
    placement.folder_packages = sorted(in_folder)
    beside = application_data(app)
    for relative, source in beside:
        placement.copies[relative] = source
    for name, module in sorted(app.graph.modules.items()):
        if name == "__main__" or module.kind == "builtin":
            continue
        # With data beside them, the application's own top-level modules live
        # in the folder too, so that their __file__ finds it.
        to_folder = module.top in in_folder or (
            bool(beside) and name in app.own and not module.is_package and "." not in name)
        if module.kind == "extension":
            destination = target.extension_destination(name, module.file)
            placement.copies[destination] = module.file
            placement.binaries.append(destination)
        elif module.kind == "namespace":
            if not to_folder:
                placement.archive[module.name.replace(".", "/") + "/"] = b""
        else:
            compiled = read_compiled(module) if module.kind == "compiled" else \
                pyc_bytes(read_source(module), source_filename(module, app), module.file)
            if to_folder:
                placement.files[module_path(module)] = compiled
            else:
                placement.archive[str(module_path(module))] = compiled
                placement.archive_modules.append(name)
                if with_source and name in app.own and module.kind == "source":
                    placement.archive[str(source_path(module))] = read_source(module)
        if to_folder and module.is_package and module.kind != "namespace" \
                and module.name == module.top:
            for relative, source in data_files(module, target):
                placement.copies[PurePosixPath(module.name) / relative] = source
    placement.libraries = target.shared_libraries(
        [module.file for module in app.graph.modules.values() if module.kind == "extension"])
    for name, source in sorted(placement.libraries.items()):
        placement.copies[PurePosixPath(name)] = source
        placement.binaries.append(PurePosixPath(name))
    for path in target.runtime_files():
        placement.copies[PurePosixPath(Path(path).name)] = Path(path)
    for folder, top_names in distribution_metadata(app, target):
        if top_names & tops_carried(app):
            for path in sorted(folder.rglob("*")):
                if path.is_file():
                    relative = PurePosixPath(folder.name, path.relative_to(folder).as_posix())
                    placement.copies[relative] = path
    if "_tkinter" in app.graph.modules:
        for source, destination in target.tcl_tk_libraries():
            for path in sorted(source.rglob("*")):
                if path.is_file():
                    placement.copies[destination / path.relative_to(source).as_posix()] = path
    return placement


def application_data(app: Application) -> list:
    """(relative path, source) of the data files that the application folder
    holds beside its top-level modules: files that are not modules, and the
    files of its folders that are neither packages nor modules' folders."""
    if app.app_dir is None:
        return []
    found = []
    for entry in sorted(app.app_dir.iterdir()):
        if entry.name.startswith(".") or entry.name == "__pycache__":
            continue
        if entry.is_file() and entry.suffix not in NOT_DATA_SUFFIXES:
            found.append((PurePosixPath(entry.name), entry))
        elif entry.is_dir() and not (entry / "__init__.py").is_file() \
                and entry.name not in app.graph.modules:
            written = files_of_outputs_in(entry)
            for path in sorted(entry.rglob("*")):
                relative = path.relative_to(app.app_dir)
                if path.is_file() and path.suffix not in NOT_DATA_SUFFIXES \
                        and "__pycache__" not in relative.parts \
                        and not any(part.startswith(".") for part in relative.parts) \
                        and path not in written:
                    found.append((PurePosixPath(relative.as_posix()), path))
    return found


def files_of_outputs_in(folder: Path) -> set:
    """The files that earlier builds wrote into output folders inside
    `folder` (as their manifests list them): never data of the application."""
    return {manifest.parent / name for manifest in folder.rglob(MANIFEST_NAME)
            for name in manifest_files(manifest.parent)}


def tops_carried(app: Application) -> set:
    return {module.top for module in app.graph.modules.values() if module.kind != "builtin"}


def distribution_metadata(app: Application, target) -> list:
    """(metadata folder, top-level names it provides) of the installed
    distributions (*.dist-info, *.egg-info) in the search folders outside the
    standard library, so that importlib.metadata finds the version and entry
    points of what the output carries."""
    found = []
    for root in app.graph.search_path:
        if any(root == folder or folder in root.parents for folder in target.stdlib_dirs()):
            continue
        for folder in sorted(Path(root).glob("*.*-info")):
            if folder.suffix not in (".dist-info", ".egg-info") or not folder.is_dir():
                continue
            found.append((folder, top_level_names(folder)))
    return found


def top_level_names(folder: Path) -> set:
    """The top-level modules of a distribution: its top_level.txt, else the
    first parts of the paths in its RECORD."""
    try:
        text = (folder / "top_level.txt").read_text(encoding="utf-8", errors="replace")
        return {line.strip() for line in text.splitlines() if line.strip()}
    except OSError:
        pass
    try:
        text = (folder / "RECORD").read_text(encoding="utf-8", errors="replace")
    except OSError:
        return set()
    names = set()
    for line in text.splitlines():
        first = line.split(",", 1)[0].split("/", 1)[0]
        stem = first.partition(".")[0]
        if stem.isidentifier() and not first.endswith(("-info", ".pth")):
            names.add(stem)
    return names


def read_compiled(module: Module) -> bytes:
    """A compiled module as it is, once its version is checked."""
    compiled_code(module.file)
    return module.file.read_bytes()


def read_source(module: Module) -> bytes:
    try:
        return module.file.read_bytes()
    except OSError as error:
        raise BuildError("cannot read %s: %s" % (module.file, error.strerror))
