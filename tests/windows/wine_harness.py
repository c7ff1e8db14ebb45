"""Harness of the end-to-end tests under Wine: links application executables
from the Windows launcher's objects and the resources that tools/mkapp.py
makes, puts the Windows interpreter beside them, and runs them in the test's
Wine prefix as a user would.

The tests run in a private network namespace (CTest starts them with
`unshare --net`): setUpModule brings the loopback up and starts a wineserver
inside it, since Wine opens its sockets there; it lives until the module
ends. Collectors listen on port 80 of loopback addresses of their own.

Environment (set by CTest):
  LAUNCHER_APP_LINK    app_link.json of the Windows build (link inputs, the
                       interpreter folder, the Wine prefix)
  LAUNCHER_SOURCE_DIR  the source tree
  LAUNCHER_E2E_KEEP    if set, sandbox folders are kept for inspection
"""

import dataclasses
import getpass
import hashlib
import itertools
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("LAUNCHER_SOURCE_DIR") or Path(__file__).resolve().parents[2])
sys.path.insert(0, str(SOURCE_DIR / "tests" / "e2e"))
sys.path.insert(0, str(SOURCE_DIR / "tools"))
import mkapp  # noqa: E402
import expected  # noqa: E402
from expected import NORMAL_END, stub  # noqa: E402,F401  (re-exported for the tests)
from expected import LogTestCase as WineTestCase  # noqa: E402,F401
from harness import PYTHON, App, LogFile, TestFolder, read_logs  # noqa: E402,F401
import loopback  # noqa: E402

DEFAULT_TIMEOUT = 90
INTERPRETER_FILES = ("python311.dll", "python311.zip")


def link_inputs() -> dict:
    path = os.environ.get("LAUNCHER_APP_LINK")
    if not path:
        raise unittest.SkipTest("LAUNCHER_APP_LINK is not set (run through CTest)")
    return json.loads(Path(path).read_text())


LINK = link_inputs() if os.environ.get("LAUNCHER_APP_LINK") else {}
INTERPRETER = Path(LINK.get("interpreter", "."))
WINEPREFIX = os.environ.get("WINEPREFIX") or LINK.get("wineprefix", "")
WINE = LINK.get("wine", "wine")  # the loader of the build's architecture


def wine_environment(extra=None) -> dict:
    env = {"WINEPREFIX": WINEPREFIX, "WINEDEBUG": "-all", "PATH": "/usr/bin:/bin",
           "HOME": os.environ.get("HOME", "/root"), "LANG": "C.UTF-8"}
    if WINE.endswith("/wine64"):
        env["WINELOADER"] = WINE  # child processes start with the same loader
    env.update(extra or {})
    return env


def windows_path(path) -> str:
    """The name Wine gives a host file: drive Z: is the host's root."""
    return "Z:" + str(path).replace("/", "\\")


def appdata_folder() -> Path:
    return Path(WINEPREFIX) / "drive_c" / "users" / getpass.getuser() / "AppData" / "Roaming"


# ---- the namespace ------------------------------------------------------------

def stop_wineserver() -> None:
    env = wine_environment()
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL, check=False)
    subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL, check=False,
                   timeout=60)


def start_persistent_wineserver() -> None:
    """A wineserver that outlives its clients until stop_wineserver. Debian's
    wrapper starts the server with no persistence: it exits as its last client
    ends, and a client that starts in that moment can fail without a word.
    The first client also starts Wine's own background processes, which
    inherit its standard handles and now live as long as the server: they are
    started here by a client with none, so that they hold no later run's
    output pipes open."""
    env = wine_environment()
    subprocess.run(["wineserver", "-p"], env=env, check=True, timeout=60)
    subprocess.run([WINE, str(INTERPRETER / "python.exe"), "-I", "-S", "-c", "pass"], env=env,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=True, timeout=300)


def enter_test_network() -> None:
    """setUpModule of every test file: loopback up, a persistent wineserver of
    this namespace, the prefix made on first use, the platform's own values
    read once."""
    link_inputs()
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    stop_wineserver()
    if not (Path(WINEPREFIX) / "system.reg").is_file():
        subprocess.run([WINE, "wineboot", "-i"], env=wine_environment({"WINEDLLOVERRIDES": "mscoree,mshtml="}),
                       check=True, capture_output=True, timeout=300)
    start_persistent_wineserver()
    unittest.addModuleCleanup(stop_wineserver)
    platform_values()


