// The launcher's units on the real Win32 API: configuration from the version
// resource, the boot script resource, paths and folders, the log sink on the
// system's file system, the system information record, the named-pipe
// capture of standard error and the sweep's sharing rules.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "AppString.h"
#include "../unit/command_line_cases.h"
#include "logging.h"
#include "platform/command_line.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/res_image.h"
#include "platform/resources.h"
#include "platform/version_tree.h"
#include "stub_exception.h"
#include "util.h"
#include "win32_test_support.h"

namespace {

// The .res image that resources_image compiled from the same resource script
// as this executable's resources; the tests run in its folder.
const wchar_t kResImage[] = L"test_win32.res";

const Bytes kBootScript = {0x02, 0x01, 0x03, 0x00, 0x7F, 0xFF, 'b', 'o', 'o', 't', 0x00, 0x80,
                           0xFE, 0x00};

struct ResImage {
    Bytes bytes;
    std::vector<res_image::Record> records;

    ResImage() : bytes(read_file_bytes(kResImage)) {
        records = res_image::parse_records(bytes.data(), bytes.size());
    }
    const res_image::Record* find(const res_image::Name& type, uint16_t id,
                                  uint32_t* error) const {
        return res_image::find_record(records, type, res_image::Name::from_ordinal(id), error);
    }
    const uint8_t* data(const res_image::Record& record) const {
        return bytes.data() + record.data_offset;
    }
};

// The executable's version block as the system's version API hands it out.
Bytes system_version_block() {
    const std::wstring path = own_module_path();
    const uint32_t size = platform::get_file_version_info_size(path.c_str());
    Bytes block(size);
    if (size == 0 || !platform::get_file_version_info(path.c_str(), size, block.data())) {
        return Bytes();
    }
    return block;
}

struct Found {
    bool found = false;
    std::wstring text;  // up to the first NUL
    uint32_t length = 0;
};

Found query_system(Bytes* block, const std::wstring& sub_block) {
    Found result;
    const wchar_t* value = nullptr;
    result.found = platform::ver_query_value(block->data(), sub_block.c_str(), &value,
                                             &result.length);
    if (result.found) result.text = value;
    return result;
}

Found query_portable(const Bytes& tree, const std::wstring& sub_block) {
    Found result;
    version_tree::Value value;
    result.found = version_tree::find_value(tree.data(), tree.size(), sub_block.c_str(), &value) ==
                   version_tree::Outcome::found;
    if (result.found) {
        result.text = version_tree::decode_utf16le(tree.data() + value.offset, value.length).c_str();
        result.length = static_cast<uint32_t>(value.length);
    }
    return result;
}

Bytes portable_version_tree() {
    const ResImage image;
    uint32_t error = 0;
    const res_image::Record* record = image.find(res_image::Name::from_ordinal(16), 1, &error);
    if (record == nullptr || !record->data_complete) return Bytes();
    return Bytes(image.data(*record), image.data(*record) + record->data_size);
}

std::string what_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return std::string();
}

// The company's folder of a log folder, two levels above the logs.
std::wstring company_folder_of(const std::wstring& logs) {
    const std::wstring product = logs.substr(0, logs.rfind(L'\\'));
    return product.substr(0, product.rfind(L'\\'));
}

// The configuration values and folders a test changes, restored when it ends.
class ScopedLogSettings {
public:
    ScopedLogSettings(const std::wstring& company, const std::wstring& product)
        : company_(app_strings.__company),
          product_(app_strings.__product),
          log_dir_(log_dir),
          to_memory_(log_to_memory) {
        app_strings.__company = company;
        app_strings.__product = product;
    }
    ~ScopedLogSettings() {
        app_strings.__company = company_;
        app_strings.__product = product_;
        log_dir = log_dir_;
        log_to_memory = to_memory_;
    }
    ScopedLogSettings(const ScopedLogSettings&) = delete;
    ScopedLogSettings& operator=(const ScopedLogSettings&) = delete;

private:
    std::wstring company_, product_, log_dir_;
    bool to_memory_;
};

}  // namespace

// ---- configuration -----------------------------------------------------------

TEST(Configuration, SevenKeysComeFromTheSystemsVersionApi) {
    init_exe_paths();
    AppStrings strings;
    strings.initialize();
    EXPECT_EQ(strings.__main_script, L"tests.windows.main");
    EXPECT_EQ(strings.__logging_host, L"127.0.0.1");
    EXPECT_EQ(strings.__logging_url, L"upload_logs/v5/");
    EXPECT_EQ(strings.__log_to_memory, L"false");
    EXPECT_EQ(strings.__company, L"Prüfstand GmbH");
    EXPECT_EQ(strings.__product, L"Wine Tëst ☃");
    EXPECT_EQ(strings.FileVersion, L"2.7.1.8");
}

