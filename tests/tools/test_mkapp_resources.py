"""Tests of the executables and resource images that the build tool writes:
the layout, the resources, the version resource and the boot script."""

import importlib.util
import marshal
import os
import random
import struct
import subprocess
import textwrap
import types
import unittest
import zipfile

from tooltest import (KEY, PYTHON, STUB_RUNNER, ToolTestCase, harness, mkapp, resources_by_key,
                      run_mkapp, version_info)


class ScrambleTest(unittest.TestCase):
    def reference(self, data):
        return bytes(byte ^ KEY[index % 16] for index, byte in enumerate(data))

    def test_matches_the_bytewise_definition_for_every_length_up_to_70(self):
        generator = random.Random(7)
        for length in range(71):
            data = bytes(generator.randrange(256) for _ in range(length))
            self.assertEqual(mkapp.scramble(data), self.reference(data), length)
            self.assertEqual(mkapp.scramble(mkapp.scramble(data)), data)

    def test_key_stream_restarts_every_16_bytes(self):
        self.assertEqual(mkapp.scramble(bytes(17)), KEY + KEY[:1])
        self.assertEqual(mkapp.scramble(b"\xff" * 3), bytes(b ^ 0xFF for b in KEY[:3]))


class ExecutableLayoutTest(ToolTestCase):
    def test_executable_is_launcher_image_and_trailer(self):
        executable = self.build()
        launcher = self.launcher.read_bytes()
        self.assertEqual(executable[:len(launcher)], launcher)
        size, magic = struct.unpack("<Q8s", executable[-16:])
        self.assertEqual(magic, b"RESIMG01")
        self.assertEqual(len(launcher) + size + 16, len(executable))
        image = executable[len(launcher):-16]
        # A .res image begins with the empty record: sizes 0 and 32, type 0, name 0.
        self.assertEqual(image[:16], struct.pack("<IIHHHH", 0, 32, 0xFFFF, 0, 0xFFFF, 0))
        self.assertEqual(os.stat(self.out / "app").st_mode & 0o7777, 0o751)

    def test_data_icons_manifest_and_script_records(self):
        css = self.write("style.css", "body { color: red; }\n")
        empty = self.write("empty.bin", b"")
        png = harness.SOURCE_DIR / "resources" / "data" / "logo.png"
        icon = harness.example_icons()[0]
        image = self.image_of("--data", css, "--data", empty, "--data", png,
                              "--icon", icon, "--icon", icon,
                              "--boot-script", harness.EXAMPLE_BOOT_SCRIPT)
        found = resources_by_key(image)
        self.assertEqual([found[("DATA", n)].data for n in (1, 2, 3)],
                         [css.read_bytes(), b"", png.read_bytes()])
        self.assertNotIn(("DATA", 4), found)

        originals = [body for _, body in mkapp.read_icon_images(icon)] * 2
        group = found[(mkapp.RT_GROUP_ICON, 1)].data
        self.assertEqual(struct.unpack_from("<HHH", group), (0, 1, len(originals)))
        icon_ids = [struct.unpack_from("<H", group, 6 + 14 * i + 12)[0]
                    for i in range(len(originals))]
        self.assertEqual([found[(mkapp.RT_ICON, i)].data for i in icon_ids], originals)

        manifest = found[(mkapp.RT_MANIFEST, 1)].data.decode("utf-8")
        self.assertIn('level="requireAdministrator"', manifest)
        self.assertIn('uiAccess="false"', manifest)

    def test_boot_script_descrambles_to_header_and_runnable_code(self):
        source = self.write("boot.py", "import stub\nstub.log('hé ' + str(6 * 7))\n")
        stored = resources_by_key(self.image_of("--boot-script", source))[("SCRIPT", 1)].data
        plain = mkapp.scramble(stored)
        self.assertEqual(plain[:8], importlib.util.MAGIC_NUMBER + bytes(4))
        code = marshal.loads(plain[8:])
        self.assertIsInstance(code, types.CodeType)
        self.assertEqual(code.co_filename, "boot.py")
        result = subprocess.run([PYTHON, "-I", "-S", "-c", STUB_RUNNER, "main"],
                                input=marshal.dumps(code), capture_output=True, cwd=self.dir)
        self.assertEqual(result.stdout.decode("utf-8"), "log: hé 42\n", result.stderr)

    def test_script_variants(self):
        garbage = self.write("garbage.bin", b"\x00\xffnot a script")
        empty = self.write("empty.bin", b"")
        cases = {"raw bytes": (["--raw-script", garbage], garbage.read_bytes()),
                 "empty": (["--raw-script", empty], b""),
                 "none": (["--no-script"], None)}
        for name, (args, expected) in cases.items():
            with self.subTest(name):
                script = resources_by_key(self.image_of(*args)).get(("SCRIPT", 1))
                self.assertEqual(script and script.data, expected)

    def test_no_version_info(self):
        found = resources_by_key(self.image_of("--no-version-info"))
        self.assertNotIn((mkapp.RT_VERSION, 1), found)
        self.assertIn((mkapp.RT_MANIFEST, 1), found)


