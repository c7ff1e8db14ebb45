#include "archive_importer.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <marshal.h>

#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "platform/byte_order.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/zip_directory.h"

namespace archive_importer {

namespace {

// ---- the mapped archives -------------------------------------------------------

// An archive mapped for the rest of the process: members by name ('/'
// separated) and every folder that holds one.
struct MappedArchive {
    std::wstring path;
    platform::File file;
    platform::FileView view;
    std::unordered_map<std::string, zip_directory::Entry> members;
    std::unordered_set<std::string> folders;
};

std::vector<std::unique_ptr<MappedArchive>>& mapped_archives() {
    static std::vector<std::unique_ptr<MappedArchive>> archives;
    return archives;
}

void add_member(MappedArchive* archive, zip_directory::Entry entry) {
    if (!entry.name_is_utf8) return;  // no module or data name can match it
    std::string name = entry.name;
    const bool is_folder = !name.empty() && name.back() == '/';
    if (is_folder) name.pop_back();
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
        archive->folders.insert(name.substr(0, slash));
    }
    if (is_folder) {
        archive->folders.insert(name);
    } else {
        archive->members.emplace(std::move(name), std::move(entry));
    }
}

const MappedArchive* map_archive(const std::wstring& path) {
    for (const auto& mapped : mapped_archives()) {
        if (mapped->path == path) return mapped.get();
    }
    auto archive = std::make_unique<MappedArchive>();
    archive->path = path;
    archive->file = platform::open_existing_file(path.c_str());
    uint64_t size = 0;
    if (!archive->file.is_open() || !platform::get_file_size(archive->file, &size) ||
        size > SIZE_MAX || !archive->view.map(archive->file, size)) {
        return nullptr;
    }
    std::vector<zip_directory::Entry> entries;
    if (!zip_directory::parse(archive->view.data(), static_cast<size_t>(size), &entries)) {
        return nullptr;
    }
    for (zip_directory::Entry& entry : entries) add_member(archive.get(), std::move(entry));
    mapped_archives().push_back(std::move(archive));
    return mapped_archives().back().get();
}

// ---- names and paths -----------------------------------------------------------

const wchar_t kSeparator = platform::kPathSeparator;
// The other separator the platform accepts in a path ('/' on Windows).
const wchar_t kOtherSeparator = platform::kPathSeparator == L'\\' ? L'/' : L'\0';

std::wstring with_platform_separators(std::wstring path) {
    if (kOtherSeparator != L'\0') {
        for (wchar_t& c : path) {
            if (c == kOtherSeparator) c = kSeparator;
        }
    }
    return path;
}

PyObject* unicode_from(const std::wstring& text) {
    return PyUnicode_FromWideChar(text.c_str(), static_cast<Py_ssize_t>(text.size()));
}

// A member name ('/' separated, UTF-8) as the platform writes paths.
PyObject* platform_name(const std::string& name) {
    PyObject* text = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
    if (text == nullptr || kSeparator == L'/') return text;
    PyObject* result = PyObject_CallMethod(text, "replace", "ss", "/", "\\");
    Py_DECREF(text);
    return result;
}

bool utf8_of(PyObject* text, std::string* out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) return false;
    out->assign(data, static_cast<size_t>(size));
    return true;
}

// ---- the importer object -------------------------------------------------------

struct Importer {
    PyObject_HEAD
    const MappedArchive* archive;
    PyObject* archive_path;  // str: the archive's path
    PyObject* prefix;        // str: "" or the folder inside the archive and a separator
    std::string* folder;     // the same folder, '/' separated, with a trailing '/' ("" at the root)
};

extern PyTypeObject ImporterType;

// How a module may be stored, in the order the standard zip importer searches.
struct Candidate {
    const char* suffix;
    bool bytecode;
    bool package;
};
constexpr Candidate kCandidates[] = {
    {"/__init__.pyc", true, true},
    {"/__init__.py", false, true},
    {".pyc", true, false},
    {".py", false, false},
};

const zip_directory::Entry* member(const Importer* self, const std::string& name) {
    auto found = self->archive->members.find(name);
    return found == self->archive->members.end() ? nullptr : &found->second;
}

