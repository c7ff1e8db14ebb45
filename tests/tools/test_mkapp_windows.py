"""The build tool's Windows output (--windows-python): lib.dll holds the
Windows interpreter's own compiled standard library, and the --emit-rc folder
receives python311.dll, python311.zip and the extension modules the
application's imports reach. A stand-in interpreter folder is enough: the
tool only reads and places these files."""

import py_compile
import zipfile

from tooltest import ToolTestCase, mkapp, run_mkapp
from mkapp.graph import STARTUP_MODULES

MARKER = b"\x00compiled for Windows\x00"


class WindowsOutputTest(ToolTestCase):

    def setUp(self):
        super().setUp()
        self.interpreter = self.dir / "windows-python"
        self.interpreter.mkdir()
        # python311.zip: bytecode compiled here, with a marker that shows the
        # archive took these bytes and did not compile the module again
        stdlib = {name.replace(".", "/") + ".py": "" for name in STARTUP_MODULES}
        stdlib["encodings/__init__.py"] = ""
        with zipfile.ZipFile(self.interpreter / "python311.zip", "w") as archive:
            for name, source in {**stdlib, "json/__init__.py": "from json import decoder\n",
                                 "json/decoder.py": "import re\n",
                                 "re.py": "import _sre\n",
                                 "ssl.py": "import _ssl, socket\n",
                                 "socket.py": "import _socket, select\n",
                                 "encodings/idna.py": "import stringprep\n",
                                 "stringprep.py": "from unicodedata import ucd_3_2_0\n"}.items():
                source_path = self.write("stdlib-src/" + name, source)
                compiled = self.dir / "stdlib-pyc" / (name + "c")
                compiled.parent.mkdir(parents=True, exist_ok=True)
                py_compile.compile(str(source_path), str(compiled), doraise=True)
                archive.writestr(name + "c", compiled.read_bytes() + MARKER)
        (self.interpreter / "python311.dll").write_bytes(b"MZ dll")
        (self.interpreter / "builtin_modules.txt").write_text("sys\nnt\n_sre\nwinreg\n")
        for name in ("_ssl", "_socket", "select", "_sqlite3", "unicodedata"):
            (self.interpreter / (name + ".pyd")).write_bytes(b"MZ " + name.encode())

    def make(self, main_source, *extra):
        self.write("app/shop/__init__.py", "")
        self.write("app/shop/main.py", main_source)
        self.write("boot.py", "import stub\n")
        return run_mkapp("--boot-script", self.dir / "boot.py", "--app", self.dir / "app",
                         "--main-module", "shop.main", "--windows-python", self.interpreter,
                         "--emit-rc", self.out, *extra)

    def test_the_folder_holds_the_interpreter_and_the_extensions_reached(self):
        result = self.make("import json, ssl\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")  # nt, _sre and the .pyd modules are not missing
        placed = sorted(p.name for p in self.out.iterdir() if p.suffix in (".dll", ".zip", ".pyd"))
        self.assertEqual(placed, ["_socket.pyd", "_ssl.pyd", "lib.dll", "python311.dll",
                                  "python311.zip", "select.pyd", "unicodedata.pyd"])
        self.assertEqual((self.out / "_ssl.pyd").read_bytes(), b"MZ _ssl")
        with zipfile.ZipFile(self.out / "lib.dll") as archive:
            names = set(archive.namelist())
            self.assertTrue(archive.read("json/decoder.pyc").endswith(MARKER))
        # the codecs are imported by name at run time: what they import is there too
        self.assertLessEqual({"shop/main.pyc", "json/__init__.pyc", "json/decoder.pyc", "re.pyc",
                              "ssl.pyc", "socket.pyc", "encodings/idna.pyc", "stringprep.pyc"},
                             names)
        self.assertFalse(any(name.endswith(".pyd") for name in names))

    def test_a_module_the_interpreter_lacks_is_still_reported(self):
        result = self.make("import json\nimport no_such_module\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("missing no_such_module, imported by shop.main", result.stderr)
        self.assertNotIn("_ssl.pyd", [p.name for p in self.out.iterdir()])

    def test_an_incomplete_interpreter_folder_fails_cleanly(self):
        (self.interpreter / "python311.zip").unlink()
        self.assert_clean_failure(self.make("import json\n"), 1)

    def test_windows_output_needs_a_folder_to_link_from(self):
        result = run_mkapp("--launcher", self.launcher, "-o", self.out / "app",
                           "--windows-python", self.interpreter)
        self.assertEqual(result.returncode, 2)
        self.assertIn("--windows-python needs --emit-rc", result.stderr)
