"""End-to-end tests of the embedded interpreter as the boot script finds it,
and of the native module stub that the script talks to the launcher through."""

import ast
import os
import random
import re
import shutil
import unittest

from harness import App
from expected import (NORMAL_END, LauncherTestCase, Sandbox, run_command, startup_lines,
                      stub, working_directory_line)

SCRAMBLE_KEY = bytes.fromhex("3f8a12c47b05e961a2d84e9017bb6c23")


def xor_with_key(data: bytes) -> bytes:
    return bytes(byte ^ SCRAMBLE_KEY[index % 16] for index, byte in enumerate(data))


STATE_SCRIPT = """\
import os, stub, sys
state = {
    "path": list(sys.path),
    "path types": [type(entry).__name__ for entry in sys.path],
    "frozen": getattr(sys, "frozen", "missing"),
    "executable": sys.executable,
    "site imported": "site" in sys.modules,
    "cwd": os.getcwd(),
    "name": __name__,
    "globals are __main__'s": globals() is sys.modules["__main__"].__dict__,
    "flags": {"ignore_environment": sys.flags.ignore_environment,
              "no_site": sys.flags.no_site, "verbose": sys.flags.verbose,
              "optimize": sys.flags.optimize},
}
try:
    open(sys.executable, "rb").close()
    state["executable opens"] = True
except Exception as error:
    state["executable opens"] = type(error).__name__
for module in ("planted", "json"):
    try:
        __import__(module)
        state[module] = "imported"
    except ImportError:
        state[module] = "not importable"
stub.log(repr(state))
"""


class InterpreterStateTest(LauncherTestCase):
    """The state at the first line of the boot script, for an application
    in a folder whose name has blanks and non-ASCII letters, started with the
    interpreter's environment variables set."""

    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox.for_test(cls)
        built = cls.sandbox.make_app(boot_source=STATE_SCRIPT)
        folder = cls.sandbox.root / "Prögram Fïles ✓"
        folder.mkdir()
        cls.app = App(folder / "Mendrix App", built.strings)
        shutil.copy2(built.executable, cls.app.executable)
        shutil.copy2(built.folder / "lib.dll", folder / "lib.dll")

        planted = cls.sandbox.root / "planted"
        planted.mkdir()
        (planted / "planted.py").write_text("import stub\nstub.log('planted module ran')\n")
        cls.startup_marker = cls.sandbox.root / "startup-ran"
        (planted / "startup.py").write_text("open(%r, 'w').close()\n" % str(cls.startup_marker))
        cls.run_result = cls.sandbox.run(cls.app, env={
            "PYTHONPATH": str(planted),
            "PYTHONHOME": str(cls.sandbox.root / "no-such-home"),
            "PYTHONSTARTUP": str(planted / "startup.py"),
            "PYTHONVERBOSE": "1",
            "PYTHONOPTIMIZE": "2",
        })
        cls.lines = cls.run_result.single_log().lines
        cls.state = ast.literal_eval(cls.lines[len(startup_lines(cls.app))])

    def test_the_run_is_whole(self):
        self.assertEqual(self.run_result.exit_code, 0)
        self.assertEqual((self.run_result.stdout, self.run_result.stderr), ("", ""))
        self.assertLines(self.lines, startup_lines(self.app) + [re.compile(r"\{.*\}")]
                         + NORMAL_END)
        self.assertEqual(self.lines[7], working_directory_line(self.app.folder))

    def test_the_module_search_path_is_the_archive_and_the_folder(self):
        self.assertEqual(self.state["path"], ["lib.dll", "."])
        self.assertEqual(self.state["path types"], ["str", "str"])
        self.assertEqual(self.state["json"], "not importable")

    def test_sys_attributes(self):
        self.assertIs(self.state["frozen"], True)
        self.assertEqual(self.state["executable"], os.path.realpath(self.app.executable))
        self.assertFalse(self.state["site imported"])
        self.assertEqual(self.state["name"], "__main__")
        self.assertTrue(self.state["globals are __main__'s"])

    def test_the_interpreter_reads_non_ascii_paths_as_the_launcher_does(self):
        # The run's environment names no locale: the folder's name must still
        # come out of the interpreter's own file functions as the launcher
        # wrote it, and sys.executable must name a file that opens.
        self.assertEqual(self.state["cwd"], os.path.realpath(self.app.folder))
        self.assertIs(self.state["executable opens"], True)

    def test_the_interpreter_environment_variables_have_no_effect(self):
        self.assertEqual(self.state["planted"], "not importable")
        self.assertNotIn("planted module ran", self.lines)
        self.assertFalse(self.startup_marker.exists())
        self.assertEqual(self.state["flags"], {"ignore_environment": 1, "no_site": 1,
                                           "verbose": 0, "optimize": 0})


