#!/usr/bin/python3.11
"""CPython's regression suite inside a frozen application, against python3.11.

    /usr/bin/python3.11 tests/regrtest_frozen.py LAUNCHER [--modules a,b] [--timeout S]

Takes Debian's libpython3.11-testsuite (downloaded and unpacked into the work
folder, never installed: installing it would upgrade libpython3.11), joins it
with the test support that python3.11 ships, freezes a runner of the
regression test driver with tools/mkapp.py, and runs each test module twice,
frozen and under python3.11, one process per module with a time limit, the
Tk tests on a private Xvfb display. Prints one line per module and a summary:
a module behaves the same when its result and its number of failed tests
are the same. Long (tens of minutes): not part of tools/test.sh.
"""

import argparse
import concurrent.futures
import glob
import importlib.util
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[1]
MKAPP = SOURCE_DIR / "tools" / "mkapp.py"
PYTHON = "/usr/bin/python3.11"
STDLIB_TEST = Path("/usr/lib/python3.11/test")
PACKAGE = "libpython3.11-testsuite"

# Modules that matter to desktop applications.
MODULES = """
test_sqlite3 test_ssl test_ctypes test_decimal test_json test_re test_zipfile test_tarfile
test_io test_os test_subprocess test_asyncio test_tk test_ttk_guionly test_ttk_textonly
test_logging test_xml_etree test_xml_etree_c test_inspect test_traceback test_importlib
test_threading test_socket test_selectors test_signal test_shutil test_tempfile test_pathlib
test_glob test_datetime test_time test_calendar test_locale test_codecs test_unicode
test_bytes test_struct test_array test_collections test_functools test_itertools test_math
test_random test_statistics test_fractions test_hashlib test_hmac test_base64 test_zlib
test_gzip test_bz2 test_lzma test_csv test_configparser test_argparse test_pickle test_enum
test_dataclasses test_typing test_uuid test_urllib test_urlparse test_email test_html
test_zoneinfo test_platform test_sys test_warnings test_queue test_unittest
""".split()

# Test subpackages that live inside other packages of the standard library;
# the runner adds the unpacked folders to those packages' __path__.
NESTED_TESTS = ("ctypes", "tkinter", "unittest")

RUNNER = '''\
"""Runs the regression test driver with the command line given."""
import os
import sys


import ctypes
import unittest
try:
    import tkinter
except ImportError:
    tkinter = None


def extend_packages(folder):
    for package in (ctypes, tkinter, unittest):
        if package is not None:
            package.__path__.append(os.path.join(folder, package.__name__))


if __name__ == "__main__":
    extend_packages(os.environ["SUITE_NESTED"])
    from test.libregrtest import main
    main()
'''

RESULT = re.compile(r"^(?:== )?Tests result: ([A-Z ,]+?)(?: ==)?$", re.M)
COUNTS = re.compile(r"^Ran (\d+) tests?", re.M)
FAILED = re.compile(r"^FAILED \((.*)\)$", re.M)
REGRTEST_OPTIONS = ["-u", "gui,subprocess,tzdata", "-v"]


def unpack_testsuite(work: Path) -> Path:
    root = work / "deb"
    if not (root / "usr" / "lib" / "python3.11" / "test").is_dir():
        work.mkdir(parents=True, exist_ok=True)
        subprocess.run(["apt-get", "download", PACKAGE], cwd=work, check=True)
        deb = sorted(work.glob(PACKAGE + "_*.deb"))[-1]
        subprocess.run(["dpkg-deb", "-x", str(deb), str(root)], check=True)
    return root / "usr" / "lib" / "python3.11"


