"""The runtime hooks of tools/mkapp/hooks, loaded as the frozen application
loads them (a module of its own, the launcher's `stub` beside it), with a
stand-in for `stub`. What the hooks do in a real frozen run is tested by
the test_frozen_* files."""

import importlib.util
import os
import shutil
import sys
import tempfile
import types
import unittest
from pathlib import Path
from unittest import mock

HOOKS_DIR = Path(__file__).resolve().parents[2] / "tools" / "mkapp" / "hooks"


class StubStandIn(types.ModuleType):
    def __init__(self, argv):
        super().__init__("stub")
        self.argv = list(argv)
        self.exit_status = None

    def get_argv(self):
        return list(self.argv)

    def crt_exit(self, status):
        self.exit_status = status
        raise SystemExit("crt_exit(%d)" % status)


def load_hook(trigger, argv=("app",)):
    """Imports hook `trigger` as module _hook_<trigger>; returns it and the
    stand-in of stub that it saw."""
    stub = StubStandIn(argv)
    spec = importlib.util.spec_from_file_location("_hook_" + trigger, HOOKS_DIR / (trigger + ".py"))
    module = importlib.util.module_from_spec(spec)
    with mock.patch.dict(sys.modules, {"stub": stub}):
        spec.loader.exec_module(module)
    return module, stub


def load_hook_quietly(trigger, argv=("app",), environment=None):
    """load_hook in an environment of its own (the hook of child processes
    marks the environment). A hook that ends the process leaves its exit
    status in the stand-in of stub."""
    stub = StubStandIn(argv)
    spec = importlib.util.spec_from_file_location("_hook_" + trigger, HOOKS_DIR / (trigger + ".py"))
    module = importlib.util.module_from_spec(spec)
    saved_argv = sys.argv
    try:
        with mock.patch.dict(os.environ, environment or {}, clear=True), \
                mock.patch.dict(sys.modules, {"stub": stub}):
            spec.loader.exec_module(module)
    except SystemExit:
        pass
    finally:
        sys.argv = saved_argv
    return module, stub


class ChildProcessHookTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.hook, cls.stub = load_hook_quietly("subprocess")
        cls.folder = Path(tempfile.mkdtemp(prefix="helper-hook-"))
        cls.addClassCleanup(shutil.rmtree, cls.folder, ignore_errors=True)
        (cls.folder / "script.py").write_text("")
        (cls.folder / "notes.txt").write_text("Dear Sir,\n")
        (cls.folder / "tool").write_text("#!/usr/bin/python3\nimport sys\n")
        (cls.folder / "pack").mkdir()
        (cls.folder / "pack" / "__main__.py").write_text("")

    def parse(self, *args):
        command = self.hook.parse_command_line(list(args), str(self.folder))
        return command and (command.kind, command.target, command.args, command.options)

    def test_interpreter_command_lines(self):
        self.assertEqual(self.parse("-u", "-B", "-m", "pkg.helper", "-c", "x"),
                         ("m", "pkg.helper", ["-c", "x"], [("u", None), ("B", None)]))
        self.assertEqual(self.parse("-I", "-X", "faulthandler", "-Wd", "-c", "print(1)", "a"),
                         ("c", "print(1)", ["a"],
                          [("I", None), ("X", "faulthandler"), ("W", "d")]))
        self.assertEqual(self.parse("-OOc", "x"), ("c", "x", [], [("O", None), ("O", None)]))
        self.assertEqual(self.parse("-mpkg"), ("m", "pkg", [], []))
        self.assertEqual(self.parse("-E", "script.py", "-v"), ("script", "script.py", ["-v"],
                                                                [("E", None)]))
        self.assertEqual(self.parse("tool")[:2], ("script", "tool"))
        self.assertEqual(self.parse("pack")[:2], ("script", "pack"))
        self.assertEqual(self.parse("-", "a")[:3], ("stdin", "-", ["a"]))
        self.assertEqual(self.parse("-S")[:2], ("stdin", "-"))
        self.assertEqual(self.parse("-V")[0], "version")

    def test_the_application_s_own_command_lines(self):
        for args in ((), ("notes.txt",), ("missing.py",), ("--verbose",), ("-c",),
                     ("-u", "-k", "x"), ("-W",), ("--multiprocessing-fork", "a=1")):
            with self.subTest(args=args):
                self.assertIsNone(self.parse(*args))

    def test_only_a_child_of_the_same_executable_is_a_helper(self):
        argv = ["app", "-c", "raise SystemExit(4)"]
        _, stub = load_hook_quietly("subprocess", argv)
        self.assertIsNone(stub.exit_status)
        _, stub = load_hook_quietly("subprocess", argv,
                                    {self.hook.HELPER_VARIABLE: "/elsewhere/app"})
        self.assertIsNone(stub.exit_status)
        with mock.patch.object(os, "chdir"):
            _, stub = load_hook_quietly("subprocess", argv,
                                        {self.hook.HELPER_VARIABLE: self.hook.own_marker()})
        self.assertEqual(stub.exit_status, 4)

    def test_the_mark_set_before_os_is_imported_reaches_os_environ(self):
        import posix
        key = self.hook.HELPER_VARIABLE.encode()
        self.addCleanup(posix.environ.pop, key, None)
        self.addCleanup(posix.unsetenv, key)
        modules = {name: module for name, module in sys.modules.items() if name != "os"}
        with mock.patch.dict(sys.modules, modules, clear=True):
            hook, stub = load_hook("subprocess")
            self.assertIsNone(stub.exit_status)
            self.assertNotIn("os", sys.modules)  # the application's start did not import it
        # os.environ as an import of os makes it.
        spec = importlib.util.find_spec("os")
        fresh_os = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(fresh_os)
        self.assertEqual(fresh_os.environ.get(hook.HELPER_VARIABLE), hook.own_marker())

    def test_exit_status_of_a_system_exit_code(self):
        self.assertEqual(self.hook.exit_status(None), 0)
        self.assertEqual(self.hook.exit_status(3), 3)
        with mock.patch("sys.stderr") as stderr:
            self.assertEqual(self.hook.exit_status("worker failed"), 1)
        stderr.write.assert_any_call("worker failed")


