// Files on POSIX: the log file this process writes, the log files the sweep
// reads, and the folder search that finds them.
//
// Windows keeps a log that another launcher still writes out of the sweep's
// hands through sharing modes. Here the same promise rests on flock: the
// writer holds a shared lock on its open log for as long as it is open, and
// the sweep takes an exclusive, non-blocking lock before it touches a file.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr uint32_t kFileAttributeNormal = 0x80;

void set_error_from_errno(int errno_value) {
    set_last_error(win32_error_from_errno(errno_value));
}

int descriptor_of(const File& file) { return static_cast<int>(file.handle()); }

// Retries a call that a signal interrupted.
template <typename Call>
auto retry_on_eintr(Call call) -> decltype(call()) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

bool lock_shared(int fd) {
    return retry_on_eintr([fd] { return ::flock(fd, LOCK_SH); }) == 0;
}

// A private name beside the final one, which the "*.log" search never matches.
std::string staging_template(const std::string& final_name) { return final_name + ".XXXXXX"; }

// Opens a new file at final_name that is already under its writer's shared
// lock when it appears there: the file is made and locked under a staging
// name, then linked into place. link refuses an existing name, so an existing
// log is never touched. A sweep in another process thus never sees the new
// log unlocked. Returns the descriptor, -1 with errno set, or -2 when the file
// system cannot link and the caller should create the file directly.
int create_locked_by_link(const std::string& final_name) {
    std::string staging = staging_template(final_name);
    std::vector<char> name(staging.begin(), staging.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    if (!lock_shared(fd)) {
        const int saved = errno;
        ::unlink(name.data());
        ::close(fd);
        errno = saved;
        return -1;
    }
    const int linked = ::link(name.data(), final_name.c_str());
    const int link_errno = errno;
    ::unlink(name.data());
    if (linked == 0) return fd;
    ::close(fd);
    if (link_errno == EPERM || link_errno == ENOTSUP || link_errno == EOPNOTSUPP ||
        link_errno == EXDEV || link_errno == EMLINK) {
        return -2;
    }
    errno = link_errno;
    return -1;
}

// The plain way, for file systems without hard links: create, then lock.
int create_then_lock(const std::string& final_name) {
    const int fd = retry_on_eintr([&final_name] {
        return ::open(final_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    });
    if (fd < 0) return -1;
    if (!lock_shared(fd)) {
        const int saved = errno;
        ::close(fd);
        ::unlink(final_name.c_str());
        errno = saved;
        return -1;
    }
    return fd;
}

// CreateFileW's codes for a new file: an existing one is ERROR_FILE_EXISTS, a
// missing folder ERROR_PATH_NOT_FOUND.
uint32_t creation_error(int errno_value) {
    if (errno_value == EEXIST) return error_code::kFileExists;
    if (errno_value == ENOENT || errno_value == ENOTDIR) return error_code::kPathNotFound;
    return win32_error_from_errno(errno_value);
}

// Opens a log file of the folder for reading, never through a link: the
// entry must be a regular file of this user with no other name (a hard
// link would let the sweep send and delete a file from elsewhere). Anything
// else is ERROR_ACCESS_DENIED and stays where it is. O_NONBLOCK keeps the
// open of a FIFO from waiting for a writer.
File open_own_log(const wchar_t* path) {
    const std::string name = narrow_path(path);
    const int fd = retry_on_eintr([&name] {
        return ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    });
    if (fd < 0) {
        // A symbolic link is refused like a file one may not read.
        set_last_error(errno == ELOOP ? error_code::kAccessDenied : win32_error_from_errno(errno));
        return File();
    }
    File file(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        set_error_from_errno(errno);
        return File();
    }
    if (!S_ISREG(info.st_mode) || info.st_nlink != 1 || info.st_uid != ::geteuid()) {
        set_last_error(error_code::kAccessDenied);
        return File();
    }
    return file;
}

// What one search keeps between FindFirstFileW and FindNextFileW.
struct SearchState {
    DIR* dir = nullptr;
    std::string name_pattern;

    ~SearchState() {
        if (dir != nullptr) ::closedir(dir);
    }
};

void split_pattern(const std::string& pattern, std::string* folder, std::string* name_pattern) {
    const size_t slash = pattern.rfind('/');
    if (slash == std::string::npos) {
        *folder = ".";
        *name_pattern = pattern;
    } else {
        *folder = slash == 0 ? std::string("/") : pattern.substr(0, slash);
        *name_pattern = pattern.substr(slash + 1);
    }
}

uint32_t attributes_of(DIR* dir, const char* name) {
    struct stat info {};
    if (::fstatat(::dirfd(dir), name, &info, 0) != 0 &&
        ::fstatat(::dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return kFileAttributeNormal;
    }
    return S_ISDIR(info.st_mode) ? kFileAttributeDirectory : kFileAttributeNormal;
}

// The next entry whose name matches; false at the end (errno 0) or on a
// failure of the folder read (errno set).
bool read_matching_entry(SearchState* state, FindData* data) {
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(state->dir);
        if (entry == nullptr) return false;
        if (::fnmatch(state->name_pattern.c_str(), entry->d_name, 0) != 0) continue;
        data->name = utf8_to_wide(entry->d_name);
        data->attributes = attributes_of(state->dir, entry->d_name);
        return true;
    }
}

}  // namespace

// ---- File ------------------------------------------------------------------

int runtime_descriptor(const File& file) {
    return file.is_open() ? static_cast<int>(file.handle()) : -1;
}

bool File::close() {
    if (!is_open()) return true;
    const int fd = static_cast<int>(release());
    // A close that a signal interrupts has released the descriptor on Linux:
    // it is not retried.
    if (::close(fd) != 0 && errno != EINTR) {
        set_error_from_errno(errno);
        return false;
    }
    return true;
}

// ---- the log file this process writes ----------------------------------------

File create_log_file(const wchar_t* path) {
    const std::string name = narrow_path(path);
    int fd = create_locked_by_link(name);
    if (fd == -2) fd = create_then_lock(name);
    if (fd < 0) {
        set_last_error(creation_error(errno));
        return File();
    }
    return File(fd);
}

bool write_file(const File& file, const void* data, size_t size, size_t* written) {
    const char* next = static_cast<const char*>(data);
    size_t total = 0;
    bool ok = true;
    while (total < size) {
        const ssize_t n =
            retry_on_eintr([&] { return ::write(descriptor_of(file), next, size - total); });
        if (n < 0) {
            set_error_from_errno(errno);
            ok = false;
            break;
        }
        if (n == 0) {
            set_last_error(error_code::kDiskFull);
            ok = false;
            break;
        }
        next += n;
        total += static_cast<size_t>(n);
    }
    if (written != nullptr) *written = total;
    return ok;
}

File create_temporary_file(const wchar_t* folder) {
    const std::string name = narrow_path(folder);
    int fd = retry_on_eintr(
        [&name] { return ::open(name.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); });
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No unnamed files here: a private name, gone from the folder at once.
        std::string pattern = name + "/.capture-XXXXXX";
        fd = ::mkostemp(&pattern[0], O_CLOEXEC);
        if (fd >= 0) ::unlink(pattern.c_str());
    }
    if (fd < 0) {
        set_error_from_errno(errno);
        return File();
    }
    return File(fd);
}

