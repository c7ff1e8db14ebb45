"""The module graph: the application's own modules and every module they,
and the boot script, import."""

from __future__ import annotations

import ast
import modulefinder
from pathlib import Path

from .assembly import ARCHIVE_NAME
from .errors import BuildError
from .target import HOST


# Developer tools of the standard library. Their modules are reached mostly
# through the command-line helpers of other modules (tokenize.main imports
# argparse, and so on); they are left out of lib.dll unless the application's
# own code or the boot script imports them.
DEVELOPMENT_PACKAGES = frozenset({
    "pydoc", "pydoc_data", "pdb", "doctest", "unittest", "test", "lib2to3", "distutils",
    "tkinter", "idlelib", "turtle", "turtledemo", "ensurepip", "venv",
})


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


def run_module_finder(app_dir: Path, main_module: str, boot_script, target=HOST):
    own = application_modules(app_dir)
    if main_module not in own:
        raise BuildError("main module %s is not in the application folder %s"
                         % (main_module, app_dir))
    wanted = set()
    for path in list(own.values()) + ([Path(boot_script)] if boot_script else []):
        wanted |= imported_packages(path)
    finder = TracingModuleFinder(path=[str(app_dir), *map(str, target.module_dirs())],
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
        if module.__file__ and module.__file__.endswith(HOST.extension_suffixes):
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
