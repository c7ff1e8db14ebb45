"""Tests of lib.dll: what the archive holds and that its modules import
from it alone."""

import marshal
import subprocess
import textwrap
import unittest
import zipfile

from tooltest import PYTHON, STUB_RUNNER, ToolTestCase, harness, mkapp, run_mkapp


class LibDllTest(ToolTestCase):
    @classmethod
    def setUpClass(cls):
        cls.archive, cls.report = mkapp.build_lib_dll(
            harness.EXAMPLE_APP_DIR, harness.EXAMPLE_MAIN_MODULE,
            boot_script=harness.EXAMPLE_BOOT_SCRIPT)

    def setUp(self):
        super().setUp()
        (self.dir / "lib.dll").write_bytes(self.archive)

    def run_python(self, code, *args, stdin=b""):
        return subprocess.run([PYTHON, "-I", "-S", "-c", code, *args], input=stdin,
                              capture_output=True, cwd=self.dir)

    def test_archive_holds_compiled_pure_python_modules_only(self):
        with zipfile.ZipFile(self.dir / "lib.dll") as archive:
            names = archive.namelist()
        self.assertTrue(all(name.endswith(".pyc") for name in names), names)
        for name in ("mendrix/__init__.pyc", "mendrix/outer_application.pyc",
                     "mendrix/session.pyc", "json/__init__.pyc", "textwrap.pyc",
                     "importlib/__init__.pyc"):
            self.assertIn(name, names)
        self.assertNotIn("pydoc.pyc", names)
        self.assertEqual(self.report.warnings, [])

    def test_modules_import_from_the_archive_alone(self):
        check = textwrap.dedent("""\
            import sys
            sys.path[:] = ["lib.dll"]
            import json, textwrap, collections, mendrix.session
            for module in (json, textwrap, collections, mendrix.session):
                assert module.__file__.startswith("lib.dll"), module.__file__
            print(json.dumps(mendrix.session.SessionReport(["x", "a b a"]).word_counts()))
        """)
        result = self.run_python(check)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(result.stdout.decode(), '{"a": 2, "b": 1}\n')

    def test_example_boot_script_runs_the_application(self):
        code = mkapp.unpack_boot_script(
            mkapp.scramble(mkapp.compile_boot_script(harness.EXAMPLE_BOOT_SCRIPT)))[1]
        cases = {
            (): (0, "log: Mendrix finished"),
            ("--exit", "3"): (3, "crt_exit: 3"),
            ("--bogus",): (2, "crt_exit: 2"),
            ("--no-upload", "--keep-logs"): (0, "keep_logs: 1"),
        }
        for args, (status, last_line) in cases.items():
            with self.subTest(args=args):
                result = self.run_python(STUB_RUNNER, harness.EXAMPLE_MAIN_MODULE, *args,
                                         stdin=marshal.dumps(code))
                self.assertEqual(result.returncode, status, result.stderr.decode())
                lines = result.stdout.decode().splitlines()
                self.assertEqual(lines[0], "log: boot: starting mendrix.outer_application "
                                           "from lib.dll")
                self.assertIn(last_line, lines)
        result = self.run_python(STUB_RUNNER, harness.EXAMPLE_MAIN_MODULE, "--fail",
                                 stdin=marshal.dumps(code))
        self.assertIn(b"RuntimeError: Mendrix was asked to fail", result.stderr)
        self.assertIn(b'File "mendrix/outer_application.py"', result.stderr)

    def test_packages_relative_imports_and_import_warnings(self):
        app = self.dir / "app"
        self.write("app/tool/__init__.py", "")
        self.write("app/tool/main.py", textwrap.dedent("""\
            from . import helper
            import unittest
            try:
                import mmap
            except ImportError:
                mmap = None
            try:
                import no_such_module_anywhere
            except ImportError:
                pass
            def main(argv):
                return helper.twice(len(argv))
        """))
        self.write("app/tool/helper.py", "def twice(n):\n    return 2 * n\n")
        self.write("app/standalone.py", "VALUE = 5\n")
        self.write("app/notes/readme.py", "raise SystemExit('not a package')\n")
        data, report = mkapp.build_lib_dll(app, "tool.main", self.dir / "out" / "lib.dll")
        names = zipfile.ZipFile(self.dir / "out" / "lib.dll").namelist()
        self.assertEqual((self.dir / "out" / "lib.dll").read_bytes(), data)
        for name in ("tool/__init__.pyc", "tool/main.pyc", "tool/helper.pyc",
                     "standalone.pyc", "unittest/__init__.pyc"):
            self.assertIn(name, names)
        self.assertFalse(any(name.startswith(("notes/", "mmap")) for name in names))
        # mmap is an extension module: it goes beside the executable, not into lib.dll.
        self.assertEqual(report.warnings,
                         ["no_such_module_anywhere (optional), imported by tool.main"])
        result = self.run_python("import sys; sys.path[:] = ['out/lib.dll']\n"
                                 "import tool.main, standalone\n"
                                 "print(tool.main.main([1, 2, 3]) + standalone.VALUE)")
        self.assertEqual(result.stdout, b"11\n", result.stderr.decode())

    def test_main_module_must_be_in_the_application_folder(self):
        result = run_mkapp("--launcher", self.launcher, "-o", self.out / "app",
                           "--app", harness.EXAMPLE_APP_DIR, "--main-module", "mendrix.missing")
        self.assertIn("main module mendrix.missing", self.assert_clean_failure(result, 1))


if __name__ == "__main__":
    unittest.main()
