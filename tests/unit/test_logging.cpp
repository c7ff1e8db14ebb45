#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "AppString.h"
#include "logging.h"
#include "platform/platform.h"
#include "stub_exception.h"
#include "test_support.h"
#include "util.h"

namespace fs = std::filesystem;

namespace {

TEST(LogFileName, MillisecondsArePaddedToSixDigits) {
    EXPECT_EQ(make_log_file_name(2026, 12, 6, 4, 41, 31, 123), L"2026-12-06_04.41.31.000123.log");
    EXPECT_EQ(make_log_file_name(999, 1, 2, 3, 4, 5, 0), L"0999-01-02_03.04.05.000000.log");
    EXPECT_EQ(make_log_file_name(2026, 12, 6, 4, 41, 31, 999).size(), 30u);
}

class LogSink : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_DATA_HOME", temp.path().c_str(), 1);
        app_strings.__company = L"Co";
        app_strings.__product = L"Prod";
        log_dir = compute_log_dir();
        log_to_memory = false;
    }
    void TearDown() override {
        unsetenv("XDG_DATA_HOME");
        log_to_memory = false;
        log_dir.clear();
    }

    std::string logs_folder() const { return temp.file("Co/Prod/logs"); }
    std::string content_of(const Logger& log) const {
        return read_whole_file(platform::narrow_path(log.get_path()));
    }

    static void write_sample_lines(Logger& log) {
        log.write_meta_tag().write_text("version = ").write_wide(L"1.3.0.0").end_line();
        log.write_line("Loading boot script resource");
        log.write_tag().write_text("Setting upload_logs flag to ").write_bool(false).end_line();
        log.write_text("").end_line();
        log.write_number(int32_t{-7}).write_text(" ").write_number(uint32_t{4294967295u}).end_line();
        log.write_wide(L"caf\u00e9 \U0001F600").end_line();
    }

    static constexpr const char* kSampleText =
        "META:stub:version = 1.3.0.0\n"
        "STUB:stub:Loading boot script resource\n"
        "STUB:stub:Setting upload_logs flag to false\n"
        "\n"
        "-7 4294967295\n"
        "caf\xc3\xa9 \xf0\x9f\x98\x80\n";

    TempDir temp;
};

TEST_F(LogSink, FileKindWritesEachLineAtItsEnd) {
    Logger log;
    log.open();
    EXPECT_EQ(fs::path(log.get_path()).parent_path(), fs::path(logs_folder()));
    const std::string name = fs::path(log.get_path()).filename().string();
    EXPECT_EQ(name.size(), 30u);
    EXPECT_EQ(name.substr(20, 3), "000");

    write_sample_lines(log);
    // Flushed at every line end: the file holds the lines before the close.
    EXPECT_EQ(content_of(log), kSampleText);
    log.close();
    EXPECT_EQ(content_of(log), kSampleText);
    EXPECT_NO_THROW(log.close());
}

TEST_F(LogSink, MemoryKindIsSavedAtCloseByteForByte) {
    Logger file_log;
    file_log.open();
    write_sample_lines(file_log);
    file_log.close();

    log_to_memory = true;
    Logger memory_log;
    memory_log.open();
    write_sample_lines(memory_log);
    auto files_in_folder = [this] {
        return std::distance(fs::directory_iterator(logs_folder()), fs::directory_iterator());
    };
    EXPECT_EQ(files_in_folder(), 1);
    memory_log.close();
    EXPECT_EQ(files_in_folder(), 2);
    EXPECT_EQ(content_of(memory_log), content_of(file_log));
    EXPECT_NE(memory_log.get_path(), file_log.get_path());
}

TEST_F(LogSink, MemoryKindCreatesTheFoldersOnlyAtClose) {
    log_to_memory = true;
    Logger log;
    log.open();
    EXPECT_FALSE(fs::exists(logs_folder()));
    log.write_line("x");
    log.close();
    EXPECT_EQ(content_of(log), "STUB:stub:x\n");
}

TEST_F(LogSink, WideTextIsWrittenUpToItsFirstNulOrReplacedWhenItCannotBeConverted) {
    Logger log;
    log.open();
    log.write_wide(std::wstring(L"ab\0cd", 5)).write_text("|").write_wide(L"").write_text("|");
    std::wstring lone_surrogate = L"x";
    lone_surrogate += static_cast<wchar_t>(0xD800);
    log.write_wide(lone_surrogate).write_text("|").end_line();
    log.close();
    EXPECT_EQ(content_of(log), "ab||failed to convert string|\n");
}

