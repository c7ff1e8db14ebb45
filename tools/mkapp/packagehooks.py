"""Package hooks: what a package needs beyond its modules, written down once
per package in a small module of hooks/packages/ (or of a folder given with
--hooks-dir, whose hooks replace the tool's own of the same name).

A hook file is named after the module it applies to (matplotlib.py applies
when matplotlib is carried) and may set three names, nothing else:

    DATA = {"/usr/share/matplotlib/mpl-data": "matplotlib/mpl-data"}
        file or folder -> where it goes in the output folder. A relative
        source lies in the package's own folder. A source that does not
        exist is skipped (another system keeps the data inside the package).
    HIDDEN_IMPORTS = ["pkg.loaded_by_name"]
        modules that the package imports by computed names.
    ENVIRONMENT = {"PYTZ_TZDATADIR": "pytz/zoneinfo"}
        environment variables set at run time, before the application's
        code, to a path inside the output folder (unless the user has set
        them already, or the path is not there).

The tool runs the hook file to read these names.
"""

from __future__ import annotations

import dataclasses
from pathlib import Path, PurePosixPath

from .errors import BuildError

BUILTIN_HOOKS_DIR = Path(__file__).resolve().parent / "hooks" / "packages"
HOOK_NAMES = ("DATA", "HIDDEN_IMPORTS", "ENVIRONMENT")

# The module name prefix of the runtime module that sets a hook's ENVIRONMENT.
RUNTIME_PREFIX = "_pkghook_"


@dataclasses.dataclass
class PackageHook:
    name: str               # the module whose presence applies the hook
    file: Path
    data: dict              # source (str) -> destination (PurePosixPath)
    hidden_imports: tuple
    environment: dict       # variable -> PurePosixPath inside the output folder

    @property
    def runtime_module(self) -> str | None:
        """The module that sets ENVIRONMENT at run time, or None."""
        return RUNTIME_PREFIX + self.name.replace(".", "_") if self.environment else None

    def runtime_source(self) -> str:
        """The source of runtime_module."""
        settings = tuple((name, str(path)) for name, path in sorted(self.environment.items()))
        return (
            '"""Run-time settings of the package hook %s."""\n'
            "import os\n"
            "import sys\n\n"
            "folder = os.path.dirname(os.path.abspath(sys.executable))\n"
            "for name, relative in %r:\n"
            "    path = os.path.join(folder, *relative.split('/'))\n"
            "    if not os.environ.get(name) and os.path.exists(path):\n"
            "        os.environ[name] = path\n" % (self.name, settings))

    def sources(self, package_dirs) -> list:
        """(source path, destination) of the DATA that exists; relative
        sources are looked for in the package's folders."""
        found = []
        for source, destination in sorted(self.data.items()):
            candidates = [Path(source)] if Path(source).is_absolute() else \
                [Path(folder, source) for folder in package_dirs]
            for candidate in candidates:
                if candidate.exists():
                    found.append((candidate, destination))
                    break
        return found


def check_destination(text, hook_file: Path, what: str) -> PurePosixPath:
    if not isinstance(text, str):
        raise BuildError("package hook %s: %s must map to relative paths" % (hook_file, what))
    path = PurePosixPath(text)
    if not text or path.is_absolute() or ".." in path.parts or path == PurePosixPath("."):
        raise BuildError("package hook %s: %s path %r must lie inside the output folder"
                         % (hook_file, what, text))
    return path


def read_hook(path: Path) -> PackageHook:
    """Runs a hook file and checks the names it sets."""
    namespace = {"__file__": str(path), "__name__": "package_hook"}
    try:
        exec(compile(path.read_bytes(), str(path), "exec"), namespace)
    except OSError as error:
        raise BuildError("cannot read package hook %s: %s" % (path, error.strerror))
    except Exception as error:  # the hook's own fault, reported in one line
        raise BuildError("package hook %s failed: %s: %s" % (path, type(error).__name__, error))
    unknown = sorted(name for name in namespace
                     if name.isupper() and name not in HOOK_NAMES)
    if unknown:
        raise BuildError("package hook %s sets %s; a hook sets only %s"
                         % (path, ", ".join(unknown), ", ".join(HOOK_NAMES)))
    data = namespace.get("DATA", {})
    hidden = namespace.get("HIDDEN_IMPORTS", ())
    environment = namespace.get("ENVIRONMENT", {})
    if not isinstance(data, dict) or not all(isinstance(key, str) for key in data):
        raise BuildError("package hook %s: DATA must be a dict of source -> destination" % path)
    if isinstance(hidden, str) or not all(isinstance(name, str) for name in hidden):
        raise BuildError("package hook %s: HIDDEN_IMPORTS must be a list of module names"
                         % path)
    if not isinstance(environment, dict) or not all(
            isinstance(key, str) and key for key in environment):
        raise BuildError("package hook %s: ENVIRONMENT must be a dict of variable -> path"
                         % path)
    return PackageHook(
        path.stem, path,
        {source: check_destination(target, path, "DATA") for source, target in data.items()},
        tuple(hidden),
        {name: check_destination(value, path, "ENVIRONMENT")
         for name, value in environment.items()})


def available_package_hooks(user_dirs=()) -> dict:
    """Module name -> hook file: the tool's own hooks, then those of each
    user folder in turn (a later one replaces an earlier one)."""
    hooks = {}
    for folder in [BUILTIN_HOOKS_DIR] + [Path(folder) for folder in user_dirs]:
        if not folder.is_dir():
            raise BuildError("--hooks-dir folder not found: %s" % folder)
        for path in sorted(folder.glob("*.py")):
            if all(part.isidentifier() for part in path.stem.split(".")):
                hooks[path.stem] = path
    return hooks