TEST(Configuration, PortableReaderFindsWhatTheVersionApiFinds) {
    Bytes block = system_version_block();
    const Bytes tree = portable_version_tree();
    ASSERT_FALSE(block.empty());
    ASSERT_FALSE(tree.empty());

    const wchar_t* const sub_blocks[] = {
        L"\\StringFileInfo\\040904B0\\__main_script",
        L"\\StringFileInfo\\040904B0\\__logging_host",
        L"\\StringFileInfo\\040904B0\\__logging_url",
        L"\\StringFileInfo\\040904B0\\__log_to_memory",
        L"\\StringFileInfo\\040904B0\\__company",
        L"\\StringFileInfo\\040904B0\\__product",
        L"\\StringFileInfo\\040904B0\\FileVersion",
        L"\\StringFileInfo\\040904B0\\ProductName",
        L"\\StringFileInfo\\040904B0\\FileDescription",
        L"\\StringFileInfo\\040904E4\\__main_script",
        L"\\StringFileInfo\\040904E4\\__company",
        L"\\StringFileInfo\\040904b0\\__product",  // keys ignore the case of letters
        L"\\StringFileInfo\\040904B0\\__missing",
        L"\\StringFileInfo\\040904E4\\__product",
        L"\\StringFileInfo\\00000000\\__product",
    };
    for (const wchar_t* sub_block : sub_blocks) {
        SCOPED_TRACE(utf8(sub_block));
        const Found system = query_system(&block, sub_block);
        const Found portable = query_portable(tree, sub_block);
        ASSERT_EQ(portable.found, system.found);
        EXPECT_EQ(portable.text, system.text);
        EXPECT_EQ(portable.length, system.length);
    }
    EXPECT_EQ(query_portable(tree, L"\\StringFileInfo\\040904E4\\__company").text, L"WrongBlock");
}

TEST(Configuration, PortableReaderFindsTheSameBinaryValues) {
    Bytes block = system_version_block();
    const Bytes tree = portable_version_tree();
    ASSERT_FALSE(tree.empty());
    for (const wchar_t* sub_block : {L"\\", L"\\VarFileInfo\\Translation"}) {
        SCOPED_TRACE(utf8(sub_block));
        void* system_value = nullptr;
        UINT system_length = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), sub_block, &system_value, &system_length));
        version_tree::Value portable;
        ASSERT_EQ(version_tree::find_value(tree.data(), tree.size(), sub_block, &portable),
                  version_tree::Outcome::found);
        ASSERT_EQ(portable.length, system_length);
        EXPECT_EQ(std::memcmp(tree.data() + portable.offset, system_value, system_length), 0);
    }
}

// ---- boot script resource ------------------------------------------------------

TEST(BootScriptResource, IsCopiedAsTheExecutableHoldsIt) {
    ASSERT_EQ(get_boot_script_size(), kBootScript.size());
    Bytes copy(kBootScript.size());
    load_boot_script(copy.data());
    EXPECT_EQ(copy, kBootScript);

    const ResImage image;
    uint32_t error = 0;
    const res_image::Record* record = image.find(res_image::Name::from_text(L"SCRIPT"), 1, &error);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(Bytes(image.data(*record), image.data(*record) + record->data_size), kBootScript);
}

TEST(BootScriptResource, EmptyResourceHasSizeZero) {
    platform::ResourceInfo info = platform::find_resource(L"SCRIPT", 2);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(platform::sizeof_resource(info), 0u);
    EXPECT_NE(platform::load_resource(info), nullptr);

    const ResImage image;
    uint32_t error = 0;
    const res_image::Record* record = image.find(res_image::Name::from_text(L"SCRIPT"), 2, &error);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->data_size, 0u);
}