class MultiprocessingHookTest(unittest.TestCase):
    def test_a_spawned_worker_runs_through_freeze_support(self):
        helper, _ = load_hook_quietly("subprocess")
        argv = ["app", "--multiprocessing-fork", "tracker_fd=5", "pipe_handle=9"]
        marked = {helper.HELPER_VARIABLE: helper.own_marker()}
        with mock.patch.dict(sys.modules, {"_hook_subprocess": helper}), \
                mock.patch("multiprocessing.spawn.spawn_main") as spawn_main, \
                mock.patch.object(helper, "become_helper"):
            spawn_main.side_effect = SystemExit(2)
            load_hook_quietly("multiprocessing", argv)
            spawn_main.assert_not_called()  # not started by the application
            self.assertIsNone(helper.stub.exit_status)
            load_hook_quietly("multiprocessing", argv, marked)
        spawn_main.assert_called_once_with(tracker_fd=5, pipe_handle=9)
        self.assertEqual(helper.stub.exit_status, 2)


class TkinterHookTest(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="tk-hook-"))
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.executable = self.folder / "app"
        self.executable.write_bytes(b"")

    def load(self, environment):
        with mock.patch.dict(os.environ, environment, clear=True), \
                mock.patch.object(sys, "executable", str(self.executable)):
            load_hook("tkinter")
            return {key: os.environ.get(key) for key in ("TCL_LIBRARY", "TK_LIBRARY")}

    def test_the_carried_libraries_are_named_when_the_user_named_none(self):
        for name in ("tcl8.6", "tk8.6"):
            (self.folder / "tcl" / name).mkdir(parents=True)
        self.assertEqual(self.load({}), {"TCL_LIBRARY": str(self.folder / "tcl" / "tcl8.6"),
                                         "TK_LIBRARY": str(self.folder / "tcl" / "tk8.6")})
        self.assertEqual(self.load({"TCL_LIBRARY": "/opt/tcl", "TK_LIBRARY": ""}),
                         {"TCL_LIBRARY": "/opt/tcl", "TK_LIBRARY": str(self.folder / "tcl" / "tk8.6")})

    def test_a_library_that_is_not_carried_is_not_named(self):
        (self.folder / "tcl" / "tcl8.6").mkdir(parents=True)
        self.assertEqual(self.load({}), {"TCL_LIBRARY": str(self.folder / "tcl" / "tcl8.6"),
                                         "TK_LIBRARY": None})


if __name__ == "__main__":
    unittest.main()
