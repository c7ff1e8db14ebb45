"""Tests of the module graph and of placement: what is found, what is
reported missing (and what must not be), and where each module goes. The
applications are small folders written by the tests; the standard library
and Debian's dist-packages are the real ones."""

import importlib.util
import marshal
import os
import py_compile
import shutil
import tempfile
import textwrap
import unittest
from unittest import mock
from pathlib import Path

from tooltest import mkapp

from mkapp.graph import build_graph
from mkapp.placement import place
from mkapp.report import summary_lines
from mkapp.target_posix import PosixTarget

DIST_PACKAGES = Path("/usr/lib/python3/dist-packages")
HOOKS_DIR = Path(mkapp.__file__).parent / "hooks"


class QuietTarget(PosixTarget):
    """The host target without the shared-library search, so that a test's
    fake extension files (empty files) can be placed."""

    def shared_libraries(self, binaries):
        return {}


class GraphTestCase(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="mkapp-graph-"))
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.app_dir = self.dir / "app"
        self.app_dir.mkdir()
        self.target = QuietTarget()

    def write(self, name, text=""):
        path = self.dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text), encoding="utf-8")
        return path

    def graph(self, main="main", **options):
        return build_graph(self.target, self.app_dir, main, **options)

    def missing(self, app):
        return {entry.name: entry for entry in app.graph.missing_modules()}


