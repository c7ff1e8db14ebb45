"""The build: runs the stages in order for the options given."""

from __future__ import annotations

import dataclasses
import os
import sys
import tempfile
from pathlib import Path, PurePosixPath

from .assembly import (ARCHIVE_NAME, OutputFolder, check_relative, write_all_or_nothing,
                       write_atomically)
from .bootscript import (STANDARD_BOOT_FILENAME, STANDARD_BOOT_SOURCE, boot_script_bytes,
                         scramble)
from .errors import BuildError, read_input, require_embedded_python, require_file
from .graph import build_graph
from .options import check_arguments, make_parser
from .placement import carried_mode, place
from .report import (REPORT_NAME, missing_lines, report_text, required_missing,
                     summary_lines)
from .resources import (BOOT_SCRIPT_FILE, DEFAULT_BLOCK, GENERATED_ICON_FILE, GENERATED_RC_FILE,
                        AppResources, compile_generated, compile_given_rc, find_version_info,
                        parse_res, version_strings)
from .target import host_target
from .target_windows import WindowsTarget

HOOKS_DIR = Path(__file__).resolve().parent / "hooks"


@dataclasses.dataclass
class BootSource:
    """A boot script's source: the user's file or the standard script."""
    source: bytes
    filename: str
    path: Path | None  # the file the module graph scans


def boot_source(args, work: Path) -> BootSource | None:
    if args.boot_script is not None:
        path = Path(args.boot_script)
        return BootSource(read_input(path, "boot script"), path.name, path)
    if args.raw_script is not None or args.no_script:
        return None
    path = work / STANDARD_BOOT_FILENAME
    path.write_text(STANDARD_BOOT_SOURCE, encoding="utf-8")
    return BootSource(STANDARD_BOOT_SOURCE.encode("utf-8"), STANDARD_BOOT_FILENAME, path)


def stored_script(args, boot: BootSource | None, hooks=()) -> bytes | None:
    if boot is not None:
        return scramble(boot_script_bytes(boot.source, boot.filename, hooks))
    if args.raw_script is not None:
        return read_input(args.raw_script, "raw script")
    return None


def application_name(args, main_module: str | None) -> str:
    """The name of an application: its executable's, else its main package's."""
    if args.output is not None:
        return args.output.stem or args.output.name
    return (main_module or "application").partition(".")[0]


