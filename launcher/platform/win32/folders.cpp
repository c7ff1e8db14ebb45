// Folders and paths: the user's application-data folder, joins, folder
// creation, the working directory, deletion.
#include <windows.h>
#include <shlobj.h>  // CSIDL_APPDATA, SHGFP_TYPE_CURRENT
#include <shlwapi.h>

#include <string>

#include "platform/platform.h"
#include "platform/win32/system_library.h"

namespace platform {

int32_t get_appdata_folder(wchar_t* buffer) {
    using GetFolderPath = HRESULT (WINAPI*)(HWND, int, HANDLE, DWORD, wchar_t*);
    static const auto get_folder_path = system_function<GetFolderPath>(L"shell32.dll", "SHGetFolderPathW");
    if (get_folder_path == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    return get_folder_path(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer);
}

bool path_append(wchar_t* buffer, const wchar_t* more) {
    return PathAppendW(buffer, more) != FALSE;
}

bool create_directory(const wchar_t* path) { return CreateDirectoryW(path, nullptr) != FALSE; }

bool set_current_directory(const wchar_t* path) { return SetCurrentDirectoryW(path) != FALSE; }

std::wstring current_directory() {
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed == 0) return std::wstring();
    std::wstring directory(needed, L'\0');
    const DWORD written = GetCurrentDirectoryW(needed, &directory[0]);
    if (written == 0 || written >= needed) return std::wstring();
    directory.resize(written);
    return directory;
}

bool delete_file(const wchar_t* path) { return DeleteFileW(path) != FALSE; }

}  // namespace platform
