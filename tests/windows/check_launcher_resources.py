#!/usr/bin/python3.11
"""Checks the Windows launcher that the build linked with the application's
resources: a 32-bit GUI program that carries its C++ runtime, with the
manifest, icons, DATA files, version resource and scrambled boot script of
the resource script.

Usage: check_launcher_resources.py LAUNCHER.exe RESOURCE_SCRIPT BOOT_SCRIPT_BIN
(tools/mkapp.py is imported from the source tree; the resources are read back
from the executable with i686-w64-mingw32-windres.)
"""

import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tools"))
import mkapp  # noqa: E402

TOOL_PREFIX = os.environ.get("LAUNCHER_MINGW_PREFIX", "i686-w64-mingw32") + "-"
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_MAGIC = 0x10B
PE32_PLUS_MAGIC = 0x20B
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2
# The libraries bound when the process starts; shell32 and user32 are loaded
# when first needed and WinINet at the first upload, so the executable does
# not import them.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "version.dll"}
CONFIG_KEYS = ["__main_script", "__logging_host", "__logging_url", "__log_to_memory",
               "__company", "__product", "FileVersion"]

LAUNCHER = RESOURCE_SCRIPT = BOOT_SCRIPT = None


def resources_of(executable):
    with tempfile.TemporaryDirectory() as folder:
        image = os.path.join(folder, "launcher.res")
        subprocess.run([TOOL_PREFIX + "windres", "-J", "coff", "-i", executable, "-O", "res",
                        "-o", image], check=True)
        with open(image, "rb") as res:
            return mkapp.parse_res(res.read())


def imported_dlls(executable):
    dump = subprocess.run([TOOL_PREFIX + "objdump", "-p", executable], check=True,
                          capture_output=True, text=True).stdout
    return {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}


def read(path):
    with open(path, "rb") as source:
        return source.read()


class LauncherExecutable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.resources = {(r.type, r.name): r.data for r in resources_of(LAUNCHER)}
        cls.script_folder = os.path.dirname(os.path.abspath(RESOURCE_SCRIPT))
        with open(RESOURCE_SCRIPT, encoding="utf-8") as script:
            cls.script_text = script.read()

    def test_is_a_gui_program_of_the_build_architecture(self):
        # 32-bit, the launcher's platform; 64-bit in the test build for
        # machines that cannot run 32-bit programs
        wanted = ((IMAGE_FILE_MACHINE_AMD64, PE32_PLUS_MAGIC) if TOOL_PREFIX.startswith("x86_64")
                  else (IMAGE_FILE_MACHINE_I386, PE32_MAGIC))
        image = read(LAUNCHER)
        (pe_offset,) = struct.unpack_from("<I", image, 0x3C)
        self.assertEqual(image[pe_offset:pe_offset + 4], b"PE\0\0")
        (machine,) = struct.unpack_from("<H", image, pe_offset + 4)
        optional = pe_offset + 24
        magic, = struct.unpack_from("<H", image, optional)
        subsystem, = struct.unpack_from("<H", image, optional + 68)
        self.assertEqual((machine, magic), wanted)
        self.assertEqual(subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI)

    def test_needs_no_runtime_dll_of_the_compiler(self):
        self.assertEqual(imported_dlls(LAUNCHER), SYSTEM_DLLS | {"python311.dll"})

    def test_carries_the_scrambled_boot_script(self):
        stored = self.resources[("SCRIPT", 1)]
        self.assertEqual(stored, read(BOOT_SCRIPT))
        header, code = mkapp.unpack_boot_script(stored)
        self.assertEqual(len(header), 8)
        self.assertEqual(type(code).__name__, "code")

    def test_carries_every_data_file_of_the_resource_script(self):
        named = re.findall(r'^\s*(\d+)\s+DATA\s+"([^"]+)"', self.script_text, re.MULTILINE)
        self.assertEqual([int(number) for number, _ in named], list(range(1, 15)))
        for number, file_name in named:
            with self.subTest(file_name):
                self.assertEqual(self.resources[("DATA", int(number))],
                                 read(os.path.join(self.script_folder, file_name)))

    def test_manifest_asks_for_administrator_rights_without_ui_access(self):
        manifest = ElementTree.fromstring(self.resources[(RT_MANIFEST, 1)])
        levels = [element for element in manifest.iter()
                  if element.tag.endswith("requestedExecutionLevel")]
        self.assertEqual(len(levels), 1)
        self.assertEqual(levels[0].get("level"), "requireAdministrator")
        self.assertEqual(levels[0].get("uiAccess"), "false")

    def test_icon_group_names_the_icons_it_carries(self):
        group = self.resources[(RT_GROUP_ICON, 1)]
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((reserved, kind), (0, 1))
        self.assertEqual(count, 4)
        for entry in range(count):
            (icon_id,) = struct.unpack_from("<H", group, 6 + 14 * entry + 12)
            self.assertIn((RT_ICON, icon_id), self.resources)

    def test_version_resource_holds_the_configuration(self):
        info = mkapp.parse_version_info(self.resources[(RT_VERSION, 1)])
        table = info.string_tables["040904B0"]
        for key in CONFIG_KEYS:
            with self.subTest(key):
                self.assertIn(key, table)
                self.assertRegex(self.script_text, r'VALUE "%s", "%s"' % (
                    re.escape(key), re.escape(table[key])))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    LAUNCHER, RESOURCE_SCRIPT, BOOT_SCRIPT = sys.argv[1:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
