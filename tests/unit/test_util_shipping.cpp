// Log shipping: the LZO frame, the HTTP POST, the log folder sweep, and the
// POSIX file layer under them. The network cases run against the real
// collector (tools/collector.py) on a port of the loopback that it picks
// itself; they need no special rights.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/http.h"
#include "platform/platform.h"
#include "test_support.h"
#include "util.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#endif

namespace {

std::vector<uint8_t> frame_of(const std::vector<uint8_t>& input) {
    std::vector<uint8_t> output(static_cast<size_t>(lzo_frame_capacity(
        static_cast<uint32_t>(input.size()))));
    uint32_t length = static_cast<uint32_t>(output.size());
    const uint8_t dummy = 0;
    const int result = lzo_frame(input.empty() ? &dummy : input.data(),
                                 static_cast<uint32_t>(input.size()), output.data(), &length);
    EXPECT_EQ(result, 0);
    output.resize(result == 0 ? length : 0);
    return output;
}

std::vector<uint8_t> bytes_of(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Lines like the ones a launcher writes, with varying numbers and words.
[[maybe_unused]] std::string log_like_text(size_t size, unsigned seed) {
    static const char* const kWords[] = {"Loading", "module", "from", "archive", "lib.dll",
                                         "Finalizing", "window", "opened", "config", "value"};
    std::mt19937 random(seed);
    std::string text;
    text.reserve(size + 128);
    while (text.size() < size) {
        text += random() % 4 == 0 ? "STUB:stub:" : "";
        for (int w = 0, words = 2 + static_cast<int>(random() % 8); w < words; ++w) {
            text += kWords[random() % 10];
            text += ' ';
        }
        text += std::to_string(random() % 100000);
        text += '\n';
    }
    text.resize(size);
    return text;
}

std::vector<uint8_t> random_bytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

// ---- the frame -----------------------------------------------------------------

TEST(LzoFrame, CapacityIsNPlusNOver16Plus72WithoutWrapAround) {
    EXPECT_EQ(lzo_frame_capacity(0), 72u);
    EXPECT_EQ(lzo_frame_capacity(16), 89u);
    EXPECT_EQ(lzo_frame_capacity(1000), 1134u);
    EXPECT_EQ(lzo_frame_capacity(0xFFFFFFFFu), 0xFFFFFFFFull + 0x0FFFFFFFull + 72);
    EXPECT_GT(lzo_frame_capacity(0xF0F0F0F0u), 0xFFFFFFFFull);
}

TEST(LzoFrame, SmallInputsGiveTheirExactFrames) {
    EXPECT_EQ(frame_of({}), (std::vector<uint8_t>{0xF0, 0, 0, 0, 0, 0x11, 0, 0}));
    EXPECT_EQ(frame_of(bytes_of("abc")),
              (std::vector<uint8_t>{0xF0, 0, 0, 0, 3, 0x14, 'a', 'b', 'c', 0x11, 0, 0}));
}

TEST(LzoFrame, LengthInTheHeaderIsBigEndian) {
    const std::vector<uint8_t> frame = frame_of(std::vector<uint8_t>(258, 'x'));
    ASSERT_GE(frame.size(), 5u);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 5),
              (std::vector<uint8_t>{0xF0, 0x00, 0x00, 0x01, 0x02}));

    const std::vector<uint8_t> bigger = frame_of(random_bytes(0x012345, 1));
    EXPECT_EQ(std::vector<uint8_t>(bigger.begin(), bigger.begin() + 5),
              (std::vector<uint8_t>{0xF0, 0x00, 0x01, 0x23, 0x45}));
}

TEST(LzoFrame, CapacityOneByteShortIsRefusedUntouched) {
    for (uint32_t n : {0u, 16u, 1000u}) {
        const std::vector<uint8_t> input(n + 1, 'q');  // never a null pointer
        const uint32_t exact = static_cast<uint32_t>(lzo_frame_capacity(n));
        std::vector<uint8_t> output(exact, 0xAA);
        uint32_t length = exact - 1;
        EXPECT_EQ(lzo_frame(input.data(), n, output.data(), &length), 122) << n;
        EXPECT_EQ(length, exact - 1) << n;
        EXPECT_EQ(output, std::vector<uint8_t>(exact, 0xAA)) << n;

        length = exact;
        EXPECT_EQ(lzo_frame(input.data(), n, output.data(), &length), 0) << n;
        EXPECT_LT(length, exact) << n;
    }
}

TEST(LzoFrame, InputNear4GiBIsRefusedBeforeItIsRead) {
    // The capacity would wrap around in 32 bits; no 32-bit capacity is enough.
    uint8_t tiny_input = 0;
    uint8_t tiny_output[8] = {};
    uint32_t length = 0xFFFFFFFFu;
    EXPECT_EQ(lzo_frame(&tiny_input, 0xFFFFFFFFu, tiny_output, &length), 122);
    EXPECT_EQ(lzo_frame(&tiny_input, 0xF1000000u, tiny_output, &length), 122);
    EXPECT_EQ(length, 0xFFFFFFFFu);
}

TEST(LzoFrame, MissingBuffersAreRefused) {
    uint8_t input[4] = {1, 2, 3, 4};
    std::vector<uint8_t> output(80);
    uint32_t length = static_cast<uint32_t>(output.size());
    EXPECT_EQ(lzo_frame(nullptr, 4, output.data(), &length), 8);
    EXPECT_EQ(lzo_frame(input, 4, nullptr, &length), 8);
    EXPECT_EQ(length, output.size());
    EXPECT_NE(lzo_frame(input, 4, output.data(), nullptr), 0);
}