TEST(BootScriptResource, MissingResourcesGiveTheSameCodesOnBothReaders) {
    const ResImage image;
    struct Case {
        const wchar_t* type;
        uint16_t id;
        uint32_t code;
    };
    for (const Case& c : {Case{L"SCRIPT", 3, error_code::kResourceNameNotFound},
                          Case{L"NOSUCHTYPE", 1, error_code::kResourceTypeNotFound}}) {
        SCOPED_TRACE(utf8(c.type) + " " + std::to_string(c.id));
        platform::set_last_error(0);
        EXPECT_EQ(platform::find_resource(c.type, c.id), nullptr);
        EXPECT_EQ(platform::get_last_error(), c.code);
        uint32_t portable_code = 0;
        EXPECT_EQ(image.find(res_image::Name::from_text(c.type), c.id, &portable_code), nullptr);
        EXPECT_EQ(portable_code, c.code);
    }
    // Type names are looked up without regard to case, as FindResourceW does.
    EXPECT_NE(platform::find_resource(L"script", 1), nullptr);
    uint32_t error = 0;
    EXPECT_NE(image.find(res_image::Name::from_text(L"script"), 1, &error), nullptr);
}

// ---- command line -----------------------------------------------------------------

// The system's own splitter, from shell32 (which the launcher no longer loads).
std::vector<std::wstring> system_split(const wchar_t* line) {
    using CommandLineToArgv = wchar_t** (WINAPI*)(const wchar_t*, int*);
    static const auto split = reinterpret_cast<CommandLineToArgv>(reinterpret_cast<void*>(
        GetProcAddress(LoadLibraryW(L"shell32.dll"), "CommandLineToArgvW")));
    std::vector<std::wstring> arguments;
    int count = 0;
    wchar_t** argv = split(line, &count);
    for (int i = 0; argv != nullptr && i < count; ++i) arguments.push_back(argv[i]);
    LocalFree(argv);
    return arguments;
}

TEST(CommandLine, SplitsAsCommandLineToArgvW) {
    for (const CommandLineCase& test_case : command_line_cases()) {
        const std::vector<std::wstring> expected = system_split(test_case.line);
        EXPECT_EQ(command_line::split(test_case.line), expected) << test_case.line;
        EXPECT_EQ(test_case.arguments, expected) << test_case.line;
    }
}

TEST(CommandLine, ProcessArgumentsAreTheSystemsSplitOfItsLine) {
    int count = 0;
    wchar_t** argv = platform::command_line_to_argv(&count);
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(std::vector<std::wstring>(argv, argv + count), system_split(GetCommandLineW()));
    EXPECT_EQ(argv[count], nullptr);
}

// ---- paths and folders ----------------------------------------------------------

TEST(Paths, ModuleFileNameIsTruncatedWithItsNul) {
    const std::wstring full = own_module_path();
    wchar_t buffer[772];
    ASSERT_EQ(platform::get_module_file_name(buffer, 772), full.size());
    EXPECT_EQ(std::wstring(buffer), full);

    wchar_t small[5];
    platform::set_last_error(0);
    EXPECT_EQ(platform::get_module_file_name(small, 5), 4u);
    EXPECT_EQ(std::wstring(small), full.substr(0, 4));
    EXPECT_EQ(platform::get_last_error(), error_code::kInsufficientBuffer);
}

TEST(Paths, ExePathsFollowWindowsModuleNames) {
    ExePaths prefixed = exe_paths_from_module_name(L"\\\\?\\C:\\Apps\\tool.exe", L'\\');
    EXPECT_EQ(prefixed.path, L"C:\\Apps\\tool.exe");
    EXPECT_EQ(prefixed.dir, L"C:\\Apps");

    ExePaths root = exe_paths_from_module_name(L"C:\\tool.exe", L'\\');
    EXPECT_EQ(root.dir, L"C:");

    EXPECT_EQ(exe_paths_from_module_name(L"\\\\?\\", L'\\').path, L"\\\\?\\");

    init_exe_paths();
    const std::wstring own = own_module_path();
    EXPECT_EQ(exe_path, own);
    EXPECT_EQ(exe_dir, own.substr(0, own.rfind(L'\\')));
}

TEST(Paths, JoinsFailWhereMaxPathEnds) {
    EXPECT_EQ(path_append(L"C:\\Users", L"logs"), L"C:\\Users\\logs");
    EXPECT_EQ(path_append(L"C:\\", L"logs"), L"C:\\logs");

    // 3 + 250 + 1 + 5 = 259 characters fit with the NUL; one more does not.
    const std::wstring base = L"C:\\" + std::wstring(250, L'a');
    EXPECT_EQ(path_append(base, L"b.log").size(), 259u);
    EXPECT_EQ(what_of([&] { path_append(base, L"bb.log"); }).rfind("PathAppendW failed ", 0), 0u);
}

