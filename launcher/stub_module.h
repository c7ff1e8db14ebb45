// The native module "stub" through which the boot script talks to the launcher.
#pragma once

#include <cstdint>
#include <string>

struct _object;
typedef _object PyObject;

extern int32_t cmd_argc;
extern wchar_t** cmd_argv;
extern const std::wstring archive_name;  // "lib.dll"

// Set when the exit clean-up begins. A stub.crt_exit after that only records
// its status, which ends the process once the clean-up is done.
extern bool exit_processing_started;
extern bool has_deferred_exit_status;
extern int deferred_exit_status;

// Creates the module and makes it importable (sys.modules["stub"]).
PyObject* install_stub_module();