// The module's name in the archive without suffix: the folder and the last
// part of the dotted name.
bool module_base(const Importer* self, PyObject* fullname, std::string* base) {
    std::string dotted;
    if (!PyUnicode_Check(fullname) || !utf8_of(fullname, &dotted)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "module name must be str");
        return false;
    }
    const size_t dot = dotted.rfind('.');
    *base = *self->folder + (dot == std::string::npos ? dotted : dotted.substr(dot + 1));
    return true;
}

// The first candidate stored for the module; null when there is none.
const Candidate* first_candidate(const Importer* self, const std::string& base) {
    for (const Candidate& candidate : kCandidates) {
        if (member(self, base + candidate.suffix) != nullptr) return &candidate;
    }
    return nullptr;
}

// The full path of a member: the archive, the separator, the member's name.
PyObject* member_path(const Importer* self, const std::string& name) {
    PyObject* tail = platform_name(name);
    if (tail == nullptr) return nullptr;
    PyObject* path = PyUnicode_FromFormat("%U%c%U", self->archive_path, int(kSeparator), tail);
    Py_DECREF(tail);
    return path;
}

PyObject* set_not_found(PyObject* fullname) {
    PyObject* message = PyUnicode_FromFormat("can't find module %R", fullname);
    if (message != nullptr) {
        PyErr_SetImportError(message, fullname, nullptr);
        Py_DECREF(message);
    }
    return nullptr;
}

// The first candidate member of the module fullname, with its base name;
// null with an exception set (ImportError when the archive has no member of
// it).
const Candidate* module_candidate(const Importer* self, PyObject* fullname, std::string* base) {
    if (!module_base(self, fullname, base)) return nullptr;
    const Candidate* candidate = first_candidate(self, *base);
    if (candidate == nullptr) set_not_found(fullname);
    return candidate;
}

// The member's bytes: a view of the map when stored, else decompressed.
PyObject* member_bytes(const Importer* self, const zip_directory::Entry& entry) {
    const char* data = reinterpret_cast<const char*>(self->archive->view.data() + entry.data_offset);
    if (entry.method == zip_directory::kStored) {
        return PyBytes_FromStringAndSize(data, entry.compressed_size);
    }
    if (entry.method != zip_directory::kDeflated) {
        PyErr_Format(PyExc_ImportError, "can't decompress %s: compression method %d is not supported",
                     entry.name.c_str(), int(entry.method));
        return nullptr;
    }
    PyObject* zlib = PyImport_ImportModule("zlib");
    if (zlib == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "can't decompress data; zlib not available");
        return nullptr;
    }
    PyObject* raw = PyMemoryView_FromMemory(const_cast<char*>(data), entry.compressed_size, PyBUF_READ);
    PyObject* result = raw == nullptr ? nullptr : PyObject_CallMethod(zlib, "decompress", "Oi", raw, -15);
    Py_XDECREF(raw);
    Py_DECREF(zlib);
    return result;
}

// ---- code ----------------------------------------------------------------------

constexpr size_t kPycHeaderSize = 16;

// The code of a compiled member; null without an error set when the member is
// no usable compiled module (a foreign magic number or unknown flags), so
// that the search goes on as the standard zip importer's does.
PyObject* unmarshal_member(const Importer* self, const zip_directory::Entry& entry,
                           PyObject* fullname) {
    PyObject* owned = nullptr;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (entry.method == zip_directory::kStored) {
        data = reinterpret_cast<const char*>(self->archive->view.data() + entry.data_offset);
        size = static_cast<Py_ssize_t>(entry.compressed_size);
    } else {
        owned = member_bytes(self, entry);
        if (owned == nullptr) return nullptr;
        data = PyBytes_AS_STRING(owned);
        size = PyBytes_GET_SIZE(owned);
    }
    PyObject* code = nullptr;
    const uint32_t magic = PyImport_GetMagicNumber() & 0xFFFFFFFFu;
    if (size >= Py_ssize_t(kPycHeaderSize) &&
        byte_order::read_le32(reinterpret_cast<const uint8_t*>(data)) == magic &&
        (byte_order::read_le32(reinterpret_cast<const uint8_t*>(data) + 4) & ~0x3u) == 0) {
        code = PyMarshal_ReadObjectFromString(data + kPycHeaderSize, size - Py_ssize_t(kPycHeaderSize));
        if (code != nullptr && !PyCode_Check(code)) {
            Py_CLEAR(code);
            PyErr_Format(PyExc_ImportError, "compiled module %U is not a code object", fullname);
        }
    }
    Py_XDECREF(owned);
    return code;
}

