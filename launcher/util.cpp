#include "util.h"

#include <lzo/lzo1x.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "AppString.h"
#include "logging.h"
#include "platform/byte_order.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/pipe.h"
#include "platform/platform.h"
#include "platform/resources.h"
#include "stub_exception.h"

std::wstring exe_dir;
std::wstring exe_path;
std::wstring log_dir;
uint8_t upload_logs = 1;
uint8_t keep_logs = 0;

// ---- paths and folders -----------------------------------------------------

namespace {

constexpr uint32_t kModuleFileNameSize = 772;
const wchar_t kLongPathPrefix[] = L"\\\\?\\";
constexpr size_t kLongPathPrefixLength = 4;

std::wstring app_data_folder(const char* failure_message) {
    wchar_t folder[platform::kMaxPath] = {};
    if (platform::get_appdata_folder(folder) < 0) {
        STUB_RAISE_ERROR(failure_message, platform::get_last_error());
    }
    return folder;
}

}  // namespace

ExePaths exe_paths_from_module_name(const std::wstring& module_file_name, wchar_t separator) {
    ExePaths paths;
    paths.path = module_file_name;
    if (paths.path.size() > kLongPathPrefixLength &&
        paths.path.compare(0, kLongPathPrefixLength, kLongPathPrefix) == 0) {
        paths.path.erase(0, kLongPathPrefixLength);
    }
    const size_t last_separator = paths.path.rfind(separator);
    paths.dir = last_separator == std::wstring::npos ? paths.path
                                                     : paths.path.substr(0, last_separator);
    return paths;
}

void init_exe_paths() {
    wchar_t buffer[kModuleFileNameSize] = {};
    const uint32_t length = platform::get_module_file_name(buffer, kModuleFileNameSize);
    if (length == 0) {
        STUB_RAISE_ERROR("GetModuleFileNameW failed with error code ", platform::get_last_error());
    }
    if (length >= kModuleFileNameSize) {
        // The name was cut to fit: it names some other file, whose version
        // resource must not be taken for this one's.
        STUB_RAISE_ERROR("GetModuleFileNameW failed with error code ",
                         error_code::kInsufficientBuffer);
    }
    ExePaths paths = exe_paths_from_module_name(buffer, platform::kPathSeparator);
    exe_path = std::move(paths.path);
    exe_dir = std::move(paths.dir);
}

std::wstring path_append(const std::wstring& base, const std::wstring& component) {
    wchar_t buffer[platform::kMaxPath] = {};
    if (base.size() >= platform::kMaxPath) {
        // The base alone does not fit the join's buffer.
        platform::set_last_error(error_code::kFilenameExcedRange);
        STUB_RAISE_ERROR("PathAppendW failed ", platform::get_last_error());
    }
    std::wmemcpy(buffer, base.c_str(), base.size() + 1);
    if (!platform::path_append(buffer, component.c_str())) {
        STUB_RAISE_ERROR("PathAppendW failed ", platform::get_last_error());
    }
    return buffer;
}

std::wstring compute_log_dir() {
    std::wstring path = app_data_folder("SHGetFolderPathW failed with error code ");
    path = path_append(path, app_strings.__company);
    path = path_append(path, app_strings.__product);
    return path_append(path, L"logs");
}

void create_log_folders() {
    std::wstring path = app_data_folder("SHGetFolderPathW failed ");
    path = path_append(path, app_strings.__company);
    ensure_directory(path);
    path = path_append(path, app_strings.__product);
    ensure_directory(path);
    path = path_append(path, L"logs");
    ensure_directory(path);
}

void ensure_directory(const std::wstring& path) {
    if (platform::create_directory(path.c_str())) return;
    if (platform::get_last_error() == error_code::kAlreadyExists) return;
    STUB_RAISE_ERROR("CreateDirectory failed ", platform::get_last_error());
}

bool set_working_directory() {
    logger.write_tag().write_text("Setting working directory to: ").write_wide(exe_dir).end_line();
    return platform::set_current_directory(exe_dir.c_str());
}

// ---- boot script -----------------------------------------------------------

const uint8_t descramble_key[16] = {0x3f, 0x8a, 0x12, 0xc4, 0x7b, 0x05, 0xe9, 0x61,
                                    0xa2, 0xd8, 0x4e, 0x90, 0x17, 0xbb, 0x6c, 0x23};

