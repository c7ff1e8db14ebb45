// The launcher's view of the operating system: one interface, shaped after
// the Win32 calls the launcher makes, with a Win32 implementation (the real
// API) and a POSIX one. Errors travel as Win32 error codes through a
// per-thread last-error value on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/error_codes.h"

namespace platform {

// ---- errors --------------------------------------------------------------
uint32_t get_last_error();            // GetLastError
void set_last_error(uint32_t code);   // SetLastError
uint32_t win32_error_from_errno(int errno_value);  // POSIX: the one errno table

// ---- process --------------------------------------------------------------
// Whether the embedded interpreter runs in its UTF-8 mode: on POSIX, so that
// file names and text do not depend on the locale of the environment.
extern const bool kInterpreterUtf8Mode;

// The folder separator of module file names and of path_append.
extern const wchar_t kPathSeparator;

// GetModuleFileNameW(GetModuleHandleW(NULL), buffer, size): the number of
// characters copied without the NUL (truncated to size - 1 and NUL-ended when
// the buffer is too small), or 0 with the last error set.
uint32_t get_module_file_name(wchar_t* buffer, uint32_t size);

// The arguments as CommandLineToArgvW(GetCommandLineW(), &count) gives them
// (Windows: split by command_line::split, without shell32; POSIX: main's
// argv). The vector lives for the rest of the process; null (count 0) when
// there are no arguments.
wchar_t** command_line_to_argv(int* count);

// Called first by the entry point. POSIX: keeps main's arguments for
// command_line_to_argv, and opens /dev/null onto any of descriptors 0 to 2
// that is closed. Windows: replaces any standard handle that the interpreter
// could not open a stream over with the null device.
void init_process(int argc, char** argv);

// _onexit: registers fn on the runtime's exit list; false when it cannot.
bool register_exit_handler(int (*fn)());

// MessageBoxA(NULL, text, caption, MB_OK).
void message_box(const char* text, const char* caption);

// GetCurrentProcessId.
uint32_t get_current_process_id();

// ---- time and system information ------------------------------------------
struct SystemTime {
    uint16_t year, month, day_of_week, day, hour, minute, second, milliseconds;
};
void get_system_time(SystemTime* time);  // GetSystemTime (UTC)

struct OsVersion {
    uint32_t major_version;
    uint32_t minor_version;
    uint16_t suite_mask;
    uint8_t product_type;
};
bool get_os_version(OsVersion* version);  // GetVersionExW with OSVERSIONINFOEXW

constexpr uint16_t kProcessorArchitectureIntel = 0;
constexpr uint16_t kProcessorArchitectureIa64 = 6;
constexpr uint16_t kProcessorArchitectureAmd64 = 9;
// GetNativeSystemInfo looked up in kernel32 with GetProcAddress; false when
// the function is missing.
bool get_native_processor_architecture(uint16_t* architecture);
uint16_t get_processor_architecture();  // GetSystemInfo

// ---- folders and paths ----------------------------------------------------
constexpr size_t kMaxPath = 260;
// SHGetFolderPathW(NULL, CSIDL_APPDATA, NULL, SHGFP_TYPE_CURRENT, buffer)
// into a buffer of kMaxPath characters: an HRESULT, negative on failure. On
// Windows the APPDATA variable that the system sets at logon is taken instead
// when it names an existing folder by an absolute path.
int32_t get_appdata_folder(wchar_t* buffer);
// PathAppendW on a buffer of kMaxPath characters: false when the result does
// not fit.
bool path_append(wchar_t* buffer, const wchar_t* more);
bool create_directory(const wchar_t* path);      // CreateDirectoryW(path, NULL)
bool set_current_directory(const wchar_t* path); // SetCurrentDirectoryW
// GetCurrentDirectoryW: the working directory, empty when it cannot be read.
std::wstring current_directory();
bool delete_file(const wchar_t* path);           // DeleteFileW

// ---- dynamic libraries ----------------------------------------------------
// LoadLibraryW; null with the last error set on failure.
void* load_library(const wchar_t* name);
void free_library(void* module);                 // FreeLibrary

// ---- text ------------------------------------------------------------------
// WideCharToMultiByte(CP_UTF8, 0, text, -1, out, out_size): with out_size 0
// the size needed (terminator included); 0 on failure.
int wide_to_utf8(const wchar_t* text, char* out, int out_size);
// UTF-8 to wide, for names that come from the system (argv, paths).
std::wstring utf8_to_wide(const std::string& text);
std::string narrow_path(const std::wstring& path);  // a wide path as the system's file API takes it

}  // namespace platform
