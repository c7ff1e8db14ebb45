// Process-wide services of the Win32 API: errors, the module's own name, the
// command line, exit handlers, the message box, libraries, text conversion.
#include <windows.h>

#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/command_line.h"
#include "platform/platform.h"
#include "platform/win32/system_library.h"

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
    // Split once; the vector is never freed: the script may ask for the
    // arguments at any time until the process ends.
    static command_line::ArgumentVector* const vector = [] {
        auto* arguments = new command_line::ArgumentVector;
        std::vector<std::wstring> split = command_line::split(GetCommandLineW());
        if (split.empty()) {
            // An empty command line names the program by its file.
            std::wstring program(32768, L'\0');
            program.resize(get_module_file_name(&program[0], static_cast<uint32_t>(program.size())));
            split.push_back(program);
        }
        arguments->assign(std::move(split));
        return arguments;
    }();
    *count = static_cast<int>(vector->argc());
    return vector->argv();
}

namespace {

// Whether the interpreter can open a stream over the handle: Py_Initialize
// fails outright ("init_sys_streams: can't initialize sys standard streams")
// when a standard handle is open but cannot be examined as a file, as Wine's
// handles onto regular files of the host are. The test is the interpreter's
// own: the file type, and for a disk file its file information.
bool interpreter_can_use(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return true;  // none: sys.stdout is None
    SetLastError(ERROR_SUCCESS);
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN) return GetLastError() == ERROR_SUCCESS;
    if (type != FILE_TYPE_DISK) return true;
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(handle, &information) != 0;
}

HANDLE open_null_device() {
    return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

// The standard handle and the C runtime's descriptor over it both become the
// null device; the runtime's stream keeps working on its descriptor.
void replace_with_null_device(DWORD which, int descriptor) {
    HANDLE for_system = open_null_device();
    if (for_system == INVALID_HANDLE_VALUE) return;
    if (!SetStdHandle(which, for_system)) {
        CloseHandle(for_system);
        return;
    }
    const int opened = _wopen(L"NUL", descriptor == 0 ? _O_RDONLY : _O_WRONLY);
    if (opened < 0) return;
    if (opened != descriptor) {
        _dup2(opened, descriptor);
        _close(opened);
    }
}

}  // namespace

void init_process(int, char**) {
    // Windows hands every process its command line through GetCommandLineW;
    // what needs repair are standard handles the interpreter cannot use.
    // The launcher's own stderr stays where it is: only the interpreter reads
    // these handles (the launcher's capture reopens stderr later).
    struct Standard {
        DWORD which;
        int descriptor;
    };
    static const Standard kStandards[] = {
        {STD_INPUT_HANDLE, 0}, {STD_OUTPUT_HANDLE, 1}, {STD_ERROR_HANDLE, 2}};
    for (const Standard& standard : kStandards) {
        if (!interpreter_can_use(GetStdHandle(standard.which))) {
            replace_with_null_device(standard.which, standard.descriptor);
        }
    }
}

bool register_exit_handler(int (*fn)()) { return _onexit(fn) != nullptr; }

// Only a fatal error shows one: user32 is loaded then.
void message_box(const char* text, const char* caption) {
    using MessageBox = int (WINAPI*)(HWND, const char*, const char*, UINT);
    static const auto show = system_function<MessageBox>(L"user32.dll", "MessageBoxA");
    if (show != nullptr) show(nullptr, text, caption, MB_OK);
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
