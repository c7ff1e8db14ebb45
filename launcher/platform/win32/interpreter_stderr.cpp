// The launcher and the interpreter need not share one C runtime on Windows:
// the launcher runs on the C runtime its compiler links (msvcrt.dll), an
// interpreter built with Microsoft's compiler on the Universal C runtime.
// Reopening the launcher's stderr onto the pipe then leaves the interpreter's
// own descriptor 2 where it was (in a GUI process: nowhere), and a traceback
// printed by the interpreter would never reach the pipe. (The project's own
// Windows interpreter, tools/windows-python/, is built on msvcrt.dll too;
// for it the binding below changes nothing but the stream's line ends.)
//
// The interpreter is therefore handed the pipe itself: a duplicate of the
// pipe's client handle becomes a descriptor of the interpreter's runtime
// through its msvcrt.open_osfhandle, and sys.stderr becomes a text stream over
// that descriptor. A duplicate, because the interpreter's descriptor owns and
// closes its handle while the launcher's stream keeps its own. The stream
// writes UTF-8 (the log's encoding), turns "\n" into CR LF as the launcher's
// text-mode stream does, and writes every line through at once, so that what
// the interpreter prints is in the pipe before the drain reads it.
//
// The interpreter's functions are looked up in its loaded DLL rather than
// linked: this file belongs to the platform layer, which the tests link
// without an interpreter. Where none is loaded there is nothing to bind.
#include <Python.h>
#include <windows.h>

#include <cstdio>
#include <io.h>
#include <string>

#include "interpreter_stderr.h"

namespace platform {

namespace {

std::wstring interpreter_dll_name() {
    return L"python" + std::to_wstring(PY_MAJOR_VERSION) + std::to_wstring(PY_MINOR_VERSION) +
           L".dll";
}

template <typename Function>
bool look_up(HMODULE module, const char* name, Function** function) {
    FARPROC found = GetProcAddress(module, name);
    *function = reinterpret_cast<Function*>(reinterpret_cast<void (*)()>(found));
    return found != nullptr;
}

struct InterpreterCalls {
    decltype(PyDict_New)* dict_new = nullptr;
    decltype(PyRun_StringFlags)* run_string = nullptr;
    decltype(Py_DecRef)* dec_ref = nullptr;
    decltype(PyErr_Clear)* clear_error = nullptr;

    bool find(HMODULE module) {
        return look_up(module, "PyDict_New", &dict_new) &&
               look_up(module, "PyRun_StringFlags", &run_string) &&
               look_up(module, "Py_DecRef", &dec_ref) &&
               look_up(module, "PyErr_Clear", &clear_error);
    }
};

// A handle of its own onto the object behind the launcher's stderr.
HANDLE duplicate_stderr_handle() {
    HANDLE stream_handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr)));
    if (stream_handle == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE process = GetCurrentProcess();
    HANDLE duplicate = nullptr;
    if (!DuplicateHandle(process, stream_handle, process, &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return duplicate;
}

// Step one: the handle becomes a descriptor of the interpreter's runtime,
// which owns it from then on.
std::string descriptor_code(HANDLE handle) {
    char code[128];
    std::snprintf(code, sizeof code, "import msvcrt\nfd = msvcrt.open_osfhandle(%llu, 0)\n",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
    return code;
}

// Step two: sys.stderr becomes a stream over the descriptor; a stream that
// cannot be made leaves the descriptor closed.
const char kStreamCode[] =
    "import io, os, sys\n"
    "try:\n"
    "    raw = io.FileIO(fd, 'w')\n"
    "except BaseException:\n"
    "    os.close(fd)\n"
    "    raise\n"
    "sys.stderr = io.TextIOWrapper(io.BufferedWriter(raw), encoding='utf-8',\n"
    "                              errors='backslashreplace', newline=None,\n"
    "                              line_buffering=True, write_through=True)\n";

// Runs code in a namespace of its own, so that the __main__ module the boot
// script runs in gains no names.
class Namespace {
public:
    explicit Namespace(const InterpreterCalls& calls) : calls_(calls), dict_(calls.dict_new()) {
        if (dict_ == nullptr) calls_.clear_error();
    }
    ~Namespace() {
        if (dict_ != nullptr) calls_.dec_ref(dict_);
    }
    Namespace(const Namespace&) = delete;
    Namespace& operator=(const Namespace&) = delete;

    bool run(const char* code) {
        if (dict_ == nullptr) return false;
        PyObject* result = calls_.run_string(code, Py_file_input, dict_, dict_, nullptr);
        if (result == nullptr) {
            calls_.clear_error();
            return false;
        }
        calls_.dec_ref(result);
        return true;
    }

private:
    const InterpreterCalls& calls_;
    PyObject* dict_;
};

}  // namespace

bool bind_interpreter_stderr() {
    HMODULE interpreter = GetModuleHandleW(interpreter_dll_name().c_str());
    if (interpreter == nullptr) return true;
    InterpreterCalls calls;
    if (!calls.find(interpreter)) return false;
    HANDLE handle = duplicate_stderr_handle();
    if (handle == nullptr) return false;
    Namespace binding(calls);
    if (!binding.run(descriptor_code(handle).c_str())) {
        CloseHandle(handle);
        return false;
    }
    return binding.run(kStreamCode);
}

}  // namespace platform