class Collector(loopback.Collector):
    """The reference collector on port 80 of one loopback address, with the
    logs it stored read back as text."""

    def __init__(self, address: str, storage: Path, *options):
        self.address = address
        shutil.rmtree(storage, ignore_errors=True)
        super().__init__(Path(storage), "--address", address, *options)

    def logs(self) -> list:
        """The logs stored, as text, oldest first."""
        if not self.storage.is_dir():
            return []
        return [path.read_bytes().decode("utf-8", "replace")
                for path in sorted(self.storage.glob("*.log"))]

    def logs_of(self, product: str) -> list:
        mark = "META:stub:product = %s\n" % product
        return [log for log in self.logs() if mark in log]

    def requests(self) -> list:
        """(method, path, status answered) of every request, in order."""
        return [(method, path, int(status)) for method, path, status in re.findall(
            r"^\S+ (\S+) (\S+) -> (\d+)", self.output.read_text(), re.MULTILINE)]


# ---- the platform's own values --------------------------------------------------

_platform = {}


def platform_values() -> dict:
    """What the Windows interpreter itself says of the system under Wine: the
    version text and the Windows version, for the expected log lines."""
    if not _platform:
        code = ("import sys, os, json\n"
                "v = sys.getwindowsversion()\n"
                "native = os.environ.get('PROCESSOR_ARCHITEW6432') or os.environ.get('PROCESSOR_ARCHITECTURE')\n"
                "print(json.dumps({'version': sys.version, 'major': v.major, 'minor': v.minor,\n"
                "                  'product_type': v.product_type, 'suite_mask': v.suite_mask,\n"
                "                  'bitness': 64 if native in ('AMD64', 'IA64', 'ARM64') else 32}))\n")
        command = [WINE, str(INTERPRETER / "python.exe"), "-I", "-S", "-c", code]
        result = subprocess.run(command, env=wine_environment(), capture_output=True,
                                timeout=120, stdin=subprocess.DEVNULL)
        if result.returncode != 0:
            raise AssertionError("python.exe under Wine ended with %d: stdout %r, stderr %r"
                                 % (result.returncode, result.stdout[-2000:], result.stderr[-2000:]))
        _platform.update(json.loads(result.stdout.decode().strip().splitlines()[-1]))
    return _platform


def meta_lines(strings: dict) -> list:
    return expected.meta_lines(strings, platform_values())


def working_directory_line(folder) -> str:
    return stub("Setting working directory to: " + windows_path(folder))


def startup_lines(app) -> list:
    """Every line of a run up to the evaluation of the boot script."""
    return expected.opening_lines(meta_lines(app.strings), working_directory_line(app.folder),
                                  platform_values()["version"])


# ---- applications ------------------------------------------------------------------

@dataclasses.dataclass
class Run:
    exit_code: int
    stdout: bytes
    stderr: bytes
    logs: list

    def single_log(self) -> LogFile:
        if len(self.logs) != 1:
            raise AssertionError("expected one log file, found %s; stderr: %r"
                                 % ([log.name for log in self.logs], self.stderr[-2000:]))
        return self.logs[0]


_products = itertools.count(1)
_linked = {}


def link_executable(image: bytes, output: Path) -> None:
    """The launcher linked with a resource image; the same image links once."""
    key = hashlib.sha256(image).hexdigest()
    if key not in _linked:
        folder = Path(tempfile.mkdtemp(prefix="launcher-link-"))
        (folder / "app.res").write_bytes(image)
        subprocess.run([LINK["windres"], "-J", "res", "-O", "coff", str(folder / "app.res"),
                        "-o", str(folder / "app.res.o")], check=True, capture_output=True)
        subprocess.run([LINK["compiler"], "-o", str(folder / "app.exe")] + LINK["objects"]
                       + [str(folder / "app.res.o")] + LINK["libraries"] + LINK["flags"],
                       check=True, capture_output=True)
        _linked[key] = folder / "app.exe"
    shutil.copyfile(_linked[key], output)


