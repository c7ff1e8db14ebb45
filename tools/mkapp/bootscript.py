"""The boot script: compiled by the embedded interpreter's version, given the
launcher's 8-byte header and scrambled for resource SCRIPT 1."""

from __future__ import annotations

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

