// Folders: the user's application-data folder, folder creation, the working
// directory, deletion.
#include <windows.h>
#include <shlobj.h>  // CSIDL_APPDATA, SHGFP_TYPE_CURRENT

#include <string>

#include "platform/platform.h"
#include "platform/win32/system_library.h"

namespace platform {

namespace {

// The roaming application-data folder as the system put it in the
// environment at logon, when that names an existing folder by an absolute
// path: asking the shell instead loads shell32, and with it user32 and gdi32,
// at every start.
bool appdata_from_environment(wchar_t* buffer) {
    const DWORD length = GetEnvironmentVariableW(L"APPDATA", buffer, kMaxPath);
    if (length < 3 || length >= kMaxPath) return false;
    const bool drive_rooted = buffer[1] == L':' && buffer[2] == L'\\';
    const bool unc = buffer[0] == L'\\' && buffer[1] == L'\\';
    const DWORD attributes = GetFileAttributesW(buffer);
    return (drive_rooted || unc) && attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

int32_t get_appdata_folder(wchar_t* buffer) {
    if (appdata_from_environment(buffer)) return S_OK;
    using GetFolderPath = HRESULT (WINAPI*)(HWND, int, HANDLE, DWORD, wchar_t*);
    static const auto get_folder_path = system_function<GetFolderPath>(L"shell32.dll", "SHGetFolderPathW");
    if (get_folder_path == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    return get_folder_path(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer);
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
