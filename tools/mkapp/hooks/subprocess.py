"""Runtime hook of child processes: helper processes that are Python.

Applications start helper processes through sys.executable, which is the
application executable: "sys.executable -u -c CODE", "-m MODULE ARGS", a
script, each with interpreter options before it. The application's process
marks its environment (HELPER_VARIABLE holds the executable's path), and
its children inherit the mark. A process that carries the mark of its own
executable and whose command line is an interpreter's command line runs
that command as python3.11 would, and ends; it never starts the
application. Without the mark, or with a command line that an interpreter
would not take (no arguments at all, options of the application), the
application runs, so a user who types the same arguments still gets the
application.

A helper gets back what the launcher's start-up changed for the
application: the working directory it was started in and the standard
error its parent handed over. It writes its own log like every run.

The application's own start reads and sets the mark without importing os
(which costs a tenth of a start that does nothing else); only a helper
process imports it, in the functions that need it.
"""

import sys

import stub

if sys.platform == "win32":
    import nt as system
else:
    import posix as system

HELPER_VARIABLE = "LAUNCHER_HELPER_OF"

# The interpreter's one-letter options: those that stand alone and those
# that take a value (attached or as the next argument). -c and -m end the
# options; what follows them is the program's.
FLAG_OPTIONS = frozenset("bBdEiIOPqRsSuvVx")
VALUE_OPTIONS = frozenset("cmWX")
LONG_VALUE_OPTIONS = frozenset({"--check-hash-based-pycs"})
SCRIPT_SUFFIXES = (".py", ".pyw", ".pyc", ".pyz", ".zip")
# A larger file without a Python suffix is taken for a document unread.
SOURCE_SIZE_LIMIT = 1 << 20


class Command:
    """An interpreter command line: `kind` is "c", "m", "script", "stdin" or
    "version"; `target` the code, module or script; `args` the program's
    arguments; `options` (letter, value) pairs in their order."""

    def __init__(self, kind, target, args, options):
        self.kind, self.target, self.args, self.options = kind, target, list(args), options

    def flags(self, letter):
        return [value for option, value in self.options if option == letter]


def own_marker():
    """The executable's full path, as the system names it (on Windows in
    lower case, whatever case it was started by)."""
    if sys.platform == "win32":
        return system._getfullpathname(sys.executable).lower()
    return sys.executable


def environment_key(text):
    """A name or value as the system module's environment holds it: bytes
    in the file-system encoding on POSIX, text on Windows."""
    if sys.platform == "win32":
        return text
    return text.encode(sys.getfilesystemencoding(), "surrogateescape")


def environment_variable(name):
    """The variable `name` of the environment, or None. Before os is
    imported, from the system module's mapping that os.environ is made of."""
    os = sys.modules.get("os")
    if os is not None:
        return os.environ.get(name)
    value = system.environ.get(environment_key(name))
    if value is None or sys.platform == "win32":
        return value
    return value.decode(sys.getfilesystemencoding(), "surrogateescape")


def set_environment_variable(name, value):
    """Sets `name` for this process and its children; os.environ, whenever
    it is made, holds it too."""
    os = sys.modules.get("os")
    if os is not None:
        os.environ[name] = value
        return
    system.putenv(environment_key(name), environment_key(value))
    system.environ[environment_key(name)] = environment_key(value)


def is_runnable_script(path, directory):
    """Whether python3.11 would run `path` as a program and an application
    would not take it for a document: a Python file, archive or folder
    with a __main__ module, or another file of Python source (that
    compiles)."""
    import os
    full = os.path.join(directory, path)
    if os.path.isdir(full):
        return any(os.path.isfile(os.path.join(full, "__main__" + suffix))
                   for suffix in (".py", ".pyc"))
    if not os.path.isfile(full):
        return False
    if full.lower().endswith(SCRIPT_SUFFIXES):
        return True
    try:
        if os.path.getsize(full) > SOURCE_SIZE_LIMIT:
            return False
        with open(full, "rb") as stream:
            compile(stream.read(), full, "exec", dont_inherit=True)
    except (OSError, SyntaxError, ValueError):
        return False
    return True


