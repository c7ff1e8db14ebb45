"""The target: the platform an output runs on, and the interpreter it embeds.

A target says where the standard library and the extension modules come
from, which modules are built into the interpreter (they need no file),
which modules belong to other platforms (their absence raises no alarm), and
where extension modules and the shared libraries they need go in the output.

The module graph finds modules by file name in module_dirs(): sources
(.py), compiled modules without source (.pyc, as an interpreter's standard
library zip holds them, unpacked), extension modules (extension_suffixes) and
packages; nothing is imported. A target for another platform thus needs only
its interpreter's folders, not an interpreter that runs here.
"""

from __future__ import annotations

from pathlib import Path, PurePosixPath

from .assembly import executable_bytes

# Modules that the launcher itself provides to the interpreter.
LAUNCHER_MODULES = frozenset({"stub"})

# Modules of Python 2, which code that runs on both imports under a version
# test: on every target they belong to another interpreter.
PYTHON2_MODULES = frozenset({
    "__builtin__", "Queue", "StringIO", "cStringIO", "cPickle", "ConfigParser", "urllib2",
    "urlparse", "httplib", "cookielib", "Cookie", "HTMLParser", "htmlentitydefs",
    "SocketServer", "BaseHTTPServer", "SimpleHTTPServer", "CGIHTTPServer", "xmlrpclib",
    "SimpleXMLRPCServer", "thread", "dummy_thread", "copy_reg", "repr", "commands",
    "sets", "exceptions", "md5", "sha", "new", "UserDict", "UserList", "UserString",
    "anydbm", "dbhash", "whichdb", "robotparser", "popen2", "mimetools", "rfc822",
    "Tkinter", "tkMessageBox", "tkFileDialog", "tkSimpleDialog", "ttk", "Tix",
    "ScrolledText", "tkFont", "tkColorChooser", "Dialog", "FileDialog", "urllib.urlencode",
    "itertools.izip", "itertools.imap", "string.maketrans", "types.ClassType",
    "urllib.quote", "urllib.quote_plus", "urllib.unquote", "urllib.unquote_plus",
    "urllib.urlopen", "urllib.urlretrieve", "urllib.pathname2url", "urllib.url2pathname",
    "urllib.splittype", "urllib.splithost", "urllib.splituser", "urllib.splitpasswd",
    "urllib.splitport", "urllib.splitquery", "urllib.splittag", "urllib.getproxies",
    "urllib.proxy_bypass", "urllib.ContentTooShortError", "urllib.URLopener",
    "urllib.FancyURLopener",
})


class Target:
    """The interface every target implements; the stages call nothing else."""

    name = "target"
    # Suffixes of extension module files, in the order the loader tries them.
    extension_suffixes: tuple = ()
    # Modules compiled into the interpreter (no file in the output).
    builtin_modules: frozenset = frozenset()
    # Modules of other platforms: imported under a platform test, never alarming.
    foreign_modules: frozenset = frozenset()
    # The module that sysconfig imports by a computed name, or None.
    sysconfigdata_module: str | None = None

    def __init__(self, stdlib_dir, extension_dir, extension_suffixes):
        self.stdlib_dir = Path(stdlib_dir)
        self.extension_dir = Path(extension_dir)
        self.extension_suffixes = tuple(extension_suffixes)

    def module_dirs(self) -> list:
        """The interpreter's own module folders, standard library first."""
        return [self.stdlib_dir, self.extension_dir]

    def stdlib_dirs(self) -> list:
        """Folders whose modules count as the standard library."""
        return self.module_dirs()

    def is_extension(self, path: Path) -> bool:
        return path.name.endswith(self.extension_suffixes)

    def extension_destination(self, name: str, source: Path) -> PurePosixPath:
        """Where extension module `name` (dotted) goes, relative to the
        output folder: its package's folder, under its own file name, which
        the extension loader accepts."""
        return PurePosixPath(*name.split(".")[:-1], source.name)

    def shared_libraries(self, binaries) -> dict:
        """The shared libraries that the given extension files need and the
        output must carry: file name -> source path."""
        raise NotImplementedError

    def finish_binaries(self, output: Path, placed) -> None:
        """Makes the placed binaries (paths relative to `output`: extension
        modules and carried libraries) find the carried libraries in the
        output folder."""
        raise NotImplementedError

    def module_names_in_binary(self, path: Path) -> list:
        """The dotted names that an extension module's read-only data holds
        as whole strings: the modules it may import from C, and other words
        (the graph keeps those that name a module). Empty where the target
        cannot read its binaries."""
        return []

    def runtime_files(self) -> list:
        """Files of the interpreter that every output carries beside the
        executable (none where the launcher has the interpreter linked in)."""
        return []

    def tcl_tk_libraries(self) -> list:
        """(source folder, destination relative to the output) of the Tcl and
        Tk script libraries that a carried _tkinter needs."""
        return []

    def data_packages(self, modules) -> list:
        """(package, the module that needs it) of the packages that an output
        of this target needs because it carries one of `modules` (names),
        made by the target and found on its module_dirs()."""
        return []

    def foreign_extensions(self, modules) -> list:
        """Files of extension modules for other platforms in the folders of
        the given packages (Module objects): reported, never carried."""
        return []

    def application_executable(self, launcher: bytes, image: bytes, what: str) -> bytes:
        """The application executable: the launcher binary `what` with the
        application's compiled resource image."""
        return executable_bytes(launcher, image)

    def is_builtin(self, name: str) -> bool:
        return name in self.builtin_modules or name in LAUNCHER_MODULES or name == "__main__"

    def is_foreign(self, name: str) -> bool:
        parts = name.split(".")
        prefixes = {".".join(parts[:i]) for i in range(1, len(parts) + 1)}
        return bool(prefixes & self.foreign_modules or prefixes & PYTHON2_MODULES)


def host_target() -> Target:
    """The target the tool runs on (POSIX: this machine's interpreter)."""
    from .target_posix import PosixTarget
    return PosixTarget()
