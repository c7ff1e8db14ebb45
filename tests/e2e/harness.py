"""Shared end-to-end harness: makes application executables from the built
launcher with tools/mkapp.py and runs them as a user would, in a private home.

Environment (set by CTest):
  LAUNCHER_BINARY      the launcher executable (else LAUNCHER_BUILD_DIR/launcher)
  LAUNCHER_SOURCE_DIR  the source tree (else the tree this file is in)
  LAUNCHER_BUILD_DIR   the build tree
  LAUNCHER_E2E_KEEP    if set, sandbox folders are kept for inspection

Typical use:

    class StartupTest(unittest.TestCase):
        def test_boot_script_runs(self):
            sandbox = Sandbox.for_test(self)
            app = sandbox.make_app(boot_source='import stub\\nstub.log("hello")\\n')
            run = sandbox.run(app)
            self.assertEqual(run.exit_code, 0)
            self.assertIn("hello", run.single_log().lines)
"""

import dataclasses
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("LAUNCHER_SOURCE_DIR") or Path(__file__).resolve().parents[2])
BUILD_DIR = Path(os.environ["LAUNCHER_BUILD_DIR"]) if os.environ.get("LAUNCHER_BUILD_DIR") else None

sys.path.insert(0, str(SOURCE_DIR / "tools"))
import mkapp  # noqa: E402  (the build tool, from the source tree)

PYTHON = "/usr/bin/python3.11"
EXAMPLE_RC = SOURCE_DIR / "resources" / "launcher.rc"
EXAMPLE_BOOT_SCRIPT = SOURCE_DIR / "examples" / "boot.py"
EXAMPLE_APP_DIR = SOURCE_DIR / "examples" / "app"
EXAMPLE_MAIN_MODULE = mkapp.EXAMPLE_CONFIG["__main_script"]

# The main module of an application that has no modules of its own.
STARTUP_ONLY_MODULE = "application"

# A boot script that only proves that it ran.
DEFAULT_BOOT_SOURCE = 'import stub\nstub.log("boot script ran")\n'

DEFAULT_TIMEOUT = 60


def launcher_binary() -> Path:
    """The launcher under test; skips the test when it has not been built."""
    candidates = []
    if os.environ.get("LAUNCHER_BINARY"):
        candidates.append(Path(os.environ["LAUNCHER_BINARY"]))
    elif BUILD_DIR is not None:
        candidates.append(BUILD_DIR / "launcher")
    for candidate in candidates:
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return candidate
    raise unittest.SkipTest("launcher binary not found (set LAUNCHER_BINARY or LAUNCHER_BUILD_DIR)")


def require_windres(program: str = mkapp.DEFAULT_WINDRES) -> str:
    if shutil.which(program) is None:
        raise unittest.SkipTest("resource compiler %s not installed" % program)
    return program


def example_data_files() -> list:
    """The example application's DATA files, in resource id order."""
    entries = re.findall(r'^\s*(\d+)\s+DATA\s+"([^"]+)"', EXAMPLE_RC.read_text(encoding="utf-8"),
                         re.MULTILINE)
    return [EXAMPLE_RC.parent / name for _, name in sorted(entries, key=lambda e: int(e[0]))]


def example_icons() -> list:
    return [SOURCE_DIR / "resources" / "mendrix.ico"]


_lib_dll_cache = {}


def build_lib_dll(app_dir, destination_dir, main_module=None, boot_script=None) -> Path:
    """Writes lib.dll for an application folder into destination_dir. Archives
    are built once per process for the same inputs and then copied."""
    app_dir = Path(app_dir).resolve()
    main_module = main_module or EXAMPLE_MAIN_MODULE
    key = (app_dir, main_module, Path(boot_script).read_bytes() if boot_script else None,
           tuple(sorted((str(p), p.stat().st_mtime_ns) for p in app_dir.rglob("*.py"))))
    if key not in _lib_dll_cache:
        _lib_dll_cache[key], _ = mkapp.build_lib_dll(app_dir, main_module,
                                                     boot_script=boot_script)
    destination = Path(destination_dir) / mkapp.ARCHIVE_NAME
    destination.parent.mkdir(parents=True, exist_ok=True)
    destination.write_bytes(_lib_dll_cache[key])
    return destination


