"""Start-up time of an application executable against the bare interpreter.

    /usr/bin/python3.11 bench/bench_startup.py LAUNCHER [BUILD_DIR] [--runs N] [--warmup N]

The application's boot script turns log shipping off, keeps its log and
returns at once, so a run is the launcher's whole start-up and exit clean-up
with nothing of the application in it. The baseline is the same interpreter
started as bare as it gets: `python3.11 -I -S -c pass`. Both run many times,
interleaved and in alternating order, so that a change in the machine's load
touches both alike; the log folder is emptied before every launcher run,
outside the timed region, so the exit sweep always finds exactly one file.

Prints median and mean wall times and their ratios, and whether the ratio of
the medians meets the aim. It never fails on a figure, only on a run that
does not exit with status 0.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PYTHON = "/usr/bin/python3.11"
SOURCE_ROOT = Path(__file__).resolve().parent.parent
AIM = 1.15

BOOT_SCRIPT = """\
import stub
stub.set_upload_logs(0)
stub.set_keep_logs(1)
"""

# Company and product of the application: the log folder is
# <data home>/<company>/<product>/logs.
LOG_SUBFOLDER = Path("MendrixSoftware", "Mendrix", "logs")


def make_app(launcher: Path, work: Path) -> Path:
    """The application, with a main module that does nothing: its lib.dll
    holds what the interpreter's own start-up needs."""
    script = work / "boot.py"
    script.write_text(BOOT_SCRIPT)
    source = work / "source"
    source.mkdir()
    (source / "app.py").write_text("")
    app = work / "app" / "app"
    subprocess.run([PYTHON, str(SOURCE_ROOT / "tools" / "mkapp.py"), "--launcher", str(launcher),
                    "--boot-script", str(script), "--app", str(source), "--main-module", "app",
                    "--set", "__company=" + LOG_SUBFOLDER.parts[0],
                    "--set", "__product=" + LOG_SUBFOLDER.parts[1], "-o", str(app)],
                   check=True, stdout=subprocess.DEVNULL)
    return app


def empty_folder(folder: Path) -> None:
    if folder.is_dir():
        for entry in folder.iterdir():
            entry.unlink()


def timed_run(argv: list, env: dict) -> float:
    """Wall time of one run, spawn to reaped exit, in seconds."""
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env)
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit("%s exited with status %d" % (argv[0], code))
    return elapsed


def measure(app: Path, data_home: Path, runs: int, warmup: int) -> tuple:
    env = dict(os.environ, HOME=str(data_home), XDG_DATA_HOME=str(data_home))
    log_folder = data_home / LOG_SUBFOLDER
    launcher_argv = [str(app)]
    python_argv = [PYTHON, "-I", "-S", "-c", "pass"]

    def run_launcher() -> float:
        empty_folder(log_folder)
        return timed_run(launcher_argv, env)

    def run_python() -> float:
        return timed_run(python_argv, env)

    for _ in range(warmup):
        run_launcher()
        run_python()
    launcher_times, python_times = [], []
    for i in range(runs):
        if i % 2:
            launcher_times.append(run_launcher())
            python_times.append(run_python())
        else:
            python_times.append(run_python())
            launcher_times.append(run_launcher())
    empty_folder(log_folder)
    return launcher_times, python_times


def report(launcher_times: list, python_times: list) -> None:
    def ms(seconds: float) -> str:
        return "%7.2f ms" % (seconds * 1000)

    rows = (("launcher", launcher_times), ("python -I -S -c pass", python_times))
    print("start-up, %d runs each (wall time, spawn to exit)" % len(launcher_times))
    print("  %-22s %10s %10s %10s" % ("", "median", "mean", "min"))
    for name, times in rows:
        print("  %-22s %s %s %s" % (name, ms(statistics.median(times)),
                                    ms(statistics.fmean(times)), ms(min(times))))
    median_ratio = statistics.median(launcher_times) / statistics.median(python_times)
    mean_ratio = statistics.fmean(launcher_times) / statistics.fmean(python_times)
    print("  ratio launcher/python: median %.3f, mean %.3f" % (median_ratio, mean_ratio))
    print("  aim: median ratio at most %.2f: %s" % (AIM, "met" if median_ratio <= AIM else "NOT met"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("launcher", type=Path, help="the launcher binary")
    parser.add_argument("build_dir", type=Path, nargs="?", help="the build folder (unused)")
    parser.add_argument("--runs", type=int, default=200, help="timed runs of each (default 200)")
    parser.add_argument("--warmup", type=int, default=20, help="untimed runs of each first (default 20)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="bench-startup-") as tmp:
        work = Path(tmp)
        app = make_app(args.launcher.resolve(), work)
        data_home = work / "data"
        data_home.mkdir()
        launcher_times, python_times = measure(app, data_home, args.runs, args.warmup)
    report(launcher_times, python_times)


if __name__ == "__main__":
    main()
