"""End-to-end tests of launcher runs under Wine: the log of a normal run line
by line, the failures of the start-up sequence, the in-memory log, the module
stub, crt_exit, the standard-error capture through the named pipe, two
instances at once, and standard handles that the interpreter cannot use."""

import getpass
import marshal
import re
import subprocess
import unittest

from wine_harness import (NORMAL_END, WineSandbox, WineTestCase, clear_logs,
                          enter_test_network, meta_lines, mkapp, startup_lines, stub,
                          wine_environment, working_directory_line)
from expected import ERROR_END_HEAD, ERROR_END_TAIL, HEADER


def setUpModule():
    enter_test_network()


def traceback_lines(line_number: int, last: str) -> list:
    return ["Traceback (most recent call last):\r",
            re.compile(r'  File "boot\.py", line %d, in <module>\r' % line_number),
            last + "\r"]


class NormalRunTest(WineTestCase):
    """One typical run: the same lines as on Linux, with Windows' own values."""

    @classmethod
    def setUpClass(cls):
        cls.sandbox = WineSandbox.for_test(cls)
        cls.app = cls.sandbox.make_app(boot_source=(
            "import stub\n"
            "stub.log('application line one')\n"
            "stub.log('Grüße aus der Anwendung ✓')\n"))
        cls.run_result = cls.sandbox.run(cls.app)

    def test_the_log_holds_the_whole_run_line_by_line(self):
        self.assertLines(self.run_result.single_log().lines, startup_lines(self.app)
                         + ["application line one", "Grüße aus der Anwendung ✓"] + NORMAL_END)

    def test_the_run_succeeds_silently_with_bare_line_feeds(self):
        self.assertEqual(self.run_result.exit_code, 0)
        self.assertEqual((self.run_result.stdout, self.run_result.stderr), (b"", b""))
        data = self.run_result.single_log().data
        self.assertNotIn(b"\r", data)
        self.assertTrue(data.endswith(b"Closing log\n"))
        self.assertRegex(self.run_result.single_log().name,
                         r"\A\d{4}-\d\d-\d\d_\d\d\.\d\d\.\d\d\.000\d{3}\.log\Z")


class StartupFailureTest(WineTestCase):
    """Each failure row of the start-up sequence that a test can bring about
    from outside. Not covered: a failed _onexit registration and a working
    directory that cannot be entered (neither can be provoked from outside a
    Windows process), and a boot script resource that is found but cannot be
    loaded (a linked PE image always holds what its resource directory
    names). The message box of a preparation failure is not read back: Wine
    without a display returns from MessageBoxA at once."""

    def assertRunBlockFailure(self, run, lines):
        self.assertEqual(run.exit_code, 1)
        self.assertLines(run.single_log().lines,
                         lines + [stub("Cleaning up"), stub("Closing log")])

    def test_a_failed_preparation_ends_with_1_and_writes_no_log(self):
        sandbox = WineSandbox.for_test(self)
        cases = {"no version resource": dict(no_version_info=True),
                 "no __company key": dict(omit=("__company",)),
                 "no FileVersion key": dict(omit=("FileVersion",))}
        for case, options in cases.items():
            with self.subTest(case):
                app = sandbox.make_app(**options)
                run = sandbox.run(app)
                self.assertEqual(run.exit_code, 1)
                self.assertEqual(run.logs, [])

    def test_a_folder_without_its_startup_modules(self):
        # Beside launcher.exe they come from lib.dll or python311.zip.
        sandbox = WineSandbox.for_test(self)
        app = sandbox.make_app()
        (app.folder / "python311.zip").unlink()
        run = sandbox.run(app)
        lines = startup_lines(app)
        self.assertRunBlockFailure(run, lines[:lines.index(stub("Calling Py_Initialize")) + 1] + [
            "Traceback",
            re.compile(r"StubException: The interpreter could not start; its start-up modules "
                       r"come from lib\.dll or python311\.zip beside the executable \(.+\)  "
                       r"\(.*main\.cpp:\d+\)")])

    def test_a_missing_boot_script(self):
        sandbox = WineSandbox.for_test(self)
        app = sandbox.make_app(no_script=True)
        self.assertRunBlockFailure(sandbox.run(app), meta_lines(app.strings) + [
            working_directory_line(app.folder), "Traceback",
            re.compile(r"StubException: FindResource failed 1813  \(.*util\.cpp:\d+\)")])

    def test_each_broken_boot_script_ends_abnormally_with_its_error(self):
        cases = {
            "empty": (b"", "ValueError: "),
            "header only": (HEADER, "EOFError: "),
            "garbage": (HEADER + b"\xfe\x01 not marshal data", "ValueError: "),
            "not a code object": (HEADER + marshal.dumps(42), "TypeError: "),
        }
        sandbox = WineSandbox.for_test(self)
        for case, (plain, error) in cases.items():
            with self.subTest(case):
                app = sandbox.make_app(raw_script=mkapp.scramble(plain))
                run = sandbox.run(app)
                self.assertEqual(run.exit_code, 1)
                self.assertLines(run.single_log().lines, startup_lines(app) + ERROR_END_HEAD
                                 + [re.compile(re.escape(error) + ".+\r")] + ERROR_END_TAIL)

    def test_a_script_error_and_a_system_exit_end_with_1_and_the_traceback(self):
        sandbox = WineSandbox.for_test(self)
        for raised, last in {"RuntimeError('Fehlschlag ✓')": "RuntimeError: Fehlschlag ✓",
                             "SystemExit(5)": "SystemExit: 5"}.items():
            with self.subTest(raised):
                app = sandbox.make_app(boot_source=(
                    "import stub\nstub.log('before the error')\nraise %s\n" % raised))
                run = sandbox.run(app)
                self.assertEqual(run.exit_code, 1)
                # The capture turns the interpreter's line feeds into CR LF, as
                # the launcher's text-mode stream does.
                self.assertLines(run.single_log().lines, startup_lines(app) + ["before the error"]
                                 + ERROR_END_HEAD + traceback_lines(3, last) + ERROR_END_TAIL)


