// Helpers of the Windows tests: files of the test folder, temporary folders,
// and a second process that holds a log file open.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The whole content of a file, read through the system's file API.
Bytes read_file_bytes(const std::wstring& path);
std::string read_file_text(const std::wstring& path);
void write_file_bytes(const std::wstring& path, const std::string& content);
bool file_exists(const std::wstring& path);

// The full path of this test executable.
std::wstring own_module_path();
// UTF-8 of a wide string (test expectations are written as UTF-8 literals).
std::string utf8(const std::wstring& text);

// A fresh folder under the system's temporary folder, removed with its
// content when the object goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

void remove_tree(const std::wstring& path);

// Another process of this executable that creates a log file the way the
// launcher does and writes to it until the object goes.
class HeldLogFile {
public:
    explicit HeldLogFile(const std::wstring& path);
    ~HeldLogFile();
    HeldLogFile(const HeldLogFile&) = delete;
    HeldLogFile& operator=(const HeldLogFile&) = delete;

    bool holding() const { return holding_; }

private:
    HANDLE ready_ = nullptr;
    HANDLE release_ = nullptr;
    PROCESS_INFORMATION process_ = {};
    bool holding_ = false;
};

// The sweep's two flags, as a script sets them, restored when the test ends.
class ScopedShippingFlags {
public:
    ScopedShippingFlags(uint8_t upload, uint8_t keep);
    ~ScopedShippingFlags();
    ScopedShippingFlags(const ScopedShippingFlags&) = delete;
    ScopedShippingFlags& operator=(const ScopedShippingFlags&) = delete;

private:
    uint8_t upload_, keep_;
};

// The command-line switch of the holding process, handled by main.
extern const wchar_t kHoldLogSwitch[];
int hold_log_file(int argc, wchar_t** argv);
