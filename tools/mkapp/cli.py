"""The build: runs the stages in order for the options given."""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

from .assembly import ARCHIVE_NAME, executable_outputs, write_all_or_nothing
from .bootscript import compile_boot_script, scramble
from .errors import BuildError, read_input, require_embedded_python, require_file
from .options import make_parser, check_arguments
from .placement import build_lib_dll
from .resources import (DEFAULT_BLOCK, AppResources, BOOT_SCRIPT_FILE, GENERATED_ICON_FILE,
                        GENERATED_RC_FILE, compile_generated, compile_given_rc,
                        find_version_info, parse_res, version_strings)


def stored_script(args) -> bytes | None:
    if args.boot_script is not None:
        return scramble(compile_boot_script(args.boot_script))
    if args.raw_script is not None:
        return read_input(args.raw_script, "raw script")
    return None


def app_resources(args, script: bytes | None) -> AppResources:
    return AppResources(
        strings=None if args.no_version_info else version_strings(dict(args.strings), args.omit),
        block=args.block,
        script=script,
        data_files=args.data,
        icons=args.icon,
        manifest=None if args.no_manifest else args.manifest)


def configured_main_module(image: bytes) -> str | None:
    try:
        tables = find_version_info(parse_res(image)).string_tables
    except ValueError:
        return None
    for block in [DEFAULT_BLOCK] + sorted(tables):
        if "__main_script" in tables.get(block, {}):
            return tables[block]["__main_script"]
    return None


def emitted_files(folder: Path, generated: bool):
    """The files --emit-rc writes, as (name, bytes) pairs: those of the work
    folder that the resource script names by bare name, and the generated
    script itself."""
    names = (GENERATED_RC_FILE, BOOT_SCRIPT_FILE, GENERATED_ICON_FILE) if generated \
        else (BOOT_SCRIPT_FILE,)
    return [(name, (folder / name).read_bytes()) for name in names if (folder / name).exists()]


def run(args) -> list:
    """Builds everything the arguments ask for; returns the lines to report."""
    if args.launcher is not None:
        require_file(args.launcher, "launcher binary")
    script = stored_script(args)
    with tempfile.TemporaryDirectory(prefix="mkapp-") as work:
        work = Path(work)
        if args.rc is not None:
            contents = None
            image = compile_given_rc(args.rc, script, work, args.windres)
        else:
            contents = app_resources(args, script)
            image = compile_generated(contents, work, args.windres)
        emitted = emitted_files(work, contents is not None) if args.emit_rc is not None else []

    report_lines = []
    lib_dll = None
    if args.app is not None:
        main_module = args.main_module or configured_main_module(image)
        if not main_module:
            raise BuildError("no main module: give --main-module or set __main_script")
        lib_dll, report = build_lib_dll(args.app, main_module, boot_script=args.boot_script)
        report_lines += ["warning: " + line for line in report.warnings]
        if args.verbose:
            report_lines += ["%s: %s" % (ARCHIVE_NAME, name) for name in report.modules]

    outputs = []
    if args.output is not None:
        outputs += executable_outputs(args.launcher, args.output, image, lib_dll)
    if args.emit_rc is not None:
        outputs += [(args.emit_rc / name, data, 0o644) for name, data in emitted]
        if lib_dll is not None:
            outputs.append((args.emit_rc / ARCHIVE_NAME, lib_dll, 0o644))
    write_all_or_nothing(outputs)
    return report_lines


def main(argv=None) -> int:
    parser = make_parser()
    args = parser.parse_args(argv)
    check_arguments(parser, args)
    try:
        require_embedded_python()
        lines = run(args)
    except BuildError as error:
        print("%s: error: %s" % (parser.prog, error), file=sys.stderr)
        return 1
    except OSError as error:
        print("%s: error: %s: %s" % (parser.prog, error.filename, error.strerror or error),
              file=sys.stderr)
        return 1
    for line in lines:
        print("%s: %s" % (parser.prog, line), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
