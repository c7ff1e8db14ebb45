// Process-wide services of the Win32 API: errors, the module's own name, the
// command line, exit handlers, the message box, libraries, text conversion.
#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

namespace platform {

const wchar_t kPathSeparator = L'\\';
const bool kInterpreterUtf8Mode = false;

uint32_t get_last_error() { return GetLastError(); }

void set_last_error(uint32_t code) { SetLastError(code); }

uint32_t get_module_file_name(wchar_t* buffer, uint32_t size) {
    DWORD copied = GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, size);
    if (copied == 0 || copied < size) return copied;
    // Truncated. Older systems leave the buffer without its NUL.
    buffer[size - 1] = L'\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size - 1;
}

wchar_t** command_line_to_argv(int* count) {
    // The vector is never freed: the script may ask for the arguments at any
    // time until the process ends.
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), count);
    if (argv == nullptr) *count = 0;
    return argv;
}

void init_process(int, char**) {
    // Windows hands every process its command line through GetCommandLineW,
    // and a GUI process has no standard descriptors that could need repair:
    // the POSIX entry point's work has no counterpart here.
}

bool register_exit_handler(int (*fn)()) { return _onexit(fn) != nullptr; }

void message_box(const char* text, const char* caption) {
    MessageBoxA(nullptr, text, caption, MB_OK);
}

uint32_t get_current_process_id() { return GetCurrentProcessId(); }

void* load_library(const wchar_t* name) { return LoadLibraryW(name); }

void free_library(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }

int wide_to_utf8(const wchar_t* text, char* out, int out_size) {
    return WideCharToMultiByte(CP_UTF8, 0, text, -1, out, out_size, nullptr, nullptr);
}

std::wstring utf8_to_wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                        length);
    return wide;
}

// The narrow file API of Windows takes names in the ANSI code page.
std::string narrow_path(const std::wstring& path) {
    if (path.empty()) return std::string();
    int size = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size) - 1);
    return narrow;
}

}  // namespace platform
