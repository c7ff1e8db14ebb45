#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/res_image.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using res_image::Name;

void put16(Bytes& b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void put32(Bytes& b, uint32_t v) { put16(b, uint16_t(v)), put16(b, uint16_t(v >> 16)); }
void pad4(Bytes& b) { b.resize((b.size() + 3) & ~size_t(3)); }

void put_name(Bytes& b, const Name& name) {
    if (name.is_ordinal) return put16(b, 0xFFFF), put16(b, name.ordinal);
    for (char16_t c : name.text) put16(b, c);
    put16(b, 0);
}

// One record as a resource compiler writes it; claimed overrides DataSize.
Bytes record(const Name& type, const Name& name, const std::string& data, int64_t claimed = -1) {
    Bytes b;
    put32(b, claimed < 0 ? uint32_t(data.size()) : uint32_t(claimed));
    put32(b, 0);  // HeaderSize, below
    put_name(b, type);
    put_name(b, name);
    pad4(b);
    put32(b, 0), put16(b, 0x30), put16(b, 0x409), put32(b, 0), put32(b, 0);
    b[4] = uint8_t(b.size());
    b.insert(b.end(), data.begin(), data.end());
    pad4(b);
    return b;
}

Bytes image(const std::vector<Bytes>& records) {
    Bytes b = record(Name::from_ordinal(0), Name::from_ordinal(0), "");
    for (const Bytes& r : records) b.insert(b.end(), r.begin(), r.end());
    return b;
}

Name text(const wchar_t* s) { return Name::from_text(s); }
Name ordinal(uint16_t n) { return Name::from_ordinal(n); }

std::string data_of(const Bytes& img, const res_image::Record& r) {
    return std::string(img.begin() + long(r.data_offset), img.begin() + long(r.data_offset + r.data_size));
}

Bytes sample() {
    return image({record(text(L"SCRIPT"), ordinal(1), "abc"), record(ordinal(16), ordinal(1), "version"),
                  record(text(L"DATA"), text(L"LOGO"), std::string(9, 'x'))});
}

// Every record the parser lists stays inside the image it was given.
void expect_records_inside(const Bytes& img) {
    for (const res_image::Record& r : res_image::parse_records(img.data(), img.size())) {
        ASSERT_LE(r.data_offset, img.size());
        if (r.data_complete) {
            ASSERT_LE(r.data_size, img.size() - r.data_offset);
        }
    }
}

}  // namespace

TEST(ResImage, ListsRecordsWithoutTheLeadingEmptyEntry) {
    const Bytes img = sample();
    const auto records = res_image::parse_records(img.data(), img.size());
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].type.text, u"SCRIPT");
    EXPECT_EQ(data_of(img, records[0]), "abc");
    EXPECT_TRUE(records[1].type.is_ordinal);
    EXPECT_EQ(records[1].type.ordinal, 16);
    EXPECT_EQ(records[1].language, 0x409);
    EXPECT_EQ(records[2].name.text, u"LOGO");
    EXPECT_EQ(data_of(img, records[2]), std::string(9, 'x'));
    EXPECT_TRUE(res_image::parse_records(img.data(), 0).empty());
}

TEST(ResImage, FindsTypesAndNamesIgnoringCase) {
    const Bytes img = sample();
    const auto records = res_image::parse_records(img.data(), img.size());
    uint32_t error = 0;
    EXPECT_EQ(res_image::find_record(records, text(L"script"), ordinal(1), &error), &records[0]);
    EXPECT_EQ(res_image::find_record(records, text(L"Data"), text(L"logo"), &error), &records[2]);
    EXPECT_EQ(res_image::find_record(records, ordinal(16), ordinal(1), &error), &records[1]);

    EXPECT_EQ(res_image::find_record(records, text(L"SCRIPT"), ordinal(2), &error), nullptr);
    EXPECT_EQ(error, error_code::kResourceNameNotFound);
    EXPECT_EQ(res_image::find_record(records, text(L"ICON"), ordinal(1), &error), nullptr);
    EXPECT_EQ(error, error_code::kResourceTypeNotFound);
    // A name and an ordinal never match, even when the text spells the number.
    EXPECT_EQ(res_image::find_record(records, text(L"16"), ordinal(1), &error), nullptr);
    EXPECT_EQ(res_image::find_record(records, text(L"DATA"), ordinal(1), &error), nullptr);
}

