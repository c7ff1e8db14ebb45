"""End-to-end tests of where the embedded interpreter finds modules: its own
start-up modules come from the application folder, never from the build
machine, and the two relative entries of sys.path keep naming the
application's archive and folder after the working directory changes."""

import ast
import os
import zipfile

from expected import NORMAL_END, LauncherTestCase, Sandbox, startup_lines

REPORT_SCRIPT = """\
import importlib, os, stub, sys

def origin(name):
    return getattr(sys.modules[name], "__file__", None)

report = {
    "path": list(sys.path),
    "encodings": origin("encodings"),
    "encodings.utf_8": origin("encodings.utf_8"),
    "outside the folder": sorted(
        name for name, module in sys.modules.items()
        if getattr(module, "__file__", None)
        and not module.__file__.startswith(os.path.dirname(sys.executable) + os.sep)),
    "cached": {entry: repr(sys.path_importer_cache.get(entry)) for entry in sys.path},
}
os.chdir(stub.get_argv()[1])
import late, beside, pkg.sub
report["after chdir"] = [late.__file__, beside.__file__, pkg.sub.__file__, pkg.sub.VALUE]
# A module written into the folder at run time: found once the caches are invalidated.
folder = os.path.dirname(sys.executable)
with open(os.path.join(folder, "fresh.py"), "w") as fresh_source:
    fresh_source.write("ORIGIN = 'written'\\n")
importlib.invalidate_caches()
import later, beside_later, fresh
report["after invalidate_caches"] = [later.__file__, beside_later.__file__, fresh.__file__]
report["importers"] = [repr(sys.path_importer_cache.get(entry)) for entry in sys.path]
stub.log(repr(report))
"""


class ModuleSearchTest(LauncherTestCase):
    """An application whose boot script changes to a folder that holds a
    lib.dll and modules of the same names, then imports its own modules."""

    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox.for_test(cls)
        source = cls.sandbox.root / "app-source"
        (source / "pkg").mkdir(parents=True)
        for name in ("late", "later", "main"):
            (source / (name + ".py")).write_text("ORIGIN = 'archive'\n")
        (source / "pkg" / "__init__.py").write_text("")
        (source / "pkg" / "sub.py").write_text("VALUE = 'archive'\n")
        cls.app = cls.sandbox.make_app(app_dir=source, main_module="main",
                                       boot_source=REPORT_SCRIPT)
        for name in ("beside", "beside_later"):
            (cls.app.folder / (name + ".py")).write_text("ORIGIN = 'folder'\n")

        # A decoy of the application's own layout in the folder the script
        # changes to: relative entries of sys.path would find these.
        cls.decoy = cls.sandbox.root / "decoy"
        cls.decoy.mkdir()
        with zipfile.ZipFile(cls.decoy / "lib.dll", "w") as archive:
            for name in ("late.py", "later.py", "pkg/__init__.py", "pkg/sub.py"):
                archive.writestr(name, "VALUE = ORIGIN = 'decoy'\n")
        for name in ("beside", "beside_later"):
            (cls.decoy / (name + ".py")).write_text("ORIGIN = 'decoy'\n")

        cls.run_result = cls.sandbox.run(cls.app, [cls.decoy], env={
            "PYTHONHOME": str(cls.decoy), "PYTHONPATH": str(cls.decoy)})
        cls.lines = cls.run_result.single_log().lines
        cls.report = ast.literal_eval(cls.lines[len(startup_lines(cls.app))])
        cls.folder = os.path.realpath(cls.app.folder)
        cls.archive = os.path.join(cls.folder, "lib.dll")

    def test_the_run_is_whole(self):
        self.assertEqual(self.run_result.exit_code, 0, self.run_result.single_log().text)
        self.assertEqual(self.lines[-len(NORMAL_END):], NORMAL_END)
        self.assertEqual(self.report["path"], ["lib.dll", "."])

    def test_the_interpreter_s_start_up_modules_come_from_the_archive(self):
        for name in ("encodings", "encodings.utf_8"):
            self.assertTrue(self.report[name].startswith(self.archive + os.sep), self.report[name])
        self.assertEqual(self.report["outside the folder"], [])

    def test_the_relative_entries_have_the_absolute_paths_finders(self):
        self.assertEqual(self.report["cached"],
                         {"lib.dll": '<ArchiveImporter object "%s/">' % self.archive,
                          ".": "FolderFinder(%r)" % self.folder})

    def test_imports_after_a_change_of_directory_read_the_application_s_files(self):
        late, beside, sub, value = self.report["after chdir"]
        self.assertEqual(late, os.path.join(self.archive, "late.pyc"))
        self.assertEqual(beside, os.path.join(self.folder, "beside.py"))
        self.assertEqual(sub, os.path.join(self.archive, "pkg", "sub.pyc"))
        self.assertEqual(value, "archive")

    def test_the_finders_survive_importlib_invalidate_caches(self):
        self.assertEqual(self.report["after invalidate_caches"],
                         [os.path.join(self.archive, "later.pyc"),
                          os.path.join(self.folder, "beside_later.py"),
                          os.path.join(self.folder, "fresh.py")])
        self.assertEqual(self.report["importers"],
                         ['<ArchiveImporter object "%s/">' % self.archive,
                          "FolderFinder(%r)" % self.folder])