#ifndef _WIN32

namespace fs = std::filesystem;

const char kPython[] = "/usr/bin/python3.11";

std::string collector_script() { return std::string(TEST_SOURCE_DIR) + "/tools/collector.py"; }

// Runs a program for at most a minute: its exit status, or -1.
int run_program(const std::vector<std::string>& arguments) {
    const pid_t pid = start_program(arguments);
    if (pid < 0) return -1;
    const int status = wait_for_program(pid, 60);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The frame unpacked by the collector side's own LZO module must be the input.
bool python_lzo_gives_back(const std::vector<uint8_t>& frame, const std::string& input_path,
                           const TempDir& dir) {
    const std::string frame_path = dir.file("frame.bin");
    write_whole_file(frame_path, std::string(frame.begin(), frame.end()));
    return run_program({kPython, "-c",
                        "import lzo, sys\n"
                        "frame = open(sys.argv[1], 'rb').read()\n"
                        "plain = open(sys.argv[2], 'rb').read()\n"
                        "sys.exit(0 if lzo.decompress(frame) == plain else 1)\n",
                        frame_path, input_path}) == 0;
}

TEST(LzoFrame, PythonLzoUnpacksFramesOfEveryKindAndSize) {
    TempDir dir;
    struct Case {
        const char* kind;
        size_t size;
    };
    const Case cases[] = {{"log", 1},        {"random", 1},      {"log", 4095},
                          {"random", 65543}, {"log", 1 << 20},   {"random", 3 << 20},
                          {"zeros", 5 << 20}, {"log", 64u << 20}, {"random", 64u << 20}};
    unsigned seed = 7;
    for (const Case& c : cases) {
        std::string input;
        if (std::strcmp(c.kind, "log") == 0) {
            input = log_like_text(c.size, ++seed);
        } else if (std::strcmp(c.kind, "zeros") == 0) {
            input.assign(c.size, '\0');
        } else {
            const std::vector<uint8_t> bytes = random_bytes(c.size, ++seed);
            input.assign(bytes.begin(), bytes.end());
        }
        const std::string input_path = dir.file("input.bin");
        write_whole_file(input_path, input);
        const std::vector<uint8_t> frame = frame_of(bytes_of(input));
        ASSERT_FALSE(frame.empty());
        EXPECT_TRUE(python_lzo_gives_back(frame, input_path, dir)) << c.kind << " " << c.size;
    }
}

// ---- the POSIX file layer ------------------------------------------------------

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(LogFile, IsCreatedNewAndNeverOverAnExistingOne) {
    TempDir dir;
    const std::wstring path = widen_ascii(dir.file("run.log"));
    {
        platform::File file = platform::create_log_file(path.c_str());
        ASSERT_TRUE(file.is_open());
        ASSERT_TRUE(platform::write_file(file, "first\n", 6));
    }
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"run.log"});

    platform::File again = platform::create_log_file(path.c_str());
    EXPECT_FALSE(again.is_open());
    EXPECT_EQ(platform::get_last_error(), 80u);
    EXPECT_EQ(read_whole_file(dir.file("run.log")), "first\n");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"run.log"});

    EXPECT_FALSE(platform::create_log_file(widen_ascii(dir.file("no/run.log")).c_str()).is_open());
    EXPECT_EQ(platform::get_last_error(), 3u);
}

TEST(LogFile, WriterKeepsTheSweepOutUntilItCloses) {
    TempDir dir;
    const std::wstring path = widen_ascii(dir.file("run.log"));
    platform::File writer = platform::create_log_file(path.c_str());
    ASSERT_TRUE(writer.is_open());
    {
        platform::SweepLock lock = platform::SweepLock::acquire(path.c_str());
        EXPECT_FALSE(lock.held());
        EXPECT_EQ(platform::get_last_error(), 32u);
    }
    // A reader is not a writer: the sweep's own read does not block the lock.
    platform::File reader = platform::open_file_for_reading(path.c_str());
    ASSERT_TRUE(reader.is_open());
    ASSERT_TRUE(writer.close());
    platform::SweepLock lock = platform::SweepLock::acquire(path.c_str());
    EXPECT_TRUE(lock.held());
    EXPECT_FALSE(platform::SweepLock::acquire(path.c_str()).held());
}

TEST(LogFile, ReadDeliversWhatTheFileHolds) {
    TempDir dir;
    write_whole_file(dir.file("a.log"), "0123456789");
    const std::wstring path = widen_ascii(dir.file("a.log"));
    platform::File file = platform::open_file_for_reading(path.c_str());
    ASSERT_TRUE(file.is_open());
    uint64_t size = 0;
    ASSERT_TRUE(platform::get_file_size(file, &size));
    EXPECT_EQ(size, 10u);
    char buffer[16] = {};
    uint32_t done = 0;
    ASSERT_TRUE(platform::read_file(file, buffer, 16, &done));
    EXPECT_EQ(done, 10u);
    EXPECT_EQ(std::string(buffer, done), "0123456789");

    EXPECT_FALSE(platform::open_file_for_reading(widen_ascii(dir.file("none.log")).c_str()).is_open());
    EXPECT_EQ(platform::get_last_error(), 2u);
    fs::create_directory(dir.file("folder.log"));
    EXPECT_FALSE(platform::open_file_for_reading(widen_ascii(dir.file("folder.log")).c_str()).is_open());
    EXPECT_EQ(platform::get_last_error(), 5u);
}