// Source text with its line endings made '\n', compiled as the standard zip
// importer does.
PyObject* compile_member(const Importer* self, const zip_directory::Entry& entry, PyObject* path) {
    PyObject* source = member_bytes(self, entry);
    if (source == nullptr) return nullptr;
    PyObject* unix_endings = PyObject_CallMethod(source, "replace", "y#y#", "\r\n", Py_ssize_t(2), "\n", Py_ssize_t(1));
    Py_DECREF(source);
    if (unix_endings == nullptr) return nullptr;
    PyObject* normalized = PyObject_CallMethod(unix_endings, "replace", "y#y#", "\r", Py_ssize_t(1), "\n", Py_ssize_t(1));
    Py_DECREF(unix_endings);
    if (normalized == nullptr) return nullptr;
    PyObject* compile = PyDict_GetItemString(PyEval_GetBuiltins(), "compile");
    PyObject* code = nullptr;
    if (compile != nullptr) {
        PyObject* args = Py_BuildValue("(OOs)", normalized, path, "exec");
        PyObject* kwargs = Py_BuildValue("{s:O}", "dont_inherit", Py_True);
        if (args != nullptr && kwargs != nullptr) code = PyObject_Call(compile, args, kwargs);
        Py_XDECREF(args);
        Py_XDECREF(kwargs);
    }
    Py_DECREF(normalized);
    return code;
}

// The module's code and the path of the member it came from: the first
// candidate that yields code. Null with ImportError when none does.
PyObject* module_code(const Importer* self, PyObject* fullname, PyObject** path_out) {
    std::string base;
    if (!module_base(self, fullname, &base)) return nullptr;
    for (const Candidate& candidate : kCandidates) {
        const std::string name = base + candidate.suffix;
        const zip_directory::Entry* entry = member(self, name);
        if (entry == nullptr) continue;
        PyObject* path = member_path(self, name);
        if (path == nullptr) return nullptr;
        PyObject* code = candidate.bytecode ? unmarshal_member(self, *entry, fullname)
                                            : compile_member(self, *entry, path);
        if (code != nullptr) {
            *path_out = path;
            return code;
        }
        Py_DECREF(path);
        if (PyErr_Occurred()) return nullptr;
    }
    return set_not_found(fullname);
}

// The path of the member the module's code would come from, without
// unmarshalling it: a compiled member whose header this interpreter accepts,
// else the source.
PyObject* module_filename(const Importer* self, PyObject* fullname) {
    std::string base;
    if (!module_base(self, fullname, &base)) return nullptr;
    const uint32_t magic = PyImport_GetMagicNumber() & 0xFFFFFFFFu;
    for (const Candidate& candidate : kCandidates) {
        const std::string name = base + candidate.suffix;
        const zip_directory::Entry* entry = member(self, name);
        if (entry == nullptr) continue;
        const uint8_t* data = self->archive->view.data() + entry->data_offset;
        const bool unusable = candidate.bytecode && entry->method == zip_directory::kStored &&
                              (entry->compressed_size < kPycHeaderSize || byte_order::read_le32(data) != magic);
        if (!unusable) return member_path(self, name);
    }
    return set_not_found(fullname);
}

// ---- the importer's methods ------------------------------------------------------

Importer* new_importer(const MappedArchive* archive, const std::string& folder);

// The import system's ModuleSpec, taken when the importer is installed: code
// that imports a fresh copy of importlib hides the built-in one in
// sys.modules for a while, and the specs must still be made. Held until the
// process ends.
PyObject* module_spec_type = nullptr;

