"""Tests of tools/mkapp.py: its command line, the executables and resource
images it writes, and lib.dll. A copy of /bin/true stands in for the launcher:
these tests look only at the tool's outputs."""

import marshal
import os
import random
import shutil
import struct
import subprocess
import tempfile
import textwrap
import types
import unittest
import zipfile
from pathlib import Path

import harness
from harness import PYTHON, mkapp

MKAPP = harness.SOURCE_DIR / "tools" / "mkapp.py"
KEY = bytes.fromhex("3f8a12c47b05e961a2d84e9017bb6c23")

# Runs a boot script's code object with a stand-in for the launcher's native
# module, from the folder of lib.dll, with the launcher's module search path.
STUB_RUNNER = textwrap.dedent("""\
    import marshal, sys, types
    code = marshal.loads(sys.stdin.buffer.read())
    sys.path[:] = ["lib.dll", "."]
    stub = types.ModuleType("stub")
    stub.log = lambda text: print("log:", text, flush=True)
    stub.get_main_module = lambda: sys.argv[1]
    stub.get_archive_name = lambda: "lib.dll"
    stub.get_argv = lambda: ["app"] + sys.argv[2:]
    stub.set_upload_logs = lambda flag: print("upload_logs:", flag, flush=True)
    stub.set_keep_logs = lambda flag: print("keep_logs:", flag, flush=True)
    def crt_exit(status):
        print("crt_exit:", status, flush=True)
        import posix
        posix._exit(status)
    stub.crt_exit = crt_exit
    sys.modules["stub"] = stub
    exec(code, {"__name__": "__main__"})
""")


def run_mkapp(*args, cwd=None):
    return subprocess.run([PYTHON, str(MKAPP)] + [a if isinstance(a, bytes) else str(a)
                                                 for a in args],
                          cwd=cwd, capture_output=True, text=True, errors="replace")


def resources_by_key(image):
    return {(r.type, r.name): r for r in mkapp.parse_res(image)}


def version_info(image):
    return mkapp.find_version_info(mkapp.parse_res(image))


class ToolTestCase(unittest.TestCase):
    def setUp(self):
        harness.require_windres()
        self.dir = Path(tempfile.mkdtemp(prefix="mkapp-test-"))
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.launcher = self.dir / "launcher"
        shutil.copyfile("/bin/true", self.launcher)
        os.chmod(self.launcher, 0o751)
        self.out = self.dir / "out"

    def write(self, name, data):
        path = self.dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(data, str):
            data = data.encode("utf-8")
        path.write_bytes(data)
        return path

    def build(self, *args):
        result = run_mkapp("--launcher", self.launcher, "-o", self.out / "app", *args)
        self.assertEqual(result.returncode, 0, result.stderr)
        return (self.out / "app").read_bytes()

    def image_of(self, *args):
        return mkapp.split_executable(self.build(*args))[1]

    def assert_clean_failure(self, result, status):
        self.assertEqual(result.returncode, status, result.stderr)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertTrue(lines[0].startswith("mkapp: error: "), lines[0])
        leftovers = list(self.out.iterdir()) if self.out.exists() else []
        self.assertEqual(leftovers, [], "output written by a failed build")
        return lines[0]


