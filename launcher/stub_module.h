// The native module "stub" through which the boot script talks to the launcher.
#pragma once

#include <cstdint>
#include <string>

struct _object;
typedef _object PyObject;

extern int32_t cmd_argc;
extern wchar_t** cmd_argv;
extern const std::wstring archive_name;  // "lib.dll"

// Creates the module and makes it importable (sys.modules["stub"]).
PyObject* install_stub_module();
