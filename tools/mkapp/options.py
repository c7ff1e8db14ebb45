"""The command line: every option of the tool, checked before anything is built."""

from __future__ import annotations

import argparse
import textwrap
from pathlib import Path, PurePosixPath

from .resources import (BOOT_SCRIPT_FILE, CONFIG_KEYS, DEFAULT_BLOCK, DEFAULT_MANIFEST,
                        DEFAULT_WINDRES, GENERATED_ICON_FILE, GENERATED_RC_FILE, SOURCE_ROOT)


HELP_EPILOG = """\
examples:
  freeze an application (its main module app.main) into the folder dist/:
    %(prog)s --launcher build/launcher --app src --main-module app.main \\
        --path /usr/lib/python3/dist-packages -o dist/app

  the same application for Windows, with the Windows launcher and interpreter:
    %(prog)s --launcher build/windows/launcher.exe \\
        --windows-python /var/cache/launcher-windows/sources/windows-python/i686-w64-mingw32/dist \\
        --app src --main-module app.main --path /usr/lib/python3/dist-packages -o dist/App.exe

  build the example application from its shipped resource script:
    %(prog)s --launcher build/launcher --rc resources/launcher.rc \\
        --boot-script examples/boot.py --app examples/app -o dist/mendrix

  a variant with a generated resource script, one key missing:
    %(prog)s --launcher build/launcher --boot-script examples/boot.py \\
        --set __product=Other --omit __company -o /tmp/variant/app

the output folder:
  With --app, the folder of the -o executable receives everything the
  application needs, so that it runs on a machine without Python: lib.dll,
  the zip of compiled pure-Python modules (the application's, the standard
  library's and those found on --path); extension modules (.so) under the
  names the interpreter's loader accepts, since a zip cannot carry them and
  the launcher's module search path is exactly ["lib.dll", "."]; packages
  that hold C extension modules or data files, as package folders; the shared
  libraries those extensions need (with RPATH $ORIGIN), except the C library,
  the loader and the display system (X11, fonts, GL); the Tcl/Tk script
  libraries when _tkinter is carried (tcl/); --add-data files; and
  build-report.txt, which lists what was carried and every imported module
  that was not found, with its importers. The folder is built beside the
  output and moved into place at the end: a failed build changes nothing.
  A package from outside the standard library is carried whole (links in it
  followed, file modes kept), except its test suites (tests, test and
  testing subpackages, conftest modules) that nothing imports; a module in
  it that does not compile and that nothing imports is left out with a
  warning. Modules that extension modules import from C are found in their
  read-only data. The standard library's developer tools (pydoc, pdb,
  unittest, doctest, tkinter, ...) are left out when other standard-library
  modules import them only inside functions or main blocks. Package hooks
  (--hooks-dir) carry data that a package keeps elsewhere (Debian's
  matplotlib data in /usr/share/matplotlib).

  With --emit-rc, only lib.dll goes into the --emit-rc folder.

  With --windows-python, the executable is a copy of the Windows launcher
  whose resource section holds the application's resources, and beside it
  lie python311.dll, python311.zip, the .pyd extension modules and the DLLs
  of the interpreter's folder they import (tcl86.dll and tk86.dll for
  _tkinter). Extension modules built for POSIX (.so) in the packages found
  on --path are reported, not carried; an application that imports zoneinfo
  gets the package tzdata, made from the build machine's time-zone database
  (/usr/share/zoneinfo), since Windows has none.

the boot script:
  Without --boot-script, --raw-script or --no-script the tool writes a
  standard boot script: sys.argv from stub.get_argv(), then the configured
  main module (__main_script) runs as `python app.py` would run it, as
  __main__; the code of a SystemExit becomes the exit status (stub.crt_exit).
  Every boot script the tool compiles first imports the runtime hooks that
  the output carries (small modules that prepare frozen standard-library
  packages: Tcl/Tk paths, child processes), on its first line.

The tool must run under the interpreter version the launcher embeds
(/usr/bin/python3.11): it compiles the boot script and the modules with it.
Exit status: 0 on success, 1 on a build failure, 2 on a usage error.
"""


class OneLineArgumentParser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, "%s: error: %s (see --help)\n" % (self.prog, message))


def key_value(text: str):
    key, separator, value = text.partition("=")
    if not separator or not key:
        raise argparse.ArgumentTypeError("expected KEY=VALUE, got %r" % text)
    return key, value