SERVED_SCRIPT = """\
import importlib.resources, inspect, pkgutil, stub, sys, traceback
import plain, packed, space.portion, data_pkg
report = {
    "plain": [plain.__file__, plain.VALUE, inspect.getsource(plain.answer)],
    "packed": packed.VALUE,
    "no source": sys.modules["data_pkg"].__loader__.get_source("data_pkg"),
    "namespace": [list(sys.modules["space"].__path__), space.portion.VALUE],
    "pkgutil.get_data": pkgutil.get_data("data_pkg", "table.txt"),
    "resources": importlib.resources.files("data_pkg").joinpath("table.txt").read_text(),
    "iter_modules": sorted(name for _, name, _ in pkgutil.iter_modules(data_pkg.__path__)),
    "missing data": None,
}
try:
    pkgutil.get_data("data_pkg", "absent.txt")
except OSError as error:
    report["missing data"] = type(error).__name__
try:
    plain.fail()
except ZeroDivisionError:
    report["traceback"] = [frame.filename for frame in traceback.extract_tb(sys.exc_info()[2])][-1]
stub.log(repr(report))
"""


class ArchiveContentsTest(LauncherTestCase):
    """What the launcher's archive importer serves besides compiled modules:
    source-only and compressed members, namespace packages, data files and
    the names of the modules a package holds."""

    @classmethod
    def setUpClass(cls):
        cls.sandbox = Sandbox.for_test(cls)
        source = cls.sandbox.root / "served-source"
        (source / "data_pkg").mkdir(parents=True)
        (source / "main.py").write_text("")
        (source / "data_pkg" / "__init__.py").write_text("")
        (source / "data_pkg" / "helper.py").write_text("")
        cls.app = cls.sandbox.make_app(app_dir=source, main_module="main",
                                       boot_source=SERVED_SCRIPT)
        cls.archive = os.path.join(os.path.realpath(cls.app.folder), "lib.dll")
        with zipfile.ZipFile(cls.archive, "a") as archive:
            archive.writestr("plain.py", "VALUE = 'source'\r\ndef answer():\r\n    return 42\r\n"
                                         "def fail():\r\n    return 1 / 0\r\n")
            archive.writestr("packed.py", "VALUE = 'deflated'\n" + "#" * 500 + "\n",
                             compress_type=zipfile.ZIP_DEFLATED)
            archive.writestr("space/", "")
            archive.writestr("space/portion.py", "VALUE = 'portion'\n")
            archive.writestr("data_pkg/table.txt", "one\ttwo\n")
        run = cls.sandbox.run(cls.app)
        cls.lines = run.single_log().lines
        cls.report = ast.literal_eval(cls.lines[len(startup_lines(cls.app))])

    def test_source_members_compile_and_keep_their_source(self):
        self.assertEqual(self.report["plain"],
                         [os.path.join(self.archive, "plain.py"), "source",
                          "def answer():\n    return 42\n"])
        self.assertEqual(self.report["traceback"], os.path.join(self.archive, "plain.py"))
        self.assertEqual(self.report["packed"], "deflated")
        self.assertIsNone(self.report["no source"])

    def test_namespace_packages_and_data(self):
        self.assertEqual(self.report["namespace"],
                         [[os.path.join(self.archive, "space")], "portion"])
        self.assertEqual(self.report["pkgutil.get_data"], b"one\ttwo\n")
        self.assertEqual(self.report["resources"], "one\ttwo\n")
        self.assertEqual(self.report["missing data"], "OSError")
        self.assertEqual(self.report["iter_modules"], ["helper"])