def app_resources(args, script: bytes | None, main_module: str | None) -> AppResources:
    defaults = {}
    if main_module:
        defaults["__main_script"] = main_module
    if args.app is not None:
        name = application_name(args, main_module)
        defaults.update(__company=name, __product=name)
    overrides = dict(defaults, **dict(args.strings))
    return AppResources(
        strings=None if args.no_version_info else version_strings(overrides, args.omit),
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


def main_module_of(args, work: Path) -> str | None:
    """The main module: --main-module, else __main_script of the resources."""
    if args.main_module:
        return args.main_module
    if args.rc is not None:
        return configured_main_module(compile_given_rc(args.rc, b"", work, args.windres))
    strings = dict(args.strings)
    if "__main_script" in strings:
        return strings["__main_script"]
    return version_strings()["__main_script"]


@dataclasses.dataclass
class Build:
    """What the stages produced, before anything is written."""
    image: bytes
    emitted: list
    app: object = None
    placement: object = None
    startup_archive: bytes | None = None  # lib.dll of a build without an application


def build(args, target, work: Path) -> Build:
    boot = boot_source(args, work)
    main_module = main_module_of(args, work) if args.app is not None else args.main_module
    app = placement = startup_archive = None
    hooks = ()
    if args.app is not None:
        if not main_module:
            raise BuildError("no main module: give --main-module or set __main_script")
        app = build_graph(target, args.app, main_module, boot.path if boot else None,
                          search_path=args.path, hidden_imports=args.hidden_import,
                          excludes=args.exclude, hooks_dir=HOOKS_DIR,
                          package_hooks_dirs=args.hooks_dir)
        for package, importer in target.data_packages(app.graph.modules):
            app.graph.add_whole_package(package, importer)
        if args.strict and required_missing(app):
            raise BuildError("--strict: %d imported modules not found: %s" % (
                len(required_missing(app)), ", ".join(
                    "%s (imported by %s)" % (entry.name, ", ".join(sorted(entry.importers)))
                    for entry in required_missing(app))))
        placement = place(app, target, args.with_source)
        hooks = app.hooks
    elif args.output is not None and args.boot_script is not None:
        # Without an application the folder still needs lib.dll with the
        # interpreter's start-up modules, and what the boot script imports.
        startup_archive = place(build_graph(target, boot_script=boot.path),
                                target).archive_bytes()
    script = stored_script(args, boot, hooks)
    if args.rc is not None:
        image = compile_given_rc(args.rc, script, work, args.windres)
        contents = None
    else:
        contents = app_resources(args, script, main_module)
        image = compile_generated(contents, work, args.windres)
    emitted = emitted_files(work, contents is not None) if args.emit_rc is not None else []
    return Build(image, emitted, app, placement, startup_archive)


def foreign_extensions(result: Build, target) -> list:
    """The extension modules for another platform in the carried packages."""
    if result.app is None:
        return []
    return target.foreign_extensions(
        [module for module in result.app.graph.modules.values() if module.is_package])


def fill_output_folder(folder: OutputFolder, args, result: Build, target,
                       foreign=()) -> None:
    launcher = Path(args.launcher)
    folder.add(args.output.name,
               target.application_executable(read_input(launcher, "launcher binary"),
                                             result.image, str(launcher)),
               launcher.stat().st_mode & 0o7777)
    placement = result.placement
    if result.startup_archive is not None:
        folder.add(ARCHIVE_NAME, result.startup_archive)
    if placement is not None:
        folder.add(ARCHIVE_NAME, placement.archive_bytes())
        for relative, data in sorted(placement.files.items()):
            folder.add(relative, data)
        for relative, source in sorted(placement.copies.items()):
            folder.add(relative, source,
                       0o755 if relative in placement.binaries else carried_mode(source))
    for source, destination in args.add_data:
        add_data(folder, Path(source), destination)
    if placement is not None:
        folder.add_marker(report_text(result.app, placement)
                          + foreign_extension_text(foreign))


def foreign_extension_text(files) -> str:
    """The report's list of the extension modules built for another platform."""
    if not files:
        return ""
    return "\n".join(["", "Extension modules for another platform, not carried:"]
                     + ["  %s" % path for path in files]) + "\n"


def emitted_placement(folder: Path, placement) -> list:
    """The files of a Windows output that lie beside the executable: what
    the placement put into the folder, and the interpreter's files."""
    return ([(folder / str(relative), data, 0o644) for relative, data in placement.files.items()]
            + [(folder / str(relative), Path(source).read_bytes(), 0o644)
               for relative, source in placement.copies.items()])


def add_data(folder: OutputFolder, source: Path, destination: PurePosixPath) -> None:
    if not source.exists():
        raise BuildError("--add-data source not found: %s" % source)
    base = destination / source.name if destination.parts else PurePosixPath(source.name)
    check_relative(base, "--add-data destination")
    files = [source] if source.is_file() else sorted(p for p in source.rglob("*") if p.is_file())
    for path in files:
        relative = base if path == source else base / path.relative_to(source).as_posix()
        folder.add(relative, path, carried_mode(path))


def run(args) -> list:
    """Builds everything the arguments ask for; returns the lines to report."""
    target = WindowsTarget(args.windows_python) if args.windows_python is not None \
        else host_target()
    if args.launcher is not None:
        require_file(args.launcher, "launcher binary")
    if args.output is not None and args.output.is_dir():
        raise BuildError("the output %s is a folder; give the executable's path in it"
                         % args.output)
    if args.output is not None and args.app is not None \
            and os.path.abspath(args.output.parent) == os.path.abspath(args.app):
        raise BuildError("the output folder %s is the application folder; give a folder "
                         "of its own" % args.output.parent)
    with tempfile.TemporaryDirectory(prefix="mkapp-") as work:
        result = build(args, target, Path(work))

    report_lines = []
    foreign = foreign_extensions(result, target)
    if result.app is not None:
        report_lines += summary_lines(result.app, args.output.parent / REPORT_NAME
                                      if args.output is not None else "below",
                                      result.placement)
        report_lines += ["warning: %s is an extension module for another platform: not carried"
                         % path for path in foreign]
        if args.verbose:
            report_lines += ["%s: %s" % (ARCHIVE_NAME, name)
                             for name in result.placement.archive_modules]

    emitted = []
    if args.emit_rc is not None:
        emitted = [(args.emit_rc / name, data, 0o644) for name, data in result.emitted]
        if result.placement is not None:
            emitted.append((args.emit_rc / ARCHIVE_NAME, result.placement.archive_bytes(),
                            0o644))
            if target.name == "windows":
                emitted += emitted_placement(args.emit_rc, result.placement)
    if args.output is None:
        write_all_or_nothing(emitted)
        return report_lines
    with OutputFolder(args.output.parent, REPORT_NAME) as folder:
        fill_output_folder(folder, args, result, target, foreign)
        folder.write()
        if result.placement is not None:
            target.finish_binaries(folder.staging, result.placement.binaries)
        write_all_or_nothing(emitted)
        folder.commit()
    return report_lines


@dataclasses.dataclass
class LibraryReport:
    modules: list    # names of the modules in the archive
    warnings: list   # one line each


def build_lib_dll(app_dir, main_module: str, destination=None, boot_script=None,
                  search_path=(), target=None):
    """The lib.dll archive of an application as bytes (also written to
    `destination` when given, atomically), and a LibraryReport whose warnings
    name the missing modules."""
    require_embedded_python()
    target = target or host_target()
    if boot_script is not None:
        require_file(Path(boot_script), "boot script")
    app = build_graph(target, app_dir, main_module, boot_script, search_path=search_path,
                      hooks_dir=HOOKS_DIR)
    placement = place(app, target)
    data = placement.archive_bytes()
    if destination is not None:
        write_atomically(Path(destination), data, 0o644)
    warnings = missing_lines(app)
    return data, LibraryReport(sorted(placement.archive_modules), warnings)


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
    except UnicodeError as error:
        print("%s: error: a file name or text that is not valid UTF-8: %s"
              % (parser.prog, error), file=sys.stderr)
        return 1
    for line in lines:
        print("%s: %s" % (parser.prog, line), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
