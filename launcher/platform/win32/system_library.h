// Functions of system libraries that the launcher needs only at one point of
// a run, or only when something fails: the library is loaded from the system
// folder at the first call, not when the process starts, so that a run that
// never needs it never pays for loading and initializing it.
#pragma once

#include <windows.h>

namespace platform {

// The function `name` of the system library `library` (LoadLibraryExW from
// the system folder, then GetProcAddress); null when either fails. The
// library stays loaded for the rest of the process.
template <typename Function>
Function system_function(const wchar_t* library, const char* name) {
    HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace platform