std::vector<platform::FindData> search_all(const std::wstring& pattern, uint32_t* end_code) {
    std::vector<platform::FindData> found;
    platform::FileSearch search;
    platform::FindData data;
    if (!search.first(pattern.c_str(), &data)) {
        *end_code = platform::get_last_error();
        return found;
    }
    do {
        found.push_back(data);
    } while (search.next(&data));
    *end_code = platform::get_last_error();
    return found;
}

TEST(FolderSearch, FindsMatchingNamesAndMarksFolders) {
    TempDir dir;
    write_whole_file(dir.file("a.log"), "a");
    write_whole_file(dir.file("b.log"), "b");
    write_whole_file(dir.file("c.txt"), "c");
    write_whole_file(dir.file("d.log.old"), "d");
    fs::create_directory(dir.file("x.log"));
    uint32_t end_code = 0;
    std::vector<platform::FindData> found = search_all(dir.wpath() + L"/*.log", &end_code);
    EXPECT_EQ(end_code, 18u);
    std::sort(found.begin(), found.end(),
              [](const platform::FindData& l, const platform::FindData& r) { return l.name < r.name; });
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].name, L"a.log");
    EXPECT_EQ(found[1].name, L"b.log");
    EXPECT_EQ(found[2].name, L"x.log");
    EXPECT_EQ(found[0].attributes & platform::kFileAttributeDirectory, 0u);
    EXPECT_EQ(found[2].attributes & platform::kFileAttributeDirectory, platform::kFileAttributeDirectory);
}

TEST(FolderSearch, NothingMatchingAndNoFolderAreDifferentFailures) {
    TempDir dir;
    write_whole_file(dir.file("c.txt"), "c");
    uint32_t end_code = 0;
    EXPECT_TRUE(search_all(dir.wpath() + L"/*.log", &end_code).empty());
    EXPECT_EQ(end_code, 2u);
    EXPECT_TRUE(search_all(dir.wpath() + L"/missing/*.log", &end_code).empty());
    EXPECT_EQ(end_code, 3u);
}

// ---- the collector on the loopback ---------------------------------------------

// tools/collector.py on 127.0.0.1 and a port of its own choosing, its output
// in a file. Every wait has a deadline; a collector that does not stop on
// SIGTERM is killed.
class Collector {
public:
    explicit Collector(std::vector<std::string> options = {}) {
        std::vector<std::string> arguments = {kPython, collector_script(), "--address",
                                              "127.0.0.1", "--port", "0", "--storage",
                                              storage_.path(), "--keep-bodies"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        pid_ = start_program(arguments, output_file());
        if (pid_ > 0) port_ = wait_for_port();
    }
    ~Collector() {
        if (pid_ > 0) stop_program(pid_, kStopDeadlineSeconds);
    }
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    bool ready() const { return port_ != 0; }
    uint16_t port() const { return port_; }

    // The one-line JSON records of every stored log, in arrival order.
    std::vector<std::string> records() const {
        std::vector<std::string> lines;
        for (const std::string& name : names_in(storage_.path())) {
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) {
                lines.push_back(read_whole_file(storage_.file(name)));
            }
        }
        return lines;
    }
    // The logs the collector unpacked and stored, in arrival order.
    std::vector<std::string> logs() const { return contents_ending_in(".log"); }
    std::vector<std::string> bodies() const { return contents_ending_in(".frame"); }
    // The line the collector printed for each request it answered, stored or not.
    std::vector<std::string> requests() const {
        std::vector<std::string> lines;
        const std::string output = read_whole_file(output_file());
        size_t start = 0;
        for (size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = output.substr(start, end - start);
            if (line.find(" -> ") != std::string::npos) lines.push_back(line);
        }
        return lines;
    }

private:
    static constexpr int kStartDeadlineSeconds = 20;
    static constexpr int kStopDeadlineSeconds = 10;

    std::string output_file() const { return output_.file("collector.out"); }

    std::vector<std::string> contents_ending_in(const std::string& suffix) const {
        std::vector<std::string> contents;
        for (const std::string& name : names_in(storage_.path())) {
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                contents.push_back(read_whole_file(storage_.file(name)));
            }
        }
        return contents;
    }

    // The port of the "listening on 127.0.0.1:PORT" line; 0 when it does not
    // come in time or the collector ends first.
    uint16_t wait_for_port() {
        const std::string prefix = "listening on 127.0.0.1:";
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(kStartDeadlineSeconds);
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string output = read_whole_file(output_file());
            const size_t at = output.find(prefix);
            const size_t end = at == std::string::npos ? at : output.find('\n', at);
            if (end != std::string::npos) {
                return static_cast<uint16_t>(std::stoi(output.substr(at + prefix.size())));
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return 0;
            }
            usleep(20 * 1000);
        }
        return 0;
    }

    TempDir storage_;
    TempDir output_;
    pid_t pid_ = -1;
    uint16_t port_ = 0;
};

// A port on the loopback that nothing listens on: one the system just handed
// out and took back.
uint16_t unused_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    uint16_t port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    if (s >= 0) close(s);
    return port;
}