// A package's folder gets its importer in sys.path_importer_cache at once:
// the import of its submodules then finds it without asking the path hooks.
bool cache_folder_importer(const Importer* self, PyObject* folder_path, const std::string& folder) {
    PyObject* cache = PySys_GetObject("path_importer_cache");
    if (cache == nullptr || !PyDict_Check(cache)) return true;
    PyObject* cached = PyDict_GetItemWithError(cache, folder_path);
    if (cached != nullptr || PyErr_Occurred()) return cached != nullptr;
    Importer* importer = new_importer(self->archive, folder + "/");
    if (importer == nullptr) return false;
    const int stored = PyDict_SetItem(cache, folder_path, reinterpret_cast<PyObject*>(importer));
    Py_DECREF(importer);
    return stored == 0;
}

PyObject* new_spec(PyObject* fullname, PyObject* loader, PyObject* origin, bool package) {
    PyObject* args = Py_BuildValue("(OO)", fullname, loader);
    PyObject* kwargs = Py_BuildValue("{s:O,s:O}", "origin", origin, "is_package", package ? Py_True : Py_False);
    PyObject* spec = args != nullptr && kwargs != nullptr ? PyObject_Call(module_spec_type, args, kwargs) : nullptr;
    Py_XDECREF(args);
    Py_XDECREF(kwargs);
    return spec;
}

bool add_search_location(PyObject* spec, PyObject* location) {
    PyObject* locations = PyObject_GetAttrString(spec, "submodule_search_locations");
    if (locations == nullptr) return false;
    const bool added = PyList_Check(locations) && PyList_Append(locations, location) == 0;
    Py_DECREF(locations);
    return added;
}

PyObject* importer_find_spec(PyObject* self_object, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"fullname", "target", nullptr};
    PyObject* fullname = nullptr;
    PyObject* target = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|O:find_spec", const_cast<char**>(keywords),
                                     &fullname, &target)) {
        return nullptr;
    }
    auto* self = reinterpret_cast<Importer*>(self_object);
    std::string base;
    if (!module_base(self, fullname, &base)) return nullptr;
    const Candidate* candidate = first_candidate(self, base);
    const bool package = candidate != nullptr ? candidate->package : self->archive->folders.count(base) > 0;
    if (candidate == nullptr && !package) Py_RETURN_NONE;

    PyObject* folder_path = package ? member_path(self, base) : nullptr;
    if (package && folder_path == nullptr) return nullptr;
    PyObject* spec = nullptr;
    if (candidate == nullptr) {
        // A folder without __init__: a portion of a namespace package.
        spec = new_spec(fullname, Py_None, Py_None, true);
    } else {
        PyObject* origin = module_filename(self, fullname);
        if (origin != nullptr) {
            spec = new_spec(fullname, self_object, origin, package);
            if (spec != nullptr && PyObject_SetAttrString(spec, "has_location", Py_True) < 0) Py_CLEAR(spec);
            Py_DECREF(origin);
        }
    }
    if (spec != nullptr && package &&
        (!add_search_location(spec, folder_path) || !cache_folder_importer(self, folder_path, base))) {
        Py_CLEAR(spec);
    }
    Py_XDECREF(folder_path);
    return spec;
}

PyObject* importer_get_code(PyObject* self, PyObject* fullname) {
    PyObject* path = nullptr;
    PyObject* code = module_code(reinterpret_cast<Importer*>(self), fullname, &path);
    Py_XDECREF(path);
    return code;
}

PyObject* importer_create_module(PyObject*, PyObject*) { Py_RETURN_NONE; }

// The module's namespace names the builtins its code runs with, as exec()
// would make it; imports made from the module look them up there.
bool has_builtins(PyObject* globals) {
    if (PyDict_GetItemString(globals, "__builtins__") != nullptr) return true;
    return PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0;
}

PyObject* importer_exec_module(PyObject* self, PyObject* module) {
    PyObject* name = PyObject_GetAttrString(module, "__name__");
    if (name == nullptr) return nullptr;
    PyObject* code = importer_get_code(self, name);
    Py_DECREF(name);
    if (code == nullptr) return nullptr;
    PyObject* result = nullptr;
    PyObject* globals = PyModule_Check(module) ? PyModule_GetDict(module) : nullptr;
    if (globals == nullptr) {
        PyErr_SetString(PyExc_TypeError, "exec_module needs a module");
    } else if (has_builtins(globals)) {
        result = PyEval_EvalCode(code, globals, globals);
    }
    Py_DECREF(code);
    if (result == nullptr) return nullptr;
    Py_DECREF(result);
    Py_RETURN_NONE;
}

