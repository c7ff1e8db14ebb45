"""Runtime hook of multiprocessing: spawned workers of a frozen application.

multiprocessing starts a spawned worker through sys.executable, which is the
application executable, with the arguments "--multiprocessing-fork
KEY=VALUE...". In a process that the application started (the hook of child
processes tells), such a command line runs the worker and ends the process
with the worker's exit status. The resource tracker and the fork server are
started as "-c" commands, which the hook of child processes runs like any
other helper process.

On Windows, the hook also corrects what multiprocessing.connection believes
about the system's pipes, where the system reports a version older than the
pipes behave (see PipeBehaviour).
"""

import sys

# The hook of child processes: multiprocessing imports subprocess, which
# brings it in whenever this hook is carried.
import _hook_subprocess as helper
import stub

SPAWN_OPTION = "--multiprocessing-fork"
CONNECTION_MODULE = "multiprocessing.connection"
# The first version whose zero-byte read takes a waiting zero-length message
# off a message pipe.
WINDOWS_8 = (6, 2)


def is_spawned_worker(argv):
    return len(argv) >= 2 and argv[1] == SPAWN_OPTION and helper.is_marked()


def run_worker(argv):
    sys.argv = list(argv)
    from multiprocessing import spawn
    spawn.freeze_support()


def freeze_support():
    """Runs the worker and ends the process, when this process is one of
    multiprocessing's spawned workers."""
    argv = stub.get_argv()
    if is_spawned_worker(argv):
        helper.run_as_helper(lambda: run_worker(argv))


class PipeBehaviour:
    """sys as multiprocessing.connection sees it, on a system whose pipes
    behave as those of Windows 8 although it reports an older version.

    connection.wait() polls a pipe with a zero-byte read. When a zero-length
    message waits (concurrent.futures wakes its management thread with one),
    that read takes it off the pipe on Windows 8 and later, and wait() asks
    sys.getwindowsversion() whether to remember that it did. Wine 8
    (Debian 12's) makes new prefixes report Windows 7 while its pipes behave
    as Windows 8's: the message is gone unremembered, the next recv_bytes()
    waits for it forever with the executor's lock held, and every
    ProcessPoolExecutor hangs in its first map()."""

    def __getattr__(self, name):
        return getattr(sys, name)

    @staticmethod
    def getwindowsversion():
        return WINDOWS_8 + tuple(sys.getwindowsversion())[2:]


def zero_byte_read_done_at_once(handle):
    """Reads zero bytes from a pipe; whether the read completed at once (a
    message waited). A read that waits is cancelled."""
    import _winapi
    overlapped, error = _winapi.ReadFile(handle, 0, True)
    if error == _winapi.ERROR_IO_PENDING:
        overlapped.cancel()
    overlapped.GetOverlappedResult(True)
    return error != _winapi.ERROR_IO_PENDING


def zero_byte_read_takes_empty_message(connection):
    """Whether a zero-byte read takes a waiting zero-length message off one
    of multiprocessing's pipes."""
    reader, writer = connection.Pipe(duplex=False)
    with reader, writer:
        writer.send_bytes(b"")
        handle = reader.fileno()
        return zero_byte_read_done_at_once(handle) and not zero_byte_read_done_at_once(handle)


def correct_pipe_behaviour(connection):
    if zero_byte_read_takes_empty_message(connection):
        connection.sys = PipeBehaviour()


class CorrectingLoader:
    """The loader of multiprocessing.connection, which corrects the module
    once it has run."""

    def __init__(self, loader):
        self.loader = loader

    def __getattr__(self, name):
        return getattr(self.loader, name)

    def create_module(self, spec):
        return self.loader.create_module(spec)

    def exec_module(self, module):
        self.loader.exec_module(module)
        correct_pipe_behaviour(module)


class ConnectionFinder:
    """Finds multiprocessing.connection through the other finders, once, and
    has it corrected when it is loaded."""

    @classmethod
    def find_spec(cls, name, path=None, target=None):
        if name != CONNECTION_MODULE:
            return None
        sys.meta_path.remove(cls)
        for finder in sys.meta_path:
            spec = finder.find_spec(name, path, target) if hasattr(finder, "find_spec") else None
            if spec is not None:
                spec.loader = CorrectingLoader(spec.loader)
                return spec
        return None


def watch_pipe_behaviour():
    """Has multiprocessing.connection corrected, on a Windows that reports
    an older version than Windows 8 (Windows 7, or Wine 8's default)."""
    if sys.platform != "win32" or sys.getwindowsversion()[:2] >= WINDOWS_8:
        return
    if CONNECTION_MODULE in sys.modules:
        correct_pipe_behaviour(sys.modules[CONNECTION_MODULE])
    else:
        sys.meta_path.insert(0, ConnectionFinder)


watch_pipe_behaviour()
freeze_support()
