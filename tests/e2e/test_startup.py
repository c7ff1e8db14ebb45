"""End-to-end tests of a launcher run: the start-up sequence line by line,
failures of the configuration and of the run block, broken boot scripts and
the two kinds of log (straight to the file, or kept in memory until exit)."""

import dataclasses
import datetime
import marshal
import os
import re
import shutil
import unittest

from expected import (ERROR_END_HEAD, ERROR_END_TAIL, HEADER, NORMAL_END, LauncherTestCase,
                      Sandbox, clear_logs, location, log_name_time,
                      make_boot_script_overrun_image, meta_lines, run_command, startup_lines,
                      stub, tracer_can_inject_faults, utc_now_to_the_millisecond,
                      working_directory_line)
from harness import mkapp


class NormalRunTest(LauncherTestCase):
    """One typical run, examined from several sides."""

    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox.for_test(cls)
        cls.app = cls.sandbox.make_app(boot_source=(
            "import stub\n"
            "stub.log('application line one')\n"
            "stub.log('Grüße aus der Anwendung ✓')\n"))
        cls.before = utc_now_to_the_millisecond()
        cls.run_result = cls.sandbox.run(cls.app)
        cls.after = datetime.datetime.now(datetime.timezone.utc)

    def test_the_log_holds_the_whole_run_line_by_line(self):
        log = self.run_result.single_log()
        self.assertLines(log.lines, startup_lines(self.app)
                         + ["application line one", "Grüße aus der Anwendung ✓"] + NORMAL_END)

    def test_the_run_succeeds_silently(self):
        self.assertEqual(self.run_result.exit_code, 0)
        self.assertEqual(self.run_result.stdout, "")
        self.assertEqual(self.run_result.stderr, "")

    def test_the_file_is_named_after_the_utc_start_time(self):
        started = log_name_time(self.run_result.single_log().name)
        self.assertGreaterEqual(started, self.before)
        self.assertLessEqual(started, self.after)

    def test_lines_end_in_a_bare_line_feed_without_byte_order_mark(self):
        data = self.run_result.single_log().data
        self.assertFalse(data.startswith(b"\xef\xbb\xbf"))
        self.assertNotIn(b"\r", data)
        self.assertTrue(data.endswith(b"Closing log\n"))

    def test_the_log_lies_in_the_product_folder_of_the_data_folder(self):
        self.assertEqual(sorted(os.listdir(self.sandbox.data_home)), ["MendrixSoftware"])
        self.assertEqual(self.run_result.log_dir,
                         self.sandbox.data_home / "MendrixSoftware" / "Mendrix" / "logs")