class ImportResolutionTest(GraphTestCase):
    def test_relative_imports_of_every_form_are_followed(self):
        self.write("app/main.py", "import pkg.sub.leaf\n")
        self.write("app/pkg/__init__.py", "from . import helper\nfrom .sub import leaf\n")
        self.write("app/pkg/helper.py", "from .sub.leaf import VALUE\n")
        self.write("app/pkg/sub/__init__.py", "")
        self.write("app/pkg/sub/leaf.py", "from .. import helper\nfrom ..other import x\n"
                                          "VALUE = 1\n")
        self.write("app/pkg/other.py", "x = 1\nimport importlib\n"
                                       "importlib.import_module('.late', 'pkg')\n")
        self.write("app/pkg/late.py", "")
        app = self.graph()
        for name in ("pkg", "pkg.helper", "pkg.sub", "pkg.sub.leaf", "pkg.other", "pkg.late"):
            self.assertIn(name, app.graph.modules)
        self.assertEqual(self.missing(app), {})

    def test_attributes_and_names_a_package_binds_raise_no_alarm(self):
        self.write("app/main.py", """\
            import os.path
            from os import path, sep
            from collections import OrderedDict
            from xml.etree import ElementTree
            from pkg import defined, imported, missing_sub
            import multiprocessing
            from multiprocessing import get_context
        """)
        self.write("app/pkg/__init__.py", "def defined(): pass\nfrom json import dumps as imported\n")
        app = self.graph()
        self.assertIn("xml.etree.ElementTree", app.graph.modules)
        self.assertEqual(sorted(self.missing(app)), ["pkg.missing_sub"])

    def test_other_platforms_and_python_2_modules_raise_no_alarm(self):
        self.write("app/main.py", """\
            import sys
            if sys.platform == "win32":
                import winreg, msvcrt, _winapi
            if sys.version_info[0] == 2:
                import Queue, urllib2
            import ctypes.util, subprocess, asyncio
        """)
        self.assertEqual(self.missing(self.graph()), {})

    def test_a_missing_module_is_listed_once_with_every_importer(self):
        self.write("app/main.py", "import a, b\nimport absent_everywhere\n")
        self.write("app/a.py", "import absent_everywhere.sub\n")
        self.write("app/b.py", "from absent_everywhere import thing\n")
        missing = self.missing(self.graph())
        self.assertEqual(sorted(missing), ["absent_everywhere"])
        self.assertEqual(sorted(missing["absent_everywhere"].importers), ["a", "b", "main"])
        self.assertFalse(missing["absent_everywhere"].optional)

    def test_optional_imports(self):
        self.write("app/main.py", """\
            try:
                import fast_json
            except ImportError:
                import slow_fallback
            try:
                import guarded
            except (ValueError, ModuleNotFoundError):
                pass
            try:
                import not_guarded
            except ValueError:
                pass
            import other
        """)
        self.write("app/other.py", """\
            try:
                import twice
            except ImportError:
                twice = None
            def later():
                import twice
        """)
        self.write("app/wrapper.py", "import behind_an_optional_import\n")
        self.write("app/main2.py", "try:\n    import wrapper\nexcept ImportError:\n    pass\n")
        missing = self.missing(self.graph())
        self.assertEqual({name: entry.optional for name, entry in missing.items()},
                         {"fast_json": True, "slow_fallback": True, "guarded": True,
                          "not_guarded": False, "twice": True,
                          "behind_an_optional_import": False})
        # Reached only through an optional import, a module's imports are optional too.
        self.app_dir.joinpath("main.py").write_text("")
        self.app_dir.joinpath("other.py").unlink()
        app = build_graph(self.target, None, None, search_path=[self.app_dir],
                          hidden_imports=["main2"])
        self.assertEqual({name: entry.optional for name, entry in self.missing(app).items()},
                         {"behind_an_optional_import": True})

    def test_type_checking_imports_are_not_followed(self):
        self.write("app/main.py", """\
            from typing import TYPE_CHECKING
            if TYPE_CHECKING:
                import only_for_the_checker
            else:
                import json
        """)
        app = self.graph()
        self.assertEqual(self.missing(app), {})
        self.assertIn("json", app.graph.modules)

    def test_search_order_hidden_imports_and_excludes(self):
        first, second = self.dir / "first", self.dir / "second"
        self.write("first/shadow.py", "WHERE = 'first'\n")
        self.write("second/shadow.py", "WHERE = 'second'\n")
        self.write("second/only_here.py", "import excluded_pkg.mod\n")
        self.write("second/excluded_pkg/__init__.py", "")
        self.write("second/excluded_pkg/mod.py", "")
        self.write("app/main.py", "import shadow\nimport json\n")
        app = self.graph(search_path=[first, second], hidden_imports=["only_here"],
                         excludes=["excluded_pkg", "json"])
        modules = app.graph.modules
        self.assertEqual(modules["shadow"].file, first / "shadow.py")
        self.assertIn("only_here", modules)
        self.assertNotIn("excluded_pkg", modules)
        self.assertNotIn("json", modules)
        self.assertIn("excluded_pkg.mod", app.graph.excluded)
        self.assertEqual(self.missing(app), {})

    def test_main_module_must_be_found_and_a_package_needs_its_main(self):
        self.write("app/runnable/__init__.py", "")
        self.write("app/runnable/__main__.py", "import json\n")
        self.write("app/plain_pkg/__init__.py", "")
        self.assertIn("runnable.__main__", self.graph("runnable").graph.modules)
        with self.assertRaisesRegex(mkapp.BuildError, "plain_pkg is a package without a "
                                                      "__main__ module"):
            self.graph("plain_pkg")
        with self.assertRaisesRegex(mkapp.BuildError, "main module absent was not found"):
            self.graph("absent")

    def test_a_syntax_error_names_the_file_and_line(self):
        self.write("app/main.py", "import broken\n")
        self.write("app/broken.py", "x = 1\ny = (\n")
        with self.assertRaisesRegex(mkapp.BuildError, r"broken\.py:2"):
            self.graph()


