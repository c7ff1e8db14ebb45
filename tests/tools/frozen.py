"""What the end-to-end tests of frozen applications share.

An application folder is frozen with tools/mkapp.py as a user runs it, and
the output folder's executable (the real launcher) is run in a private home.
The same main module can be run from source by python3.11 for comparison,
and the frozen application can be run where the build machine's Python, its
Tcl/Tk libraries and the system copies of the libraries that the tool
carries are hidden (a mount namespace; root only).

Environment (set by CTest): LAUNCHER_BINARY, the launcher to freeze with;
LAUNCHER_E2E_KEEP, if set, the work folders are kept for inspection.
"""

import dataclasses
import glob
import http.server
import io
import os
import selectors
import shutil
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
MKAPP = SOURCE_DIR / "tools" / "mkapp.py"
sys.path.insert(0, str(SOURCE_DIR / "tests" / "e2e"))
from harness import PYTHON, TestFolder, launcher_binary  # noqa: E402

DIST_PACKAGES = "/usr/lib/python3/dist-packages"

# What a self-contained run hides: the build machine's Python, Tcl/Tk and
# matplotlib data, and the system copies of libraries that the tool carries.
HIDDEN_FOLDERS = ("/usr/lib/python3.11", "/usr/lib/python3/dist-packages", "/usr/share/tcltk",
                  "/usr/share/matplotlib")
HIDDEN_LIBRARIES = ("libsqlite3.so*", "libffi.so*", "libmpdec.so*", "libtcl8.6.so*",
                    "libtk8.6.so*")
LIBRARY_FOLDERS = ("/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu")

BUILD_TIMEOUT = 180
RUN_TIMEOUT = 120


def require_programs(*programs) -> None:
    for program in programs:
        if shutil.which(program) is None:
            raise unittest.SkipTest("%s is not installed" % program)


