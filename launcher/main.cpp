// The launcher's entry point: the start-up sequence, the interpreter
// bootstrap and the exit clean-up.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <marshal.h>
#include <osdefs.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AppString.h"
#include "archive_importer.h"
#include "folder_finder.h"
#include "logging.h"
#include "platform/pipe.h"
#include "platform/platform.h"
#include "stub_exception.h"
#include "stub_module.h"
#include "util.h"

#ifdef _WIN32
#include <windows.h>
#endif

int32_t redirect_result = 0;

namespace {

// ---- exit clean-up -----------------------------------------------------------

// What an exception hook wrote may still wait in the buffer of sys.stderr.
void flush_interpreter_stderr() {
    PyObject* stream = PySys_GetObject("stderr");
    if (stream == nullptr || stream == Py_None) return;
    PyObject* result = PyObject_CallMethod(stream, "flush", nullptr);
    Py_XDECREF(result);
    PyErr_Clear();
}

// Everything the run wrote to standard error goes into the log, error or
// not; a run that wrote nothing there keeps its log as it is.
void copy_stderr_output() {
    flush_interpreter_stderr();
    std::fflush(stderr);
    if (!stderr_capture_holds_output()) return;
    if (drain_stderr() != 0) logger.write_line("Failed to read stack trace from stderr");
}

void report_pending_python_error() {
    if (PyErr_Occurred() == nullptr) {
        logger.write_line("A python error was not set");
        copy_stderr_output();
        return;
    }
    if (stderr_pipe == 0 || redirect_result != 0) {
        logger.write_line("No stack trace available, since stderr redirection was a failure");
        // Reported; the interpreter must not print it at finalization to a
        // standard error that nobody reads.
        PyErr_Clear();
        return;
    }
    PyErr_Print();
    flush_interpreter_stderr();
    std::fflush(stderr);
    logger.write_line("Reading stack trace from stderr");
    if (drain_stderr() != 0) logger.write_line("Failed to read stack trace from stderr");
}

// Runs launcher code in the interpreter, with the builtins and nothing else
// in its namespace; an error in it is dropped.
void run_launcher_code(const char* code) {
    PyObject* globals = PyDict_New();
    PyObject* builtins = PyEval_GetBuiltins();
    if (globals != nullptr && builtins != nullptr &&
        PyDict_SetItemString(globals, "__builtins__", builtins) == 0) {
        PyObject* result = PyRun_String(code, Py_file_input, globals, globals);
        Py_XDECREF(result);
    }
    Py_XDECREF(globals);
    PyErr_Clear();
}

// Py_Finalize, on the main thread. Exit processing may run on another one
// (a stub.crt_exit on a thread of the application) while the main thread
// waits inside the interpreter; once Py_Finalize has begun, a thread that
// wakes up there is ended on the spot, from under the launcher's own frames.
// There the finalization does what the application sees of it instead: it
// waits for the threads that are no daemons (neither for itself nor for the
// main thread, which never ends), runs the exit handlers and flushes the
// standard streams. This thread then keeps the interpreter's lock until the
// process ends, so the main thread runs no more Python code.
const char kFinalizeOnAnotherThreadCode[] =
    "import atexit, sys\n"
    "threading = sys.modules.get('threading')\n"
    "if threading is not None:\n"
    "    with threading._shutdown_locks_lock:\n"
    "        for thread in (threading.current_thread(), threading.main_thread()):\n"
    "            threading._shutdown_locks.discard(thread._tstate_lock)\n"
    "    threading._shutdown()\n"
    "atexit._run_exitfuncs()\n"
    "for stream in (sys.stdout, sys.stderr):\n"
    "    try:\n"
    "        stream.flush()\n"
    "    except Exception:\n"
    "        pass\n";

void finalize_interpreter() {
    if (on_main_thread()) {
        Py_Finalize();
    } else {
        run_launcher_code(kFinalizeOnAnotherThreadCode);
    }
}

// The evaluation returned while another thread ends the process: this thread
// must neither go on nor start a second exit. It waits, without the
// interpreter's lock, until that exit ends the process.
[[noreturn]] void wait_for_the_exit_on_another_thread() {
    PyEval_SaveThread();
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

int exit_cleanup() {
    // Registered twice when exit processing was announced (renew_exit_cleanup).
    if (exit_processing_started.exchange(true)) return 0;
    const bool log_open = logger.has_stream();
    if (log_open) logger.write_line("Cleaning up");

    if (Py_IsInitialized()) {
        report_pending_python_error();
        logger.write_line("Finalizing");
        finalize_interpreter();
    }
    finish_stderr_capture();

    if (log_open) {
        logger.write_line("Closing log");
        try {
            close_log();
        } catch (const std::exception&) {
            // The log could not be saved; the folder is still swept for the
            // logs of earlier runs.
        }
    }

    if (!log_dir.empty()) ship_logs(app_strings.__logging_url, log_dir, app_strings.__logging_host);

    if (has_deferred_exit_status) {
        std::fflush(nullptr);
        std::_Exit(deferred_exit_status);
    }
    return 0;
}

// ---- interpreter bootstrap ---------------------------------------------------

// The interpreter's settings: no environment variables, no site, text and
// file names in UTF-8 whatever the locale says where the platform wants it
// (as on Windows). Its start-up stops after the core (the built-in and frozen
// modules) so that the archive importer is in place before the first module
// is read from the archive.
struct InterpreterSettings {
    PyConfig config;
    InterpreterSettings() = default;
    InterpreterSettings(const InterpreterSettings&) = delete;
    InterpreterSettings& operator=(const InterpreterSettings&) = delete;
    ~InterpreterSettings() { PyConfig_Clear(&config); }
};

void exit_on_failure(const PyStatus& status) {
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
}

void set_interpreter_flags(InterpreterSettings* settings) {
    logger.write_line("Initializing python interpreter variables");
    PyPreConfig preconfig;
    PyPreConfig_InitPythonConfig(&preconfig);
    preconfig.parse_argv = 0;
    preconfig.use_environment = 0;
    preconfig.coerce_c_locale = 0;
    preconfig.coerce_c_locale_warn = 0;
    preconfig.utf8_mode = platform::kInterpreterUtf8Mode ? 1 : 0;
    exit_on_failure(Py_PreInitialize(&preconfig));

    PyConfig* config = &settings->config;
    PyConfig_InitPythonConfig(config);
    config->parse_argv = 0;
    config->configure_c_stdio = 0;
    config->use_environment = 0;
    config->site_import = 0;
    config->inspect = 1;
    config->verbose = 0;
    config->_init_main = 0;
}

// ---- module search path --------------------------------------------------------

// The second entry of sys.path: the executable's folder.
const std::wstring kFolderEntry = L".";

// An entry of sys.path as the absolute path it stands for in the executable's
// folder.
std::wstring absolute_entry(const std::wstring& entry) {
    const std::wstring root(1, platform::kPathSeparator);
    if (entry == kFolderEntry) return exe_dir.empty() ? root : exe_dir;
    return exe_dir + root + entry;
}

// The archives beside the executable that the interpreter's own start-up
// modules (encodings and the modules it imports before the boot script
// runs) come from: the application's archive, on Windows also the
// interpreter's standard library archive. Never the build machine's library.
std::vector<std::wstring> startup_archives() {
    std::vector<std::wstring> archives = {archive_name};
#ifdef _WIN32
    archives.push_back(L"python" + std::to_wstring(PY_MAJOR_VERSION) +
                       std::to_wstring(PY_MINOR_VERSION) + L".zip");
#endif
    return archives;
}

// The module search path of the interpreter's start-up: its archives first,
// then the folder last.
std::vector<std::wstring> startup_search_entries() {
    std::vector<std::wstring> entries = startup_archives();
    entries.push_back(kFolderEntry);
    // A folder whose name holds the list separator cannot be named in the
    // list: the relative entries then resolve against the working
    // directory, which is the folder during start-up.
    const bool absolute = exe_dir.find(DELIM) == std::wstring::npos;
    if (absolute) {
        for (std::wstring& entry : entries) entry = absolute_entry(entry);
    }
    return entries;
}

std::wstring startup_search_path(const std::vector<std::wstring>& entries) {
    std::wstring path;
    for (const std::wstring& entry : entries) {
        if (!path.empty()) path += DELIM;
        path += entry;
    }
    return path;
}

// A start that failed, in words: where the start-up modules come from, then
// the interpreter's own reason.
[[noreturn]] void raise_failed_start(const PyStatus& status) {
    std::string archives;
    for (const std::wstring& archive : startup_archives()) {
        std::string name;
        to_utf8(archive, &name);
        archives += (archives.empty() ? "" : " or ") + name;
    }
    std::string reason = status.err_msg != nullptr ? status.err_msg : "unknown error";
    if (status.func != nullptr) reason = std::string(status.func) + ": " + reason;
    STUB_RAISE("The interpreter could not start; its start-up modules come from " + archives +
               " beside the executable (" + reason + ")");
}

// A failed step of the interpreter's start becomes a start-up failure.
void start_or_raise(const PyStatus& status) {
    if (PyStatus_Exception(status)) raise_failed_start(status);
}

// A native crash (a fatal signal, or on Windows an unhandled exception) ends
// the process before the exit clean-up, and what waits in the standard-error
// pipe dies with it. The interpreter's fault handler writes the Python stack
// of every thread straight into the log file instead; a log in memory has no
// file to write to.
void report_crashes_into_log() {
    const int descriptor = logger.runtime_descriptor();
    if (descriptor < 0) return;
    PyObject* faulthandler = PyImport_ImportModule("faulthandler");
    PyObject* result = faulthandler == nullptr
                           ? nullptr
                           : PyObject_CallMethod(faulthandler, "enable", "ii", descriptor, 1);
    Py_XDECREF(result);
    Py_XDECREF(faulthandler);
    PyErr_Clear();
}

void start_interpreter(InterpreterSettings* settings) {
    logger.write_line("Calling Py_Initialize");
    const std::vector<std::wstring> entries = startup_search_entries();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    // The interpreter finds its own library from the program it runs in;
    // without a name it would look for "python3" on the search path.
    Py_SetProgramName(exe_path.c_str());
    Py_SetPath(startup_search_path(entries).c_str());
#pragma GCC diagnostic pop
    start_or_raise(Py_InitializeFromConfig(&settings->config));
    // Every entry but the last (the folder) is an archive.
    archive_importer::install(std::vector<std::wstring>(entries.begin(), entries.end() - 1));
    start_or_raise(_Py_InitializeMain());
    // The interpreter's start-up put its own zip importer in front.
    archive_importer::put_hook_first();
    report_crashes_into_log();
    logger.write_line(Py_GetVersion());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Py_SetPythonHome(L".");
#pragma GCC diagnostic pop
}

void install_extensions(int argc, wchar_t** argv) {
    logger.write_line("Initializing extensions");
    cmd_argc = argc;
    cmd_argv = argv;
    if (install_stub_module() == nullptr) PyErr_Clear();
}

PyObject* new_unicode(const std::wstring& text) {
    return PyUnicode_FromWideChar(text.c_str(), static_cast<Py_ssize_t>(text.size()));
}

// Stores a new object as a sys attribute; a missing object leaves it alone.
void set_sys_object(const char* name, PyObject* value) {
    if (value == nullptr) {
        PyErr_Clear();
        return;
    }
    PySys_SetObject(name, value);
    Py_DECREF(value);
}

bool append_sys_path(const std::wstring& entry) {
    PyObject* path = PySys_GetObject("path");
    PyObject* item = new_unicode(entry);
    if (item == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool appended = path != nullptr && PyList_Check(path) && PyList_Append(path, item) >= 0;
    Py_DECREF(item);
    if (!appended) PyErr_Clear();
    return appended;
}

// ---- imports independent of the working directory ----------------------------
//
// sys.path holds "lib.dll" and "." as relative strings. The finders that the
// import system keeps for them in sys.path_importer_cache are made for the
// absolute paths instead, so that an import after os.chdir still reads the
// application's archive and folder. importlib.invalidate_caches() drops the
// cached finders of relative entries; a path hook in front of sys.path_hooks
// then makes them again for the absolute paths.

PyObject* folder_entry_hook(PyObject* entries, PyObject* path);

PyMethodDef folder_entry_hook_def = {"folder_entry_hook", folder_entry_hook, METH_O,
                                     nullptr};

bool is_folder_entry_hook(PyObject* hook) {
    return PyCFunction_Check(hook) && PyCFunction_GET_FUNCTION(hook) == folder_entry_hook;
}

// The finder for an absolute path: the one cached for it, else the first
// path hook that accepts it (cached then under the absolute path, as the
// import system would); None when no hook accepts it.
PyObject* finder_for(PyObject* absolute_path) {
    PyObject* cache = PySys_GetObject("path_importer_cache");
    PyObject* hooks = PySys_GetObject("path_hooks");
    if (cache == nullptr || !PyDict_Check(cache) || hooks == nullptr || !PyList_Check(hooks)) {
        PyErr_SetString(PyExc_RuntimeError, "sys.path_importer_cache or sys.path_hooks is missing");
        return nullptr;
    }
    PyObject* cached = PyDict_GetItemWithError(cache, absolute_path);
    if (cached != nullptr && cached != Py_None) {
        Py_INCREF(cached);
        return cached;
    }
    if (PyErr_Occurred()) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(hooks); ++i) {
        PyObject* hook = PyList_GET_ITEM(hooks, i);
        if (is_folder_entry_hook(hook)) continue;
        Py_INCREF(hook);
        PyObject* finder = PyObject_CallFunctionObjArgs(hook, absolute_path, nullptr);
        Py_DECREF(hook);
        if (finder != nullptr) {
            if (PyDict_SetItem(cache, absolute_path, finder) < 0) Py_CLEAR(finder);
            return finder;
        }
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

// The path hook: entries maps each relative entry of sys.path to its
// absolute path; any other path is left to the hooks after this one.
PyObject* folder_entry_hook(PyObject* entries, PyObject* path) {
    PyObject* absolute_path = PyDict_GetItemWithError(entries, path);
    if (absolute_path == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "not an entry of the application folder");
        }
        return nullptr;
    }
    return finder_for(absolute_path);
}

// Gives each relative entry its absolute path's finder in
// sys.path_importer_cache; returns false (the import system then falls back
// to the working directory) when the interpreter refuses.
bool cache_folder_finders(PyObject* entries) {
    PyObject* cache = PySys_GetObject("path_importer_cache");
    if (cache == nullptr || !PyDict_Check(cache)) return false;
    PyObject* relative = nullptr;
    PyObject* absolute = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(entries, &position, &relative, &absolute)) {
        PyObject* finder = finder_for(absolute);
        if (finder == nullptr) return false;
        const int stored = PyDict_SetItem(cache, relative, finder);
        Py_DECREF(finder);
        if (stored < 0) return false;
    }
    return true;
}

bool install_folder_entry_hook(PyObject* entries) {
    PyObject* hooks = PySys_GetObject("path_hooks");
    if (hooks == nullptr || !PyList_Check(hooks)) return false;
    PyObject* hook = PyCFunction_New(&folder_entry_hook_def, entries);
    if (hook == nullptr) return false;
    const int inserted = PyList_Insert(hooks, 0, hook);
    Py_DECREF(hook);
    return inserted == 0;
}

void install_folder_importers(const std::vector<std::wstring>& relative_entries) {
    PyObject* entries = PyDict_New();
    bool installed = entries != nullptr;
    for (const std::wstring& entry : relative_entries) {
        if (!installed) break;
        PyObject* relative = new_unicode(entry);
        PyObject* absolute = new_unicode(absolute_entry(entry));
        installed = relative != nullptr && absolute != nullptr &&
                    PyDict_SetItem(entries, relative, absolute) == 0;
        // The folder's finder answers from a listing.
        if (installed && entry == kFolderEntry) folder_finder::install(absolute);
        Py_XDECREF(relative);
        Py_XDECREF(absolute);
    }
    installed = installed && install_folder_entry_hook(entries) && cache_folder_finders(entries);
    Py_XDECREF(entries);
    if (!installed) PyErr_Clear();
}

void set_sys_attributes() {
    logger.write_line("Modifying attributes of sys module");
    set_sys_object("frozen", PyBool_FromLong(1));
    set_sys_object("executable", new_unicode(exe_path));
    set_sys_object("path", PyList_New(0));
    append_sys_path(archive_name);
    append_sys_path(kFolderEntry);
    install_folder_importers({archive_name, kFolderEntry});
}

PyObject* create_main_module() {
    logger.write_line("Creating main module");
    PyObject* main_module = PyImport_AddModule("__main__");
    return main_module != nullptr ? PyModule_GetDict(main_module) : nullptr;
}

// The code object, or null with the error kept in *error for the evaluation
// to report: a script shorter than its 8-byte header, one that does not
// unmarshal, or one that is no code object.
struct PendingError {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

constexpr uint32_t kBootScriptHeaderSize = 8;

PyObject* unmarshal_boot_script(std::unique_ptr<uint8_t[]> script, uint32_t size,
                                PendingError* error) {
    logger.write_line("Unmarshalling boot script to code object");
    PyObject* code = nullptr;
    if (size < kBootScriptHeaderSize) {
        PyErr_SetString(PyExc_ValueError, "boot script is shorter than its 8-byte header");
    } else {
        code = PyMarshal_ReadObjectFromString(
            reinterpret_cast<const char*>(script.get()) + kBootScriptHeaderSize,
            static_cast<Py_ssize_t>(size - kBootScriptHeaderSize));
        if (code != nullptr && !PyCode_Check(code)) {
            PyErr_Format(PyExc_TypeError, "boot script holds a %s object, not a code object",
                         Py_TYPE(code)->tp_name);
            Py_CLEAR(code);
        }
    }
    script.reset();
    if (code == nullptr) PyErr_Fetch(&error->type, &error->value, &error->traceback);
    return code;
}

// The evaluation's result, or null with the interpreter's error pending.
PyObject* evaluate(PyObject* code, PyObject* main_dict, PendingError* error) {
    if (code == nullptr) {
        PyErr_Restore(error->type, error->value, error->traceback);
        return nullptr;
    }
    if (main_dict == nullptr) {
        PyErr_SetString(PyExc_SystemError, "the __main__ module is missing");
        return nullptr;
    }
    return PyEval_EvalCode(code, main_dict, main_dict);
}

// sys.stderr becomes a text stream straight over its descriptor (a duplicate),
// writing every call through, with the same encoding and error handling. A
// buffered stream holds its lock while a write waits in the pipe; a daemon
// thread that the finalization stops there keeps that lock for good, and the
// final flush of sys.stderr then aborts the process. Without a buffer no lock
// is held. A stream that cannot be made leaves sys.stderr as it was. The
// descriptor is duplicated with the built-in system module, not os: an
// application that never imports os does not pay for loading it. Made with
// calls, not Python source: compiling source costs more than all the rest.
#ifdef _WIN32
constexpr char kSystemModule[] = "nt";
#else
constexpr char kSystemModule[] = "posix";
#endif

// The new stream over a duplicate of old's descriptor, or null.
PyObject* unbuffered_stream_like(PyObject* old) {
    PyObject* flushed = PyObject_CallMethod(old, "flush", nullptr);
    if (flushed == nullptr) return nullptr;
    Py_DECREF(flushed);
    PyObject* descriptor = PyObject_CallMethod(old, "fileno", nullptr);
    PyObject* system = descriptor != nullptr ? PyImport_ImportModule(kSystemModule) : nullptr;
    PyObject* duplicate =
        system != nullptr ? PyObject_CallMethod(system, "dup", "O", descriptor) : nullptr;
    Py_XDECREF(system);
    Py_XDECREF(descriptor);
    PyObject* io = duplicate != nullptr ? PyImport_ImportModule("io") : nullptr;
    PyObject* raw = io != nullptr ? PyObject_CallMethod(io, "FileIO", "Os", duplicate, "w") : nullptr;
    Py_XDECREF(duplicate);
    PyObject* wrapper_type = raw != nullptr ? PyObject_GetAttrString(io, "TextIOWrapper") : nullptr;
    Py_XDECREF(io);
    PyObject* encoding = wrapper_type != nullptr ? PyObject_GetAttrString(old, "encoding") : nullptr;
    PyObject* errors = encoding != nullptr ? PyObject_GetAttrString(old, "errors") : nullptr;
    PyObject* arguments = errors != nullptr ? Py_BuildValue("(O)", raw) : nullptr;
    PyObject* options = arguments != nullptr
                            ? Py_BuildValue("{s:O,s:O,s:O,s:O}", "encoding", encoding, "errors",
                                            errors, "newline", Py_None, "write_through", Py_True)
                            : nullptr;
    PyObject* stream = options != nullptr ? PyObject_Call(wrapper_type, arguments, options) : nullptr;
    Py_XDECREF(options);
    Py_XDECREF(arguments);
    Py_XDECREF(errors);
    Py_XDECREF(encoding);
    Py_XDECREF(wrapper_type);
    Py_XDECREF(raw);
    return stream;
}

void unbuffer_interpreter_stderr() {
    PyObject* old = PySys_GetObject("stderr");  // borrowed
    PyObject* stream = old != nullptr && old != Py_None ? unbuffered_stream_like(old) : nullptr;
    if (stream != nullptr) {
        PySys_SetObject("stderr", stream);
        Py_DECREF(stream);
    }
    PyErr_Clear();
}

// What the start-up changes and a helper process of the application must
// restore (the runtime hook of child processes does): the working directory
// the process was started in, and its standard error as the parent handed it
// over (see platform::duplicate_standard_error). They become the private
// attributes _start_directory and _standard_error of the stub module.
struct StartState {
    std::wstring directory;
    intptr_t standard_error = -1;
};

StartState start_state;

void publish_start_state() {
    PyObject* stub = PyDict_GetItemString(PyImport_GetModuleDict(), "stub");  // borrowed
    if (stub == nullptr) return;
    PyObject* directory = new_unicode(start_state.directory);
    PyObject* standard_error = PyLong_FromSsize_t(start_state.standard_error);
    if (directory == nullptr || standard_error == nullptr ||
        PyObject_SetAttrString(stub, "_start_directory", directory) != 0 ||
        PyObject_SetAttrString(stub, "_standard_error", standard_error) != 0) {
        PyErr_Clear();
    }
    Py_XDECREF(directory);
    Py_XDECREF(standard_error);
}

// ---- start-up sequence -------------------------------------------------------

void show_fatal_error(const std::exception& error) {
    std::stringstream text(std::ios::in | std::ios::out);
    text << "A critical exception has occurred, and the application must exit." << '\n'
         << "The exception was:" << '\n'
         << '\n'
         << '\t' << error.what() << '\n'
         << '\n'
         << "Please contact Quorvane support for assistance.";
    platform::message_box(text.str().c_str(), "Exception");
}

struct CommandLine {
    int argc = 0;
    wchar_t** argv = nullptr;
};

CommandLine prepare() {
    if (!platform::register_exit_handler(exit_cleanup)) {
        STUB_RAISE("Failed to register _onexit handler");
    }
    set_exit_cleanup(exit_cleanup);
    CommandLine command_line;
    command_line.argv = platform::command_line_to_argv(&command_line.argc);
    if (command_line.argv == nullptr) command_line.argc = 0;
    init_exe_paths();
    app_strings.initialize();
    log_to_memory = app_strings.__log_to_memory == L"true";
    log_dir = compute_log_dir();
    open_log();
    return command_line;
}

std::unique_ptr<uint8_t[]> load_and_descramble_boot_script(uint32_t* size) {
    *size = get_boot_script_size();
    logger.write_line("Loading boot script resource");
    std::unique_ptr<uint8_t[]> script(new uint8_t[*size]);
    try {
        load_boot_script(script.get());
    } catch (const std::exception&) {
        logger.write_line("Failed to load boot script resource");
        script.reset();
        throw;
    }
    logger.write_line("Decrypting boot script");
    descramble(script.get(), *size);
    return script;
}

int run(const CommandLine& command_line) {
    log_system_info();
    start_state.directory = platform::current_directory();
    if (!set_working_directory()) STUB_RAISE("Failed to set current working directory");

    uint32_t size = 0;
    std::unique_ptr<uint8_t[]> script = load_and_descramble_boot_script(&size);

    InterpreterSettings settings;
    set_interpreter_flags(&settings);
    start_interpreter(&settings);
    install_extensions(command_line.argc, command_line.argv);
    set_sys_attributes();
    PyObject* main_dict = create_main_module();
    PendingError unmarshal_error;
    PyObject* code = unmarshal_boot_script(std::move(script), size, &unmarshal_error);

    start_state.standard_error = platform::duplicate_standard_error();
    publish_start_state();
    logger.write_line("Redirecting stderr to pipe");
    redirect_result = redirect_stderr();
    if (redirect_result != 0) {
        logger.write_line("Redirection failed");
    } else {
        unbuffer_interpreter_stderr();
    }

    logger.write_line("Calling EvalCode");
    PyObject* result = evaluate(code, main_dict, &unmarshal_error);
    Py_XDECREF(code);
    if (exit_processing_started) wait_for_the_exit_on_another_thread();
    if (result == nullptr) {
        logger.write_line("EvalCode exited abnormally");
        return 1;
    }
    logger.write_line("EvalCode exited normally");
    Py_DECREF(result);
    return 0;
}

}  // namespace

int launcher_main() {
    CommandLine command_line;
    try {
        command_line = prepare();
    } catch (const std::exception& error) {
        show_fatal_error(error);
        return 1;
    }

    int status = 1;
    try {
        status = run(command_line);
    } catch (const std::exception& error) {
        logger.write_text("Traceback").end_line();
        logger.write_text("StubException: ").write_text(error.what()).end_line();
    }
    // The runtime calls exit with the status next.
    renew_exit_cleanup();
    return status;
}

#ifdef _WIN32
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    platform::init_process(0, nullptr);
    return launcher_main();
}
#else
int main(int argc, char** argv) {
    platform::init_process(argc, argv);
    return launcher_main();
}
#endif
