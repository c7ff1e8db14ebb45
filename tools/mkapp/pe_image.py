"""Windows executables and DLLs (PE images, 32- and 64-bit): the resource
section of a copy of the Windows launcher replaced by an application's
compiled resource image, and the DLLs that an extension module imports.

A Windows application executable is launcher.exe with the application's
resources (version resource, boot script, icons, manifest, DATA files) in
place of those it was linked with. The resource section is rebuilt from the
.res image that the resource compiler writes: it keeps its place and grows
or shrinks; the sections after it, which the linker puts there and nothing
refers to at run time (base relocations, debugging information), move with
it. Every other section keeps its bytes and its address, so no code changes.
"""

from __future__ import annotations

import dataclasses
import struct

from .errors import BuildError

MACHINES = {0x14C: "i686", 0x8664: "x86_64"}

DOS_HEADER_SIZE = 64
PE_SIGNATURE = b"PE\0\0"
COFF_HEADER = struct.Struct("<HHIIIHH")
SECTION_HEADER = struct.Struct("<8sIIIIIIHHI")
DATA_DIRECTORY = struct.Struct("<II")
DEBUG_DIRECTORY = struct.Struct("<IIHHIIII")
IMPORT_DESCRIPTOR = struct.Struct("<IIIII")
RESOURCE_DIRECTORY = struct.Struct("<IIHHHH")
RESOURCE_ENTRY = struct.Struct("<II")
RESOURCE_DATA_ENTRY = struct.Struct("<IIII")

PE32, PE32_PLUS = 0x10B, 0x20B
# Offsets in the optional header (the same in both formats).
SIZE_OF_INITIALIZED_DATA = 8
SECTION_ALIGNMENT = 32
FILE_ALIGNMENT = 36
SIZE_OF_IMAGE = 56
SIZE_OF_HEADERS = 60
CHECKSUM = 64
# Where the data directories start, by format.
DATA_DIRECTORIES = {PE32: 96, PE32_PLUS: 112}
NUMBER_OF_RVA_AND_SIZES = {PE32: 92, PE32_PLUS: 108}

IMPORT_TABLE, RESOURCE_TABLE, CERTIFICATE_TABLE, DEBUG_TABLE = 1, 2, 4, 6

SCN_CNT_INITIALIZED_DATA = 0x00000040
SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_READ = 0x40000000
RESOURCE_SECTION_FLAGS = SCN_CNT_INITIALIZED_DATA | SCN_MEM_READ
RESOURCE_SECTION_NAME = b".rsrc"

SUBDIRECTORY = 0x80000000
NAMED = 0x80000000
# Resource data starts on this boundary, as the system's own linker places it.
DATA_ALIGNMENT = 8


def align(value: int, boundary: int) -> int:
    return (value + boundary - 1) // boundary * boundary


@dataclasses.dataclass
class Section:
    index: int          # place in the section table
    name: bytes
    virtual_size: int
    virtual_address: int
    raw_size: int
    raw_pointer: int
    characteristics: int
    header: bytes       # the whole 40-byte header, as read

    @property
    def raw_end(self) -> int:
        return self.raw_pointer + self.raw_size

    def contains(self, rva: int) -> bool:
        return self.virtual_address <= rva < self.virtual_address + max(self.virtual_size,
                                                                           self.raw_size)