PyObject* importer_get_filename(PyObject* self, PyObject* fullname) {
    return module_filename(reinterpret_cast<Importer*>(self), fullname);
}

PyObject* importer_is_package(PyObject* self_object, PyObject* fullname) {
    auto* self = reinterpret_cast<Importer*>(self_object);
    std::string base;
    const Candidate* candidate = module_candidate(self, fullname, &base);
    if (candidate == nullptr) return nullptr;
    return PyBool_FromLong(candidate->package);
}

// The source of a module whose source travels; None when only its compiled
// form does.
PyObject* importer_get_source(PyObject* self_object, PyObject* fullname) {
    auto* self = reinterpret_cast<Importer*>(self_object);
    std::string base;
    const Candidate* candidate = module_candidate(self, fullname, &base);
    if (candidate == nullptr) return nullptr;
    const zip_directory::Entry* entry = member(self, base + (candidate->package ? "/__init__.py" : ".py"));
    if (entry == nullptr) Py_RETURN_NONE;
    PyObject* data = member_bytes(self, *entry);
    if (data == nullptr) return nullptr;
    PyObject* text = PyUnicode_FromEncodedObject(data, "utf-8", "strict");
    Py_DECREF(data);
    return text;
}

// A file's bytes by its path: the archive's path, a separator and the
// member's name, or the member's name alone.
PyObject* importer_get_data(PyObject* self_object, PyObject* pathname) {
    auto* self = reinterpret_cast<Importer*>(self_object);
    Py_ssize_t length = 0;
    wchar_t* wide = PyUnicode_Check(pathname) ? PyUnicode_AsWideCharString(pathname, &length) : nullptr;
    if (wide == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "path must be str");
        return nullptr;
    }
    std::wstring path = with_platform_separators(std::wstring(wide, static_cast<size_t>(length)));
    PyMem_Free(wide);
    const std::wstring archive_prefix = self->archive->path + kSeparator;
    if (path.compare(0, archive_prefix.size(), archive_prefix) == 0) path.erase(0, archive_prefix.size());
    for (wchar_t& c : path) {
        if (c == kSeparator) c = L'/';
    }
    PyObject* key = unicode_from(path);
    std::string name;
    const bool named = key != nullptr && utf8_of(key, &name);
    if (!named) {
        Py_XDECREF(key);
        return nullptr;
    }
    const zip_directory::Entry* entry = member(self, name);
    if (entry == nullptr) {
        PyObject* error = Py_BuildValue("(isO)", 0, "", key);
        if (error != nullptr) PyErr_SetObject(PyExc_OSError, error);
        Py_XDECREF(error);
        Py_DECREF(key);
        return nullptr;
    }
    Py_DECREF(key);
    return member_bytes(self, *entry);
}

PyObject* importer_get_resource_reader(PyObject* self, PyObject* fullname) {
    PyObject* package = importer_is_package(self, fullname);
    if (package == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    const bool is_package = package == Py_True;
    Py_DECREF(package);
    if (!is_package) Py_RETURN_NONE;
    PyObject* readers = PyImport_ImportModule("importlib.readers");
    if (readers == nullptr) return nullptr;
    PyObject* reader = PyObject_CallMethod(readers, "ZipReader", "OO", self, fullname);
    Py_DECREF(readers);
    return reader;
}

// The archive is the application's own and does not change while it runs.
PyObject* importer_invalidate_caches(PyObject*, PyObject*) { Py_RETURN_NONE; }

bool is_module_file(const std::string& name, std::string* stem) {
    for (const char* suffix : {".pyc", ".py"}) {
        const size_t size = std::strlen(suffix);
        if (name.size() > size && name.compare(name.size() - size, size, suffix) == 0) {
            *stem = name.substr(0, name.size() - size);
            return true;
        }
    }
    return false;
}

// The modules and packages directly in the importer's folder, as
// (prefix + name, is_package) pairs in name order; for pkgutil.
PyObject* importer_iter_modules(PyObject* self_object, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"prefix", nullptr};
    const char* prefix = "";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|s:iter_modules", const_cast<char**>(keywords), &prefix)) {
        return nullptr;
    }
    auto* self = reinterpret_cast<Importer*>(self_object);
    const std::string& folder = *self->folder;
    std::map<std::string, bool> found;
    for (const auto& item : self->archive->members) {
        const std::string& name = item.first;
        if (name.compare(0, folder.size(), folder) != 0) continue;
        const std::string rest = name.substr(folder.size());
        const size_t slash = rest.find('/');
        std::string stem;
        if (slash != std::string::npos) {
            if (rest.compare(slash, std::string::npos, "/__init__.py") == 0 ||
                rest.compare(slash, std::string::npos, "/__init__.pyc") == 0) {
                found[rest.substr(0, slash)] = true;
            }
        } else if (is_module_file(rest, &stem) && stem != "__init__" && stem.find('.') == std::string::npos) {
            found.emplace(stem, false);
        }
    }
    PyObject* result = PyList_New(0);
    for (const auto& module : found) {
        if (result == nullptr) break;
        PyObject* pair = Py_BuildValue("(s#O)", (std::string(prefix) + module.first).c_str(),
                                       Py_ssize_t(std::strlen(prefix) + module.first.size()),
                                       module.second ? Py_True : Py_False);
        if (pair == nullptr || PyList_Append(result, pair) < 0) Py_CLEAR(result);
        Py_XDECREF(pair);
    }
    return result;
}