class VersionResourceTest(ToolTestCase):
    def test_configuration_keys_with_descriptive_keys_and_translation(self):
        info = version_info(self.image_of())
        self.assertEqual(list(info.string_tables), ["040904B0"])
        table = info.string_tables["040904B0"]
        self.assertEqual({k: table[k] for k in mkapp.CONFIG_KEYS}, mkapp.EXAMPLE_CONFIG)
        self.assertEqual(table["ProductVersion"], "1.3.0.0")
        self.assertEqual(table["ProductName"], "Mendrix")
        self.assertIn("FileDescription", table)
        self.assertEqual(info.translations, [(0x409, 1200)])
        self.assertEqual(info.file_version(), (1, 3, 0, 0))

    def test_values_are_utf16_including_non_ascii_and_non_bmp(self):
        value = 'Mëndrix 日本 😀 "q" \\ tab\there\nline 2'
        image = self.image_of("--set", "__product=" + value, "--set", "Extra=x")
        version = resources_by_key(image)[(mkapp.RT_VERSION, 1)].data
        self.assertIn(value.encode("utf-16-le") + b"\0\0", version)
        self.assertIn(b"\x3d\xd8\x00\xde", version)  # U+1F600 as a surrogate pair
        table = version_info(image).string_tables["040904B0"]
        self.assertEqual(table["__product"], value)
        self.assertEqual(table["ProductName"], value)
        self.assertEqual(table["Extra"], "x")

    def test_a_value_the_compiler_changes_is_an_error(self):
        # A resource compiler that cannot carry a character: it loses the accent.
        lossy = self.write("lossy-windres", "#!%s\n" % PYTHON + textwrap.dedent("""\
            import subprocess, sys
            args = sys.argv[1:]
            rc = next(i for i, arg in enumerate(args) if arg.endswith(".rc"))
            text = open(args[rc], encoding="utf-8").read().replace("ë", "e")
            open(args[rc] + ".lossy.rc", "w", encoding="utf-8").write(text)
            args[rc] += ".lossy.rc"
            sys.exit(subprocess.call(["%s"] + args))
        """ % mkapp.DEFAULT_WINDRES))
        os.chmod(lossy, 0o755)
        result = run_mkapp("--launcher", self.launcher, "-o", self.out / "app",
                           "--windres", lossy, "--set", "__product=Mëndrix")
        line = self.assert_clean_failure(result, 1)
        self.assertIn("did not keep version string '__product' intact", line)

    def test_block_name_omitted_keys_and_version_numbers(self):
        info = version_info(self.image_of("--block", "040904E4", "--omit", "__company",
                                          "--omit", "ProductName",
                                          "--set", "FileVersion=2.5-beta"))
        self.assertEqual(list(info.string_tables), ["040904E4"])
        table = info.string_tables["040904E4"]
        self.assertNotIn("__company", table)
        self.assertNotIn("ProductName", table)
        self.assertEqual(table["__product"], "Mendrix")
        self.assertEqual(info.translations, [(0x409, 1252)])
        self.assertEqual(info.file_version(), (2, 5, 0, 0))

    def test_version_numbers_from_text(self):
        cases = {"1.3.0.0": (1, 3, 0, 0), "7": (7, 0, 0, 0), "2.5-beta.9": (2, 5, 0, 0),
                 "1.2.3.4.5": (1, 2, 3, 4), "abc": (0, 0, 0, 0), "1.70000.2": (1, 0, 0, 0),
                 "": (0, 0, 0, 0)}
        for text, numbers in cases.items():
            self.assertEqual(mkapp.version_numbers(text), numbers, text)


