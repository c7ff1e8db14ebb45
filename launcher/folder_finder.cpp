#include "folder_finder.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "platform/platform.h"

namespace folder_finder {

namespace {

struct Finder {
    PyObject_HEAD
    PyObject* wrapped;  // the standard finder of the folder
    PyObject* path;     // str: the folder
    PyObject* stems;    // set of str: each name of the folder up to its first '.'
};

extern PyTypeObject FinderType;

// On a case-insensitive file system the listing and the lookups compare
// names folded to lower case; the wrapped finder checks the exact case.
const bool kFoldCase = platform::kPathSeparator == L'\\';

PyObject* stem_of(PyObject* name) {
    const Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1);
    if (dot == -2) return nullptr;
    PyObject* stem = dot < 0 ? (Py_INCREF(name), name) : PyUnicode_Substring(name, 0, dot);
    if (stem == nullptr || !kFoldCase) return stem;
    PyObject* folded = PyObject_CallMethod(stem, "lower", nullptr);
    Py_DECREF(stem);
    return folded;
}

// The stems of the folder's names, from one listing (no status call per
// name); an empty set when the folder cannot be listed.
PyObject* list_stems(PyObject* path) {
    PyObject* os = PyImport_ImportModule(platform::kPathSeparator == L'\\' ? "nt" : "posix");
    if (os == nullptr) return nullptr;
    PyObject* names = PyObject_CallMethod(os, "listdir", "O", path);
    Py_DECREF(os);
    if (names == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) return nullptr;
        PyErr_Clear();
        return PySet_New(nullptr);
    }
    PyObject* stems = PySet_New(nullptr);
    for (Py_ssize_t i = 0; stems != nullptr && i < PyList_GET_SIZE(names); ++i) {
        PyObject* stem = stem_of(PyList_GET_ITEM(names, i));
        if (stem == nullptr || PySet_Add(stems, stem) < 0) Py_CLEAR(stems);
        Py_XDECREF(stem);
    }
    Py_DECREF(names);
    return stems;
}

PyObject* finder_find_spec(PyObject* self_object, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fullname", "target", nullptr};
    PyObject* fullname = nullptr;
    PyObject* target = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|O:find_spec", const_cast<char**>(keywords),
                                     &fullname, &target)) {
        return nullptr;
    }
    auto* self = reinterpret_cast<Finder*>(self_object);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(fullname);
    const Py_ssize_t dot = PyUnicode_FindChar(fullname, '.', 0, length, -1);
    if (dot == -2) return nullptr;
    PyObject* tail = PyUnicode_Substring(fullname, dot + 1, length);
    PyObject* stem = tail != nullptr ? stem_of(tail) : nullptr;
    Py_XDECREF(tail);
    if (stem == nullptr) return nullptr;
    const int listed = PySet_Contains(self->stems, stem);
    Py_DECREF(stem);
    if (listed < 0) return nullptr;
    if (listed == 0) Py_RETURN_NONE;
    return PyObject_CallMethod(self->wrapped, "find_spec", "OO", fullname, target);
}

PyObject* finder_invalidate_caches(PyObject* self_object, PyObject*) {
    auto* self = reinterpret_cast<Finder*>(self_object);
    PyObject* stems = list_stems(self->path);
    if (stems == nullptr) return nullptr;
    Py_SETREF(self->stems, stems);
    return PyObject_CallMethod(self->wrapped, "invalidate_caches", nullptr);
}

// pkgutil asks the finder for the modules it holds: the wrapped finder's.
PyObject* finder_iter_modules(PyObject* self_object, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"prefix", nullptr};
    PyObject* prefix = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|U:iter_modules", const_cast<char**>(keywords), &prefix)) {
        return nullptr;
    }
    PyObject* pkgutil = PyImport_ImportModule("pkgutil");
    if (pkgutil == nullptr) return nullptr;
    PyObject* modules = prefix == nullptr
        ? PyObject_CallMethod(pkgutil, "iter_importer_modules", "O", reinterpret_cast<Finder*>(self_object)->wrapped)
        : PyObject_CallMethod(pkgutil, "iter_importer_modules", "OO", reinterpret_cast<Finder*>(self_object)->wrapped, prefix);
    Py_DECREF(pkgutil);
    return modules;
}

