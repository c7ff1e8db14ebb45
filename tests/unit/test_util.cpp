#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "AppString.h"
#include "logging.h"
#include "platform/platform.h"
#include "stub_exception.h"
#include "test_support.h"
#include "util.h"

namespace {

// ---- descramble ------------------------------------------------------------

std::vector<uint8_t> pattern_bytes(size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    return bytes;
}

TEST(Descramble, EveryByteIsXoredWithTheKeyByteOfItsOffset) {
    for (uint32_t length : {0u, 1u, 3u, 4u, 5u, 15u, 16u, 17u, 33u, 1000u}) {
        std::vector<uint8_t> bytes = pattern_bytes(length);
        const std::vector<uint8_t> plain = bytes;
        descramble(bytes.data(), length);
        for (uint32_t k = 0; k < length; ++k) {
            ASSERT_EQ(bytes[k], plain[k] ^ descramble_key[k % 16]) << "length " << length << " offset " << k;
        }
    }
}

TEST(Descramble, LeavesBytesPastTheLengthAlone) {
    std::vector<uint8_t> bytes = pattern_bytes(8);
    const std::vector<uint8_t> plain = bytes;
    descramble(bytes.data(), 5);
    EXPECT_EQ(bytes[4], plain[4] ^ 0x7b);  // the lowest byte of key word 1
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 5, bytes.end()),
              std::vector<uint8_t>(plain.begin() + 5, plain.end()));
}

TEST(Descramble, TwiceRestoresTheInputForEveryLength) {
    for (uint32_t length = 0; length <= 70; ++length) {
        std::vector<uint8_t> bytes = pattern_bytes(length);
        const std::vector<uint8_t> plain = bytes;
        descramble(bytes.data(), length);
        descramble(bytes.data(), length);
        ASSERT_EQ(bytes, plain) << "length " << length;
    }
}

// ---- executable paths ------------------------------------------------------

TEST(ExePaths, LongPathPrefixIsRemovedOnlyAtTheStartOfALongerName) {
    ExePaths paths = exe_paths_from_module_name(L"\\\\?\\C:\\Apps\\tool.exe", L'\\');
    EXPECT_EQ(paths.path, L"C:\\Apps\\tool.exe");
    EXPECT_EQ(paths.dir, L"C:\\Apps");

    paths = exe_paths_from_module_name(L"\\\\?\\", L'\\');
    EXPECT_EQ(paths.path, L"\\\\?\\");

    paths = exe_paths_from_module_name(L"C:\\x\\\\?\\tool.exe", L'\\');
    EXPECT_EQ(paths.path, L"C:\\x\\\\?\\tool.exe");
    EXPECT_EQ(paths.dir, L"C:\\x\\\\?");
}

TEST(ExePaths, FolderIsEverythingBeforeTheLastSeparator) {
    EXPECT_EQ(exe_paths_from_module_name(L"C:\\tool.exe", L'\\').dir, L"C:");
    EXPECT_EQ(exe_paths_from_module_name(L"tool.exe", L'\\').dir, L"tool.exe");
    EXPECT_EQ(exe_paths_from_module_name(L"/opt/app/bin/tool", L'/').dir, L"/opt/app/bin");
}

TEST(ExePaths, InitReadsTheRunningExecutable) {
    init_exe_paths();
    char resolved[4096];
    const ssize_t n = readlink("/proc/self/exe", resolved, sizeof(resolved) - 1);
    ASSERT_GT(n, 0);
    resolved[n] = '\0';
    EXPECT_EQ(exe_path, platform::utf8_to_wide(resolved));
    EXPECT_EQ(exe_dir + L"/", exe_path.substr(0, exe_dir.size() + 1));
}

// ---- joins and folders -----------------------------------------------------

std::string raised_by(void (*action)()) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

