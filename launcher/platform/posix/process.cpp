// The process, system information, folders, libraries and text conversion on
// POSIX systems, with Win32 error codes in a per-thread last-error value.
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/command_line.h"
#include "platform/platform.h"

static_assert(sizeof(wchar_t) == 4, "wide strings hold code points on POSIX systems");

namespace platform {
namespace {

thread_local uint32_t last_error = error_code::kSuccess;

// Win32 codes of this file beyond the shared list.
constexpr uint32_t kNoUnicodeTranslation = 1113;

constexpr int32_t kHresultWin32Facility = static_cast<int32_t>(0x80070000u);
constexpr uint32_t kMaxCodePoint = 0x10FFFF;
constexpr wchar_t kReplacementCharacter = 0xFFFD;

bool fail(uint32_t code) {
    last_error = code;
    return false;
}

bool fail_with_errno() { return fail(win32_error_from_errno(errno)); }

// For the functions that report failure as 0.
int fail_with_zero(uint32_t code) {
    last_error = code;
    return 0;
}

// ---- UTF-8 ---------------------------------------------------------------------

bool is_encodable(uint32_t c) { return c <= kMaxCodePoint && !(c >= 0xD800 && c <= 0xDFFF); }

size_t utf8_length(uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

void append_utf8(uint32_t c, std::string* out) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Bytes that are no part of valid UTF-8 travel in wide strings as the lone
// surrogates U+DC80 to U+DCFF, one per byte, and turn back into the same
// bytes on the way out (the interpreter's "surrogateescape" form, which its
// os functions take), so that every file name survives the round trip.
constexpr uint32_t kEscapedByteBase = 0xDC00;

bool is_escaped_byte(uint32_t c) { return c >= kEscapedByteBase + 0x80 && c <= kEscapedByteBase + 0xFF; }

// The sequence that starts at text[pos]: its code point and length; a byte
// that begins no valid sequence is escaped on its own.
size_t decode_utf8_at(const std::string& text, size_t pos, uint32_t* code_point) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(pos);
    *code_point = kEscapedByteBase + lead;
    if (lead < 0x80) {
        *code_point = lead;
        return 1;
    }
    size_t length;
    uint32_t value;
    uint8_t low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 1;
    }
    for (size_t i = 1; i < length; ++i) {
        if (pos + i >= text.size()) return 1;
        const uint8_t next = byte(pos + i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 1;
        value = (value << 6) | (next & 0x3F);
    }
    *code_point = value;
    return length;
}

// UTF-8, or the byte itself for an escaped byte.
void append_system_form(uint32_t c, std::string* out) {
    if (is_escaped_byte(c)) {
        out->push_back(static_cast<char>(c - kEscapedByteBase));
    } else {
        append_utf8(c, out);
    }
}

// ---- arguments -----------------------------------------------------------------

// The process's arguments, decoded once and kept for the rest of the process.
command_line::ArgumentVector& argument_vector() {
    static auto* vector = new command_line::ArgumentVector;  // outlives every exit handler
    return *vector;
}

std::vector<std::wstring> wide_arguments(const std::vector<std::string>& arguments) {
    std::vector<std::wstring> wide;
    for (const std::string& argument : arguments) wide.push_back(utf8_to_wide(argument));
    return wide;
}

// The arguments as the kernel recorded them, for a process whose main did not
// pass them on.
std::vector<std::string> arguments_from_proc() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> arguments;
    size_t start = 0;
    while (start < content.size()) {
        const size_t end = content.find('\0', start);
        arguments.push_back(content.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return arguments;
}

void open_null_onto_closed_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0) continue;
        if (null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

// ---- exit handlers -------------------------------------------------------------

constexpr size_t kExitSlots = 8;
int (*exit_handlers[kExitSlots])() = {};
size_t exit_handlers_used = 0;

template <size_t Slot>
void run_exit_handler() {
    exit_handlers[Slot]();
}

template <size_t... Slots>
constexpr std::array<void (*)(), sizeof...(Slots)> make_trampolines(std::index_sequence<Slots...>) {
    return {{&run_exit_handler<Slots>...}};
}

// What the runtime's exit list calls: slot i runs exit_handlers[i].
constexpr auto kExitTrampolines = make_trampolines(std::make_index_sequence<kExitSlots>());

// ---- folders -------------------------------------------------------------------

bool is_absolute(const char* path) { return path != nullptr && path[0] == '/'; }

std::string home_from_passwd() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry;
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::string();
    return is_absolute(found->pw_dir) ? std::string(found->pw_dir) : std::string();
}

std::string without_trailing_separators(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// $XDG_DATA_HOME when it is absolute, else .local/share in the home folder
// ($HOME when it is absolute, else the user's passwd entry); empty when
// there is no home folder.
std::string appdata_folder_narrow() {
    const char* data_home = std::getenv("XDG_DATA_HOME");
    if (is_absolute(data_home)) return without_trailing_separators(data_home);
    const char* home_variable = std::getenv("HOME");
    const std::string home = is_absolute(home_variable) ? std::string(home_variable) : home_from_passwd();
    if (home.empty()) return home;
    const std::string base = without_trailing_separators(home);
    return (base == "/" ? std::string() : base) + "/.local/share";
}

// Makes the folder and any missing parents with mode 0700, as the XDG base
// directory rules ask of the data home. Whatever fails shows up later, when
// the log folders below it are made.
void create_folder_chain(const std::string& folder) {
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0) return;
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string level = folder.substr(0, slash);
        if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) return;
        if (slash == std::string::npos) return;
    }
}