namespace {

const wchar_t kBootScriptType[] = L"SCRIPT";
constexpr uint16_t kBootScriptId = 1;

platform::ResourceInfo find_boot_script() {
    platform::ResourceInfo info = platform::find_resource(kBootScriptType, kBootScriptId);
    if (info == nullptr) STUB_RAISE_ERROR("FindResource failed ", platform::get_last_error());
    return info;
}

using byte_order::read_le32;
using byte_order::write_le32;

}  // namespace

uint32_t get_boot_script_size() { return platform::sizeof_resource(find_boot_script()); }

void load_boot_script(uint8_t* destination) {
    platform::ResourceInfo info = find_boot_script();
    const uint32_t size = platform::sizeof_resource(info);
    platform::ResourceData data = platform::load_resource(info);
    if (data == nullptr) STUB_RAISE_ERROR("LoadResource failed ", platform::get_last_error());
    const void* bytes = platform::lock_resource(data);
    if (bytes == nullptr) STUB_RAISE_ERROR("LockResource failed ", platform::get_last_error());
    if (size > 0) std::memcpy(destination, bytes, size);
}

// XORs every byte k with key byte k mod 16, a 32-bit word at a time.
void descramble(uint8_t* buffer, uint32_t length) {
    uint32_t key_words[4];
    for (int j = 0; j < 4; ++j) key_words[j] = read_le32(descramble_key + 4 * j);

    const uint32_t word_count = length / 4;
    for (uint32_t i = 0; i < word_count; ++i) {
        uint8_t* word = buffer + 4 * static_cast<size_t>(i);
        write_le32(word, read_le32(word) ^ key_words[i % 4]);
    }
    const uint32_t tail_key = key_words[word_count % 4];
    for (uint32_t k = 4 * word_count, shift = 0; k < length; ++k, shift += 8) {
        buffer[k] ^= static_cast<uint8_t>(tail_key >> shift);
    }
}

// ---- standard-error capture ------------------------------------------------

intptr_t stderr_pipe = 0;

namespace {

constexpr size_t kPipeNameSize = 64;
constexpr uint32_t kCollectChunk = 64 * 1024;
constexpr int kCollectorWaitMs = 50;
// What the capture keeps in memory; more goes to a spill file.
constexpr size_t kCaptureMemoryLimit = 4 * 1024 * 1024;
// The line in front of the captured text in the log.
constexpr char kStderrHeader[] = "Contents of python stderr:";

// What the capture has read and not yet written to the log, in order: the
// first bytes in memory and, once they pass kCaptureMemoryLimit, all of them
// in a spill file in the log folder, which the system removes when it is
// closed. Where no spill file can be had, memory takes the rest: nothing is
// dropped.
class CapturedBytes {
public:
    void append(const char* data, size_t size) {
        if (!spill_.is_open() && !spill_failed_ && memory_.size() + size > kCaptureMemoryLimit) {
            start_spill();
        }
        if (spill_.is_open() && !spill_failed_) {
            if (platform::write_file(spill_, data, size)) {
                spilled_ += size;
                return;
            }
            // The spill file keeps what it has; the rest waits in memory.
            spill_failed_ = true;
        }
        memory_.append(data, size);
    }

    // Writes everything held to the log, in order, and starts empty again.
    // false when the spill file could not be read back to its end.
    bool write_to_log() {
        bool complete = true;
        if (spill_.is_open()) complete = copy_spill_to_log();
        logger.write_bytes(memory_.data(), memory_.size());
        discard();
        return complete;
    }

    bool empty() const { return memory_.empty() && spilled_ == 0; }

    void discard() {
        spill_.close();
        spilled_ = 0;
        spill_failed_ = false;
        std::string().swap(memory_);
    }

private:
    void start_spill() {
        if (log_dir.empty()) {
            spill_failed_ = true;
            return;
        }
        spill_ = platform::create_temporary_file(log_dir.c_str());
        if (!spill_.is_open() || !platform::write_file(spill_, memory_.data(), memory_.size())) {
            spill_.close();
            spill_failed_ = true;
            return;
        }
        spilled_ = memory_.size();
        std::string().swap(memory_);
    }

    bool copy_spill_to_log() {
        std::unique_ptr<char[]> chunk(new (std::nothrow) char[kCollectChunk]);
        if (!chunk) return false;
        for (uint64_t offset = 0; offset < spilled_;) {
            const uint64_t left = spilled_ - offset;
            const uint32_t wanted = left < kCollectChunk ? static_cast<uint32_t>(left) : kCollectChunk;
            uint32_t done = 0;
            if (!platform::read_file_at(spill_, offset, chunk.get(), wanted, &done) || done == 0) {
                return false;
            }
            logger.write_bytes(chunk.get(), done);
            offset += done;
        }
        return true;
    }