class CommandLineTest(ToolTestCase):
    def test_help_explains_the_options_and_the_archive(self):
        result = run_mkapp("--help")
        self.assertEqual(result.returncode, 0)
        for text in ("--rc", "--emit-rc", "--raw-script", "--no-script", "--set", "--omit",
                     "--block", "--data", "--icon", "--manifest", "--windres", "--app",
                     "C extension", '["lib.dll", "."]'):
            self.assertIn(text, result.stdout)

    def test_usage_errors_are_one_line_with_status_2(self):
        rc_file = harness.EXAMPLE_RC
        cases = [
            ["--launcher", self.launcher, "-o", self.out / "app", "--no-such-option"],
            ["--launcher", self.launcher, "-o", self.out / "app", "--set", "no-equals-sign"],
            ["--launcher", self.launcher, "-o", self.out / "app", "--rc", rc_file, "--set", "a=b"],
            ["--launcher", self.launcher, "-o", self.out / "app", "--rc", rc_file, "--no-script"],
            ["-o", self.out / "app"],
            ["--launcher", self.launcher],
            ["--launcher", self.launcher, "-o", self.out / "app", "--no-script", "--raw-script",
             self.launcher],
        ]
        for args in cases:
            with self.subTest(args=args):
                self.assert_clean_failure(run_mkapp(*args), 2)

    def test_build_failures_are_one_line_with_status_1_and_write_nothing(self):
        bad_source = self.write("bad_boot.py", "x = (\n")
        cases = {
            "data file not found": ["--data", self.dir / "missing.css"],
            "boot script not found": ["--boot-script", self.dir / "missing.py"],
            "bad_boot.py:1": ["--boot-script", bad_source],
            "not an icon file": ["--icon", bad_source],
            "false failed": ["--windres", "false"],
            "resource compiler not found": ["--windres", "no-such-windres"],
            "not valid Unicode": [b"--set", b"__product=\xff"],
            "8 hexadecimal digits": ["--block", "0409"],
        }
        for expected, extra in cases.items():
            with self.subTest(expected=expected):
                line = self.assert_clean_failure(
                    run_mkapp("--launcher", self.launcher, "-o", self.out / "app", *extra), 1)
                self.assertIn(expected, line)

    def test_nul_in_a_version_string_is_refused(self):
        # A command line cannot carry a NUL; the same check guards the API.
        contents = mkapp.AppResources(strings=mkapp.version_strings({"__company": "a\0b"}))
        with self.assertRaisesRegex(mkapp.BuildError, "NUL character"):
            mkapp.build_resource_image(contents)

    def test_missing_launcher_is_an_error(self):
        result = run_mkapp("--launcher", self.dir / "nope", "-o", self.out / "app")
        self.assertIn("launcher binary not found", self.assert_clean_failure(result, 1))

    def test_failed_rebuild_keeps_the_previous_output(self):
        self.build()
        before = (self.out / "app").read_bytes()
        result = run_mkapp("--launcher", self.launcher, "-o", self.out / "app",
                           "--windres", "false")
        self.assertEqual(result.returncode, 1)
        self.assertEqual((self.out / "app").read_bytes(), before)
        self.assertEqual(sorted(p.name for p in self.out.iterdir()), ["app"])


class ScrambleTest(unittest.TestCase):
    def reference(self, data):
        return bytes(byte ^ KEY[index % 16] for index, byte in enumerate(data))

    def test_matches_the_bytewise_definition_for_every_length_up_to_70(self):
        generator = random.Random(7)
        for length in range(71):
            data = bytes(generator.randrange(256) for _ in range(length))
            self.assertEqual(mkapp.scramble(data), self.reference(data), length)
            self.assertEqual(mkapp.scramble(mkapp.scramble(data)), data)

    def test_key_stream_restarts_every_16_bytes(self):
        self.assertEqual(mkapp.scramble(bytes(17)), KEY + KEY[:1])
        self.assertEqual(mkapp.scramble(b"\xff" * 3), bytes(b ^ 0xFF for b in KEY[:3]))


