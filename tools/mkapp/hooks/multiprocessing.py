"""Runtime hook of multiprocessing: spawned workers of a frozen application.

multiprocessing starts a spawned worker through sys.executable, which is the
application executable, with the arguments "--multiprocessing-fork
KEY=VALUE...". In a process that the application started (the hook of child
processes tells), such a command line runs the worker and ends the process
with the worker's exit status. The resource tracker and the fork server are
started as "-c" commands, which the hook of child processes runs like any
other helper process.
"""

import sys

# The hook of child processes: multiprocessing imports subprocess, which
# brings it in whenever this hook is carried.
import _hook_subprocess as helper
import stub

SPAWN_OPTION = "--multiprocessing-fork"


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


freeze_support()