    std::string memory_;
    platform::File spill_;
    uint64_t spilled_ = 0;
    bool spill_failed_ = false;
};

// Keeps the pipe empty from the redirection until after the interpreter is
// finalized, so that no writer ever blocks on a full pipe (a daemon thread
// blocked there at finalization would hold the lock of sys.stderr for good),
// where the platform's capture needs such a reader at all. Every pipe read
// happens under one lock, into one buffer; what the reader reads waits in
// one CapturedBytes, which goes to the log before anything read after it, so
// the bytes stay in order whoever reads them.
//
// The reader thread shares the collector and is never waited for: the exit
// does not wait for a thread to wake up, be scheduled and end. Once stopped,
// the reader touches neither the pipe nor the captured bytes again (the
// handle may be closed and reused by then) and waits for the process to end.
class StderrCollector {
public:
    // The collector, with its reader started where the capture needs one.
    static std::shared_ptr<StderrCollector> start(platform::PipeHandle pipe) {
        std::shared_ptr<StderrCollector> collector(new StderrCollector(pipe));
        if (platform::capture_needs_reader()) {
            std::thread([collector] { collector->run(); }).detach();
        }
        return collector;
    }

    // The drain: writes everything the reader captured so far to the log,
    // then what still waits in the pipe, straight from the pipe. The reader
    // goes on afterwards. 0, or the code of the failed pipe call, with
    // *failure naming it.
    uint32_t drain_to_log(const char** failure) {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool captured_complete = captured_.write_to_log();
        const uint32_t result = copy_waiting_bytes_to_log(failure);
        if (!captured_complete && result == 0) {
            *failure = "ReadFile failed";
            return error_code::kHandleEof;
        }
        drained_ = true;
        return result;
    }

    // Whether anything was written to standard error and not yet copied to
    // the log.
    bool holds_output() {
        std::lock_guard<std::mutex> lock(mutex_);
        return !captured_.empty() || bytes_waiting();
    }

    // Stops the reader. What it read since the drain, with what still waits
    // in the pipe, goes to the log as well; without a drain it goes there
    // under the drain's header line. The pipe may be closed afterwards.
    void finish() {
        stopping_ = true;
        platform::wake_pipe_waiter(pipe_);
        std::lock_guard<std::mutex> lock(mutex_);
        if (captured_.empty() && !bytes_waiting()) return;
        if (!drained_) logger.write_line(kStderrHeader);
        captured_.write_to_log();
        const char* failure = nullptr;
        copy_waiting_bytes_to_log(&failure);
    }

private:
    // The buffer of every read is made here, on the starting thread: a
    // reader then allocates nothing until output arrives (a thread's first
    // allocation sets up a memory arena of its own).
    explicit StderrCollector(platform::PipeHandle pipe)
        : pipe_(pipe), chunk_(new char[kCollectChunk]) {}

    void run() {
        platform::keep_signals_off_this_thread();
        read_until_stopped();
        park();
    }

    void read_until_stopped() {
        while (!stopping_) {
            if (!platform::wait_for_pipe_data(pipe_, kCollectorWaitMs)) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
            // The drain may have emptied the pipe since the wait, and the
            // read takes only what waits: it cannot block for good.
            uint32_t done = 0;
            const char* failure = nullptr;
            if (read_waiting_chunk(&done, &failure) != 0) return;
            if (done > 0) captured_.append(chunk_.get(), done);
        }
    }

    // A stopped reader waits for the process to end rather than ending
    // itself: the end of a thread (the release of its start-up state, which
    // sets up a memory arena of the thread's own, and of its stack) costs more
    // than the rest of its life, and the process ends soon after the capture.
    [[noreturn]] static void park() {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }

    // Whether the pipe holds bytes not yet read. Called with the lock held.
    bool bytes_waiting() {
        uint32_t available = 0;
        return platform::peek_pipe(pipe_, &available) && available > 0;
    }

