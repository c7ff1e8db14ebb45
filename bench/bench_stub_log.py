"""Lines per second through `stub.log`, against two ways of writing a log in Python.

    /usr/bin/python3.11 bench/bench_stub_log.py LAUNCHER [BUILD_DIR] [--lines N] [--rounds N]

Three writers put the same line into a file, one call per line, N times:

- the launcher: the boot script calls `stub.log(line)` (each line is written
  and flushed, so one write per line reaches the operating system);
- `os.write` of the encoded line with its line feed to a descriptor opened
  with O_WRONLY | O_CREAT | O_APPEND, under the same interpreter;
- the standard `logging` module: a logger with one FileHandler (which flushes
  after every record), under the same interpreter.

Each script times its own loop with time.perf_counter, so the interpreter's
start-up is not counted. The launcher's script writes its figure into its own
log, which it keeps; the bench reads it back from there and checks that every
line arrived. The rounds run the three writers in turn; the best round of
each counts (the least disturbed by the rest of the machine).

Prints the rates and the ratios, and whether the aims are met: at least half
the os.write rate and at least five times the logging rate. It never fails on
a figure.
"""
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import timing

PYTHON = "/usr/bin/python3.11"
SOURCE_ROOT = Path(__file__).resolve().parent.parent
AIM_VS_OS_WRITE = 0.5
AIM_VS_LOGGING = 5.0

# A line of the length an application's log line usually has.
LINE = "app: window layout restored, 3 panes, 12 documents open, took 41 ms"
ELAPSED_MARK = "bench-elapsed "

# Each script gets N and the output path by str.format (doubled braces are
# literal). None of them formats anything inside the loop.
LAUNCHER_SCRIPT = """\
import stub
import time
stub.set_upload_logs(0)
stub.set_keep_logs(1)
line = {line!r}
log = stub.log
start = time.perf_counter()
for _ in range({lines}):
    log(line)
elapsed = time.perf_counter() - start
stub.log({mark!r} + repr(elapsed))
"""

OS_WRITE_SCRIPT = """\
import os
import time
data = ({line!r} + "\\n").encode()
fd = os.open({path!r}, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
write = os.write
start = time.perf_counter()
for _ in range({lines}):
    write(fd, data)
elapsed = time.perf_counter() - start
os.close(fd)
print(repr(elapsed))
"""

LOGGING_SCRIPT = """\
import logging
import time
logger = logging.getLogger("bench")
logger.setLevel(logging.INFO)
logger.propagate = False
handler = logging.FileHandler({path!r})
logger.addHandler(handler)
line = {line!r}
info = logger.info
start = time.perf_counter()
for _ in range({lines}):
    info(line)
elapsed = time.perf_counter() - start
handler.close()
print(repr(elapsed))
"""

# Company and product of the application: the log folder is
# <data home>/<company>/<product>/logs.
LOG_SUBFOLDER = Path("MendrixSoftware", "Mendrix", "logs")


class Bench:
    def __init__(self, launcher: Path, work: Path, lines: int):
        self.work = work
        self.lines = lines
        self.data_home = work / "data"
        self.data_home.mkdir()
        self.log_folder = self.data_home / LOG_SUBFOLDER
        self.env = dict(os.environ, HOME=str(self.data_home), XDG_DATA_HOME=str(self.data_home))
        self.app = self.make_app(launcher)

    def script(self, name: str, template: str, output: Path) -> Path:
        path = self.work / name
        path.write_text(template.format(line=LINE, lines=self.lines, mark=ELAPSED_MARK,
                                        path=str(output)))
        return path

    def make_app(self, launcher: Path) -> Path:
        """The application, with a main module that does nothing: its lib.dll
        holds what the boot script and the interpreter's start-up need."""
        boot = self.script("boot.py", LAUNCHER_SCRIPT, Path())
        source = self.work / "source"
        source.mkdir()
        (source / "app.py").write_text("")
        app = self.work / "app" / "app"
        subprocess.run([PYTHON, str(SOURCE_ROOT / "tools" / "mkapp.py"), "--launcher",
                        str(launcher), "--boot-script", str(boot), "--app", str(source),
                        "--main-module", "app", "--set", "__company=" + LOG_SUBFOLDER.parts[0],
                        "--set", "__product=" + LOG_SUBFOLDER.parts[1], "-o", str(app)],
                       check=True, stdout=subprocess.DEVNULL)
        return app

    def run_launcher(self) -> float:
        for old in self.log_folder.glob("*.log"):
            old.unlink()
        subprocess.run([str(self.app)], env=self.env, check=True)
        (log,) = self.log_folder.glob("*.log")
        elapsed = None
        written = 0
        with log.open("rb") as lines:
            for raw in lines:
                text = raw.decode().rstrip("\n")
                if text == LINE:
                    written += 1
                elif text.startswith(ELAPSED_MARK):
                    elapsed = float(text[len(ELAPSED_MARK):])
        log.unlink()
        if written != self.lines or elapsed is None:
            sys.exit("the launcher's log holds %d of %d lines%s" % (
                written, self.lines, "" if elapsed is not None else " and no time"))
        return elapsed

    def run_python(self, name: str, template: str) -> float:
        output = self.work / (name + ".log")
        script = self.script(name + ".py", template, output)
        result = subprocess.run([PYTHON, "-I", "-S", str(script)], env=self.env, check=True,
                                stdout=subprocess.PIPE, text=True)
        written = output.read_bytes().count(b"\n")
        output.unlink()
        if written != self.lines:
            sys.exit("%s wrote %d of %d lines" % (name, written, self.lines))
        return float(result.stdout)


def main() -> None:
    parser = timing.argument_parser(__doc__)
    parser.add_argument("--lines", type=int, default=1_000_000, help="lines per writer (default 1000000)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of the three writers (default 3)")
    args = parser.parse_args()

    times = {"stub.log": [], "os.write": [], "logging": []}
    with tempfile.TemporaryDirectory(prefix="bench-stub-log-") as tmp:
        bench = Bench(args.launcher.resolve(), Path(tmp), args.lines)
        for _ in range(args.rounds):
            times["stub.log"].append(bench.run_launcher())
            times["os.write"].append(bench.run_python("os_write", OS_WRITE_SCRIPT))
            times["logging"].append(bench.run_python("logging", LOGGING_SCRIPT))

    rates = {name: args.lines / min(elapsed) for name, elapsed in times.items()}
    print("stub.log: %d lines of %d bytes, best of %d rounds" % (args.lines, len(LINE) + 1, args.rounds))
    for name, rate in rates.items():
        print("  %-9s %12.0f lines/s" % (name, rate))
    vs_os_write = rates["stub.log"] / rates["os.write"]
    vs_logging = rates["stub.log"] / rates["logging"]
    print("  ratio stub.log/os.write: %.3f (aim at least %.2f: %s)"
          % (vs_os_write, AIM_VS_OS_WRITE, "met" if vs_os_write >= AIM_VS_OS_WRITE else "NOT met"))
    print("  ratio stub.log/logging:  %.3f (aim at least %.2f: %s)"
          % (vs_logging, AIM_VS_LOGGING, "met" if vs_logging >= AIM_VS_LOGGING else "NOT met"))


if __name__ == "__main__":
    main()
