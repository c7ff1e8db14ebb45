// The importer of the application's module archive (lib.dll): the archive is
// mapped and its central directory read once, in the launcher, and modules,
// packages and data files are served straight from the map.
//
// An importer stands for an archive path, optionally followed by a folder
// inside the archive ("/app/lib.dll" or "/app/lib.dll/pkg"), as the path
// entries of sys.path and of a package's __path__ do. It offers what the
// standard zip importer offers: find_spec, create_module, exec_module,
// get_code, get_source, get_filename, get_data, is_package,
// get_resource_reader, iter_modules and invalidate_caches, and the attributes
// archive and prefix. A module's __file__ is the archive path, the separator
// and the member's name ("/app/lib.dll/pkg/mod.pyc"); a package's __path__
// holds the archive path and its folder ("/app/lib.dll/pkg").
#pragma once

#include <string>
#include <vector>

struct _object;
typedef _object PyObject;

namespace archive_importer {

// Maps the archive at each absolute path and makes its importer the
// interpreter's finder for that path (sys.path_importer_cache), with the
// importer's type in front of sys.path_hooks for the folders inside it. Needs
// the interpreter's core (sys and the built-in import machinery), not its
// path-based importers: called before the interpreter imports its start-up
// modules, it serves those too. A path that is no readable zip archive is left
// to the interpreter's own importers. False when the interpreter refused (the
// error is cleared).
bool install(const std::vector<std::wstring>& archive_paths);

// Moves the importer's type back in front of sys.path_hooks, before the hooks
// the interpreter's start-up adds. False when sys.path_hooks is missing.
bool put_hook_first();

}  // namespace archive_importer
