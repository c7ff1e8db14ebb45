"""Applications frozen for Windows by the build tool's one command (mkapp
--windows-python ... -o App.exe: a copy of the Windows launcher holding the
application's resources, with the interpreter and what the imports need
beside it), run under Wine as a user runs them:

- the example application, from the same sources as the POSIX tests: the
  launcher reads its configuration through GetFileVersionInfoW;
- the standard-library application of the POSIX tests, whose output equals
  that of the same module run by python3.11 here;
- requests, jinja2 and yaml from Debian's packages (their pure-Python
  forms), from a folder moved to a path with blanks and non-ASCII letters;
- the Tkinter application of the POSIX tests under Xvfb, when the Windows
  interpreter has Tk.
"""

import os
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

from wine_harness import (INTERPRETER, LINK, PYTHON, SOURCE_DIR, WINE, WineSandbox,
                          appdata_folder, enter_test_network, windows_path, wine_environment)

sys.path.insert(0, str(SOURCE_DIR / "tests" / "tools"))
import frozen  # noqa: E402
import test_frozen_stdlib  # noqa: E402
import test_frozen_tk  # noqa: E402

MKAPP = SOURCE_DIR / "tools" / "mkapp.py"
COMPANY = "LauncherWineFrozen"
RUN_TIMEOUT = 240

PACKAGES_APP = '''\
import os
import sys

import certifi
import jinja2
import markupsafe
import requests
import yaml

response = requests.get("http://127.0.0.1:%s/answer" % sys.argv[1], timeout=30)
print("requests", response.status_code, response.headers["Content-Type"], response.json())
print("certifi", os.path.isfile(certifi.where()),
      os.path.dirname(certifi.where()) == os.path.dirname(certifi.__file__))
template = jinja2.Environment(autoescape=True).from_string("<p>{{ who }} says {{ what }}</p>")
print("jinja2", template.render(who="Tom & Jerry", what="<hello>"), markupsafe.escape.__module__)
document = yaml.safe_load("name: frozen\\nitems: [1, 2.5, yes]\\n")
print("yaml", sorted(document.items()), yaml.__with_libyaml__)
print("folder", os.path.basename(os.path.dirname(sys.executable)))
'''


def setUpModule():
    enter_test_network()


