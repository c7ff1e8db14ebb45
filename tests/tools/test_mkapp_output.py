"""Tests of the output folder the build tool writes for an application:
what it holds, the defaults of a build, the report, --strict, --add-data,
rebuilds, and a run of the real launcher from a moved folder."""

import os
import shutil
import subprocess
import tempfile
import textwrap
import unittest
import zipfile
from pathlib import Path

from tooltest import ToolTestCase, harness, mkapp, resources_by_key, run_mkapp, version_info

SUFFIX = mkapp.host_target().extension_suffixes[0]

APP_MAIN = textwrap.dedent("""\
    import decimal, importlib.resources, os, pkgutil, sqlite3, sys
    import ns.part
    import datapkg

    def main():
        db = sqlite3.connect(":memory:")
        print("sqlite", db.execute("select 6 * 7").fetchone()[0])
        print("decimal", type(decimal.Decimal(1)).__module__, decimal.Decimal("0.1") * 3)
        print("resources", importlib.resources.files("datapkg").joinpath("table.json").read_text())
        print("get_data", pkgutil.get_data("datapkg", "sub/notes.txt").decode())
        folder = os.path.dirname(sys.executable)
        with open(os.path.join(folder, "assets", "extra.txt")) as extra:
            print("add-data", extra.read())
        with open(os.path.join(os.path.dirname(__file__), "settings.json")) as settings:
            print("beside the main module", settings.read())
        print("namespace", ns.part.VALUE, "argv", sys.argv[1:])
        sys.exit(int(sys.argv[1]) if sys.argv[1:] else 0)

    if __name__ == "__main__":
        main()
""")


class OutputTestCase(ToolTestCase):
    def setUp(self):
        super().setUp()
        self.write("src/app_main.py", APP_MAIN)
        self.write("src/ns/part.py", "VALUE = 'ns'\n")
        self.write("src/datapkg/__init__.py", "")
        self.write("src/datapkg/table.json", '{"rows": 2}')
        self.write("src/datapkg/sub/notes.txt", "notes")
        self.write("extra.txt", "extra")
        self.write("src/settings.json", '{"theme": "dark"}')
        self.write("src/images/logo.svg", "<svg/>")

    def build_app(self, *extra, launcher=None, output=None):
        output = output or self.out / "app"
        return run_mkapp("--launcher", launcher or self.launcher, "-o", output,
                         "--app", self.dir / "src", "--main-module", "app_main",
                         "--add-data", "%s:assets" % (self.dir / "extra.txt"), *extra)