class ExecutableLayoutTest(ToolTestCase):
    def test_executable_is_launcher_image_and_trailer(self):
        executable = self.build()
        launcher = self.launcher.read_bytes()
        self.assertEqual(executable[:len(launcher)], launcher)
        size, magic = struct.unpack("<Q8s", executable[-16:])
        self.assertEqual(magic, b"RESIMG01")
        self.assertEqual(len(launcher) + size + 16, len(executable))
        image = executable[len(launcher):-16]
        # A .res image begins with the empty record: sizes 0 and 32, type 0, name 0.
        self.assertEqual(image[:16], struct.pack("<IIHHHH", 0, 32, 0xFFFF, 0, 0xFFFF, 0))
        self.assertEqual(os.stat(self.out / "app").st_mode & 0o7777, 0o751)

    def test_data_icons_manifest_and_script_records(self):
        css = self.write("style.css", "body { color: red; }\n")
        empty = self.write("empty.bin", b"")
        png = harness.SOURCE_DIR / "resources" / "data" / "logo.png"
        icon = harness.example_icons()[0]
        image = self.image_of("--data", css, "--data", empty, "--data", png,
                              "--icon", icon, "--icon", icon,
                              "--boot-script", harness.EXAMPLE_BOOT_SCRIPT)
        found = resources_by_key(image)
        self.assertEqual([found[("DATA", n)].data for n in (1, 2, 3)],
                         [css.read_bytes(), b"", png.read_bytes()])
        self.assertNotIn(("DATA", 4), found)

        originals = [body for _, body in mkapp.read_icon_images(icon)] * 2
        group = found[(mkapp.RT_GROUP_ICON, 1)].data
        self.assertEqual(struct.unpack_from("<HHH", group), (0, 1, len(originals)))
        icon_ids = [struct.unpack_from("<H", group, 6 + 14 * i + 12)[0]
                    for i in range(len(originals))]
        self.assertEqual([found[(mkapp.RT_ICON, i)].data for i in icon_ids], originals)

        manifest = found[(mkapp.RT_MANIFEST, 1)].data.decode("utf-8")
        self.assertIn('level="requireAdministrator"', manifest)
        self.assertIn('uiAccess="false"', manifest)

    def test_boot_script_descrambles_to_header_and_runnable_code(self):
        source = self.write("boot.py", "import stub\nstub.log('hé ' + str(6 * 7))\n")
        stored = resources_by_key(self.image_of("--boot-script", source))[("SCRIPT", 1)].data
        plain = mkapp.scramble(stored)
        self.assertEqual(plain[:8], mkapp.importlib.util.MAGIC_NUMBER + bytes(4))
        code = marshal.loads(plain[8:])
        self.assertIsInstance(code, types.CodeType)
        self.assertEqual(code.co_filename, "boot.py")
        result = subprocess.run([PYTHON, "-I", "-S", "-c", STUB_RUNNER, "main"],
                                input=marshal.dumps(code), capture_output=True, cwd=self.dir)
        self.assertEqual(result.stdout.decode("utf-8"), "log: hé 42\n", result.stderr)

    def test_script_variants(self):
        garbage = self.write("garbage.bin", b"\x00\xffnot a script")
        empty = self.write("empty.bin", b"")
        cases = {"raw bytes": (["--raw-script", garbage], garbage.read_bytes()),
                 "empty": (["--raw-script", empty], b""),
                 "none": (["--no-script"], None)}
        for name, (args, expected) in cases.items():
            with self.subTest(name):
                script = resources_by_key(self.image_of(*args)).get(("SCRIPT", 1))
                self.assertEqual(script and script.data, expected)

    def test_no_version_info(self):
        found = resources_by_key(self.image_of("--no-version-info"))
        self.assertNotIn((mkapp.RT_VERSION, 1), found)
        self.assertIn((mkapp.RT_MANIFEST, 1), found)


class VersionResourceTest(ToolTestCase):
    def test_configuration_keys_with_descriptive_keys_and_translation(self):
        info = version_info(self.image_of())
        self.assertEqual(list(info.string_tables), ["040904B0"])
        table = info.string_tables["040904B0"]
        self.assertEqual({k: table[k] for k in mkapp.CONFIG_KEYS}, mkapp.EXAMPLE_CONFIG)
        self.assertEqual(table["ProductVersion"], "1.3.0.0")
        self.assertEqual(table["ProductName"], "Mendrix")
        self.assertIn("FileDescription", table)
        self.assertEqual(info.translations, [(0x409, 1200)])
        self.assertEqual(info.file_version(), (1, 3, 0, 0))

    def test_values_are_utf16_including_non_ascii_and_non_bmp(self):
        value = 'Mëndrix 日本 😀 "q" \\ tab\there\nline 2'
        image = self.image_of("--set", "__product=" + value, "--set", "Extra=x")
        version = resources_by_key(image)[(mkapp.RT_VERSION, 1)].data
        self.assertIn(value.encode("utf-16-le") + b"\0\0", version)
        self.assertIn(b"\x3d\xd8\x00\xde", version)  # U+1F600 as a surrogate pair
        table = version_info(image).string_tables["040904B0"]
        self.assertEqual(table["__product"], value)
        self.assertEqual(table["ProductName"], value)
        self.assertEqual(table["Extra"], "x")

    def test_a_value_the_compiler_changes_is_an_error(self):
        # A resource compiler that cannot carry a character: it loses the accent.
        lossy = self.write("lossy-windres", "#!%s\n" % PYTHON + textwrap.dedent("""\
            import subprocess, sys
            args = sys.argv[1:]
            rc = next(i for i, arg in enumerate(args) if arg.endswith(".rc"))
            text = open(args[rc], encoding="utf-8").read().replace("ë", "e")
            open(args[rc] + ".lossy.rc", "w", encoding="utf-8").write(text)
            args[rc] += ".lossy.rc"
            sys.exit(subprocess.call(["%s"] + args))
        """ % mkapp.DEFAULT_WINDRES))
        os.chmod(lossy, 0o755)
        result = run_mkapp("--launcher", self.launcher, "-o", self.out / "app",
                           "--windres", lossy, "--set", "__product=Mëndrix")
        line = self.assert_clean_failure(result, 1)
        self.assertIn("did not keep version string '__product' intact", line)

    def test_block_name_omitted_keys_and_version_numbers(self):
        info = version_info(self.image_of("--block", "040904E4", "--omit", "__company",
                                          "--omit", "ProductName",
                                          "--set", "FileVersion=2.5-beta"))
        self.assertEqual(list(info.string_tables), ["040904E4"])
        table = info.string_tables["040904E4"]
        self.assertNotIn("__company", table)
        self.assertNotIn("ProductName", table)
        self.assertEqual(table["__product"], "Mendrix")
        self.assertEqual(info.translations, [(0x409, 1252)])
        self.assertEqual(info.file_version(), (2, 5, 0, 0))

    def test_version_numbers_from_text(self):
        cases = {"1.3.0.0": (1, 3, 0, 0), "7": (7, 0, 0, 0), "2.5-beta.9": (2, 5, 0, 0),
                 "1.2.3.4.5": (1, 2, 3, 4), "abc": (0, 0, 0, 0), "1.70000.2": (1, 0, 0, 0),
                 "": (0, 0, 0, 0)}
        for text, numbers in cases.items():
            self.assertEqual(mkapp.version_numbers(text), numbers, text)