TEST(PathAppend, JoinsWithOneSeparatorUpToTheLimit) {
    EXPECT_EQ(path_append(L"/a/b", L"c"), L"/a/b/c");
    EXPECT_EQ(path_append(L"/a/b/", L"c"), L"/a/b/c");

    const std::wstring base(255, L'x');
    EXPECT_EQ(path_append(base, L"abc").size(), 259u);  // 259 characters and the NUL fit
    try {
        path_append(base, L"abcd");
        FAIL() << "a 260-character result was accepted";
    } catch (const _stub_exception_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("PathAppendW failed 206  (", 0), 0u);
    }
    EXPECT_THROW(path_append(std::wstring(260, L'x'), L"a"), _stub_exception_error);
}

class Folders : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_DATA_HOME", temp.path().c_str(), 1);
        app_strings.__company = L"Company";
        app_strings.__product = L"Product";
    }
    void TearDown() override { unsetenv("XDG_DATA_HOME"); }

    bool is_folder(const std::string& path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    }

    TempDir temp;
};

TEST_F(Folders, LogFolderChainIsCreatedOnDemandAndAgain) {
    EXPECT_EQ(compute_log_dir(), temp.wpath() + L"/Company/Product/logs");
    EXPECT_FALSE(is_folder(temp.file("Company")));
    create_log_folders();
    EXPECT_TRUE(is_folder(temp.file("Company/Product/logs")));
    EXPECT_NO_THROW(create_log_folders());
}

TEST_F(Folders, PlainFileInPlaceOfAFolderCountsAsExisting) {
    write_whole_file(temp.file("Company"), "not a folder");
    EXPECT_NO_THROW(ensure_directory(temp.wpath() + L"/Company"));
    EXPECT_NO_THROW(ensure_directory(temp.wpath()));
    try {
        create_log_folders();
        FAIL() << "a folder was created inside a plain file";
    } catch (const _stub_exception_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind("CreateDirectory failed ", 0), 0u);
    }
}

TEST_F(Folders, MissingDataHomeIsMadePrivateWithItsParents) {
    setenv("XDG_DATA_HOME", temp.file("missing/share").c_str(), 1);
    EXPECT_EQ(raised_by(create_log_folders), "");
    for (const char* level : {"missing", "missing/share", "missing/share/Company/Product/logs"}) {
        struct stat info {};
        ASSERT_EQ(stat(temp.file(level).c_str(), &info), 0) << level;
        EXPECT_TRUE(S_ISDIR(info.st_mode)) << level;
        EXPECT_EQ(info.st_mode & 0777, 0700u) << level;
    }
}

TEST_F(Folders, ApplicationDataFolderTooLongForItsBuffer) {
    const std::string deep = temp.path() + "/" + std::string(300, 'd');
    setenv("XDG_DATA_HOME", deep.c_str(), 1);
    EXPECT_EQ(raised_by([] { compute_log_dir(); }).rfind("SHGetFolderPathW failed with error code ", 0), 0u);
    EXPECT_EQ(raised_by(create_log_folders).rfind("SHGetFolderPathW failed ", 0), 0u);
}

// ---- standard-error capture --------------------------------------------------

// Runs body in a child process with the log open; returns what the log holds.
std::string run_in_child_with_log(const TempDir& temp, void (*body)()) {
    const pid_t child = fork();
    if (child == 0) {
        setenv("XDG_DATA_HOME", temp.path().c_str(), 1);
        app_strings.__company = L"C";
        app_strings.__product = L"P";
        log_dir = compute_log_dir();
        open_log();
        body();
        close_log();
        std::_Exit(0);
    }
    const int status = wait_for_program(child, 60);
    EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string content;
    for (const auto& entry : std::filesystem::directory_iterator(temp.file("C/P/logs"))) {
        content += read_whole_file(entry.path().string());
    }
    return content;
}

