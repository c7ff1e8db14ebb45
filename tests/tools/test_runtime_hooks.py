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


RESOURCE_TRACKER = "from multiprocessing.resource_tracker import main;main(7)"
FORK_SERVER = ("from multiprocessing.forkserver import main; "
               "main(5, 6, ['__main__'], **{'sys_path': ['lib.dll', '.'], 'main_path': None})")


class MultiprocessingHookTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.hook, cls.stub = load_hook("multiprocessing", ["app", "--verbose", "-c", "x"])

    def test_the_application_s_own_command_line_is_left_alone(self):
        self.assertIsNone(self.stub.exit_status)
        for argv in (["app"], ["app", "--verbose"], ["app", "-c", "config.ini"],
                     ["app", "-c", "import os; os.getcwd()"],
                     ["app", "report.txt", "-c", RESOURCE_TRACKER]):
            with self.subTest(argv=argv):
                self.assertIsNone(self.hook.run_child(argv))

    def test_the_interpreter_command_follows_the_options_multiprocessing_passes(self):
        command = self.hook.interpreter_command
        self.assertEqual(command(["app", "-c", RESOURCE_TRACKER]), RESOURCE_TRACKER)
        self.assertEqual(command(["app", "-S", "-E", "-s", "-c", "x"]), "x")
        self.assertEqual(command(["app", "-W", "ignore", "-X", "utf8", "-OO", "-c", "x"]), "x")
        self.assertIsNone(command(["app", "-S", "-c"]))
        self.assertIsNone(command(["app", "-S", "file.py", "-c", "x"]))
        self.assertIsNone(command(["app"]))

    def test_only_the_children_s_own_calls_are_recognised(self):
        call = self.hook.child_main_call
        self.assertEqual(call(RESOURCE_TRACKER), ("multiprocessing.resource_tracker", [7], {}))
        self.assertEqual(call(FORK_SERVER),
                         ("multiprocessing.forkserver", [5, 6, ["__main__"]],
                          {"sys_path": ["lib.dll", "."], "main_path": None}))
        for command in (
                "from multiprocessing.resource_tracker import main;main(__import__('os').getpid())",
                "from multiprocessing.resource_tracker import main;main(7);main(8)",
                "from multiprocessing.resource_tracker import main as run;run(7)",
                "from multiprocessing.resource_tracker import main, os;main(7)",
                "from os import main;main(7)",
                "from .resource_tracker import main;main(7)",
                "import multiprocessing.resource_tracker;main(7)",
                "from multiprocessing.resource_tracker import main;other(7)",
                "from multiprocessing.resource_tracker import main;main(**x)",
                "from multiprocessing.resource_tracker import main;main(",
                "config.ini"):
            with self.subTest(command=command):
                self.assertIsNone(call(command))

    def test_exit_status_of_a_system_exit_code(self):
        self.assertEqual(self.hook.exit_status(None), 0)
        self.assertEqual(self.hook.exit_status(3), 3)
        with mock.patch("sys.stderr") as stderr:
            self.assertEqual(self.hook.exit_status("worker failed"), 1)
        stderr.write.assert_any_call("worker failed")

    def test_a_child_ends_the_process_with_its_status(self):
        with mock.patch("multiprocessing.resource_tracker.main") as tracker_main:
            tracker_main.side_effect = SystemExit(4)
            _, stub = self.load_child(["app", "-S", "-E", "-c", RESOURCE_TRACKER])
        tracker_main.assert_called_once_with(7)
        self.assertEqual(stub.exit_status, 4)
        with mock.patch("multiprocessing.resource_tracker.main") as tracker_main:
            _, stub = self.load_child(["app", "-c", RESOURCE_TRACKER])
        self.assertEqual(stub.exit_status, 0)

    def test_a_spawned_worker_runs_through_freeze_support(self):
        with mock.patch("multiprocessing.spawn.spawn_main") as spawn_main:
            spawn_main.side_effect = SystemExit(2)
            _, stub = self.load_child(["app", "--multiprocessing-fork", "tracker_fd=5",
                                       "pipe_handle=9"])
        spawn_main.assert_called_once_with(tracker_fd=5, pipe_handle=9)
        self.assertEqual(stub.exit_status, 2)

    @staticmethod
    def load_child(argv):
        """Loads the hook as a child would; returns what load_hook returns,
        the stand-in's recorded exit status included."""
        stub = StubStandIn(argv)
        spec = importlib.util.spec_from_file_location("_hook_multiprocessing",
                                                      HOOKS_DIR / "multiprocessing.py")
        module = importlib.util.module_from_spec(spec)
        saved_argv = sys.argv
        try:
            with mock.patch.dict(sys.modules, {"stub": stub}):
                spec.loader.exec_module(module)
        except SystemExit:
            pass
        finally:
            sys.argv = saved_argv
        return module, stub


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
