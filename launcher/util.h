// Paths and folders, the boot script resource, standard-error capture and
// log shipping.
#pragma once

#include <cstdint>
#include <string>

extern std::wstring exe_dir;
extern std::wstring exe_path;
extern std::wstring log_dir;

// ---- paths and folders -----------------------------------------------------
// exe_path and exe_dir as init_exe_paths derives them from a module file name.
struct ExePaths {
    std::wstring path;
    std::wstring dir;
};
ExePaths exe_paths_from_module_name(const std::wstring& module_file_name, wchar_t separator);

void init_exe_paths();
std::wstring path_append(const std::wstring& base, const std::wstring& component);
std::wstring compute_log_dir();
void create_log_folders();
void ensure_directory(const std::wstring& path);
// Logs exe_dir and makes it the working directory; false when the change fails.
bool set_working_directory();

// ---- boot script -------------------------------------------------------------
extern const uint8_t descramble_key[16];
uint32_t get_boot_script_size();
void load_boot_script(uint8_t* destination);
void descramble(uint8_t* buffer, uint32_t length);

// ---- standard-error capture ------------------------------------------------
extern intptr_t stderr_pipe;
int redirect_stderr();
int drain_stderr();
// Whether the run wrote anything to standard error that the log does not
// hold yet; false without a capture.
bool stderr_capture_holds_output();
// Ends the capture once the interpreter is finalized: stops its reader,
// writes to the log what arrived after a drain (nothing is written when
// there was none) and closes the pipe.
void finish_stderr_capture();

// ---- log shipping ----------------------------------------------------------
// The two switches of the sweep at exit, set only by the script through the
// module stub: upload_logs starts on, keep_logs off; any nonzero value is on.
extern uint8_t upload_logs;
extern uint8_t keep_logs;

// Capacity lzo_frame demands for n input bytes: n + n/16 + 72, without
// wrap-around.
uint64_t lzo_frame_capacity(uint32_t n);
int lzo_frame(const uint8_t* input, uint32_t n, uint8_t* output, uint32_t* length);

// Where the logs go and how long shipping may take. The defaults are the
// product's: the server's port 80; a request gives up after 120 s in all
// (WinINet's connect, send and receive time-outs added up), and the sweep
// starts no new upload once 300 s have gone by, so a slow or stalling server
// never holds the exit for longer. Logs not sent in time stay for the next
// run. Tests pass a port of their own server and shorter limits.
struct UploadSettings {
    uint16_t port = 80;
    uint32_t request_deadline_ms = 120000;
    uint32_t sweep_budget_ms = 300000;
};

// 0 when the log is done with: the server took it (2xx) or refuses it for
// good (a 4xx other than 408 and 429). Otherwise why it stays for the next
// run: the status of any other answer (3xx, 408, 429, 5xx), or the code of
// a failed transfer (no answer within the deadline included).
int http_post(const std::wstring& host, const std::wstring& object, const uint8_t* body,
              uint32_t body_length, const UploadSettings& settings = UploadSettings());
int upload_log_file(const std::wstring& path, const std::wstring& host, const std::wstring& url,
                    const UploadSettings& settings = UploadSettings());
int ship_logs(const std::wstring& url, const std::wstring& folder, const std::wstring& host,
              const UploadSettings& settings = UploadSettings());
