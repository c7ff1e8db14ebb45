"""Assembly of the output: the application executable (launcher binary,
resource image, trailer) and the files beside it, written all or nothing."""

from __future__ import annotations

import os
import struct
import tempfile
from pathlib import Path

from .errors import BuildError, read_input

TRAILER_MAGIC = b"RESIMG01"
TRAILER = struct.Struct("<Q8s")
ARCHIVE_NAME = "lib.dll"


class StagedFile:
    """Output written to a temporary file in its destination folder and moved
    into place by commit(); discarded otherwise, so no output is half written."""

    def __init__(self, destination: Path, data: bytes, mode: int):
        self.destination = destination
        destination.parent.mkdir(parents=True, exist_ok=True)
        handle, name = tempfile.mkstemp(prefix="." + destination.name + ".",
                                        dir=destination.parent)
        self.temporary = Path(name)
        try:
            with os.fdopen(handle, "wb") as stream:
                stream.write(data)
                stream.flush()
                os.fsync(stream.fileno())
            os.chmod(self.temporary, mode)
        except BaseException:
            self.discard()
            raise

    def commit(self) -> None:
        os.replace(self.temporary, self.destination)

    def discard(self) -> None:
        try:
            self.temporary.unlink()
        except FileNotFoundError:
            pass


def write_all_or_nothing(outputs) -> None:
    """Writes (path, bytes, mode) triples: all of them, or none on failure."""
    staged = []
    try:
        for path, data, mode in outputs:
            try:
                staged.append(StagedFile(Path(path), data, mode))
            except OSError as error:
                raise BuildError("cannot write %s: %s" % (path, error.strerror or error))
        for item in staged:
            try:
                item.commit()
            except OSError as error:
                raise BuildError("cannot write %s: %s" % (item.destination,
                                                          error.strerror or error))
    finally:
        for item in staged:
            item.discard()


def write_atomically(path: Path, data: bytes, mode: int) -> None:
    write_all_or_nothing([(path, data, mode)])


def executable_bytes(launcher: bytes, image: bytes) -> bytes:
    return launcher + image + TRAILER.pack(len(image), TRAILER_MAGIC)


def executable_outputs(launcher, output, image: bytes, lib_dll: bytes | None) -> list:
    """The (path, bytes, mode) triples of an application executable (launcher +
    image + trailer, with the launcher's mode) and of lib.dll beside it."""
    launcher, output = Path(launcher), Path(output)
    launcher_bytes = read_input(launcher, "launcher binary")
    outputs = [(output, executable_bytes(launcher_bytes, image),
                launcher.stat().st_mode & 0o7777)]
    if lib_dll is not None:
        outputs.append((output.parent / ARCHIVE_NAME, lib_dll, 0o644))
    return outputs


def build_executable(launcher, output, image: bytes, lib_dll: bytes | None = None) -> None:
    """Writes the application executable and, when given, lib.dll beside it:
    both or neither."""
    write_all_or_nothing(executable_outputs(launcher, output, image, lib_dll))


def split_executable(executable: bytes):
    """(launcher bytes, resource image) of an application executable."""
    if len(executable) < TRAILER.size:
        raise ValueError("file too short for a resource trailer")
    size, magic = TRAILER.unpack_from(executable, len(executable) - TRAILER.size)
    if magic != TRAILER_MAGIC or size > len(executable) - TRAILER.size:
        raise ValueError("no resource trailer")
    start = len(executable) - TRAILER.size - size
    return executable[:start], executable[start:start + size]

