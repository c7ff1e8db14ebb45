// The native module "stub" through which the boot script talks to the launcher.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct _object;
typedef _object PyObject;

extern int32_t cmd_argc;
extern wchar_t** cmd_argv;
extern const std::wstring archive_name;  // "lib.dll"

// Set when the exit clean-up begins, on whichever thread calls exit. A
// stub.crt_exit after that only records its status, which ends the process
// once the clean-up is done.
extern std::atomic<bool> exit_processing_started;
extern bool has_deferred_exit_status;
extern int deferred_exit_status;

// The exit clean-up as the start-up registered it (null before). Libraries
// the application loads register exit handlers of their own later (OpenSSL
// registers its clean-up when the ssl module is imported), and the runtime
// runs its exit list last-in, first-out, so such a handler would run before
// the launcher's clean-up and pull its library out from under the
// interpreter's finalization and the log upload. When exit processing is
// about to begin, renew_exit_cleanup registers the clean-up once more, so
// that it runs first, as it would in a process without those libraries; it
// still runs only once.
void set_exit_cleanup(int (*cleanup)());
void renew_exit_cleanup();

// Creates the module and makes it importable (sys.modules["stub"]). Called
// on the main thread, which it remembers for on_main_thread.
PyObject* install_stub_module();

// Whether the calling thread is the one that started the interpreter.
bool on_main_thread();