    // Reads into chunk_ whatever waits in the pipe, up to a chunk (far more
    // than a writer puts in with one call), without waiting: *done is 0 when
    // nothing waits. 0, or the code of the failed pipe call, with *failure
    // naming it. Called with the lock held.
    uint32_t read_waiting_chunk(uint32_t* done, const char** failure) {
        *done = 0;
        uint32_t available = 0;
        if (!platform::peek_pipe(pipe_, &available)) {
            *failure = "PeekNamedPipe failed";
            return platform::get_last_error();
        }
        if (available == 0) return 0;
        const uint32_t wanted = available < kCollectChunk ? available : kCollectChunk;
        if (!platform::read_pipe(pipe_, chunk_.get(), wanted, done)) {
            *failure = "ReadFile failed";
            return platform::get_last_error();
        }
        return 0;
    }

    // Copies the pipe to the log until it is empty, without waiting: the
    // bytes go to the log as they are read, however many wait. Called with
    // the lock held, after what the reader captured has gone to the log.
    uint32_t copy_waiting_bytes_to_log(const char** failure) {
        for (;;) {
            uint32_t done = 0;
            const uint32_t result = read_waiting_chunk(&done, failure);
            // Nothing read also ends the copy when a capture file shrank
            // under the reader.
            if (result != 0 || done == 0) return result;
            logger.write_bytes(chunk_.get(), done);
        }
    }

    const platform::PipeHandle pipe_;
    const std::unique_ptr<char[]> chunk_;  // read into under the lock only
    std::mutex mutex_;
    std::atomic<bool> stopping_{false};
    bool drained_ = false;
    CapturedBytes captured_;
};

// Set from a successful redirection until finish_stderr_capture.
std::shared_ptr<StderrCollector> stderr_collector;

}  // namespace

int redirect_stderr() {
    wchar_t name[kPipeNameSize];
    const int length = std::swprintf(name, kPipeNameSize, L"\\\\.\\pipe\\stderr%d",
                                     static_cast<int>(platform::get_current_process_id()));
    if (length < 0 || static_cast<size_t>(length) >= kPipeNameSize) {
        logger.write_line("Failed to construct name of pipe");
        return static_cast<int>(error_code::kInsufficientBuffer);
    }

    stderr_pipe = platform::create_stderr_pipe(name, log_dir.c_str());
    if (stderr_pipe == platform::kInvalidPipe) {
        const uint32_t code = platform::get_last_error();
        logger.write_line("Failed to create named pipe");
        return static_cast<int>(code);
    }
    if (!platform::reopen_stderr_onto_pipe(stderr_pipe, name)) {
        logger.write_line("Could not redirect stream");
        return static_cast<int>(error_code::kInvalidHandle);
    }
    if (platform::connect_pipe(stderr_pipe) ||
        platform::get_last_error() != error_code::kPipeConnected) {
        logger.write_line("ConnectNamedPipe failed");
        return static_cast<int>(error_code::kInvalidHandle);
    }
    stderr_collector = StderrCollector::start(stderr_pipe);
    return 0;
}

int drain_stderr() {
    logger.write_line(kStderrHeader);
    if (stderr_collector == nullptr) return static_cast<int>(error_code::kInvalidHandle);
    const char* failure = nullptr;
    const uint32_t result = stderr_collector->drain_to_log(&failure);
    if (result != 0) {
        logger.write_line(failure);
        finish_stderr_capture();
    }
    return static_cast<int>(result);
}

bool stderr_capture_holds_output() {
    return stderr_collector != nullptr && stderr_collector->holds_output();
}

void finish_stderr_capture() {
    if (stderr_collector == nullptr) return;
    stderr_collector->finish();
    stderr_collector.reset();
    platform::close_pipe(stderr_pipe);
}

// ---- log shipping ----------------------------------------------------------

