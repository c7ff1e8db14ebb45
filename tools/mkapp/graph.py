"""The module graph: every module that the application, the boot script and
the runtime hooks import, found on a search path the user controls (the
application folder, the --path folders, then the target's standard library),
with who imports what and which imports are missing.

Sources are read with ast, never run. An import inside a `try` whose
handlers catch ImportError is optional; one inside a function or an
`if __name__ == "__main__":` block is lazy (it runs only when called);
imports under `if TYPE_CHECKING:` are not followed. Extension modules are
read for the names of the modules they import from C. `from package import
name` looks for a submodule `name` and raises no alarm when the package
itself binds that name. A module imported as an attribute of a plain module
(os.path) raises no alarm either.
"""

from __future__ import annotations

import ast
import dataclasses
import dis
import importlib.util
import inspect
import marshal
import types
from pathlib import Path

from .errors import EMBEDDED_PYTHON, BuildError
from .packagehooks import available_package_hooks, read_hook

# Exceptions whose handlers make the imports of a `try` block optional.
IMPORT_ERRORS = frozenset({"ImportError", "ModuleNotFoundError", "Exception", "BaseException"})

# Developer tools of the standard library. Other standard-library modules
# import them mostly in their self-tests and command-line helpers (pickle's
# _test imports doctest, pydoc's gui imports tkinter): such an import, made
# inside a function or under `if __name__ == "__main__":` of a standard-library
# module outside these packages, runs only when an application calls that
# helper, and is not followed (--hidden-import carries the package). Every
# other import of them is.
DEVELOPMENT_PACKAGES = frozenset({
    "pydoc", "pydoc_data", "pdb", "doctest", "unittest", "test", "lib2to3", "distutils",
    "tkinter", "idlelib", "turtle", "turtledemo", "ensurepip", "venv",
})

# Modules that interpreter start-up imports before any script runs.
STARTUP_MODULES = ("encodings", "codecs", "io", "abc", "_collections_abc", "os", "stat",
                   "posixpath", "genericpath", "zipimport")

# Packages carried whole because their modules are imported by computed
# names (codecs.lookup finds an encoding by its name).
WHOLE_PACKAGES = ("encodings",)

# The names of the test suites inside third-party packages: subpackages and
# modules that a package carried whole leaves out unless something imports them.
TEST_SUITE_PACKAGES = frozenset({"tests", "test", "testing"})
TEST_SUITE_MODULES = frozenset({"conftest"})

# The importer of the application folder's own modules: they are carried, but
# a module that only this names is not reached.
APPLICATION_IMPORTER = "(application)"

# Imports made from C by the standard library's built-in and extension
# modules: for built-in modules, whose data no file shows; for imports that
# an extension's data names by a plain word (numbers, ctypes), which the
# search there does not follow; and for targets whose binaries the tool
# cannot read (Target.module_names_in_binary).
C_IMPORTS = {
    "_asyncio": ("asyncio", "asyncio.events", "asyncio.base_futures", "asyncio.exceptions",
                 "asyncio.base_tasks", "asyncio.coroutines", "traceback", "weakref"),
    "_datetime": ("time", "_strptime"),
    "time": ("_strptime",),
    "_decimal": ("collections", "numbers", "contextvars"),
    "_pickle": ("copyreg", "_compat_pickle", "codecs", "functools"),
    "_elementtree": ("copy", "xml.etree.ElementPath", "pyexpat"),
    "_ssl": ("_socket",),
    "_socket": ("encodings.idna",),
    "_sqlite3": ("sqlite3", "sqlite3.dump"),
    "array": ("copyreg",),
    "_ctypes": ("ctypes",),
    "_json": ("json.decoder",),
    "_csv": (),
    "_zoneinfo": ("zoneinfo._common", "zoneinfo._tzpath"),
    "unicodedata": (),
    "_warnings": ("warnings",),
    "_io": ("encodings",),
}

# The standard-library modules behind the lazy aliases of the Python 2/3
# compatibility module six (six.moves.http_client, ...), which no import
# statement names. Followed for every module called six, vendored ones too.
SIX_MOVES = ("http.client", "http.cookiejar", "http.cookies", "http.server", "queue",
             "urllib.parse", "urllib.request", "urllib.error", "urllib.response",
             "urllib.robotparser", "configparser", "html.parser", "html.entities", "io",
             "pickle", "copyreg", "socketserver", "xmlrpc.client", "_thread", "reprlib",
             "collections", "itertools", "shlex", "subprocess", "email.mime.text")


