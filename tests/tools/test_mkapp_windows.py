"""The build tool's Windows output (--windows-python): lib.dll holds the
Windows interpreter's own compiled standard library; the output folder
holds a copy of the launcher whose resource section is the application's,
python311.dll, python311.zip, the extension modules the imports reach and
the DLLs they import. The stand-ins for the launcher and the interpreter's
binaries are small PE files made with MinGW's binutils; the tool only reads
and places them."""

import os
import py_compile
import shutil
import subprocess
import sys
import unittest
import zipfile
from pathlib import Path
from unittest import mock

from tooltest import ToolTestCase, mkapp, run_mkapp
from mkapp.graph import STARTUP_MODULES
from mkapp.target_windows import ZONEINFO_DIR
from test_runtime_hooks import load_hook

MARKER = b"\x00compiled for Windows\x00"

# A launcher stand-in: code that refers to its data (a base relocation), a
# resource section, then sections that must move with it (.reloc, .stab).
LAUNCHER_SOURCE = ".globl _start\n_start:\n  movl $value, %eax\n  ret\n.data\nvalue: .long 7\n"
STDLIB = {"json/__init__.py": "from json import decoder\n", "json/decoder.py": "import re\n",
          "re.py": "import _sre\n", "ssl.py": "import _ssl, socket\n",
          "socket.py": "import _socket, select\n", "encodings/idna.py": "import stringprep\n",
          "stringprep.py": "from unicodedata import ucd_3_2_0\n",
          "tkinter/__init__.py": "import _tkinter\n", "zoneinfo/__init__.py": "import _zoneinfo\n"}


def binutils(arch, tool):
    program = shutil.which("%s-w64-mingw32-%s" % (arch, tool))
    if program is None:
        raise unittest.SkipTest("MinGW binutils for %s are not installed" % arch)
    return program


def make_pe(folder: Path, name: str, arch="i686", imports=(), rc=None) -> Path:
    """A PE file: an executable (with the resources of `rc`), or a DLL that
    imports one function of each DLL in `imports`."""
    folder.mkdir(parents=True, exist_ok=True)
    prefix = "_" if arch == "i686" else ""
    calls = "".join("  call %sf%d\n" % (prefix, n) for n in range(len(imports)))
    (folder / "code.s").write_text(".globl %sstart\n%sstart:\n%s  ret\n" % (prefix, prefix, calls)
                                   if imports or rc is None else LAUNCHER_SOURCE)
    debugging = ["-g"] if rc is not None else []  # sections after the resources
    subprocess.run([binutils(arch, "as")] + debugging + [str(folder / "code.s"), "-o",
                    str(folder / "code.o")], check=True)
    inputs = [str(folder / "code.o")]
    for n, dll in enumerate(imports):
        (folder / "f.def").write_text("EXPORTS\nf%d\n" % n)
        library = folder / ("lib%d.a" % n)
        subprocess.run([binutils(arch, "dlltool"), "--dllname", dll, "--def",
                        str(folder / "f.def"), "--output-lib", str(library)], check=True)
        inputs.append(str(library))
    if rc is not None:
        (folder / "app.rc").write_text(rc)
        subprocess.run([binutils(arch, "windres"), str(folder / "app.rc"), "-O", "coff", "-o",
                        str(folder / "rc.o")], check=True)
        inputs.append(str(folder / "rc.o"))
    kind = ["--dynamicbase"] if rc is not None else ["--shared"]
    subprocess.run([binutils(arch, "ld")] + kind + ["-e", prefix + "start", "-o",
                    str(folder / name)] + inputs, check=True)
    return folder / name


