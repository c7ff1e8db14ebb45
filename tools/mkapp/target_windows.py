"""The Windows target: the interpreter that tools/windows-python/build.sh
makes, in one folder (--windows-python DIR): python311.dll, python311.zip
(the standard library, compiled), the .pyd extension modules,
builtin_modules.txt (the modules compiled into python311.dll) and, when it
was built with Tcl/Tk, tcl86.dll, tk86.dll and their script libraries in
tcl/tcl8.6 and tcl/tk8.6, with Tcl's modules (msgcat...) in tcl/tcl8.

The module graph reads the standard library from python311.zip unpacked into
a folder of its own (compiled modules, no sources), and the extension modules
from DIR by file name; nothing of it runs here. The output folder receives
lib.dll, python311.dll, python311.zip, the extension modules the
application's imports reach and the DLLs of DIR that those import (Windows
finds them beside the executable), top-level beside the executable. The
interpreter build links its other third-party libraries into the .pyd files.

Windows has no time-zone database of its own: an application that imports
zoneinfo gets the package tzdata, made from the build machine's.
"""

from __future__ import annotations

import functools
import os
import re
import shutil
import tempfile
import weakref
import zipfile
from pathlib import Path, PurePosixPath

from .errors import BuildError, read_input, require_file
from .pe_image import image_architecture, imported_dlls, replace_resources
from .resources import parse_res
from .target import Target

RUNTIME_FILES = ("python311.dll", "python311.zip")
BUILTIN_LIST = "builtin_modules.txt"
TCL_TK_LIBRARIES = ("tcl8.6", "tk8.6")
# Tcl's module folder, carried beside them when the interpreter has it.
TCL_MODULES = "tcl8"

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

# Extension module files of POSIX systems (name.cpython-311-x86_64-linux-gnu.so,
# name.abi3.so, name.so): never carried into a Windows output, but reported.
POSIX_EXTENSION = re.compile(r"\.so$")

# The build machine's time-zone database, and what of it a tzdata package holds.
ZONEINFO_DIR = Path("/usr/share/zoneinfo")
TZDATA_PACKAGE = "tzdata"
TZIF_MAGIC = b"TZif"
# The same zones again under other rules, and this machine's own setting.
NOT_ZONES = frozenset({"posix", "right", "localtime", "posixrules"})
# Packages made for an output when it carries the module that needs them.
DATA_PACKAGES = {"zoneinfo": TZDATA_PACKAGE}


