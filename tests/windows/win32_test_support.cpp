#include "win32_test_support.h"

#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/files.h"
#include "util.h"

namespace fs = std::filesystem;

const wchar_t kHoldLogSwitch[] = L"--hold-log-file";

namespace {

constexpr DWORD kChildTimeoutMs = 60000;

std::wstring unique_suffix() {
    static unsigned counter = 0;
    return std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount()) +
           L"-" + std::to_wstring(++counter);
}

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

}  // namespace

Bytes read_file_bytes(const std::wstring& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + utf8(path));
    std::ostringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    return Bytes(text.begin(), text.end());
}

std::string read_file_text(const std::wstring& path) {
    const Bytes bytes = read_file_bytes(path);
    return std::string(bytes.begin(), bytes.end());
}

void write_file_bytes(const std::wstring& path, const std::string& content) {
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool file_exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring own_module_path() {
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    path.resize(length);
    return path;
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

TempFolder::TempFolder() {
    path_ = (fs::temp_directory_path() / (L"launcher-test-" + unique_suffix())).wstring();
    fs::create_directory(path_);
}

TempFolder::~TempFolder() { remove_tree(path_); }

void remove_tree(const std::wstring& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

ScopedShippingFlags::ScopedShippingFlags(uint8_t upload, uint8_t keep)
    : upload_(upload_logs), keep_(keep_logs) {
    upload_logs = upload;
    keep_logs = keep;
}

ScopedShippingFlags::~ScopedShippingFlags() {
    upload_logs = upload_;
    keep_logs = keep_;
}

// ---- the holding process -----------------------------------------------------

HeldLogFile::HeldLogFile(const std::wstring& path) {
    const std::wstring suffix = unique_suffix();
    const std::wstring ready_name = L"launcher-test-ready-" + suffix;
    const std::wstring release_name = L"launcher-test-release-" + suffix;
    ready_ = CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
    release_ = CreateEventW(nullptr, TRUE, FALSE, release_name.c_str());
    if (ready_ == nullptr || release_ == nullptr) return;

    std::wstring command_line = L"\"" + own_module_path() + L"\" " + kHoldLogSwitch + L" \"" +
                                path + L"\" " + ready_name + L" " + release_name;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process_)) {
        return;
    }
    const HANDLE waited[] = {ready_, process_.hProcess};
    holding_ = WaitForMultipleObjects(2, waited, FALSE, kChildTimeoutMs) == WAIT_OBJECT_0;
}

HeldLogFile::~HeldLogFile() {
    if (release_ != nullptr) SetEvent(release_);
    if (process_.hProcess != nullptr) {
        WaitForSingleObject(process_.hProcess, kChildTimeoutMs);
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
    }
    if (ready_ != nullptr) CloseHandle(ready_);
    if (release_ != nullptr) CloseHandle(release_);
}

// argv: program, switch, path, ready event, release event.
int hold_log_file(int argc, wchar_t** argv) {
    if (argc != 5) return 2;
    Handle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]));
    Handle release(OpenEventW(SYNCHRONIZE, FALSE, argv[4]));
    if (ready.get() == nullptr || release.get() == nullptr) return 3;

    platform::File log = platform::create_log_file(argv[2]);
    if (!log.is_open()) return 4;
    const char line[] = "STUB:stub:held by another process\n";
    if (!platform::write_file(log, line, sizeof line - 1)) return 5;
    SetEvent(ready.get());
    return WaitForSingleObject(release.get(), kChildTimeoutMs) == WAIT_OBJECT_0 ? 0 : 6;
}
