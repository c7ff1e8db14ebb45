"""The resource script and its compiled image: the version resource with the
configuration strings, the icons, the manifest, the DATA files and the
scrambled boot script, compiled by windres; and the reader of .res images
and version resources that checks what the compiler wrote."""

from __future__ import annotations

import dataclasses
import re
import shutil
import struct
import subprocess
import tempfile
from pathlib import Path

from .errors import BuildError, read_input, require_file

BOOT_SCRIPT_FILE = "boot_script.bin"
GENERATED_RC_FILE = "app.rc"
GENERATED_ICON_FILE = "app_icon.ico"
DEFAULT_WINDRES = "i686-w64-mingw32-windres"
DEFAULT_BLOCK = "040904B0"

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

SOURCE_ROOT = Path(__file__).resolve().parents[2]
DEFAULT_MANIFEST = SOURCE_ROOT / "resources" / "launcher.manifest"

# The configuration keys the launcher reads, in the order it reads them.
CONFIG_KEYS = ("__main_script", "__logging_host", "__logging_url", "__log_to_memory",
               "__company", "__product", "FileVersion")

EXAMPLE_CONFIG = {
    "__main_script": "mendrix.outer_application",
    "__logging_host": "localhost",
    "__logging_url": "upload_logs/v5/",
    "__log_to_memory": "false",
    "__company": "MendrixSoftware",
    "__product": "Mendrix",
    "FileVersion": "1.3.0.0",
}



def version_numbers(text: str):
    """Four 16-bit numbers from a version text such as "1.3.0.0".

    Leading digits of each dot-separated part count; the parts after the first
    one that has none (or that does not fit in 16 bits) are 0.
    """
    numbers = []
    for part in text.split(".")[:4]:
        match = re.match(r"\d+", part)
        if not match or int(match.group()) > 0xFFFF:
            break
        numbers.append(int(match.group()))
        if match.end() != len(part):
            break
    return tuple(numbers + [0] * (4 - len(numbers)))


def version_strings(overrides=None, omit=()) -> dict:
    """The string table of an application: the configuration keys (the example
    application's values unless overridden), the descriptive keys derived from
    them, then any further keys of `overrides`; keys in `omit` are left out."""
    overrides = dict(overrides or {})
    table = {key: overrides.pop(key, EXAMPLE_CONFIG[key]) for key in CONFIG_KEYS}
    descriptive = {
        "ProductVersion": table["FileVersion"],
        "FileDescription": table["__product"],
        "ProductName": table["__product"],
    }
    for key, value in descriptive.items():
        table[key] = overrides.pop(key, value)
    table.update(overrides)
    for key in omit:
        table.pop(key, None)
    return table


def check_block_name(block: str) -> str:
    if not re.fullmatch(r"[0-9A-Fa-f]{8}", block):
        raise BuildError("string block name must be 8 hexadecimal digits "
                         "(language and code page, e.g. 040904B0): %r" % block)
    return block


def check_version_text(what: str, text: str) -> None:
    if "\0" in text:
        raise BuildError("%s contains a NUL character, which a version string "
                         "cannot hold" % what)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise BuildError("%s is not valid Unicode text: %r" % (what, text))



ICON_DIR = struct.Struct("<HHH")
ICON_ENTRY = struct.Struct("<BBBBHHII")


def read_icon_images(path: Path):
    """The images of an .ico file as (entry fields without offset, image bytes)."""
    data = read_input(path, "icon")
    if len(data) < ICON_DIR.size:
        raise BuildError("not an icon file: %s" % path)
    reserved, kind, count = ICON_DIR.unpack_from(data)
    if reserved != 0 or kind != 1 or count == 0:
        raise BuildError("not an icon file: %s" % path)
    images = []
    for index in range(count):
        position = ICON_DIR.size + index * ICON_ENTRY.size
        if position + ICON_ENTRY.size > len(data):
            raise BuildError("icon file is truncated: %s" % path)
        *fields, size, offset = ICON_ENTRY.unpack_from(data, position)
        if size == 0 or offset + size > len(data):
            raise BuildError("icon file is truncated: %s" % path)
        images.append((tuple(fields), data[offset:offset + size]))
    return images


def merge_icons(paths) -> bytes:
    """One .ico file holding the images of all given .ico files, in order."""
    images = [image for path in paths for image in read_icon_images(Path(path))]
    header = ICON_DIR.pack(0, 1, len(images))
    offset = ICON_DIR.size + ICON_ENTRY.size * len(images)
    entries, bodies = [], []
    for fields, body in images:
        entries.append(ICON_ENTRY.pack(*fields, len(body), offset))
        bodies.append(body)
        offset += len(body)
    return header + b"".join(entries) + b"".join(bodies)