@dataclasses.dataclass
class Module:
    """A module found on the search path.

    kind: "source", "compiled" (a .pyc without source), "extension",
    "builtin" or "namespace". file: its source, compiled or extension file (None for builtin and namespace modules). root: the
    search-path folder it was found in. locations: the folders of a package
    (empty for a plain module)."""
    name: str
    kind: str
    file: Path | None = None
    root: Path | None = None
    locations: list = dataclasses.field(default_factory=list)
    importers: set = dataclasses.field(default_factory=set)

    @property
    def is_package(self) -> bool:
        return bool(self.locations)

    @property
    def top(self) -> str:
        return self.name.partition(".")[0]


@dataclasses.dataclass
class Missing:
    """A module imported but not found: importer -> whether that import was
    optional. The module is optional when every importer imports it
    optionally or is itself reached only through optional imports (set by
    ModuleGraph.missing_modules)."""
    name: str
    importers: dict = dataclasses.field(default_factory=dict)
    optional: bool = False


@dataclasses.dataclass(frozen=True)
class ImportRequest:
    name: str               # absolute dotted name
    fromlist: tuple = ()    # names of `from name import ...`
    optional: bool = False
    lazy: bool = False      # inside a function or a `__name__ == "__main__"` block


# The fields of a syntax node that hold statements: imports are statements,
# so the collector walks these and skips every expression.
STATEMENT_FIELDS = ("body", "orelse", "handlers", "finalbody", "cases")


class ImportCollector(ast.NodeVisitor):
    """The imports of one module's syntax tree, as ImportRequest objects.

    Import statements are followed with their context (optional inside a
    try that catches ImportError; lazy inside a function or a main block).
    Calls of importlib.import_module or __import__ with a constant name count
    as optional, lazy imports; they are looked for only when `calls` is true
    (the source names them)."""

    def __init__(self, package: str | None, calls: bool = True):
        self.package = package  # the package relative imports start from
        self.requests = []
        self.optional = 0
        self.lazy = 0
        self.calls = calls

    def collect(self, tree: ast.Module) -> list:
        self.visit(tree)
        if self.calls:
            self.optional += 1
            self.lazy += 1
            for node in ast.walk(tree):
                if isinstance(node, ast.Call):
                    self.visit_import_call(node)
            self.optional -= 1
            self.lazy -= 1
        return self.requests

    def visit_FunctionDef(self, node):
        self.lazy += 1
        self.generic_visit(node)
        self.lazy -= 1

    visit_AsyncFunctionDef = visit_FunctionDef

    def generic_visit(self, node):
        for field in STATEMENT_FIELDS:
            for child in getattr(node, field, ()):
                self.visit(child)

    def visit_Try(self, node):
        # The body's imports and the fallbacks in the handlers are optional.
        catches = any(handler_catches_import_error(handler.type) for handler in node.handlers)
        self.optional += catches
        for part in node.body + node.handlers:
            self.visit(part)
        self.optional -= catches
        for part in node.orelse + node.finalbody:
            self.visit(part)

    visit_TryStar = visit_Try

    def visit_If(self, node):
        if is_type_checking(node.test):
            for statement in node.orelse:
                self.visit(statement)
            return
        if is_main_block(node.test):
            self.lazy += 1
            for statement in node.body:
                self.visit(statement)
            self.lazy -= 1
            for statement in node.orelse:
                self.visit(statement)
            return
        self.generic_visit(node)

    def visit_Import(self, node):
        for alias in node.names:
            self.add(alias.name)

    def visit_ImportFrom(self, node):
        base = self.resolve(node.module, node.level)
        if base is None:
            return
        self.add(base, tuple(alias.name for alias in node.names if alias.name != "*"))

    def visit_import_call(self, node):
        # importlib.import_module("name"[, package]) and __import__("name").
        function = node.func
        called = function.attr if isinstance(function, ast.Attribute) else \
            function.id if isinstance(function, ast.Name) else None
        if called not in ("import_module", "__import__") or not node.args \
                or not isinstance(node.args[0], ast.Constant) \
                or not isinstance(node.args[0].value, str):
            return
        name = node.args[0].value
        if called == "import_module" and name.startswith("."):
            package = node.args[1].value if len(node.args) > 1 and isinstance(
                node.args[1], ast.Constant) else self.package
            level = len(name) - len(name.lstrip("."))
            saved, self.package = self.package, package
            name = self.resolve(name.lstrip(".") or None, level)
            self.package = saved
        if name:
            self.add(name)

    def resolve(self, module: str | None, level: int) -> str | None:
        if level == 0:
            return module
        if not self.package:
            return None
        parts = self.package.split(".")
        if level - 1 >= len(parts):
            return None
        base = ".".join(parts[:len(parts) - (level - 1)])
        return base + "." + module if module else base

    def add(self, name: str, fromlist: tuple = ()) -> None:
        self.requests.append(ImportRequest(name, fromlist, self.optional > 0, self.lazy > 0))


