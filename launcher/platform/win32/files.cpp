// Files: the log file the launcher writes, the log files the sweep reads and
// the search of the log folder.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "platform/files.h"

namespace platform {

namespace {

HANDLE as_handle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

File file_from_handle(HANDLE handle) {
    // INVALID_HANDLE_VALUE and File::kInvalid are both -1.
    return File(reinterpret_cast<intptr_t>(handle));
}

}  // namespace

bool File::close() {
    if (!is_open()) return true;
    HANDLE handle = as_handle(release());
    return CloseHandle(handle) != FALSE;
}

int runtime_descriptor(const File& file) {
    if (!file.is_open()) return -1;
    return _open_osfhandle(file.handle(), _O_BINARY | _O_APPEND);
}

File create_log_file(const wchar_t* path) {
    return file_from_handle(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool write_file(const File& file, const void* data, size_t size, size_t* written) {
    const char* next = static_cast<const char*>(data);
    size_t total = 0;
    bool ok = true;
    while (total < size) {
        const size_t left = size - total;
        DWORD chunk = left > MAXDWORD ? MAXDWORD : static_cast<DWORD>(left);
        DWORD done = 0;
        if (!WriteFile(as_handle(file.handle()), next, chunk, &done, nullptr)) {
            total += done;
            ok = false;
            break;
        }
        if (done == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            ok = false;
            break;
        }
        next += done;
        total += done;
    }
    if (written != nullptr) *written = total;
    return ok;
}

File create_temporary_file(const wchar_t* folder) {
    static LONG counter = 0;
    wchar_t name[MAX_PATH];
    const int length = _snwprintf(name, MAX_PATH, L"%ls\\capture-%lu-%ld.tmp", folder,
                                  GetCurrentProcessId(), InterlockedIncrement(&counter));
    if (length < 0 || length >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return File();
    }
    return file_from_handle(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW,
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                        nullptr));
}

bool read_file_at(const File& file, uint64_t offset, void* buffer, uint32_t size,
                  uint32_t* done) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    const BOOL ok = ReadFile(as_handle(file.handle()), buffer, size, &read, &at);
    *done = read;
    if (!ok && GetLastError() == ERROR_HANDLE_EOF) {
        *done = 0;
        return true;
    }
    return ok != FALSE;
}

// A reparse point (a symbolic link, a junction) is opened as itself, not
// followed, and refused like a file with a second name.
File open_file_for_reading(const wchar_t* path) {
    File file = file_from_handle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                             nullptr));
    if (!file.is_open()) return file;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(as_handle(file.handle()), &info)) return File();
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks != 1) {
        file.close();
        SetLastError(ERROR_ACCESS_DENIED);
        return File();
    }
    return file;
}

namespace {

bool is_reparse_point(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

bool is_private_folder(const wchar_t* folder) {
    if (!is_reparse_point(folder)) return true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

File open_existing_file(const wchar_t* path) {
    return file_from_handle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool get_file_size(const File& file, uint64_t* size) {
    LARGE_INTEGER found;
    if (!GetFileSizeEx(as_handle(file.handle()), &found)) return false;
    *size = static_cast<uint64_t>(found.QuadPart);
    return true;
}

bool read_file(const File& file, void* buffer, uint32_t size, uint32_t* done) {
    DWORD read = 0;
    BOOL ok = ReadFile(as_handle(file.handle()), buffer, size, &read, nullptr);
    *done = read;
    return ok != FALSE;
}

namespace {
const uint8_t kEmptyView[1] = {0};
}  // namespace

FileView::~FileView() {
    if (size_ > 0) UnmapViewOfFile(data_);
    if (mapping_ != 0) CloseHandle(reinterpret_cast<HANDLE>(mapping_));
}

bool FileView::map(const File& file, uint64_t size) {
    if (size == 0) {
        data_ = kEmptyView;
        return true;
    }
    if (size > SIZE_MAX) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    HANDLE mapping = CreateFileMappingW(as_handle(file.handle()), nullptr, PAGE_READONLY, 0, 0,
                                        nullptr);
    if (mapping == nullptr) return false;
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
    if (view == nullptr) {
        const DWORD code = GetLastError();
        CloseHandle(mapping);
        SetLastError(code);
        return false;
    }
    mapping_ = reinterpret_cast<intptr_t>(mapping);
    data_ = static_cast<const uint8_t*>(view);
    size_ = size;
    return true;
}

// The sharing mode of the sweep's own open (FILE_SHARE_READ only) already
// keeps it away from a file that another process writes. A reparse point is
// left alone, never sent and never deleted.
SweepLock SweepLock::acquire(const wchar_t* path) {
    SweepLock lock;
    if (is_reparse_point(path)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return lock;
    }
    lock.held_ = true;
    return lock;
}

namespace {

void copy_find_data(const WIN32_FIND_DATAW& found, FindData* data) {
    data->name = found.cFileName;
    data->attributes = found.dwFileAttributes;
}

}  // namespace

bool FileSearch::first(const wchar_t* pattern, FindData* data) {
    close();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    state_ = search;
    copy_find_data(found, data);
    return true;
}

bool FileSearch::next(FindData* data) {
    if (state_ == nullptr) {
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
    WIN32_FIND_DATAW found;
    if (!FindNextFileW(static_cast<HANDLE>(state_), &found)) return false;
    copy_find_data(found, data);
    return true;
}

void FileSearch::close() {
    if (state_ == nullptr) return;
    // The caller reads the reason the search ended after closing it.
    DWORD reason = GetLastError();
    FindClose(static_cast<HANDLE>(state_));
    state_ = nullptr;
    SetLastError(reason);
}

}  // namespace platform