def require_modules(*names) -> None:
    """Skips unless python3.11 can import every name (Debian packages that
    tools/install-deps.sh installs)."""
    result = subprocess.run([PYTHON, "-c", "import " + ", ".join(names)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise unittest.SkipTest("python3.11 cannot import %s: %s"
                                % (", ".join(names), result.stderr.strip().splitlines()[-1:]))


@dataclasses.dataclass
class Run:
    exit_code: int
    stdout: str
    stderr: str
    logs: list  # texts of the log files the run left, oldest first

    def describe(self) -> str:
        """Everything a failed assertion should show."""
        return "exit %s\n-- stdout:\n%s\n-- stderr:\n%s\n-- logs:\n%s" % (
            self.exit_code, self.stdout, self.stderr, "\n".join(self.logs))


@dataclasses.dataclass
class FrozenApp:
    folder: Path      # the output folder
    executable: Path
    build_stderr: str

    def moved_to(self, folder: Path) -> "FrozenApp":
        """The same application after its output folder was renamed to folder."""
        folder.parent.mkdir(parents=True, exist_ok=True)
        os.rename(self.folder, folder)
        return FrozenApp(folder, folder / self.executable.name, self.build_stderr)


class Workspace(TestFolder):
    """A temporary folder with the applications' sources, their output
    folders and a home folder per run."""

    def __init__(self):
        self.launcher = launcher_binary()
        super().__init__("frozen-test-")
        self.runs = 0

    def write_app(self, name: str, files: dict) -> Path:
        """An application source folder: relative path -> text or bytes."""
        folder = self.root / "src" / name
        for relative, content in files.items():
            path = folder / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            if isinstance(content, str):
                path.write_text(content, encoding="utf-8")
            else:
                path.write_bytes(content)
        return folder

    def freeze(self, app_dir: Path, main_module: str, name: str, *options) -> FrozenApp:
        """Runs the build tool with the given options; fails the test with the
        tool's own message when it fails."""
        folder = self.root / "dist" / name
        executable = folder / name
        command = [PYTHON, str(MKAPP), "--launcher", str(self.launcher), "--app", str(app_dir),
                   "--main-module", main_module, "-o", str(executable)] + [str(o) for o in options]
        result = subprocess.run(command, capture_output=True, text=True, timeout=BUILD_TIMEOUT,
                                stdin=subprocess.DEVNULL)
        if result.returncode != 0 or not executable.is_file():
            raise AssertionError("the build failed (exit %d):\n%s%s"
                                 % (result.returncode, result.stdout, result.stderr))
        return FrozenApp(folder, executable, result.stderr)

    def new_home(self) -> Path:
        self.runs += 1
        home = self.root / "home" / str(self.runs)
        (home / ".local" / "share").mkdir(parents=True)
        return home

    def environment(self, home: Path, extra=None) -> dict:
        env = {"HOME": str(home), "XDG_DATA_HOME": str(home / ".local" / "share"),
               "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
        env.update(extra or {})
        return env

    def run(self, app: FrozenApp, args=(), *, cwd=None, env=None, hidden=False,
            timeout=RUN_TIMEOUT) -> Run:
        """Runs the frozen application from cwd (default: a folder outside the
        output folder) in a fresh home; hidden: in a mount namespace that hides
        the build machine's Python, Tcl/Tk and libraries."""
        home = self.new_home()
        command = [str(app.executable)] + [str(arg) for arg in args]
        if hidden:
            command = hiding_command(command)
        result = run_with_deadline(command, cwd or home, self.environment(home, env), timeout)
        return Run(result.returncode, result.stdout, result.stderr, read_logs(home))

    def run_from_source(self, app_dir: Path, main_module: str, args=(), *, env=None,
                        timeout=RUN_TIMEOUT) -> Run:
        """The main module run by python3.11 as `python3.11 app.py` runs it,
        from a warm cache of compiled modules."""
        home = self.new_home()
        script = app_dir / (main_module.replace(".", "/") + ".py")
        command = [PYTHON, str(script)] + [str(arg) for arg in args]
        result = run_with_deadline(command, home, self.environment(home, env), timeout)
        return Run(result.returncode, result.stdout, result.stderr, [])


def read_logs(home: Path) -> list:
    pattern = str(home / ".local" / "share" / "*" / "*" / "logs" / "*.log")
    return [Path(path).read_text(encoding="utf-8", errors="replace")
            for path in sorted(glob.glob(pattern))]


def run_with_deadline(command, cwd, env, timeout) -> subprocess.CompletedProcess:
    try:
        return subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, errors="replace",
                              timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        raise AssertionError("%s did not end within %d s; stdout so far: %r"
                             % (command[0], timeout, expired.stdout))


# ---- a server on loopback -------------------------------------------------------

class LoopbackServer:
    """An HTTP server on 127.0.0.1, on a port of its own choosing, in a thread
    of the test; with an SSL context, HTTPS. Every GET is answered with
    answer(path): the body as bytes, with content_type."""

    def __init__(self, answer, content_type="text/plain", context=None):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                body = answer(self.path)
                self.send_response(200)
                self.send_header("Content-Type", content_type)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if context is not None:
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(10)


# ---- a run with the build machine's libraries hidden --------------------------------

def require_mount_namespace() -> None:
    if os.geteuid() != 0:
        raise unittest.SkipTest("hiding the system's libraries needs root (unshare -m)")
    require_programs("unshare", "mount")
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        raise unittest.SkipTest("no mount namespace: %s" % probe.stderr.strip())


def hidden_library_files() -> list:
    """The real files (symbolic links followed) of the system's copies of
    the libraries in HIDDEN_LIBRARIES."""
    files = set()
    for folder in LIBRARY_FOLDERS:
        for pattern in HIDDEN_LIBRARIES:
            for path in glob.glob(os.path.join(folder, pattern)):
                files.add(os.path.realpath(path))
    return sorted(files)


# Runs "$@" after hiding: an empty file system over each folder, /dev/null
# over each library file. Mount propagation is made private first, so that
# nothing leaks out of the namespace.
HIDING_SCRIPT = """\
set -e
mount --make-rprivate /
for folder in $HIDDEN_FOLDERS; do
  [ -d "$folder" ] && mount -t tmpfs -o ro,size=4k none "$folder"
done
for file in $HIDDEN_FILES; do
  mount --bind /dev/null "$file"
done
exec "$@"
"""


def hiding_command(command) -> list:
    folders = " ".join(HIDDEN_FOLDERS)
    files = " ".join(hidden_library_files())
    return ["unshare", "-m", "--", "/bin/sh", "-c",
            "HIDDEN_FOLDERS='%s' HIDDEN_FILES='%s'; %s" % (folders, files, HIDING_SCRIPT),
            "hide"] + list(command)


# ---- line-by-line output of a running process -------------------------------------

class LineReader:
    """Reads a binary stream (a running process's standard output) line by
    line, each read with a deadline."""

    def __init__(self, stream):
        self.stream = stream
        self.selector = selectors.DefaultSelector()
        self.selector.register(stream, selectors.EVENT_READ)
        self.buffer = b""
        self.seen = []

    def next_line(self, timeout: float) -> str:
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not self.selector.select(remaining):
                raise AssertionError("no line within %s s; output so far: %r"
                                     % (timeout, self.seen))
            chunk = os.read(self.stream.fileno(), 65536)
            if not chunk:
                raise AssertionError("output ended; output so far: %r" % (self.seen,))
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        text = line.decode("utf-8", "replace")
        self.seen.append(text)
        return text


def stop(process: subprocess.Popen, timeout: float = 10) -> None:
    """Waits for the process to end within timeout, then kills it."""
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


# ---- a virtual display -------------------------------------------------------------

class VirtualDisplay:
    """Xvfb on a display number of its own choosing (needs Xvfb, and
    ImageMagick's import and PIL for screenshots)."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "640x480x24", "-nolisten", "tcp"],
            pass_fds=[write_end], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as display_number:
            try:
                self.name = ":" + LineReader(display_number).next_line(30).strip()
            except AssertionError:
                self.close()
                raise

    def screenshot(self):
        from PIL import Image
        result = subprocess.run(["/usr/bin/import", "-display", self.name, "-window", "root",
                                 "png:-"], capture_output=True, timeout=30, check=True)
        return Image.open(io.BytesIO(result.stdout)).convert("RGB")

    def close(self):
        self.process.terminate()
        stop(self.process)


# ---- an application window ---------------------------------------------------------

# The protocol of the window applications of these tests: the first argument
# names a file; the application prints "shown X Y" (the screen position of
# what it drew) once its window is drawn, closes when the file appears, and
# prints "closed".
SCREENSHOT_DEADLINE = 30


def screenshot_when_drawn(display: VirtualDisplay, drawn, x, y):
    """A screenshot for which drawn(screenshot, x, y) holds, or the last one
    taken when SCREENSHOT_DEADLINE passes: a window is mapped before its
    drawing reaches the server."""
    deadline = time.monotonic() + SCREENSHOT_DEADLINE
    screenshot = display.screenshot()
    while not drawn(screenshot, x, y) and time.monotonic() < deadline:
        time.sleep(0.2)
        screenshot = display.screenshot()
    return screenshot


def show_window(workspace: "Workspace", app: FrozenApp, display: VirtualDisplay,
                drawn, args=(), hidden=False) -> tuple:
    """Runs a window application (see above) until drawn(screenshot, x, y)
    holds for a screenshot or a deadline passes; returns (screenshot, x, y,
    run), run.stdout the "shown" and "closed" lines. The test fails unless
    the application exits 0."""
    marker = workspace.root / ("done-%d" % (workspace.runs + 1))
    home = workspace.new_home()
    command = [str(app.executable), str(marker)] + [str(arg) for arg in args]
    if hidden:
        command = hiding_command(command)
    process = subprocess.Popen(command, cwd=home, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=workspace.environment(home, {"DISPLAY": display.name}))
    try:
        reader = LineReader(process.stdout)
        try:
            words = reader.next_line(90).split()
            if words[:1] != ["shown"]:
                raise AssertionError("expected 'shown X Y', got %r" % words)
        except AssertionError as error:
            process.kill()
            raise AssertionError("%s\nlogs:\n%s" % (error, "\n".join(read_logs(home))))
        x, y = int(words[1]), int(words[2])
        screenshot = screenshot_when_drawn(display, drawn, x, y)
        marker.touch()
        closed = reader.next_line(30)
        stop(process, 30)
        stderr = process.stderr.read().decode("utf-8", "replace")
    finally:
        if process.poll() is None:
            process.kill()
        process.wait()
        process.stdout.close()
        process.stderr.close()
    run = Run(process.returncode, "\n".join((" ".join(words), closed)), stderr, read_logs(home))
    if (process.returncode, closed) != (0, "closed"):
        raise AssertionError("the window application did not end well:\n" + run.describe())
    return screenshot, x, y, run