def parse_command_line(args, directory):
    """The Command that `args` (the arguments after the executable) give
    python3.11, or None when they are not an interpreter's command line
    that runs something. `directory` is where relative scripts are."""
    options = []
    index = 0
    while index < len(args):
        arg = args[index]
        if arg == "--":
            index += 1
            break
        if arg == "-" or not arg.startswith("-"):
            break
        if arg.startswith("--"):
            if arg in LONG_VALUE_OPTIONS and index + 1 < len(args):
                index += 2
                continue
            if arg == "--version":
                options.append(("V", None))
                index += 1
                continue
            return None
        position = 1
        while position < len(arg):
            letter = arg[position]
            if letter in VALUE_OPTIONS:
                value = arg[position + 1:]
                if not value:
                    index += 1
                    if index >= len(args):
                        return None
                    value = args[index]
                if letter in "cm":
                    return Command(letter, value, args[index + 1:], options)
                options.append((letter, value))
                break
            if letter not in FLAG_OPTIONS:
                return None
            options.append((letter, None))
            position += 1
        index += 1
    if index < len(args):
        if args[index] == "-":
            return Command("stdin", "-", args[index + 1:], options)
        if is_runnable_script(args[index], directory):
            return Command("script", args[index], args[index + 1:], options)
        return None
    if not options:
        return None  # a start without arguments is the application's
    if ("V", None) in options:
        return Command("version", None, [], options)
    return Command("stdin", "-", [], options)


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


def restore_standard_error():
    """Descriptor 2 and sys.stderr become the standard error that the parent
    handed over, in place of the launcher's capture."""
    import os
    handle = getattr(stub, "_standard_error", -1)
    if handle is None or handle < 0:
        return
    old = sys.stderr
    try:
        if os.name == "nt":
            import msvcrt
            descriptor = msvcrt.open_osfhandle(handle, os.O_WRONLY)
        else:
            descriptor = handle
        os.dup2(descriptor, 2)
        os.close(descriptor)
    except (ImportError, OSError):
        return
    import io
    sys.stderr = io.TextIOWrapper(io.FileIO(2, "w", closefd=False),
                                  encoding=getattr(old, "encoding", None) or "utf-8",
                                  errors="backslashreplace", line_buffering=True,
                                  write_through=True)
    if old is not None and old is not sys.__stderr__:
        try:
            old.close()  # the launcher's own stream over the capture
        except (OSError, ValueError):
            pass


def become_helper():
    """Gives this process back the state its parent started it in."""
    import os
    restore_standard_error()
    directory = getattr(stub, "_start_directory", "")
    if directory:
        try:
            os.chdir(directory)
        except OSError:
            pass


def run_as_helper(function):
    """Runs function() as a helper process's program and ends the process
    with its exit status. An exception that escapes it is reported as the
    interpreter reports it, on standard error and in the log."""
    become_helper()
    try:
        function()
        status = 0
    except SystemExit as stop:
        status = exit_status(stop.code)
    except BaseException as error:
        report_uncaught(error)
        status = 130 if isinstance(error, KeyboardInterrupt) else 1
    stub.crt_exit(status)


def report_uncaught(error):
    """The traceback of an uncaught exception, without this hook's frames."""
    traceback = error.__traceback__
    while traceback is not None and traceback.tb_frame.f_globals is globals():
        traceback = traceback.tb_next
    error.with_traceback(traceback)  # the built-in hook shows the exception's own
    sys.excepthook(type(error), error, traceback)
    try:
        import traceback as formatting
        stub.log("".join(formatting.format_exception(type(error), error, traceback)))
    except Exception:
        pass


def environment_options(command):
    """The options that the interpreter's variables of the environment stand
    for, unless -E or -I tells the interpreter to ignore them."""
    import os
    if ("E", None) in command.options or ("I", None) in command.options:
        return []
    options = [(letter, None) for variable, letter in (("PYTHONUNBUFFERED", "u"),
                                                       ("PYTHONDONTWRITEBYTECODE", "B"))
               if os.environ.get(variable)]
    if os.environ.get("PYTHONFAULTHANDLER"):
        options.append(("X", "faulthandler"))
    warnings = os.environ.get("PYTHONWARNINGS", "")
    options += [("W", option.strip()) for option in warnings.split(",") if option.strip()]
    return options


def set_stream(name, descriptor, encoding=None, errors=None, unbuffered=False):
    """Makes sys.<name> anew over its descriptor with another encoding or
    error handler, or written through at once (-u)."""
    import io
    old = getattr(sys, name)
    old.flush()
    raw = io.FileIO(descriptor, "w", closefd=False)
    setattr(sys, name, io.TextIOWrapper(raw, encoding=encoding or old.encoding,
                                        errors=errors or old.errors,
                                        line_buffering=old.line_buffering,
                                        write_through=unbuffered or old.write_through))


