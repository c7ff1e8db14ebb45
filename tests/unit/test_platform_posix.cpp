// The POSIX platform layer: process, folders, text, and resources read from
// the image appended to an executable file.
#ifndef _WIN32

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/res_image.h"
#include "platform/resources.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void put32(Bytes& b, uint32_t v) { put16(b, uint16_t(v)), put16(b, uint16_t(v >> 16)); }
void pad4(Bytes& b) { b.resize((b.size() + 3) & ~size_t(3)); }
void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// A resource record of a numbered type (type_name empty) or a named one.
Bytes record(uint16_t type, const std::u16string& type_name, uint16_t id, const Bytes& data,
             int64_t claimed = -1) {
    Bytes b;
    put32(b, claimed < 0 ? uint32_t(data.size()) : uint32_t(claimed)), put32(b, 0);
    if (type_name.empty()) put16(b, 0xFFFF), put16(b, type);
    for (char16_t c : type_name) put16(b, c);
    if (!type_name.empty()) put16(b, 0);
    put16(b, 0xFFFF), put16(b, id);
    pad4(b);
    for (int i = 0; i < 4; ++i) put32(b, 0);
    b[4] = uint8_t(b.size());
    append(b, data);
    pad4(b);
    return b;
}

// A version tree node: wLength, wValueLength, wType, key, value, children.
Bytes node(const std::u16string& key, uint16_t type, uint16_t value_length, const Bytes& value,
           const std::vector<Bytes>& children = {}) {
    Bytes b;
    put16(b, 0), put16(b, value_length), put16(b, type);
    for (char16_t c : key) put16(b, c);
    put16(b, 0);
    pad4(b);
    append(b, value);
    for (const Bytes& child : children) pad4(b), append(b, child);
    b[0] = uint8_t(b.size()), b[1] = uint8_t(b.size() >> 8);
    return b;
}

Bytes string_node(const std::u16string& key, const std::u16string& value) {
    Bytes v;
    for (char16_t c : value) put16(v, c);
    put16(v, 0);
    return node(key, 1, uint16_t(value.size() + 1), v);
}

Bytes version_tree(const std::u16string& block_name) {
    const Bytes table = node(block_name, 1, 0, {},
                             {string_node(u"__main_script", u"app.main"), string_node(u"FileVersion", u"1.3.0.0")});
    return node(u"VS_VERSION_INFO", 0, 52, Bytes(52, 0), {node(u"StringFileInfo", 1, 0, {}, {table})});
}

Bytes image(const std::vector<Bytes>& records) {
    Bytes b = record(0, u"", 0, {});
    for (const Bytes& r : records) append(b, r);
    return b;
}

std::string with_trailer(std::string prefix, const Bytes& img) {
    Bytes trailer;
    put32(trailer, uint32_t(img.size())), put32(trailer, 0);
    prefix.append(img.begin(), img.end());
    prefix.append(trailer.begin(), trailer.end());
    return prefix + res_image::kTrailerMagic;
}

std::wstring wide(const std::string& s) { return platform::utf8_to_wide(s); }

// Sets or clears environment variables for one test and restores them after.
class Environment {
public:
    ~Environment() {
        for (const auto& saved : saved_) {
            if (saved.second.first) setenv(saved.first.c_str(), saved.second.second.c_str(), 1);
            else unsetenv(saved.first.c_str());
        }
    }
    void set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved_.push_back({name, {old != nullptr, old ? old : ""}});
        value ? setenv(name, value, 1) : unsetenv(name);
    }

private:
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_;
};

std::wstring appdata() {
    wchar_t buffer[platform::kMaxPath];
    return platform::get_appdata_folder(buffer) >= 0 ? buffer : L"<failed>";
}

const char* const kChildMarker = "LAUNCHER_TEST_RESOURCE_CHILD";

}  // namespace