namespace {

constexpr uint8_t kFrameMarker = 0xF0;
constexpr uint32_t kFrameHeaderSize = 5;
constexpr uint32_t kLzoInitFailed = 1;
constexpr wchar_t kUploadVerb[] = L"POST";
constexpr wchar_t kUploadHeaderFormat[] =
    L"Content-Type: application/octet-stream\nContent-Length: %u";
// Room for the format with the longest count, with its terminator.
constexpr size_t kUploadHeaderCapacity = sizeof(kUploadHeaderFormat) / sizeof(wchar_t) + 16;
constexpr wchar_t kLogPattern[] = L"*.log";
constexpr uint64_t kLargestLogSize = 0xFFFFFFFFull;

// The frame header: the marker, then n with its most significant byte first.
void write_frame_header(uint32_t n, uint8_t* output) {
    output[0] = kFrameMarker;
    output[1] = static_cast<uint8_t>(n >> 24);
    output[2] = static_cast<uint8_t>(n >> 16);
    output[3] = static_cast<uint8_t>(n >> 8);
    output[4] = static_cast<uint8_t>(n);
}

// An error from the HTTP layer that would read as success still means the
// log was not delivered.
uint32_t nonzero_transfer_error(uint32_t code) {
    return code != 0 ? code : error_code::kInternetInternalError;
}

// What an answer means for the log it carried. A 2xx answer delivered it. A
// redirect, 408 (request time-out), 429 (too many requests), a server error,
// or a status that is no final one leaves it for the next run. Any other
// 4xx refuses that log for good: it goes as a delivered one does.
bool answer_keeps_log(uint32_t status) {
    if (status >= 200 && status <= 299) return false;
    if (status >= 400 && status <= 499) return status == 408 || status == 429;
    return true;
}

// A log's bytes for the upload: the file mapped where it can be, so that
// they cost no memory of the process's own; else read into a buffer of
// exactly its size.
class LogContent {
public:
    const uint8_t* data() const { return buffer_ ? buffer_.get() : view_.data(); }
    uint32_t size() const { return size_; }

    // 0, or the reason the log cannot be had. A log too large to frame is
    // refused by its size, before anything is read.
    uint32_t load(const std::wstring& path) {
        platform::File file = platform::open_file_for_reading(path.c_str());
        if (!file.is_open()) return platform::get_last_error();

        uint64_t file_size = 0;
        if (!platform::get_file_size(file, &file_size)) return platform::get_last_error();
        if (file_size > kLargestLogSize) return error_code::kFileTooLarge;
        const uint32_t n = static_cast<uint32_t>(file_size);
        // Below 4 GiB the frame's capacity fits in 32 bits only up to about
        // 3.76 GiB.
        if (lzo_frame_capacity(n) > kLargestLogSize) return error_code::kFileTooLarge;
        size_ = n;
        if (view_.map(file, n)) return error_code::kSuccess;
        return read_into_buffer(file);
    }

private:
    uint32_t read_into_buffer(const platform::File& file) {
        buffer_.reset(new (std::nothrow) uint8_t[size_ == 0 ? 1 : size_]);
        if (!buffer_) return error_code::kNotEnoughMemory;
        uint32_t done = 0;
        if (!platform::read_file(file, buffer_.get(), size_, &done)) {
            return nonzero_transfer_error(platform::get_last_error());
        }
        // The file shrank while it was read: what arrived is not the whole log.
        if (done != size_) return error_code::kHandleEof;
        return error_code::kSuccess;
    }

    platform::FileView view_;
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t size_ = 0;
};

// The request time-outs of a post: WinINet's own, the whole request bounded
// by the deadline the caller gives.
platform::HttpTimeouts timeouts_within(uint32_t deadline_ms) {
    platform::HttpTimeouts timeouts;
    timeouts.total_ms = deadline_ms;
    return timeouts;
}

// What the sweep does with one file: 0 when it was handled as the flags say,
// otherwise why it stays.
uint32_t ship_one_log(const std::wstring& path, const std::wstring& host, const std::wstring& url,
                      bool upload, bool keep, const UploadSettings& settings) {
    if (!upload && keep) return error_code::kSuccess;

    // Held until after the delete: a log that another running launcher still
    // writes is neither sent nor deleted.
    const platform::SweepLock lock = platform::SweepLock::acquire(path.c_str());
    if (!lock.held()) return platform::get_last_error();

    if (upload) {
        const int result = upload_log_file(path, host, url, settings);
        if (result != 0) return static_cast<uint32_t>(result);
    }
    if (!keep) platform::delete_file(path.c_str());
    return error_code::kSuccess;
}

// The folder joined with name, when the result fits in a path buffer.
bool full_path_in_folder(const std::wstring& folder, const wchar_t* name, std::wstring* path) {
    wchar_t buffer[platform::kMaxPath] = {};
    if (folder.size() >= platform::kMaxPath) return false;
    folder.copy(buffer, folder.size());
    if (!platform::path_append(buffer, name)) return false;
    *path = buffer;
    return true;
}

}  // namespace

uint64_t lzo_frame_capacity(uint32_t n) { return uint64_t{n} + n / 16 + 72; }