def apply_options(command):
    """What the options and the interpreter's variables of the environment
    change at run time. Those that set interpreter flags at start-up (-E -s
    -S -I -P -O -b -d -v -q -R) change nothing here: the embedded
    interpreter has no site and the code is compiled already."""
    import os
    command.options = environment_options(command) + command.options
    unbuffered = ("u", None) in command.options
    encoding, _, errors = os.environ.get("PYTHONIOENCODING", "").partition(":")
    if ("E", None) in command.options or ("I", None) in command.options:
        encoding = errors = ""
    if unbuffered or encoding or errors:
        set_stream("stdout", 1, encoding, errors, unbuffered)
        set_stream("stderr", 2, encoding, "backslashreplace" if encoding and not errors
                   else errors, unbuffered)
    if ("B", None) in command.options:
        sys.dont_write_bytecode = True
    for value in command.flags("X"):
        name, _, setting = value.partition("=")
        sys._xoptions[name] = setting or True
        if name in ("faulthandler", "dev"):
            import faulthandler
            faulthandler.enable()
        elif name == "tracemalloc":
            import tracemalloc
            tracemalloc.start(int(setting) if setting.isdigit() else 1)
        elif name == "int_max_str_digits" and setting.isdigit():
            sys.set_int_max_str_digits(int(setting))
    warning_options = command.flags("W") + (["default"] if "dev" in sys._xoptions else [])
    if warning_options:
        sys.warnoptions.extend(warning_options)
        if "warnings" in sys.modules:
            sys.modules["warnings"]._processoptions(warning_options)
        else:
            import warnings  # noqa: F401  (the interpreter imports it for -W; it reads the options)


def isolated(command):
    return any((letter, None) in command.options for letter in ("I", "P"))


def new_main_module(**attributes):
    """A fresh __main__ module in sys.modules, as the interpreter makes it."""
    import builtins
    import _frozen_importlib
    main = type(sys)("__main__")
    main.__builtins__ = builtins
    main.__loader__ = _frozen_importlib.BuiltinImporter
    for name, value in attributes.items():
        setattr(main, name, value)
    sys.modules["__main__"] = main
    return main


def optimization(command):
    return sum(1 for letter, _ in command.options if letter == "O")


def run_source(source, filename, command, **attributes):
    code = compile(source, filename, "exec", dont_inherit=True,
                   optimize=optimization(command) or -1)
    exec(code, new_main_module(**attributes).__dict__)


def add_environment_path(command):
    """PYTHONPATH's folders, before the application's own entries."""
    import os
    if ("E", None) in command.options or ("I", None) in command.options:
        return
    folders = [folder for folder in os.environ.get("PYTHONPATH", "").split(os.pathsep) if folder]
    sys.path[0:0] = [os.path.abspath(folder) for folder in folders]


def run_command(command):
    """Runs an interpreter Command in this process, as python3.11 would."""
    import os
    sys.orig_argv = stub.get_argv()
    apply_options(command)
    add_environment_path(command)
    if command.kind == "version":
        print("Python " + sys.version.partition(" ")[0])
        return
    if command.kind == "c":
        sys.argv = ["-c"] + command.args
        if not isolated(command):
            sys.path.insert(0, "")
        run_source(command.target, "<string>", command)
    elif command.kind == "m":
        sys.argv = ["-m"] + command.args
        if not isolated(command):
            sys.path.insert(0, os.getcwd())
        import runpy
        runpy._run_module_as_main(command.target)
    elif command.kind == "stdin":
        sys.argv = ["-"] + command.args
        if not isolated(command):
            sys.path.insert(0, "")
        run_source(sys.stdin.buffer.read(), "<stdin>", command)
    else:
        run_script(command)


def run_script(command):
    import os
    path = command.target
    sys.argv = [path] + command.args
    if os.path.isdir(path) or path.lower().endswith((".zip", ".pyz")):
        sys.path.insert(0, path)
        import runpy
        runpy._run_module_as_main("__main__", alter_argv=False)
        return
    if not isolated(command):
        sys.path.insert(0, os.path.dirname(os.path.realpath(path)))
    if path.lower().endswith(".pyc"):
        import runpy
        runpy.run_path(path, run_name="__main__")
        return
    with open(path, "rb") as stream:
        source = stream.read()
    full = os.path.abspath(path)  # the interpreter names the main script by its full path
    run_source(source, full, command, __file__=full, __cached__=None)


def is_marked():
    """Whether this process was started by a process of the same executable."""
    return environment_variable(HELPER_VARIABLE) == own_marker()


def helper_command():
    """The Command this process runs as a helper, or None when it is the
    application."""
    if not is_marked():
        return None
    import os
    directory = getattr(stub, "_start_directory", "") or os.getcwd()
    return parse_command_line(stub.get_argv()[1:], directory)


def start():
    command = helper_command()
    if command is not None:
        run_as_helper(lambda: run_command(command))
    set_environment_variable(HELPER_VARIABLE, own_marker())


start()
