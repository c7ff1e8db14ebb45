"""The build report: what the output carries and which imported modules are
missing, with the modules that import them. Written into the output folder;
a summary goes to standard error."""

from __future__ import annotations

import importlib.machinery
import site
from pathlib import Path, PurePosixPath

from .graph import Application
from .placement import ARCHIVE_NAME, Placement

REPORT_NAME = "build-report.txt"

# How many of the largest carried packages the report lists.
LARGEST_PACKAGES = 20

# Importers that stand for a starting point rather than a module.
MAIN_IMPORTER = "__main__"


def describe_importers(importers) -> str:
    return ", ".join("the boot script" if name == MAIN_IMPORTER else name
                     for name in sorted(importers))


def unsearched_site_folder(name: str, searched) -> str | None:
    """The site-packages folder of the interpreter that runs the tool which
    holds the top-level module of name, when the build did not search it:
    where a missing third-party module most likely is."""
    top = name.partition(".")[0]
    searched = {Path(folder).resolve() for folder in searched}
    for folder in site.getsitepackages():
        if Path(folder).resolve() in searched or not Path(folder).is_dir():
            continue
        if importlib.machinery.PathFinder.find_spec(top, [folder]) is not None:
            return folder
    return None


def missing_lines(app: Application) -> list:
    lines = []
    for entry in app.graph.missing_modules():
        lines.append("%s%s, imported by %s" % (
            entry.name, " (optional)" if entry.optional else "",
            describe_importers(entry.importers)))
    return lines


def required_missing(app: Application) -> list:
    return [entry for entry in app.graph.missing_modules() if not entry.optional]


def report_text(app: Application, placement: Placement) -> str:
    graph = app.graph
    out = ["Build report", ""]
    out.append("Missing modules (imported but not found; optional ones are imported "
               "inside try/except ImportError):")
    out += ["  " + line for line in missing_lines(app)] or ["  none"]
    excluded = {name: users for name, users in graph.excluded.items()
                if name not in graph.modules}
    if excluded:
        out += ["", "Left out on request (--exclude), or developer tools that standard-library "
                    "modules import only inside functions:"]
        out += ["  %s, imported by %s" % (name, describe_importers(users - {""}) or "-")
                for name, users in sorted(excluded.items())]
    if app.left_out:
        out += ["", "Left out because they do not compile and nothing imports them:"]
        out += ["  %s: %s" % item for item in sorted(app.left_out.items())]
    if graph.from_binaries:
        out += ["", "Imported from C, found in extension modules:"]
        out += ["  %s, found in %s" % (name, ", ".join(sorted(binaries)))
                for name, binaries in sorted(graph.from_binaries.items())
                if name in graph.modules]
    if app.shadows:
        out += ["", "Modules of the application folder or of --path that hide another of "
                    "the same name:"]
        out += ["  %s: %s hides %s" % item for item in app.shadows]
    if placement.skipped_links:
        out += ["", "Links in carried folders that were not followed:"]
        out += ["  %s: %s" % item for item in sorted(placement.skipped_links.items())]
    out += ["", "Runtime hooks, run in this order before the boot script's code:"]
    out += ["  " + name for name in app.hooks] or ["  none"]
    out += ["", "Package hooks applied:"]
    out += ["  %s (%s)%s" % (hook.name, hook.file, "".join(
        "\n    data: " + line for line in placement.hook_data.get(hook.name, ())))
        for hook in app.package_hooks] or ["  none"]
    out += ["", "The %d largest packages carried, with the imports that brought each in:"
            % LARGEST_PACKAGES]
    out += ["  %6.1f MB  %s: %s" % (size / 1e6, name, chain)
            for name, size, chain in largest_packages(app, placement)]
    out += ["", "%s (%d modules):" % (ARCHIVE_NAME, len(placement.archive_modules))]
    out += ["  " + name for name in placement.archive_modules]
    out += ["", "Package folders beside the executable:"]
    out += ["  " + name for name in placement.folder_packages] or ["  none"]
    out += ["", "Extension modules:"]
    out += ["  %s (%s)" % (path, graph_name) for graph_name, path in extension_names(app, placement)] \
        or ["  none"]
    out += ["", "Shared libraries carried:"]
    out += ["  %s (from %s)" % (name, source) for name, source in sorted(placement.libraries.items())] \
        or ["  none"]
    return "\n".join(out) + "\n"


