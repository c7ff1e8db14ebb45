// The named pipe that standard error is captured in.
#include <windows.h>

#include <cstdio>

#include "interpreter_stderr.h"
#include "platform/pipe.h"

namespace platform {

namespace {

HANDLE as_handle(PipeHandle pipe) { return reinterpret_cast<HANDLE>(pipe); }

constexpr DWORD kPipeBufferSize = 65536;
constexpr DWORD kPipeDefaultTimeoutMs = 500;
constexpr DWORD kPollIntervalMs = 5;

}  // namespace

bool capture_needs_reader() { return true; }

PipeHandle create_stderr_pipe(const wchar_t* name, const wchar_t* /*folder*/) {
    HANDLE pipe = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, 0, 1, kPipeBufferSize,
                                   kPipeBufferSize, kPipeDefaultTimeoutMs, nullptr);
    // INVALID_HANDLE_VALUE and kInvalidPipe are both -1.
    return reinterpret_cast<PipeHandle>(pipe);
}

intptr_t duplicate_standard_error() {
    const HANDLE original = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE copy = nullptr;
    if (original == nullptr || original == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return -1;
    }
    return reinterpret_cast<intptr_t>(copy);
}

// Opening the pipe by name as the runtime's stderr connects its client end.
// The interpreter writes through a runtime of its own and is pointed at the
// same pipe right after (see interpreter_stderr.cpp).
bool reopen_stderr_onto_pipe(PipeHandle, const wchar_t* name) {
    if (_wfreopen(name, L"w", stderr) == nullptr) return false;
    return bind_interpreter_stderr();
}

bool connect_pipe(PipeHandle pipe) { return ConnectNamedPipe(as_handle(pipe), nullptr) != FALSE; }

bool peek_pipe(PipeHandle pipe, uint32_t* available) {
    DWORD total = 0;
    if (!PeekNamedPipe(as_handle(pipe), nullptr, 0, nullptr, &total, nullptr)) return false;
    *available = total;
    return true;
}

bool read_pipe(PipeHandle pipe, void* buffer, uint32_t size, uint32_t* done) {
    DWORD read = 0;
    BOOL ok = ReadFile(as_handle(pipe), buffer, size, &read, nullptr);
    *done = read;
    return ok != FALSE;
}

// A pipe opened without overlapped I/O has nothing to wait on: poll it.
bool wait_for_pipe_data(PipeHandle pipe, int timeout_ms) {
    const DWORD started = GetTickCount();
    const DWORD limit = timeout_ms > 0 ? static_cast<DWORD>(timeout_ms) : 0;
    for (;;) {
        uint32_t available = 0;
        if (!peek_pipe(pipe, &available)) return false;
        if (available > 0) return true;
        DWORD elapsed = GetTickCount() - started;
        if (elapsed >= limit) return false;
        DWORD remaining = limit - elapsed;
        Sleep(remaining < kPollIntervalMs ? remaining : kPollIntervalMs);
    }
}

void wake_pipe_waiter(PipeHandle) {}

void keep_signals_off_this_thread() {}

bool close_pipe(PipeHandle pipe) { return CloseHandle(as_handle(pipe)) != FALSE; }

}  // namespace platform
