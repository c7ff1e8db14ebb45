"""The scripts of the Windows interpreter build (tools/windows-python/) that
decide what gets compiled: the source edits, which must fail loudly and
change nothing when the source moved; the core's source list; the table of
built-in modules."""

import shutil
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "windows-python"))
import builtin_modules  # noqa: E402
import core_makefile  # noqa: E402
import patch_sources  # noqa: E402

EDITS = [("a.c", "#ifdef _MSC_VER\nint x;", "#ifdef MS_WINDOWS\nint x;", "why a"),
         ("b.h", "old line\n", "new line\n", "why b")]


class SourceEditTest(unittest.TestCase):

    def tree(self, files: dict) -> Path:
        root = Path(tempfile.mkdtemp(prefix="patch-test-"))
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        for name, text in files.items():
            (root / name).write_text(text)
        return root

    def test_each_passage_is_replaced_once_and_a_second_run_changes_nothing(self):
        root = self.tree({"a.c": "top\n#ifdef _MSC_VER\nint x;\n", "b.h": "old line\nrest\n"})
        patch_sources.apply_edits(root, EDITS)
        self.assertEqual((root / "a.c").read_text(), "top\n#ifdef MS_WINDOWS\nint x;\n")
        self.assertEqual((root / "b.h").read_text(), "new line\nrest\n")
        patch_sources.apply_edits(root, EDITS)
        self.assertEqual((root / "b.h").read_text(), "new line\nrest\n")

    def test_a_moved_passage_stops_the_build_and_leaves_every_file_as_it_was(self):
        for case, b_text in (("missing", "changed upstream\n"), ("twice", "old line\nold line\n")):
            with self.subTest(case):
                root = self.tree({"a.c": "#ifdef _MSC_VER\nint x;\n", "b.h": b_text})
                with self.assertRaises(patch_sources.EditFailed) as raised:
                    patch_sources.apply_edits(root, EDITS)
                self.assertIn("b.h (why b)", str(raised.exception))
                self.assertEqual((root / "a.c").read_text(), "#ifdef _MSC_VER\nint x;\n")

    def test_the_edits_name_existing_files_and_distinct_passages(self):
        passages = [(rel, passage) for rel, passage, _, _ in patch_sources.EDITS]
        self.assertEqual(len(passages), len(set(passages)))
        for rel, passage, replacement, why in patch_sources.EDITS:
            self.assertNotEqual(passage, replacement, rel)
            self.assertTrue(why, rel)


class CoreSourcesTest(unittest.TestCase):

    def test_the_project_sources_without_the_bundled_zlib(self):
        project = ('<ClCompile Include="..\\Modules\\getpath.c" />\n'
                   '<ClCompile Include="$(zlibDir)\\adler32.c" />\n'
                   '<ClCompile Include="..\\Python\\pylifecycle.c" />\n')
        self.assertEqual(core_makefile.core_sources(project),
                         ["Modules/getpath.c", "Python/pylifecycle.c"])

    def test_per_file_definitions_reach_their_rule_only(self):
        text = core_makefile.makefile(Path("/src"), Path("/tools"),
                                      ["Modules/getpath.c", "Python/ceval.c"])
        rules = text.split("\nobj/")
        getpath = next(rule for rule in rules if rule.startswith("Modules/getpath.o:"))
        ceval = next(rule for rule in rules if rule.startswith("Python/ceval.o:"))
        self.assertIn('-DPLATLIBDIR=\\"DLLs\\"', getpath)
        self.assertNotIn("PLATLIBDIR", ceval)


class BuiltinModulesTest(unittest.TestCase):

    def test_the_names_of_the_module_table(self):
        config = ('extern PyObject* PyInit_nt(void);\n'
                  'struct _inittab _PyImport_Inittab[] = {\n'
                  '    {"_abc", PyInit__abc},\n'
                  '    {"nt", PyInit_nt}, /* comment */\n'
                  '#ifdef WITH_X\n'
                  '    {"zlib", PyInit_zlib},\n'
                  '#endif\n'
                  '    {"sys", NULL},\n'
                  '    {0, 0}\n};\n')
        self.assertEqual(builtin_modules.builtin_modules(config), ["_abc", "nt", "zlib", "sys"])


if __name__ == "__main__":
    unittest.main()
