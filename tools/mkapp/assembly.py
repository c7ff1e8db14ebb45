"""Assembly of the output: the application executable (launcher binary,
resource image, trailer) and the files beside it, written all or nothing."""

from __future__ import annotations

import os
import shutil
import struct
import tempfile
from pathlib import Path, PurePosixPath

from .errors import BuildError, read_input

TRAILER_MAGIC = b"RESIMG01"
FILE_LIST_HEADER = "Files of this build:"
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



def check_relative(path: PurePosixPath, what: str) -> PurePosixPath:
    """A path inside the output folder: relative, with no "..", not empty."""
    if path.is_absolute() or ".." in path.parts or not path.parts or path == PurePosixPath("."):
        raise BuildError("%s must be a path inside the output folder: %s" % (what, path))
    return path


class OutputFolder:
    """An output folder built in a temporary folder beside it and moved into
    place by commit(): a failed build leaves no half-written output.

    A folder that holds nothing but an earlier output of the tool (its
    `marker` lists the files of that build) is replaced whole. Into any other
    existing folder the new files are moved one by one, the files of an
    earlier build that this one does not write are removed, and all other
    files stay."""

    def __init__(self, folder: Path, marker: str):
        self.folder = Path(os.path.abspath(folder))
        self.marker = marker
        try:
            self.folder.parent.mkdir(parents=True, exist_ok=True)
            self.staging = Path(tempfile.mkdtemp(prefix="." + self.folder.name + ".build-",
                                                 dir=self.folder.parent))
            os.chmod(self.staging, 0o777 & ~current_umask())
        except OSError as error:
            raise BuildError("cannot create the output folder %s: %s"
                             % (self.folder, error.strerror or error))
        self.entries = {}

    def add(self, relative, content, mode: int = 0o644) -> None:
        """Content is bytes or the path of a file to copy."""
        relative = PurePosixPath(relative)
        if relative in self.entries:
            raise BuildError("two files of the output would be %s" % relative)
        for parent in relative.parents:
            if parent in self.entries:
                raise BuildError("%s of the output is a file, not a folder" % parent)
        self.entries[relative] = (content, mode)

    def add_marker(self, text: str) -> None:
        """The marker file: `text`, then the list of the build's files."""
        names = sorted(str(path) for path in self.entries) + [self.marker]
        self.add(self.marker, (text + "\n" + FILE_LIST_HEADER + "\n"
                               + "".join("  %s\n" % name for name in sorted(names)))
                 .encode("utf-8"))

    def write(self) -> None:
        for relative, (content, mode) in sorted(self.entries.items()):
            destination = self.staging / relative
            destination.parent.mkdir(parents=True, exist_ok=True)
            try:
                if isinstance(content, (bytes, bytearray)):
                    destination.write_bytes(content)
                else:
                    shutil.copyfile(content, destination)
                os.chmod(destination, mode)
            except OSError as error:
                raise BuildError("cannot write %s: %s" % (destination, error.strerror or error))

    def commit(self) -> None:
        try:
            if not self.folder.exists():
                os.rename(self.staging, self.folder)
                return
            earlier = self.files_of_earlier_build()
            if self.only_earlier_files(earlier) and not self.holds_working_directory():
                self.replace_whole()
            else:
                self.merge(earlier)
        except OSError as error:
            raise BuildError("cannot write %s: %s" % (self.folder, error.strerror or error))

    def holds_working_directory(self) -> bool:
        cwd = Path.cwd().resolve()
        return cwd == self.folder.resolve() or self.folder.resolve() in cwd.parents

    def files_of_earlier_build(self) -> set:
        try:
            text = (self.folder / self.marker).read_text(encoding="utf-8", errors="replace")
        except OSError:
            return set()
        _, found, names = text.partition("\n" + FILE_LIST_HEADER + "\n")
        return {line[2:] for line in names.splitlines() if line.startswith("  ")} \
            if found else set()

    def only_earlier_files(self, written: set) -> bool:
        """Whether every file in the folder was written by the earlier build."""
        if not written:
            return False
        for root, folders, files in os.walk(self.folder):
            for name in files + [f for f in folders if os.path.islink(os.path.join(root, f))]:
                relative = Path(root, name).relative_to(self.folder).as_posix()
                if relative not in written:
                    return False
        return True

    def replace_whole(self) -> None:
        previous = Path(tempfile.mkdtemp(prefix="." + self.folder.name + ".old-",
                                         dir=self.folder.parent))
        os.rename(self.folder, previous / "output")
        try:
            os.rename(self.staging, self.folder)
        except OSError:
            os.rename(previous / "output", self.folder)
            raise
        shutil.rmtree(previous, ignore_errors=True)

    def merge(self, stale=()) -> None:
        """Moves the new files in; removes the files of the earlier build
        that this build no longer writes."""
        for relative in sorted(stale):
            path = self.folder / relative
            if (path.is_file() or path.is_symlink()) and not (self.staging / relative).exists():
                path.unlink()
                remove_empty_folders(path.parent, self.folder)
        merge_folder(self.staging, self.folder)

    def discard(self) -> None:
        shutil.rmtree(self.staging, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.discard()
        return False


def remove_empty_folders(folder: Path, top: Path) -> None:
    """Removes `folder` and its parents below `top` while they are empty."""
    while folder != top and top in folder.parents:
        try:
            folder.rmdir()
        except OSError:
            return
        folder = folder.parent


def merge_folder(source: Path, destination: Path) -> None:
    """Moves the files of `source` into `destination`, folder by folder: a
    file of the same name is replaced, every other file stays."""
    for entry in sorted(source.iterdir()):
        target = destination / entry.name
        if entry.is_dir() and not entry.is_symlink() and target.is_dir() \
                and not target.is_symlink():
            merge_folder(entry, target)
        else:
            if target.is_dir() and not target.is_symlink():
                shutil.rmtree(target)  # a folder where the build writes a file
            os.replace(entry, target)


def current_umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask
