#include "logging.h"

#include <charconv>
#include <cwchar>
#include <istream>
#include <new>
#include <ostream>
#include <sstream>
#include <streambuf>

#include "platform/files.h"
#include "platform/platform.h"
#include "AppString.h"
#include "stub_exception.h"
#include "util.h"

const std::string meta_tag = "META:stub:";
const std::string stub_tag = "STUB:stub:";
bool log_to_memory = false;

Logger logger;

namespace {

// Output-only stream buffer over a log file. Lines are collected in the
// buffer and handed to the system at every flush, which the sink does at
// each line end. A write the system refuses (a full disk) costs only the
// bytes it held: the stream stays good, later lines are tried again, and
// the close says how many bytes the log lacks in a last line, tried once.
class LogFileBuf : public std::streambuf {
public:
    explicit LogFileBuf(platform::File file) : file_(std::move(file)) {
        setp(buffer_, buffer_ + sizeof(buffer_));
    }
    ~LogFileBuf() override { close(); }

    bool is_open() const { return file_.is_open(); }
    const platform::File& file() const { return file_; }

    bool close() {
        if (!file_.is_open()) return false;
        flush_buffer();
        if (lost_ > 0) write_loss_line();
        return file_.close();
    }

protected:
    int_type overflow(int_type ch) override {
        flush_buffer();
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(ch);
            pbump(1);
        }
        return traits_type::not_eof(ch);
    }

    std::streamsize xsputn(const char* data, std::streamsize size) override {
        if (size > epptr() - pptr()) {
            // Too large for what is left: write out what is waiting, then the
            // piece itself when it would not fit the buffer either.
            flush_buffer();
            if (size > epptr() - pptr()) {
                write_out(data, static_cast<size_t>(size));
                return size;
            }
        }
        traits_type::copy(pptr(), data, static_cast<size_t>(size));
        pbump(static_cast<int>(size));
        return size;
    }

    int sync() override {
        flush_buffer();
        return 0;
    }

private:
    void flush_buffer() {
        const size_t pending = static_cast<size_t>(pptr() - pbase());
        if (pending > 0) write_out(pbase(), pending);
        setp(buffer_, buffer_ + sizeof(buffer_));
    }

    void write_out(const char* data, size_t size) {
        size_t written = 0;
        if (!file_.is_open() || !platform::write_file(file_, data, size, &written)) {
            lost_ += size - written;
        }
    }

    void write_loss_line() {
        std::string line = stub_tag + "The log lacks " + std::to_string(lost_) +
                           " bytes that could not be written";
        line += '\n';
        platform::write_file(file_, line.data(), line.size());
    }

    platform::File file_;
    uint64_t lost_ = 0;
    char buffer_[16 * 1024];
};

// The file kind of the log stream. It offers the same input/output stream
// interface as the memory kind; only its output side is used.
class LogFileStream : public std::iostream {
public:
    explicit LogFileStream(platform::File file) : std::iostream(nullptr), buf_(std::move(file)) {
        init(&buf_);
        if (!buf_.is_open()) setstate(std::ios::failbit);
    }
    void close() {
        if (!buf_.close()) setstate(std::ios::failbit);
    }
    const platform::File& file() const { return buf_.file(); }

private:
    LogFileBuf buf_;
};

bool is_leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int days_in_month(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && is_leap_year(year) ? 29 : days[(month - 1) % 12];
}

// The time one millisecond later, carried through every field.
void advance_one_millisecond(platform::SystemTime* t) {
    if (++t->milliseconds < 1000) return;
    t->milliseconds = 0;
    if (++t->second < 60) return;
    t->second = 0;
    if (++t->minute < 60) return;
    t->minute = 0;
    if (++t->hour < 24) return;
    t->hour = 0;
    t->day_of_week = static_cast<uint16_t>((t->day_of_week + 1) % 7);
    if (++t->day <= days_in_month(t->year, t->month)) return;
    t->day = 1;
    if (++t->month <= 12) return;
    t->month = 1;
    ++t->year;
}

// The time a log file name stands for; false for a name of another form.
bool parse_log_file_name(const std::wstring& name, platform::SystemTime* t) {
    int year, month, day, hour, minute, second, milliseconds;
    if (std::swscanf(name.c_str(), L"%d-%d-%d_%d.%d.%d.%d.log", &year, &month, &day, &hour,
                     &minute, &second, &milliseconds) != 7) {
        return false;
    }
    *t = platform::SystemTime{static_cast<uint16_t>(year),   static_cast<uint16_t>(month),
                              0,
                              static_cast<uint16_t>(day),    static_cast<uint16_t>(hour),
                              static_cast<uint16_t>(minute), static_cast<uint16_t>(second),
                              static_cast<uint16_t>(milliseconds)};
    return true;
}

std::wstring log_file_name_for(const platform::SystemTime& t) {
    return make_log_file_name(t.year, t.month, t.day, t.hour, t.minute, t.second,
                              t.milliseconds);
}

// Names tried after a clash with the log of another run that started in the
// same millisecond; each try moves on by one millisecond.
constexpr int kLogNameAttempts = 1000;

}  // namespace

std::wstring make_log_file_name(uint16_t year, uint16_t month, uint16_t day, uint16_t hour,
                                uint16_t minute, uint16_t second, uint16_t milliseconds) {
    wchar_t buffer[32];
    const int written = std::swprintf(buffer, 32, L"%04d-%02d-%02d_%02d.%02d.%02d.%06d.log",
                                      year, month, day, hour, minute, second, milliseconds);
    if (written < 0 || written >= 32) STUB_RAISE("Failed to construct name of log file");
    return std::wstring(buffer, static_cast<size_t>(written));
}