def joined_suite(unpacked: Path, work: Path) -> tuple:
    """(folder holding the package `test`, folder of the nested test packages)."""
    suite = work / "suite"
    nested = work / "nested"
    if not (suite / "test").is_dir():
        shutil.copytree(STDLIB_TEST, suite / "test", ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copytree(unpacked / "test", suite / "test", dirs_exist_ok=True)
        for name in NESTED_TESTS:
            shutil.copytree(unpacked / name / "test", nested / name / "test")
    return suite, nested


# Imports by a computed name in the tests, which no import graph sees: the
# modules they import by a string, and those they run with "-m".
NAMED_IMPORT = re.compile(r"""(?:import_module|import_deprecated|import_fresh_module)\(\s*['"]([\w.]+)['"]"""
                          r"""|['"]-m['"],\s*['"]([\w.]+)['"]""")


# Modules the tests import by names they compute: the interpreter's
# extension modules made for its tests, and deprecated modules.
COMPUTED_IMPORTS = ("sre_compile", "sre_constants", "sre_parse")
TEST_EXTENSIONS = "/usr/lib/python3.11/lib-dynload/_*test*.cpython-311-*.so"


def hidden_imports(suite: Path, modules) -> list:
    """Each module and, for a package, every module inside it (the driver
    finds them by listing folders), and the modules the tests import by a
    computed name."""
    names = set(COMPUTED_IMPORTS)
    names.update(Path(path).name.partition(".")[0] for path in glob.glob(TEST_EXTENSIONS))
    for module in modules:
        folder = suite / "test" / module
        files = sorted(folder.rglob("*.py")) if folder.is_dir() else \
            [suite / "test" / (module + ".py")]
        for path in files:
            parts = path.relative_to(suite).with_suffix("").parts
            if parts[-1] == "__init__":
                parts = parts[:-1]
            if all(part.isidentifier() for part in parts):
                names.add(".".join(parts))
            if path.is_file():
                for found in NAMED_IMPORT.findall(path.read_text(errors="replace")):
                    names.update(name for name in found if is_stdlib_module(name))
    return sorted(names)


def is_stdlib_module(name: str) -> bool:
    if not name or name.startswith(".") or name.split(".")[0] not in sys.stdlib_module_names:
        return False
    try:
        return importlib.util.find_spec(name) is not None
    except ImportError:
        return False


def uncompilable(suite: Path) -> list:
    """The modules of the suite that are meant not to compile (test data of
    the compiler's own tests): left out of the frozen runner."""
    names = []
    for path in sorted((suite / "test").rglob("*.py")):
        try:
            compile(path.read_bytes(), str(path), "exec", dont_inherit=True)
        except (SyntaxError, ValueError):
            parts = path.relative_to(suite).with_suffix("").parts
            names.append(".".join(parts[:-1] if parts[-1] == "__init__" else parts))
    return names


def python_files(suite: Path, work: Path) -> Path:
    """A copy of the suite's .py files alone: the driver finds the modules of
    a test package by listing its folder for .py files, so they travel
    beside the compiled modules and the data the tool carries."""
    copy = work / "sources" / "test"
    if not copy.is_dir():
        shutil.copytree(suite / "test", copy, ignore=lambda folder, names: [
            name for name in names
            if not name.endswith(".py") and not os.path.isdir(os.path.join(folder, name))])
    return copy


def freeze(launcher: Path, work: Path, suite: Path, modules) -> Path:
    app = work / "runner-src"
    app.mkdir(exist_ok=True)
    (app / "suite_runner.py").write_text(RUNNER)
    output = work / "frozen" / "suite_runner"
    command = [PYTHON, str(MKAPP), "--launcher", str(launcher), "--app", str(app),
               "--main-module", "suite_runner", "-o", str(output), "--path", str(suite),
               "--add-data", "%s:." % python_files(suite, work)]
    for name in hidden_imports(suite, modules):
        command += ["--hidden-import", name]
    for name in uncompilable(suite):
        command += ["--exclude", name]
    started = time.monotonic()
    subprocess.run(command, check=True)
    print("frozen in %.0f s" % (time.monotonic() - started), flush=True)
    return output


class Xvfb:
    def __init__(self):
        read, write = os.pipe()
        self.process = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp",
                                         "-screen", "0", "1024x768x24"], pass_fds=(write,),
                                        stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as stream:
            self.display = ":" + stream.readline().strip()

    def close(self):
        self.process.terminate()
        self.process.wait(10)


def outcome(text: str, status) -> tuple:
    """(result, failed tests, tests run) of one driver run's output."""
    if status is None:
        return "TIMEOUT", None, None
    found = RESULT.findall(text)
    result = found[-1].strip() if found else "CRASH (exit %d)" % status
    ran = sum(int(count) for count in COUNTS.findall(text))
    failed = 0
    for summary in FAILED.findall(text):
        failed += sum(int(number) for key, number in re.findall(r"(\w+)=(\d+)", summary)
                      if key in ("failures", "errors"))
    return result, failed, ran


def run_module(command, module, env, timeout, log: Path) -> tuple:
    home = log.with_suffix(".home")
    (home / ".local" / "share").mkdir(parents=True, exist_ok=True)
    env = dict(env, HOME=str(home), XDG_DATA_HOME=str(home / ".local" / "share"))
    started = time.monotonic()
    try:
        result = subprocess.run(["nice", "-n", "10"] + command + REGRTEST_OPTIONS + [module],
                                env=env, cwd=home, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                timeout=timeout, errors="replace", text=True)
        text, status = result.stdout, result.returncode
    except subprocess.TimeoutExpired as expired:
        text, status = (expired.stdout or b"").decode("utf-8", "replace") \
            if isinstance(expired.stdout, bytes) else (expired.stdout or ""), None
    log.write_text(text)
    return outcome(text, status) + (time.monotonic() - started,)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("launcher", type=Path)
    parser.add_argument("--work", type=Path, default=Path("/tmp/regrtest-frozen"))
    parser.add_argument("--modules", help="comma-separated (default: the list above)")
    parser.add_argument("--timeout", type=float, default=300)
    args = parser.parse_args()
    modules = args.modules.split(",") if args.modules else MODULES
    work = args.work.resolve()
    suite, nested = joined_suite(unpack_testsuite(work), work)
    executable = freeze(args.launcher.resolve(), work, suite, modules)
    logs = work / time.strftime("logs-%Y%m%d-%H%M%S")
    logs.mkdir()
    display = Xvfb()
    env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8", "DISPLAY": display.display,
           "SUITE_NESTED": str(nested), "PYTHONPATH": str(suite)}
    frozen_env = {key: value for key, value in env.items() if key != "PYTHONPATH"}
    same = 0
    print("%-22s %-26s %-26s %s" % ("module", "python3.11", "frozen", "same"), flush=True)
    try:
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            for module in modules:
                baseline = pool.submit(run_module, [PYTHON, str(work / "runner-src" /
                                                             "suite_runner.py")],
                                       module, env, args.timeout, logs / (module + ".python"))
                frozen = pool.submit(run_module, [str(executable)], module, frozen_env,
                                     args.timeout, logs / (module + ".frozen"))
                expected, got = baseline.result(), frozen.result()
                equal = expected[:2] == got[:2]
                same += equal
                print("%-22s %-26s %-26s %s" % (
                    module, "%s %s/%s %.0fs" % expected, "%s %s/%s %.0fs" % got,
                    "yes" if equal else "NO"), flush=True)
    finally:
        display.close()
    print("%d of %d modules behave as under python3.11 (logs in %s)"
          % (same, len(modules), logs))
    return 0


if __name__ == "__main__":
    sys.exit(main())