@dataclasses.dataclass
class AppResources:
    """What a generated resource script holds.

    strings: the version resource's string table (key -> value), in order, or
    None for no version resource at all. script: the bytes stored as the
    SCRIPT resource (already scrambled, or raw), or None for no SCRIPT.
    """
    strings: dict | None = dataclasses.field(default_factory=version_strings)
    block: str = DEFAULT_BLOCK
    script: bytes | None = None
    data_files: list = dataclasses.field(default_factory=list)
    icons: list = dataclasses.field(default_factory=list)
    manifest: Path | None = DEFAULT_MANIFEST

    def check(self) -> None:
        check_block_name(self.block)
        for key, value in (self.strings or {}).items():
            if not key:
                raise BuildError("a version string key must not be empty")
            check_version_text("version string key %r" % key, key)
            check_version_text("value of version string %r" % key, value)
        for path in self.data_files:
            require_file(Path(path), "data file")
        for path in self.icons:
            require_file(Path(path), "icon")
        if self.manifest is not None:
            require_file(Path(self.manifest), "manifest")


def rc_string(text: str) -> str:
    """A narrow rc string literal; the script declares code page 65001 (UTF-8)."""
    out = []
    for ch in text:
        if ch == '"':
            out.append('""')
        elif ch == "\\":
            out.append("\\\\")
        elif ord(ch) < 0x20 or ord(ch) == 0x7F:
            out.append("\\%03o" % ord(ch))
        else:
            out.append(ch)
    return '"%s"' % "".join(out)


def rc_path(path) -> str:
    return rc_string(str(path))


def render_version_info(strings: dict, block: str) -> list:
    numbers = ",".join(str(n) for n in version_numbers(strings.get("FileVersion", "")))
    language, code_page = int(block[:4], 16), int(block[4:], 16)
    lines = [
        "LANGUAGE 0x09, 0x01",
        "1 VERSIONINFO",
        "FILEVERSION " + numbers,
        "PRODUCTVERSION " + numbers,
        "FILEFLAGSMASK 0x3F",
        "FILEFLAGS 0x0",
        "FILEOS 0x40004",
        "FILETYPE 0x1",
        "FILESUBTYPE 0x0",
        "BEGIN",
        '  BLOCK "StringFileInfo"',
        "  BEGIN",
        "    BLOCK %s" % rc_string(block),
        "    BEGIN",
    ]
    lines += ["      VALUE %s, %s" % (rc_string(key), rc_string(value))
              for key, value in strings.items()]
    lines += [
        "    END",
        "  END",
        '  BLOCK "VarFileInfo"',
        "  BEGIN",
        '    VALUE "Translation", 0x%X, %d' % (language, code_page),
        "  END",
        "END",
    ]
    return lines


def render_rc(contents: AppResources, folder: Path) -> str:
    """Writes the files the script refers to by bare name (the boot script, the
    merged icon) into `folder` and returns the script's text. Other inputs are
    named by absolute path."""
    contents.check()
    lines = ["// Resources of an application executable, written by mkapp.",
             "#pragma code_page(65001)", "", "LANGUAGE 0, 0"]
    if contents.script is not None:
        (folder / BOOT_SCRIPT_FILE).write_bytes(contents.script)
        lines.append("1 SCRIPT " + rc_string(BOOT_SCRIPT_FILE))
    for number, path in enumerate(contents.data_files, start=1):
        lines.append("%d DATA %s" % (number, rc_path(Path(path).resolve())))
    if contents.icons:
        (folder / GENERATED_ICON_FILE).write_bytes(merge_icons(contents.icons))
        lines.append("1 ICON " + rc_string(GENERATED_ICON_FILE))
    if contents.manifest is not None:
        lines.append("1 %d %s" % (RT_MANIFEST, rc_path(Path(contents.manifest).resolve())))
    if contents.strings is not None:
        lines.append("")
        lines += render_version_info(contents.strings, contents.block)
    return "\n".join(lines) + "\n"


def run_windres(windres: str, rc_file: Path, output: Path, output_format: str,
                include_dirs=()) -> None:
    """Compiles a resource script. Relative file names in the script resolve
    against the script's own folder, then the include folders."""
    program = shutil.which(windres)
    if program is None:
        raise BuildError("resource compiler not found: %s" % windres)
    command = [program, "-J", "rc", "-O", output_format]
    for folder in include_dirs:
        command += ["-I", str(folder)]
    command += [str(rc_file.resolve()), "-o", str(output.resolve())]
    result = subprocess.run(command, cwd=rc_file.resolve().parent, capture_output=True,
                            text=True, errors="replace")
    if result.returncode != 0 or not output.exists():
        detail = " | ".join(line.strip() for line in result.stderr.splitlines() if line.strip())
        raise BuildError("%s failed on %s: %s" % (Path(windres).name, rc_file,
                                                  detail or "exit code %d" % result.returncode))


def compile_generated(contents: AppResources, folder: Path, windres: str) -> bytes:
    """Writes the generated script into `folder`, compiles it and checks that
    every version string came through unchanged."""
    rc_file = folder / GENERATED_RC_FILE
    rc_file.write_text(render_rc(contents, folder), encoding="utf-8")
    res_file = folder / "app.res"
    run_windres(windres, rc_file, res_file, "res")
    image = res_file.read_bytes()
    if contents.strings is not None:
        verify_strings(image, contents.strings, contents.block)
    return image