TEST(PlatformPosix, MapsErrnoToWin32Codes) {
    EXPECT_EQ(platform::win32_error_from_errno(ENOENT), 2u);
    EXPECT_EQ(platform::win32_error_from_errno(EACCES), 5u);
    EXPECT_EQ(platform::win32_error_from_errno(ENOMEM), 8u);
    EXPECT_EQ(platform::win32_error_from_errno(ENOSPC), 112u);
    EXPECT_EQ(platform::win32_error_from_errno(EEXIST), 183u);
    EXPECT_EQ(platform::win32_error_from_errno(ENAMETOOLONG), 206u);
    EXPECT_NE(platform::win32_error_from_errno(123456), 0u);
}

TEST(PlatformPosix, ConvertsBetweenUtf8AndWide) {
    const wchar_t text[] = L"a\u00e9\u20ac\U0001F600";
    ASSERT_EQ(platform::wide_to_utf8(text, nullptr, 0), 11);
    char out[11];
    EXPECT_EQ(platform::wide_to_utf8(text, out, 11), 11);
    EXPECT_STREQ(out, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(platform::wide_to_utf8(text, out, 10), 0);
    EXPECT_EQ(platform::get_last_error(), 122u);
    for (const wchar_t bad : {wchar_t(0xD800), wchar_t(0xDFFF), wchar_t(0x110000)}) {
        const wchar_t lone[] = {L'a', bad, L'\0'};
        EXPECT_EQ(platform::wide_to_utf8(lone, nullptr, 0), 0);
        EXPECT_EQ(platform::get_last_error(), 1113u);
    }
    EXPECT_EQ(platform::utf8_to_wide("a\xC3\xA9\xF0\x9F\x98\x80"), L"a\u00e9\U0001F600");
    // Invalid bytes: a stray continuation, an overlong form, an encoded
    // surrogate, a sequence cut short.
    // Bytes that are not UTF-8 come through one by one, escaped, and go back
    // to the system as the same bytes.
    const std::string not_utf8 = "\x80" "b\xC0\xAF" "c\xED\xA0\x80" "d\xE2\x82";
    const std::wstring escaped = platform::utf8_to_wide(not_utf8);
    EXPECT_EQ(escaped, (std::wstring{wchar_t(0xDC80), L'b', wchar_t(0xDCC0), wchar_t(0xDCAF), L'c',
                                     wchar_t(0xDCED), wchar_t(0xDCA0), wchar_t(0xDC80), L'd',
                                     wchar_t(0xDCE2), wchar_t(0xDC82)}));
    EXPECT_EQ(platform::narrow_path(escaped), not_utf8);
    char bytes[32] = {};
    ASSERT_EQ(platform::wide_to_utf8(escaped.c_str(), bytes, sizeof bytes),
              static_cast<int>(not_utf8.size() + 1));
    EXPECT_EQ(std::string(bytes), not_utf8);
    // Other lone surrogates name nothing on the system.
    EXPECT_EQ(platform::narrow_path(std::wstring(L"x") + wchar_t(0xD800)), "x\xEF\xBF\xBD");
}

TEST(PlatformPosix, PathAppendFailsAtTheLengthLimit) {
    wchar_t buffer[platform::kMaxPath] = L"/tmp";
    ASSERT_TRUE(platform::path_append(buffer, L"//a"));
    EXPECT_STREQ(buffer, L"/tmp/a");
    ASSERT_TRUE(platform::path_append(buffer, L""));
    EXPECT_STREQ(buffer, L"/tmp/a");
    wcscpy(buffer, L"/tmp/");
    ASSERT_TRUE(platform::path_append(buffer, L"b"));
    EXPECT_STREQ(buffer, L"/tmp/b");

    const std::wstring base(257, L'x');  // + separator + 1 = 259 characters
    wcscpy(buffer, base.c_str());
    ASSERT_TRUE(platform::path_append(buffer, L"y"));
    EXPECT_EQ(std::wstring(buffer), base + L"/y");
    wcscpy(buffer, base.c_str());
    EXPECT_FALSE(platform::path_append(buffer, L"yz"));  // 260 characters
    EXPECT_EQ(platform::get_last_error(), 206u);
    EXPECT_EQ(std::wstring(buffer), base);
}

TEST(PlatformPosix, CreateDirectoryReportsExistingEntries) {
    TempDir dir;
    const std::wstring folder = dir.wpath() + L"/logs";
    ASSERT_TRUE(platform::create_directory(folder.c_str()));
    EXPECT_FALSE(platform::create_directory(folder.c_str()));
    EXPECT_EQ(platform::get_last_error(), 183u);
    write_whole_file(dir.file("plain"), "x");
    EXPECT_FALSE(platform::create_directory((dir.wpath() + L"/plain").c_str()));
    EXPECT_EQ(platform::get_last_error(), 183u);
    EXPECT_FALSE(platform::create_directory((dir.wpath() + L"/missing/logs").c_str()));
    EXPECT_EQ(platform::get_last_error(), 3u);
    EXPECT_FALSE(platform::delete_file((dir.wpath() + L"/missing").c_str()));
    EXPECT_EQ(platform::get_last_error(), 2u);
    EXPECT_EQ(platform::load_library(L"liblauncher-no-such-library.so"), nullptr);
    EXPECT_EQ(platform::get_last_error(), 126u);
}

TEST(PlatformPosix, AppdataFolderFollowsXdgThenHomeThenPasswd) {
    Environment env;
    env.set("XDG_DATA_HOME", "/srv/data/");
    env.set("HOME", "/home/tester");
    EXPECT_EQ(appdata(), L"/srv/data");
    env.set("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(appdata(), L"/home/tester/.local/share");
    env.set("HOME", nullptr);
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(appdata(), wide(entry->pw_dir) + L"/.local/share");

    env.set("XDG_DATA_HOME", ("/" + std::string(259, 'd')).c_str());
    wchar_t buffer[platform::kMaxPath];
    EXPECT_LT(platform::get_appdata_folder(buffer), 0);
    EXPECT_EQ(platform::get_last_error(), 206u);
}

TEST(PlatformPosix, ModuleFileNameTruncatesLikeWindows) {
    char target[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", target, sizeof target - 1), 0);
    const std::wstring full = wide(target);
    std::vector<wchar_t> buffer(full.size() + 1);
    EXPECT_EQ(platform::get_module_file_name(buffer.data(), uint32_t(buffer.size())), full.size());
    EXPECT_EQ(std::wstring(buffer.data()), full);
    platform::set_last_error(0);
    EXPECT_EQ(platform::get_module_file_name(buffer.data(), 5), 5u);
    EXPECT_EQ(std::wstring(buffer.data()), full.substr(0, 4));
    EXPECT_EQ(platform::get_last_error(), 122u);
}

TEST(PlatformPosix, ProcessStartKeepsArgumentsAndFillsClosedDescriptors) {
    int count = 0;
    ASSERT_NE(platform::command_line_to_argv(&count), nullptr);  // from the kernel's record
    EXPECT_GE(count, 1);

    const int saved_stdin = dup(0);
    close(0);
    char arg0[] = "prog", arg1[] = "caf\xC3\xA9 \xE2\x82\xAC";
    char* argv[] = {arg0, arg1, nullptr};
    platform::init_process(2, argv);
    struct stat opened {}, null_device {};
    EXPECT_EQ(fstat(0, &opened), 0);
    stat("/dev/null", &null_device);
    EXPECT_EQ(opened.st_rdev, null_device.st_rdev);
    dup2(saved_stdin, 0);
    close(saved_stdin);

    wchar_t** args = platform::command_line_to_argv(&count);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(args[1], L"caf\u00e9 \u20ac");
    EXPECT_EQ(args, platform::command_line_to_argv(&count));
}

TEST(PlatformPosix, MessageBoxWritesCaptionAndTextToStandardError) {
    TempDir dir;
    const int saved = dup(2);
    const int file = open(dir.file("err").c_str(), O_CREAT | O_WRONLY, 0600);
    dup2(file, 2);
    platform::message_box("Something failed", "Launcher");
    dup2(saved, 2);
    close(saved), close(file);
    EXPECT_EQ(read_whole_file(dir.file("err")), "Launcher\nSomething failed\n");
}

TEST(PlatformPosix, SystemInformationComesFromUname) {
    utsname names{};
    ASSERT_EQ(uname(&names), 0);
    platform::OsVersion version{};
    ASSERT_TRUE(platform::get_os_version(&version));
    EXPECT_EQ(version.major_version, std::strtoul(names.release, nullptr, 10));
    EXPECT_EQ(version.product_type, 1);
    uint16_t architecture = 99;
    ASSERT_TRUE(platform::get_native_processor_architecture(&architecture));
    if (std::string(names.machine) == "x86_64") {
        EXPECT_EQ(architecture, 9);
    }
}

// ---- version information of a named file -------------------------------------

class VersionInfo : public ::testing::Test {
protected:
    std::wstring make(const std::string& name, const std::string& content) {
        write_whole_file(dir_.file(name), content);
        return dir_.wpath() + L"/" + wide(name);
    }
    std::wstring make_app(const Bytes& tree, int64_t claimed = -1) {
        return make("app", with_trailer("\x7f" "ELF launcher", image({record(0, u"SCRIPT", 1, {1, 2, 3}),
                                                                      record(16, u"", 1, tree, claimed)})));
    }
    // The version block of path; empty when it cannot be read.
    std::unique_ptr<uint8_t[]> block_of(const std::wstring& path) {
        const uint32_t size = platform::get_file_version_info_size(path.c_str());
        if (size == 0) return nullptr;
        std::unique_ptr<uint8_t[]> block(new uint8_t[size]);
        if (!platform::get_file_version_info(path.c_str(), size, block.get())) return nullptr;
        return block;
    }
    std::wstring query(uint8_t* block, const std::wstring& key, uint32_t* length = nullptr) {
        const wchar_t* value = nullptr;
        uint32_t n = 0;
        const std::wstring path = L"\\StringFileInfo\\040904B0\\" + key;
        if (!platform::ver_query_value(block, path.c_str(), &value, &n)) return L"<failed>";
        if (length) *length = n;
        return value;
    }
    TempDir dir_;
};

TEST_F(VersionInfo, ReadsStringsOfTheNamedFile) {
    const Bytes tree = version_tree(u"040904B0");
    const std::wstring path = make_app(tree);
    const uint32_t size = platform::get_file_version_info_size(path.c_str());
    EXPECT_EQ(size, ((tree.size() + 3) & ~size_t(3)) + 2 * tree.size() + 8);
    std::unique_ptr<uint8_t[]> block(new uint8_t[size]);
    EXPECT_FALSE(platform::get_file_version_info(path.c_str(), size - 1, block.get()));
    EXPECT_EQ(platform::get_last_error(), 122u);
    ASSERT_TRUE(platform::get_file_version_info(path.c_str(), size, block.get()));

    uint32_t length = 0;
    EXPECT_EQ(query(block.get(), L"__main_script", &length), L"app.main");
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(query(block.get(), L"fileversion"), L"1.3.0.0");
    EXPECT_EQ(query(block.get(), L"__main_script"), L"app.main");
    EXPECT_EQ(query(block.get(), L"__company"), L"<failed>");
    EXPECT_EQ(platform::get_last_error(), 1813u);

    const auto other_block = block_of(make_app(version_tree(u"040904E4")));
    ASSERT_NE(other_block, nullptr);
    EXPECT_EQ(query(other_block.get(), L"__main_script"), L"<failed>");
    EXPECT_EQ(platform::get_last_error(), 1813u);
}

TEST_F(VersionInfo, FilesWithoutAReadableVersionResourceFail) {
    const auto size_error = [](const std::wstring& path) {
        platform::set_last_error(0);
        return platform::get_file_version_info_size(path.c_str()) == 0 ? platform::get_last_error() : 0;
    };
    EXPECT_EQ(size_error(dir_.wpath() + L"/missing"), 2u);
    EXPECT_EQ(size_error(make("plain", "no trailer here")), 1812u);
    EXPECT_EQ(size_error(make("empty", "")), 1812u);
    EXPECT_EQ(size_error(make("noversion", with_trailer("", image({record(0, u"SCRIPT", 1, {1})})))), 1813u);
    EXPECT_EQ(size_error(make_app(version_tree(u"040904B0"), 4000)), 13u);  // data cut off
    Bytes tree = version_tree(u"040904B0");
    tree[0] = uint8_t(tree.size() + 4);  // the root claims more than the record holds
    EXPECT_EQ(size_error(make_app(tree)), 13u);
}

TEST_F(VersionInfo, DamagedBlocksNeverReadOutside) {
    const std::wstring path = make_app(version_tree(u"040904B0"));
    const uint32_t size = platform::get_file_version_info_size(path.c_str());
    const size_t tree_size = version_tree(u"040904B0").size();
    // The root's wLength (bytes 0 and 1) is the block's own layout and stays.
    for (size_t pos = 2; pos < tree_size; ++pos) {
        for (uint8_t value : {0x00, 0x07, 0xFF}) {
            std::unique_ptr<uint8_t[]> block(new uint8_t[size]);
            ASSERT_TRUE(platform::get_file_version_info(path.c_str(), size, block.get()));
            block[pos] = value;
            uint32_t length = 0;
            const std::wstring result = query(block.get(), L"FileVersion", &length);
            if (result == L"<failed>") {
                EXPECT_TRUE(platform::get_last_error() == 13 || platform::get_last_error() == 1813);
            }
        }
    }
}

// ---- resources of the running executable ------------------------------------------

TEST(ExecutableResources, NothingIsFoundWithoutAnAppendedImage) {
    if (std::getenv(kChildMarker) != nullptr) GTEST_SKIP();
    EXPECT_EQ(platform::find_resource(L"SCRIPT", 1), nullptr);
    EXPECT_EQ(platform::get_last_error(), 1812u);
}

// Runs a copy of this test program with an image appended, which then checks
// its own resources (ExecutableResourcesChild).
TEST(ExecutableResources, AppendedImageIsServedToTheProcess) {
    if (std::getenv(kChildMarker) != nullptr) GTEST_SKIP();
    TempDir dir;
    const Bytes img = image({record(0, u"SCRIPT", 1, {'a', 'b', 'c'}), record(0, u"DATA", 1, {}),
                             record(0, u"TRUNC", 1, {'x', 'y'}, 100)});
    write_whole_file(dir.file("child"), with_trailer(read_whole_file("/proc/self/exe"), img));
    ASSERT_EQ(chmod(dir.file("child").c_str(), 0700), 0);
    const std::string command = "timeout -s KILL 60 env " + std::string(kChildMarker) + "=" + dir.file("passed") + " " +
                                dir.file("child") + " --gtest_filter=ExecutableResourcesChild.*";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(read_whole_file(dir.file("passed")), "passed");
}

TEST(ExecutableResourcesChild, ServesTheAppendedImage) {
    const char* marker = std::getenv(kChildMarker);
    if (marker == nullptr) GTEST_SKIP() << "runs inside ExecutableResources.AppendedImageIsServedToTheProcess";
    platform::ResourceInfo script = platform::find_resource(L"script", 1);
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(platform::sizeof_resource(script), 3u);
    const void* bytes = platform::lock_resource(platform::load_resource(script));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(bytes), 3), "abc");
    EXPECT_EQ(platform::sizeof_resource(platform::find_resource(L"DATA", 1)), 0u);

    EXPECT_EQ(platform::find_resource(L"SCRIPT", 2), nullptr);
    EXPECT_EQ(platform::get_last_error(), 1814u);
    EXPECT_EQ(platform::find_resource(L"ICON", 1), nullptr);
    EXPECT_EQ(platform::get_last_error(), 1813u);

    platform::ResourceInfo cut = platform::find_resource(L"TRUNC", 1);
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(platform::sizeof_resource(cut), 100u);
    EXPECT_EQ(platform::load_resource(cut), nullptr);
    EXPECT_EQ(platform::get_last_error(), 13u);
    if (!HasFailure()) write_whole_file(marker, "passed");
}

#endif  // _WIN32