class WindowsTarget(Target):
    name = "windows"
    foreign_modules = FOREIGN_MODULES
    sysconfigdata_module = None

    def __init__(self, interpreter_dir):
        self.interpreter_dir = Path(interpreter_dir)
        for name in RUNTIME_FILES + (BUILTIN_LIST,):
            require_file(self.interpreter_dir / name, "Windows interpreter file")
        work = tempfile.TemporaryDirectory(prefix="mkapp-windows-stdlib-")
        weakref.finalize(self, work.cleanup)
        super().__init__(Path(work.name) / "stdlib", self.interpreter_dir, (".pyd",))
        # Packages this target makes for an output (tzdata), searched after the
        # interpreter's own modules; they do not count as its standard library.
        self.made_dir = Path(work.name) / "made"
        self.made_dir.mkdir()
        try:
            with zipfile.ZipFile(self.interpreter_dir / "python311.zip") as archive:
                archive.extractall(self.stdlib_dir)
        except zipfile.BadZipFile as error:
            raise BuildError("%s: %s" % (self.interpreter_dir / "python311.zip", error))
        self.builtin_modules = frozenset(
            (self.interpreter_dir / BUILTIN_LIST).read_text().split()) | {
            "_frozen_importlib", "_frozen_importlib_external"}

    def module_dirs(self) -> list:
        return [self.stdlib_dir, self.extension_dir, self.made_dir]

    def stdlib_dirs(self) -> list:
        return [self.stdlib_dir, self.extension_dir]

    def is_extension(self, path: Path) -> bool:
        """Extension module files of Windows and of POSIX: neither is ever
        data. The module search finds only the .pyd files."""
        return super().is_extension(path) or bool(POSIX_EXTENSION.search(path.name))

    def foreign_extensions(self, modules) -> list:
        """The POSIX extension module files in the folders of the given
        packages (Module objects), which the output does not carry."""
        found = set()
        for module in modules:
            for folder in module.locations:
                found |= {path for path in Path(folder).rglob("*")
                          if POSIX_EXTENSION.search(path.name) and path.is_file()
                          and "__pycache__" not in path.parts}
        return sorted(found)

    def data_packages(self, modules) -> list:
        """(package, the module that needs it) for every package this target
        makes because of a carried module; each is made on first use."""
        wanted = [(package, trigger) for trigger, package in DATA_PACKAGES.items()
                  if trigger in modules]
        for package, _ in wanted:
            if not (self.made_dir / package).is_dir():
                write_tzdata_package(ZONEINFO_DIR, self.made_dir / package)
        return wanted

    def shared_libraries(self, binaries) -> dict:
        """The DLLs of the interpreter folder that the given binaries import,
        directly or through each other; system DLLs are not in that folder."""
        available = {path.name.lower(): path for path in self.interpreter_dir.glob("*.dll")
                     if path.name not in RUNTIME_FILES}
        carried = {}
        pending = [Path(binary) for binary in binaries]
        while pending:
            binary = pending.pop()
            for name in imported_dlls(read_input(binary, "extension module"), str(binary)):
                found = available.get(name.lower())
                if found is not None and found.name not in carried:
                    carried[found.name] = found
                    pending.append(found)
        return carried

    def finish_binaries(self, output: Path, placed) -> None:
        pass  # Windows looks beside the executable first

    def runtime_files(self) -> list:
        return [self.interpreter_dir / name for name in RUNTIME_FILES]

    def tcl_tk_libraries(self) -> list:
        found = []
        for name in TCL_TK_LIBRARIES:
            source = self.interpreter_dir / "tcl" / name
            if not source.is_dir():
                raise BuildError("the Windows interpreter %s has _tkinter but not the script "
                                 "library tcl/%s" % (self.interpreter_dir, name))
            found.append((source, PurePosixPath("tcl", name)))
        modules = self.interpreter_dir / "tcl" / TCL_MODULES
        if modules.is_dir():
            found.append((modules, PurePosixPath("tcl", TCL_MODULES)))
        return found

    @functools.cached_property
    def architecture(self) -> str:
        dll = self.interpreter_dir / RUNTIME_FILES[0]
        return image_architecture(read_input(dll, "Windows interpreter file"), str(dll))

    def application_executable(self, launcher: bytes, image: bytes, what: str) -> bytes:
        """launcher.exe with the resources of the image in place of its own."""
        built_for = image_architecture(launcher, what)
        if built_for != self.architecture:
            raise BuildError("the launcher %s is built for %s, the Windows interpreter %s for %s"
                             % (what, built_for, self.interpreter_dir, self.architecture))
        try:
            resources = parse_res(image)
        except ValueError as error:
            raise BuildError("the compiled resource image is damaged: %s" % error)
        return replace_resources(launcher, resources, what)


def is_zone_file(path: Path) -> bool:
    try:
        with open(path, "rb") as stream:
            return stream.read(len(TZIF_MAGIC)) == TZIF_MAGIC
    except OSError:
        return False


def write_tzdata_package(source: Path, destination: Path) -> None:
    """The package that zoneinfo reads where the system has no time-zone
    database: every zone as a resource of a package (Europe/Paris is
    resource Paris of tzdata.zoneinfo.Europe), the list of zone names in
    tzdata/zones, and the database's version as tzdata.IANA_VERSION."""
    if not source.is_dir():
        raise BuildError("the application imports zoneinfo, which needs a time-zone database on "
                         "Windows, and %s was not found (Debian package tzdata)" % source)
    zones = []
    for folder, folders, files in os.walk(source):
        relative = Path(folder).relative_to(source)
        folders[:] = sorted(name for name in folders if name.isidentifier()
                            and (relative.parts or name not in NOT_ZONES))
        zones += [relative / name for name in sorted(files)
                  if (relative.parts or name not in NOT_ZONES) and is_zone_file(Path(folder, name))]
    if not zones:
        raise BuildError("no time zones found in %s" % source)
    package = destination / "zoneinfo"
    for zone in zones:
        (package / zone).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source / zone, package / zone)
    for folder in sorted({package / parent for zone in zones for parent in zone.parents}):
        (folder / "__init__.py").write_text("")
    (destination / "__init__.py").write_text("IANA_VERSION = %r\n" % database_version(source))
    (destination / "zones").write_text("".join(zone.as_posix() + "\n" for zone in zones))


def database_version(source: Path) -> str:
    """The release of the time-zone database (tzdata.zi's first line)."""
    try:
        with open(source / "tzdata.zi", encoding="ascii", errors="replace") as stream:
            match = re.match(r"# version (\S+)", stream.readline())
    except OSError:
        return "unknown"
    return match.group(1) if match else "unknown"