class Shipping : public ::testing::Test {
protected:
    void SetUp() override {
        // A proxy from the caller's environment would stand between the
        // launcher and the loopback.
        for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
            unsetenv(name);
        }
        saved_upload_ = upload_logs;
        saved_keep_ = keep_logs;
        upload_logs = 1;
        keep_logs = 0;
    }
    void TearDown() override {
        upload_logs = saved_upload_;
        keep_logs = saved_keep_;
    }

    static UploadSettings to(uint16_t port) {
        UploadSettings settings;
        settings.port = port;
        return settings;
    }
    static UploadSettings to(const Collector& collector) { return to(collector.port()); }

    static int post(const Collector& collector, const std::vector<uint8_t>& body,
                    const std::wstring& object = L"upload_logs/v5/") {
        return http_post(L"127.0.0.1", object, body.data(), static_cast<uint32_t>(body.size()),
                         to(collector));
    }

    TempDir logs_;

private:
    uint8_t saved_upload_ = 1;
    uint8_t saved_keep_ = 0;
};

bool names_in_storage_are_empty(const Collector& collector) {
    return collector.records().empty() && collector.logs().empty() && collector.bodies().empty();
}

bool has(const std::string& record, const std::string& part) {
    return record.find(part) != std::string::npos;
}

TEST_F(Shipping, PostCarriesPathAgentBothHeadersAndTheFrame) {
    Collector collector;
    ASSERT_TRUE(collector.ready());
    const std::string log = log_like_text(5000, 3);
    const std::vector<uint8_t> frame = frame_of(bytes_of(log));
    ASSERT_EQ(post(collector, frame), 0);

    const std::vector<std::string> records = collector.records();
    ASSERT_EQ(records.size(), 1u);
    const std::string& r = records[0];
    EXPECT_TRUE(has(r, "\"request_line\": \"POST /upload_logs/v5/ HTTP/1.1\"")) << r;
    EXPECT_TRUE(has(r, "\"agent\": \"agent\"")) << r;
    EXPECT_TRUE(has(r, "[\"Content-Type\", \"application/octet-stream\"]")) << r;
    EXPECT_TRUE(has(r, "[\"Content-Length\", \"" + std::to_string(frame.size()) + "\"]")) << r;
    EXPECT_FALSE(has(r, "Expect")) << r;
    EXPECT_EQ(collector.bodies(), std::vector<std::string>{std::string(frame.begin(), frame.end())});
    EXPECT_EQ(collector.logs(), std::vector<std::string>{log});
}

TEST_F(Shipping, PathKeepsItsOwnLeadingSlashAndEmptyBodyIsTheEightByteFrame) {
    Collector collector;
    ASSERT_TRUE(collector.ready());
    ASSERT_EQ(post(collector, frame_of({}), L"/already/rooted"), 0);
    const std::vector<std::string> records = collector.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(has(records[0], "\"path\": \"/already/rooted\"")) << records[0];
    EXPECT_TRUE(has(records[0], "[\"Content-Length\", \"8\"]")) << records[0];
    EXPECT_EQ(collector.logs(), std::vector<std::string>{""});
}

TEST_F(Shipping, PathBytesThatCannotStandInARequestLineAreEscaped) {
    Collector collector;
    ASSERT_TRUE(collector.ready());
    ASSERT_EQ(post(collector, frame_of(bytes_of("x")), L"logs v5/\u00e4?id=1#2"), 0);
    const std::vector<std::string> records = collector.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(has(records[0], "\"path\": \"/logs%20v5/%C3%A4?id=1%232\"")) << records[0];
}

TEST_F(Shipping, ClientErrorIsDeliveredServerErrorIsNot) {
    const std::vector<uint8_t> frame = frame_of(bytes_of("one line\n"));
    {
        Collector not_found({"--status", "404"});
        ASSERT_TRUE(not_found.ready());
        EXPECT_EQ(post(not_found, frame), 0);
        EXPECT_TRUE(not_found.logs().empty());
    }
    {
        Collector failing({"--status", "500"});
        ASSERT_TRUE(failing.ready());
        EXPECT_EQ(post(failing, frame), 500);
        EXPECT_TRUE(failing.logs().empty());
    }
    {
        Collector bad_frame;  // answers 400 to what is not a frame
        ASSERT_TRUE(bad_frame.ready());
        EXPECT_EQ(post(bad_frame, bytes_of("not a frame")), 0);
        EXPECT_EQ(bad_frame.requests().size(), 1u);
        EXPECT_TRUE(names_in_storage_are_empty(bad_frame));
    }
}

TEST_F(Shipping, LogPostedAgainIsStoredOnce) {
    // A sender that gave up waiting for the answer sends the same log again.
    Collector slow({"--delay", "3"});
    ASSERT_TRUE(slow.ready());
    const std::vector<uint8_t> frame = frame_of(bytes_of("sent twice\n"));
    UploadSettings impatient = to(slow);
    impatient.request_deadline_ms = 1000;
    EXPECT_EQ(http_post(L"127.0.0.1", L"u", frame.data(), static_cast<uint32_t>(frame.size()),
                        impatient),
              12002);
    EXPECT_EQ(post(slow, frame), 0);
    EXPECT_EQ(slow.requests().size(), 2u);
    EXPECT_EQ(slow.logs(), std::vector<std::string>{"sent twice\n"});
}