TEST(ResImage, RecordWhoseDataRunsPastTheEndIsListedIncomplete) {
    Bytes img = image({record(text(L"SCRIPT"), ordinal(1), "abcdefgh", 5000)});
    const auto records = res_image::parse_records(img.data(), img.size());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(records[0].data_complete);
    EXPECT_EQ(records[0].data_size, 5000u);
    // A header cut in the middle is not listed at all.
    img.resize(img.size() - 12 - 4);
    EXPECT_TRUE(res_image::parse_records(img.data(), img.size()).empty());
}

TEST(ResImage, SurvivesEveryTruncationAndFlippedByte) {
    const Bytes full = sample();
    for (size_t length = 0; length <= full.size(); ++length) {
        expect_records_inside(Bytes(full.begin(), full.begin() + long(length)));
    }
    for (size_t pos = 0; pos < full.size(); ++pos) {
        for (uint8_t value : {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF}) {
            Bytes damaged = full;
            damaged[pos] = value;
            expect_records_inside(damaged);
        }
    }
}

TEST(ResImageTrailer, LocatesTheImageBeforeTheTrailer) {
    Bytes file(100, 0xCC);
    const Bytes img = sample();
    file.insert(file.end(), img.begin(), img.end());
    put32(file, uint32_t(img.size())), put32(file, 0);
    file.insert(file.end(), res_image::kTrailerMagic, res_image::kTrailerMagic + 8);

    res_image::ImageSpan span;
    ASSERT_TRUE(res_image::locate_image(file.data(), file.size(), &span));
    EXPECT_EQ(span.offset, 100u);
    EXPECT_EQ(span.size, img.size());

    Bytes bad = file;
    bad.back() = '2';  // another magic
    EXPECT_FALSE(res_image::locate_image(bad.data(), bad.size(), &span));
    bad = file;
    bad[bad.size() - 16 + 4] = 1;  // claims more than 4 GiB
    EXPECT_FALSE(res_image::locate_image(bad.data(), bad.size(), &span));
    EXPECT_FALSE(res_image::locate_image(file.data() + file.size() - 15, 15, &span));
    // An image that claims exactly everything before the trailer is fine.
    EXPECT_TRUE(res_image::locate_image(file.data() + 100, file.size() - 100, &span));
    EXPECT_EQ(span.offset, 0u);
}

TEST(ResImage, ParsesWhatTheResourceCompilerWrites) {
    if (std::system("i686-w64-mingw32-windres --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "i686-w64-mingw32-windres is not installed";
    TempDir dir;
    write_whole_file(dir.file("t.rc"),
                     "1 VERSIONINFO\nBEGIN\n BLOCK \"StringFileInfo\"\n BEGIN\n  BLOCK \"040904B0\"\n"
                     "  BEGIN\n   VALUE \"FileVersion\", \"1.3.0.0\"\n  END\n END\nEND\n"
                     "1 Script { \"abc\" }\n7 DATA { \"0123456789\" }\n");
    const std::string command = "i686-w64-mingw32-windres -O res " + dir.file("t.rc") + " " + dir.file("t.res");
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string res = read_whole_file(dir.file("t.res"));
    const Bytes img(res.begin(), res.end());

    const auto records = res_image::parse_records(img.data(), img.size());
    ASSERT_EQ(records.size(), 3u);
    uint32_t error = 0;
    const auto* script = res_image::find_record(records, text(L"script"), ordinal(1), &error);
    ASSERT_NE(script, nullptr);
    EXPECT_EQ(data_of(img, *script), "abc");
    const auto* data = res_image::find_record(records, text(L"DATA"), ordinal(7), &error);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data_of(img, *data), "0123456789");
    EXPECT_NE(res_image::find_record(records, ordinal(16), ordinal(1), &error), nullptr);
}
