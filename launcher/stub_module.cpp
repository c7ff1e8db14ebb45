#include "stub_module.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "AppString.h"
#include "logging.h"
#include "platform/platform.h"
#include "util.h"

int32_t cmd_argc = 0;
wchar_t** cmd_argv = nullptr;
const std::wstring archive_name = L"lib.dll";
std::atomic<bool> exit_processing_started{false};
bool has_deferred_exit_status = false;
int deferred_exit_status = 0;

namespace {

int (*registered_exit_cleanup)() = nullptr;
unsigned long main_thread_ident = 0;

}  // namespace

void set_exit_cleanup(int (*cleanup)()) { registered_exit_cleanup = cleanup; }

void renew_exit_cleanup() {
    // Without a free slot the first registration still stands.
    if (registered_exit_cleanup != nullptr) platform::register_exit_handler(registered_exit_cleanup);
}

namespace {

PyObject* unicode_from(const std::wstring& text) {
    return PyUnicode_FromWideChar(text.c_str(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* set_flag(PyObject* args, const char* format, const char* line, uint8_t* flag) {
    unsigned char value = 0;
    if (!PyArg_ParseTuple(args, format, &value)) return nullptr;
    logger.write_tag().write_text(line).write_bool(value != 0).end_line();
    *flag = value;
    Py_RETURN_NONE;
}

PyObject* stub_set_upload_logs(PyObject*, PyObject* args) {
    return set_flag(args, "b:set_upload_logs", "Setting upload_logs flag to ", &upload_logs);
}

PyObject* stub_set_keep_logs(PyObject*, PyObject* args) {
    return set_flag(args, "b:set_keep_logs", "Setting keep_logs flag to ", &keep_logs);
}

// Accepts and ignores any arguments.
PyObject* stub_get_log_path(PyObject*, PyObject*) { return unicode_from(get_log_path()); }

PyObject* stub_crt_exit(PyObject*, PyObject* args) {
    int status = 0;
    if (!PyArg_ParseTuple(args, "i:crt_exit", &status)) return nullptr;
    if (exit_processing_started) {
        // Called from the interpreter's own exit handlers during the exit
        // clean-up: exit must not run twice. The clean-up finishes and the
        // process then ends with this status.
        deferred_exit_status = status;
        has_deferred_exit_status = true;
        Py_RETURN_NONE;
    }
    // The runtime's exit processing runs the exit clean-up from here, on
    // this thread, whichever it is.
    renew_exit_cleanup();
    std::exit(status);
}

// A str is written as UTF-8, a bytes object as it is; neither may hold a
// NUL character.
PyObject* stub_log(PyObject*, PyObject* args) {
    const char* text = nullptr;
    const bool is_bytes = PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1 &&
                          PyBytes_Check(PyTuple_GET_ITEM(args, 0));
    if (!PyArg_ParseTuple(args, is_bytes ? "y:log" : "s:log", &text)) return nullptr;
    logger.write_text(text).end_line();
    Py_RETURN_NONE;
}

// The launcher's scrambling transform, its own inverse.
PyObject* stub_crypt(PyObject*, PyObject* args) {
    const char* data = nullptr;
    Py_ssize_t length = 0;
    if (!PyArg_ParseTuple(args, "s#:crypt", &data, &length)) return nullptr;
    // A fresh object: the interpreter shares its one-byte and empty bytes
    // objects, which must never be changed in place.
    if (length == 0) return PyBytes_FromStringAndSize(nullptr, 0);
    PyObject* result = PyBytes_FromStringAndSize(nullptr, length);
    if (result == nullptr) return nullptr;  // MemoryError is set
    auto* bytes = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result));
    std::memcpy(bytes, data, static_cast<size_t>(length));
    // The key repeats every 16 bytes, so long inputs go in whole periods.
    constexpr Py_ssize_t kPiece = 0x7ffffff0;
    for (Py_ssize_t offset = 0; offset < length; offset += kPiece) {
        const Py_ssize_t piece = length - offset < kPiece ? length - offset : kPiece;
        descramble(bytes + offset, static_cast<uint32_t>(piece));
    }
    return result;
}

PyObject* stub_get_main_module(PyObject*, PyObject*) {
    return unicode_from(app_strings.__main_script);
}

PyObject* stub_get_archive_name(PyObject*, PyObject*) { return unicode_from(archive_name); }

PyObject* stub_get_argv(PyObject*, PyObject*) {
    const Py_ssize_t count = cmd_argv != nullptr && cmd_argc > 0 ? cmd_argc : 0;
    PyObject* list = PyList_New(count);
    if (list == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyUnicode_FromWideChar(cmd_argv[i], -1);
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, i, item);
    }
    return list;
}

// Loads and at once unloads a library: 0, or the loader's error code.
PyObject* stub_check_dll(PyObject*, PyObject* args) {
    PyObject* name_object = nullptr;
    if (!PyArg_ParseTuple(args, "U:check_dll", &name_object)) return nullptr;
    wchar_t* name = PyUnicode_AsWideCharString(name_object, nullptr);
    if (name == nullptr) return nullptr;
    unsigned int result = 0;
    void* module = platform::load_library(name);
    if (module == nullptr) {
        result = platform::get_last_error();
    } else {
        platform::free_library(module);
    }
    PyMem_Free(name);
    return Py_BuildValue("I", result);
}

PyMethodDef stub_methods[] = {
    {"set_upload_logs", stub_set_upload_logs, METH_VARARGS, nullptr},
    {"set_keep_logs", stub_set_keep_logs, METH_VARARGS, nullptr},
    {"get_log_path", stub_get_log_path, METH_VARARGS, nullptr},
    {"crt_exit", stub_crt_exit, METH_VARARGS, nullptr},
    {"log", stub_log, METH_VARARGS, nullptr},
    {"crypt", stub_crypt, METH_VARARGS, nullptr},
    {"get_main_module", stub_get_main_module, METH_NOARGS, nullptr},
    {"get_archive_name", stub_get_archive_name, METH_NOARGS, nullptr},
    {"get_argv", stub_get_argv, METH_NOARGS, nullptr},
    {"check_dll", stub_check_dll, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef stub_module_definition = {
    PyModuleDef_HEAD_INIT, "stub", nullptr, -1, stub_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

bool on_main_thread() { return PyThread_get_thread_ident() == main_thread_ident; }

PyObject* install_stub_module() {
    main_thread_ident = PyThread_get_thread_ident();
    PyObject* module = PyModule_Create(&stub_module_definition);
    if (module == nullptr) return nullptr;
    const int stored = PyDict_SetItemString(PyImport_GetModuleDict(), "stub", module);
    Py_DECREF(module);  // sys.modules holds it
    if (stored != 0) return nullptr;
    return module;
}