class CompiledModuleTest(GraphTestCase):
    def test_modules_without_source_are_followed_and_carried_as_they_are(self):
        sources = {"lib/cpkg/__init__.py": "from . import inner\nimport json\n",
                   "lib/cpkg/inner.py": "def f():\n    from .. import cpkg\n"
                                        "    import not_there_at_all\n"}
        for name, text in sources.items():
            source = self.write(name.replace("lib/", "src/"), text)
            py_compile.compile(str(source), cfile=str(self.dir / (name + "c")), doraise=True)
        self.write("app/main.py", "import cpkg\n")
        app = self.graph(search_path=[self.dir / "lib"])
        modules = app.graph.modules
        self.assertEqual((modules["cpkg"].kind, modules["cpkg.inner"].kind),
                         ("compiled", "compiled"))
        self.assertIn("json", modules)
        # A bytecode does not show a try: its imports are optional.
        self.assertTrue(self.missing(app)["not_there_at_all"].optional)
        placement = place(app, self.target)
        self.assertEqual(placement.archive["cpkg/inner.pyc"],
                         (self.dir / "lib/cpkg/inner.pyc").read_bytes())

    def test_a_compiled_module_of_another_version_is_an_error(self):
        self.write("lib/old.pyc").write_bytes(b"\x00" * 32)
        self.write("app/main.py", "import old\n")
        with self.assertRaisesRegex(mkapp.BuildError, r"old\.pyc: not compiled by Python 3\.11"):
            self.graph(search_path=[self.dir / "lib"])


class NamespacePackageTest(GraphTestCase):
    def test_nested_namespace_packages_spanning_two_folders(self):
        other = self.dir / "other"
        self.write("app/main.py", "import ns.inner.mod\nimport ns.extra\n")
        self.write("app/ns/inner/mod.py", "from . import sibling\n")
        self.write("app/ns/inner/sibling.py", "")
        self.write("other/ns/extra.py", "")
        app = self.graph(search_path=[other])
        modules = app.graph.modules
        self.assertEqual(modules["ns"].kind, "namespace")
        self.assertEqual(modules["ns"].locations, [self.app_dir / "ns", other / "ns"])
        self.assertEqual(modules["ns.inner"].kind, "namespace")
        self.assertIn("ns.inner.sibling", modules)
        placement = place(app, self.target)
        for name in ("ns/", "ns/inner/", "ns/inner/mod.pyc", "ns/extra.pyc"):
            self.assertIn(name, placement.archive)


class StandardLibraryTest(GraphTestCase):
    def test_start_up_modules_and_modules_imported_by_computed_names(self):
        self.write("app/main.py", "import sysconfig\n")
        app = self.graph()
        modules = app.graph.modules
        for name in ("encodings", "encodings.idna", "encodings.cp1252", "encodings.utf_8",
                     "codecs", self.target.sysconfigdata_module):
            self.assertIn(name, modules)
        self.assertEqual(self.missing(app), {})

    def test_imports_made_by_extension_modules_are_followed(self):
        self.write("app/main.py", "import _decimal, _datetime\n")
        modules = self.graph().graph.modules
        self.assertEqual(modules["_decimal"].kind, "extension")
        for name in ("numbers", "contextvars", "_strptime"):
            self.assertIn(name, modules)

    def test_developer_tools_unless_only_self_tests_of_the_standard_library_import_them(self):
        self.write("app/main.py", "import heapq, pickle\n")  # doctest in _test and main blocks
        self.assertNotIn("doctest", self.graph().graph.modules)
        self.write("app/main.py", "import heapq\nimport doctest\n")
        self.assertIn("doctest", self.graph().graph.modules)
        self.write("app/main.py", "import xmlrpc.server\n")  # imports pydoc at its top
        self.assertIn("pydoc", self.graph().graph.modules)
        self.write("lib/tkuser.py", "import tkinter\n")
        self.write("app/main.py", "import tkuser\n")
        app = self.graph(search_path=[self.dir / "lib"], hooks_dir=HOOKS_DIR)
        for name in ("tkinter", "tkinter.constants", "_tkinter"):  # tkinter's own imports
            self.assertIn(name, app.graph.modules)
        self.assertIn("_hook_tkinter", app.hooks)
        self.write("app/main.py", "import turtle\n")
        self.assertIn("tkinter.simpledialog", self.graph().graph.modules)