def handler_catches_import_error(kind) -> bool:
    if kind is None:
        return True
    if isinstance(kind, ast.Tuple):
        return any(handler_catches_import_error(element) for element in kind.elts)
    name = kind.attr if isinstance(kind, ast.Attribute) else getattr(kind, "id", None)
    return name in IMPORT_ERRORS


def is_type_checking(test) -> bool:
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or \
        (isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING")


def is_main_block(test) -> bool:
    """Whether an if-test is `__name__ == "__main__"`."""
    return isinstance(test, ast.Compare) and len(test.ops) == 1 \
        and isinstance(test.ops[0], ast.Eq) \
        and {ast.dump(test.left), ast.dump(test.comparators[0])} == {
            ast.dump(ast.Name("__name__", ast.Load())), ast.dump(ast.Constant("__main__"))}


def looks_like_c_import(name: str) -> bool:
    """Whether a string of an extension module's data may be the name of a
    module it imports: a dotted name (numpy.core._exceptions) or a private
    module (_cffi_backend). Plain words (fs, attrs, chunk) are too often
    something else."""
    return "." in name or name.startswith("_")


def is_test_suite(name: str) -> bool:
    """Whether a dotted module name lies in a test suite (a tests, test or
    testing subpackage, or a conftest module) of a package."""
    parts = name.split(".")
    return any(part in TEST_SUITE_PACKAGES for part in parts[1:]) \
        or parts[-1] in TEST_SUITE_MODULES


def is_package_folder(folder: Path, target) -> bool:
    """Whether a folder inside a package is a subpackage: it is named like
    a module and holds modules (its own, or in its subfolders)."""
    if not folder.name.isidentifier() or folder.name == "__pycache__":
        return False
    return any(entry.suffix in (".py", ".pyc") or target.is_extension(entry)
               or (entry.is_dir() and is_package_folder(entry, target))
               for entry in folder.iterdir())


def parse_source(path: Path) -> ast.Module:
    try:
        return ast.parse(path.read_bytes(), str(path))
    except SyntaxError as error:
        raise BuildError("%s:%s: %s" % (path, error.lineno, error.msg))
    except ValueError as error:  # NUL bytes
        raise BuildError("%s: %s" % (path, error))
    except OSError as error:
        raise BuildError("cannot read %s: %s" % (path, error.strerror))


_imports_cache = {}


def imports_of(path: Path, package: str | None) -> list:
    """The ImportRequest objects of a source file, read once per process for
    the same file contents."""
    path = Path(path)
    try:
        status = path.stat()
    except OSError as error:
        raise BuildError("cannot read %s: %s" % (path, error.strerror))
    key = (str(path), status.st_mtime_ns, status.st_size, package)
    if key not in _imports_cache:
        source = path.read_bytes()
        calls = b"import_module" in source or b"__import__" in source
        _imports_cache[key] = ImportCollector(package, calls).collect(parse_source(path))
    return _imports_cache[key]


def compiled_code(path: Path):
    """The code object of a compiled module (.pyc) of the embedded version."""
    data = Path(path).read_bytes()
    if data[:4] != importlib.util.MAGIC_NUMBER or len(data) < 16:
        raise BuildError("%s: not compiled by Python %d.%d" % ((path,) + EMBEDDED_PYTHON))
    try:
        return marshal.loads(data[16:])
    except (EOFError, ValueError, TypeError) as error:
        raise BuildError("%s: damaged compiled module: %s" % (path, error))


def compiled_imports_of(path: Path, package: str | None) -> list:
    """The imports of a compiled module, from its bytecode. A bytecode does
    not show which imports a try guards: all of them count as optional."""
    collector = ImportCollector(package, calls=False)
    collector.optional = 1
    pending = [compiled_code(path)]
    while pending:
        code = pending.pop()
        collector.lazy = code.co_flags & inspect.CO_OPTIMIZED  # a function's code
        arguments = []
        for instruction in dis.get_instructions(code):
            if instruction.opname == "IMPORT_NAME" and len(arguments) >= 2:
                level, fromlist = arguments[-2], arguments[-1]
                base = collector.resolve(instruction.argval or None, level or 0) \
                    if isinstance(level, int) else None
                if base:
                    names = tuple(name for name in fromlist or () if name != "*")
                    collector.add(base, names)
            arguments = arguments[-1:] + [instruction.argval] \
                if instruction.opname == "LOAD_CONST" else []
        pending += [const for const in code.co_consts if isinstance(const, types.CodeType)]
    return collector.requests


def bound_names(tree: ast.Module) -> set | None:
    """The names a module binds at its top level; None when it may bind any
    name (a star import or a module-level __getattr__)."""
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            if node.name == "__getattr__":
                return None
            names.add(node.name)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                if alias.name == "*":
                    return None
                names.add((alias.asname or alias.name).partition(".")[0])
        elif isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store):
            names.add(node.id)
        elif isinstance(node, ast.Call) and isinstance(node.func, ast.Name) \
                and node.func.id in ("globals", "setattr"):
            return None  # binds names it computes
    return names


