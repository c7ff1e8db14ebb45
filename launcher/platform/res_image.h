// The resource image that an application executable carries after the
// launcher binary: a `.res` image (the format `windres -O res` writes)
// followed by a 16-byte trailer. The parser accepts any bytes: every length
// is checked against the image before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace res_image {

// ---- trailer -----------------------------------------------------------------
// The last 16 bytes of an application executable: the image's size in bytes
// (unsigned 64-bit, little-endian), then the 8 ASCII bytes "RESIMG01". The
// image ends where the trailer begins.
constexpr size_t kTrailerSize = 16;
constexpr char kTrailerMagic[] = "RESIMG01";  // 8 bytes, the NUL is not stored

// Where the image lies in a file, in bytes from the file's start.
struct ImageSpan {
    uint64_t offset = 0;
    uint64_t size = 0;
};

// Reads a trailer (kTrailerSize bytes) of a file of file_size bytes; false
// when the magic is wrong or the image it claims does not fit before it.
bool parse_trailer(const uint8_t* trailer, uint64_t file_size, ImageSpan* image);
// The same for a file held whole in memory.
bool locate_image(const uint8_t* file, size_t file_size, ImageSpan* image);

// ---- names -------------------------------------------------------------------
// A resource type or name: a 16-bit ordinal or a UTF-16 string.
struct Name {
    bool is_ordinal = true;
    uint16_t ordinal = 0;
    std::u16string text;

    static Name from_ordinal(uint16_t ordinal);
    static Name from_text(const std::wstring& text);
    // Ordinals compare by value; strings without regard to the case of ASCII
    // letters (resource compilers store names in upper case, lookups may use
    // any case). An ordinal never equals a string.
    bool matches(const Name& other) const;
};

// A wide string as UTF-16 code units (values above U+FFFF become surrogate
// pairs where wchar_t holds code points).
std::u16string to_utf16(const std::wstring& text);
// Code unit by code unit, ASCII letters folded to upper case.
bool equal_ignoring_ascii_case(const std::u16string& a, const std::u16string& b);

// ---- records -----------------------------------------------------------------
struct Record {
    Name type;
    Name name;
    uint16_t language = 0;
    uint32_t data_size = 0;    // DataSize as the record claims it
    size_t data_offset = 0;    // where the data begins, from the image's start
    bool data_complete = false;  // false: the data runs past the end of the image
};

// Every record of the image whose header lies wholly inside it, in image
// order, without the empty entry a resource compiler puts first. Parsing stops
// at the first header that is cut off or malformed, and after a record whose
// data runs past the end (that record is listed, marked incomplete).
std::vector<Record> parse_records(const uint8_t* image, size_t size);

// The first record of the given type and name, any language; null when there
// is none, with *error set to ERROR_RESOURCE_TYPE_NOT_FOUND (no record of that
// type) or ERROR_RESOURCE_NAME_NOT_FOUND (the type exists, the name does not).
const Record* find_record(const std::vector<Record>& records, const Name& type, const Name& name,
                          uint32_t* error);

}  // namespace res_image