class PeImage:
    """The headers of a PE file, read from its bytes. Raises BuildError on
    anything that is not a well-formed PE file."""

    def __init__(self, data: bytes, what: str):
        self.data = data
        self.what = what
        if len(data) < DOS_HEADER_SIZE or data[:2] != b"MZ":
            raise self.error("not a Windows executable (no MZ header)")
        (self.pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[self.pe_offset:self.pe_offset + 4] != PE_SIGNATURE:
            raise self.error("not a Windows executable (no PE header)")
        self.coff_offset = self.pe_offset + 4
        (self.machine, self.section_count, _, self.symbol_pointer, _, optional_size,
         _) = self.unpack(COFF_HEADER, self.coff_offset)
        self.optional_offset = self.coff_offset + COFF_HEADER.size
        (self.magic,) = self.unpack(struct.Struct("<H"), self.optional_offset)
        if self.magic not in DATA_DIRECTORIES:
            raise self.error("unknown optional header format 0x%X" % self.magic)
        self.directory_count = self.optional_field(NUMBER_OF_RVA_AND_SIZES[self.magic])
        self.section_table = self.optional_offset + optional_size
        if DATA_DIRECTORIES[self.magic] + self.directory_count * DATA_DIRECTORY.size \
                > optional_size:
            raise self.error("data directories overrun the optional header")
        self.sections = [self.read_section(index) for index in range(self.section_count)]

    def error(self, text: str) -> BuildError:
        return BuildError("%s: %s" % (self.what, text))

    def unpack(self, layout: struct.Struct, offset: int):
        if offset < 0 or offset + layout.size > len(self.data):
            raise self.error("truncated at offset %d" % offset)
        return layout.unpack_from(self.data, offset)

    def optional_field(self, offset: int) -> int:
        return self.unpack(struct.Struct("<I"), self.optional_offset + offset)[0]

    def read_section(self, index: int) -> Section:
        offset = self.section_table + index * SECTION_HEADER.size
        name, virtual_size, address, raw_size, pointer, _, _, _, _, flags = \
            self.unpack(SECTION_HEADER, offset)
        if raw_size and pointer + raw_size > len(self.data):
            raise self.error("section %d lies beyond the end of the file" % index)
        return Section(index, name, virtual_size, address, raw_size, pointer, flags,
                       self.data[offset:offset + SECTION_HEADER.size])

    @property
    def architecture(self) -> str:
        return MACHINES.get(self.machine, "machine 0x%X" % self.machine)

    def directory(self, number: int):
        """(RVA, size) of a data directory; (0, 0) when the image has none."""
        if number >= self.directory_count:
            return 0, 0
        return self.unpack(DATA_DIRECTORY, self.directory_offset(number))

    def directory_offset(self, number: int) -> int:
        return self.optional_offset + DATA_DIRECTORIES[self.magic] + number * DATA_DIRECTORY.size

    def section_of(self, rva: int) -> Section | None:
        for section in self.sections:
            if section.contains(rva):
                return section
        return None

    def file_offset(self, rva: int) -> int:
        section = self.section_of(rva)
        if section is None or rva - section.virtual_address >= section.raw_size:
            raise self.error("address 0x%X is in no section's file data" % rva)
        return section.raw_pointer + rva - section.virtual_address

    def c_string(self, rva: int) -> str:
        start = self.file_offset(rva)
        end = self.data.find(b"\0", start)
        if end < 0:
            raise self.error("string at 0x%X is not terminated" % rva)
        return self.data[start:end].decode("ascii", "replace")

    def imported_dlls(self) -> list:
        """The names of the DLLs in the import table, in its order."""
        rva, size = self.directory(IMPORT_TABLE)
        if not rva:
            return []
        names = []
        offset = self.file_offset(rva)
        while True:
            descriptor = self.unpack(IMPORT_DESCRIPTOR, offset)
            if not any(descriptor):
                return names
            names.append(self.c_string(descriptor[3]))
            offset += IMPORT_DESCRIPTOR.size


def image_architecture(data: bytes, what: str) -> str:
    """i686 or x86_64: the processor a PE file is built for."""
    return PeImage(data, what).architecture


def imported_dlls(data: bytes, what: str) -> list:
    return PeImage(data, what).imported_dlls()


# ---- the resource section ---------------------------------------------------------

def sort_key(key):
    """Named entries first, in the order of their upper-case names; then the
    numbered ones, by number. The system's resource search relies on it."""
    if isinstance(key, str):
        return 0, [ord(ch) for ch in key.upper()], 0
    return 1, [], key


def resource_tree(resources) -> dict:
    """type -> name -> language -> data, each level sorted for the search."""
    tree = {}
    for resource in resources:
        names = tree.setdefault(resource.type, {})
        languages = names.setdefault(resource.name, {})
        if resource.language in languages:
            raise BuildError("the resource image holds resource %r %r (language %d) twice"
                             % (resource.type, resource.name, resource.language))
        languages[resource.language] = resource.data
    return sort_tree(tree)


def sort_tree(level):
    if not isinstance(level, dict):
        return level
    return {key: sort_tree(level[key]) for key in sorted(level, key=sort_key)}


def directory_tables(tree: dict) -> list:
    """The directory levels of a resource tree, breadth first: the order in
    which their tables lie in the section."""
    tables = [tree]
    index = 0
    while index < len(tables):
        tables += [value for value in tables[index].values() if isinstance(value, dict)]
        index += 1
    return tables


def resource_section(resources, section_rva: int) -> bytes:
    """The contents of a resource section at section_rva holding the given
    resources (the records of a .res image): the directory tables, the name
    strings, the data entries, then the data."""
    tables = directory_tables(resource_tree(resources))
    table_offsets, offset = {}, 0
    for level in tables:
        table_offsets[id(level)] = offset
        offset += RESOURCE_DIRECTORY.size + RESOURCE_ENTRY.size * len(level)
    string_offsets = {}
    for level in tables:
        for key in level:
            if isinstance(key, str) and key not in string_offsets:
                string_offsets[key] = offset
                offset += 2 + len(key.encode("utf-16-le"))
    entries_offset = align(offset, 4)
    leaves = [value for level in tables for value in level.values()
              if not isinstance(value, dict)]
    offset = entries_offset + RESOURCE_DATA_ENTRY.size * len(leaves)
    data_offsets = []
    for data in leaves:
        offset = align(offset, DATA_ALIGNMENT)
        data_offsets.append(offset)
        offset += len(data)

    section = bytearray(offset)
    for key, at in string_offsets.items():
        encoded = key.encode("utf-16-le")
        struct.pack_into("<H", section, at, len(encoded) // 2)
        section[at + 2:at + 2 + len(encoded)] = encoded
    leaf = 0
    for level in tables:
        at = table_offsets[id(level)]
        named = sum(1 for key in level if isinstance(key, str))
        RESOURCE_DIRECTORY.pack_into(section, at, 0, 0, 0, 0, named, len(level) - named)
        at += RESOURCE_DIRECTORY.size
        for key, value in level.items():
            name = NAMED | string_offsets[key] if isinstance(key, str) else key
            if isinstance(value, dict):
                target = SUBDIRECTORY | table_offsets[id(value)]
            else:
                target = entries_offset + RESOURCE_DATA_ENTRY.size * leaf
                RESOURCE_DATA_ENTRY.pack_into(section, target, section_rva + data_offsets[leaf],
                                              len(value), 0, 0)
                section[data_offsets[leaf]:data_offsets[leaf] + len(value)] = value
                leaf += 1
            RESOURCE_ENTRY.pack_into(section, at, name, target)
            at += RESOURCE_ENTRY.size
    return bytes(section)


# ---- the rewrite -------------------------------------------------------------------

def checksum(data: bytes, field_offset: int) -> int:
    """The image checksum: the 16-bit one's-complement sum of the file with
    the checksum field taken as 0, plus the file's length."""
    padded = bytearray(data)
    padded[field_offset:field_offset + 4] = bytes(4)
    if len(padded) % 2:
        padded.append(0)
    total = sum(memoryview(padded).cast("H"))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


@dataclasses.dataclass
class Layout:
    """Where the new resource section goes, and what moves to make room."""
    replaced: Section | None   # the old resource section, or None: a new one
    tail: list                 # sections after it, which move
    rva: int                   # the resource section's address
    raw_pointer: int           # its file offset
    old_raw_end: int           # file data from here on moves
    old_virtual_end: int       # addresses from here on move


def resource_layout(image: PeImage) -> Layout:
    """Where the resources of a rewritten image go: in place of the
    existing resource section, else in a new section after the last one."""
    section_alignment = image.optional_field(SECTION_ALIGNMENT)
    file_alignment = image.optional_field(FILE_ALIGNMENT)
    by_address = sorted(image.sections, key=lambda section: section.virtual_address)
    rva, _ = image.directory(RESOURCE_TABLE)
    if rva:
        old = image.section_of(rva)
        if old is None or old.virtual_address != rva \
                or old.name.rstrip(b"\0") != RESOURCE_SECTION_NAME:
            raise image.error("its resources do not fill a resource section of their own")
        tail = by_address[by_address.index(old) + 1:]
        layout = Layout(old, tail, rva, old.raw_pointer, old.raw_end,
                        align(old.virtual_address + old.virtual_size, section_alignment))
    else:
        end = max((s.virtual_address + s.virtual_size for s in image.sections), default=0)
        raw_end = max((s.raw_end for s in image.sections if s.raw_size), default=0)
        layout = Layout(None, [], align(end, section_alignment), align(raw_end, file_alignment),
                        raw_end, align(end, section_alignment))
        check_header_room(image)
    for section in image.sections:
        if section in layout.tail:
            if not section.characteristics & SCN_MEM_DISCARDABLE:
                raise image.error("section %s after the resources is needed at run time and "
                                  "cannot move" % section.name.rstrip(b"\0").decode("latin-1"))
            if section.raw_size and section.raw_pointer < layout.old_raw_end:
                raise image.error("its sections are not in address order in the file")
        elif section is not layout.replaced and section.raw_size \
                and section.raw_end > layout.raw_pointer:
            raise image.error("its sections are not in address order in the file")
    return layout


def check_header_room(image: PeImage) -> None:
    """A new section needs a free entry after the section table."""
    start = image.section_table + image.section_count * SECTION_HEADER.size
    limit = min([image.optional_field(SIZE_OF_HEADERS)]
                + [s.raw_pointer for s in image.sections if s.raw_size])
    if start + SECTION_HEADER.size > limit or any(image.data[start:start + SECTION_HEADER.size]):
        raise image.error("no room for another section header")


def replace_resources(executable: bytes, resources, what: str = "launcher") -> bytes:
    """A copy of a PE file whose resources are exactly `resources` (records
    of a .res image, as parse_res reads them)."""
    image = PeImage(executable, what)
    if image.directory(CERTIFICATE_TABLE)[0]:
        raise image.error("it is signed; sign the application executable instead")
    layout = resource_layout(image)
    section_alignment = image.optional_field(SECTION_ALIGNMENT)
    file_alignment = image.optional_field(FILE_ALIGNMENT)
    content = resource_section(resources, layout.rva)
    raw_size = align(len(content), file_alignment)
    new_raw_end = layout.raw_pointer + raw_size
    file_delta = new_raw_end - layout.old_raw_end
    va_delta = align(layout.rva + len(content), section_alignment) - layout.old_virtual_end

    kept = min(layout.raw_pointer, layout.old_raw_end)
    data = bytearray(executable[:kept].ljust(layout.raw_pointer, b"\0"))
    data += content.ljust(raw_size, b"\0")
    data += executable[layout.old_raw_end:]

    def moved_rva(rva: int) -> int:
        return rva + va_delta if any(s.contains(rva) for s in layout.tail) else rva

    def moved_pointer(pointer: int) -> int:
        return pointer + file_delta if pointer >= layout.old_raw_end else pointer

    for section in layout.tail:
        at = image.section_table + section.index * SECTION_HEADER.size
        struct.pack_into("<I", data, at + 12, section.virtual_address + va_delta)
        if section.raw_size:
            struct.pack_into("<I", data, at + 20, section.raw_pointer + file_delta)
    if layout.replaced is not None:
        at = image.section_table + layout.replaced.index * SECTION_HEADER.size
        old_raw_size = layout.replaced.raw_size
    else:
        at = image.section_table + image.section_count * SECTION_HEADER.size
        old_raw_size = 0
        data[at:at + SECTION_HEADER.size] = SECTION_HEADER.pack(
            RESOURCE_SECTION_NAME, 0, layout.rva, 0, 0, 0, 0, 0, 0, RESOURCE_SECTION_FLAGS)
        struct.pack_into("<H", data, image.coff_offset + 2, image.section_count + 1)
    struct.pack_into("<IIII", data, at + 8, len(content), layout.rva, raw_size,
                     layout.raw_pointer)

    debug_rva, debug_size = image.directory(DEBUG_TABLE)
    for number in range(image.directory_count):
        if number == CERTIFICATE_TABLE:
            continue
        rva, size = image.directory(number)
        if number == RESOURCE_TABLE:
            rva, size = layout.rva, len(content)
        elif rva:
            rva = moved_rva(rva)
        DATA_DIRECTORY.pack_into(data, image.directory_offset(number), rva, size)
    if debug_rva:
        at = moved_pointer(image.file_offset(debug_rva))
        for entry in range(debug_size // DEBUG_DIRECTORY.size):
            fields = list(DEBUG_DIRECTORY.unpack_from(data, at))
            fields[6] = moved_rva(fields[6]) if fields[6] else 0
            fields[7] = moved_pointer(fields[7]) if fields[7] else 0
            DEBUG_DIRECTORY.pack_into(data, at, *fields)
            at += DEBUG_DIRECTORY.size
    if image.symbol_pointer:
        struct.pack_into("<I", data, image.coff_offset + 8, moved_pointer(image.symbol_pointer))

    ends = [s.virtual_address + s.virtual_size for s in image.sections
            if s not in layout.tail and s is not layout.replaced]
    ends += [s.virtual_address + va_delta + s.virtual_size for s in layout.tail]
    ends.append(layout.rva + len(content))
    optional = image.optional_offset
    struct.pack_into("<I", data, optional + SIZE_OF_IMAGE, align(max(ends), section_alignment))
    initialized = image.optional_field(SIZE_OF_INITIALIZED_DATA) + raw_size - old_raw_size
    struct.pack_into("<I", data, optional + SIZE_OF_INITIALIZED_DATA, max(initialized, 0))
    struct.pack_into("<I", data, optional + CHECKSUM, checksum(data, optional + CHECKSUM))
    return bytes(data)