class LogToMemoryTest(WineTestCase):

    SCRIPT = ("import os, stub\n"
              "stub.log('log file exists: %s' % os.path.exists(stub.get_log_path()))\n")

    def test_only_true_keeps_the_log_in_memory_until_the_exit(self):
        sandbox = WineSandbox.for_test(self)
        for value, exists in (("true", "False"), ("True", "True"), ("false", "True")):
            with self.subTest(value):
                app = sandbox.make_app(config={"__log_to_memory": value}, boot_source=self.SCRIPT)
                run = sandbox.run(app)
                self.assertEqual(run.exit_code, 0)
                self.assertLines(run.single_log().lines, startup_lines(app)
                                 + ["log file exists: " + exists] + NORMAL_END)


STUB_SCRIPT = r"""
import stub, sys
stub.log("main module: " + stub.get_main_module())
stub.log("archive: " + stub.get_archive_name())
stub.log("argv: %r" % (stub.get_argv(),))
path = stub.get_log_path()
stub.log("log path: " + path)
secret = b"some bytes \x00\xff to hide"
hidden = stub.crypt(secret)
stub.log("crypt changes: %s, twice restores: %s" % (hidden != secret, stub.crypt(hidden) == secret))
stub.log("check_dll: %r" % ((stub.check_dll("kernel32.dll"), stub.check_dll("no-such-library.dll")),))
stub.log(b"raw \xe2\x9c\x93 bytes")
stub.set_upload_logs(0)
stub.set_keep_logs(1)
"""


class StubModuleTest(WineTestCase):

    def test_each_function_of_the_module(self):
        sandbox = WineSandbox.for_test(self)
        app = sandbox.make_app(boot_source=STUB_SCRIPT, config={"__main_script": "shop.main"})
        run = sandbox.run(app, ["first", "zwei wörter", "--x=1"])
        self.assertEqual(run.exit_code, 0, run.single_log().text)
        log = run.single_log()
        body = log.lines[len(startup_lines(app)):-len(NORMAL_END)]
        self.assertEqual(len(body), 9, body)
        self.assertEqual(body[:2], ["main module: shop.main", "archive: lib.dll"])
        self.assertRegex(body[2], r"\Aargv: \['[^']*app\.exe', 'first', 'zwei wörter', '--x=1'\]\Z")
        self.assertEqual(body[3], "log path: C:\\users\\%s\\AppData\\Roaming\\%s\\%s\\logs\\%s"
                         % (getpass.getuser(), app.strings["__company"], app.product, log.name))
        self.assertEqual(body[4], "crypt changes: True, twice restores: True")
        self.assertEqual(body[5], "check_dll: (0, 126)")  # ERROR_MOD_NOT_FOUND
        self.assertEqual(body[6:], ["raw ✓ bytes", stub("Setting upload_logs flag to false"),
                                    stub("Setting keep_logs flag to true")])
        # upload off, keep on: the log stays where it was written
        self.assertEqual(len(sandbox.read_logs(app)), 1)


