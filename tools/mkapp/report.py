"""The build report: what the output carries and which imported modules are
missing, with the modules that import them. Written into the output folder;
a summary goes to standard error."""

from __future__ import annotations

from .graph import Application
from .placement import ARCHIVE_NAME, Placement

REPORT_NAME = "build-report.txt"

# Importers that stand for a starting point rather than a module.
MAIN_IMPORTER = "__main__"


def describe_importers(importers) -> str:
    return ", ".join("the boot script" if name == MAIN_IMPORTER else name
                     for name in sorted(importers))


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
    if graph.excluded:
        out += ["", "Left out on request (--exclude, or developer tools nobody asked for):"]
        out += ["  %s, imported by %s" % (name, describe_importers(users - {""}) or "-")
                for name, users in sorted(graph.excluded.items())]
    out += ["", "Runtime hooks, run in this order before the boot script's code:"]
    out += ["  " + name for name in app.hooks] or ["  none"]
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


def summary_lines(app: Application, report_path) -> list:
    """The lines for standard error: a count, then every missing module
    that is not optional and every missing optional part of a carried
    package; the report names the rest."""
    missing = app.graph.missing_modules()
    if not missing:
        return []
    optional = sum(1 for entry in missing if entry.optional)
    lines = ["warning: %d imported modules not found (%d optional): see %s"
             % (len(missing), optional, report_path)]
    for entry in missing:
        if not entry.optional:
            lines.append("warning: missing %s, imported by %s"
                         % (entry.name, describe_importers(entry.importers)))
        elif is_own_speedup(entry):
            lines.append("warning: missing %s (optional: %s works without it, perhaps slower)"
                         % (entry.name, speedup_of(entry)))
    return lines
