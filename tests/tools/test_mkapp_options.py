"""Tests of the build tool's command line: usage errors, build failures and
what a failed build leaves behind."""

import unittest

from tooltest import ToolTestCase, harness, mkapp, run_mkapp


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


if __name__ == "__main__":
    unittest.main()