def data_spec(text: str):
    source, separator, destination = text.rpartition(":")
    if not separator or not source or not destination:
        raise argparse.ArgumentTypeError("expected SRC:DEST, got %r" % text)
    relative = PurePosixPath(destination.replace("\\", "/"))
    if relative.is_absolute() or ".." in relative.parts:
        raise argparse.ArgumentTypeError("DEST must be a folder inside the output folder: %r"
                                         % destination)
    return Path(source), relative


def make_parser() -> argparse.ArgumentParser:
    parser = OneLineArgumentParser(
        prog="mkapp",
        description=textwrap.fill(
            "Make an application executable from the launcher binary: the launcher, a "
            "compiled resource image and a trailer (for Windows: the launcher with the "
            "image as its resource section); and its lib.dll.", 79),
        epilog=HELP_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    outputs = parser.add_argument_group("outputs (at least one)")
    outputs.add_argument("-o", "--output", type=Path, metavar="FILE",
                         help="the application executable to write (mode of the launcher "
                              "binary); lib.dll and, with --app, all the application needs go "
                              "beside it (see the output folder below)")
    outputs.add_argument("--emit-rc", type=Path, metavar="DIR",
                         help="for linking on Windows (windres -O coff): write into DIR the "
                              "generated resource script " + GENERATED_RC_FILE + " and the files "
                              "it names by bare name (" + BOOT_SCRIPT_FILE + ", "
                              + GENERATED_ICON_FILE + "), and lib.dll with --app. With --rc, "
                              "only " + BOOT_SCRIPT_FILE + " (and lib.dll) are written: compile "
                              "the given script with -I DIR")

    inputs = parser.add_argument_group("inputs")
    inputs.add_argument("--launcher", type=Path, metavar="FILE",
                        help="the launcher binary (needed with --output)")
    script = inputs.add_mutually_exclusive_group()
    script.add_argument("--boot-script", type=Path, metavar="FILE.py",
                        help="Python source of the boot script: compiled, given the 8-byte "
                             "header (magic number and 4 zero bytes), scrambled and stored as "
                             "resource SCRIPT 1")
    script.add_argument("--raw-script", type=Path, metavar="FILE",
                        help="store the bytes of FILE as resource SCRIPT 1 unchanged (for "
                             "empty or damaged boot scripts)")
    script.add_argument("--no-script", action="store_true",
                        help="no SCRIPT resource at all")
    inputs.add_argument("--app", type=Path, metavar="DIR",
                        help="application source folder: its top-level modules and "
                             "packages, and the data files beside them")
    inputs.add_argument("--main-module", metavar="NAME",
                        help="dotted name of the application's main module, the starting "
                             "point of the module search; it also sets __main_script of a "
                             "generated version resource (default: the __main_script string "
                             "of the version resource)")
    inputs.add_argument("--path", action="append", type=Path, default=[], metavar="DIR",
                        help="a folder to search for imported modules after the application "
                             "folder and before the standard library, e.g. a virtual "
                             "environment's site-packages (repeatable)")
    inputs.add_argument("--hidden-import", action="append", default=[], metavar="NAME",
                        help="carry module NAME although no source imports it by name "
                             "(repeatable)")
    inputs.add_argument("--exclude", action="append", default=[], metavar="NAME",
                        help="leave module NAME and its submodules out (repeatable)")
    inputs.add_argument("--hooks-dir", action="append", type=Path, default=[], metavar="DIR",
                        help="a folder of package hooks of your own: DIR/NAME.py says which "
                             "data files and hidden imports package NAME needs and which "
                             "environment variables to set at run time (DATA, HIDDEN_IMPORTS, "
                             "ENVIRONMENT; see the tool's hooks/packages/); replaces the "
                             "tool's hook of the same name (repeatable)")
    inputs.add_argument("--strict", action="store_true",
                        help="a module imported but not found (outside try/except "
                             "ImportError) fails the build, and nothing is written")
    inputs.add_argument("--with-source", action="store_true",
                        help="carry the application folder's .py sources beside their "
                             "compiled modules in lib.dll, so that tracebacks show the code "
                             "lines and inspect.getsource works")
    inputs.add_argument("--add-data", action="append", type=data_spec, default=[],
                        metavar="SRC:DEST",
                        help="copy the file or folder SRC into the folder DEST of the output "
                             "folder (DEST relative; \".\" is the executable's folder) "
                             "(repeatable)")
    inputs.add_argument("--windows-python", type=Path, metavar="DIR",
                        help="make a Windows application: DIR is the Windows interpreter's "
                             "folder (tools/windows-python/build.sh), whose standard library "
                             "and extension modules the module graph reads. With -o, "
                             "--launcher is the Windows launcher.exe (of the interpreter's "
                             "processor), and the output is a copy of it whose resources are "
                             "the application's, with python311.dll, python311.zip, the .pyd "
                             "files the imports reach and the DLLs these need beside it. With "
                             "--emit-rc, that folder receives the same files, to lie beside "
                             "a launcher.exe linked with the emitted resources")
    inputs.add_argument("--windres", default=DEFAULT_WINDRES, metavar="PROGRAM",
                        help="resource compiler (default: %(default)s)")

    given = parser.add_argument_group("ready resource script")
    given.add_argument("--rc", type=Path, metavar="FILE",
                       help="compile FILE instead of generating a script; it finds the "
                            "scrambled boot script as \"" + BOOT_SCRIPT_FILE + "\" on the "
                            "include path. Relative names resolve against FILE's folder. "
                            "Excludes the options of the next group")

    generated = parser.add_argument_group("generated resource script", textwrap.fill(
        "Without --rc the tool writes the script: a version resource whose string table "
        "holds the configuration keys " + ", ".join(CONFIG_KEYS) + " (unless set: "
        "with --app, __main_script is the main module and __company and __product "
        "are the executable's name; the other values are the example application's) and ProductVersion, FileDescription and "
        "ProductName (derived from FileVersion and __product); FILEVERSION and "
        "PRODUCTVERSION numbers come from FileVersion; VarFileInfo's Translation follows "
        "the block name. Values are UTF-8 here and UTF-16 in the resource; a value the "
        "resource compiler cannot carry (a NUL character, invalid Unicode) is an error.",
        77))
    generated.add_argument("--set", dest="strings", action="append", type=key_value, default=[],
                           metavar="KEY=VALUE",
                           help="set a string of the table, or add another key (repeatable)")
    generated.add_argument("--omit", action="append", default=[], metavar="KEY",
                           help="leave KEY out of the string table (repeatable)")
    generated.add_argument("--block", default=DEFAULT_BLOCK, metavar="NAME",
                           help="name of the string block: language and code page as 8 hex "
                                "digits (default: %(default)s)")
    generated.add_argument("--no-version-info", action="store_true",
                           help="no version resource at all")
    generated.add_argument("--data", action="append", type=Path, default=[], metavar="FILE",
                           help="a DATA resource; ids 1, 2, ... in the order given (repeatable)")
    generated.add_argument("--icon", action="append", type=Path, default=[], metavar="FILE.ico",
                           help="icon file; the images of all given files form icon group 1 "
                                "(repeatable)")
    generated.add_argument("--manifest", type=Path, default=DEFAULT_MANIFEST, metavar="FILE",
                           help="application manifest, resource 24 id 1 (default: %s)"
                                % DEFAULT_MANIFEST.relative_to(SOURCE_ROOT))
    generated.add_argument("--no-manifest", action="store_true", help="no manifest resource")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="list the modules written to lib.dll")
    return parser