TEST_F(Shipping, NoServerAndNoNameAreWinInetFailures) {
    const std::vector<uint8_t> frame = frame_of(bytes_of("x"));
    const uint32_t size = static_cast<uint32_t>(frame.size());
    const UploadSettings nobody = to(unused_port());
    EXPECT_EQ(http_post(L"127.0.0.1", L"upload_logs/v5/", frame.data(), size, nobody), 12029);
    EXPECT_EQ(http_post(L"no-such-host.invalid", L"upload_logs/v5/", frame.data(), size, nobody),
              12007);
    EXPECT_EQ(http_post(L"evil.example/x", L"up", frame.data(), size, nobody), 12007);
    EXPECT_NE(http_post(L"", L"up", frame.data(), size, nobody), 0);
}

TEST_F(Shipping, ServerSlowerThanTheReceiveTimeOutIsATimeOut) {
    Collector slow({"--delay", "20"});
    ASSERT_TRUE(slow.ready());
    const std::vector<uint8_t> frame = frame_of(bytes_of("slow\n"));
    const std::wstring headers = L"Content-Type: application/octet-stream\nContent-Length: " +
                                 std::to_wstring(frame.size());
    platform::HttpTimeouts short_wait;
    short_wait.send_ms = 1000;
    short_wait.receive_ms = 1000;
    uint32_t status = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::send_http_request(
        L"127.0.0.1", slow.port(), L"POST", L"upload_logs/v5/",
        headers.c_str(), frame.data(),
        static_cast<uint32_t>(frame.size()), &status, short_wait));
    EXPECT_EQ(platform::get_last_error(), 12002u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

// ---- upload of one file and the sweep ------------------------------------------

TEST_F(Shipping, UploadReadsFramesAndPostsTheWholeFile) {
    Collector collector;
    ASSERT_TRUE(collector.ready());
    const std::string log = log_like_text(300000, 11);
    write_whole_file(logs_.file("a.log"), log);
    EXPECT_EQ(upload_log_file(widen_ascii(logs_.file("a.log")), L"127.0.0.1", L"upload_logs/v5/",
                              to(collector)),
              0);
    EXPECT_EQ(collector.logs(), std::vector<std::string>{log});
    EXPECT_EQ(upload_log_file(widen_ascii(logs_.file("gone.log")), L"127.0.0.1", L"u",
                              to(collector)),
              2);
}

TEST_F(Shipping, ShortReadIsAFailureNotADelivery) {
    // A sysfs attribute says 4096 bytes but holds a few.
    const char kShortFile[] = "/sys/kernel/uevent_seqnum";
    struct stat info {};
    if (stat(kShortFile, &info) != 0 || info.st_size <= 64) GTEST_SKIP() << "no sysfs";
    // The sweep reads only files of its own user.
    if (info.st_uid != geteuid()) GTEST_SKIP() << "sysfs belongs to another user";
    Collector collector;
    ASSERT_TRUE(collector.ready());
    EXPECT_EQ(upload_log_file(widen_ascii(kShortFile), L"127.0.0.1", L"u", to(collector)), 38);
    EXPECT_TRUE(collector.requests().empty());
}

TEST_F(Shipping, FileOf4GiBIsRefusedAndKept) {
    const std::string big = logs_.file("huge.log");
    const int fd = open(big.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 32), 0);  // sparse: no disk space used
    close(fd);
    Collector collector;
    ASSERT_TRUE(collector.ready());
    EXPECT_EQ(upload_log_file(widen_ascii(big), L"127.0.0.1", L"u", to(collector)), 223);
    EXPECT_EQ(ship_logs(L"u", logs_.wpath(), L"127.0.0.1", to(collector)), 0);
    EXPECT_EQ(names_in(logs_.path()), std::vector<std::string>{"huge.log"});
    EXPECT_TRUE(collector.requests().empty());
}

TEST_F(Shipping, LogTooLargeToFrameIsRefusedByItsSizeAlone) {
    // Below 4 GiB, yet its frame would not fit 32 bits: refused before a
    // byte of it is read (sparse, so nothing is on the disk either).
    const std::string big = logs_.file("big.log");
    const int fd = open(big.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{0xF1000000}), 0);
    close(fd);
    EXPECT_EQ(upload_log_file(widen_ascii(big), L"127.0.0.1", L"u", to(unused_port())), 223);
}

TEST_F(Shipping, SlowBodyHoldsNothingUpAndSlowHeadersMeetTheDeadline) {
    write_whole_file(logs_.file("a.log"), "one log\n");
    {
        // The answer's body, one byte a minute, is not waited for.
        Collector trickling({"--trickle-body", "60"});
        ASSERT_TRUE(trickling.ready());
        EXPECT_EQ(upload_log_file(widen_ascii(logs_.file("a.log")), L"127.0.0.1", L"u",
                                  to(trickling)),
                  0);
        EXPECT_EQ(trickling.logs(), std::vector<std::string>{"one log\n"});
    }
    // Headers that never end: the request's total deadline gives up on them
    // and the log stays.
    Collector stalling({"--trickle-head", "0.2"});
    ASSERT_TRUE(stalling.ready());
    UploadSettings short_deadline = to(stalling);
    short_deadline.request_deadline_ms = 1500;
    EXPECT_EQ(ship_logs(L"u", logs_.wpath(), L"127.0.0.1", short_deadline), 0);
    EXPECT_EQ(names_in(logs_.path()), std::vector<std::string>{"a.log"});
    EXPECT_EQ(stalling.requests().size(), 1u);
}

