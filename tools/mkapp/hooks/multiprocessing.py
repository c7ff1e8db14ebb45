"""Runtime hook of multiprocessing: child processes of a frozen application.

multiprocessing starts its helper processes through sys.executable, which is
the application executable: a spawned worker with the arguments
"--multiprocessing-fork KEY=VALUE...", the resource tracker and the fork
server with the interpreter options "-c 'from multiprocessing.... import
main; main(...)'". This hook runs before the boot script's own code. In such
a child it runs the child's code and ends the process with the child's exit
status, so that a child never starts the application again; in the
application's own process it does nothing.

The "-c" form is never run as code: only a call of `main` of the two modules
above with literal arguments is recognised, so an application that takes a
"-c" option of its own keeps it.
"""

import ast
import sys

import stub

SPAWN_OPTION = "--multiprocessing-fork"
CHILD_MAIN_MODULES = ("multiprocessing.resource_tracker", "multiprocessing.forkserver")
# Interpreter options that multiprocessing passes on, and those of them that
# take a value as the next argument.
OPTIONS_WITH_VALUE = ("-W", "-X")


def interpreter_command(argv):
    """The text after "-c" when the arguments are interpreter options and
    "-c TEXT", else None."""
    index = 1
    while index < len(argv) and argv[index].startswith("-"):
        if argv[index] == "-c":
            return argv[index + 1] if index + 1 < len(argv) else None
        index += 2 if argv[index] in OPTIONS_WITH_VALUE else 1
    return None


def child_main_call(command):
    """(module name, positional arguments, keyword arguments) of a command of
    the form "from M import main; main(LITERALS)" with M one of
    CHILD_MAIN_MODULES, else None."""
    try:
        tree = ast.parse(command, mode="exec")
    except SyntaxError:
        return None
    if len(tree.body) != 2:
        return None
    imported, called = tree.body
    if not (isinstance(imported, ast.ImportFrom) and imported.level == 0
            and imported.module in CHILD_MAIN_MODULES
            and [(alias.name, alias.asname) for alias in imported.names] == [("main", None)]):
        return None
    if not (isinstance(called, ast.Expr) and isinstance(called.value, ast.Call)
            and isinstance(called.value.func, ast.Name) and called.value.func.id == "main"):
        return None
    try:
        args = [ast.literal_eval(arg) for arg in called.value.args]
        kwargs = {}
        for keyword in called.value.keywords:
            value = ast.literal_eval(keyword.value)
            if keyword.arg is None:
                kwargs.update(value)
            else:
                kwargs[keyword.arg] = value
    except (ValueError, TypeError, SyntaxError):
        return None
    return imported.module, args, kwargs


def exit_status(code):
    """The process exit status of a SystemExit code, as the interpreter
    computes it: None is 0, an integer itself, anything else is printed to
    standard error and gives 1."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    print(code, file=sys.stderr)
    return 1


def run_child(argv):
    """Runs the child that argv describes and returns its exit status, or
    returns None when argv is the application's own command line."""
    if len(argv) >= 2 and argv[1] == SPAWN_OPTION:
        sys.argv = list(argv)
        from multiprocessing import spawn
        try:
            spawn.freeze_support()
        except SystemExit as stop:
            return exit_status(stop.code)
        return 0
    command = interpreter_command(argv)
    call = child_main_call(command) if command is not None else None
    if call is None:
        return None
    module_name, args, kwargs = call
    sys.argv = ["-c"]
    module = __import__(module_name, fromlist=["main"])
    try:
        module.main(*args, **kwargs)
    except SystemExit as stop:
        return exit_status(stop.code)
    return 0


def freeze_support():
    """Ends the process after running the child, when this process is one of
    multiprocessing's children."""
    status = run_child(stub.get_argv())
    if status is not None:
        stub.crt_exit(status)


freeze_support()
