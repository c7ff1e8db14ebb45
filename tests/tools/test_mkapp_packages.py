"""Tests of what a carried package brings along: its test suites and what
only its unreached modules import stay out; the modules its extension
modules import from C, its data behind links and what package hooks add
come in; a broken module nothing imports is left out; a --path module
shadowing another is named."""

import os
import shutil
import subprocess
import unittest

from test_mkapp_graph import GraphTestCase

from tooltest import mkapp

from mkapp.placement import place
from mkapp.report import report_text, summary_lines

C_SOURCE = """\
const char *wanted[] = {"helper_pkg.sub", "_private_c", "plainword"};
"""


class CarriedPackageTest(GraphTestCase):
    def lib(self):
        return [self.dir / "lib"]

    def test_test_suites_and_what_only_unreached_modules_import_stay_out(self):
        self.write("lib/big/__init__.py", "from . import core\n"
                                          "def check():\n    from . import testing\n")
        self.write("lib/big/core.py")
        self.write("lib/big/extra.py", "import heavy\nimport json\n")
        self.write("lib/big/conftest.py", "import heavy\n")
        self.write("lib/big/testing/__init__.py")
        self.write("lib/big/tests/__init__.py")
        self.write("lib/big/tests/test_core.py", "import heavy\n")
        self.write("lib/big/tests/data/sample.txt", "data")
        self.write("lib/big/images/icon.png", "png")
        self.write("lib/heavy/__init__.py")
        self.write("app/main.py", "import big\n")
        app = self.graph(search_path=self.lib())
        modules = set(app.graph.modules)
        self.assertIn("big.extra", modules)  # carried whole ...
        self.assertIn("json", modules)       # ... with what it imports of the standard library
        for name in ("heavy", "big.tests", "big.conftest", "big.testing"):
            self.assertNotIn(name, modules)
        copies = {str(path) for path in place(app, self.target).copies}
        self.assertIn("big/images/icon.png", copies)
        self.assertNotIn("big/tests/data/sample.txt", copies)
        self.write("app/main.py", "import big.extra\nimport big.tests.test_core\n")
        modules = set(self.graph(search_path=self.lib()).graph.modules)
        self.assertIn("heavy", modules)
        self.assertIn("big.tests.test_core", modules)

    def test_modules_named_in_an_extension_s_data_are_carried(self):
        compiler = shutil.which("gcc") or shutil.which("cc")
        if compiler is None:
            raise unittest.SkipTest("no C compiler")
        source = self.write("cext.c", C_SOURCE)
        extension = self.dir / "lib" / ("cext" + self.target.extension_suffixes[0])
        extension.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run([compiler, "-shared", "-fPIC", "-o", str(extension), str(source)],
                       check=True)
        self.write("lib/helper_pkg/__init__.py")
        self.write("lib/helper_pkg/sub.py")
        self.write("lib/_private_c.py")
        self.write("lib/plainword.py")
        self.write("app/main.py", "import cext\n")
        app = self.graph(search_path=self.lib())
        modules = set(app.graph.modules)
        for name in ("helper_pkg.sub", "_private_c"):
            self.assertIn(name, modules)
        self.assertNotIn("plainword", modules)  # a plain word may be anything
        report = report_text(app, place(app, self.target))
        self.assertIn("helper_pkg.sub, found in cext", report)

    def test_links_are_followed_and_those_that_lead_nowhere_or_loop_are_reported(self):
        self.write("outside/res/icon.png", "png")
        self.write("outside/res/deep/more.txt", "text")
        os.symlink(self.dir / "outside" / "res", self.dir / "outside" / "res" / "deep" / "loop")
        self.write("lib/linked/__init__.py")
        os.symlink(self.dir / "outside" / "res", self.dir / "lib" / "linked" / "res")
        os.symlink(self.dir / "absent", self.dir / "lib" / "linked" / "dangling")
        self.write("app/main.py", "import linked\n")
        app = self.graph(search_path=self.lib())
        placement = place(app, self.target)
        copies = {str(path) for path in placement.copies}
        self.assertTrue({"linked/res/icon.png", "linked/res/deep/more.txt"} <= copies, copies)
        self.assertEqual(sorted(placement.skipped_links),
                         ["linked/dangling", "linked/res/deep/loop"])
        self.assertIn("linked/dangling: a link that leads nowhere", report_text(app, placement))
        self.assertIn("warning: 2 links in carried folders",
                      "\n".join(summary_lines(app, "report", placement)))

    def test_package_hooks_carry_data_hidden_imports_and_run_time_settings(self):
        self.write("shared/themes/dark.css", "css")
        self.write("lib/themed/__init__.py")
        self.write("lib/themed/loaded_by_name.py", "import csv\n")
        self.write("hooks/themed.py", """\
            DATA = {%r: "themed/themes", "README": "themed/README"}
            HIDDEN_IMPORTS = ["themed.loaded_by_name"]
            ENVIRONMENT = {"THEMED_THEMES": "themed/themes"}
            """ % str(self.dir / "shared" / "themes"))
        self.write("lib/themed/README", "the package's own")
        self.write("app/main.py", "import themed\n")
        app = self.graph(search_path=self.lib(), package_hooks_dirs=[self.dir / "hooks"])
        self.assertIn("csv", set(app.graph.modules))  # the hidden import's own imports
        self.assertEqual(app.hooks, ["_pkghook_themed"])
        placement = place(app, self.target)
        self.assertEqual(placement.copies[mkapp.placement.PurePosixPath("themed/themes/dark.css")],
                         self.dir / "shared" / "themes" / "dark.css")
        self.assertIn("themed/README", {str(path) for path in placement.copies})
        self.assertIn("_pkghook_themed.pyc", placement.archive)
        environment = {}
        exec(app.package_hooks[0].runtime_source().replace("os.environ", "environment"),
             {"environment": environment, "__name__": "hook"})
        self.assertEqual(environment, {})  # the folder is not beside this interpreter
        self.write("hooks/themed.py", "DATA_FILES = {}\n")
        with self.assertRaisesRegex(mkapp.BuildError, "sets DATA_FILES"):
            self.graph(search_path=self.lib(), package_hooks_dirs=[self.dir / "hooks"])

    def test_a_broken_module_is_left_out_unless_reached_and_shadowing_is_named(self):
        self.write("lib/fixtures/__init__.py")
        self.write("lib/fixtures/bad_coding.py", "# -*- coding: uft-8 -*-\n")
        self.write("lib/calendar.py", "MINE = True\n")
        self.write("app/main.py", "import fixtures, calendar\n")
        app = self.graph(search_path=self.lib())
        self.assertIn("unknown encoding: uft-8", app.left_out["fixtures.bad_coding"])
        self.assertNotIn("fixtures.bad_coding", place(app, self.target).files)
        self.assertEqual([(name, hidden.name) for name, _, hidden in app.shadows],
                         [("calendar", "calendar.py")])
        self.assertEqual(app.graph.modules["calendar"].root, self.dir / "lib")
        self.write("app/main.py", "import fixtures.bad_coding\n")
        with self.assertRaisesRegex(mkapp.BuildError, "bad_coding.py.*uft-8"):
            self.graph(search_path=self.lib())


if __name__ == "__main__":
    unittest.main()
