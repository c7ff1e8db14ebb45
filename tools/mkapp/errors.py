"""Errors of a build and the checks of its inputs that every stage shares."""

from __future__ import annotations

import sys
from pathlib import Path

EMBEDDED_PYTHON = (3, 11)


class BuildError(Exception):
    """A failure of the build, reported as one line."""


def require_embedded_python() -> None:
    if sys.version_info[:2] != EMBEDDED_PYTHON:
        raise BuildError(
            "bytecode must be compiled by Python %d.%d, the interpreter the launcher embeds "
            "(run this tool with /usr/bin/python%d.%d), not %d.%d"
            % (EMBEDDED_PYTHON + EMBEDDED_PYTHON + sys.version_info[:2]))


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