class ModuleGraph:
    """Modules found from the starting points, followed to every import."""

    def __init__(self, search_path, target, excludes=()):
        self.search_path = [Path(folder) for folder in search_path]
        self.target = target
        self.excludes = set(excludes)
        self.modules = {}       # name -> Module
        self.missing = {}       # name -> Missing
        self.excluded = {}      # name -> importers, for names left out (see is_excluded)
        self.broken = {}        # name -> why the module cannot be read or compiled
        self.from_binaries = {}  # name -> the extension modules whose data name it
        self.own = set()        # the application's own modules
        # Modules carried only because their package is carried whole, and
        # their imports of other packages, followed once they are reached.
        self._completion_only = set()
        self._deferred = []     # (importer, ImportRequest)
        self._scanned = set()
        self._bound = {}        # package name -> bound_names of its __init__
        self._pending = []
        self._roots = set()     # modules given as starting points
        self._required = {}     # importer -> names it imports outside try/except ImportError

    # -- starting points ---------------------------------------------------

    def add_import(self, name: str, importer: str = None, optional: bool = False):
        """Imports `name` (and its parents) as `importer` does; returns the
        module or None."""
        module = self._import(name, importer, optional)
        self._drain()
        return module

    def add_source(self, name: str, path: Path, package: str | None = None) -> Module:
        """A module whose file is given (a boot script, a runtime hook)."""
        module = Module(name, "source", Path(path))
        self.modules[name] = module
        self._roots.add(name)
        self._pending.append((module, package))
        self._drain()
        return module

    def add_whole_package(self, name: str, importer: str = None) -> None:
        """A package with every module inside it, subpackages included; each
        module counts as imported, optionally, by its package."""
        queue = [self.add_import(name, importer)]
        while queue:
            package = queue.pop()
            if package is None or not package.is_package:
                continue
            for submodule in self.submodule_names(package):
                queue.append(self.add_import(submodule, package.name, optional=True))

    def complete_packages(self) -> None:
        """Carries every module of the packages from outside the standard
        library (their plugins are often imported by computed names: PIL's
        image plugins, pygments' lexers), their test suites aside, until no
        more packages come in. A module carried this way is not reached by
        that alone: only an import makes it so, and only then are its imports
        of other packages outside the standard library followed."""
        done = set()
        while True:
            todo = sorted({module.top for module in self.modules.values()
                           if module.top not in done and module.top in self.modules
                           and self.modules[module.top].is_package
                           and not is_stdlib(self.modules[module.top], self.target)})
            if not todo:
                return
            for top in todo:
                done.add(top)
                queue = [self.modules[top]]
                while queue:
                    package = queue.pop()
                    for name in self.submodule_names(package):
                        if is_test_suite(name) or self.is_excluded(name):
                            continue
                        if name not in self.modules:
                            self._completion_only.add(name)
                        module = self.modules.get(name) or self._import(
                            name, package.name, True, record=False)
                        if module is not None and module.is_package:
                            queue.append(module)
                    self._drain()
            self.follow_deferred()

    def follow_deferred(self) -> None:
        """Follows the deferred imports of the modules that are now reached."""
        while self._deferred:
            paths = self.import_paths()
            due = [item for item in self._deferred if item[0] in paths]
            if not due:
                return
            self._deferred = [item for item in self._deferred if item[0] not in paths]
            for importer, request in due:
                self._follow(importer, request)
            self._drain()

    def submodule_names(self, package: Module) -> list:
        names = []
        for folder in package.locations:
            for entry in sorted(Path(folder).iterdir()):
                stem = entry.name.partition(".")[0]
                if not stem.isidentifier() or stem == "__init__":
                    continue
                if entry.is_dir():
                    if is_package_folder(entry, self.target):
                        names.append(package.name + "." + entry.name)
                elif entry.suffix in (".py", ".pyc") or self.target.is_extension(entry):
                    names.append(package.name + "." + stem)
        return sorted(set(names))

    # -- finding -----------------------------------------------------------

    def is_excluded(self, name: str, importer: str | None = None, lazy: bool = False) -> bool:
        """Whether an import is not followed: the user excluded the name, or a
        standard-library module outside the developer tools imports one of
        them where an application never runs the import (DEVELOPMENT_PACKAGES)."""
        parts = name.split(".")
        if any(".".join(parts[:i]) in self.excludes for i in range(1, len(parts) + 1)):
            return True
        if lazy and is_test_suite(name) and importer and not importer.startswith("(") \
                and importer not in self.own and not is_test_suite(importer):
            return True  # a library's test suite, imported where tests run
        return lazy and parts[0] in DEVELOPMENT_PACKAGES and self.is_stdlib_module(importer) \
            and importer.partition(".")[0] not in DEVELOPMENT_PACKAGES

    def is_stdlib_module(self, name: str | None) -> bool:
        module = self.modules.get(name) if name else None
        if module is None or module.file is None:
            return False
        return any(folder in module.file.parents for folder in self.target.stdlib_dirs())

    def _import(self, name: str, importer, optional: bool, lazy: bool = False,
                record: bool = True):
        """Finds `name` and its parents; `record`: the import counts as an
        edge of the graph (see reached_modules)."""
        if self.is_excluded(name, importer, lazy):
            self.excluded.setdefault(name, set()).add(importer or "")
            return None
        parts = name.split(".")
        module = None
        for index in range(1, len(parts) + 1):
            partial = ".".join(parts[:index])
            if partial in self.modules:
                module = self.modules[partial]
            else:
                parent = module
                if parent is not None and not parent.is_package:
                    return None  # an attribute of a plain module, as os.path
                module = self._find(partial, parent)
                if module is None:
                    self._note_missing(partial, importer, optional)
                    return None
                self.modules[partial] = module
                if importer in self._completion_only:
                    self._completion_only.add(partial)  # reached no more than its importer
                if module.kind != "namespace":
                    self._pending.append((module, None))
            if importer is not None and partial == name and record:
                module.importers.add(importer)
            if importer is not None and not optional:
                self._required.setdefault(importer, set()).add(partial)
        return module

    def _note_missing(self, name: str, importer, optional: bool) -> None:
        if self.target.is_foreign(name):
            return
        entry = self.missing.setdefault(name, Missing(name))
        key = importer or "(start)"
        # A module that guards one import of a name knows it may be missing.
        entry.importers[key] = entry.importers.get(key, False) or optional

    def _find(self, name: str, parent: Module | None) -> Module | None:
        last = name.rpartition(".")[2]
        if parent is None:
            if self.target.is_builtin(name):
                return Module(name, "builtin")
            folders = self.search_path
        else:
            folders = parent.locations
        portions = []
        for folder in folders:
            found = self._find_in(name, last, Path(folder), portions)
            if found is not None:
                return found
        if portions:
            return Module(name, "namespace", None, None, portions)
        return None

    def _find_in(self, name: str, last: str, folder: Path, portions: list):
        candidate = folder / last
        if candidate.is_dir():
            for init, kind in ((candidate / "__init__.py", "source"),
                               (candidate / "__init__.pyc", "compiled")):
                if init.is_file():
                    return Module(name, kind, init, folder, [candidate])
            for suffix in self.target.extension_suffixes:
                if (candidate / ("__init__" + suffix)).is_file():
                    return Module(name, "extension", candidate / ("__init__" + suffix),
                                  folder, [candidate])
        for suffix in self.target.extension_suffixes:
            path = folder / (last + suffix)
            if path.is_file():
                return Module(name, "extension", path, folder)
        for path, kind in ((folder / (last + ".py"), "source"),
                           (folder / (last + ".pyc"), "compiled")):
            if path.is_file():
                return Module(name, kind, path, folder)
        if candidate.is_dir():
            portions.append(candidate)
        return None

    # -- following imports -------------------------------------------------

    def _drain(self) -> None:
        while self._pending:
            module, package = self._pending.pop()
            if module.name in self._scanned:
                continue
            self._scanned.add(module.name)
            self._scan(module, package)

    def _scan(self, module: Module, package: str | None) -> None:
        implicit = C_IMPORTS.get(module.name, ())
        if module.name.rpartition(".")[2] == "six":
            implicit = SIX_MOVES
        for name in implicit:
            self._import(name, module.name, True)
        if module.kind == "extension":
            self._scan_binary(module)
        if module.kind not in ("source", "compiled"):
            return
        if package is None:
            package = module.name if module.is_package else module.name.rpartition(".")[0]
        read = imports_of if module.kind == "source" else compiled_imports_of
        try:
            requests = read(module.file, package or None)
        except BuildError as error:
            self.broken[module.name] = str(error)
            return
        for request in requests:
            if module.name in self._completion_only and self._leaves_package(module, request):
                self._deferred.append((module.name, request))
            else:
                self._follow(module.name, request)

    def _follow(self, importer: str, request: ImportRequest) -> None:
        base = self._import(request.name, importer, request.optional, request.lazy)
        for item in request.fromlist:
            self._import_from(base, request.name, item, importer, request.optional,
                              request.lazy)

    def _leaves_package(self, module: Module, request: ImportRequest) -> bool:
        """Whether an import goes to another top-level package that is not
        part of the standard library (or is not found)."""
        top = request.name.partition(".")[0]
        if top == module.top:
            return False
        found = self.modules.get(top)
        if found is None:
            try:
                found = self._find(top, None)
            except OSError:
                return True
        return found is None or not is_stdlib(found, self.target)

    def _scan_binary(self, module: Module) -> None:
        """Follows the modules that an extension module imports from C: the
        names in its read-only data that name a module on the search path.
        Developer tools and test suites named there are not followed."""
        for name in self.target.module_names_in_binary(module.file):
            if name == module.name or name.partition(".")[0] in DEVELOPMENT_PACKAGES \
                    or is_test_suite(name) or not looks_like_c_import(name) \
                    or not self.is_findable(name):
                continue
            request = ImportRequest(name, optional=True, lazy=True)
            if module.name in self._completion_only and self._leaves_package(module, request):
                self._deferred.append((module.name, request))
                continue
            if name not in self.modules:
                self.from_binaries.setdefault(name, set()).add(module.name)
            self._follow(module.name, request)

    def is_findable(self, name: str) -> bool:
        """Whether `name` is a module on the search path, without noting it."""
        module = None
        for index, part in enumerate(name.split(".")):
            partial = ".".join(name.split(".")[:index + 1])
            if partial in self.modules:
                module = self.modules[partial]
                continue
            if module is not None and not module.is_package:
                return False
            try:
                module = self._find(partial, module)
            except OSError:  # a string that cannot be a file name
                return False
            if module is None:
                return False
        return module is not None

    def _import_from(self, base: Module | None, base_name: str, item: str, importer: str,
                     optional: bool, lazy: bool = False) -> None:
        if base is None or not base.is_package:
            return
        full = base_name + "." + item
        if full in self.modules:
            self.modules[full].importers.add(importer)
            return
        if self._find(full, base) is not None:
            self._import(full, importer, optional, lazy)
        elif not self.binds(base, item):
            self._note_missing(full, importer, optional)

    def binds(self, package: Module, name: str) -> bool:
        """Whether the package's __init__ binds `name` (or may bind anything)."""
        if name.startswith("__") and name.endswith("__"):
            return True  # __file__, __version__ and the other module attributes
        if package.kind != "source" or package.name in self.broken:
            return package.kind != "namespace"  # compiled or extension: cannot tell
        if package.name not in self._bound:
            self._bound[package.name] = bound_names(parse_source(package.file))
        bound = self._bound[package.name]
        return bound is None or name in bound

    # -- results -----------------------------------------------------------

    def required_modules(self) -> set:
        """The modules reached from a starting point through imports that are
        not optional."""
        queue = [importer for importer in self._required
                 if importer.startswith("(") or importer in self._roots]
        queue += list(self._roots)
        reached = set(queue)
        while queue:
            for name in self._required.get(queue.pop(), ()):
                if name not in reached:
                    reached.add(name)
                    queue.append(name)
        return reached

    def import_paths(self) -> dict:
        """Module name -> the chain of imports that reaches it first from a
        starting point (the interpreter's start-up, the main module, the boot
        script, a hook, a hidden import), starting point first. A module that
        is carried only because its package is carried whole, or only because
        it is in the application folder, has no chain: nothing reaches it."""
        imported_by = {}
        for name, module in self.modules.items():
            for importer in module.importers:
                imported_by.setdefault(importer, []).append(name)
        starts = sorted(importer for importer in imported_by
                        if importer.startswith("(") and importer != APPLICATION_IMPORTER)
        chains = {start: [start] for start in starts}
        chains.update((root, [root]) for root in sorted(self._roots))
        queue = list(chains)
        while queue:
            importer = queue.pop(0)
            for name in sorted(imported_by.get(importer, ())):
                if name in chains:
                    continue
                chains[name] = chains[importer] + [name]
                queue.append(name)
                parent = name.rpartition(".")[0]
                while parent and parent not in chains:  # imported before its submodule
                    chains[parent] = chains[name]
                    queue.append(parent)
                    parent = parent.rpartition(".")[0]
        return {name: chain for name, chain in chains.items() if name in self.modules}

    def leave_out(self, reasons: dict) -> dict:
        """Removes the modules named (name -> why) and their submodules;
        returns `reasons`."""
        for name in list(self.modules):
            if any(name == left or name.startswith(left + ".") for left in reasons):
                del self.modules[name]
        return dict(reasons)

    def missing_modules(self) -> list:
        """The modules imported but not found, by name; those found later
        under the same name (an earlier failed relative guess) left out."""
        required = self.required_modules()
        entries = [entry for name, entry in sorted(self.missing.items())
                   if name not in self.modules]
        for entry in entries:
            entry.optional = all(optional or not (importer in required
                                                  or importer.startswith("("))
                                 for importer, optional in entry.importers.items())
        return entries


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
            elif entry.suffix == ".py" and entry.stem.isidentifier() and entry.is_file():
                if entry.stem == "__init__":
                    modules[prefix.rstrip(".")] = entry
                else:
                    modules[prefix + entry.stem] = entry

    visit(app_dir, "")
    return modules


