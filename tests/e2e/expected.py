"""What the end-to-end tests expect of a launcher run: the lines of its log,
the message box of a failed start, and the ways of running it that the
harness does not offer."""

import datetime
import importlib.util
import os
import platform
import re
import shutil
import struct
import subprocess
import sys
import unittest

import harness
from harness import PYTHON, Run, mkapp

STUB = "STUB:stub:"
MESSAGE_BOX_HEAD = ("Exception\n"
                    "A critical exception has occurred, and the application must exit.\n"
                    "The exception was:\n\n\t")
MESSAGE_BOX_TAIL = "\n\nPlease contact Quorvane support for assistance.\n"
LOG_NAME = re.compile(r"(\d{4})-(\d\d)-(\d\d)_(\d\d)\.(\d\d)\.(\d\d)\.000(\d{3})\.log")
HEADER = importlib.util.MAGIC_NUMBER + bytes(4)


# ---- expected logs ---------------------------------------------------------------

def stub(text: str) -> str:
    return STUB + text


def location(source_file: str) -> str:
    """The pattern of an error's source location: "  (<path>:<line>)"."""
    return r"  \([^()\n]*%s:[1-9][0-9]*\)" % re.escape(source_file)


def kernel_version():
    match = re.match(r"(\d+)(?:\.(\d+))?", platform.uname().release)
    return int(match.group(1)), int(match.group(2) or 0)


def interpreter_version() -> str:
    if os.path.realpath(sys.executable) == os.path.realpath(PYTHON):
        return sys.version
    return subprocess.run([PYTHON, "-c", "import sys; print(sys.version, end='')"],
                          capture_output=True, text=True, check=True).stdout


def bitness() -> int:
    return 64 if platform.machine() in ("x86_64", "aarch64", "ppc64le", "s390x") else 32


def native_system() -> dict:
    """This machine's values in the META lines (the keys of the Wine
    harness's platform_values())."""
    major, minor = kernel_version()
    return {"major": major, "minor": minor, "product_type": 1, "suite_mask": 0,
            "bitness": bitness()}


def meta_lines(strings: dict, system=None) -> list:
    """The lines that open a log: the application's strings and the values
    of the system (native_system() unless given)."""
    system = system or native_system()
    return ["META:stub:version = " + strings["FileVersion"],
            "META:stub:product = " + strings["__product"],
            "META:stub:major_version = %d" % system["major"],
            "META:stub:minor_version = %d" % system["minor"],
            "META:stub:product_type = %d" % system["product_type"],
            "META:stub:suite_mask = %d" % system["suite_mask"],
            "META:stub:bitness = %d" % system["bitness"]]


def working_directory_line(folder) -> str:
    return stub("Setting working directory to: " + os.path.realpath(folder))


def opening_lines(meta: list, directory_line: str, version: str) -> list:
    """Every line of a run up to the evaluation of the boot script, on any
    platform: its META lines, its working directory line and its
    interpreter's version text."""
    return (meta + [directory_line]
            + [stub(text) for text in (
                "Loading boot script resource",
                "Decrypting boot script",
                "Initializing python interpreter variables",
                "Calling Py_Initialize",
                version,
                "Initializing extensions",
                "Modifying attributes of sys module",
                "Creating main module",
                "Unmarshalling boot script to code object",
                "Redirecting stderr to pipe",
                "Calling EvalCode")])


def startup_lines(app, folder=None) -> list:
    """The opening lines of a native run from folder (else the
    application's own)."""
    return opening_lines(meta_lines(app.strings), working_directory_line(folder or app.folder),
                         interpreter_version())


NORMAL_END = [stub("EvalCode exited normally"), stub("Cleaning up"),
              stub("A python error was not set"), stub("Finalizing"), stub("Closing log")]

ERROR_END_HEAD = [stub("EvalCode exited abnormally"), stub("Cleaning up"),
                  stub("Reading stack trace from stderr"), stub("Contents of python stderr:")]
ERROR_END_TAIL = [stub("Finalizing"), stub("Closing log")]


def log_name_time(name: str) -> datetime.datetime:
    match = LOG_NAME.fullmatch(name)
    if match is None:
        raise AssertionError("log file name %r is not of the form "
                             "YYYY-MM-DD_hh.mm.ss.000mmm.log" % name)
    year, month, day, hour, minute, second, millisecond = map(int, match.groups())
    return datetime.datetime(year, month, day, hour, minute, second, millisecond * 1000,
                             tzinfo=datetime.timezone.utc)


