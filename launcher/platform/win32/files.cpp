// Files: the log file the launcher writes, the log files the sweep reads and
// the search of the log folder.
#include <windows.h>

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

File create_log_file(const wchar_t* path) {
    return file_from_handle(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool write_file(const File& file, const void* data, size_t size) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(as_handle(file.handle()), next, chunk, &written, nullptr)) return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        next += written;
        size -= written;
    }
    return true;
}

File open_file_for_reading(const wchar_t* path) {
    return file_from_handle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
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

// The sharing mode of the sweep's own open (FILE_SHARE_READ only) already
// keeps it away from a file that another process writes.
SweepLock SweepLock::acquire(const wchar_t*) {
    SweepLock lock;
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
