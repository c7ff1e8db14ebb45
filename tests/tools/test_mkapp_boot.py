"""Tests of the boot scripts the build tool compiles: the standard boot
script (the main module run as `python app.py` would run it) and the
runtime hooks' imports placed before a script's own code. The scripts run
under python3.11 with a stand-in for the launcher's native module."""

import subprocess
import sysconfig
import textwrap
import unittest

from tooltest import PYTHON, STUB_RUNNER, ToolTestCase, mkapp

from mkapp.bootscript import STANDARD_BOOT_SOURCE, boot_script_bytes


# The stand-in run with the build machine's standard library after the
# launcher's path: these tests need no lib.dll.
RUNNER = STUB_RUNNER.replace('sys.path[:] = ["lib.dll", "."]',
                             'sys.path[:] = ["lib.dll", ".", %r]' % sysconfig.get_paths()["stdlib"])


class BootScriptTestCase(ToolTestCase):
    def run_boot(self, source, main_module, *args, hooks=(), filename="boot.py"):
        if isinstance(source, str):
            source = source.encode("utf-8")
        plain = boot_script_bytes(source, filename, hooks)
        return subprocess.run([PYTHON, "-I", "-S", "-c", RUNNER, main_module, *args],
                              input=plain[8:], capture_output=True, cwd=self.dir)


class StandardBootScriptTest(BootScriptTestCase):
    def test_main_module_runs_as_main_with_the_command_line(self):
        self.write("tool_main.py", textwrap.dedent("""\
            import pickle, sys
            def square(x):
                return x * x
            if __name__ == "__main__":
                assert sys.modules["__main__"].square is square
                assert pickle.loads(pickle.dumps(square))(4) == 16
                print("main", sys.argv, __spec__.name, __file__.endswith("tool_main.py"))
        """))
        result = self.run_boot(STANDARD_BOOT_SOURCE, "tool_main", "--flag", "é")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(result.stdout.decode(),
                         "main ['app', '--flag', 'é'] tool_main True\n")

    def test_system_exit_codes_become_the_exit_status(self):
        cases = {"sys.exit(3)": (3, b""), "sys.exit()": (0, b""), "sys.exit(None)": (0, b""),
                 "sys.exit('bad input')": (1, b"bad input\n"), "sys.exit(-1)": (255, b""),
                 "raise SystemExit(2 ** 32 + 4)": (4, b"")}
        for statement, (status, stderr) in cases.items():
            with self.subTest(statement):
                self.write("exiting.py", "import sys\n" + statement + "\n")
                result = self.run_boot(STANDARD_BOOT_SOURCE, "exiting")
                self.assertEqual(result.returncode, status, result.stderr.decode())
                self.assertIn("crt_exit:", result.stdout.decode())
                self.assertEqual(result.stderr, stderr)

    def test_other_errors_reach_the_launcher_with_the_applications_traceback(self):
        self.write("failing.py", "x = 1\nraise ValueError('broken on line 2')\n")
        result = self.run_boot(STANDARD_BOOT_SOURCE, "failing")
        self.assertEqual(result.returncode, 1)
        self.assertNotIn(b"crt_exit", result.stdout)
        self.assertIn(b'failing.py", line 2, in <module>', result.stderr)
        self.assertIn(b"ValueError: broken on line 2", result.stderr)

    def test_a_package_runs_its_main_module(self):
        self.write("tool_pkg/__init__.py", "print('package')\n")
        self.write("tool_pkg/__main__.py", "print('main of', __spec__.name, __name__)\n")
        result = self.run_boot(STANDARD_BOOT_SOURCE, "tool_pkg")
        self.assertEqual(result.stdout.decode(), "package\nmain of tool_pkg.__main__ __main__\n",
                         result.stderr.decode())

    def test_a_main_module_that_is_not_there(self):
        result = self.run_boot(STANDARD_BOOT_SOURCE, "no_such_main_module")
        self.assertIn(b"ModuleNotFoundError: No module named 'no_such_main_module'",
                      result.stderr)


class HookImportTest(BootScriptTestCase):
    USER_SCRIPT = textwrap.dedent('''\
        """The user's boot script."""
        from __future__ import annotations
        import sys
        print("script", __doc__, [name for name in sys.modules if name.startswith("_hook_")])
        raise RuntimeError("line 5")
    ''')

    def test_hooks_run_first_in_order_and_line_numbers_stay(self):
        self.write("_hook_b.py", "print('hook b')\n")
        self.write("_hook_a.py", "print('hook a')\n")
        result = self.run_boot(self.USER_SCRIPT, "unused", hooks=["_hook_b", "_hook_a"])
        self.assertEqual(result.stdout.decode().splitlines(),
                         ["hook b", "hook a",
                          "script The user's boot script. ['_hook_b', '_hook_a']"])
        self.assertIn(b'File "boot.py", line 5, in <module>', result.stderr)

    def test_no_hooks_compiles_the_script_unchanged(self):
        source = self.USER_SCRIPT.encode()
        self.assertEqual(boot_script_bytes(source, "boot.py"),
                         mkapp.compile_boot_source(source, "boot.py"))

    def test_a_script_of_only_a_docstring_or_nothing(self):
        self.write("_hook_a.py", "print('hook a')\n")
        for source in ('"""Only a docstring."""\n', ""):
            with self.subTest(source=source):
                result = self.run_boot(source, "unused", hooks=["_hook_a"])
                self.assertEqual(result.stdout, b"hook a\n", result.stderr.decode())

    def test_syntax_errors_are_one_line_build_errors(self):
        with self.assertRaisesRegex(mkapp.BuildError, r"^boot\.py:2: "):
            boot_script_bytes(b"x = 1\ny = (\n", "boot.py", ["_hook_a"])


if __name__ == "__main__":
    unittest.main()
