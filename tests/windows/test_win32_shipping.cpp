// Log shipping on Windows: the LZO frames of the cross-built library, and the
// upload through WinINet to the reference collector.
//
// The Http tests need collectors on port 80 of a private loopback; they run
// under run_http_tests.py, which starts them and names their storage folders
// in the environment (LAUNCHER_COLLECTED_200, _404 and _500 for the
// collectors on 127.0.0.1, 127.0.0.2 and 127.0.0.3).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "util.h"
#include "win32_test_support.h"

namespace {

// Written by make_lzo_reference.py into the tests' working folder.
const wchar_t kLzoReference[] = L"lzo_reference";

std::vector<std::wstring> names_in(const std::wstring& folder, const wchar_t* pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\" + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

Bytes frame_of(const Bytes& input) {
    Bytes frame(static_cast<size_t>(lzo_frame_capacity(static_cast<uint32_t>(input.size()))));
    uint32_t length = static_cast<uint32_t>(frame.size());
    // An empty input is still a buffer, as the sweep's read of an empty log.
    const uint8_t nothing = 0;
    const uint8_t* data = input.empty() ? &nothing : input.data();
    if (lzo_frame(data, static_cast<uint32_t>(input.size()), frame.data(), &length) != 0) {
        return Bytes();
    }
    frame.resize(length);
    return frame;
}

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace

TEST(LzoFrames, AreByteIdenticalToTheReferenceFrames) {
    const std::vector<std::wstring> inputs = names_in(kLzoReference, L"*.input");
    ASSERT_GE(inputs.size(), 7u);
    for (const std::wstring& input_name : inputs) {
        const std::wstring name = input_name.substr(0, input_name.size() - 6);
        SCOPED_TRACE(utf8(name));
        const Bytes input = read_file_bytes(std::wstring(kLzoReference) + L"\\" + input_name);
        const Bytes reference = read_file_bytes(std::wstring(kLzoReference) + L"\\" + name +
                                                L".frame");
        EXPECT_EQ(frame_of(input), reference);
    }
}

// ---- uploads to the reference collector -------------------------------------------

namespace {

struct Collector {
    std::wstring storage;

    // Every request the collector recorded, one line of JSON each.
    std::vector<std::string> records() const {
        std::vector<std::string> lines;
        for (const std::wstring& name : names_in(storage, L"*.json")) {
            lines.push_back(read_file_text(storage + L"\\" + name));
        }
        return lines;
    }
    // The record of the request for one object, with the name it is stored
    // under; empty when there is none or more than one.
    std::string record_for(const std::string& object, std::wstring* stored_as) const {
        std::string match;
        int matches = 0;
        for (const std::wstring& name : names_in(storage, L"*.json")) {
            const std::string record = read_file_text(storage + L"\\" + name);
            if (record.find("\"path\": \"/" + object + "\"") != std::string::npos) {
                match = record;
                *stored_as = storage + L"\\" + name.substr(0, name.size() - 5);
                ++matches;
            }
        }
        return matches == 1 ? match : std::string();
    }
};

bool collector_for(int status, Collector* collector) {
    const std::wstring variable = L"LAUNCHER_COLLECTED_" + std::to_wstring(status);
    const wchar_t* storage = _wgetenv(variable.c_str());
    if (storage == nullptr) return false;
    collector->storage = storage;
    return true;
}

#define REQUIRE_COLLECTOR(status, collector)                                               \
    Collector collector;                                                                   \
    if (!collector_for(status, &collector)) {                                              \
        GTEST_SKIP() << "needs the collectors that run_http_tests.py starts";              \
    }

int post(const wchar_t* host, const std::wstring& object, const Bytes& body) {
    return http_post(host, object, body.data(), static_cast<uint32_t>(body.size()));
}

}  // namespace

TEST(HttpPost, SendsTheFrameAsTheUploadRequest) {
    REQUIRE_COLLECTOR(200, collector);
    const Bytes frame = frame_of(bytes_of("abc"));
    ASSERT_EQ(frame.size(), 12u);
    ASSERT_EQ(post(L"127.0.0.1", L"upload_logs/v5/", frame), 0);

    std::wstring stored_as;
    const std::string record = collector.record_for("upload_logs/v5/", &stored_as);
    ASSERT_FALSE(record.empty()) << "no single request for /upload_logs/v5/";
    EXPECT_NE(record.find("\"request_line\": \"POST /upload_logs/v5/ HTTP/1.1\""),
              std::string::npos) << record;
    EXPECT_NE(record.find("\"agent\": \"agent\""), std::string::npos) << record;
    EXPECT_NE(record.find("[\"Content-Type\", \"application/octet-stream\"]"), std::string::npos)
        << record;
    EXPECT_NE(record.find("[\"Content-Length\", \"12\"]"), std::string::npos) << record;
    EXPECT_EQ(record.find("Expect"), std::string::npos) << record;
    EXPECT_EQ(read_file_bytes(stored_as + L".frame"), frame);
    EXPECT_EQ(read_file_text(stored_as + L".log"), "abc");
}

TEST(HttpPost, EmptyLogIsSentAsTheEightByteFrame) {
    REQUIRE_COLLECTOR(200, collector);
    const Bytes frame = frame_of(Bytes());
    ASSERT_EQ(frame, (Bytes{0xF0, 0, 0, 0, 0, 0x11, 0, 0}));
    ASSERT_EQ(post(L"127.0.0.1", L"upload_logs/v5/empty", frame), 0);
    std::wstring stored_as;
    const std::string record = collector.record_for("upload_logs/v5/empty", &stored_as);
    EXPECT_NE(record.find("[\"Content-Length\", \"8\"]"), std::string::npos) << record;
}

TEST(HttpPost, NotFoundAnswerCountsAsDelivered) {
    REQUIRE_COLLECTOR(404, collector);
    // The collector keeps nothing of a request it answers with an error.
    EXPECT_EQ(post(L"127.0.0.2", L"upload_logs/v5/missing", frame_of(bytes_of("x"))), 0);
}

TEST(HttpPost, ServerErrorAnswerIsAFailedUpload) {
    REQUIRE_COLLECTOR(500, collector);
    EXPECT_EQ(post(L"127.0.0.3", L"upload_logs/v5/broken", frame_of(bytes_of("x"))), 500);
}

TEST(HttpPost, UnreachableServerGivesTheWinInetCode) {
    REQUIRE_COLLECTOR(200, collector);
    // Nothing listens on this loopback address.
    EXPECT_EQ(post(L"127.0.0.9", L"upload_logs/v5/", frame_of(bytes_of("x"))),
              static_cast<int>(error_code::kInternetCannotConnect));
    EXPECT_EQ(post(L"no-such-host.invalid", L"upload_logs/v5/", frame_of(bytes_of("x"))),
              static_cast<int>(error_code::kInternetNameNotResolved));
}

TEST(HttpSweep, PostsEveryLogAndDeletesWhatWasDelivered) {
    REQUIRE_COLLECTOR(200, collector);
    TempFolder folder;
    write_file_bytes(folder.file(L"2026-12-06_04.41.31.000001.log"), "STUB:stub:one\n");
    write_file_bytes(folder.file(L"2026-12-06_04.41.31.000002.log"), "STUB:stub:two\n");
    ScopedShippingFlags defaults(1, 0);

    // A failed upload keeps every file for the next run.
    EXPECT_EQ(ship_logs(L"upload_logs/v5/sweep-failing", folder.path(), L"127.0.0.3"), 0);
    EXPECT_EQ(ship_logs(L"upload_logs/v5/sweep-failing", folder.path(), L"127.0.0.9"), 0);
    EXPECT_EQ(names_in(folder.path(), L"*.log").size(), 2u);

    const size_t before = collector.records().size();
    EXPECT_EQ(ship_logs(L"upload_logs/v5/sweep", folder.path(), L"127.0.0.1"), 0);
    EXPECT_TRUE(names_in(folder.path(), L"*.log").empty());
    EXPECT_EQ(collector.records().size(), before + 2);
}