def package_sizes(app: Application, placement: Placement) -> dict:
    """Top-level name -> bytes the output carries for it: its modules in
    lib.dll, its folder's files, and its extension modules."""
    sizes = {}
    for member, data in placement.archive.items():
        top = PurePosixPath(member).parts[0].partition(".")[0]
        sizes[top] = sizes.get(top, 0) + len(data)
    for relative, data in placement.files.items():
        top = PurePosixPath(relative).parts[0]
        sizes[top] = sizes.get(top, 0) + len(data)
    for relative, source in placement.copies.items():
        top = PurePosixPath(relative).parts[0].partition(".")[0]
        if top in app.graph.modules:
            sizes[top] = sizes.get(top, 0) + source.stat().st_size
    return sizes


def import_chain(app: Application, paths: dict, name: str) -> str:
    """The imports that brought `name` in, from a starting point; for a
    package that only modules of a package carried whole import, the
    chain goes through them."""
    chain = []
    current = name
    while current not in paths and len(chain) < 12:
        chain.insert(0, current)
        importers = sorted(app.graph.modules[current].importers) \
            if current in app.graph.modules else []
        if not importers:
            break
        reached = [importer for importer in importers if importer in paths]
        current = (reached or importers)[0]
        if current in chain:
            break
    if current in paths:
        chain = paths[current] + chain
    return " -> ".join(describe_importers([step]) for step in chain) if chain else name


def largest_packages(app: Application, placement: Placement) -> list:
    """(top-level name, bytes, import chain) of the largest carried packages."""
    sizes = package_sizes(app, placement)
    paths = app.graph.import_paths()
    ranked = sorted(sizes.items(), key=lambda item: (-item[1], item[0]))[:LARGEST_PACKAGES]
    return [(name, size, import_chain(app, paths, name)) for name, size in ranked]


def extension_names(app: Application, placement: Placement) -> list:
    found = []
    for name, module in sorted(app.graph.modules.items()):
        if module.kind == "extension":
            found.append((name, app.graph.target.extension_destination(name, module.file)))
    return found


def is_own_speedup(entry) -> bool:
    """An optional private module that its own package, or the module of the
    same name, imports: a C speedup (markupsafe._speedups, _decimal for
    decimal), without which the package works, but slower."""
    parent, _, last = entry.name.rpartition(".")
    if not entry.optional or not last.startswith("_"):
        return False
    for importer in entry.importers:
        if parent and (importer == parent or importer.startswith(parent + ".")):
            return True
        if not parent and importer.partition(".")[0] == last.lstrip("_"):
            return True
    return False


def speedup_of(entry) -> str:
    parent = entry.name.rpartition(".")[0]
    return parent or entry.name.lstrip("_")


def summary_lines(app: Application, report_path, placement: Placement = None) -> list:
    """The lines for standard error: the modules that hide others, what was
    left out or not followed, a count of the missing modules, then every
    missing module that is not optional and every missing optional part of
    a carried package; the report names the rest."""
    lines = ["warning: %s hides %s (a module of the same name)" % (path, hidden)
             for _, path, hidden in app.shadows]
    if placement is not None and placement.skipped_links:
        lines.append("warning: %d links in carried folders lead nowhere, loop or lead to "
                     "no file, and were not followed: see %s"
                     % (len(placement.skipped_links), report_path))
    if app.left_out:
        lines.append("warning: %d modules that do not compile and that nothing imports were "
                     "left out (%s): see %s" % (len(app.left_out), ", ".join(sorted(
                         app.left_out)), report_path))
    missing = app.graph.missing_modules()
    if not missing:
        return lines
    optional = sum(1 for entry in missing if entry.optional)
    lines.append("warning: %d imported modules not found (%d optional): see %s"
                 % (len(missing), optional, report_path))
    for entry in missing:
        if not entry.optional:
            lines.append("warning: missing %s, imported by %s"
                         % (entry.name, describe_importers(entry.importers)))
            folder = unsearched_site_folder(entry.name, app.graph.search_path)
            if folder is not None:
                lines.append("  it is in %s, which the build does not search: add --path %s"
                             % (folder, folder))
        elif is_own_speedup(entry):
            lines.append("warning: missing %s (optional: %s works without it, perhaps slower)"
                         % (entry.name, speedup_of(entry)))
    return lines