@dataclasses.dataclass
class LogFile:
    name: str
    data: bytes

    @property
    def text(self) -> str:
        return self.data.decode("utf-8", "replace")

    @property
    def lines(self) -> list:
        """The lines without their line feeds; a final line feed ends the last line."""
        lines = self.text.split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        return lines


def read_logs(folder: Path) -> list:
    """The log files in folder, by name; none when there is no such folder."""
    if not folder.is_dir():
        return []
    return [LogFile(path.name, path.read_bytes())
            for path in sorted(folder.iterdir()) if path.is_file()]


@dataclasses.dataclass
class App:
    """An application executable and the string table it was built with."""
    executable: Path
    strings: dict

    @property
    def folder(self) -> Path:
        return self.executable.parent

    @property
    def product(self) -> str:
        return self.strings.get("__product", "")


@dataclasses.dataclass
class Run:
    exit_code: int
    stdout: str
    stderr: str
    log_dir: Path
    logs: list   # LogFile, by name

    def single_log(self) -> LogFile:
        if len(self.logs) != 1:
            raise AssertionError("expected one log file in %s, found %s; stderr: %s"
                                 % (self.log_dir, [log.name for log in self.logs], self.stderr))
        return self.logs[0]


class TestFolder:
    """A fresh temporary folder that a test works in; removed by cleanup()
    unless LAUNCHER_E2E_KEEP is set."""

    def __init__(self, prefix: str):
        self.root = Path(tempfile.mkdtemp(prefix=prefix))

    @classmethod
    def for_test(cls, test, **kwargs):
        """One that goes when the test ends; given a TestCase class (in its
        setUpClass), when the class's tests end."""
        folder = cls(**kwargs)
        (test.addClassCleanup if isinstance(test, type) else test.addCleanup)(folder.cleanup)
        return folder

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()

    def cleanup(self) -> None:
        if os.environ.get("LAUNCHER_E2E_KEEP"):
            print("sandbox kept: %s" % self.root, file=sys.stderr)
            return
        shutil.rmtree(self.root, ignore_errors=True)