class StartedThroughALinkTest(LauncherTestCase):

    def test_paths_follow_the_file_and_the_arguments_the_command_line(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_app(boot_source=(
            "import os, stub, sys\n"
            "stub.log(repr((sys.executable, os.getcwd(), stub.get_argv())))\n"))
        (sandbox.work_dir / "shortcut").symlink_to(app.executable)
        run = run_command(sandbox, app, ["./shortcut", "one"], cwd=sandbox.work_dir)
        self.assertEqual(run.exit_code, 0)
        lines = run.single_log().lines
        self.assertEqual(lines[7], working_directory_line(app.folder))
        executable, cwd, argv = ast.literal_eval(lines[len(startup_lines(app))])
        self.assertEqual(executable, os.path.realpath(app.executable))
        self.assertEqual(cwd, os.path.realpath(app.folder))
        self.assertEqual(argv, ["./shortcut", "one"])


class ApplicationModulesTest(LauncherTestCase):

    def test_the_example_application_runs_from_its_archive(self):
        sandbox = Sandbox.for_test(self)
        app = sandbox.make_example_app()
        run = sandbox.run(app, ["--echo", "hello from the test ✓"])
        self.assertEqual(run.exit_code, 0, run.single_log().text)
        lines = run.single_log().lines
        script = lines[len(startup_lines(app)):-len(NORMAL_END)]
        self.assertEqual(lines[-len(NORMAL_END):], NORMAL_END)
        self.assertEqual(script[:2], ["boot: starting mendrix.outer_application from lib.dll",
                                  "Mendrix 1.3.0.0 starting"])
        self.assertIn("hello from the test ✓", script)
        self.assertEqual(script[-1], "Mendrix finished")

    def test_modules_come_from_the_archive_first_then_the_folder(self):
        sandbox = Sandbox.for_test(self)
        source = sandbox.root / "app-source"
        source.mkdir()
        (source / "shadowed.py").write_text("ORIGIN = 'archive'\n")
        app = sandbox.make_app(app_dir=source, main_module="shadowed", boot_source=(
            "import stub, shadowed, beside, json\n"
            "stub.log(repr((shadowed.ORIGIN, shadowed.__file__, beside.ORIGIN, json.__file__)))\n"))
        (app.folder / "shadowed.py").write_text("ORIGIN = 'folder'\n")
        (app.folder / "beside.py").write_text("ORIGIN = 'folder'\n")
        run = sandbox.run(app)
        self.assertEqual(run.exit_code, 0, run.single_log().text)
        origin, shadowed_file, beside_origin, json_file = ast.literal_eval(
            run.single_log().lines[len(startup_lines(app))])
        self.assertEqual((origin, beside_origin), ("archive", "folder"))
        archive = os.path.join(os.path.realpath(app.folder), "lib.dll")
        self.assertTrue(shadowed_file.startswith(archive + os.sep), shadowed_file)
        self.assertTrue(json_file.startswith(archive + os.sep), json_file)


# ---- the stub module ---------------------------------------------------------------

STUB_SCRIPT_HEAD = """\
import stub

def attempt(label, call):
    stub.log("-- " + label)
    try:
        result = call()
    except BaseException as error:
        stub.log("raised " + type(error).__name__)
    else:
        stub.log("returned " + repr(result))

"""

LIBRARY_CANDIDATES = ["libuuid.so.1", "libbz2.so.1.0", "libpanel.so.6", "libgdbm.so.6"]

# label -> call; the expected lines are in StubFunctionTest.
STUB_CALLS = [
    ("functions", "sorted(name for name in dir(stub) if not name.startswith('_'))"),
    ("set_upload_logs(0)", "stub.set_upload_logs(0)"),
    ("set_upload_logs(True)", "stub.set_upload_logs(True)"),
    ("set_upload_logs(7)", "stub.set_upload_logs(7)"),
    ("set_upload_logs(255)", "stub.set_upload_logs(255)"),
    ("set_upload_logs(256)", "stub.set_upload_logs(256)"),
    ("set_upload_logs(-1)", "stub.set_upload_logs(-1)"),
    ("set_upload_logs('1')", "stub.set_upload_logs('1')"),
    ("set_upload_logs(None)", "stub.set_upload_logs(None)"),
    ("set_upload_logs()", "stub.set_upload_logs()"),
    ("set_keep_logs(0)", "stub.set_keep_logs(0)"),
    ("set_keep_logs(1)", "stub.set_keep_logs(1)"),
    ("set_keep_logs(256)", "stub.set_keep_logs(256)"),
    ("set_keep_logs(-1)", "stub.set_keep_logs(-1)"),
    ("set_keep_logs(1.0)", "stub.set_keep_logs(1.0)"),
    ("set_keep_logs(1, 2)", "stub.set_keep_logs(1, 2)"),
    ("get_log_path()", "stub.get_log_path()"),
    ("get_log_path(1, 2)", "stub.get_log_path(1, 2)"),
    ("get_argv()", "stub.get_argv()"),
    ("get_argv() anew", "[stub.get_argv().append('x'), stub.get_argv()][1]"),
    ("get_argv(1)", "stub.get_argv(1)"),
    ("log('')", "stub.log('')"),
    ("log('abc')", "stub.log('abc')"),
    ("log(non-ASCII)", "stub.log('Grüße ✓')"),
    ("log(bytes)", "stub.log(b'raw \\xff\\xfe bytes')"),
    ("log(NUL)", "stub.log('a\\x00b')"),
    ("log(bytes with NUL)", "stub.log(b'a\\x00b')"),
    ("log(lone surrogate)", "stub.log('\\udc80')"),
    ("log(5)", "stub.log(5)"),
    ("log()", "stub.log()"),
    ("log('a', 'b')", "stub.log('a', 'b')"),
    ("crypt(b'')", "stub.crypt(b'')"),
    ("crypt('abc')", "stub.crypt('abc')"),
    ("crypt(non-ASCII)", "stub.crypt('Grüße ✓')"),
    ("crypt leaves other objects alone",
     "[stub.crypt(b'A'), b'xAy'[1:2], stub.crypt(b'xAy')[1:2]]"),
    ("crypt(lone surrogate)", "stub.crypt('\\udc80')"),
    ("crypt(5)", "stub.crypt(5)"),
    ("crypt()", "stub.crypt()"),
    ("get_main_module()", "stub.get_main_module()"),
    ("get_main_module(1)", "stub.get_main_module(1)"),
    ("get_archive_name()", "stub.get_archive_name()"),
    ("get_archive_name(1)", "stub.get_archive_name(1)"),
    ("check_dll('libc.so.6')", "stub.check_dll('libc.so.6')"),
    ("check_dll('no-such-library.so')", "stub.check_dll('no-such-library.so')"),
    ("check_dll(5)", "stub.check_dll(5)"),
    ("check_dll(bytes)", "stub.check_dll(b'libc.so.6')"),
    ("check_dll(NUL)", "stub.check_dll('libc.so.6\\x00x')"),
    ("check_dll()", "stub.check_dll()"),
    ("check_dll unloads", "[(name, name in open('/proc/self/maps').read(), stub.check_dll(name),"
                      " name in open('/proc/self/maps').read()) for name in %r]"
                      % LIBRARY_CANDIDATES),
    ("crt_exit('x')", "stub.crt_exit('x')"),
    ("crt_exit()", "stub.crt_exit()"),
    ("crt_exit(1.5)", "stub.crt_exit(1.5)"),
    ("crt_exit(2 ** 40)", "stub.crt_exit(2 ** 40)"),
]


def crypt_samples() -> list:
    """Byte strings of awkward lengths, NUL bytes included."""
    generator = random.Random(20261206)
    lengths = [1, 3, 4, 15, 16, 17, 31, 32, 33, 4099] + [generator.randrange(0, 200)
                                                      for _ in range(10)]
    samples = [bytes(generator.randrange(0, 256) for _ in range(n)) for n in lengths]
    samples.append(b"\0" * 40)
    return samples


def stub_script(samples) -> str:
    lines = [STUB_SCRIPT_HEAD]
    for label, call in STUB_CALLS:
        lines.append("attempt(%r, lambda: %s)\n" % (label, call))
    lines.append("samples = %r\n" % (samples,))
    lines.append("for index, sample in enumerate(samples):\n"
                 "    attempt('crypt sample %d' % index, lambda: (stub.crypt(sample).hex(),\n"
                 "            stub.crypt(stub.crypt(sample)) == sample))\n")
    lines.append("stub.log('-- end')\n")
    return "".join(lines)


class StubFunctionTest(LauncherTestCase):
    """Every stub function with accepted and rejected arguments, in one run:
    each call's label, then what it logged, then what it returned or raised."""

    ARGUMENTS = ["ünïcödé ✓", "", "with blank", '"quoted"', "--flag=1"]
    MAIN_MODULE = "mendrix.hauptmodul_ü"

    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox.for_test(cls)
        cls.samples = crypt_samples()
        cls.app = cls.sandbox.make_app(
            config={"__main_script": cls.MAIN_MODULE, "__archive_name": "other.zip"},
            boot_source=stub_script(cls.samples))
        cls.run_result = cls.sandbox.run(cls.app, cls.ARGUMENTS)
        cls.log = cls.run_result.single_log()
        cls.calls = cls.split_calls(cls.log.data)

    @staticmethod
    def split_calls(data: bytes) -> dict:
        """label -> the raw lines that followed it."""
        calls = {}
        current = None
        for line in data.split(b"\n"):
            if line.startswith(b"-- "):
                current = calls.setdefault(line[3:].decode("utf-8"), [])
            elif current is not None:
                current.append(line)
        return calls

    def call(self, label) -> list:
        return [line.decode("utf-8", "surrogateescape") for line in self.calls[label]]

    def assertCalls(self, expected: dict):
        for label, lines in expected.items():
            with self.subTest(label):
                self.assertEqual(self.call(label), lines)

    def returned(self, label):
        lines = self.call(label)
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith("returned "), lines)
        return ast.literal_eval(lines[0][len("returned "):])

    def test_the_run_ends_normally(self):
        self.assertEqual(self.run_result.exit_code, 0)
        self.assertEqual((self.run_result.stdout, self.run_result.stderr), ("", ""))
        self.assertEqual(self.log.lines[-len(NORMAL_END) - 1:], ["-- end"] + NORMAL_END)

    def test_the_module_has_the_ten_functions(self):
        self.assertEqual(self.returned("functions"), sorted([
            "set_upload_logs", "set_keep_logs", "get_log_path", "crt_exit", "log", "crypt",
            "get_main_module", "get_archive_name", "get_argv", "check_dll"]))

    def test_the_flag_setters_log_their_value(self):
        self.assertCalls({
            "set_upload_logs(0)": [stub("Setting upload_logs flag to false"), "returned None"],
            "set_upload_logs(True)": [stub("Setting upload_logs flag to true"), "returned None"],
            "set_upload_logs(7)": [stub("Setting upload_logs flag to true"), "returned None"],
            "set_upload_logs(255)": [stub("Setting upload_logs flag to true"), "returned None"],
            "set_keep_logs(0)": [stub("Setting keep_logs flag to false"), "returned None"],
            "set_keep_logs(1)": [stub("Setting keep_logs flag to true"), "returned None"],
        })

    def test_the_flag_setters_reject_other_arguments_without_a_line(self):
        self.assertCalls({
            "set_upload_logs(256)": ["raised OverflowError"],
            "set_upload_logs(-1)": ["raised OverflowError"],
            "set_upload_logs('1')": ["raised TypeError"],
            "set_upload_logs(None)": ["raised TypeError"],
            "set_upload_logs()": ["raised TypeError"],
            "set_keep_logs(256)": ["raised OverflowError"],
            "set_keep_logs(-1)": ["raised OverflowError"],
            "set_keep_logs(1.0)": ["raised TypeError"],
            "set_keep_logs(1, 2)": ["raised TypeError"],
        })

    def test_get_log_path_names_this_runs_log_whatever_its_arguments(self):
        path = str(self.run_result.log_dir / self.log.name)
        self.assertEqual(self.returned("get_log_path()"), path)
        self.assertEqual(self.returned("get_log_path(1, 2)"), path)

    def test_get_argv_is_the_command_line_as_given(self):
        argv = [str(self.app.executable)] + self.ARGUMENTS
        self.assertEqual(self.returned("get_argv()"), argv)
        self.assertEqual(self.returned("get_argv() anew"), argv)
        self.assertCalls({"get_argv(1)": ["raised TypeError"]})

    def test_log_writes_its_text_untagged(self):
        self.assertEqual(self.calls["log('')"], [b"", b"returned None"])
        self.assertEqual(self.calls["log('abc')"], [b"abc", b"returned None"])
        self.assertEqual(self.calls["log(non-ASCII)"], ["Grüße ✓".encode(), b"returned None"])
        self.assertEqual(self.calls["log(bytes)"], [b"raw \xff\xfe bytes", b"returned None"])

    def test_log_rejects_what_it_cannot_write_whole(self):
        self.assertCalls({
            "log(NUL)": ["raised ValueError"],
            "log(bytes with NUL)": ["raised ValueError"],
            "log(lone surrogate)": ["raised UnicodeEncodeError"],
            "log(5)": ["raised TypeError"],
            "log()": ["raised TypeError"],
            "log('a', 'b')": ["raised TypeError"],
        })

    def test_crypt_is_the_scrambling_transform(self):
        self.assertEqual(self.returned("crypt(b'')"), b"")
        self.assertEqual(self.returned("crypt('abc')"),
                         bytes([0x61 ^ 0x3f, 0x62 ^ 0x8a, 0x63 ^ 0x12]))
        self.assertEqual(self.returned("crypt(non-ASCII)"), xor_with_key("Grüße ✓".encode()))
        for index, sample in enumerate(self.samples):
            with self.subTest(sample=index, length=len(sample)):
                scrambled, round_trip = self.returned("crypt sample %d" % index)
                self.assertEqual(bytes.fromhex(scrambled), xor_with_key(sample))
                self.assertTrue(round_trip)

    def test_crypt_changes_no_other_object(self):
        # Short results must be new objects: the interpreter shares its
        # one-byte byte strings, and scrambling one of them in place would
        # change every b"A" of the process.
        self.assertEqual(self.returned("crypt leaves other objects alone"),
                         [xor_with_key(b"A"), b"A", xor_with_key(b"xAy")[1:2]])

    def test_crypt_rejects_what_is_no_byte_string(self):
        self.assertCalls({
            "crypt(lone surrogate)": ["raised UnicodeEncodeError"],
            "crypt(5)": ["raised TypeError"],
            "crypt()": ["raised TypeError"],
        })

    def test_the_facts_of_the_launch(self):
        self.assertEqual(self.returned("get_main_module()"), self.MAIN_MODULE)
        self.assertEqual(self.returned("get_archive_name()"), "lib.dll")
        self.assertCalls({"get_main_module(1)": ["raised TypeError"],
                      "get_archive_name(1)": ["raised TypeError"]})

    def test_check_dll_reports_the_loaders_outcome(self):
        self.assertEqual(self.returned("check_dll('libc.so.6')"), 0)
        self.assertEqual(self.returned("check_dll('no-such-library.so')"), 126)
        self.assertCalls({
            "check_dll(5)": ["raised TypeError"],
            "check_dll(bytes)": ["raised TypeError"],
            "check_dll(NUL)": ["raised ValueError"],
            "check_dll()": ["raised TypeError"],
        })

    def test_check_dll_leaves_the_library_unloaded(self):
        # (name, mapped before, result, mapped after) for each candidate
        probes = [probe for probe in self.returned("check_dll unloads") if not probe[1]]
        self.assertEqual([probe for probe in probes if probe[3]], [])
        if not any(result == 0 for _, _, result, _ in probes):
            self.skipTest("none of %s is installed" % LIBRARY_CANDIDATES)

    def test_crt_exit_rejects_what_is_no_integer(self):
        self.assertCalls({
            "crt_exit('x')": ["raised TypeError"],
            "crt_exit()": ["raised TypeError"],
            "crt_exit(1.5)": ["raised TypeError"],
            "crt_exit(2 ** 40)": ["raised OverflowError"],
        })


if __name__ == "__main__":
    unittest.main()