class ExampleBuildTest(ToolTestCase):
    def test_shipped_resource_script_builds_the_example(self):
        executable = self.build("--rc", harness.EXAMPLE_RC,
                                "--boot-script", harness.EXAMPLE_BOOT_SCRIPT,
                                "--app", harness.EXAMPLE_APP_DIR)
        found = resources_by_key(mkapp.split_executable(executable)[1])
        data_files = harness.example_data_files()
        self.assertEqual(len(data_files), 14)
        self.assertEqual([found[("DATA", n)].data for n in range(1, 15)],
                         [path.read_bytes() for path in data_files])
        kinds = [path.suffix for path in data_files]
        self.assertEqual((kinds[0], kinds[1], kinds[7]), (".css", ".html", ".html"))
        self.assertEqual(kinds.count(".png"), 11)
        group = found[(mkapp.RT_GROUP_ICON, 1)].data
        self.assertEqual(struct.unpack_from("<H", group, 4)[0], 4)
        self.assertEqual(sum(1 for kind, _ in found if kind == mkapp.RT_ICON), 4)
        self.assertIn(b"requireAdministrator", found[(mkapp.RT_MANIFEST, 1)].data)
        _, code = mkapp.unpack_boot_script(found[("SCRIPT", 1)].data)
        self.assertEqual(code.co_filename, "boot.py")
        table = mkapp.parse_version_info(found[(mkapp.RT_VERSION, 1)].data).string_tables
        self.assertEqual({k: table["040904B0"][k] for k in mkapp.CONFIG_KEYS},
                         mkapp.EXAMPLE_CONFIG)
        self.assertTrue(zipfile.is_zipfile(self.out / "lib.dll"))

    def test_emitted_scripts_compile_for_linking(self):
        emit = self.dir / "emit"
        icon = harness.example_icons()[0]
        result = run_mkapp("--emit-rc", emit, "--boot-script", harness.EXAMPLE_BOOT_SCRIPT,
                           "--icon", icon, "--data", icon)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(p.name for p in emit.iterdir()),
                         ["app.rc", "app_icon.ico", "boot_script.bin"])
        self.assert_coff(emit / "app.rc", [])

        shipped = self.dir / "shipped"
        result = run_mkapp("--emit-rc", shipped, "--rc", harness.EXAMPLE_RC,
                           "--boot-script", harness.EXAMPLE_BOOT_SCRIPT)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([p.name for p in shipped.iterdir()], ["boot_script.bin"])
        self.assert_coff(harness.EXAMPLE_RC, ["-I", str(shipped)])

    def assert_coff(self, rc_file, include):
        obj = self.dir / (rc_file.stem + ".o")
        subprocess.run([mkapp.DEFAULT_WINDRES, "-O", "coff", *include, str(rc_file),
                        "-o", str(obj)], check=True, cwd=rc_file.parent)
        self.assertEqual(struct.unpack_from("<H", obj.read_bytes())[0], 0x14C)  # i386


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
        self.assertEqual(len(report.warnings), 2, report.warnings)
        self.assertIn("C extension module mmap", report.warnings[0])
        self.assertIn("no_such_module_anywhere, which was not found", report.warnings[1])
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
