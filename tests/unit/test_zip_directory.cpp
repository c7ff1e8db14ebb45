#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/zip_directory.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// An archive as Python's zip writer makes it: two stored members, one
// compressed, a folder entry, a comment, and `prepended` bytes before it.
Bytes written_archive(const TempDir& dir, const std::string& prepended = "") {
    const std::string script = dir.file("make.py");
    write_whole_file(script,
                     "import sys, zipfile\n"
                     "with open(sys.argv[1], 'wb') as out:\n"
                     "    out.write(sys.argv[2].encode())\n"
                     "    with zipfile.ZipFile(out, 'w') as z:\n"
                     "        z.writestr('a.pyc', b'0123456789')\n"
                     "        z.writestr('pkg/', b'')\n"
                     "        z.writestr('pkg/b.py', b'x = 1\\n' * 50, zipfile.ZIP_DEFLATED)\n"
                     "        z.writestr('pkg/\\u00e9.txt', b'')\n"
                     "        z.comment = b'comment'\n");
    const std::string command =
        "/usr/bin/python3.11 " + script + " " + dir.file("a.zip") + " '" + prepended + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    const std::string bytes = read_whole_file(dir.file("a.zip"));
    return Bytes(bytes.begin(), bytes.end());
}

std::string data_of(const Bytes& archive, const zip_directory::Entry& entry) {
    return std::string(archive.begin() + long(entry.data_offset),
                       archive.begin() + long(entry.data_offset + entry.compressed_size));
}

// Whatever the bytes, every member the parser lists lies inside them.
void expect_entries_inside(const Bytes& archive) {
    std::vector<zip_directory::Entry> entries;
    zip_directory::parse(archive.data(), archive.size(), &entries);
    for (const zip_directory::Entry& entry : entries) {
        ASSERT_LE(entry.data_offset, archive.size());
        ASSERT_LE(entry.compressed_size, archive.size() - entry.data_offset);
    }
}

}  // namespace

TEST(ZipDirectory, ListsWhatTheZipWriterWrites) {
    TempDir dir;
    for (const std::string prepended : {"", "launcher bytes before the archive"}) {
        const Bytes archive = written_archive(dir, prepended);
        std::vector<zip_directory::Entry> entries;
        ASSERT_TRUE(zip_directory::parse(archive.data(), archive.size(), &entries));
        ASSERT_EQ(entries.size(), 4u);
        EXPECT_EQ(entries[0].name, "a.pyc");
        EXPECT_EQ(entries[0].method, zip_directory::kStored);
        EXPECT_EQ(data_of(archive, entries[0]), "0123456789");
        EXPECT_EQ(entries[1].name, "pkg/");
        EXPECT_EQ(entries[2].method, zip_directory::kDeflated);
        EXPECT_EQ(entries[2].size, 300u);
        EXPECT_LT(entries[2].compressed_size, 300u);
        EXPECT_EQ(entries[3].name, "pkg/\xc3\xa9.txt");
        EXPECT_TRUE(entries[3].name_is_utf8);
    }
}

TEST(ZipDirectory, RefusesWhatIsNoArchive) {
    std::vector<zip_directory::Entry> entries;
    const Bytes text(100, 'x');
    EXPECT_FALSE(zip_directory::parse(text.data(), text.size(), &entries));
    EXPECT_FALSE(zip_directory::parse(nullptr, 0, &entries));
    // An end record that claims a directory larger than what precedes it.
    Bytes end = {'P', 'K', 5, 6, 0, 0, 0, 0, 1, 0, 1, 0, 46, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(zip_directory::parse(end.data(), end.size(), &entries));
}

TEST(ZipDirectory, SurvivesEveryTruncationAndFlippedByte) {
    TempDir dir;
    const Bytes full = written_archive(dir);
    for (size_t length = 0; length <= full.size(); ++length) {
        expect_entries_inside(Bytes(full.begin(), full.begin() + long(length)));
    }
    for (size_t pos = 0; pos < full.size(); ++pos) {
        for (uint8_t value : {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF}) {
            Bytes damaged = full;
            damaged[pos] = value;
            expect_entries_inside(damaged);
        }
    }
}
