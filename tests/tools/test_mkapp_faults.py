"""The build tool's own faults: file names it cannot show on one line,
a build killed while it puts the output in place, an output folder inside
the application folder, and file names that are not UTF-8."""

import os
from unittest import mock

from tooltest import ToolTestCase, mkapp, run_mkapp

assembly = mkapp.assembly


class BuildFaultTest(ToolTestCase):
    def setUp(self):
        super().setUp()
        self.write("src/main.py", "print('hello')\n")

    def build_app(self, output=None):
        return run_mkapp("--launcher", self.launcher, "-o", output or self.out / "app",
                         "--app", self.dir / "src", "--main-module", "main")

    def test_a_file_name_with_a_line_break_never_costs_a_user_s_file(self):
        self.write("src/notes\n  settings.ini", "data")
        self.assertEqual(self.build_app().returncode, 0)
        report = (self.out / "build-report.txt").read_text()
        self.assertIn("  'notes\\n  settings.ini'\n", report)
        self.write("out/settings.ini", "the user's own file")
        os.unlink(self.dir / "src" / "notes\n  settings.ini")
        self.assertEqual(self.build_app().returncode, 0)
        self.assertEqual((self.out / "settings.ini").read_text(), "the user's own file")
        self.assertFalse((self.out / "notes\n  settings.ini").exists())

    def test_a_killed_swap_leaves_an_output_and_the_next_build_tidies_up(self):
        self.write("out/app", "earlier")
        self.write("out/" + assembly.MANIFEST_NAME, '{"files": ["app", "%s"]}'
                   % assembly.MANIFEST_NAME)

        def killed_after(step):
            """Puts a new build in place and stops it, as a kill would, once
            `step` of the commit has run."""
            folder = assembly.OutputFolder(self.out, "report")
            folder.add("app", b"new")
            folder.add_marker("")
            folder.write()
            with mock.patch.object(assembly, step[0], side_effect=step[1]), \
                    self.assertRaises(KeyboardInterrupt):
                folder.commit()
            os.close(folder.lock)  # a killed build's lock goes with it

        def exchange_then_kill(first, second):
            os.rename(second, str(second) + ".moved")
            os.rename(first, second)
            os.rename(str(second) + ".moved", first)
            raise KeyboardInterrupt

        def stop(*args):
            raise KeyboardInterrupt

        for step in (("exchange_paths", exchange_then_kill), ("merge_folder", stop)):
            with self.subTest(killed_in=step[0]):
                if step[0] == "merge_folder":  # where no exchange is possible
                    with mock.patch.object(assembly, "exchange_paths", return_value=False):
                        killed_after(step)
                else:
                    killed_after(step)
                self.assertTrue((self.out / "app").is_file())
                leftovers = list(self.dir.glob(".out.build-*"))
                self.assertEqual(len(leftovers), 1)
                assembly.OutputFolder(self.out, "report").discard()
                self.assertEqual(list(self.dir.glob(".out.build-*")), [])

    def test_an_output_inside_the_application_folder_is_not_carried_into_itself(self):
        self.write("src/images/logo.svg", "<svg/>")
        inside = self.dir / "src" / "dist" / "app"
        self.assertEqual(self.build_app(inside).returncode, 0)
        first = sorted(path.name for path in inside.parent.rglob("*"))
        self.assertEqual(self.build_app(inside).returncode, 0)
        self.assertEqual(sorted(path.name for path in inside.parent.rglob("*")), first)
        self.assertTrue((inside.parent / "images" / "logo.svg").is_file())
        self.assert_clean_failure(self.build_app(self.dir / "src" / "app"), 1)

    def test_a_file_name_that_is_not_utf_8(self):
        (self.dir / "src").joinpath(os.fsdecode(b"caf\xe9.txt")).write_text("data")
        result = self.build_app()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue((self.out / os.fsdecode(b"caf\xe9.txt")).is_file())
        self.assertIn("caf\\udce9.txt", (self.out / "build-report.txt").read_text())
        result = self.build_app(self.dir / os.fsdecode(b"\xffout") / "app")
        self.assertEqual(result.returncode, 0, result.stderr)