bool to_utf8(const std::wstring& text, std::string* out) {
    const int size = platform::wide_to_utf8(text.c_str(), nullptr, 0);
    if (size <= 0) return false;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(size)]);
    if (!buffer) return false;
    if (platform::wide_to_utf8(text.c_str(), buffer.get(), size) == 0) return false;
    out->assign(buffer.get());
    return true;
}

Logger::~Logger() {
    stream.reset();
    file_name.clear();
    path.clear();
}

// Creates this run's log file. A file of the same name belongs to another run
// that started in the same millisecond: it is left alone and the next
// millisecond's name is taken instead.
static platform::File create_unique_log_file(std::wstring* file_name, std::wstring* path) {
    platform::SystemTime time{};
    bool time_known = false;
    for (int attempt = 0;; ++attempt) {
        platform::File file = platform::create_log_file(path->c_str());
        if (file.is_open() || platform::get_last_error() != error_code::kFileExists ||
            attempt + 1 >= kLogNameAttempts) {
            return file;
        }
        if (!time_known) {
            if (!parse_log_file_name(*file_name, &time)) return file;
            time_known = true;
        }
        advance_one_millisecond(&time);
        *file_name = log_file_name_for(time);
        *path = path_append(log_dir, *file_name);
    }
}

void Logger::open() {
    in_memory = log_to_memory;

    platform::SystemTime now{};
    platform::get_system_time(&now);
    file_name = log_file_name_for(now);
    path = path_append(log_dir, file_name);

    if (stream) STUB_RAISE("Could not open log, it is already open");

    if (in_memory) {
        stream.reset(new (std::nothrow) std::stringstream(std::ios::in | std::ios::out));
    } else {
        create_log_folders();
        platform::File file = create_unique_log_file(&file_name, &path);
        stream.reset(new (std::nothrow) LogFileStream(std::move(file)));
        if (stream && (stream->fail() || stream->bad())) {
            STUB_RAISE("Could not open log, failed to create ofstream");
        }
    }
    if (!stream) STUB_RAISE("Could not open log, failed to allocate stream");
}

void Logger::close() {
    if (!stream) STUB_RAISE("Hasn't been opened");

    if (!in_memory) {
        static_cast<LogFileStream&>(*stream).close();
        return;
    }

    create_log_folders();
    stream->flush();
    platform::File file = create_unique_log_file(&file_name, &path);
    LogFileStream out(std::move(file));
    if (out.fail() || out.bad()) STUB_RAISE("Failed to create ofstream");
    stream->seekg(0);
    stream->seekp(0, std::ios::end);
    if (stream->tellp() > 0) out << stream->rdbuf();
    out.close();
}

Logger& Logger::write_tag() { return write_bytes(stub_tag.data(), stub_tag.size()); }

Logger& Logger::write_meta_tag() { return write_bytes(meta_tag.data(), meta_tag.size()); }

Logger& Logger::write_text(const char* text) {
    return write_bytes(text, std::char_traits<char>::length(text));
}

Logger& Logger::write_bytes(const char* data, size_t size) {
    if (stream) stream->write(data, static_cast<std::streamsize>(size));
    return *this;
}

Logger& Logger::write_wide(const std::wstring& text) {
    std::string utf8;
    if (to_utf8(text, &utf8)) return write_bytes(utf8.data(), utf8.size());
    return write_text("failed to convert string");
}

Logger& Logger::write_bool(bool value) { return write_text(value ? "true" : "false"); }

Logger& Logger::write_number(int32_t value) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    return write_bytes(digits, static_cast<size_t>(result.ptr - digits));
}

Logger& Logger::write_number(uint32_t value) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    return write_bytes(digits, static_cast<size_t>(result.ptr - digits));
}

Logger& Logger::end_line() {
    if (stream) {
        stream->put('\n');
        stream->flush();
    }
    return *this;
}

void Logger::write_line(const char* text) { write_tag().write_text(text).end_line(); }

int Logger::runtime_descriptor() const {
    if (!stream || in_memory) return -1;
    return platform::runtime_descriptor(static_cast<const LogFileStream&>(*stream).file());
}

void open_log() { logger.open(); }

void close_log() { logger.close(); }

std::wstring get_log_path() { return logger.get_path(); }

// ---- system information record ---------------------------------------------

uint32_t get_bitness() {
    uint16_t architecture = 0;
    if (!platform::get_native_processor_architecture(&architecture)) {
        logger.write_text("Kernel32 doesn't have GetNativeSystemInfo, using GetSystemInfo instead")
            .end_line();
        architecture = platform::get_processor_architecture();
    }
    return architecture == platform::kProcessorArchitectureAmd64 ||
                   architecture == platform::kProcessorArchitectureIa64
               ? 64
               : 32;
}

static void write_meta_line(const char* label, const std::wstring& value) {
    logger.write_meta_tag().write_text(label).write_wide(value).end_line();
}

static void write_meta_line(const char* label, int32_t value) {
    logger.write_meta_tag().write_text(label).write_number(value).end_line();
}

static void write_meta_line(const char* label, uint32_t value) {
    logger.write_meta_tag().write_text(label).write_number(value).end_line();
}

void log_system_info() {
    write_meta_line("version = ", app_strings.FileVersion);
    write_meta_line("product = ", app_strings.__product);

    platform::OsVersion version{};
    if (platform::get_os_version(&version)) {
        write_meta_line("major_version = ", version.major_version);
        write_meta_line("minor_version = ", version.minor_version);
        write_meta_line("product_type = ", static_cast<int32_t>(version.product_type));
        write_meta_line("suite_mask = ", static_cast<int32_t>(version.suite_mask));
    } else {
        logger.write_line("Failed to get OSVERSIONINFO");
    }

    const uint32_t bitness = get_bitness();
    write_meta_line("bitness = ", bitness);
}
