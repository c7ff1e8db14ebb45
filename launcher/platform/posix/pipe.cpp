// Standard-error capture on POSIX: an unnamed file whose descriptor replaces
// descriptor 2, so that the C runtime's stderr and the interpreter's
// sys.stderr both append to it. Unlike a pipe, a file never makes a writer
// wait for a reader, so nothing reads along while the application runs (a
// reader thread costs a run that does nothing some 5 % of its time): the
// capture is read from the file when the log asks for it. The file lives in
// the log folder, like the capture's spill file, and in memory where there is
// no folder.
#include "platform/pipe.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/platform.h"

namespace platform {

namespace {

// The descriptor that becomes descriptor 2, between the file's creation and
// the reopen of stderr.
int pending_writer = -1;

// How much of the capture file has been read.
uint64_t read_offset = 0;

bool fail_with_errno() {
    set_last_error(win32_error_from_errno(errno));
    return false;
}

int open_capture_file(const wchar_t* folder) {
    if (folder != nullptr && folder[0] != L'\0') {
        File file = create_temporary_file(folder);
        if (file.is_open()) return static_cast<int>(file.release());
    }
    return memfd_create("stderr", MFD_CLOEXEC);
}

}  // namespace

bool capture_needs_reader() { return false; }

PipeHandle create_stderr_pipe(const wchar_t* /*name*/, const wchar_t* folder) {
    const int capture = open_capture_file(folder);
    if (capture < 0) {
        fail_with_errno();
        return kInvalidPipe;
    }
    // Every writer appends, also child processes that inherit descriptor 2
    // and write after this process has read what was there.
    const int writer = fcntl(capture, F_DUPFD_CLOEXEC, 3);
    if (writer < 0 || fcntl(writer, F_SETFL, O_APPEND) != 0) {
        fail_with_errno();
        if (writer >= 0) close(writer);
        close(capture);
        return kInvalidPipe;
    }
    if (pending_writer >= 0) close(pending_writer);
    pending_writer = writer;
    read_offset = 0;
    return capture;
}

intptr_t duplicate_standard_error() {
    return fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
}

bool reopen_stderr_onto_pipe(PipeHandle /*pipe*/, const wchar_t* /*name*/) {
    if (pending_writer < 0) {
        set_last_error(error_code::kInvalidHandle);
        return false;
    }
    std::fflush(stderr);
    const int writer = pending_writer;
    pending_writer = -1;
    const bool duplicated = dup2(writer, STDERR_FILENO) == STDERR_FILENO;
    const int saved_errno = errno;
    close(writer);
    if (!duplicated) {
        errno = saved_errno;
        return fail_with_errno();
    }
    // A write to a closed pipe or socket (the upload at exit among them)
    // fails with EPIPE instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool connect_pipe(PipeHandle /*pipe*/) {
    // The writer is connected from the moment of the reopen.
    set_last_error(error_code::kPipeConnected);
    return false;
}

bool peek_pipe(PipeHandle pipe, uint32_t* available) {
    struct stat info;
    if (fstat(static_cast<int>(pipe), &info) != 0) return fail_with_errno();
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    const uint64_t unread = size > read_offset ? size - read_offset : 0;
    *available = unread > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(unread);
    return true;
}

bool read_pipe(PipeHandle pipe, void* buffer, uint32_t size, uint32_t* done) {
    for (;;) {
        const ssize_t n =
            pread(static_cast<int>(pipe), buffer, size, static_cast<off_t>(read_offset));
        if (n >= 0) {
            read_offset += static_cast<uint64_t>(n);
            *done = static_cast<uint32_t>(n);
            return true;
        }
        if (errno != EINTR) return fail_with_errno();
    }
}

bool wait_for_pipe_data(PipeHandle pipe, int timeout_ms) {
    usleep(static_cast<useconds_t>(timeout_ms) * 1000);
    uint32_t available = 0;
    return peek_pipe(pipe, &available) && available > 0;
}

void wake_pipe_waiter(PipeHandle) {}

void keep_signals_off_this_thread() {}

bool close_pipe(PipeHandle pipe) {
    if (close(static_cast<int>(pipe)) != 0) return fail_with_errno();
    return true;
}

}  // namespace platform