class WindowsOutputTest(ToolTestCase):

    def setUp(self):
        super().setUp()
        self.interpreter = self.dir / "windows-python"
        # python311.zip: bytecode compiled here, with a marker that shows the
        # archive took these bytes and did not compile the module again
        stdlib = {name.replace(".", "/") + ".py": "" for name in STARTUP_MODULES}
        stdlib["encodings/__init__.py"] = ""
        self.interpreter.mkdir()
        with zipfile.ZipFile(self.interpreter / "python311.zip", "w") as archive:
            for name, source in {**stdlib, **STDLIB}.items():
                source_path = self.write("stdlib-src/" + name, source)
                compiled = self.dir / "stdlib-pyc" / (name + "c")
                py_compile.compile(str(source_path), str(compiled), doraise=True)
                archive.writestr(name + "c", compiled.read_bytes() + MARKER)
        pe = self.dir / "pe"
        make_pe(pe, "python311.dll")
        for name in ("python311.dll", "_ssl.pyd", "_socket.pyd", "select.pyd", "_sqlite3.pyd",
                     "unicodedata.pyd", "_zoneinfo.pyd"):
            shutil.copyfile(pe / "python311.dll", self.interpreter / name)
        make_pe(pe / "tk", "tk86.dll", imports=["tcl86.dll"])
        make_pe(pe / "tkinter", "_tkinter.pyd", imports=["tk86.dll", "python311.dll"])
        for name in ("tk/tk86.dll", "tkinter/_tkinter.pyd"):
            shutil.copyfile(pe / name, self.interpreter / Path(name).name)
        shutil.copyfile(pe / "python311.dll", self.interpreter / "tcl86.dll")
        for name in ("tcl8.6/init.tcl", "tk8.6/tk.tcl"):
            self.write("windows-python/tcl/" + name, "# " + name)
        (self.interpreter / "builtin_modules.txt").write_text("sys\nnt\n_sre\nwinreg\n")
        self.launcher = make_pe(self.dir / "windows-launcher", "launcher.exe",
                                rc='1 SCRIPT "code.s"\n2 DATA "code.s"\n')

    def make(self, main_source, *extra, output=("--emit-rc", None)):
        self.write("app/shop/__init__.py", "")
        self.write("app/shop/main.py", main_source)
        self.write("boot.py", "import stub\n")
        return run_mkapp("--boot-script", self.dir / "boot.py", "--app", self.dir / "app",
                         "--main-module", "shop.main", "--windows-python", self.interpreter,
                         output[0], output[1] or self.out, *extra)

    def make_exe(self, main_source, *extra):
        return self.make(main_source, "--launcher", self.launcher, *extra,
                         output=("-o", self.out / "Shop.exe"))

    def test_the_folder_holds_the_interpreter_and_the_extensions_reached(self):
        result = self.make("import json, ssl\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")  # nt, _sre and the .pyd modules are not missing
        placed = sorted(p.name for p in self.out.iterdir() if p.suffix in (".dll", ".zip", ".pyd"))
        self.assertEqual(placed, ["_socket.pyd", "_ssl.pyd", "lib.dll", "python311.dll",
                                  "python311.zip", "select.pyd", "unicodedata.pyd"])
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

    def test_one_command_writes_the_executable_with_the_application_s_resources(self):
        import pefile
        self.write("data.txt", "shipped data" * 500)  # the section grows by pages
        result = self.make_exe("import json\n", "--data", self.dir / "data.txt",
                               "--set", "__product=Shöp ✓")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue({"lib.dll", "python311.dll", "python311.zip", "build-report.txt"}
                        <= {p.name for p in self.out.iterdir()})
        before, after = (pefile.PE(data=path.read_bytes())
                         for path in (self.launcher, self.out / "Shop.exe"))
        self.assertTrue(after.verify_checksum())
        self.assertEqual([w for w in after.get_warnings() if "Byte 0x00" not in w], [])
        strings = after.FileInfo[0][0].StringTable[0].entries
        self.assertEqual((strings[b"__main_script"], strings[b"__product"].decode()),
                         (b"shop.main", "Shöp ✓"))
        resources = {(str(kind.name or kind.id), entry.id): after.get_data(
            language.data.struct.OffsetToData, language.data.struct.Size)
            for kind in after.DIRECTORY_ENTRY_RESOURCE.entries
            for entry in kind.directory.entries for language in entry.directory.entries}
        self.assertEqual(resources[("DATA", 1)], b"shipped data" * 500)
        self.assertNotIn(("DATA", 2), resources)  # the launcher's own resources are gone
        self.assertEqual(mkapp.unpack_boot_script(resources[("SCRIPT", 1)])[0][:4],
                         mkapp.compile_boot_source("")[:4])
        # code and data keep their bytes and addresses; the moved relocations still name the code
        for old, new in zip(before.sections[:2], after.sections[:2]):
            self.assertEqual((old.VirtualAddress, old.get_data()), (new.VirtualAddress, new.get_data()))
        self.assertEqual([[entry.rva for entry in block.entries if entry.type]
                          for block in after.DIRECTORY_ENTRY_BASERELOC], [[0x1001]])
        self.assertEqual(after.sections[-1].get_data(), before.sections[-1].get_data())

    def test_a_launcher_for_another_processor_is_refused(self):
        make_pe(self.dir / "pe64", "python311.dll", arch="x86_64")
        shutil.copyfile(self.dir / "pe64" / "python311.dll", self.interpreter / "python311.dll")
        line = self.assert_clean_failure(self.make_exe("import json\n"), 1)
        self.assertIn("built for i686, the Windows interpreter", line)

    def test_tkinter_brings_the_tcl_and_tk_dlls_and_script_libraries(self):
        result = self.make_exe("import tkinter\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        for name in ("_tkinter.pyd", "tk86.dll", "tcl86.dll", "tcl/tcl8.6/init.tcl",
                     "tcl/tk8.6/tk.tcl"):
            self.assertTrue((self.out / name).is_file(), name)
        self.assertIn("_hook_tkinter", (self.out / "build-report.txt").read_text())

    def test_zoneinfo_brings_a_time_zone_package_that_zoneinfo_reads(self):
        if not (ZONEINFO_DIR / "Europe" / "Paris").is_file():
            self.skipTest("no time-zone database here")
        result = self.make_exe("import zoneinfo\n")
        self.assertEqual(result.returncode, 0, result.stderr)
        package = self.out / "tzdata"
        self.assertEqual((package / "zoneinfo" / "Europe" / "Paris").read_bytes(),
                         (ZONEINFO_DIR / "Europe" / "Paris").read_bytes())
        self.assertFalse((package / "zoneinfo" / "posix").exists())
        # the output's package, found as zoneinfo finds it where no system database is
        code = ("import sys, zoneinfo, datetime; sys.path.insert(0, sys.argv[1]);"
                "zoneinfo.reset_tzpath(to=[]); z = zoneinfo.ZoneInfo('America/Argentina/Salta');"
                "print(z.utcoffset(datetime.datetime(2026, 1, 1)), "
                "'Europe/Paris' in zoneinfo.available_timezones())")
        run = subprocess.run([sys.executable, "-I", "-c", code, str(self.out)],
                             capture_output=True, text=True)
        self.assertEqual(run.stdout.split(), ["-1", "day,", "21:00:00", "True"], run.stderr)

    def test_posix_extension_modules_are_reported_not_carried(self):
        self.write("site/fast/__init__.py", "try:\n    from . import _speed\nexcept ImportError:\n"
                                            "    _speed = None\n")
        self.write("site/fast/_speed.cpython-311-x86_64-linux-gnu.so", "ELF")
        self.write("site/fast/table.txt", "data")
        result = self.make_exe("import fast\n", "--path", self.dir / "site")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(p.name for p in (self.out / "fast").iterdir()),
                         ["__init__.pyc", "table.txt"])
        self.assertIn("_speed.cpython-311-x86_64-linux-gnu.so is an extension module for "
                      "another platform: not carried", result.stderr)
        self.assertIn("fast/_speed.cpython-311-x86_64-linux-gnu.so",
                      (self.out / "build-report.txt").read_text())


class WindowsTkinterHookTest(unittest.TestCase):
    def test_on_windows_the_tcl_library_is_always_the_carried_one(self):
        folder = Path("/no such folder/App")  # nothing carried there: set all the same
        with mock.patch.dict(os.environ, {"TCL_LIBRARY": "D:/tcl"}, clear=True), \
                mock.patch.object(sys, "executable", str(folder / "app.exe")), \
                mock.patch.object(sys, "platform", "win32"):
            load_hook("tkinter")
            self.assertEqual((os.environ["TCL_LIBRARY"], os.environ["TK_LIBRARY"]),
                             (str(folder / "tcl" / "tcl8.6"), str(folder / "tcl" / "tk8.6")))


if __name__ == "__main__":
    unittest.main()
