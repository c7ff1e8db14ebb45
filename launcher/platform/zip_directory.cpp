#include "platform/zip_directory.h"

#include <cstring>

#include "platform/byte_order.h"

namespace zip_directory {

namespace {

using byte_order::read_le16;
using byte_order::read_le32;

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kDirectorySignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndSize = 22;
constexpr size_t kDirectoryRecordSize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kMaxCommentSize = 0xFFFF;
constexpr uint16_t kUtf8NameFlag = 0x0800;

// The end-of-central-directory record: the last signature whose comment
// reaches exactly to the end of the buffer.
const uint8_t* find_end_record(const uint8_t* data, size_t size) {
    if (size < kEndSize) return nullptr;
    const size_t lowest = size - kEndSize > kMaxCommentSize ? size - kEndSize - kMaxCommentSize : 0;
    for (size_t at = size - kEndSize + 1; at-- > lowest;) {
        const uint8_t* record = data + at;
        if (read_le32(record) == kEndSignature &&
            at + kEndSize + read_le16(record + 20) == size) {
            return record;
        }
    }
    return nullptr;
}

bool has_high_bytes(const std::string& name) {
    for (unsigned char c : name) {
        if (c >= 0x80) return true;
    }
    return false;
}

// Where the member's data begins, from its local header; false when the
// header or the data does not fit.
bool locate_data(const uint8_t* data, size_t size, uint64_t header_offset, Entry* entry) {
    if (header_offset > size || size - header_offset < kLocalHeaderSize) return false;
    const uint8_t* header = data + header_offset;
    if (read_le32(header) != kLocalSignature) return false;
    const uint64_t start = header_offset + kLocalHeaderSize + read_le16(header + 26) +
                           read_le16(header + 28);
    if (start > size || size - start < entry->compressed_size) return false;
    entry->data_offset = start;
    return true;
}

}  // namespace

bool parse(const uint8_t* data, size_t size, std::vector<Entry>* entries) {
    entries->clear();
    const uint8_t* end = find_end_record(data, size);
    if (end == nullptr) return false;
    const uint16_t count = read_le16(end + 10);
    const uint32_t directory_size = read_le32(end + 12);
    const uint32_t directory_offset = read_le32(end + 16);
    if (count == 0xFFFF || directory_size == 0xFFFFFFFF || directory_offset == 0xFFFFFFFF) {
        return false;  // the 64-bit format
    }
    // The directory ends where the end record begins; what lies before the
    // offset it claims is data prepended to the archive.
    const uint64_t end_position = static_cast<uint64_t>(end - data);
    if (directory_size > end_position) return false;
    const uint64_t directory_position = end_position - directory_size;
    if (directory_offset > directory_position) return false;
    const uint64_t prepended = directory_position - directory_offset;

    entries->reserve(count);
    uint64_t at = directory_position;
    for (uint16_t i = 0; i < count; ++i) {
        if (end_position - at < kDirectoryRecordSize) break;
        const uint8_t* record = data + at;
        if (read_le32(record) != kDirectorySignature) break;
        const uint16_t name_size = read_le16(record + 28);
        const uint64_t record_size = kDirectoryRecordSize + name_size + read_le16(record + 30) +
                                     read_le16(record + 32);
        if (end_position - at < record_size) break;
        Entry entry;
        entry.name.assign(reinterpret_cast<const char*>(record + kDirectoryRecordSize), name_size);
        entry.name_is_utf8 = (read_le16(record + 8) & kUtf8NameFlag) != 0 || !has_high_bytes(entry.name);
        entry.method = read_le16(record + 10);
        entry.compressed_size = read_le32(record + 20);
        entry.size = read_le32(record + 24);
        if (locate_data(data, size, prepended + read_le32(record + 42), &entry)) {
            entries->push_back(std::move(entry));
        }
        at += record_size;
    }
    return true;
}

}  // namespace zip_directory
