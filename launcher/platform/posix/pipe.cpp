// Standard-error capture on POSIX: an anonymous pipe whose writing end
// replaces descriptor 2, so that the C runtime's stderr and the interpreter's
// sys.stderr both write into it.
#include "platform/pipe.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr int kRequestedPipeSize = 1024 * 1024;

// The writing end between the pipe's creation and the reopen of stderr.
int pending_writer = -1;

// A byte in this pipe ends a wait for data on the capture pipe.
int wake_ends[2] = {-1, -1};

bool fail_with_errno() {
    set_last_error(win32_error_from_errno(errno));
    return false;
}

}  // namespace

PipeHandle create_stderr_pipe(const wchar_t* /*name*/) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        fail_with_errno();
        return kInvalidPipe;
    }
    if (pending_writer >= 0) close(pending_writer);
    pending_writer = ends[1];
    if (wake_ends[0] < 0 && pipe2(wake_ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        wake_ends[0] = wake_ends[1] = -1;
    }
    // A wake-up left from an earlier capture must not end the next one's waits.
    char stale[16];
    while (wake_ends[0] >= 0 && read(wake_ends[0], stale, sizeof stale) > 0) {
    }
    // Room for a burst of output while the reader waits for its turn on a
    // busy machine; the system may grant less, which is fine.
    fcntl(ends[0], F_SETPIPE_SZ, kRequestedPipeSize);
    return ends[0];
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
    // Once the reading end is closed at exit, later writes fail with EPIPE
    // instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool connect_pipe(PipeHandle /*pipe*/) {
    // The writer is connected from the moment of the reopen.
    set_last_error(error_code::kPipeConnected);
    return false;
}

bool peek_pipe(PipeHandle pipe, uint32_t* available) {
    int count = 0;
    if (ioctl(static_cast<int>(pipe), FIONREAD, &count) != 0) return fail_with_errno();
    *available = static_cast<uint32_t>(count);
    return true;
}

bool read_pipe(PipeHandle pipe, void* buffer, uint32_t size, uint32_t* done) {
    for (;;) {
        const ssize_t n = read(static_cast<int>(pipe), buffer, size);
        if (n >= 0) {
            *done = static_cast<uint32_t>(n);
            return true;
        }
        if (errno != EINTR) return fail_with_errno();
    }
}

bool wait_for_pipe_data(PipeHandle pipe, int timeout_ms) {
    pollfd entries[2] = {{static_cast<int>(pipe), POLLIN, 0}, {wake_ends[0], POLLIN, 0}};
    const int ready = poll(entries, wake_ends[0] >= 0 ? 2 : 1, timeout_ms);
    if (ready <= 0) return false;
    if (entries[1].revents & POLLIN) return false;  // the wake-up stays until it is drained
    const pollfd& entry = entries[0];
    if (entry.revents & POLLIN) return true;
    // Every writer is gone: nothing more can arrive; do not spin.
    usleep(static_cast<useconds_t>(timeout_ms) * 1000);
    return false;
}

void keep_signals_off_this_thread() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

void wake_pipe_waiter(PipeHandle) {
    if (wake_ends[1] < 0) return;
    const char byte = 1;
    (void)!write(wake_ends[1], &byte, 1);
}

bool close_pipe(PipeHandle pipe) {
    if (close(static_cast<int>(pipe)) != 0) return fail_with_errno();
    return true;
}

}  // namespace platform