bool read_file_at(const File& file, uint64_t offset, void* buffer, uint32_t size,
                  uint32_t* done) {
    const ssize_t got = retry_on_eintr([&] {
        return ::pread(descriptor_of(file), buffer, size, static_cast<off_t>(offset));
    });
    if (got < 0) {
        *done = 0;
        set_error_from_errno(errno);
        return false;
    }
    *done = static_cast<uint32_t>(got);
    return true;
}

// ---- the log files the sweep reads -------------------------------------------

File open_file_for_reading(const wchar_t* path) {
    File file = open_own_log(path);
    if (!file.is_open()) return file;
    const int fd = descriptor_of(file);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        set_error_from_errno(errno);
        return File();
    }
    return file;
}

File open_existing_file(const wchar_t* path) {
    const std::string name = narrow_path(path);
    const int fd = retry_on_eintr([&name] { return ::open(name.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd < 0) set_error_from_errno(errno);
    return File(fd);
}

bool get_file_size(const File& file, uint64_t* size) {
    struct stat info {};
    if (::fstat(descriptor_of(file), &info) != 0) {
        set_error_from_errno(errno);
        return false;
    }
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

// Like ReadFile on a disk file: reads until size bytes are in or the file
// ends; *done says how many arrived.
bool read_file(const File& file, void* buffer, uint32_t size, uint32_t* done) {
    char* next = static_cast<char*>(buffer);
    uint32_t total = 0;
    while (total < size) {
        const ssize_t got =
            retry_on_eintr([&] { return ::read(descriptor_of(file), next, size - total); });
        if (got < 0) {
            *done = total;
            set_error_from_errno(errno);
            return false;
        }
        if (got == 0) break;
        next += got;
        total += static_cast<uint32_t>(got);
    }
    *done = total;
    return true;
}

// ---- FileView --------------------------------------------------------------------

namespace {
const uint8_t kEmptyView[1] = {0};
}  // namespace

FileView::~FileView() {
    if (size_ > 0) ::munmap(const_cast<uint8_t*>(data_), static_cast<size_t>(size_));
}

bool FileView::map(const File& file, uint64_t size) {
    if (size == 0) {
        data_ = kEmptyView;
        return true;
    }
    if (size > SIZE_MAX) {
        set_last_error(error_code::kNotEnoughMemory);
        return false;
    }
    void* address = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE,
                           descriptor_of(file), 0);
    if (address == MAP_FAILED) {
        set_error_from_errno(errno);
        return false;
    }
    ::madvise(address, static_cast<size_t>(size), MADV_SEQUENTIAL);
    data_ = static_cast<const uint8_t*>(address);
    size_ = size;
    return true;
}

SweepLock SweepLock::acquire(const wchar_t* path) {
    SweepLock lock;
    lock.file_ = open_own_log(path);
    if (!lock.file_.is_open()) return lock;
    const int fd = descriptor_of(lock.file_);
    if (retry_on_eintr([fd] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
        set_last_error(errno == EWOULDBLOCK ? error_code::kSharingViolation
                                            : win32_error_from_errno(errno));
        lock.file_.close();
        return lock;
    }
    lock.held_ = true;
    return lock;
}

bool is_private_folder(const wchar_t* folder) {
    struct stat info {};
    if (::lstat(narrow_path(folder).c_str(), &info) != 0) return true;  // the search says why
    if (S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
        (info.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return true;
    }
    set_last_error(error_code::kAccessDenied);
    return false;
}

// ---- folder search -------------------------------------------------------------

bool FileSearch::first(const wchar_t* pattern, FindData* data) {
    close();
    std::string folder;
    std::string name_pattern;
    split_pattern(narrow_path(pattern), &folder, &name_pattern);

    std::unique_ptr<SearchState> state(new (std::nothrow) SearchState);
    if (!state) {
        set_last_error(error_code::kNotEnoughMemory);
        return false;
    }
    state->name_pattern = name_pattern;
    state->dir = ::opendir(folder.c_str());
    if (state->dir == nullptr) {
        set_last_error(errno == ENOENT || errno == ENOTDIR ? error_code::kPathNotFound
                                                           : win32_error_from_errno(errno));
        return false;
    }
    if (!read_matching_entry(state.get(), data)) {
        set_last_error(errno == 0 ? error_code::kFileNotFound : win32_error_from_errno(errno));
        return false;
    }
    state_ = state.release();
    return true;
}

bool FileSearch::next(FindData* data) {
    SearchState* state = static_cast<SearchState*>(state_);
    if (state == nullptr) {
        set_last_error(error_code::kInvalidHandle);
        return false;
    }
    if (!read_matching_entry(state, data)) {
        set_last_error(errno == 0 ? error_code::kNoMoreFiles : win32_error_from_errno(errno));
        return false;
    }
    return true;
}

void FileSearch::close() {
    delete static_cast<SearchState*>(state_);
    state_ = nullptr;
}

}  // namespace platform