def compile_given_rc(rc_file: Path, script: bytes | None, folder: Path, windres: str) -> bytes:
    """Compiles a ready resource script; the boot script is written to `folder`,
    which is on the include path, as boot_script.bin."""
    require_file(rc_file, "resource script")
    if script is not None:
        (folder / BOOT_SCRIPT_FILE).write_bytes(script)
    res_file = folder / "app.res"
    run_windres(windres, rc_file, res_file, "res", include_dirs=[folder])
    return res_file.read_bytes()


def verify_strings(image: bytes, strings: dict, block: str) -> None:
    tables = find_version_info(parse_res(image)).string_tables
    found = tables.get(block, {})
    for key, value in strings.items():
        if found.get(key) != value:
            raise BuildError("the resource compiler did not keep version string %r intact: "
                             "wanted %r, got %r" % (key, value, found.get(key)))


def build_resource_image(contents: AppResources, windres: str = DEFAULT_WINDRES) -> bytes:
    """The compiled .res image of a generated resource script."""
    with tempfile.TemporaryDirectory(prefix="mkapp-") as folder:
        return compile_generated(contents, Path(folder), windres)


def build_resource_image_from_rc(rc_file, script: bytes | None,
                                 windres: str = DEFAULT_WINDRES) -> bytes:
    """The compiled .res image of a ready resource script (see compile_given_rc)."""
    with tempfile.TemporaryDirectory(prefix="mkapp-") as folder:
        return compile_given_rc(Path(rc_file), script, Path(folder), windres)



@dataclasses.dataclass
class Resource:
    type: int | str
    name: int | str
    language: int
    data: bytes


def align4(n: int) -> int:
    return (n + 3) & ~3


def read_name_or_ordinal(image: bytes, position: int, limit: int):
    """A resource type or name: 0xFFFF and an ordinal, or a NUL-ended UTF-16 string."""
    if position + 4 > limit:
        raise ValueError("resource header truncated")
    (first,) = struct.unpack_from("<H", image, position)
    if first == 0xFFFF:
        return struct.unpack_from("<H", image, position + 2)[0], position + 4
    end = position
    while True:
        if end + 2 > limit:
            raise ValueError("resource name not terminated")
        if image[end:end + 2] == b"\0\0":
            break
        end += 2
    return image[position:end].decode("utf-16-le"), end + 2


def parse_res(image: bytes) -> list:
    """The records of a .res image, without the leading empty record."""
    resources = []
    position = 0
    while position < len(image):
        if position + 8 > len(image):
            raise ValueError("record header truncated at %d" % position)
        data_size, header_size = struct.unpack_from("<II", image, position)
        header_end = position + header_size
        if header_size < 32 or header_end > len(image):
            raise ValueError("bad header size at %d" % position)
        kind, at = read_name_or_ordinal(image, position + 8, header_end)
        name, at = read_name_or_ordinal(image, at, header_end)
        at = align4(at)
        if at + 16 > header_end:
            raise ValueError("record header truncated at %d" % position)
        language = struct.unpack_from("<H", image, at + 6)[0]
        if header_end + data_size > len(image):
            raise ValueError("record data truncated at %d" % position)
        data = image[header_end:header_end + data_size]
        if not (kind == 0 and name == 0 and data_size == 0):
            resources.append(Resource(kind, name, language, data))
        position = align4(header_end + data_size)
    return resources


@dataclasses.dataclass
class VersionInfo:
    fixed: bytes
    string_tables: dict   # block name -> {key: value}
    translations: list    # (language, code page) pairs

    def file_version(self):
        ms, ls = struct.unpack_from("<II", self.fixed, 8)
        return ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF


def read_version_node(data: bytes, position: int):
    """One node of a version-information tree: (key, value bytes, is text,
    children, end position)."""
    length, value_length, is_text = struct.unpack_from("<HHH", data, position)
    end = position + length
    if length < 6 or end > len(data):
        raise ValueError("version node overruns its block at %d" % position)
    key, at = read_name_or_ordinal(data, position + 6, end)
    at = align4(at)
    value_bytes = value_length * 2 if is_text else value_length
    value = data[at:at + value_bytes]
    at = align4(at + value_bytes)
    children = []
    while at < end:
        child = read_version_node(data, at)
        children.append(child)
        at = align4(child[4])
    return key, value, bool(is_text), children, end


def parse_version_info(data: bytes) -> VersionInfo:
    key, fixed, _, children, _ = read_version_node(data, 0)
    if key != "VS_VERSION_INFO":
        raise ValueError("not a version resource: %r" % key)
    info = VersionInfo(fixed, {}, [])
    for child_key, _, _, grandchildren, _ in children:
        if child_key == "StringFileInfo":
            for block, _, _, entries, _ in grandchildren:
                info.string_tables[block] = {
                    name: value.decode("utf-16-le").split("\0", 1)[0]
                    for name, value, _, _, _ in entries}
        elif child_key == "VarFileInfo":
            for _, value, _, _, _ in grandchildren:
                info.translations += [struct.unpack_from("<HH", value, i)
                                      for i in range(0, len(value) - 3, 4)]
    return info


def find_version_info(resources) -> VersionInfo:
    for resource in resources:
        if resource.type == RT_VERSION:
            return parse_version_info(resource.data)
    raise ValueError("no version resource")