class ExampleBuildTest(ToolTestCase):
    def test_shipped_resource_script_builds_the_example(self):
        executable = self.build("--rc", harness.EXAMPLE_RC,
                                "--boot-script", harness.EXAMPLE_BOOT_SCRIPT,
                                "--app", harness.EXAMPLE_APP_DIR)
        found = resources_by_key(mkapp.split_executable(executable)[1])
        data_files = harness.example_data_files()
        self.assertEqual(len(data_files), 14)
        self.assertEqual([found[("DATA", n)].data for n in range(1, 15)],
                         [path.read_bytes() for path in data_files])
        kinds = [path.suffix for path in data_files]
        self.assertEqual((kinds[0], kinds[1], kinds[7]), (".css", ".html", ".html"))
        self.assertEqual(kinds.count(".png"), 11)
        group = found[(mkapp.RT_GROUP_ICON, 1)].data
        self.assertEqual(struct.unpack_from("<H", group, 4)[0], 4)
        self.assertEqual(sum(1 for kind, _ in found if kind == mkapp.RT_ICON), 4)
        self.assertIn(b"requireAdministrator", found[(mkapp.RT_MANIFEST, 1)].data)
        _, code = mkapp.unpack_boot_script(found[("SCRIPT", 1)].data)
        self.assertEqual(code.co_filename, "boot.py")
        table = mkapp.parse_version_info(found[(mkapp.RT_VERSION, 1)].data).string_tables
        self.assertEqual({k: table["040904B0"][k] for k in mkapp.CONFIG_KEYS},
                         mkapp.EXAMPLE_CONFIG)
        self.assertTrue(zipfile.is_zipfile(self.out / "lib.dll"))

    def test_emitted_scripts_compile_for_linking(self):
        emit = self.dir / "emit"
        icon = harness.example_icons()[0]
        result = run_mkapp("--emit-rc", emit, "--boot-script", harness.EXAMPLE_BOOT_SCRIPT,
                           "--icon", icon, "--data", icon)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(p.name for p in emit.iterdir()),
                         ["app.rc", "app_icon.ico", "boot_script.bin"])
        self.assert_coff(emit / "app.rc", [])

        shipped = self.dir / "shipped"
        result = run_mkapp("--emit-rc", shipped, "--rc", harness.EXAMPLE_RC,
                           "--boot-script", harness.EXAMPLE_BOOT_SCRIPT)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([p.name for p in shipped.iterdir()], ["boot_script.bin"])
        self.assert_coff(harness.EXAMPLE_RC, ["-I", str(shipped)])

    def assert_coff(self, rc_file, include):
        obj = self.dir / (rc_file.stem + ".o")
        subprocess.run([mkapp.DEFAULT_WINDRES, "-O", "coff", *include, str(rc_file),
                        "-o", str(obj)], check=True, cwd=rc_file.parent)
        self.assertEqual(struct.unpack_from("<H", obj.read_bytes())[0], 0x14C)  # i386


if __name__ == "__main__":
    unittest.main()
