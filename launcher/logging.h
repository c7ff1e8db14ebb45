// The process's one log, and the system information record at its head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

extern const std::string meta_tag;  // "META:stub:"
extern const std::string stub_tag;  // "STUB:stub:"
extern bool log_to_memory;

class Logger {
public:
    Logger() = default;
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void open();
    void close();
    const std::wstring& get_path() const { return path; }
    bool has_stream() const { return stream != nullptr; }
    // A descriptor of the C runtime that writes to the open log file (see
    // platform::runtime_descriptor); -1 for a log in memory or none.
    int runtime_descriptor() const;

    Logger& write_tag();
    Logger& write_meta_tag();
    Logger& write_text(const char* text);
    Logger& write_bytes(const char* data, size_t size);
    Logger& write_wide(const std::wstring& text);
    Logger& write_bool(bool value);
    Logger& write_number(int32_t value);
    Logger& write_number(uint32_t value);
    Logger& end_line();
    void write_line(const char* text);

private:
    bool in_memory = false;
    std::wstring path;
    std::wstring file_name;
    std::unique_ptr<std::iostream> stream;
};

extern Logger logger;

void open_log();
void close_log();
std::wstring get_log_path();

// "%04d-%02d-%02d_%02d.%02d.%02d.%06d.log" of a UTC time.
std::wstring make_log_file_name(uint16_t year, uint16_t month, uint16_t day, uint16_t hour,
                                uint16_t minute, uint16_t second, uint16_t milliseconds);
// UTF-8 of text up to its first NUL; false when it cannot be converted.
bool to_utf8(const std::wstring& text, std::string* out);

void log_system_info();
uint32_t get_bitness();