TEST(Paths, LogFoldersAreCreatedUnderApplicationData) {
    ScopedLogSettings settings(L"Prüfstand GmbH", L"Wine Tëst ☃");

    wchar_t appdata[MAX_PATH];
    ASSERT_GE(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appdata), 0);
    const std::wstring company = std::wstring(appdata) + L"\\Prüfstand GmbH";
    remove_tree(company);
    EXPECT_EQ(compute_log_dir(), company + L"\\Wine Tëst ☃\\logs");
    EXPECT_FALSE(file_exists(company));

    create_log_folders();
    EXPECT_NE(GetFileAttributesW(compute_log_dir().c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    create_log_folders();  // every level exists already

    // A plain file in place of a level counts as existing.
    remove_tree(compute_log_dir());
    write_file_bytes(compute_log_dir(), "not a folder");
    EXPECT_EQ(what_of([] { create_log_folders(); }), "");

    remove_tree(company);
}

TEST(Paths, ApplicationDataIsTheEnvironmentsFolderElseTheShells) {
    wchar_t shell[MAX_PATH];
    ASSERT_GE(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, shell), 0);
    wchar_t saved[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"APPDATA", saved, MAX_PATH), 0u);
    TempFolder folder;
    const std::pair<std::wstring, std::wstring> cases[] = {
        {folder.path(), folder.path()},
        {L"relative\\folder", shell},
        {folder.file(L"missing"), shell},
        {std::wstring(MAX_PATH, L'a'), shell},
    };
    for (const auto& [value, expected] : cases) {
        SetEnvironmentVariableW(L"APPDATA", value.c_str());
        wchar_t buffer[MAX_PATH];
        ASSERT_GE(platform::get_appdata_folder(buffer), 0);
        EXPECT_EQ(std::wstring(buffer), expected);
    }
    SetEnvironmentVariableW(L"APPDATA", saved);
}

// ---- log sink ---------------------------------------------------------------------

namespace {

// A log folder of its own for each test of the sink.
class LogSink : public testing::Test {
protected:
    void SetUp() override { log_dir = compute_log_dir(); }
    void TearDown() override { remove_tree(company_folder_of(log_dir)); }

    static void write_sample_lines(Logger* log) {
        log->write_line("first line");
        log->write_tag().write_text("wide: ").write_wide(L"Prüf ☃").end_line();
        log->write_meta_tag().write_text("bitness = ").write_number(uint32_t{64}).end_line();
        log->write_text("untagged").end_line();
    }

    static std::string sample_text() {
        return "STUB:stub:first line\n"
               "STUB:stub:wide: Pr\xC3\xBC" "f \xE2\x98\x83\n"
               "META:stub:bitness = 64\n"
               "untagged\n";
    }

private:
    ScopedLogSettings settings_{L"launcher-tests",
                                L"sink-" + std::to_wstring(GetCurrentProcessId())};
};

}  // namespace

TEST_F(LogSink, FileKindWritesEachLineAsItEndsWithoutCarriageReturns) {
    log_to_memory = false;
    Logger log;
    log.open();
    const std::wstring path = log.get_path();
    EXPECT_EQ(path.substr(0, log_dir.size() + 1), log_dir + L"\\");
    EXPECT_EQ(path.size() - log_dir.size() - 1, 30u);

    write_sample_lines(&log);
    // Other processes may read the file while it is written...
    EXPECT_EQ(read_file_text(path), sample_text());
    // ...but the sweep's read-only sharing keeps it away from it.
    platform::File sweep_view = platform::open_file_for_reading(path.c_str());
    EXPECT_FALSE(sweep_view.is_open());
    EXPECT_EQ(platform::get_last_error(), error_code::kSharingViolation);

    log.close();
    EXPECT_EQ(read_file_text(path), sample_text());
}

TEST_F(LogSink, MemoryKindSavesTheSameBytesAtClose) {
    log_to_memory = true;
    Logger log;
    log.open();
    write_sample_lines(&log);
    EXPECT_FALSE(file_exists(log.get_path()));
    log.close();
    EXPECT_EQ(read_file_text(log.get_path()), sample_text());
}

TEST_F(LogSink, AnExistingLogFileIsNeverTruncated) {
    create_log_folders();
    const std::wstring path = log_dir + L"\\2026-12-06_04.41.31.000123.log";
    write_file_bytes(path, "another run's lines\n");
    platform::File clash = platform::create_log_file(path.c_str());
    EXPECT_FALSE(clash.is_open());
    EXPECT_EQ(platform::get_last_error(), error_code::kFileExists);
    EXPECT_EQ(read_file_text(path), "another run's lines\n");
}

// ---- the process's own log: system record and standard-error capture -------------

