// The central directory of a zip archive held whole in memory (a mapped
// file): where each member's bytes lie and how they are stored. The parser
// accepts any bytes: every length and offset is checked against the buffer
// before it is used, and a member whose headers or data do not fit is left
// out rather than trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zip_directory {

// Compression methods the launcher can serve; others are listed but must be
// refused by the reader.
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;

struct Entry {
    std::string name;             // as stored: '/' separates folders
    bool name_is_utf8 = true;     // false: a legacy (code page 437) name with bytes above 0x7F
    uint16_t method = kStored;
    uint64_t data_offset = 0;     // the member's first byte, from the buffer's start
    uint32_t compressed_size = 0;  // bytes at data_offset
    uint32_t size = 0;            // bytes once decompressed
};

// The members of the archive in central-directory order. Data prepended to
// the archive (an archive appended to another file) is allowed: offsets are
// corrected as unzip does. false when no end-of-central-directory record is
// found, when it describes a directory that does not fit, or for an archive
// in the 64-bit format. A member whose local header or data lies outside the
// buffer is skipped; parsing stops at the first malformed directory record.
bool parse(const uint8_t* data, size_t size, std::vector<Entry>* entries);

}  // namespace zip_directory
