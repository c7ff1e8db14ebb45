"""The Windows target: the interpreter that tools/windows-python/build.sh
makes, in one folder (--windows-python DIR): python311.dll, python311.zip
(the standard library, compiled), the .pyd extension modules and
builtin_modules.txt (the modules compiled into python311.dll).

The module graph reads the standard library from python311.zip unpacked into
a folder of its own (compiled modules, no sources), and the extension modules
from DIR by file name; nothing of it runs here. The output folder (the
--emit-rc folder, where launcher.exe is linked) receives lib.dll,
python311.dll, python311.zip and the extension modules the application's
imports reach, top-level beside the executable. Windows finds the DLLs a
.pyd needs beside the executable; the interpreter build links its
third-party libraries into the .pyd files, so there are none to carry.
"""

from __future__ import annotations

import tempfile
import weakref
import zipfile
from pathlib import Path

from .errors import BuildError, require_file
from .target import Target

RUNTIME_FILES = ("python311.dll", "python311.zip")
BUILTIN_LIST = "builtin_modules.txt"

# Modules of other platforms that the standard library imports under a
# platform test.
FOREIGN_MODULES = frozenset({
    "posix", "pwd", "grp", "fcntl", "termios", "tty", "pty", "resource", "_posixsubprocess",
    "_posixshmem", "readline", "_curses", "_curses_panel", "curses", "syslog", "crypt", "_crypt",
    "nis", "spwd", "ossaudiodev", "_gdbm", "_dbm", "_scproxy", "_osx_support", "_aix_support",
    "_bootsubprocess", "java", "org", "vms_lib", "riscos", "riscosenviron", "riscospath", "ce",
    "os2", "os2emxpath", "_emx_link", "Carbon", "AppKit", "Foundation", "objc", "MacOS",
    "CoreFoundation", "SystemConfiguration", "EasyDialogs", "_dummy_threading",
    "dummy_threading", "ctypes.macholib",
})


class WindowsTarget(Target):
    name = "windows"
    foreign_modules = FOREIGN_MODULES
    sysconfigdata_module = None

    def __init__(self, interpreter_dir):
        self.interpreter_dir = Path(interpreter_dir)
        for name in RUNTIME_FILES + (BUILTIN_LIST,):
            require_file(self.interpreter_dir / name, "Windows interpreter file")
        unpacked = tempfile.TemporaryDirectory(prefix="mkapp-windows-stdlib-")
        weakref.finalize(self, unpacked.cleanup)
        super().__init__(unpacked.name, self.interpreter_dir, (".pyd",))
        try:
            with zipfile.ZipFile(self.interpreter_dir / "python311.zip") as archive:
                archive.extractall(self.stdlib_dir)
        except zipfile.BadZipFile as error:
            raise BuildError("%s: %s" % (self.interpreter_dir / "python311.zip", error))
        self.builtin_modules = frozenset(
            (self.interpreter_dir / BUILTIN_LIST).read_text().split()) | {
            "_frozen_importlib", "_frozen_importlib_external"}

    def shared_libraries(self, binaries) -> dict:
        return {}

    def finish_binaries(self, output: Path, placed) -> None:
        pass  # Windows looks beside the executable first

    def runtime_files(self) -> list:
        return [self.interpreter_dir / name for name in RUNTIME_FILES]