def place_application(folder: Path, app_dir: Path, main_module: str, boot_source: str) -> None:
    """lib.dll of an application folder and the interpreter's files it needs,
    made by the build tool's Windows output (its resources are not used: the
    executable is linked from the test's own)."""
    boot_script = folder.parent / (folder.name + "-boot.py")
    boot_script.write_text(boot_source, encoding="utf-8")
    emitted = folder.parent / (folder.name + "-emitted")
    result = subprocess.run([PYTHON, str(SOURCE_DIR / "tools" / "mkapp.py"),
                             "--boot-script", str(boot_script), "--app", str(app_dir),
                             "--main-module", main_module, "--windows-python", str(INTERPRETER),
                             "--windres", LINK["windres"], "--emit-rc", str(emitted)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError("mkapp failed: " + result.stderr)
    for path in emitted.iterdir():
        if path.suffix in (".dll", ".zip", ".pyd") or path.is_dir():
            shutil.move(str(path), folder / path.name)


class WineSandbox(TestFolder):
    """A temporary folder of applications (see TestFolder)."""

    def __init__(self):
        super().__init__("launcher-wine-")
        self._apps = itertools.count(1)

    def make_app(self, *, config=None, omit=(), boot_source=None, raw_script=None,
                 no_script=False, no_version_info=False, app_dir=None, name="app") -> App:
        """An application in a folder of its own, with the interpreter beside
        it. With app_dir, the build tool's Windows output: lib.dll of the
        application folder's modules and the standard library they import,
        and the extension modules they reach. Every application gets a
        product name of its own (unless config names one), so that its logs
        lie in a folder of their own."""
        config = dict(config or {})
        config.setdefault("__company", "LauncherWineTests")
        config.setdefault("__product", "app-%d-%d" % (os.getpid(), next(_products)))
        config.setdefault("__logging_host", "127.0.0.1")
        strings = None if no_version_info else mkapp.version_strings(config, omit)
        source = boot_source if boot_source is not None else 'import stub\nstub.log("boot script ran")\n'
        if no_script:
            script = None
        elif raw_script is not None:
            script = bytes(raw_script)
        else:
            script = mkapp.scramble(mkapp.compile_boot_source(source))
        image = mkapp.build_resource_image(mkapp.AppResources(strings=strings, script=script),
                                           LINK["windres"])
        folder = self.root / ("app%d" % next(self._apps))
        folder.mkdir()
        executable = folder / (name + ".exe")
        link_executable(image, executable)
        if app_dir is not None:
            place_application(folder, Path(app_dir), strings["__main_script"], source)
        else:
            for file in INTERPRETER_FILES:
                os.symlink(INTERPRETER / file, folder / file)
        return App(executable, strings or {})

    def write_app_dir(self, files: dict) -> Path:
        """An application folder of sources: relative name -> text."""
        folder = self.root / ("sources%d" % next(self._apps))
        for name, text in files.items():
            (folder / name).parent.mkdir(parents=True, exist_ok=True)
            (folder / name).write_text(text, encoding="utf-8")
        return folder

    # ---- running ------------------------------------------------------------------

    def log_dir(self, app: App) -> Path:
        return appdata_folder() / app.strings.get("__company", "") / app.product / "logs"

    def read_logs(self, app: App) -> list:
        return read_logs(self.log_dir(app))

    def command(self, app: App, args=()) -> list:
        return [WINE, str(app.executable)] + [str(arg) for arg in args]

    def start(self, app: App, args=(), **kwargs) -> subprocess.Popen:
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("stdout", subprocess.PIPE)
        kwargs.setdefault("stderr", subprocess.PIPE)
        return subprocess.Popen(self.command(app, args), cwd=self.root, env=wine_environment(),
                                **kwargs)

    def run(self, app: App, args=(), *, timeout=DEFAULT_TIMEOUT, **kwargs) -> Run:
        process = self.start(app, args, **kwargs)
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            stdout, stderr = process.communicate()
            raise AssertionError("%s did not end within %s s; stderr: %r"
                                 % (app.executable.name, timeout, stderr[-2000:]))
        return Run(process.returncode, stdout or b"", stderr or b"", self.read_logs(app))


def clear_logs(sandbox: WineSandbox, app: App) -> None:
    shutil.rmtree(sandbox.log_dir(app), ignore_errors=True)