def utc_now_to_the_millisecond() -> datetime.datetime:
    now = datetime.datetime.now(datetime.timezone.utc)
    return now.replace(microsecond=now.microsecond // 1000 * 1000)


# ---- resource images ----------------------------------------------------------------

def resource_records(image: bytes) -> list:
    """(type, raw bytes of the whole record, header size) of each record."""
    records = []
    position = 0
    while position < len(image):
        data_size, header_size = struct.unpack_from("<II", image, position)
        end = mkapp.align4(position + header_size + data_size)
        raw = image[position:end]
        kind, _ = mkapp.read_name_or_ordinal(raw, 8, header_size)
        records.append((kind, raw, header_size))
        position = end
    return records


def make_boot_script_overrun_image(executable, claimed_size=None) -> None:
    """Rewrites an application so that its SCRIPT record is the image's last
    and claims more data than the image holds: the record is found, but its
    data cannot be loaded."""
    launcher, image = mkapp.split_executable(executable.read_bytes())
    records = resource_records(image)
    others = [raw for kind, raw, _ in records if kind != "SCRIPT"]
    (_, script, header_size), = [r for r in records if r[0] == "SCRIPT"]
    (data_size,) = struct.unpack_from("<I", script, 0)
    claimed = data_size + 64 if claimed_size is None else claimed_size
    damaged = struct.pack("<I", claimed) + script[4:header_size + data_size]
    executable.write_bytes(mkapp.executable_bytes(launcher, b"".join(others) + damaged))


# ---- running -------------------------------------------------------------------------

SANITIZER_VARIABLES = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


class Sandbox(harness.Sandbox):
    """The harness's sandbox, whose clean environment also carries the
    sanitizer options of the test run, for a launcher built with sanitizers
    (reports then go where log_path says instead of into the launcher's own
    capture of standard error)."""

    def environment(self, extra=None) -> dict:
        env = {name: os.environ[name] for name in SANITIZER_VARIABLES if name in os.environ}
        env.update(super().environment(extra))
        return env


def clear_logs(sandbox, app) -> None:
    """Removes the logs of earlier runs of applications of the same product."""
    for log in sandbox.read_logs(app):
        (sandbox.log_dir(app) / log.name).unlink()


def run_command(sandbox, app, command, *, env=None, cwd=None, preexec_fn=None,
                timeout=60) -> Run:
    """Runs a command line that starts the application some other way than
    the harness does (through a tracer, a symlink, a shell, with limits)."""
    result = subprocess.run([str(part) for part in command], cwd=cwd or sandbox.work_dir,
                            env=sandbox.environment(env), stdin=subprocess.DEVNULL,
                            capture_output=True, preexec_fn=preexec_fn, timeout=timeout)
    return Run(result.returncode, result.stdout.decode("utf-8", "replace"),
               result.stderr.decode("utf-8", "replace"), sandbox.log_dir(app),
               sandbox.read_logs(app))


def tracer_can_inject_faults() -> bool:
    strace = shutil.which("strace")
    if strace is None:
        return False
    probe = subprocess.run([strace, "-o", os.devnull, "-e", "trace=chdir",
                            "-e", "inject=chdir:error=EACCES", "/bin/sh", "-c", "cd /"],
                           capture_output=True)
    return probe.returncode != 0  # the injected failure of cd


class LogTestCase(unittest.TestCase):
    """Log assertions for the tests on every platform."""
    maxDiff = None

    def assertLines(self, actual, expected):
        """Compares log lines one by one; an expected re.Pattern must match
        its line whole."""
        for index, (line, want) in enumerate(zip(actual, expected)):
            if isinstance(want, re.Pattern):
                if want.fullmatch(line) is None:
                    self.fail("line %d: %r does not match %r\nlog:\n%s"
                              % (index, line, want.pattern, "\n".join(actual)))
            elif line != want:
                self.assertEqual(actual, expected, "first difference at line %d" % index)
        self.assertEqual(len(actual), len(expected),
                         "log has %d lines, expected %d:\n%s"
                         % (len(actual), len(expected), "\n".join(actual)))


class LauncherTestCase(LogTestCase):
    """The native launcher's failures: its message box, no log at all."""

    def assertMessageBox(self, run, message, source_file):
        pattern = (re.escape(MESSAGE_BOX_HEAD + message) + location(source_file)
                   + re.escape(MESSAGE_BOX_TAIL))
        self.assertRegex(run.stderr, r"\A" + pattern + r"\Z")
        self.assertEqual(run.exit_code, 1)
        self.assertEqual(run.stdout, "")

    def assertNoLogAtAll(self, sandbox, run):
        self.assertEqual(run.logs, [])
        self.assertEqual(sorted(os.listdir(sandbox.data_home)), [],
                         "a failed start-up left files in the data folder")
