"""Import of many small modules from lib.dll against the same modules imported
by the interpreter from a folder and from a zip archive.

    /usr/bin/python3.11 bench/bench_imports.py LAUNCHER [BUILD_DIR] [--runs N] [--warmup N]

An application whose main module imports a module that imports 500 small
modules (m0 ... m499) is frozen with tools/mkapp.py. The main module times
that one import inside the process (wall and CPU time) and prints both. The
same main module runs as `python3.11 -S -E -s main.py` from its source folder
(compiled modules warm) and with the compiled modules in a zip archive at the
front of sys.path (the standard zip importer). The three are interleaved.
Aim: the import from lib.dll takes less wall time than either baseline.
"""
import py_compile
import subprocess
import tempfile
import zipfile
from pathlib import Path

import timing

PYTHON = "/usr/bin/python3.11"
SOURCE_ROOT = Path(__file__).resolve().parent.parent
MODULES = 500
COMPANY, PRODUCT = "BenchCompany", "ManyImports"

MAIN = """\
import sys, time
if getattr(sys, "frozen", False):
    import stub
    stub.set_upload_logs(0)
elif len(sys.argv) > 1:
    sys.path.insert(0, sys.argv[1])
wall, cpu = time.perf_counter(), time.process_time()
import many
print(time.perf_counter() - wall, time.process_time() - cpu)
"""


def write_sources(folder: Path) -> None:
    folder.mkdir(parents=True)
    (folder / "main.py").write_text(MAIN)
    (folder / "many.py").write_text("".join("import m%d\n" % i for i in range(MODULES)))
    for i in range(MODULES):
        (folder / ("m%d.py" % i)).write_text(
            "VALUE = %d\n\ndef value():\n    return VALUE\n\nclass Holder:\n    value = VALUE\n" % i)


def write_zip(source: Path, archive: Path, work: Path) -> None:
    """The compiled modules in a zip archive, as the standard zip importer reads them."""
    with zipfile.ZipFile(archive, "w") as out:
        for name in ["many"] + ["m%d" % i for i in range(MODULES)]:
            compiled = work / (name + ".pyc")
            py_compile.compile(str(source / (name + ".py")), str(compiled), doraise=True)
            out.write(compiled, name + ".pyc")
            compiled.unlink()


def freeze(launcher: Path, source: Path, work: Path) -> Path:
    executable = work / "dist" / "main"
    subprocess.run(
        [PYTHON, str(SOURCE_ROOT / "tools" / "mkapp.py"), "--launcher", str(launcher),
         "--app", str(source), "--main-module", "main", "-o", str(executable),
         "--set", "__company=" + COMPANY, "--set", "__product=" + PRODUCT],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return executable


def main() -> None:
    args = timing.argument_parser(__doc__, runs=20, warmup=2).parse_args()

    with tempfile.TemporaryDirectory(prefix="bench-imports-") as tmp:
        work = Path(tmp)
        source = work / "src"
        write_sources(source)
        executable = freeze(args.launcher.resolve(), source, work)
        archive = work / "modules.zip"
        write_zip(source, archive, work)
        home = work / "home"
        home.mkdir()
        env = {"HOME": str(home), "XDG_DATA_HOME": str(home), "PATH": "/usr/bin:/bin",
               "LANG": "C.UTF-8"}
        python = [PYTHON, "-S", "-E", "-s", str(source / "main.py")]
        samples = timing.interleaved({
            "lib.dll": lambda: timing.timed_run([str(executable)], env),
            "folder": lambda: timing.timed_run(python, env),
            "zip": lambda: timing.timed_run(python + [str(archive)], env),
        }, args.runs, args.warmup)

    inside = {name: [tuple(map(float, s.stdout.split()[:2])) for s in runs]
              for name, runs in samples.items()}
    print("import of %d small modules, timed inside the process, %d runs each" % (MODULES, args.runs))
    timing.print_table({"%s, %s" % (name, kind): [t[index] for t in inside[name]]
                        for index, kind in enumerate(("wall", "CPU")) for name in inside})
    for baseline in ("folder", "zip"):
        for index, kind in enumerate(("wall", "CPU")):
            timing.print_ratio("ratio lib.dll/%s, %s" % (baseline, kind),
                               [t[index] for t in inside["lib.dll"]],
                               [t[index] for t in inside[baseline]], 1.0 if index == 0 else None)


if __name__ == "__main__":
    main()