def freeze(root: Path, app_dir: Path, main_module: str, name: str, *options) -> Path:
    """The one command; returns the executable, in the folder root/name. A
    generated resource script names the company COMPANY."""
    executable = root / name / (name + ".exe")
    if "--rc" not in options:
        options += ("--set", "__company=" + COMPANY)
    result = subprocess.run(
        [PYTHON, str(MKAPP), "--launcher", LINK["launcher"], "--windows-python", str(INTERPRETER),
         "--windres", LINK["windres"], "--app", str(app_dir), "--main-module", main_module,
         "-o", str(executable)] + [str(o) for o in options],
        capture_output=True, text=True, timeout=600, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        raise AssertionError("mkapp failed:\n" + result.stderr)
    return executable


def run(executable: Path, args=(), env=None, cwd=None) -> subprocess.CompletedProcess:
    try:
        return subprocess.run([WINE, str(executable)] + [str(arg) for arg in args],
                              cwd=cwd or executable.parent.parent, env=wine_environment(env),
                              capture_output=True, text=True, errors="replace",
                              timeout=RUN_TIMEOUT, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired as expired:
        raise AssertionError("%s did not end within %d s: %r"
                             % (executable.name, RUN_TIMEOUT, expired.stderr))


def logs_of(company: str, product: str) -> list:
    folder = appdata_folder() / company / product / "logs"
    return [path.read_text(encoding="utf-8", errors="replace")
            for path in sorted(folder.glob("*.log"))] if folder.is_dir() else []


def describe(result, company=COMPANY, product="") -> str:
    return "exit %d\nstdout:\n%s\nstderr:\n%s\nlogs:\n%s" % (
        result.returncode, result.stdout, result.stderr[-3000:],
        "\n".join(logs_of(company, product)))


class FrozenTestCase(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.sandbox = WineSandbox()
        cls.addClassCleanup(cls.sandbox.cleanup)
        cls.addClassCleanup(shutil.rmtree, appdata_folder() / COMPANY, ignore_errors=True)


class ExampleApplicationTest(FrozenTestCase):

    def test_the_example_application_reads_its_configuration_and_runs(self):
        executable = freeze(self.sandbox.root, SOURCE_DIR / "examples" / "app",
                            "mendrix.outer_application", "Mendrix",
                            "--rc", SOURCE_DIR / "resources" / "launcher.rc",
                            "--boot-script", SOURCE_DIR / "examples" / "boot.py")
        logs = appdata_folder() / "MendrixSoftware" / "Mendrix" / "logs"
        shutil.rmtree(logs, ignore_errors=True)
        self.addCleanup(shutil.rmtree, logs, ignore_errors=True)
        result = run(executable, ["--echo", "hello from Windows ✓", "--no-upload", "--keep-logs"])
        text = "\n".join(logs_of("MendrixSoftware", "Mendrix"))
        self.assertEqual(result.returncode, 0, describe(result, "MendrixSoftware", "Mendrix"))
        for line in ("META:stub:version = 1.3.0.0", "META:stub:product = Mendrix",
                     "hello from Windows ✓"):
            self.assertIn(line, text)


class StdlibApplicationTest(FrozenTestCase):

    def test_the_output_equals_that_of_python3_11_from_source(self):
        root = self.sandbox.root
        server, cert = test_frozen_stdlib.https_server(root)
        self.addCleanup(server.close)
        source = root / "src" / "stdlib"
        source.mkdir(parents=True)
        (source / "stdlib_app.py").write_text(test_frozen_stdlib.APP_SOURCE, encoding="utf-8")
        executable = freeze(root, source, "stdlib_app", "stdlib app")
        (root / "linux-data").mkdir()
        expected = subprocess.run([PYTHON, str(source / "stdlib_app.py"), str(server.port),
                                   str(cert)], capture_output=True, text=True, timeout=RUN_TIMEOUT,
                                  env={"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8",
                                       "XDG_DATA_HOME": str(root / "linux-data")})
        self.assertEqual(expected.returncode, 0, expected.stderr)
        (root / "windows-data").mkdir()
        result = run(executable, [server.port, windows_path(cert)],
                     env={"XDG_DATA_HOME": windows_path(root / "windows-data")})
        self.assertEqual((result.returncode, result.stdout), (0, expected.stdout),
                         describe(result, product="stdlib app"))
        self.assertTrue((executable.parent / "tzdata" / "zoneinfo" / "Europe" / "Paris").is_file())


class PackagesTest(FrozenTestCase):

    def test_requests_jinja2_and_yaml_from_a_moved_folder(self):
        frozen.require_modules("requests", "jinja2", "yaml", "certifi")
        root = self.sandbox.root
        server = frozen.LoopbackServer(lambda path: b'{"answer": 42}', "application/json")
        self.addCleanup(server.close)
        source = root / "src" / "packages"
        source.mkdir(parents=True)
        (source / "packages_app.py").write_text(PACKAGES_APP, encoding="utf-8")
        built = freeze(root, source, "packages_app", "packages", "--path", frozen.DIST_PACKAGES)
        report = (built.parent / "build-report.txt").read_text()
        self.assertIn("markupsafe/_speedups.cpython-311", report)  # reported, not carried
        moved = root / "Prögram Fïles ✓" / "packages folder"
        moved.parent.mkdir()
        os.rename(built.parent, moved)
        result = run(moved / built.name, [server.port], cwd=root)
        self.assertEqual(result.returncode, 0, describe(result, product="packages"))
        self.assertEqual(result.stdout.splitlines(), [
            "requests 200 application/json {'answer': 42}",
            "certifi True True",
            "jinja2 <p>Tom &amp; Jerry says &lt;hello&gt;</p> markupsafe._native",
            "yaml [('items', [1, 2.5, True]), ('name', 'frozen')] False",
            "folder packages folder"])


class TkApplicationTest(FrozenTestCase):

    def test_the_window_shows_what_it_drew_and_the_application_exits_0(self):
        if not (INTERPRETER / "_tkinter.pyd").is_file():
            self.skipTest("the Windows interpreter was built without Tk")
        frozen.require_programs("Xvfb", "/usr/bin/import")
        frozen.require_modules("PIL.Image")
        root = self.sandbox.root
        display = frozen.VirtualDisplay()
        self.addCleanup(display.close)
        source = root / "src" / "tk"
        (source / "tkdemo").mkdir(parents=True)
        (source / "tkdemo" / "__init__.py").write_text("")
        (source / "tkdemo" / "app.py").write_text(test_frozen_tk.APP_SOURCE, encoding="utf-8")
        (source / "tkdemo" / "square.png").write_bytes(test_frozen_tk.blue_png())
        executable = freeze(root, source, "tkdemo.app", "tk app")
        marker = root / "tk-done"
        process = subprocess.Popen([WINE, str(executable), windows_path(marker)], cwd=root,
                                   env=wine_environment({"DISPLAY": display.name}),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        try:
            words = frozen.LineReader(process.stdout).next_line(RUN_TIMEOUT).split()
            self.assertEqual(words[0], "shown")
            x, y = int(words[1]), int(words[2])
            checks = test_frozen_tk.TkApplicationTest("assert_window_drawn")
            checks.display = display
            screenshot = checks.screenshot_showing(x, y)
            marker.touch()
            frozen.stop(process, RUN_TIMEOUT)
        finally:
            if process.poll() is None:
                process.kill()
            process.wait()
            process.stdout.close()
        checks.assert_window_drawn(screenshot, x, y)
        self.assertEqual(process.returncode, 0, "\n".join(logs_of(COMPANY, "tk app")))


if __name__ == "__main__":
    unittest.main()