PyMethodDef finder_methods[] = {
    {"find_spec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(finder_find_spec)),
     METH_VARARGS | METH_KEYWORDS, "find_spec(fullname, target=None): the module's spec, or None"},
    {"invalidate_caches", finder_invalidate_caches, METH_NOARGS, "Lists the folder again"},
    {"iter_modules", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(finder_iter_modules)),
     METH_VARARGS | METH_KEYWORDS, "The modules and packages of the folder"},
    {nullptr, nullptr, 0, nullptr},
};

// Attributes the finder lacks are the wrapped finder's.
PyObject* finder_getattro(PyObject* self, PyObject* name) {
    PyObject* value = PyObject_GenericGetAttr(self, name);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    return PyObject_GetAttr(reinterpret_cast<Finder*>(self)->wrapped, name);
}

PyObject* finder_repr(PyObject* self) {
    return PyUnicode_FromFormat("FolderFinder(%R)", reinterpret_cast<Finder*>(self)->path);
}

void finder_dealloc(PyObject* self_object) {
    auto* self = reinterpret_cast<Finder*>(self_object);
    Py_XDECREF(self->wrapped);
    Py_XDECREF(self->path);
    Py_XDECREF(self->stems);
    Py_TYPE(self_object)->tp_free(self_object);
}

PyTypeObject FinderType = [] {
    PyTypeObject type{};
    Py_SET_REFCNT(&type, 1);
    type.tp_name = "FolderFinder";
    type.tp_basicsize = sizeof(Finder);
    type.tp_dealloc = finder_dealloc;
    type.tp_repr = finder_repr;
    type.tp_getattro = finder_getattro;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "The application folder's finder, answering from one listing";
    type.tp_methods = finder_methods;
    return type;
}();

// The standard finder of a folder, as the interpreter's own path hook makes
// it: FileFinder.path_hook(*_get_supported_file_loaders())(path).
PyObject* standard_finder(PyObject* path) {
    PyObject* external = PyImport_ImportModule("_frozen_importlib_external");
    if (external == nullptr) return nullptr;
    PyObject* loaders = PyObject_CallMethod(external, "_get_supported_file_loaders", nullptr);
    PyObject* loader_arguments = loaders != nullptr ? PySequence_Tuple(loaders) : nullptr;
    PyObject* file_finder = PyObject_GetAttrString(external, "FileFinder");
    PyObject* path_hook = file_finder != nullptr ? PyObject_GetAttrString(file_finder, "path_hook") : nullptr;
    PyObject* hook = path_hook != nullptr && loader_arguments != nullptr
                         ? PyObject_CallObject(path_hook, loader_arguments) : nullptr;
    PyObject* finder = hook != nullptr ? PyObject_CallFunctionObjArgs(hook, path, nullptr) : nullptr;
    Py_XDECREF(hook);
    Py_XDECREF(path_hook);
    Py_XDECREF(file_finder);
    Py_XDECREF(loader_arguments);
    Py_XDECREF(loaders);
    Py_DECREF(external);
    return finder;
}

}  // namespace

bool install(PyObject* path) {
    PyObject* cache = PySys_GetObject("path_importer_cache");
    bool installed = PyType_Ready(&FinderType) == 0 && cache != nullptr && PyDict_Check(cache);
    auto* finder = installed ? reinterpret_cast<Finder*>(FinderType.tp_alloc(&FinderType, 0)) : nullptr;
    if (finder != nullptr) {
        Py_INCREF(path);
        finder->path = path;
        finder->wrapped = standard_finder(path);
        finder->stems = finder->wrapped != nullptr ? list_stems(path) : nullptr;
        installed = finder->stems != nullptr &&
                    PyDict_SetItem(cache, path, reinterpret_cast<PyObject*>(finder)) == 0;
        Py_DECREF(finder);
    } else {
        installed = false;
    }
    if (!installed) PyErr_Clear();
    return installed;
}

}  // namespace folder_finder
