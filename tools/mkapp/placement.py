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
import os
import stat
import struct
import types
import zipfile
from pathlib import Path, PurePosixPath

from .assembly import MANIFEST_NAME, manifest_files
from .bootscript import compile_source
from .errors import BuildError
from .graph import (TEST_SUITE_PACKAGES, Application, Module, compiled_code, is_stdlib,
                    is_within)

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
    # What the build report names: links that were not followed (relative
    # path -> why), and the data each package hook carried (hook -> paths).
    skipped_links: dict = dataclasses.field(default_factory=dict)
    hook_data: dict = dataclasses.field(default_factory=dict)

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


def carried_mode(source: Path) -> int:
    """The mode of a carried copy: the source's permission bits without
    setuid, setgid and write for others."""
    return stat.S_IMODE(os.stat(source).st_mode) & ~(stat.S_ISUID | stat.S_ISGID | stat.S_IWOTH)


def tree_files(folder: Path, skipped: dict, prefix: PurePosixPath,
               keep_folder=lambda relative: True) -> list:
    """(path relative to `folder`, file) of every file in a folder tree,
    symbolic links followed: a link's target is copied as if it lay there.
    A link that leads nowhere, that loops back to a folder it lies in, or to
    something that is neither a file nor a folder (a device, a socket) is
    not followed and goes into `skipped` (its path under `prefix` -> why).
    keep_folder(relative) decides which subfolders are walked."""
    found = []

    def walk(current: Path, relative: PurePosixPath, ancestors: tuple):
        try:
            entries = sorted(os.scandir(current), key=lambda entry: entry.name)
        except OSError as error:
            skipped[str(prefix / relative)] = "cannot be read: %s" % error.strerror
            return
        for entry in entries:
            path, inner = Path(entry.path), relative / entry.name
            if entry.name == "__pycache__":
                continue
            try:
                status = path.stat()
            except OSError:
                skipped[str(prefix / inner)] = "a link that leads nowhere (%s)" \
                    % os.readlink(path) if path.is_symlink() else "cannot be read"
                continue
            if stat.S_ISDIR(status.st_mode):
                real = os.path.realpath(path)
                if real in ancestors:
                    skipped[str(prefix / inner)] = "a link that loops back to %s" % real
                elif keep_folder(inner):
                    walk(path, inner, ancestors + (real,))
            elif stat.S_ISREG(status.st_mode):
                found.append((inner, path))
            elif entry.is_symlink():
                skipped[str(prefix / inner)] = "a link to something that is not a file (%s)" \
                    % os.readlink(path)

    walk(Path(folder), PurePosixPath(), (os.path.realpath(folder),))
    return found


def data_files(package: Module, target, graph=None, skipped=None) -> list:
    """(path relative to the package folder, source file) of every data file
    in a package's folders, links followed (see tree_files). The folders of
    test suites that the graph does not carry are left out; links not
    followed go into `skipped`."""
    found = []
    skipped = {} if skipped is None else skipped

    def keep_folder(relative: PurePosixPath) -> bool:
        if relative.name not in TEST_SUITE_PACKAGES or graph is None:
            return True
        return ".".join((package.name,) + relative.parts) in graph.modules

    for folder in package.locations:
        for relative, path in tree_files(Path(folder), skipped, PurePosixPath(package.name),
                                         keep_folder):
            if path.suffix in NOT_DATA_SUFFIXES or relative.name in NOT_DATA_NAMES \
                    or target.is_extension(Path(relative.name)):
                continue
            found.append((relative, path))
    return found


def folder_packages(app: Application, target, skipped: dict) -> dict:
    """Top-level packages that must live in the folder, with their data
    files: those with extension modules, with data files, or that a package
    hook gives data to."""
    graph = app.graph
    tops = {}
    for module in graph.modules.values():
        tops.setdefault(module.top, []).append(module)
    hook_tops = {destination.parts[0] for hook in app.package_hooks
                 for destination in hook.data.values()}
    chosen = {}
    for top, members in tops.items():
        head = graph.modules.get(top)
        if head is None or not head.is_package or head.kind == "namespace":
            continue
        if is_stdlib(head, target):
            if top in STDLIB_DATA_PACKAGES or any(m.kind == "extension" for m in members):
                chosen[top] = data_files(head, target, graph, skipped) \
                    if top in STDLIB_DATA_PACKAGES else []
            continue
        data = data_files(head, target, graph, skipped)
        if data or top in hook_tops or any(m.kind == "extension" for m in members):
            chosen[top] = data
    for top, members in tops.items():  # namespace packages with extension modules
        head = graph.modules.get(top)
        if head is not None and head.kind == "namespace" \
                and any(m.kind == "extension" for m in members):
            chosen.setdefault(top, [])
    return chosen


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
    """Decides where every module of the graph goes. A module that does not
    compile is an error when the application reaches it, and is left out
    (named in app.left_out) otherwise. with_source: the application folder's
    modules in lib.dll have their source beside their compiled form (see
    source_path)."""
    placement = Placement()
    in_folder = folder_packages(app, target, placement.skipped_links)
    placement.folder_packages = sorted(in_folder)
    beside = application_data(app)
    for relative, source in beside:
        placement.copies[relative] = source
    reached = None
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
            try:
                compiled = read_compiled(module) if module.kind == "compiled" else \
                    pyc_bytes(read_source(module), source_filename(module, app), module.file)
            except BuildError as error:
                reached = app.graph.import_paths() if reached is None else reached
                if name in reached:
                    raise
                app.left_out[name] = str(error)
                continue
            if to_folder:
                placement.files[module_path(module)] = compiled
            else:
                placement.archive[str(module_path(module))] = compiled
                placement.archive_modules.append(name)
                if with_source and name in app.own and module.kind == "source":
                    placement.archive[str(source_path(module))] = read_source(module)
    for top, data in sorted(in_folder.items()):
        for relative, source in data:
            placement.copies[PurePosixPath(top) / relative] = source
    place_hook_data(app, placement)
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


def place_hook_data(app: Application, placement: Placement) -> None:
    """The data of the package hooks applied, where no file of the package
    itself lies already, and the modules that set their run-time
    environment."""
    for hook in app.package_hooks:
        module = app.graph.modules.get(hook.name)
        carried = placement.hook_data.setdefault(hook.name, [])
        for source, destination in hook.sources(module.locations if module else ()):
            files = [(PurePosixPath(), source)] if source.is_file() else \
                tree_files(source, placement.skipped_links, destination)
            for relative, path in files:
                placement.copies.setdefault(destination / relative, path)
            carried.append("%s (from %s)" % (destination, source))
        if hook.runtime_module:
            placement.archive[hook.runtime_module + ".pyc"] = pyc_bytes(
                hook.runtime_source().encode("utf-8"), "<package hook %s>" % hook.name)
            placement.archive_modules.append(hook.runtime_module)


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
