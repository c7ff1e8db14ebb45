"""The boot script: compiled by the embedded interpreter's version, given the
launcher's 8-byte header and scrambled for resource SCRIPT 1."""

from __future__ import annotations

import ast
import importlib.util
import marshal
from pathlib import Path

from .errors import BuildError, read_input, require_embedded_python

DESCRAMBLE_KEY = bytes.fromhex("3f8a12c47b05e961a2d84e9017bb6c23")


def scramble(data: bytes) -> bytes:
    """The launcher's transform: byte k XOR key[k % 16]. Its own inverse."""
    n = len(data)
    if n == 0:
        return b""
    stream = (DESCRAMBLE_KEY * (n // len(DESCRAMBLE_KEY) + 1))[:n]
    mixed = int.from_bytes(data, "little") ^ int.from_bytes(stream, "little")
    return mixed.to_bytes(n, "little")


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



# The boot script the tool writes when the user gives none: it runs the
# configured main module as `python app.py` would, with the command line
# that the launcher hands over.
STANDARD_BOOT_SOURCE = '''\
"""Boot script: runs the application's main module as the program."""
import sys

import stub


def exit_status(code):
    """The process exit status of SystemExit(code), as the interpreter makes it."""
    if code is None:
        return 0
    if isinstance(code, int):
        return ((code + 2 ** 31) % 2 ** 32) - 2 ** 31
    print(code, file=sys.stderr)
    return 1


def find_spec(name):
    """The spec of module `name`, its parent package imported first, as
    importlib.util.find_spec finds it; without importing importlib.util,
    whose imports would cost more than the rest of the start-up."""
    import _frozen_importlib
    parent = name.rpartition(".")[0]
    path = __import__(parent, fromlist=["__path__"]).__path__ if parent else None
    return _frozen_importlib._find_spec(name, path)


class MainLoader:
    """The main module's __loader__: its own loader, which also answers for
    the module under the name __main__ (linecache and inspect ask for the
    source of a module by its __name__)."""

    def __init__(self, loader, name):
        self.loader = loader
        self.name = name

    def get_source(self, fullname):
        return self.loader.get_source(self.name if fullname == "__main__" else fullname)

    def __getattr__(self, attribute):
        return getattr(self.loader, attribute)


def run_main_module(name):
    """Runs module `name` as __main__, with the module object in sys.modules
    (so that pickle and child processes find what it defines)."""
    spec = find_spec(name)
    if spec is not None and spec.submodule_search_locations is not None:
        name += ".__main__"  # a package runs its __main__ module, as with -m
        spec = find_spec(name)
    if spec is None or spec.loader is None:
        raise ModuleNotFoundError("No module named %r" % name, name=name)
    code = spec.loader.get_code(name)
    main = type(sys)("__main__")
    main.__spec__ = spec
    main.__loader__ = MainLoader(spec.loader, name)
    main.__package__ = spec.parent
    main.__builtins__ = __builtins__
    if spec.has_location:
        main.__file__ = spec.origin
    sys.modules["__main__"] = main
    exec(code, main.__dict__)


def show_exception(kind, value, traceback):
    """sys.excepthook: the interpreter's report of an uncaught exception,
    with the code lines of modules whose source lies in lib.dll (the
    built-in report reads source lines from files only)."""
    try:
        import traceback as formatting
        formatting.print_exception(kind, value, traceback)
    except Exception:
        sys.__excepthook__(kind, value, traceback)


if sys.excepthook is sys.__excepthook__:
    sys.excepthook = show_exception
main_module = stub.get_main_module()
sys.argv = stub.get_argv()
try:
    run_main_module(main_module)
except SystemExit as exit:
    stub.crt_exit(exit_status(exit.code))
'''
STANDARD_BOOT_FILENAME = "boot.py"


def compile_with_hooks(source: bytes, filename: str, hooks=()):
    """Compiles a boot script that first imports the runtime hooks, in the
    order given. The imports are placed after the docstring and the
    __future__ imports, on the first line, so that every line of the script
    keeps its number."""
    if not hooks:
        return compile_source(source, filename)
    require_embedded_python()
    try:
        tree = ast.parse(source, filename)
    except SyntaxError as error:
        raise BuildError("%s:%s: %s" % (error.filename or filename, error.lineno, error.msg))
    except ValueError as error:
        raise BuildError("%s: %s" % (filename, error))
    position = 0
    body = tree.body
    if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant) \
            and isinstance(body[0].value.value, str):
        position = 1
    while position < len(body) and isinstance(body[position], ast.ImportFrom) \
            and body[position].module == "__future__":
        position += 1
    line = body[position].lineno if position < len(body) else 1
    imports = [ast.Import(names=[ast.alias(name=hook)]) for hook in hooks]
    for node in imports:
        for part in ast.walk(node):
            part.lineno, part.col_offset, part.end_lineno, part.end_col_offset = line, 0, line, 0
    tree.body[position:position] = imports
    return compile(tree, filename, "exec", dont_inherit=True)


def boot_script_bytes(source: bytes, filename: str, hooks=()) -> bytes:
    """The boot script's plain form with the runtime hooks' imports."""
    code = compile_with_hooks(source, filename, hooks)
    return importlib.util.MAGIC_NUMBER + bytes(4) + marshal.dumps(code)
