"""A package on --path as its author left it: named like an installed
package (Debian's yaml), with a helper program of mode 0755 among its data
files and a module that does not compile and that nothing imports. The
build succeeds and names the broken module and the shadowed package in its
report; the frozen application imports the --path package, and the helper
keeps its mode and runs. From an output folder moved to a path with blanks
and non-ASCII letters, with the build machine's Python and packages hidden."""

import os
import stat
import unittest

import frozen

MAIN_SOURCE = '''\
import os
import subprocess

import yaml

print("yaml from", yaml.WHERE)
helper = os.path.join(os.path.dirname(yaml.__file__), "bin", "helper.sh")
print(subprocess.run([helper], capture_output=True, text=True, check=True).stdout.strip())
'''


class PathPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        frozen.require_modules("yaml")
        cls.workspace = frozen.Workspace.for_test(cls)
        source = cls.workspace.write_app("pathapp", {"pathapp.py": MAIN_SOURCE})
        library = cls.workspace.write_app("library", {
            "yaml/__init__.py": "WHERE = 'the --path folder'\n",
            "yaml/bin/helper.sh": "#!/bin/sh\necho helper ran\n",
            "yaml/unused_fixture.py": "# -*- coding: uft-8 -*-\nVALUE = 1\n",
        })
        os.chmod(library / "yaml" / "bin" / "helper.sh", 0o755)
        built = cls.workspace.freeze(source, "pathapp", "pathapp", "--path", library,
                                     "--path", frozen.DIST_PACKAGES)
        cls.report = (built.folder / "build-report.txt").read_text(encoding="utf-8")
        cls.build_stderr = built.build_stderr
        cls.app = built.moved_to(cls.workspace.root / "moved" / "Prögram Fïles ✓" / "path app")

    def test_the_report_names_the_broken_module_and_the_shadowed_package(self):
        self.assertRegex(self.report, r"\n  yaml\.unused_fixture: .*unknown encoding: uft-8")
        self.assertIn("yaml.unused_fixture", self.build_stderr)
        self.assertRegex(self.report, r"\n  yaml: \S*library/yaml/__init__\.py hides "
                                      r"/usr/lib/python3/dist-packages/yaml/__init__\.py")

    def test_the_path_package_wins_and_its_helper_keeps_its_mode_and_runs(self):
        helper = self.app.folder / "yaml" / "bin" / "helper.sh"
        self.assertEqual(stat.S_IMODE(helper.stat().st_mode), 0o755)
        frozen.require_mount_namespace()
        run = self.workspace.run(self.app, hidden=True)
        self.assertEqual((run.exit_code, run.stdout),
                         (0, "yaml from the --path folder\nhelper ran\n"), run.describe())


if __name__ == "__main__":
    unittest.main()
