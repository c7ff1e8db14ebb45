"""Assembly of the output: the application executable (launcher binary,
resource image, trailer) and the files beside it, written all or nothing."""

from __future__ import annotations

import ctypes
import ctypes.util
import errno
import json
import os
import shutil
import struct
import tempfile
from pathlib import Path, PurePosixPath

from .errors import BuildError, read_input

try:
    import fcntl
except ImportError:  # Windows: builds there leave no lock behind
    fcntl = None

TRAILER_MAGIC = b"RESIMG01"
FILE_LIST_HEADER = "Files of this build:"
# The machine-readable list of the files a build wrote, beside the report
# (which is for people): a JSON object {"files": [relative POSIX paths]}.
MANIFEST_NAME = "build-files.json"
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
    manifest lists the files of that build) is exchanged with the new one in
    one step, so that a kill at any moment leaves one of the two in place.
    Into any other existing folder the new files are moved one by one, the
    files of an earlier build that this one does not write are removed, and
    all other files stay.

    The temporary folder stays locked while the build runs; the next build
    removes the temporary folders of builds that were killed."""

    def __init__(self, folder: Path, marker: str):
        self.folder = Path(os.path.abspath(folder))
        self.marker = marker
        self.lock = None
        try:
            self.folder.parent.mkdir(parents=True, exist_ok=True)
            remove_abandoned_staging(self.folder)
            self.staging = Path(tempfile.mkdtemp(prefix=staging_prefix(self.folder),
                                                 dir=self.folder.parent))
            self.lock = lock_folder(self.staging)
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
        """The marker file (`text`, then the list of the build's files, for
        people) and the manifest (the same list, for the next build)."""
        names = sorted([str(path) for path in self.entries] + [self.marker, MANIFEST_NAME])
        self.add(self.marker, (text + "\n" + FILE_LIST_HEADER + "\n"
                               + "".join("  %s\n" % readable_name(name) for name in names))
                 .encode("utf-8", "backslashreplace"))
        self.add(MANIFEST_NAME, json.dumps({"files": names}, indent=0).encode("ascii"))

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
        return manifest_files(self.folder)

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
        """Exchanges the new folder with the earlier output in one step; the
        earlier output, now in the temporary folder's place, is removed.
        Where the system cannot exchange two folders, the new files are
        moved in one by one instead, so that the folder is never missing."""
        if exchange_paths(self.staging, self.folder):
            shutil.rmtree(self.staging, ignore_errors=True)
        else:
            self.merge(self.files_of_earlier_build())

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
        if self.lock is not None:
            os.close(self.lock)
            self.lock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.discard()
        return False


def manifest_files(folder: Path) -> set:
    """The files that the manifest of an earlier build in `folder` lists;
    none when there is no manifest or it cannot be read, so that nothing is
    taken for the tool's own."""
    try:
        listed = json.loads((folder / MANIFEST_NAME).read_bytes())["files"]
    except (OSError, ValueError, KeyError, TypeError):
        return set()
    if not isinstance(listed, list) or not all(isinstance(name, str) for name in listed):
        return set()
    return {name for name in listed if is_relative_inside(name)}


def readable_name(name: str) -> str:
    """A file name as the report shows it: on one line, with what cannot
    be shown (line breaks, other control characters, bytes that are not
    UTF-8) escaped."""
    if name.isprintable():
        return name.encode("utf-8", "backslashreplace").decode("utf-8")
    return ascii(name)


def is_relative_inside(name: str) -> bool:
    path = PurePosixPath(name)
    return bool(name) and not path.is_absolute() and ".." not in path.parts


# ---- the exchange of two folders ------------------------------------------------

RENAME_EXCHANGE = 2  # from linux/fs.h
AT_FDCWD = -100


def exchange_paths(first: Path, second: Path) -> bool:
    """Swaps two existing paths in one step (renameat2 with RENAME_EXCHANGE);
    False, with nothing changed, where the system or file system cannot."""
    renameat2 = libc_function("renameat2")
    if renameat2 is None:
        return False
    result = renameat2(AT_FDCWD, os.fsencode(first), AT_FDCWD, os.fsencode(second),
                       RENAME_EXCHANGE)
    if result == 0:
        return True
    error = ctypes.get_errno()
    if error in (errno.ENOSYS, errno.EINVAL, errno.ENOTSUP, errno.EXDEV):
        return False
    raise OSError(error, os.strerror(error), str(second))


def libc_function(name: str):
    try:
        library = ctypes.CDLL(ctypes.util.find_library("c") or None, use_errno=True)
        function = getattr(library, name)
    except (OSError, AttributeError):
        return None
    function.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                         ctypes.c_uint]
    function.restype = ctypes.c_int
    return function


# ---- temporary folders of killed builds ---------------------------------------

def staging_prefix(folder: Path) -> str:
    return "." + folder.name + ".build-"


def lock_folder(folder: Path):
    """An open descriptor of `folder` holding an exclusive lock on it, or None
    where the system has no such locks."""
    if fcntl is None:
        return None
    descriptor = os.open(folder, os.O_RDONLY)
    fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    return descriptor


def remove_abandoned_staging(folder: Path) -> None:
    """Removes the temporary folders that builds of `folder` left when they
    were killed: those no running build holds locked."""
    if fcntl is None:
        return
    prefix = staging_prefix(folder)
    for entry in folder.parent.iterdir():
        if not entry.name.startswith(prefix) or entry.is_symlink() or not entry.is_dir():
            continue
        try:
            descriptor = os.open(entry, os.O_RDONLY)
        except OSError:
            continue
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            shutil.rmtree(entry, ignore_errors=True)
        except OSError:
            pass  # a build that still runs
        finally:
            os.close(descriptor)


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
