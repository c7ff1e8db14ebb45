#include "platform/res_image.h"

#include <cstring>

#include "platform/byte_order.h"
#include "platform/error_codes.h"

namespace res_image {
namespace {

// Fixed part of a record header after type and name: DataVersion,
// MemoryFlags, LanguageId, Version, Characteristics.
constexpr uint64_t kFixedTailSize = 16;
constexpr uint64_t kLanguageOffsetInTail = 6;
constexpr uint16_t kOrdinalMarker = 0xFFFF;

using byte_order::read_le16;
using byte_order::read_le32;
using byte_order::read_le64;

uint64_t align4(uint64_t offset) { return (offset + 3) & ~static_cast<uint64_t>(3); }

char16_t fold_ascii(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

// Reads a type or name field at *pos, which must end by limit; advances *pos
// past it.
bool read_name(const uint8_t* image, uint64_t* pos, uint64_t limit, Name* name) {
    if (*pos + 2 > limit) return false;
    if (read_le16(image + *pos) == kOrdinalMarker) {
        if (*pos + 4 > limit) return false;
        *name = Name::from_ordinal(read_le16(image + *pos + 2));
        *pos += 4;
        return true;
    }
    name->is_ordinal = false;
    name->ordinal = 0;
    name->text.clear();
    for (uint64_t p = *pos; p + 2 <= limit; p += 2) {
        char16_t unit = read_le16(image + p);
        if (unit == 0) {
            *pos = p + 2;
            return true;
        }
        name->text.push_back(unit);
    }
    return false;  // no terminating NUL inside the header
}

// The empty entry that a resource compiler writes at the head of a `.res`.
bool is_leading_empty_entry(const Record& record) {
    return record.data_size == 0 && record.type.is_ordinal && record.type.ordinal == 0 &&
           record.name.is_ordinal && record.name.ordinal == 0;
}

// Parses the record header at pos. False when the header is cut off or
// malformed; otherwise *next is where the following record begins.
bool read_record(const uint8_t* image, uint64_t size, uint64_t pos, Record* record, uint64_t* next) {
    if (size - pos < 8) return false;
    const uint32_t data_size = read_le32(image + pos);
    const uint32_t header_size = read_le32(image + pos + 4);
    const uint64_t header_end = pos + header_size;
    if (header_end > size) return false;

    uint64_t cursor = pos + 8;
    if (!read_name(image, &cursor, header_end, &record->type)) return false;
    if (!read_name(image, &cursor, header_end, &record->name)) return false;
    cursor = align4(cursor - pos) + pos;
    if (cursor + kFixedTailSize > header_end) return false;

    record->language = read_le16(image + cursor + kLanguageOffsetInTail);
    record->data_size = data_size;
    record->data_offset = static_cast<size_t>(header_end);
    record->data_complete = data_size <= size - header_end;
    *next = record->data_complete ? align4(header_end + data_size) : size;
    return true;
}

}  // namespace

bool parse_trailer(const uint8_t* trailer, uint64_t file_size, ImageSpan* image) {
    if (file_size < kTrailerSize) return false;
    if (std::memcmp(trailer + 8, kTrailerMagic, 8) != 0) return false;
    const uint64_t image_size = read_le64(trailer);
    const uint64_t image_end = file_size - kTrailerSize;
    if (image_size > image_end) return false;
    image->offset = image_end - image_size;
    image->size = image_size;
    return true;
}

bool locate_image(const uint8_t* file, size_t file_size, ImageSpan* image) {
    if (file_size < kTrailerSize) return false;
    return parse_trailer(file + file_size - kTrailerSize, file_size, image);
}

Name Name::from_ordinal(uint16_t ordinal) {
    Name name;
    name.is_ordinal = true;
    name.ordinal = ordinal;
    return name;
}

Name Name::from_text(const std::wstring& text) {
    Name name;
    name.is_ordinal = false;
    name.text = to_utf16(text);
    return name;
}

bool Name::matches(const Name& other) const {
    if (is_ordinal != other.is_ordinal) return false;
    if (is_ordinal) return ordinal == other.ordinal;
    return equal_ignoring_ascii_case(text, other.text);
}

std::u16string to_utf16(const std::wstring& text) {
    std::u16string units;
    units.reserve(text.size());
    for (wchar_t c : text) {
        const uint32_t value = static_cast<uint32_t>(c);
        if (sizeof(wchar_t) > 2 && value > 0xFFFF && value <= 0x10FFFF) {
            const uint32_t offset = value - 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
        } else if (value > 0x10FFFF) {
            units.push_back(u'\uFFFD');
        } else {
            units.push_back(static_cast<char16_t>(value));
        }
    }
    return units;
}

bool equal_ignoring_ascii_case(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold_ascii(a[i]) != fold_ascii(b[i])) return false;
    }
    return true;
}

std::vector<Record> parse_records(const uint8_t* image, size_t size) {
    std::vector<Record> records;
    uint64_t pos = 0;
    bool first = true;
    while (pos < size) {
        Record record;
        uint64_t next = 0;
        if (!read_record(image, size, pos, &record, &next)) break;
        if (!(first && is_leading_empty_entry(record))) records.push_back(record);
        first = false;
        if (!record.data_complete) break;
        pos = next;
    }
    return records;
}

const Record* find_record(const std::vector<Record>& records, const Name& type, const Name& name,
                          uint32_t* error) {
    bool type_seen = false;
    for (const Record& record : records) {
        if (!record.type.matches(type)) continue;
        type_seen = true;
        if (record.name.matches(name)) return &record;
    }
    *error = type_seen ? error_code::kResourceNameNotFound : error_code::kResourceTypeNotFound;
    return nullptr;
}

}  // namespace res_image