class CrtExitTest(WineTestCase):

    def test_crt_exit_from_another_thread(self):
        # The main thread sleeps past the exit, blocks on a lock, or joins
        # the exiting thread (threading comes from the application's lib.dll).
        sandbox = WineSandbox.for_test(self)
        on_thread = "_thread.start_new_thread(stub.crt_exit, (3,))"
        with_threading = {"app_dir": sandbox.write_app_dir({"waiter.py": "import threading\n"}),
                          "config": {"__main_script": "waiter"}}
        for start, wait, placed in ((on_thread, "time.sleep(3)", {}),
                                    (on_thread, "ended.acquire()", {}),
                                    ("import threading\n"
                                     "worker = threading.Thread(target=stub.crt_exit, args=(3,))\n"
                                     "worker.start()", "worker.join()", with_threading)):
            with self.subTest(wait=wait):
                app = sandbox.make_app(boot_source=(
                    "import _thread, stub, time\n"
                    "ended = _thread.allocate_lock()\nended.acquire()\n"
                    "%s\n%s\nstub.log('main thread went on')\n" % (start, wait)), **placed)
                run = sandbox.run(app)
                self.assertEqual(run.exit_code, 3)
                lines = run.single_log().lines
                self.assertEqual(lines[-1], stub("Closing log"))
                self.assertNotIn("main thread went on", lines)

    def test_crt_exit_ends_the_process_with_its_status_after_the_clean_up(self):
        sandbox = WineSandbox.for_test(self)
        app = sandbox.make_app(boot_source="import stub\nstub.log('leaving')\nstub.crt_exit(3)\n"
                                           "stub.log('never')\n")
        run = sandbox.run(app)
        self.assertEqual(run.exit_code, 3)
        lines = run.single_log().lines
        self.assertEqual(lines[:len(startup_lines(app)) + 1], startup_lines(app) + ["leaving"])
        self.assertNotIn("never", lines)
        self.assertEqual(lines[-1], stub("Closing log"))
        self.assertIn(stub("Cleaning up"), lines)


TEN_MEGABYTES = "('0123456789abcdef' * 64 + '\\n') * 10240"


class StderrCaptureTest(WineTestCase):

    def test_ten_megabytes_on_stderr_neither_hang_nor_get_lost(self):
        sandbox = WineSandbox.for_test(self)
        app = sandbox.make_app(boot_source="import sys\nsys.stderr.write(%s)\nraise KeyError('end')\n"
                                           % TEN_MEGABYTES)
        run = sandbox.run(app, timeout=300)
        self.assertEqual(run.exit_code, 1)
        data = run.single_log().data
        line = b"0123456789abcdef" * 64 + b"\r\n"
        self.assertEqual(data.count(line), 10240)
        self.assertIn(b"KeyError: 'end'\r\n", data)
        self.assertTrue(data.endswith(b"STUB:stub:Closing log\n"))

    def test_output_without_an_error_reaches_the_log(self):
        sandbox = WineSandbox.for_test(self)
        app = sandbox.make_app(boot_source="import sys\nsys.stderr.write('just a note\\n')\n")
        run = sandbox.run(app)
        self.assertEqual(run.exit_code, 0)
        self.assertLines(run.single_log().lines, startup_lines(app) + NORMAL_END[:3] + [
            stub("Contents of python stderr:"), "just a note\r"] + NORMAL_END[3:])


class ConcurrentRunTest(WineTestCase):

    def test_two_instances_at_once_write_two_whole_logs(self):
        sandbox = WineSandbox.for_test(self)
        app = sandbox.make_app(boot_source=(
            "import stub, time\nstub.log('started')\ntime.sleep(2)\nstub.log('done')\n"))
        processes = [sandbox.start(app) for _ in range(2)]
        for process in processes:
            process.communicate(timeout=120)
            self.assertEqual(process.returncode, 0)
        logs = sandbox.read_logs(app)
        self.assertEqual(len(logs), 2, [log.name for log in logs])
        for log in logs:
            self.assertLines(log.lines, startup_lines(app) + ["started", "done"] + NORMAL_END)


class StandardHandleTest(WineTestCase):
    """A launcher started with its output redirected to a regular file: Wine's
    handles onto host files cannot be examined as Windows files, and the
    interpreter would refuse to start with them."""

    def test_output_redirected_to_a_file_still_runs(self):
        sandbox = WineSandbox.for_test(self)
        app = sandbox.make_app(boot_source="import stub, sys\nprint('to stdout')\n"
                                           "stub.log('stdout is %s' % type(sys.stdout).__name__)\n")
        for redirected in ("stdout", "stderr", "stdin"):
            with self.subTest(redirected):
                clear_logs(sandbox, app)
                target = sandbox.root / ("%s.txt" % redirected)
                target.write_bytes(b"")
                with open(target, "r+b") as file:
                    run = sandbox.run(app, **{redirected: file})
                self.assertEqual(run.exit_code, 0, run.stderr)
                self.assertLines(run.single_log().lines, startup_lines(app)
                                 + [re.compile(r"stdout is \w+")] + NORMAL_END)

    def test_a_shell_redirection_of_every_handle(self):
        sandbox = WineSandbox.for_test(self)
        app = sandbox.make_app()
        out = sandbox.root / "out.txt"
        command = " ".join("'%s'" % part for part in sandbox.command(app))
        result = subprocess.run(["/bin/sh", "-c", "%s > '%s' 2>&1 < '%s'" % (command, out, out)],
                                cwd=sandbox.root, env=wine_environment(),
                                timeout=120)
        self.assertEqual(result.returncode, 0)
        self.assertLines(sandbox.read_logs(app)[0].lines,
                         startup_lines(app) + ["boot script ran"] + NORMAL_END)


if __name__ == "__main__":
    unittest.main()
