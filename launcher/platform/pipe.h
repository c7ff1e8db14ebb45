// The pipe that the interpreter's standard error is captured in.
#pragma once

#include <cstdint>

namespace platform {

using PipeHandle = intptr_t;
constexpr PipeHandle kInvalidPipe = -1;

// Whether the capture needs a reader all along. Windows: yes, a writer
// waits once the pipe holds 64 KiB. POSIX: no, the capture is a file that
// holds whatever is written until it is read. The waits, the wake-up and the
// signal mask below serve that reader only.
bool capture_needs_reader();
// CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, 0, 1, 65536, 65536, 500, NULL):
// the reading (server) end, or kInvalidPipe with the last error set. On POSIX
// an unnamed file in folder (the log folder), or in memory when folder is
// empty or refuses one; the name is not used. Windows does not use folder.
PipeHandle create_stderr_pipe(const wchar_t* name, const wchar_t* folder);
// A duplicate of the process's standard error as it was given, not inherited
// by child processes: a descriptor on POSIX, a HANDLE on Windows; -1 when
// there is none. Taken before the reopen, it still reaches whatever standard
// error the parent process handed over.
intptr_t duplicate_standard_error();
// _wfreopen(name, L"w", stderr): the runtime's standard-error stream (and on
// POSIX descriptor 2) becomes the pipe's writing end. On Windows it also
// points the interpreter's sys.stderr at the pipe. False when it fails.
bool reopen_stderr_onto_pipe(PipeHandle pipe, const wchar_t* name);
// ConnectNamedPipe(pipe, NULL). After the reopen the client is connected, so
// this returns false with ERROR_PIPE_CONNECTED (535) when all is well.
bool connect_pipe(PipeHandle pipe);
// PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL).
bool peek_pipe(PipeHandle pipe, uint32_t* available);
// ReadFile(pipe, buffer, size, &done, NULL).
bool read_pipe(PipeHandle pipe, void* buffer, uint32_t size, uint32_t* done);
// Waits at most timeout_ms for data; true when some is waiting.
bool wait_for_pipe_data(PipeHandle pipe, int timeout_ms);
// Ends a wait_for_pipe_data of another thread on this pipe at once (it then
// returns false), so that a reader can be stopped without waiting out its
// time-out. Windows: the wait polls in short steps and needs no wake-up.
void wake_pipe_waiter(PipeHandle pipe);
// Called first on the thread that reads the pipe: on POSIX it blocks every
// signal there, so that signals sent to the process reach the interpreter's
// thread and obey the masks the application sets (signal.pthread_sigmask).
// Windows: nothing to do.
void keep_signals_off_this_thread();
bool close_pipe(PipeHandle pipe);  // CloseHandle

}  // namespace platform