class ConfigurationValueTest(LauncherTestCase):

    def test_non_ascii_values_reach_the_record_and_the_log_folder(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(config={"__company": "Société Générale",
                                       "__product": "Prödukt ✓", "FileVersion": "2.5.0.1-β"})
        run = sandbox.run(app)
        self.assertEqual(run.exit_code, 0)
        self.assertTrue(run.log_dir.is_dir())  # data/Société Générale/Prödukt ✓/logs
        lines = run.single_log().lines
        self.assertEqual(lines[:2], ["META:stub:version = 2.5.0.1-β",
                                     "META:stub:product = Prödukt ✓"])

    def test_an_empty_version_ends_its_line_after_the_label(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(config={"FileVersion": ""})
        run = sandbox.run(app)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.single_log().lines[0], "META:stub:version = ")


class ConfigurationFailureTest(LauncherTestCase):
    """Failures before the log is open reach the user as the message box
    (standard error here), exit code 1, and leave no log behind."""

    def test_each_missing_key_is_fatal(self):
        sandbox = Sandbox.for_test(self)
        for key in mkapp.CONFIG_KEYS:
            with self.subTest(missing=key):
                app = sandbox.make_app(omit=[key], name="app-without" + key)
                run = sandbox.run(app)
                self.assertMessageBox(run, "VerQueryValue failed with error code 1813",
                                      "AppString.cpp")
                self.assertNoLogAtAll(sandbox, run)

    def test_a_string_table_of_another_block_is_fatal(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(block="040904E4")  # US English, code page 1252
        run = sandbox.run(app)
        self.assertMessageBox(run, "VerQueryValue failed with error code 1813", "AppString.cpp")
        self.assertNoLogAtAll(sandbox, run)

    def test_an_executable_without_version_resource_is_fatal(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(no_version_info=True)
        run = sandbox.run(app)
        self.assertMessageBox(run, "Could not initialize AppStrings, "
                                   "GetFileVersionInfoSize failed with error code 1813",
                              "AppString.cpp")
        self.assertNoLogAtAll(sandbox, run)

    def test_a_missing_data_home_is_made_private(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app()
        missing = sandbox.root / "no-such-folder" / "data"
        run = sandbox.run(app, env={"XDG_DATA_HOME": str(missing)})
        self.assertEqual(run.exit_code, 0, run.stderr)
        for folder in (sandbox.root / "no-such-folder", missing):
            self.assertEqual(folder.stat().st_mode & 0o777, 0o700, folder)
        logs = missing / app.strings["__company"] / app.strings["__product"] / "logs"
        self.assertEqual(len(list(logs.glob("*.log"))), 1)

    def test_a_data_home_that_cannot_be_made_is_fatal(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app()
        (sandbox.root / "a-file").write_text("in the way")
        run = sandbox.run(app, env={"XDG_DATA_HOME": str(sandbox.root / "a-file" / "data")})
        self.assertMessageBox(run, "CreateDirectory failed 3", "util.cpp")

    def test_an_executable_path_longer_than_its_buffer_is_fatal(self):
        # The module file name buffer holds 771 characters: a longer path
        # would be cut to the name of some other file.
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app()
        deep = app.folder
        while len(str(deep)) < 800:
            deep = deep / ("d" * 100)
        deep.mkdir(parents=True)
        moved = deep / app.executable.name
        app.executable.rename(moved)
        run = sandbox.run(dataclasses.replace(app, executable=moved))
        self.assertMessageBox(run, "GetModuleFileNameW failed with error code 122", "util.cpp")


class RunBlockFailureTest(LauncherTestCase):
    """Failures after the log is open go to the log as "Traceback" and
    "StubException: ..."; the user sees nothing."""

    def assertRunBlockFailure(self, run, lines):
        self.assertEqual(run.exit_code, 1)
        self.assertEqual((run.stdout, run.stderr), ("", ""))
        self.assertLines(run.single_log().lines,
                         lines + [stub("Cleaning up"), stub("Closing log")])

    def test_a_missing_boot_script(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(no_script=True)
        run = sandbox.run(app)
        self.assertRunBlockFailure(run, meta_lines(app.strings) + [
            working_directory_line(app.folder),
            "Traceback",
            re.compile("StubException: FindResource failed 1813" + location("util.cpp"))])

    def test_a_boot_script_that_cannot_be_loaded(self):
        sandbox = Sandbox.for_test(self)
        for claimed in (None, 0xFFFFFFFF):
            with self.subTest(claimed_size=claimed):
                app = sandbox.make_app()
                make_boot_script_overrun_image(app.executable, claimed)
                clear_logs(sandbox, app)
                run = sandbox.run(app)
                self.assertRunBlockFailure(run, meta_lines(app.strings) + [
                    working_directory_line(app.folder),
                    stub("Loading boot script resource"),
                    stub("Failed to load boot script resource"),
                    "Traceback",
                    re.compile("StubException: LoadResource failed 13" + location("util.cpp"))])

    def test_a_folder_without_its_startup_modules(self):
        # The interpreter would otherwise end the process with a fatal error
        # inside its start-up, leaving the log without an end.
        sandbox = Sandbox.for_test(self)
        for archive in (None, b"not an archive"):
            with self.subTest(archive=archive):
                app = sandbox.make_app()
                if archive is None:
                    (app.folder / "lib.dll").unlink()
                else:
                    (app.folder / "lib.dll").write_bytes(archive)
                clear_logs(sandbox, app)
                run = sandbox.run(app)
                self.assertEqual(run.exit_code, 1)
                self.assertNotIn("Fatal Python error", run.stderr)
                lines = startup_lines(app)
                self.assertLines(run.single_log().lines, lines[:lines.index(
                    stub("Calling Py_Initialize")) + 1] + [
                    "Traceback",
                    re.compile("StubException: The interpreter could not start; its start-up "
                               r"modules come from lib\.dll beside the executable \(.+\)"
                               + location("main.cpp")),
                    stub("Cleaning up"), stub("Closing log")])

    def test_a_working_directory_that_cannot_be_entered(self):
        # Permissions cannot make the folder unusable here: the tests run as
        # root, and a folder that the launcher may not enter would not let it
        # read its own configuration either. The tracer makes the change of
        # directory fail with "permission denied" instead.
        if not tracer_can_inject_faults():
            self.skipTest("strace with fault injection is not available")
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app()
        run = run_command(sandbox, app, [shutil.which("strace"), "-o", os.devnull,
                                         "-e", "trace=chdir", "-e", "inject=chdir:error=EACCES",
                                         app.executable])
        self.assertRunBlockFailure(run, meta_lines(app.strings) + [
            working_directory_line(app.folder),
            "Traceback",
            re.compile("StubException: Failed to set current working directory"
                       + location("main.cpp"))])


class BrokenBootScriptTest(LauncherTestCase):
    """A boot script that yields no code object ends the evaluation with the
    interpreter's error: never a crash."""

    CASES = {
        "empty": (b"", "ValueError: "),
        "shorter than its header": (HEADER[:5], "ValueError: "),
        "header only": (HEADER, "EOFError: "),
        "garbage": (HEADER + b"\xfe\x01 not marshal data", "ValueError: "),
        "not a code object": (HEADER + marshal.dumps(42), "TypeError: "),
        "a tuple": (HEADER + marshal.dumps((1, "two", b"3")), "TypeError: "),
    }

    def test_each_broken_script_ends_abnormally_with_its_error_in_the_log(self):
        sandbox = Sandbox.for_test(self)
        for case, (plain, error) in self.CASES.items():
            with self.subTest(case):
                app = sandbox.make_app(raw_script=mkapp.scramble(plain),
                                       name=case.replace(" ", "-"))
                clear_logs(sandbox, app)
                run = sandbox.run(app)
                self.assertEqual(run.exit_code, 1)
                self.assertEqual((run.stdout, run.stderr), ("", ""))
                lines = run.single_log().lines
                self.assertLines(lines, startup_lines(app) + ERROR_END_HEAD
                                 + [re.compile(re.escape(error) + ".+")] + ERROR_END_TAIL)

    def test_the_header_bytes_are_never_read(self):
        sandbox = Sandbox.for_test(self)
        code = compile("import stub\nstub.log('ran past a garbage header')\n", "boot.py", "exec")
        app = sandbox.make_app(raw_script=mkapp.scramble(b"\xff" * 8 + marshal.dumps(code)))
        run = sandbox.run(app)
        self.assertEqual(run.exit_code, 0)
        self.assertLines(run.single_log().lines,
                         startup_lines(app) + ["ran past a garbage header"] + NORMAL_END)


LOG_KIND_SCRIPT = """\
import os, stub, time
started = time.time()
path = stub.get_log_path()
stub.log("log file exists: %s" % os.path.exists(path))
stub.log("log folder exists: %s" % os.path.isdir(os.path.dirname(path)))
stub.log("started: %r" % started)
stub.log("path: " + path)
time.sleep(0.05)
"""

SAME_LINES_SCRIPT = """\
import stub, sys
stub.log("plain")
stub.log("")
stub.log("ünïcödé ✓")
stub.log(b"raw \\xff\\xfe bytes")
stub.set_keep_logs(1)
sys.stderr.write("a note on stderr\\n")
raise LookupError("the end")
"""


class LogKindTest(LauncherTestCase):
    """__log_to_memory "true", exactly, keeps the log in memory until exit."""

    KINDS = {"true": True, "True": False, " true": False, "true ": False, "TRUE": False,
             "false": False, "yes": False}

    def test_only_true_keeps_the_log_in_memory_during_the_run(self):
        sandbox = Sandbox.for_test(self)
        for value, in_memory in self.KINDS.items():
            with self.subTest(log_to_memory=value):
                app = sandbox.make_app(config={"__log_to_memory": value},
                                       boot_source=LOG_KIND_SCRIPT)
                clear_logs(sandbox, app)
                before = utc_now_to_the_millisecond()
                run = sandbox.run(app)
                self.assertEqual(run.exit_code, 0)
                log = run.single_log()
                lines = log.lines
                self.assertLines(lines, startup_lines(app) + [
                    "log file exists: %s" % (not in_memory),
                    "log folder exists: %s" % (not in_memory),
                    re.compile(r"started: [0-9.e+]+"),
                    "path: %s" % (run.log_dir / log.name)] + NORMAL_END)
                # Either kind names the file after the start of the run,
                # before the script began, not after the time of writing.
                started = datetime.datetime.fromtimestamp(
                    float(lines[-len(NORMAL_END) - 2].split(": ")[1]), datetime.timezone.utc)
                self.assertGreaterEqual(log_name_time(log.name), before)
                self.assertLessEqual(log_name_time(log.name), started)

    def test_the_memory_log_is_what_the_file_log_would_be(self):
        sandbox = Sandbox.for_test(self)
        logs = {}
        for value in ("true", "false"):
            app = sandbox.make_app(config={"__log_to_memory": value},
                                   boot_source=SAME_LINES_SCRIPT)
            clear_logs(sandbox, app)
            run = sandbox.run(app)
            self.assertEqual(run.exit_code, 1)
            log = run.single_log()
            logs[value] = log.data.replace(os.path.realpath(app.folder).encode(), b"<folder>")
        self.assertIn(b"\nraw \xff\xfe bytes\n", logs["false"])
        self.assertIn(b"\na note on stderr\nTraceback (most recent call last):\n", logs["false"])
        self.assertEqual(logs["true"], logs["false"])

    def test_a_memory_log_that_cannot_be_saved_does_not_break_the_exit(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(config={"__log_to_memory": "true"})
        (sandbox.root / "a-file").write_text("in the way")
        run = sandbox.run(app, env={"XDG_DATA_HOME": str(sandbox.root / "a-file" / "data")})
        self.assertEqual(run.exit_code, 0)
        self.assertEqual((run.stdout, run.stderr), ("", ""))
        self.assertEqual((sandbox.root / "a-file").read_text(), "in the way")


if __name__ == "__main__":
    unittest.main()