class PlacementTest(GraphTestCase):
    def test_libraries_are_carried_whole_and_those_with_extensions_or_data_in_the_folder(self):
        suffix = self.target.extension_suffixes[0]
        self.write("lib/fastpkg/__init__.py", "from . import core\n")
        self.write("lib/fastpkg/core.py", "try:\n    from ._speed import f\n"
                                          "except ImportError:\n    f = None\n")
        self.write("lib/fastpkg/_speed" + suffix)
        self.write("lib/fastpkg/plugins/__init__.py", "")
        self.write("lib/fastpkg/plugins/loaded_by_name.py", "")
        self.write("lib/datapkg/__init__.py", "")
        self.write("lib/datapkg/templates/page.html", "<p/>")
        self.write("lib/datapkg/py.typed")
        self.write("lib/plain/__init__.py", "")
        self.write("lib/plain/py.typed")
        self.write("lib/plain/lexers/__init__.py", "")
        self.write("lib/plain/lexers/by_name.py", "")  # imported by a computed name
        self.write("lib/_topext" + suffix)
        self.write("lib/fastpkg-1.0.dist-info/METADATA", "Name: fastpkg\nVersion: 1.0\n")
        self.write("lib/fastpkg-1.0.dist-info/RECORD", "fastpkg/__init__.py,,\n")
        self.write("lib/unused-2.0.dist-info/top_level.txt", "unused\n")
        self.write("app/main.py", "import fastpkg, datapkg, plain, _topext, sqlite3\n")
        app = self.graph(search_path=[self.dir / "lib"])
        placement = place(app, self.target)
        self.assertEqual(placement.folder_packages, ["datapkg", "fastpkg"])
        files = {str(path) for path in placement.files}
        copies = {str(path) for path in placement.copies}
        self.assertIn("fastpkg/__init__.pyc", files)
        self.assertIn("fastpkg/plugins/loaded_by_name.pyc", files)
        self.assertIn("fastpkg/_speed" + suffix, copies)
        self.assertIn("datapkg/templates/page.html", copies)
        self.assertIn("_topext" + suffix, copies)
        self.assertIn("_sqlite3" + suffix, copies)
        self.assertNotIn("datapkg/py.typed", copies)
        self.assertIn("fastpkg-1.0.dist-info/METADATA", copies)  # for importlib.metadata
        self.assertNotIn("unused-2.0.dist-info/top_level.txt", copies)
        self.assertIn("plain/__init__.pyc", placement.archive)
        self.assertIn("plain/lexers/by_name.pyc", placement.archive)
        self.assertIn("sqlite3/dump.pyc", placement.archive)  # imported by _sqlite3
        self.assertNotIn("wsgiref/simple_server.pyc", placement.archive)  # never imported
        self.assertIn("sqlite3/__init__.pyc", placement.archive)
        self.assertFalse([name for name in placement.archive if name.startswith("fastpkg")])

    def test_the_interpreters_own_compiled_copy_is_taken_only_when_current(self):
        source = self.write("lib/cached.py", "VALUE = 'cached'\n")
        py_compile.compile(str(source), doraise=True)
        cache = Path(importlib.util.cache_from_source(str(source)))
        # A cache whose code differs from what the source compiles to shows
        # which of the two the tool took.
        marked = compile("VALUE = 'from the cache'\n", str(source), "exec")
        cache.write_bytes(cache.read_bytes()[:16] + marshal.dumps(marked))
        self.write("app/main.py", "import cached\n")
        archive = place(self.graph(search_path=[self.dir / "lib"]), self.target).archive
        self.assertIn(b"from the cache", archive["cached.pyc"])
        source.write_text("VALUE = 'edited'\n")  # changed since the cache was written
        os.utime(source, (0, 0))
        archive = place(self.graph(search_path=[self.dir / "lib"]), self.target).archive
        self.assertNotIn(b"from the cache", archive["cached.pyc"])
        self.assertIn(b"edited", archive["cached.pyc"])

    def test_a_missing_optional_speedup_is_named(self):
        self.write("lib/speedy/__init__.py", "try:\n    from ._speedups import escape\n"
                                             "except ImportError:\n    escape = str\n")
        self.write("app/main.py", "import speedy\n")
        app = self.graph(search_path=[self.dir / "lib"])
        lines = "\n".join(summary_lines(app, "report"))
        self.assertIn("speedy._speedups (optional: speedy works without it", lines)
        self.write("lib/slow.py", "try:\n    from _slow import *\nexcept ImportError:\n"
                                  "    pass\ntry:\n    import plugin_we_lack\n"
                                  "except ImportError:\n    pass\n")
        self.write("app/main.py", "import slow\n")
        lines = summary_lines(self.graph(search_path=[self.dir / "lib"]), "report")
        self.assertEqual(lines[1:], ["warning: missing _slow (optional: slow works without "
                                     "it, perhaps slower)"])

    def test_a_missing_module_of_an_unsearched_site_folder_names_the_option(self):
        self.write("site/installed/__init__.py", "")
        self.write("app/main.py", "import installed.part\nimport nowhere\n")
        with mock.patch("site.getsitepackages", return_value=[str(self.dir / "site")]):
            lines = summary_lines(self.graph(), "report")
        hint = "  it is in %s, which the build does not search: add --path %s" % (
            (self.dir / "site",) * 2)
        self.assertEqual(lines[lines.index("warning: missing installed, imported by main") + 1],
                         hint)
        self.assertNotIn(hint, lines[lines.index("warning: missing nowhere, imported by main"):])
        with mock.patch("site.getsitepackages", return_value=[str(self.dir / "site")]):
            lines = summary_lines(self.graph(search_path=[self.dir / "site"]), "report")
        self.assertNotIn(hint, lines)

    @unittest.skipUnless((DIST_PACKAGES / "markupsafe").is_dir()
                         and (DIST_PACKAGES / "yaml").is_dir(), "python3-markupsafe/yaml missing")
    def test_debian_packages_with_c_speedups(self):
        self.write("app/main.py", "import markupsafe, yaml\n")
        app = build_graph(PosixTarget(), self.app_dir, "main", search_path=[DIST_PACKAGES])
        modules = app.graph.modules
        self.assertEqual(modules["markupsafe._speedups"].kind, "extension")
        self.assertEqual(modules["yaml._yaml"].kind, "extension")
        placement = place(app, PosixTarget())
        self.assertEqual(placement.folder_packages, ["markupsafe", "yaml"])
        self.assertIn("libyaml-0.so.2", placement.libraries)
        self.assertEqual(self.missing(app), {})

    @unittest.skipUnless((DIST_PACKAGES / "requests").is_dir()
                         and (DIST_PACKAGES / "PIL").is_dir(), "python3-requests/pil missing")
    def test_debian_requests_and_pil(self):
        self.write("app/main.py", "import requests\nfrom PIL import Image\n")
        app = build_graph(self.target, self.app_dir, "main", search_path=[DIST_PACKAGES])
        modules = app.graph.modules
        self.assertEqual(modules["PIL._imaging"].kind, "extension")
        self.assertTrue("six" in modules or "urllib3.packages.six" in modules)
        for name in ("http.client", "queue", "PIL.PngImagePlugin"):  # six.moves, computed
            self.assertTrue(name in modules, name)
        required = [entry.name for entry in self.missing(app).values() if not entry.optional]
        self.assertEqual(required, [])


class RuntimeHookTest(GraphTestCase):
    def test_hooks_of_found_triggers_are_carried_with_their_imports(self):
        hooks = self.dir / "hooks"
        self.write("hooks/json.py", "import hookdep\n")
        self.write("hooks/base64.py", "")  # triggered by a module a hook brings in
        self.write("hooks/never_imported.py", "")
        self.write("app/hookdep.py", "import base64\n")
        self.write("app/main.py", "import json\n")
        app = self.graph(hooks_dir=hooks)
        self.assertEqual(app.hooks, ["_hook_base64", "_hook_json"])
        modules = app.graph.modules
        self.assertEqual(modules["_hook_json"].file, hooks / "json.py")
        self.assertIn("base64", modules)
        self.assertIn("_hook_json.pyc", place(app, self.target).archive)


if __name__ == "__main__":
    unittest.main()
