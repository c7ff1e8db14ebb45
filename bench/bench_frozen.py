"""Start-up of frozen applications against the same applications run from source.

    /usr/bin/python3.11 bench/bench_frozen.py LAUNCHER [BUILD_DIR] [--runs N] [--warmup N]

Two applications, a Tkinter one and one built on Debian's python3-requests,
are frozen with tools/mkapp.py (the requests one with --path
/usr/lib/python3/dist-packages). The first line of each main module prints
the system's monotonic clock; the rest imports the application's toolkit and
returns. Each is run many times as the frozen executable and as
`python3.11 app.py` from its source folder (compiled modules warm), the two
interleaved in alternating order. Figures:

- to the first line: spawn to the main module's first line;
- whole run: spawn to exit, the toolkit's import included, in wall and CPU time;
- the build of the Tk application: wall time of the tool, and the output
  folder's size by kind of file.

The log folder is emptied before every frozen run, outside the timed region.
The aims: the first line at most 0.9 times the run from source, the CPU time
(user and system) of the whole run at most as much. No
figure makes the benchmark fail, only a run that goes wrong.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import timing

PYTHON = "/usr/bin/python3.11"
SOURCE_ROOT = Path(__file__).resolve().parent.parent
DIST_PACKAGES = "/usr/lib/python3/dist-packages"
# Frozen against from source: the first line, and the CPU time of the whole run.
AIMS = {"to the first line": 0.9, "whole run, CPU": 1.0}
COMPANY, PRODUCT = "BenchCompany", "FrozenStartup"

FIRST_LINE = "import time; print(time.clock_gettime_ns(time.CLOCK_MONOTONIC), flush=True)\n"
KEEP_NO_LOGS = """\
import sys
if getattr(sys, "frozen", False):
    import stub
    stub.set_upload_logs(0)
"""
APPS = {
    "tk_app": FIRST_LINE + KEEP_NO_LOGS + "import tkinter\nimport tkinter.ttk\n",
    "requests_app": FIRST_LINE + KEEP_NO_LOGS + "import requests\n",
}


def build(launcher: Path, work: Path, name: str) -> tuple:
    """Freezes one application; returns its executable, its source file and
    the tool's wall time."""
    source = work / "src" / name
    source.mkdir(parents=True)
    (source / (name + ".py")).write_text(APPS[name])
    executable = work / "dist" / name / name
    command = [PYTHON, str(SOURCE_ROOT / "tools" / "mkapp.py"), "--launcher", str(launcher),
               "--app", str(source), "--main-module", name, "-o", str(executable),
               "--set", "__company=" + COMPANY, "--set", "__product=" + PRODUCT]
    if name == "requests_app":
        command += ["--path", DIST_PACKAGES]
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return executable, source / (name + ".py"), time.perf_counter() - start


def first_line_seconds(sample: timing.Sample) -> float:
    """Spawn to the main module's first line, which prints the monotonic clock."""
    if not sample.stdout.strip():
        sys.exit("a run printed no first line")
    return (int(sample.stdout.split()[0]) - sample.spawn_ns) / 1e9


def empty_folder(folder: Path) -> None:
    if folder.is_dir():
        for entry in folder.iterdir():
            entry.unlink()


def measure(executable: Path, script: Path, home: Path, runs: int, warmup: int) -> dict:
    env = {"HOME": str(home), "XDG_DATA_HOME": str(home), "PATH": "/usr/bin:/bin",
           "LANG": "C.UTF-8"}
    log_folder = home / COMPANY / PRODUCT / "logs"

    def frozen():
        empty_folder(log_folder)
        return timing.timed_run([str(executable)], env, home)

    # The warm-up's first run from source writes the compiled modules.
    return timing.interleaved(
        {"frozen": frozen, "source": lambda: timing.timed_run([PYTHON, str(script)], env, home)},
        runs, warmup)


def folder_size_by_kind(folder: Path) -> dict:
    sizes = {"lib.dll": 0, "executable": 0, "extension modules": 0, "shared libraries": 0,
             "Tcl/Tk libraries": 0, "other": 0}
    for path in folder.rglob("*"):
        if not path.is_file() or path.is_symlink():
            continue
        relative = path.relative_to(folder)
        size = path.stat().st_size
        if relative.parts[0] == "tcl":
            kind = "Tcl/Tk libraries"
        elif path.name == "lib.dll":
            kind = "lib.dll"
        elif len(relative.parts) == 1 and os.access(path, os.X_OK) and ".so" not in path.name:
            kind = "executable"
        elif ".cpython-" in path.name and path.name.endswith(".so"):
            kind = "extension modules"
        elif ".so" in path.name:
            kind = "shared libraries"
        else:
            kind = "other"
        sizes[kind] += size
    return sizes


def report(name: str, samples: dict) -> None:
    print("%s, %d runs each" % (name, len(samples["frozen"])))
    figures = {"to the first line": first_line_seconds, "whole run, wall": lambda s: s.wall,
               "whole run, CPU": lambda s: s.cpu}
    timing.print_table({"%s, %s" % (label, kind): [figure(s) for s in samples[kind]]
                        for label, figure in figures.items() for kind in ("frozen", "source")})
    for label, figure in figures.items():
        timing.print_ratio("ratio frozen/source, " + label,
                           [figure(s) for s in samples["frozen"]],
                           [figure(s) for s in samples["source"]], AIMS.get(label))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("launcher", type=Path, help="the launcher binary")
    parser.add_argument("build_dir", type=Path, nargs="?", help="the build folder (unused)")
    parser.add_argument("--runs", type=int, default=40, help="timed runs of each (default 40)")
    parser.add_argument("--warmup", type=int, default=3, help="untimed runs of each first")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="bench-frozen-") as tmp:
        work = Path(tmp)
        home = work / "home"
        home.mkdir()
        for name in APPS:
            executable, script, build_seconds = build(args.launcher.resolve(), work, name)
            if name == "tk_app":
                sizes = folder_size_by_kind(executable.parent)
                print("build of the Tk application: %.2f s, output %.1f MB"
                      % (build_seconds, sum(sizes.values()) / 1e6))
                for kind, size in sizes.items():
                    print("  %-20s %8.1f MB" % (kind, size / 1e6))
            report(name, measure(executable, script, home, args.runs, args.warmup))
            shutil.rmtree(script.parent / "__pycache__", ignore_errors=True)


if __name__ == "__main__":
    main()