namespace {

// The process-wide log, opened once for this executable as the launcher opens
// it: from the configuration in the executable's own version resource.
class ProcessLog : public testing::Test {
protected:
    static void SetUpTestSuite() {
        init_exe_paths();
        app_strings.initialize();
        log_to_memory = app_strings.__log_to_memory == L"true";
        log_dir = compute_log_dir();
        open_log();
    }
    static void TearDownTestSuite() {
        close_log();
        remove_tree(company_folder_of(log_dir));
    }

    static std::string content() { return read_file_text(get_log_path()); }
    // What was written from now on.
    size_t mark() const { return content().size(); }
    std::string written_since(size_t mark) const { return content().substr(mark); }
};

uint32_t bitness_the_system_reports() {
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
                   info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64
               ? 64
               : 32;
}

// A 64-bit Windows (or Wine prefix) runs 32-bit programs from SysWOW64.
bool system_has_a_32_bit_subsystem() {
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    const DWORD attributes = GetFileAttributesW((std::wstring(windows) + L"\\SysWOW64").c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

TEST_F(ProcessLog, SystemRecordShowsTheSystemsOwnNumbers) {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)));

    const size_t start = mark();
    log_system_info();
    const std::string expected =
        "META:stub:version = 2.7.1.8\n"
        "META:stub:product = Wine T\xC3\xABst \xE2\x98\x83\n"
        "META:stub:major_version = " + std::to_string(version.dwMajorVersion) + "\n"
        "META:stub:minor_version = " + std::to_string(version.dwMinorVersion) + "\n"
        "META:stub:product_type = " + std::to_string(int{version.wProductType}) + "\n"
        "META:stub:suite_mask = " + std::to_string(int{version.wSuiteMask}) + "\n"
        "META:stub:bitness = " + std::to_string(bitness_the_system_reports()) + "\n";
    EXPECT_EQ(written_since(start), expected);

    EXPECT_EQ(get_bitness(), system_has_a_32_bit_subsystem() ? 64u : 32u);
}

TEST_F(ProcessLog, StandardErrorReachesTheLogThroughTheNamedPipe) {
    ASSERT_EQ(redirect_stderr(), 0);

    // More than the pipe's 64 KiB, and in pieces that do not fit one read.
    std::string block;
    for (int i = 0; block.size() < 100 * 1024; ++i) {
        block += "line " + std::to_string(i) + " of the standard-error text\n";
    }
    std::fputs("first\n", stderr);
    std::fputs(block.c_str(), stderr);
    std::fputs("no line end", stderr);
    std::fflush(stderr);

    const size_t start = mark();
    ASSERT_EQ(drain_stderr(), 0);
    logger.write_line("next line");

    std::string crlf_block;
    for (char c : block) {
        if (c == '\n') crlf_block += '\r';
        crlf_block += c;
    }
    EXPECT_EQ(written_since(start), "STUB:stub:Contents of python stderr:\n"
                                    "first\r\n" + crlf_block +
                                        "no line endSTUB:stub:next line\n");
}

// ---- the sweep against a log another process writes ----------------------------

TEST(Sweep, LogThatAnotherProcessWritesIsNeitherReadNorDeleted) {
    TempFolder folder;
    const std::wstring held_path = folder.file(L"2026-12-06_04.41.31.000001.log");
    const std::wstring free_path = folder.file(L"2026-12-06_04.41.31.000002.log");
    write_file_bytes(free_path, "STUB:stub:finished run\n");
    ASSERT_TRUE(CreateDirectoryW(folder.file(L"folder.log").c_str(), nullptr));

    {
        HeldLogFile held(held_path);
        ASSERT_TRUE(held.holding());
        EXPECT_EQ(upload_log_file(held_path, L"127.0.0.1", L"upload_logs/v5/"),
                  static_cast<int>(error_code::kSharingViolation));

        ScopedShippingFlags delete_only(0, 0);
        EXPECT_EQ(ship_logs(L"upload_logs/v5/", folder.path(), L"127.0.0.1"), 0);
        EXPECT_TRUE(file_exists(held_path));
        EXPECT_FALSE(file_exists(free_path));
        EXPECT_TRUE(file_exists(folder.file(L"folder.log")));
        EXPECT_EQ(read_file_text(held_path), "STUB:stub:held by another process\n");
    }

    // Once the other process has ended, its log goes like any other.
    ScopedShippingFlags delete_only(0, 0);
    EXPECT_EQ(ship_logs(L"upload_logs/v5/", folder.path(), L"127.0.0.1"), 0);
    EXPECT_FALSE(file_exists(held_path));
}