PyMethodDef importer_methods[] = {
    {"find_spec", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(importer_find_spec)),
     METH_VARARGS | METH_KEYWORDS, "find_spec(fullname, target=None): the module's spec, or None"},
    {"create_module", importer_create_module, METH_O, "None: the default module"},
    {"exec_module", importer_exec_module, METH_O, "Runs the module's code in its namespace"},
    {"get_code", importer_get_code, METH_O, "The module's code object"},
    {"get_source", importer_get_source, METH_O, "The module's source, None when it does not travel"},
    {"get_filename", importer_get_filename, METH_O, "The path of the module's member"},
    {"get_data", importer_get_data, METH_O, "The bytes of a member by its path"},
    {"is_package", importer_is_package, METH_O, "Whether the module is a package"},
    {"get_resource_reader", importer_get_resource_reader, METH_O, "The resource reader of a package"},
    {"invalidate_caches", importer_invalidate_caches, METH_NOARGS, "Nothing to do"},
    {"iter_modules", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(importer_iter_modules)),
     METH_VARARGS | METH_KEYWORDS, "The modules and packages in the importer's folder"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* importer_archive(PyObject* self, void*) {
    PyObject* path = reinterpret_cast<Importer*>(self)->archive_path;
    Py_INCREF(path);
    return path;
}

PyObject* importer_prefix(PyObject* self, void*) {
    PyObject* prefix = reinterpret_cast<Importer*>(self)->prefix;
    Py_INCREF(prefix);
    return prefix;
}