# Destination -> option of the options that only a generated script uses.
GENERATION_OPTIONS = {"strings": "--set", "omit": "--omit", "block": "--block",
                      "no_version_info": "--no-version-info", "data": "--data",
                      "icon": "--icon", "manifest": "--manifest",
                      "no_manifest": "--no-manifest", "no_script": "--no-script"}


# Destination -> option of the options that only a module graph uses.
GRAPH_OPTIONS = {"path": "--path", "hidden_import": "--hidden-import", "exclude": "--exclude",
                 "strict": "--strict", "hooks_dir": "--hooks-dir", "with_source": "--with-source"}


def check_arguments(parser, args) -> None:
    if args.output is None and args.emit_rc is None:
        parser.error("nothing to write: give --output or --emit-rc")
    if args.output is not None and args.launcher is None:
        parser.error("--output needs --launcher")
    if args.rc is not None:
        for destination, option in GENERATION_OPTIONS.items():
            if getattr(args, destination) != parser.get_default(destination):
                parser.error("%s applies to a generated resource script, not with --rc"
                             % option)
    for destination, option in GRAPH_OPTIONS.items():
        if args.app is None and getattr(args, destination) != parser.get_default(destination):
            parser.error("%s needs --app" % option)
    if args.add_data and args.output is None:
        parser.error("--add-data needs --output")
    configured = dict(args.strings).get("__main_script")
    if args.main_module and configured and configured != args.main_module:
        parser.error("--main-module %s and --set __main_script=%s disagree"
                     % (args.main_module, configured))