class OutputFolderTest(OutputTestCase):
    def test_the_folder_holds_what_the_application_needs(self):
        result = self.build_app()
        self.assertEqual(result.returncode, 0, result.stderr)
        names = {str(path.relative_to(self.out)) for path in self.out.rglob("*")}
        for name in ("app", "lib.dll", "build-report.txt", "_sqlite3" + SUFFIX,
                     "_decimal" + SUFFIX, "libsqlite3.so.0", "datapkg/__init__.pyc",
                     "datapkg/table.json", "datapkg/sub/notes.txt", "assets/extra.txt",
                     "settings.json", "images/logo.svg", "app_main.pyc"):
            self.assertIn(name, names)
        with zipfile.ZipFile(self.out / "lib.dll") as archive:
            members = archive.namelist()
        for name in ("ns/", "ns/part.pyc", "encodings/idna.pyc",
                     "sqlite3/__init__.pyc"):
            self.assertIn(name, members)
        self.assertFalse([name for name in members if name.startswith("datapkg")])
        self.assertNotIn("app_main.pyc", members)  # beside its data, in the folder
        dynamic = subprocess.run(["readelf", "-d", str(self.out / ("_sqlite3" + SUFFIX))],
                                 capture_output=True, text=True).stdout
        self.assertIn("[$ORIGIN]", dynamic)
        # Nothing of the build is left beside the output.
        self.assertEqual(sorted(p.name for p in self.dir.iterdir() if p.name.startswith(".")),
                         [])

    def test_defaults_come_from_the_application(self):
        self.assertEqual(self.build_app().returncode, 0)
        image = mkapp.split_executable((self.out / "app").read_bytes())[1]
        table = version_info(image).string_tables["040904B0"]
        self.assertEqual((table["__main_script"], table["__company"], table["__product"]),
                         ("app_main", "app", "app"))
        _, code = mkapp.unpack_boot_script(resources_by_key(image)[("SCRIPT", 1)].data)
        self.assertEqual(code.co_filename, "boot.py")
        self.assertIn("get_main_module", code.co_names)

    def test_missing_modules_are_reported_and_strict_fails_writing_nothing(self):
        self.write("src/app_main.py", "import helper\ntry:\n    import maybe_here\n"
                                      "except ImportError:\n    pass\n")
        self.write("src/helper.py", "import nowhere_to_be_found\n")
        result = run_mkapp("--launcher", self.launcher, "-o", self.out / "app",
                           "--app", self.dir / "src", "--main-module", "app_main", "--strict")
        line = self.assert_clean_failure(result, 1)
        self.assertIn("nowhere_to_be_found (imported by helper)", line)
        self.assertNotIn("maybe_here", line)

        result = run_mkapp("--launcher", self.launcher, "-o", self.out / "app",
                           "--app", self.dir / "src", "--main-module", "app_main")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("missing nowhere_to_be_found, imported by helper", result.stderr)
        report = (self.out / "build-report.txt").read_text()
        self.assertIn("  nowhere_to_be_found, imported by helper\n", report)
        self.assertIn("  maybe_here (optional), imported by app_main\n", report)

    def test_option_errors(self):
        cases = {
            "--path needs --app": ["--path", self.dir],
            "DEST must be a folder inside": ["--add-data", "%s:../up" % (self.dir / "extra.txt")],
            "disagree": ["--app", self.dir / "src", "--main-module", "a",
                         "--set", "__main_script=b"],
        }
        for expected, args in cases.items():
            with self.subTest(expected):
                line = self.assert_clean_failure(
                    run_mkapp("--launcher", self.launcher, "-o", self.out / "app", *args), 2)
                self.assertIn(expected, line)
        line = self.assert_clean_failure(
            run_mkapp("--launcher", self.launcher, "-o", self.out / "app",
                      "--add-data", "%s:." % (self.dir / "absent.txt")), 1)
        self.assertIn("--add-data source not found", line)

    def test_a_rebuild_replaces_an_earlier_output_and_keeps_foreign_files(self):
        self.assertEqual(self.build_app().returncode, 0)
        self.write("out/settings.ini", "the user's own file")
        self.write("out/assets/own.txt", "also the user's")
        self.write("src/app_main.py", "print('smaller')\n")
        shutil.rmtree(self.dir / "src" / "datapkg")
        self.assertEqual(self.build_app().returncode, 0)
        self.assertFalse((self.out / ("_sqlite3" + SUFFIX)).exists())
        self.assertFalse((self.out / "datapkg").exists())
        self.assertEqual((self.out / "settings.ini").read_text(), "the user's own file")
        self.assertEqual((self.out / "assets" / "own.txt").read_text(), "also the user's")
        self.assertIn("  lib.dll\n", (self.out / "build-report.txt").read_text())
        # A folder with nothing but the earlier build's files is replaced whole.
        (self.out / "settings.ini").unlink()
        shutil.rmtree(self.out / "assets")
        before = os.stat(self.out).st_ino
        self.assertEqual(self.build_app().returncode, 0)
        self.assertNotEqual(os.stat(self.out).st_ino, before)
        self.assertTrue((self.out / "assets" / "extra.txt").is_file())

        shared = self.dir / "shared"
        self.write("shared/keep.txt", "mine")
        self.write("shared/assets/mine.txt", "mine too")
        result = self.build_app(output=shared / "app")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual((shared / "keep.txt").read_text(), "mine")
        self.assertEqual((shared / "assets" / "mine.txt").read_text(), "mine too")
        self.assertEqual((shared / "assets" / "extra.txt").read_text(), "extra")
        self.assertTrue((shared / "lib.dll").is_file())

    def test_a_failed_build_keeps_the_earlier_output(self):
        self.assertEqual(self.build_app().returncode, 0)
        before = sorted(str(p) for p in self.out.rglob("*"))
        self.write("src/app_main.py", "import broken\n")
        self.write("src/broken.py", "def (:\n")
        result = self.build_app()
        self.assertEqual(result.returncode, 1)
        self.assertIn("broken.py:1", result.stderr)
        self.assertEqual(sorted(str(p) for p in self.out.rglob("*")), before)


class FrozenRunTest(OutputTestCase):
    """The real launcher running the output from a moved folder."""

    def run_frozen(self, executable, *args, cwd):
        home = Path(tempfile.mkdtemp(prefix="mkapp-home-"))
        self.addCleanup(shutil.rmtree, home, ignore_errors=True)
        (home / ".local" / "share").mkdir(parents=True)
        env = dict(os.environ, HOME=str(home), XDG_DATA_HOME=str(home / ".local" / "share"))
        result = subprocess.run([str(executable), *args], cwd=cwd, env=env,
                                capture_output=True, timeout=60)
        logs = sorted(home.rglob("*.log"))
        self.assertEqual(len(logs), 1, result)
        return result, logs[0].read_text(encoding="utf-8", errors="replace")

    def test_output_runs_from_a_moved_folder_with_spaces_and_non_ascii(self):
        launcher = harness.launcher_binary()
        result = self.build_app(launcher=launcher)
        self.assertEqual(result.returncode, 0, result.stderr)
        moved = self.dir / "moved dir é" / "app folder"
        moved.parent.mkdir()
        os.rename(self.out, moved)
        result, log = self.run_frozen(moved / "app", "3", "ü", cwd="/")
        self.assertEqual(result.returncode, 3, log)
        self.assertEqual(result.stdout.decode().splitlines(), [
            "sqlite 42", "decimal decimal 0.3", 'resources {"rows": 2}', "get_data notes",
            "add-data extra", 'beside the main module {"theme": "dark"}',
            "namespace ns argv ['3', 'ü']"])

    def test_a_boot_script_without_an_application_runs(self):
        # The folder still gets lib.dll with the interpreter's start-up modules.
        boot = self.write("boot.py", "import stub\nstub.log('boot script ran')\n")
        result = run_mkapp("--launcher", harness.launcher_binary(), "-o", self.out / "app",
                           "--boot-script", boot)
        self.assertEqual(result.returncode, 0, result.stderr)
        result, log = self.run_frozen(self.out / "app", cwd="/")
        self.assertEqual(result.returncode, 0, log)
        self.assertIn("\nboot script ran\n", log)


if __name__ == "__main__":
    unittest.main()