TEST_F(Shipping, SweepStartsNoUploadOnceItsBudgetIsSpent) {
    for (const char* name : {"a.log", "b.log", "c.log", "d.log"}) {
        write_whole_file(logs_.file(name), std::string("log ") + name + "\n");
    }
    Collector stalling({"--trickle-head", "0.2"});
    ASSERT_TRUE(stalling.ready());
    UploadSettings tight = to(stalling);
    tight.request_deadline_ms = 1000;
    tight.sweep_budget_ms = 1500;
    EXPECT_EQ(ship_logs(L"u", logs_.wpath(), L"127.0.0.1", tight), 1460);
    // The first request takes its full second, the second what is left of
    // the budget. A loaded machine may leave a sliver of budget for a third
    // that ends at once; the fourth never starts.
    EXPECT_GE(stalling.requests().size(), 2u);
    EXPECT_LE(stalling.requests().size(), 3u);
    EXPECT_EQ(names_in(logs_.path()).size(), 4u);
}

TEST_F(Shipping, FlagsDecideWhatIsPostedAndWhatIsDeleted) {
    struct Row {
        uint8_t upload, keep;
        size_t posted;
        bool deleted;
    };
    const Row table[] = {{1, 0, 2, true}, {1, 1, 2, false}, {0, 0, 0, true}, {0, 1, 0, false}};
    for (const Row& row : table) {
        TempDir folder;
        write_whole_file(folder.file("2026-01-01_00.00.00.000001.log"), "first run\n");
        write_whole_file(folder.file("2026-01-01_00.00.01.000002.log"), "second run\n");
        write_whole_file(folder.file("notes.txt"), "not a log");
        Collector collector;
        ASSERT_TRUE(collector.ready());
        upload_logs = row.upload;
        keep_logs = row.keep;
        EXPECT_EQ(ship_logs(L"upload_logs/v5/", folder.wpath(), L"127.0.0.1", to(collector)), 0);
        const std::string where = "upload " + std::to_string(row.upload) + " keep " +
                                  std::to_string(row.keep);
        EXPECT_EQ(collector.records().size(), row.posted) << where;
        EXPECT_EQ(names_in(folder.path()).size(), row.deleted ? 1u : 3u) << where;
    }
}

TEST_F(Shipping, FailedUploadsStayForTheNextSweep) {
    write_whole_file(logs_.file("old.log"), "old run\n");
    write_whole_file(logs_.file("new.log"), "new run\n");
    EXPECT_EQ(ship_logs(L"upload_logs/v5/", logs_.wpath(), L"127.0.0.1", to(unused_port())), 0);
    EXPECT_EQ(names_in(logs_.path()), (std::vector<std::string>{"new.log", "old.log"}));
    {
        Collector failing({"--status", "503"});
        ASSERT_TRUE(failing.ready());
        EXPECT_EQ(ship_logs(L"upload_logs/v5/", logs_.wpath(), L"127.0.0.1", to(failing)), 0);
        EXPECT_EQ(failing.requests().size(), 2u);
        EXPECT_TRUE(failing.logs().empty());
        EXPECT_EQ(names_in(logs_.path()).size(), 2u);
    }
    Collector collector;
    ASSERT_TRUE(collector.ready());
    EXPECT_EQ(ship_logs(L"upload_logs/v5/", logs_.wpath(), L"127.0.0.1", to(collector)), 0);
    std::vector<std::string> logs = collector.logs();
    std::sort(logs.begin(), logs.end());
    EXPECT_EQ(logs, (std::vector<std::string>{"new run\n", "old run\n"}));
    EXPECT_TRUE(names_in(logs_.path()).empty());
}

TEST_F(Shipping, FoldersAndPathsTooLongAreSkippedAndKept) {
    const std::string long_name = std::string(259 - logs_.path().size(), 'n') + ".log";
    write_whole_file(logs_.file(long_name), "too long to name\n");
    fs::create_directory(logs_.file("x.log"));
    write_whole_file(logs_.file("x.log/inner.log"), "inside a folder\n");
    write_whole_file(logs_.file("ok.log"), "fine\n");
    Collector collector;
    ASSERT_TRUE(collector.ready());
    EXPECT_EQ(ship_logs(L"upload_logs/v5/", logs_.wpath(), L"127.0.0.1", to(collector)), 0);
    EXPECT_EQ(collector.logs(), std::vector<std::string>{"fine\n"});
    EXPECT_EQ(names_in(logs_.path()), (std::vector<std::string>{long_name, "x.log"}));
    EXPECT_EQ(names_in(logs_.file("x.log")), std::vector<std::string>{"inner.log"});
}