int32_t hresult_from_win32(uint32_t code) {
    return kHresultWin32Facility | static_cast<int32_t>(code & 0xFFFF);
}

}  // namespace

// ---- errors ----------------------------------------------------------------------

uint32_t get_last_error() { return last_error; }

void set_last_error(uint32_t code) { last_error = code; }

// ---- process -------------------------------------------------------------------

const wchar_t kPathSeparator = L'/';
const bool kInterpreterUtf8Mode = true;

uint32_t get_module_file_name(wchar_t* buffer, uint32_t size) {
    std::string target(PATH_MAX, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", &target[0], target.size());
        if (n < 0) return fail_with_zero(win32_error_from_errno(errno));
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            break;
        }
        target.resize(target.size() * 2);
    }
    const std::wstring name = utf8_to_wide(target);
    if (size == 0 || buffer == nullptr) return fail_with_zero(error_code::kInsufficientBuffer);
    if (name.size() < size) {
        std::wmemcpy(buffer, name.c_str(), name.size() + 1);
        return static_cast<uint32_t>(name.size());
    }
    // Too long: the first size - 1 characters, NUL-ended, and the full size.
    std::wmemcpy(buffer, name.c_str(), size - 1);
    buffer[size - 1] = L'\0';
    last_error = error_code::kInsufficientBuffer;
    return size;
}

void init_process(int argc, char** argv) {
    open_null_onto_closed_standard_descriptors();
    std::vector<std::string> arguments;
    for (int i = 0; i < argc && argv != nullptr && argv[i] != nullptr; ++i) arguments.push_back(argv[i]);
    argument_vector().assign(wide_arguments(arguments));
}

wchar_t** command_line_to_argv(int* count) {
    command_line::ArgumentVector& vector = argument_vector();
    if (vector.argv() == nullptr) vector.assign(wide_arguments(arguments_from_proc()));
    const size_t argc = vector.argc();
    if (argc == 0 || argc > static_cast<size_t>(INT_MAX)) {
        *count = 0;
        last_error = error_code::kInvalidParameter;
        return nullptr;
    }
    *count = static_cast<int>(argc);
    return vector.argv();
}

bool register_exit_handler(int (*fn)()) {
    if (fn == nullptr) return fail(error_code::kInvalidParameter);
    if (exit_handlers_used == kExitSlots) return fail(error_code::kNotEnoughMemory);
    const size_t slot = exit_handlers_used;
    exit_handlers[slot] = fn;
    if (std::atexit(kExitTrampolines[slot]) != 0) {
        exit_handlers[slot] = nullptr;
        return fail(error_code::kNotEnoughMemory);
    }
    ++exit_handlers_used;
    return true;
}