PyGetSetDef importer_attributes[] = {
    {"archive", importer_archive, nullptr, "The archive's path", nullptr},
    {"prefix", importer_prefix, nullptr, "The folder inside the archive, with a trailing separator", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* importer_repr(PyObject* self_object) {
    auto* self = reinterpret_cast<Importer*>(self_object);
    return PyUnicode_FromFormat("<ArchiveImporter object \"%U%c%U\">", self->archive_path,
                                int(kSeparator), self->prefix);
}

void importer_dealloc(PyObject* self_object) {
    auto* self = reinterpret_cast<Importer*>(self_object);
    Py_XDECREF(self->archive_path);
    Py_XDECREF(self->prefix);
    delete self->folder;
    Py_TYPE(self_object)->tp_free(self_object);
}

Importer* new_importer(const MappedArchive* archive, const std::string& folder) {
    auto* self = reinterpret_cast<Importer*>(ImporterType.tp_alloc(&ImporterType, 0));
    if (self == nullptr) return nullptr;
    self->archive = archive;
    self->folder = new (std::nothrow) std::string(folder);
    self->archive_path = unicode_from(archive->path);
    self->prefix = platform_name(folder);
    if (self->folder == nullptr || self->archive_path == nullptr || self->prefix == nullptr) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

// ArchiveImporter(path): the path hook. Accepts a mapped archive's path and
// the paths of folders inside it; ImportError for any other path.
PyObject* importer_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    PyObject* path_object = nullptr;
    if (kwargs != nullptr && PyDict_Size(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "ArchiveImporter takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "U:ArchiveImporter", &path_object)) return nullptr;
    Py_ssize_t length = 0;
    wchar_t* wide = PyUnicode_AsWideCharString(path_object, &length);
    if (wide == nullptr) return nullptr;
    const std::wstring path = with_platform_separators(std::wstring(wide, static_cast<size_t>(length)));
    PyMem_Free(wide);
    for (const auto& archive : mapped_archives()) {
        const std::wstring& root = archive->path;
        if (path.compare(0, root.size(), root) != 0) continue;
        if (path.size() > root.size() && path[root.size()] != kSeparator) continue;
        std::wstring folder = path.substr(root.size());
        while (!folder.empty() && folder.front() == kSeparator) folder.erase(0, 1);
        while (!folder.empty() && folder.back() == kSeparator) folder.pop_back();
        for (wchar_t& c : folder) {
            if (c == kSeparator) c = L'/';
        }
        PyObject* folder_text = unicode_from(folder.empty() ? folder : folder + L'/');
        std::string folder_name;
        const bool named = folder_text != nullptr && utf8_of(folder_text, &folder_name);
        Py_XDECREF(folder_text);
        return named ? reinterpret_cast<PyObject*>(new_importer(archive.get(), folder_name)) : nullptr;
    }
    PyObject* message = PyUnicode_FromString("not a module archive of the application");
    if (message != nullptr) {
        PyErr_SetImportError(message, path_object, path_object);
        Py_DECREF(message);
    }
    return nullptr;
}

PyTypeObject ImporterType = [] {
    PyTypeObject type{};
    Py_SET_REFCNT(&type, 1);
    type.tp_name = "ArchiveImporter";
    type.tp_basicsize = sizeof(Importer);
    type.tp_dealloc = importer_dealloc;
    type.tp_repr = importer_repr;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = "ArchiveImporter(path): modules and data of the application's module archive";
    type.tp_methods = importer_methods;
    type.tp_getset = importer_attributes;
    type.tp_new = importer_new;
    return type;
}();

bool insert_hook_first(PyObject* hooks) {
    PyObject* hook = reinterpret_cast<PyObject*>(&ImporterType);
    const Py_ssize_t at = PySequence_Index(hooks, hook);
    if (at < 0) {
        PyErr_Clear();
    } else if (at == 0 || PySequence_DelItem(hooks, at) < 0) {
        return at == 0;
    }
    return PyList_Insert(hooks, 0, hook) == 0;
}

bool cache_archive_importer(const MappedArchive* archive) {
    PyObject* cache = PySys_GetObject("path_importer_cache");
    if (cache == nullptr || !PyDict_Check(cache)) return false;
    Importer* importer = new_importer(archive, "");
    if (importer == nullptr) return false;
    const int stored = PyDict_SetItem(cache, importer->archive_path, reinterpret_cast<PyObject*>(importer));
    Py_DECREF(importer);
    return stored == 0;
}

}  // namespace

bool put_hook_first() {
    PyObject* hooks = PySys_GetObject("path_hooks");
    const bool done = hooks != nullptr && PyList_Check(hooks) && insert_hook_first(hooks);
    if (!done) PyErr_Clear();
    return done;
}

bool install(const std::vector<std::wstring>& archive_paths) {
    PyObject* bootstrap = PyDict_GetItemString(PyImport_GetModuleDict(), "_frozen_importlib");
    if (module_spec_type == nullptr && bootstrap != nullptr) {
        module_spec_type = PyObject_GetAttrString(bootstrap, "ModuleSpec");
    }
    if (module_spec_type == nullptr || PyType_Ready(&ImporterType) < 0) {
        PyErr_Clear();
        return false;
    }
    bool installed = put_hook_first();
    for (const std::wstring& path : archive_paths) {
        const MappedArchive* archive = map_archive(with_platform_separators(path));
        if (archive != nullptr && installed) installed = cache_archive_importer(archive);
    }
    if (!installed) PyErr_Clear();
    return installed;
}

}  // namespace archive_importer