TEST_F(LogSink, WritesTheDiskRefusesCostOnlyTheirBytesAndTheCloseCountsThem) {
    // A child whose files may not grow past 4 KiB stands for a full disk.
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        Logger log;
        log.open();
        rlimit limits{};
        getrlimit(RLIMIT_FSIZE, &limits);
        const rlim_t hard = limits.rlim_max;
        rlimit small{4096, hard};
        setrlimit(RLIMIT_FSIZE, &small);
        const std::string line(99, 'x');
        for (int i = 0; i < 100; ++i) log.write_text(line.c_str()).end_line();
        rlimit room{hard, hard};
        if (setrlimit(RLIMIT_FSIZE, &room) != 0) {
            // Lowered limits cannot be raised without the rights: space made
            // another way.
            std::_Exit(77);
        }
        log.write_line("space again");
        log.close();
        std::_Exit(0);
    }
    const int status = wait_for_program(child, 30);
    ASSERT_TRUE(status >= 0 && WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "file size limit cannot be raised again";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(logs_folder())) names.push_back(entry.path());
    ASSERT_EQ(names.size(), 1u);
    const std::string log = read_whole_file(names[0]);
    std::string first_lines;
    for (int i = 0; i < 41; ++i) first_lines += std::string(99, 'x') + "\n";
    ASSERT_GT(log.size(), 4096u);
    EXPECT_EQ(log.substr(0, 4096), first_lines.substr(0, 4096));
    const std::string tail = log.substr(4096);
    EXPECT_EQ(tail, "STUB:stub:space again\nSTUB:stub:The log lacks " +
                        std::to_string(100 * 100 - 4096) + " bytes that could not be written\n");
}

TEST_F(LogSink, OpenAndCloseAreEachAllowedOnce) {
    Logger log;
    EXPECT_EQ(log.get_path(), L"");
    try {
        log.close();
        FAIL() << "close without open";
    } catch (const _stub_exception& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Hasn't been opened  (", 0), 0u);
    }
    log.write_line("skipped while nothing is open");
    log.open();
    const std::wstring first_path = log.get_path();
    log.write_line("first");
    try {
        log.open();
        FAIL() << "second open";
    } catch (const _stub_exception& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Could not open log, it is already open  (", 0), 0u);
    }
    log.write_line("still the first stream");
    log.close();
    EXPECT_EQ(read_whole_file(platform::narrow_path(first_path)),
              "STUB:stub:first\nSTUB:stub:still the first stream\n");
}

TEST_F(LogSink, UnwritableFolderFailsTheOpenAndSwallowsLaterWrites) {
    fs::create_directories(temp.file("Co/Prod"));
    write_whole_file(temp.file("Co/Prod/logs"), "a plain file");
    Logger log;
    try {
        log.open();
        FAIL() << "opened a log inside a plain file";
    } catch (const _stub_exception& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Could not open log, failed to create ofstream  (", 0), 0u);
    }
    EXPECT_TRUE(log.has_stream());
    log.write_line("lost");
    EXPECT_NO_THROW(log.close());
    EXPECT_EQ(read_whole_file(temp.file("Co/Prod/logs")), "a plain file");
}

TEST_F(LogSink, SameMillisecondClashTakesTheNextFreeName) {
    // Every name of the coming 300 milliseconds already belongs to another run.
    fs::create_directories(logs_folder());
    platform::SystemTime now{};
    platform::get_system_time(&now);
    std::set<std::string> taken;
    for (int ms = 0; ms < 300; ++ms) {
        const int total = now.milliseconds + ms;
        const int second = now.second + total / 1000;
        if (second >= 60) break;  // keep the arithmetic inside this minute
        const std::wstring name = make_log_file_name(now.year, now.month, now.day, now.hour,
                                                     now.minute, second, total % 1000);
        const std::string path = logs_folder() + "/" + platform::narrow_path(name);
        write_whole_file(path, "another run");
        taken.insert(path);
    }
    if (now.second >= 59) GTEST_SKIP() << "too close to a minute boundary";

    Logger log;
    log.open();
    log.write_line("mine");
    log.close();
    const std::string mine = platform::narrow_path(log.get_path());
    EXPECT_EQ(taken.count(mine), 0u);
    EXPECT_EQ(read_whole_file(mine), "STUB:stub:mine\n");
    for (const std::string& path : taken) ASSERT_EQ(read_whole_file(path), "another run") << path;
}

TEST_F(LogSink, OpenLogHoldsASharedLockThatASweepCannotTake) {
    Logger log;
    log.open();
    const int fd = ::open(platform::narrow_path(log.get_path()).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
    log.close();
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

TEST_F(LogSink, SystemRecordHeadsTheLog) {
    app_strings.FileVersion = L"";
    Logger& log = logger;
    open_log();
    log_system_info();
    close_log();
    const std::string text = content_of(log);
    const std::string head = "META:stub:version = \nMETA:stub:product = Prod\nMETA:stub:major_version = ";
    EXPECT_EQ(text.rfind(head, 0), 0u) << text;
    EXPECT_NE(text.find("\nMETA:stub:product_type = 1\nMETA:stub:suite_mask = 0\n"), std::string::npos);
    const std::string bitness = sizeof(void*) == 8 ? "64" : "32";
    const std::string last = "META:stub:bitness = " + bitness + "\n";
    ASSERT_GE(text.size(), last.size());
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

}  // namespace