int lzo_frame(const uint8_t* input, uint32_t n, uint8_t* output, uint32_t* length) {
    if (length == nullptr) return error_code::kInvalidParameter;
    if (*length < lzo_frame_capacity(n)) return error_code::kInsufficientBuffer;
    if (lzo_init() != LZO_E_OK) return kLzoInitFailed;

    // As much work memory as the library in use demands: 64 KiB on a 32-bit
    // build, 128 KiB on a 64-bit one.
    std::unique_ptr<uint8_t[]> work_memory(new (std::nothrow) uint8_t[LZO1X_1_MEM_COMPRESS]);
    if (!work_memory || input == nullptr || output == nullptr) {
        return error_code::kNotEnoughMemory;
    }

    write_frame_header(n, output);
    lzo_uint compressed = 0;
    const int status = lzo1x_1_compress(input, n, output + kFrameHeaderSize, &compressed,
                                        work_memory.get());
    work_memory.reset();
    if (status != LZO_E_OK) return error_code::kInvalidData;

    *length = kFrameHeaderSize + static_cast<uint32_t>(compressed);
    return error_code::kSuccess;
}

int http_post(const std::wstring& host, const std::wstring& object, const uint8_t* body,
              uint32_t body_length, const UploadSettings& settings) {
    // The count is written unsigned: it equals the signed form for every
    // length below 2 GiB and stays a valid Content-Length above it.
    wchar_t headers[kUploadHeaderCapacity] = {};
    std::swprintf(headers, kUploadHeaderCapacity, kUploadHeaderFormat, body_length);

    uint32_t status = 0;
    if (!platform::send_http_request(host.c_str(), settings.port, kUploadVerb, object.c_str(),
                                     headers, body, body_length, &status,
                                     timeouts_within(settings.request_deadline_ms))) {
        return static_cast<int>(nonzero_transfer_error(platform::get_last_error()));
    }
    if (!answer_keeps_log(status)) return error_code::kSuccess;
    return static_cast<int>(status != 0 ? status : error_code::kHttpInvalidServerResponse);
}

int upload_log_file(const std::wstring& path, const std::wstring& host, const std::wstring& url,
                    const UploadSettings& settings) {
    LogContent log;
    const uint32_t load_result = log.load(path);
    if (load_result != 0) return static_cast<int>(load_result);

    // Only the pages the compressor writes become resident.
    const uint64_t capacity = lzo_frame_capacity(log.size());
    std::unique_ptr<uint8_t[]> frame(new (std::nothrow) uint8_t[static_cast<size_t>(capacity)]);
    if (!frame) return error_code::kNotEnoughMemory;

    uint32_t frame_length = static_cast<uint32_t>(capacity);
    const int framed = lzo_frame(log.data(), log.size(), frame.get(), &frame_length);
    if (framed != 0) return framed;

    return http_post(host, url, frame.get(), frame_length, settings);
}

int ship_logs(const std::wstring& url, const std::wstring& folder, const std::wstring& host,
              const UploadSettings& settings) {
    const bool upload = upload_logs != 0;
    const bool keep = keep_logs != 0;

    std::wstring pattern;
    if (!full_path_in_folder(folder, kLogPattern, &pattern)) return error_code::kBadPathname;

    // A logs folder that is a link, or that someone else could fill, is not
    // swept: its files might be anyone's.
    if (!platform::is_private_folder(folder.c_str())) {
        return static_cast<int>(platform::get_last_error());
    }
    platform::FileSearch search;
    platform::FindData entry;
    if (!search.first(pattern.c_str(), &entry)) return static_cast<int>(platform::get_last_error());

    const auto started = std::chrono::steady_clock::now();
    uint32_t end_code = error_code::kSuccess;
    for (;;) {
        // Once the budget is spent no new upload starts; the logs left stay
        // for the next run.
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - started);
        if (upload && spent.count() >= settings.sweep_budget_ms) return error_code::kTimeout;
        UploadSettings this_file = settings;
        const uint64_t left = settings.sweep_budget_ms - static_cast<uint64_t>(spent.count());
        if (left < this_file.request_deadline_ms) {
            this_file.request_deadline_ms = static_cast<uint32_t>(left);
        }

        std::wstring path;
        const bool is_directory = (entry.attributes & platform::kFileAttributeDirectory) != 0;
        // A path that does not fit is skipped: the file is neither sent nor deleted.
        if (!is_directory && full_path_in_folder(folder, entry.name.c_str(), &path)) {
            ship_one_log(path, host, url, upload, keep, this_file);
        }
        if (!search.next(&entry)) {
            end_code = platform::get_last_error();
            break;
        }
    }
    search.close();
    return end_code == error_code::kNoMoreFiles ? 0 : static_cast<int>(end_code);
}
