"""The target: where the standard library and the extension modules of the
interpreter that the launcher embeds come from, and the platform's rules."""

from __future__ import annotations

import importlib.machinery
import sysconfig
from pathlib import Path


class Target:
    """What the stages need to know about the platform an output runs on."""

    name = "host"

    def __init__(self, stdlib_dir: Path, extension_dir: Path, extension_suffixes):
        self.stdlib_dir = Path(stdlib_dir)
        self.extension_dir = Path(extension_dir)
        self.extension_suffixes = tuple(extension_suffixes)

    def module_dirs(self) -> list:
        """The interpreter's own module folders, standard library first."""
        return [self.stdlib_dir, self.extension_dir]


def host_target() -> Target:
    stdlib = Path(sysconfig.get_paths()["stdlib"])
    dynload = Path(sysconfig.get_config_var("DESTSHARED") or stdlib / "lib-dynload")
    return Target(stdlib, dynload, importlib.machinery.EXTENSION_SUFFIXES)


HOST = host_target()