def hook_name(trigger: str) -> str:
    return "_hook_" + trigger


def available_hooks(hooks_dir: Path) -> dict:
    """Trigger (a top-level module name) -> hook file, for hooks_dir/<trigger>.py."""
    if hooks_dir is None or not Path(hooks_dir).is_dir():
        return {}
    return {path.stem: path for path in sorted(Path(hooks_dir).glob("*.py"))
            if path.stem.isidentifier()}


@dataclasses.dataclass
class Application:
    """The graph of an application and what the later stages need from it."""
    graph: ModuleGraph
    app_dir: Path | None
    own: dict           # the application folder's modules: name -> file
    hooks: list         # the carried runtime hooks' module names, in run order
    package_hooks: list = dataclasses.field(default_factory=list)  # PackageHook, applied
    left_out: dict = dataclasses.field(default_factory=dict)  # name -> why (broken, unreached)
    shadows: list = dataclasses.field(default_factory=list)  # (module, its file, shadowed file)


def build_graph(target, app_dir=None, main_module=None, boot_script=None, search_path=(),
                hidden_imports=(), excludes=(), hooks_dir=None,
                package_hooks_dirs=()) -> Application:
    """The module graph from every starting point: interpreter start-up, the
    application's own modules (the main module first), the boot script, the
    hidden imports; then, until nothing more comes in, the packages from
    outside the standard library completed, the package hooks and the
    runtime hooks of what was found. A module that does not compile is an
    error when something reaches it, and is left out otherwise."""
    own = {}
    folders = []
    if app_dir is not None:
        app_dir = Path(app_dir)
        if not app_dir.is_dir():
            raise BuildError("application folder not found: %s" % app_dir)
        own = application_modules(app_dir)
        folders.append(app_dir)
    for folder in search_path:
        if not Path(folder).is_dir():
            raise BuildError("--path folder not found: %s" % folder)
        folders.append(Path(folder))
    folders += target.module_dirs()
    graph = ModuleGraph(folders, target, excludes)
    graph.own = set(own)

    for name in STARTUP_MODULES:
        graph.add_import(name, "(interpreter start-up)")
    for name in WHOLE_PACKAGES:
        graph.add_whole_package(name, "(interpreter start-up)")
    if main_module is not None:
        module = graph.add_import(main_module, "(main module)")
        if module is None or module.kind not in ("source", "compiled", "extension"):
            where = " in the application folder %s" % app_dir if app_dir else ""
            raise BuildError("main module %s was not found%s" % (main_module, where))
        if module.is_package and graph.add_import(main_module + ".__main__",
                                                  "(main module)") is None:
            raise BuildError("main module %s is a package without a __main__ module"
                             % main_module)
    for name in own:
        graph.add_import(name, APPLICATION_IMPORTER)
    if boot_script is not None:
        graph.add_source("__main__", Path(boot_script))
    for name in hidden_imports:
        graph.add_import(name, "(--hidden-import)")
    runtime_hooks, package_hooks = add_hooks(graph, target, hooks_dir, package_hooks_dirs)
    app = Application(graph, app_dir, own,
                      runtime_hooks + [hook.runtime_module for hook in package_hooks
                                       if hook.runtime_module],
                      package_hooks)
    app.left_out = settle_broken_modules(graph)
    app.shadows = shadowed_modules(graph, len(folders) - len(target.module_dirs()))
    return app


