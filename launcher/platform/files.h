// Files: the log file the launcher writes, the log files the sweep reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// An open file; the handle is closed by its destructor.
class File {
public:
    File() = default;
    explicit File(intptr_t handle) : handle_(handle) {}
    File(File&& other) noexcept : handle_(other.release()) {}
    File& operator=(File&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.release();
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { close(); }

    bool is_open() const { return handle_ != kInvalid; }
    intptr_t handle() const { return handle_; }
    intptr_t release() {
        intptr_t h = handle_;
        handle_ = kInvalid;
        return h;
    }
    bool close();  // CloseHandle; false with the last error set when it fails

    static constexpr intptr_t kInvalid = -1;

private:
    intptr_t handle_ = kInvalid;
};

// A new log file, written by this process while others may read and write it
// (CreateFileW with GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
// CREATE_NEW). An existing file is never truncated: that fails with
// ERROR_FILE_EXISTS (80). On POSIX the writer holds a shared flock on it.
File create_log_file(const wchar_t* path);
// WriteFile of all size bytes; false with the last error set. *written, when
// asked for, says how many bytes went out, also when it fails.
bool write_file(const File& file, const void* data, size_t size, size_t* written = nullptr);

// A descriptor of the C runtime for an open file, for code that writes
// through the runtime's descriptors (the interpreter's fault handler), or
// -1. POSIX: the file's own descriptor. Windows: a new descriptor over the
// handle (_open_osfhandle, binary), which is never closed: the handle stays
// the File's, and the descriptor must not be used once the File is closed.
int runtime_descriptor(const File& file);

// A new, empty file in folder that only this process uses, for reading and
// writing, and that the system removes when it is closed (or the process
// ends): POSIX O_TMPFILE, else a name unlinked at once; Windows
// FILE_FLAG_DELETE_ON_CLOSE. The "*.log" search never sees it.
File create_temporary_file(const wchar_t* folder);
// ReadFile at a byte offset (an OVERLAPPED offset, pread), leaving the file
// position alone.
bool read_file_at(const File& file, uint64_t offset, void* buffer, uint32_t size,
                  uint32_t* done);

// CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
// FILE_ATTRIBUTE_NORMAL, NULL), refusing with ERROR_ACCESS_DENIED what is
// not a plain file of its own: a link (a reparse point), a file with more
// than one name (hard links), on POSIX one another user owns. The sweep's
// lock refuses the same.
File open_file_for_reading(const wchar_t* path);
bool get_file_size(const File& file, uint64_t* size);  // GetFileSizeEx
// CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
// OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL): any existing file, links
// followed, for a view that lasts the process (the module archive).
File open_existing_file(const wchar_t* path);
// ReadFile(file, buffer, size, &done, NULL).
bool read_file(const File& file, void* buffer, uint32_t size, uint32_t* done);

// A read-only view of a whole file (CreateFileMappingW and MapViewOfFile;
// mmap), released by its destructor. Its pages are the page cache's, not the
// process's own memory. An empty file gives an empty view.
class FileView {
public:
    FileView() = default;
    FileView(const FileView&) = delete;
    FileView& operator=(const FileView&) = delete;
    ~FileView();

    // false with the last error set when the file cannot be mapped.
    bool map(const File& file, uint64_t size);
    const uint8_t* data() const { return data_; }

private:
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
    intptr_t mapping_ = 0;
};

// What the sweep holds while it reads, posts and deletes one log file: on
// POSIX an exclusive, non-blocking flock, failing with
// ERROR_SHARING_VIOLATION (32) while another process writes the file; on
// Windows the file's own sharing mode does that work and the lock is empty.
class SweepLock {
public:
    static SweepLock acquire(const wchar_t* path);
    bool held() const { return held_; }

private:
    File file_;
    bool held_ = false;
};

// Whether the sweep may work in the folder: false (ERROR_ACCESS_DENIED) for
// a link (a reparse point), and on POSIX for a folder another user owns or
// may write to. A folder that does not exist passes: the search reports it.
bool is_private_folder(const wchar_t* folder);

// FindFirstFileW / FindNextFileW / FindClose.
struct FindData {
    std::wstring name;
    uint32_t attributes = 0;
};
constexpr uint32_t kFileAttributeDirectory = 0x10;

class FileSearch {
public:
    FileSearch() = default;
    FileSearch(const FileSearch&) = delete;
    FileSearch& operator=(const FileSearch&) = delete;
    ~FileSearch() { close(); }

    // FindFirstFileW(pattern): false with the last error set when the search
    // cannot start (ERROR_FILE_NOT_FOUND when nothing matches,
    // ERROR_PATH_NOT_FOUND when the folder is missing).
    bool first(const wchar_t* pattern, FindData* data);
    // FindNextFileW: false with ERROR_NO_MORE_FILES at the end.
    bool next(FindData* data);
    void close();  // FindClose

private:
    void* state_ = nullptr;
};

}  // namespace platform
