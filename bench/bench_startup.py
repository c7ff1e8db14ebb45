"""Start-up time of an application executable against the bare interpreter.

    /usr/bin/python3.11 bench/bench_startup.py LAUNCHER [BUILD_DIR] [--runs N] [--warmup N]

The application's boot script turns log shipping off, keeps its log and
returns at once, so a run is the launcher's whole start-up and exit clean-up
with nothing of the application in it. The baseline is the same interpreter
started as bare as it gets: `python3.11 -I -S -c pass`. A second baseline,
where the build folder has it, is the same command line run by
bench_python_main: the interpreter's archive linked as the launcher links it,
so that the launcher's own cost shows apart from what Debian's archive costs
against its own python3.11. All run many times, interleaved and in
alternating order, so that a change in the machine's load touches them alike;
the log folder is emptied before every launcher run, outside the timed
region, so the exit sweep always finds exactly one file.

Prints median and mean wall and CPU times and their ratios, and whether the ratio of
the medians meets the aim. It never fails on a figure, only on a run that
does not exit with status 0.
"""
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import timing

PYTHON = "/usr/bin/python3.11"
SOURCE_ROOT = Path(__file__).resolve().parent.parent
AIM = 1.05
BARE_START = ("-I", "-S", "-c", "pass")

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


def measure(app: Path, python_main, data_home: Path, runs: int, warmup: int) -> dict:
    env = dict(os.environ, HOME=str(data_home), XDG_DATA_HOME=str(data_home))
    log_folder = data_home / LOG_SUBFOLDER

    def run_launcher():
        timing.empty_folder(log_folder)
        return timing.timed_run([str(app)], env)

    contenders = {"launcher": run_launcher,
                  "python": lambda: timing.timed_run([PYTHON, *BARE_START], env)}
    if python_main is not None:
        contenders["same archive"] = lambda: timing.timed_run([str(python_main), *BARE_START], env)
    samples = timing.interleaved(contenders, runs, warmup)
    timing.empty_folder(log_folder)
    return samples


def report(samples: dict) -> None:
    print("%d runs each" % len(samples["launcher"]))
    timing.print_table({"%s, %s" % (name, kind): [getattr(s, kind) for s in samples[name]]
                        for kind in ("wall", "cpu") for name in samples})
    for kind in ("wall", "cpu"):
        timing.print_ratio("ratio launcher/python, %s" % kind,
                           [getattr(s, kind) for s in samples["launcher"]],
                           [getattr(s, kind) for s in samples["python"]], AIM)
    if "same archive" not in samples:
        return
    for kind in ("wall", "cpu"):
        timing.print_ratio("ratio launcher/same archive, %s" % kind,
                           [getattr(s, kind) for s in samples["launcher"]],
                           [getattr(s, kind) for s in samples["same archive"]])
        timing.print_ratio("ratio same archive/python, %s" % kind,
                           [getattr(s, kind) for s in samples["same archive"]],
                           [getattr(s, kind) for s in samples["python"]])


def main() -> None:
    args = timing.argument_parser(__doc__, runs=200, warmup=20).parse_args()

    with tempfile.TemporaryDirectory(prefix="bench-startup-") as tmp:
        work = Path(tmp)
        app = make_app(args.launcher.resolve(), work)
        data_home = work / "data"
        data_home.mkdir()
        python_main = args.build_dir / "bench" / "bench_python_main" if args.build_dir else None
        if python_main is not None and not python_main.is_file():
            python_main = None
        samples = measure(app, python_main, data_home, args.runs, args.warmup)
    report(samples)


if __name__ == "__main__":
    main()
