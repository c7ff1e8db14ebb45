// The finder of the application's folder (the "." entry of sys.path): it
// lists the folder once and answers a module name that no file or folder of
// the folder starts with at once, without the status calls of the standard
// path finder; names the listing holds go to the standard finder it wraps.
// importlib.invalidate_caches() lists the folder again, as it makes the
// standard finder forget its own listing. Other attributes (path, ...) are the
// wrapped finder's.
#pragma once

struct _object;
typedef _object PyObject;

namespace folder_finder {

// Wraps the interpreter's finder of the folder at the absolute path `path`
// (str) and makes the wrapper the path's finder in sys.path_importer_cache.
// False with the error cleared when the interpreter refused; the folder then
// keeps the standard finder.
bool install(PyObject* path);

}  // namespace folder_finder