class Sandbox(TestFolder):
    """A fresh temporary folder holding applications, a home folder and a data
    folder; removed by cleanup() unless LAUNCHER_E2E_KEEP is set."""

    def __init__(self, launcher=None, windres=mkapp.DEFAULT_WINDRES):
        self.launcher = Path(launcher) if launcher else launcher_binary()
        self.windres = require_windres(windres)
        super().__init__("launcher-e2e-")
        self.home = self.root / "home"
        self.data_home = self.root / "data"
        self.work_dir = self.root / "cwd"
        for folder in (self.home, self.data_home, self.work_dir):
            folder.mkdir()
        self._apps = 0

    def new_app_folder(self, name: str) -> Path:
        self._apps += 1
        folder = self.root / ("app%d" % self._apps)
        folder.mkdir()
        return folder / name

    # ---- making applications ------------------------------------------------

    def make_app(self, *, config=None, omit=(), block=mkapp.DEFAULT_BLOCK,
                 no_version_info=False, boot_source=None, boot_script=None, raw_script=None,
                 no_script=False, app_dir=None, main_module=None, data=(), icons=(),
                 manifest=mkapp.DEFAULT_MANIFEST, name="app") -> App:
        """An application executable in a folder of its own.

        config: string table entries over the example's values (any key, the
        seven configuration keys included); omit: keys to leave out. The
        SCRIPT is, in order of precedence: none (no_script), raw_script bytes
        stored as they are, the compiled boot_script file, the compiled
        boot_source text, or DEFAULT_BOOT_SOURCE. app_dir: an application
        folder compiled into lib.dll beside the executable.
        """
        strings = None if no_version_info else mkapp.version_strings(config, omit)
        if not (no_script or raw_script is not None or boot_script is not None):
            boot_script = self.write_source(
                "boot.py", DEFAULT_BOOT_SOURCE if boot_source is None else boot_source)
        contents = mkapp.AppResources(strings=strings, block=block,
                                  script=self._stored_script(boot_script, raw_script, no_script),
                                  data_files=list(data), icons=list(icons), manifest=manifest)
        executable = self.new_app_folder(name)
        image = mkapp.build_resource_image(contents, self.windres)
        mkapp.build_executable(self.launcher, executable, image)
        if app_dir is not None:
            build_lib_dll(app_dir, executable.parent,
                          main_module or (strings or {}).get("__main_script"), boot_script)
        else:
            self.write_startup_lib_dll(executable.parent)
        return App(executable, strings or {})

    def write_startup_lib_dll(self, folder: Path) -> Path:
        """lib.dll of an application without modules of its own: what the
        interpreter's start-up needs, which the interpreter finds only in the
        application folder."""
        app_dir = self.root / "empty-application"
        if not app_dir.is_dir():
            app_dir.mkdir()
            (app_dir / (STARTUP_ONLY_MODULE + ".py")).write_text("")
        return build_lib_dll(app_dir, folder, STARTUP_ONLY_MODULE)

    def write_source(self, name: str, text: str) -> Path:
        """A source file in the sandbox, outside every application folder."""
        folder = self.root / "sources" / str(self._apps + 1)
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / name
        path.write_text(text, encoding="utf-8")
        return path

    def make_example_app(self, name="mendrix") -> App:
        """The example application as shipped: resources/launcher.rc, the example
        boot script and lib.dll of the example application."""
        script = mkapp.scramble(mkapp.compile_boot_script(EXAMPLE_BOOT_SCRIPT))
        image = mkapp.build_resource_image_from_rc(EXAMPLE_RC, script, self.windres)
        executable = self.new_app_folder(name)
        mkapp.build_executable(self.launcher, executable, image)
        build_lib_dll(EXAMPLE_APP_DIR, executable.parent, EXAMPLE_MAIN_MODULE,
                      EXAMPLE_BOOT_SCRIPT)
        strings = mkapp.find_version_info(mkapp.parse_res(image)).string_tables[mkapp.DEFAULT_BLOCK]
        return App(executable, strings)

    @staticmethod
    def _stored_script(boot_script, raw_script, no_script):
        if no_script:
            return None
        if raw_script is not None:
            return bytes(raw_script)
        return mkapp.scramble(mkapp.compile_boot_script(boot_script))

    # ---- running them ---------------------------------------------------------

    def log_dir(self, app: App) -> Path:
        return (self.data_home / app.strings.get("__company", "")
                / app.strings.get("__product", "") / "logs")

    def environment(self, extra=None) -> dict:
        env = {"HOME": str(self.home), "XDG_DATA_HOME": str(self.data_home),
               "PATH": "/usr/bin:/bin"}
        env.update(extra or {})
        return env

    def run(self, app: App, args=(), *, env=None, cwd=None, timeout=DEFAULT_TIMEOUT) -> Run:
        """Runs the application with a clean environment (HOME, XDG_DATA_HOME,
        PATH and `env`), from the sandbox's own working folder by default."""
        command = [str(app.executable)] + [str(arg) for arg in args]
        try:
            result = subprocess.run(command, cwd=cwd or self.work_dir, env=self.environment(env),
                                    stdin=subprocess.DEVNULL, capture_output=True,
                                    timeout=timeout)
        except subprocess.TimeoutExpired as expired:
            raise AssertionError("%s did not end within %s s; stderr so far: %r"
                                 % (app.executable.name, timeout, expired.stderr))
        return Run(result.returncode, result.stdout.decode("utf-8", "replace"),
                   result.stderr.decode("utf-8", "replace"), self.log_dir(app),
                   self.read_logs(app))

    def read_logs(self, app: App) -> list:
        return read_logs(self.log_dir(app))