TEST_F(Shipping, LogAnotherLauncherStillWritesIsNeitherSentNorDeleted) {
    const std::string busy = logs_.file("busy.log");
    write_whole_file(logs_.file("done.log"), "finished run\n");
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t writer = fork();
    if (writer == 0) {
        close(ready[0]);
        close(release[1]);
        platform::File file = platform::create_log_file(widen_ascii(busy).c_str());
        const bool written = file.is_open() && platform::write_file(file, "still running\n", 14);
        char c = written ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');

    for (uint8_t upload : {1, 0}) {
        Collector collector;
        ASSERT_TRUE(collector.ready());
        upload_logs = upload;
        EXPECT_EQ(ship_logs(L"upload_logs/v5/", logs_.wpath(), L"127.0.0.1", to(collector)), 0);
        EXPECT_EQ(names_in(logs_.path()), std::vector<std::string>{"busy.log"});
        EXPECT_EQ(collector.logs(), upload ? std::vector<std::string>{"finished run\n"}
                                           : std::vector<std::string>{});
        write_whole_file(logs_.file("done.log"), "finished run\n");
    }
    close(release[1]);
    EXPECT_EQ(wait_for_program(writer, 20), 0);
    close(ready[0]);

    // Once the writer has gone, its log is shipped like any other.
    Collector collector;
    ASSERT_TRUE(collector.ready());
    upload_logs = 1;
    EXPECT_EQ(ship_logs(L"upload_logs/v5/", logs_.wpath(), L"127.0.0.1", to(collector)), 0);
    EXPECT_TRUE(names_in(logs_.path()).empty());
}

TEST_F(Shipping, NothingIsSentOrDeletedThroughALink) {
    TempDir outside;
    write_whole_file(outside.file("secret.log"), "not a log of this folder\n");
    write_whole_file(outside.file("other"), "another file\n");
    ASSERT_EQ(symlink(outside.file("secret.log").c_str(), logs_.file("x.log").c_str()), 0);
    ASSERT_EQ(link(outside.file("other").c_str(), logs_.file("y.log").c_str()), 0);
    ASSERT_EQ(mkfifo(logs_.file("z.log").c_str(), 0600), 0);
    const std::vector<std::string> links = {"x.log", "y.log", "z.log"};
    for (uint8_t upload : {1, 0}) {
        Collector collector;
        ASSERT_TRUE(collector.ready());
        write_whole_file(logs_.file("own.log"), "own\n");
        upload_logs = upload;
        EXPECT_EQ(ship_logs(L"u", logs_.wpath(), L"127.0.0.1", to(collector)), 0);
        EXPECT_EQ(names_in(logs_.path()), links) << int(upload);
        EXPECT_EQ(collector.logs(), upload ? std::vector<std::string>{"own\n"}
                                           : std::vector<std::string>{});
    }
    EXPECT_EQ(names_in(outside.path()), (std::vector<std::string>{"other", "secret.log"}));
    EXPECT_EQ(read_whole_file(outside.file("secret.log")), "not a log of this folder\n");
}

TEST_F(Shipping, LogsFolderThatIsALinkOrOpenToOthersIsNotSwept) {
    TempDir elsewhere;
    write_whole_file(elsewhere.file("a.log"), "a\n");
    const std::string linked = logs_.file("logs");
    ASSERT_EQ(symlink(elsewhere.path().c_str(), linked.c_str()), 0);
    Collector collector;
    ASSERT_TRUE(collector.ready());
    EXPECT_EQ(ship_logs(L"u", widen_ascii(linked), L"127.0.0.1", to(collector)), 5);

    ASSERT_EQ(chmod(elsewhere.path().c_str(), 0770), 0);
    EXPECT_EQ(ship_logs(L"u", elsewhere.wpath(), L"127.0.0.1", to(collector)), 5);
    upload_logs = 0;
    EXPECT_EQ(ship_logs(L"u", elsewhere.wpath(), L"127.0.0.1", to(collector)), 5);
    EXPECT_EQ(names_in(elsewhere.path()), std::vector<std::string>{"a.log"});
    EXPECT_TRUE(collector.requests().empty());

    ASSERT_EQ(chmod(elsewhere.path().c_str(), 0700), 0);
    upload_logs = 1;
    EXPECT_EQ(ship_logs(L"u", elsewhere.wpath(), L"127.0.0.1", to(collector)), 0);
    EXPECT_TRUE(names_in(elsewhere.path()).empty());
}

TEST_F(Shipping, SweepSetUpFailuresEndItAtOnce) {
    const UploadSettings nobody = to(unused_port());
    EXPECT_EQ(ship_logs(L"u", logs_.wpath(), L"127.0.0.1", nobody), 2);  // no log at all
    EXPECT_EQ(ship_logs(L"u", logs_.wpath() + L"/missing", L"127.0.0.1", nobody), 3);
    EXPECT_EQ(ship_logs(L"u", std::wstring(300, L'd'), L"127.0.0.1", nobody), 161);
}

#endif  // !_WIN32

// ---- the HTTP contract, against this platform's transport -----------------------
//
// libcurl natively, WinINet under Wine: both must give the same results.

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void close_socket(Socket s) { closesocket(s); }
constexpr int kNoSignal = 0;
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void close_socket(Socket s) { close(s); }
constexpr int kNoSignal = MSG_NOSIGNAL;
#endif

// A server on a loopback port of the system's choosing, run by a thread of
// the test, that answers every request the same way: with a status, with a
// head that never ends, not at all, or with a reset. Its waits end when it
// stops.
class ScriptedServer {
public:
    enum class Way { kAnswer, kTrickleHead, kSilence, kReset };

    explicit ScriptedServer(Way way, int status = 200) : way_(way), status_(status) {
#ifdef _WIN32
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
#endif
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener_ == kNoSocket ||
            bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 4) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        if (listener_ != kNoSocket) close_socket(listener_);
#ifdef _WIN32
        WSACleanup();
#endif
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t port() const { return port_; }
    int requests() const { return requests_; }

private:
    // Whether s has something to read (or has closed) within ms.
    static bool readable(Socket s, int ms) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait{0, ms * 1000};
        return select(static_cast<int>(s + 1), &set, nullptr, nullptr, &wait) > 0;
    }

    void serve() {
        while (!stopping_) {
            if (!readable(listener_, 50)) continue;
            const Socket client = accept(listener_, nullptr, nullptr);
            if (client == kNoSocket) continue;
            if (read_request(client)) {
                ++requests_;
                respond(client);
            }
            close_socket(client);
        }
    }

    // Reads the head and a body of its Content-Length; false when the client
    // goes first.
    bool read_request(Socket client) {
        std::string request;
        char chunk[4096];
        size_t head_end = std::string::npos;
        size_t body_length = 0;
        while (!stopping_) {
            if (head_end != std::string::npos && request.size() >= head_end + body_length) {
                return true;
            }
            if (!readable(client, 50)) continue;
            const int got = recv(client, chunk, sizeof chunk, 0);
            if (got <= 0) return false;
            request.append(chunk, static_cast<size_t>(got));
            if (head_end == std::string::npos && (head_end = request.find("\r\n\r\n")) !=
                                                     std::string::npos) {
                head_end += 4;
                std::string head = request.substr(0, head_end);
                std::transform(head.begin(), head.end(), head.begin(), ::tolower);
                const size_t at = head.find("content-length:");
                if (at != std::string::npos) body_length = std::stoul(head.substr(at + 15));
            }
        }
        return false;
    }

    bool send_text(Socket client, const std::string& text) {
        return send(client, text.data(), static_cast<int>(text.size()), kNoSignal) ==
               static_cast<int>(text.size());
    }

    void respond(Socket client) {
        switch (way_) {
            case Way::kAnswer:
                send_text(client, "HTTP/1.1 " + std::to_string(status_) +
                                      " Scripted\r\nLocation: /elsewhere\r\n"
                                      "Content-Length: 0\r\nConnection: close\r\n\r\n");
                break;
            case Way::kTrickleHead:
                if (!send_text(client, "HTTP/1.1 200 OK\r\nX-Padding: ")) break;
                while (!stopping_ && send_text(client, "x")) {
                    if (readable(client, 50)) break;  // the client gave up
                }
                break;
            case Way::kSilence:
                while (!stopping_ && !readable(client, 50)) {
                }
                break;
            case Way::kReset: {
                linger abort_at_close{1, 0};
                setsockopt(client, SOL_SOCKET, SO_LINGER,
                           reinterpret_cast<const char*>(&abort_at_close), sizeof abort_at_close);
                break;
            }
        }
    }

    Way way_;
    int status_;
    Socket listener_ = kNoSocket;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

int post_to(const ScriptedServer& server, const std::vector<uint8_t>& frame,
            uint32_t deadline_ms = UploadSettings().request_deadline_ms) {
    UploadSettings settings;
    settings.port = server.port();
    settings.request_deadline_ms = deadline_ms;
    return http_post(L"127.0.0.1", L"upload_logs/v5/", frame.data(),
                     static_cast<uint32_t>(frame.size()), settings);
}

TEST(HttpContract, TheAnswersStatusDecidesWhetherTheLogStays) {
    const std::vector<uint8_t> frame = frame_of(bytes_of("one line\n"));
    // 0: done with the log (delivered, or refused for good); else it stays.
    for (const int status : {200, 204, 400, 404}) {
        ScriptedServer server(ScriptedServer::Way::kAnswer, status);
        ASSERT_NE(server.port(), 0);
        EXPECT_EQ(post_to(server, frame), 0) << status;
    }
    for (const int status : {301, 302, 307, 408, 429, 500, 503}) {
        ScriptedServer server(ScriptedServer::Way::kAnswer, status);
        ASSERT_NE(server.port(), 0);
        EXPECT_EQ(post_to(server, frame), status) << status;
        EXPECT_EQ(server.requests(), 1) << status << ": a redirect was followed";
    }
    ScriptedServer resetting(ScriptedServer::Way::kReset);
    ASSERT_NE(resetting.port(), 0);
    EXPECT_NE(post_to(resetting, frame), 0);
}

TEST(HttpContract, AnAnswerThatNeverEndsOrNeverComesMeetsTheDeadline) {
    // Time-outs between packets far beyond the deadline: only the request's
    // total deadline can end these (a missing one hangs the test).
    platform::HttpTimeouts patient;
    patient.send_ms = patient.receive_ms = 600000;
    patient.total_ms = 1500;
    const std::vector<uint8_t> frame = frame_of(bytes_of("one line\n"));
    const std::wstring headers = L"Content-Type: application/octet-stream\nContent-Length: " +
                                 std::to_wstring(frame.size());
    for (const auto way : {ScriptedServer::Way::kTrickleHead, ScriptedServer::Way::kSilence}) {
        ScriptedServer server(way);
        ASSERT_NE(server.port(), 0);
        uint32_t status = 0;
        EXPECT_FALSE(platform::send_http_request(L"127.0.0.1", server.port(), L"POST", L"u",
                                                 headers.c_str(), frame.data(),
                                                 static_cast<uint32_t>(frame.size()), &status,
                                                 patient));
        EXPECT_EQ(platform::get_last_error(), 12002u);
    }
    // The sweep keeps a log whose upload ran out of time.
    TempDir logs;
    write_whole_file(logs.file("a.log"), "one log\n");
    ScriptedServer trickling(ScriptedServer::Way::kTrickleHead);
    UploadSettings settings;
    settings.port = trickling.port();
    settings.request_deadline_ms = 1500;
    EXPECT_EQ(ship_logs(L"u", logs.wpath(), L"127.0.0.1", settings), 0);
    EXPECT_EQ(read_whole_file(logs.file("a.log")), "one log\n");
}

}  // namespace