void message_box(const char* text, const char* caption) {
    const std::string message =
        std::string(caption ? caption : "") + "\n" + std::string(text ? text : "") + "\n";
    size_t written = 0;
    while (written < message.size()) {
        const ssize_t n = write(STDERR_FILENO, message.data() + written, message.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
}

uint32_t get_current_process_id() { return static_cast<uint32_t>(getpid()); }

// ---- time and system information ------------------------------------------------

void get_system_time(SystemTime* time) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    time->year = static_cast<uint16_t>(utc.tm_year + 1900);
    time->month = static_cast<uint16_t>(utc.tm_mon + 1);
    time->day_of_week = static_cast<uint16_t>(utc.tm_wday);
    time->day = static_cast<uint16_t>(utc.tm_mday);
    time->hour = static_cast<uint16_t>(utc.tm_hour);
    time->minute = static_cast<uint16_t>(utc.tm_min);
    time->second = static_cast<uint16_t>(utc.tm_sec);
    time->milliseconds = static_cast<uint16_t>(now.tv_nsec / 1000000);
}

namespace {

// The decimal number at *p, advancing *p past it; false when there is none or
// it does not fit 32 bits.
bool read_decimal(const char** p, uint32_t* value) {
    if (**p < '0' || **p > '9') return false;
    uint64_t result = 0;
    for (; **p >= '0' && **p <= '9'; ++*p) {
        result = result * 10 + static_cast<uint64_t>(**p - '0');
        if (result > UINT32_MAX) return false;
    }
    *value = static_cast<uint32_t>(result);
    return true;
}

bool is_64_bit_machine(const std::string& machine) {
    return machine.find("64") != std::string::npos || machine == "s390x" || machine == "alpha";
}

}  // namespace

bool get_os_version(OsVersion* version) {
    utsname names{};
    if (uname(&names) != 0) return fail_with_errno();
    const char* p = names.release;
    uint32_t major = 0, minor = 0;
    if (!read_decimal(&p, &major)) return fail(error_code::kInvalidData);
    if (*p == '.') {
        ++p;
        if (!read_decimal(&p, &minor)) minor = 0;
    }
    version->major_version = major;
    version->minor_version = minor;
    version->product_type = 1;  // a workstation
    version->suite_mask = 0;
    return true;
}

bool get_native_processor_architecture(uint16_t* architecture) {
    utsname names{};
    if (uname(&names) != 0) {
        *architecture = get_processor_architecture();
        return true;
    }
    const std::string machine = names.machine;
    if (machine == "ia64") {
        *architecture = kProcessorArchitectureIa64;
    } else if (is_64_bit_machine(machine)) {
        *architecture = kProcessorArchitectureAmd64;
    } else {
        *architecture = kProcessorArchitectureIntel;
    }
    return true;
}

uint16_t get_processor_architecture() {
    return sizeof(void*) == 8 ? kProcessorArchitectureAmd64 : kProcessorArchitectureIntel;
}

// ---- folders and paths ------------------------------------------------------------

// The data home always exists afterwards, as the application-data folder
// does on Windows: a missing one is made.
int32_t get_appdata_folder(wchar_t* buffer) {
    const std::string narrow = appdata_folder_narrow();
    const std::wstring folder = utf8_to_wide(narrow);
    if (folder.empty()) {
        last_error = error_code::kPathNotFound;
        return hresult_from_win32(last_error);
    }
    if (folder.size() + 1 > kMaxPath) {
        last_error = error_code::kFilenameExcedRange;
        return hresult_from_win32(last_error);
    }
    create_folder_chain(narrow);
    std::wmemcpy(buffer, folder.c_str(), folder.size() + 1);
    return 0;
}

// A missing parent folder is ERROR_PATH_NOT_FOUND, as CreateDirectoryW reports
// it; an existing entry of that name, folder or not, ERROR_ALREADY_EXISTS.
bool create_directory(const wchar_t* path) {
    if (mkdir(narrow_path(path).c_str(), 0700) == 0) return true;
    return errno == ENOENT ? fail(error_code::kPathNotFound) : fail_with_errno();
}

bool set_current_directory(const wchar_t* path) {
    if (chdir(narrow_path(path).c_str()) != 0) return fail_with_errno();
    return true;
}

std::wstring current_directory() {
    std::vector<char> buffer(256);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
    return utf8_to_wide(buffer.data());
}

bool delete_file(const wchar_t* path) {
    if (unlink(narrow_path(path).c_str()) != 0) return fail_with_errno();
    return true;
}

// ---- dynamic libraries -------------------------------------------------------------

void* load_library(const wchar_t* name) {
    const std::string narrow = narrow_path(name);
    void* module = dlopen(narrow.c_str(), RTLD_NOW);
    if (module != nullptr) return module;
    // A named file that exists but cannot be loaded is a bad image; anything
    // else was not found.
    struct stat info {};
    const bool exists = narrow.find('/') != std::string::npos && stat(narrow.c_str(), &info) == 0;
    last_error = exists ? error_code::kBadExeFormat : error_code::kModNotFound;
    return nullptr;
}

void free_library(void* module) {
    if (module != nullptr) dlclose(module);
}

// ---- text -------------------------------------------------------------------------

int wide_to_utf8(const wchar_t* text, char* out, int out_size) {
    if (text == nullptr || out_size < 0 || (out_size > 0 && out == nullptr))
        return fail_with_zero(error_code::kInvalidParameter);
    size_t needed = 1;  // the terminator
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        const uint32_t c = static_cast<uint32_t>(*p);
        if (is_escaped_byte(c)) {
            needed += 1;
            continue;
        }
        if (!is_encodable(c)) return fail_with_zero(kNoUnicodeTranslation);
        needed += utf8_length(c);
        if (needed > static_cast<size_t>(INT_MAX)) return fail_with_zero(error_code::kInvalidParameter);
    }
    if (out_size == 0) return static_cast<int>(needed);
    if (needed > static_cast<size_t>(out_size)) return fail_with_zero(error_code::kInsufficientBuffer);
    std::string encoded;
    encoded.reserve(needed);
    for (const wchar_t* p = text; *p != L'\0'; ++p) append_system_form(static_cast<uint32_t>(*p), &encoded);
    std::memcpy(out, encoded.c_str(), needed);
    return static_cast<int>(needed);
}

std::wstring utf8_to_wide(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        uint32_t c = 0;
        pos += decode_utf8_at(text, pos, &c);
        wide.push_back(static_cast<wchar_t>(c));
    }
    return wide;
}

// Escaped bytes become their bytes again; other characters that UTF-8 cannot
// carry (surrogates, values above U+10FFFF) become U+FFFD: no such name can
// exist on the system.
std::string narrow_path(const std::wstring& path) {
    std::string narrow;
    narrow.reserve(path.size());
    for (wchar_t ch : path) {
        const uint32_t c = static_cast<uint32_t>(ch);
        append_system_form(is_encodable(c) || is_escaped_byte(c) ? c : kReplacementCharacter,
                           &narrow);
    }
    return narrow;
}

}  // namespace platform
