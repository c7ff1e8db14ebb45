"""Start-up of frozen applications against the same applications run from
source, and the build tool's time and output size against an earlier tool.

    /usr/bin/python3.11 bench/bench_frozen.py LAUNCHER [BUILD_DIR] [--runs N] [--warmup N]
        [--baseline REV] [--builds-only]

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
  folder's size by kind of file;
- builds: a matplotlib application and the Tk application, each built with
  the defaults (--path /usr/lib/python3/dist-packages) by this tree's tool
  and by the tool of git revision REV (default main, taken with git
  archive): wall time and output size, and the ratios of the two.

The log folder is emptied before every frozen run, outside the timed region.
The aims: the first line at most 0.9 times the run from source, the CPU time
(user and system) of the whole run at most as much. No
figure makes the benchmark fail, only a run that goes wrong.
"""
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


# The applications whose builds are compared, with the defaults.
BUILD_APPS = {
    "matplotlib_app": "import matplotlib\nmatplotlib.use('Agg')\nimport matplotlib.pyplot\n",
    "tk_app": "import tkinter\nimport tkinter.ttk\n",
}


def baseline_tool(revision: str, work: Path) -> Path | None:
    """tools/mkapp.py of a git revision, unpacked into work; None when git
    cannot give it."""
    folder = work / "baseline"
    folder.mkdir()
    archive = subprocess.run(["git", "-C", str(SOURCE_ROOT), "archive", revision,
                              "tools", "resources"],
                             capture_output=True)
    if archive.returncode != 0:
        print("no baseline: git archive %s failed: %s"
              % (revision, archive.stderr.decode(errors="replace").strip()))
        return None
    subprocess.run(["tar", "-x", "-C", str(folder)], input=archive.stdout, check=True)
    return folder / "tools" / "mkapp.py"


def timed_build(tool: Path, launcher: Path, source: Path, output: Path) -> tuple:
    """(seconds, bytes of the output folder) of one build with the defaults."""
    command = [PYTHON, str(tool), "--launcher", str(launcher), "--app", str(source.parent),
               "--main-module", source.stem, "--path", DIST_PACKAGES, "-o", str(output)]
    start = time.perf_counter()
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True)
    seconds = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit("%s failed: %s" % (" ".join(command), result.stderr[-2000:]))
    size = sum(path.stat().st_size for path in output.parent.rglob("*")
               if path.is_file() and not path.is_symlink())
    return seconds, size


def compare_builds(launcher: Path, work: Path, revision: str) -> None:
    baseline = baseline_tool(revision, work)
    tools = [("this tree", SOURCE_ROOT / "tools" / "mkapp.py")]
    if baseline is not None:
        tools.append((revision, baseline))
    for name, text in BUILD_APPS.items():
        source = work / "builds" / "src" / name / (name + ".py")
        source.parent.mkdir(parents=True)
        source.write_text(text)
        figures = {}
        for label, tool in tools:
            output = work / "builds" / label.replace("/", "_") / name / name
            figures[label] = timed_build(tool, launcher, source, output)
            shutil.rmtree(output.parent)
        print("build of %s with the defaults" % name)
        for label, (seconds, size) in figures.items():
            print("  %-12s %8.1f s %10.1f MB" % (label, seconds, size / 1e6))
        if baseline is not None:
            (seconds, size), (old_seconds, old_size) = figures["this tree"], figures[revision]
            print("  ratio this tree/%s: time %.2f, size %.2f"
                  % (revision, seconds / old_seconds, size / old_size))


def first_line_seconds(sample: timing.Sample) -> float:
    """Spawn to the main module's first line, which prints the monotonic clock."""
    if not sample.stdout.strip():
        sys.exit("a run printed no first line")
    return (int(sample.stdout.split()[0]) - sample.spawn_ns) / 1e9


def measure(executable: Path, script: Path, home: Path, runs: int, warmup: int) -> dict:
    env = {"HOME": str(home), "XDG_DATA_HOME": str(home), "PATH": "/usr/bin:/bin",
           "LANG": "C.UTF-8"}
    log_folder = home / COMPANY / PRODUCT / "logs"

    def frozen():
        timing.empty_folder(log_folder)
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
    parser = timing.argument_parser(__doc__, runs=40, warmup=3)
    parser.add_argument("--baseline", default="main", metavar="REV",
                        help="the git revision whose tool the builds are compared with")
    parser.add_argument("--builds-only", action="store_true",
                        help="only the comparison of the builds")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="bench-frozen-") as tmp:
        work = Path(tmp)
        compare_builds(args.launcher.resolve(), work, args.baseline)
        if args.builds_only:
            return
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