def add_hooks(graph: ModuleGraph, target, hooks_dir, package_hooks_dirs=()) -> tuple:
    """Completes the packages from outside the standard library and carries
    the runtime hook <trigger> and the package hook of every module found,
    until no more modules come in (a hook's imports may bring in more
    packages and triggers); adds the modules that sysconfig imports by a
    computed name. Returns the runtime hooks' module names in run order and
    the package hooks applied."""
    hooks = available_hooks(hooks_dir)
    package_hooks = available_package_hooks(package_hooks_dirs)
    carried, applied = [], {}
    while True:
        before = len(graph.modules)
        graph.complete_packages()
        graph.follow_deferred()
        if "sysconfig" in graph.modules and target.sysconfigdata_module \
                and target.sysconfigdata_module not in graph.modules:
            graph.add_import(target.sysconfigdata_module, "sysconfig")
        for name in sorted(package_hooks):
            if name in graph.modules and name not in applied:
                applied[name] = read_hook(package_hooks[name])
                for hidden in applied[name].hidden_imports:
                    graph.add_import(hidden, "(package hook %s)" % name)
        for trigger in hooks:
            if trigger in graph.modules and hook_name(trigger) not in graph.modules:
                graph.add_source(hook_name(trigger), hooks[trigger])
                carried.append(hook_name(trigger))
        if len(graph.modules) == before:
            return sorted(carried), [applied[name] for name in sorted(applied)]


def settle_broken_modules(graph: ModuleGraph) -> dict:
    """Leaves out the modules that cannot be read or compiled and that
    nothing reaches (name -> why); one that is reached is an error."""
    if not graph.broken:
        return {}
    reached = graph.import_paths()
    for name, why in sorted(graph.broken.items()):
        if name in reached:
            raise BuildError(why)
    return graph.leave_out(graph.broken)


def shadowed_modules(graph: ModuleGraph, own_folders: int) -> list:
    """(module, its file, the file it hides) of each carried top-level module
    found in the application folder or a --path folder (the first
    `own_folders` of the search path) whose name a later folder holds too."""
    found = []
    for name, module in sorted(graph.modules.items()):
        if "." in name or module.root is None:
            continue
        folders = graph.search_path
        if module.root not in folders[:own_folders]:
            continue
        for folder in folders[folders.index(module.root) + 1:]:
            hidden = graph._find_in(name, name, Path(folder), [])
            if hidden is not None:
                found.append((name, module.file, hidden.file))
                break
    return found


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