TEST(StderrCapture, EverythingWrittenToDescriptor2ReachesTheLogInOrder) {
    TempDir temp;
    const std::string log = run_in_child_with_log(temp, [] {
        if (redirect_stderr() != 0) std::_Exit(3);
        // Far more than a pipe holds: the writer must never block.
        std::string block(1000, 'e');
        block += '\n';
        for (int i = 0; i < 10000; ++i) {
            if (write(2, block.data(), block.size()) != static_cast<ssize_t>(block.size())) std::_Exit(4);
        }
        fprintf(stderr, "zero%cbyte", '\0');
        fputs("last line without end", stderr);
        fflush(stderr);
        if (drain_stderr() != 0) std::_Exit(5);
        logger.write_line("after");
    });
    const std::string header = "STUB:stub:Contents of python stderr:\n";
    ASSERT_EQ(log.rfind(header, 0), 0u) << log.substr(0, 200);
    const std::string expected_tail =
        std::string("zero") + '\0' + "bytelast line without endSTUB:stub:after\n";
    EXPECT_EQ(log.size(), header.size() + 10000 * 1001 + expected_tail.size());
    EXPECT_EQ(log.substr(log.size() - expected_tail.size()), expected_tail);
    EXPECT_EQ(log.find_first_not_of("e\n", header.size()), log.size() - expected_tail.size());
}

TEST(StderrCapture, OutputAfterTheDrainFollowsItAndOutputWithoutADrainGetsTheHeader) {
    TempDir drained;
    const std::string log = run_in_child_with_log(drained, [] {
        if (redirect_stderr() != 0) std::_Exit(3);
        fputs("before\n", stderr);
        fflush(stderr);
        if (drain_stderr() != 0) std::_Exit(5);
        logger.write_line("between");
        fputs("after the drain\n", stderr);
        fflush(stderr);
        finish_stderr_capture();
        logger.write_line("end");
    });
    EXPECT_EQ(log,
              "STUB:stub:Contents of python stderr:\nbefore\nSTUB:stub:between\n"
              "after the drain\nSTUB:stub:end\n");

    TempDir never_drained;
    const std::string quiet = run_in_child_with_log(never_drained, [] {
        if (redirect_stderr() != 0) std::_Exit(3);
        fputs("never drained\n", stderr);
        fflush(stderr);
        finish_stderr_capture();
        logger.write_line("end");
    });
    EXPECT_EQ(quiet, "STUB:stub:Contents of python stderr:\nnever drained\nSTUB:stub:end\n");
}

TEST(StderrCapture, LargeOutputWaitsOnDiskAndLeavesNothingBehind) {
    TempDir temp;
    const std::string log = run_in_child_with_log(temp, [] {
        if (redirect_stderr() != 0) std::_Exit(3);
        // 24 MiB of numbered lines, far past what the capture keeps in memory.
        std::string block;
        for (int i = 0; i < 24 * 1024 * 1024 / 10; ++i) {
            char line[16];
            std::snprintf(line, sizeof line, "%09d\n", i);
            block += line;
            if (block.size() < 4000) continue;
            if (write(2, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
                std::_Exit(4);
            }
            block.clear();
        }
        if (write(2, block.data(), block.size()) != static_cast<ssize_t>(block.size())) std::_Exit(4);
        // The spill file is no entry of the log folder.
        size_t entries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(log_dir)) {
            (void)entry;
            ++entries;
        }
        if (entries != 1) std::_Exit(6);
        if (drain_stderr() != 0) std::_Exit(5);
        finish_stderr_capture();
    });
    const std::string header = "STUB:stub:Contents of python stderr:\n";
    ASSERT_EQ(log.rfind(header, 0), 0u);
    const size_t lines = 24 * 1024 * 1024 / 10;
    ASSERT_EQ(log.size(), header.size() + lines * 10);
    char line[16];
    for (size_t i = 0; i < lines; i += 9973) {
        std::snprintf(line, sizeof line, "%09zu\n", i);
        ASSERT_EQ(log.compare(header.size() + i * 10, 10, line), 0) << i;
    }
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(temp.file("C/P/logs"))) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
}

TEST(StderrCapture, EmptyPipeGivesTheHeaderAlone) {
    TempDir temp;
    const std::string log = run_in_child_with_log(temp, [] {
        if (redirect_stderr() != 0) std::_Exit(3);
        if (drain_stderr() != 0) std::_Exit(5);
    });
    EXPECT_EQ(log, "STUB:stub:Contents of python stderr:\n");
}

}  // namespace
