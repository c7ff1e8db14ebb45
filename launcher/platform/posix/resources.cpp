// Resources on POSIX systems: the resource image appended to the executable
// file, behind its trailer, and the version resource of any such file.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/byte_order.h"
#include "platform/platform.h"
#include "platform/res_image.h"
#include "platform/resources.h"
#include "platform/version_tree.h"

namespace platform {
namespace {

constexpr uint16_t kVersionType = 16;  // RT_VERSION
constexpr uint16_t kVersionId = 1;     // VS_VERSION_INFO
constexpr size_t kTreeHeaderSize = 6;  // wLength, wValueLength, wType of the root

size_t align4(size_t n) { return (n + 3) & ~static_cast<size_t>(3); }

using byte_order::read_le16;

bool fail(uint32_t code) {
    set_last_error(code);
    return false;
}

// The resource image appended to a file, mapped read-only: the image's pages
// only, found through the trailer, not the whole file (an application
// executable carries the interpreter: mapping and unmapping all of it costs
// more than everything read from it). The mapping goes with the object
// unless keep() hands it to the rest of the process.
class MappedImage {
public:
    MappedImage() = default;
    MappedImage(const MappedImage&) = delete;
    MappedImage& operator=(const MappedImage&) = delete;
    ~MappedImage() {
        if (mapping_ != nullptr) munmap(mapping_, mapping_size_);
    }

    // False with the last error set when the file cannot be opened or is a
    // folder, or ERROR_RESOURCE_DATA_NOT_FOUND when it carries no image.
    bool open(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) return fail(win32_error_from_errno(errno));
        const bool mapped = map(fd);
        close(fd);
        return mapped;
    }

    const uint8_t* image() const { return image_; }
    size_t image_size() const { return image_size_; }
    void keep() { mapping_ = nullptr; }

private:
    bool map(int fd) {
        struct stat info {};
        if (fstat(fd, &info) != 0) return fail(win32_error_from_errno(errno));
        if (S_ISDIR(info.st_mode)) return fail(error_code::kAccessDenied);
        res_image::ImageSpan span;
        uint8_t trailer[res_image::kTrailerSize];
        const uint64_t file_size = static_cast<uint64_t>(info.st_size);
        if (!S_ISREG(info.st_mode) || file_size < sizeof trailer ||
            pread(fd, trailer, sizeof trailer, static_cast<off_t>(file_size - sizeof trailer)) !=
                static_cast<ssize_t>(sizeof trailer) ||
            !res_image::parse_trailer(trailer, file_size, &span)) {
            return fail(error_code::kResourceDataNotFound);
        }
        if (span.size == 0) {
            image_ = empty_image();
            return true;
        }
        const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        const uint64_t first = span.offset - span.offset % page;
        mapping_size_ = static_cast<size_t>(span.offset + span.size - first);
        mapping_ = mmap(nullptr, mapping_size_, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(first));
        if (mapping_ == MAP_FAILED) {
            mapping_ = nullptr;
            return fail(win32_error_from_errno(errno));
        }
        image_ = static_cast<const uint8_t*>(mapping_) + (span.offset - first);
        image_size_ = static_cast<size_t>(span.size);
        return true;
    }

    // Where an empty image lies: nowhere, but not null.
    static const uint8_t* empty_image() {
        static const uint8_t none = 0;
        return &none;
    }

    void* mapping_ = nullptr;
    size_t mapping_size_ = 0;
    const uint8_t* image_ = nullptr;
    size_t image_size_ = 0;
};

// The resource image of the running executable, mapped for the rest of the
// process.
struct ExecutableImage {
    bool present = false;
    const uint8_t* bytes = nullptr;
    std::vector<res_image::Record> records;
};

ExecutableImage* load_executable_image() {
    auto* image = new ExecutableImage;
    MappedImage file;
    if (file.open("/proc/self/exe")) {
        image->present = true;
        image->bytes = file.image();
        image->records = res_image::parse_records(image->bytes, file.image_size());
        file.keep();
    }
    return image;
}

const ExecutableImage& executable_image() {
    // Built on first use and never destroyed: resource handles stay valid
    // through every exit handler.
    static const ExecutableImage* image = load_executable_image();
    return *image;
}

// A type or name argument as FindResourceW reads it: a value below 0x10000
// is an ordinal, so is a string "#123"; anything else is a name.
res_image::Name name_from_argument(const wchar_t* argument) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(argument);
    if (value <= 0xFFFF) return res_image::Name::from_ordinal(static_cast<uint16_t>(value));
    if (argument[0] == L'#' && argument[1] != L'\0') {
        uint32_t ordinal = 0;
        const wchar_t* p = argument + 1;
        for (; *p >= L'0' && *p <= L'9' && ordinal <= 0xFFFF; ++p) ordinal = ordinal * 10 + (*p - L'0');
        if (*p == L'\0' && ordinal <= 0xFFFF) return res_image::Name::from_ordinal(static_cast<uint16_t>(ordinal));
    }
    return res_image::Name::from_text(argument);
}

// ---- version information ---------------------------------------------------------
//
// The block a caller receives holds the tree as the file stores it, padded to
// 4 bytes, then a spare area of 2 * tree size + 8 bytes. A text value at byte
// offset o of the tree is handed out decoded to wide characters at spare +
// 2 * o: a value of n UTF-16 units (n <= (size - o) / 2) needs 4 * (n + 1)
// bytes there, so values never overlap and never leave the block.

size_t spare_offset(size_t tree_size) { return align4(tree_size); }

size_t block_size(size_t tree_size) { return spare_offset(tree_size) + 2 * tree_size + 8; }

// The version tree of the file named path, as many bytes as its root claims.
bool read_version_tree(const wchar_t* path, std::vector<uint8_t>* tree) {
    if (path == nullptr) return fail(error_code::kInvalidParameter);
    MappedImage file;
    if (!file.open(narrow_path(path))) return false;
    const uint8_t* image = file.image();
    const std::vector<res_image::Record> records = res_image::parse_records(image, file.image_size());
    uint32_t error = 0;
    const res_image::Record* record = res_image::find_record(
        records, res_image::Name::from_ordinal(kVersionType), res_image::Name::from_ordinal(kVersionId),
        &error);
    if (record == nullptr) return fail(error);
    if (!record->data_complete || record->data_size < kTreeHeaderSize) return fail(error_code::kInvalidData);
    const uint8_t* data = image + record->data_offset;
    const size_t tree_size = read_le16(data);
    if (tree_size < kTreeHeaderSize || tree_size > record->data_size) return fail(error_code::kInvalidData);
    tree->assign(data, data + tree_size);
    return true;
}

bool copy_value_text(uint8_t* block, size_t tree_size, const version_tree::Value& value,
                     const wchar_t** text) {
    const std::wstring decoded = version_tree::decode_utf16le(block + value.offset, value.length);
    uint8_t* destination = block + spare_offset(tree_size) + 2 * value.offset;
    if (reinterpret_cast<uintptr_t>(destination) % alignof(wchar_t) != 0)
        return fail(error_code::kInvalidParameter);  // a block not aligned as new[] aligns it
    std::memcpy(destination, decoded.c_str(), (decoded.size() + 1) * sizeof(wchar_t));
    *text = reinterpret_cast<const wchar_t*>(destination);
    return true;
}

}  // namespace

ResourceInfo find_resource(const wchar_t* type, uint16_t id) {
    const ExecutableImage& image = executable_image();
    if (!image.present) {
        set_last_error(error_code::kResourceDataNotFound);
        return nullptr;
    }
    uint32_t error = 0;
    const res_image::Record* record = res_image::find_record(
        image.records, name_from_argument(type), res_image::Name::from_ordinal(id), &error);
    if (record == nullptr) {
        set_last_error(error);
        return nullptr;
    }
    return const_cast<res_image::Record*>(record);
}

uint32_t sizeof_resource(ResourceInfo info) {
    if (info == nullptr) {
        set_last_error(error_code::kInvalidHandle);
        return 0;
    }
    return static_cast<const res_image::Record*>(info)->data_size;
}

ResourceData load_resource(ResourceInfo info) {
    if (info == nullptr) {
        set_last_error(error_code::kInvalidHandle);
        return nullptr;
    }
    const auto* record = static_cast<const res_image::Record*>(info);
    if (!record->data_complete) {
        set_last_error(error_code::kInvalidData);
        return nullptr;
    }
    return const_cast<uint8_t*>(executable_image().bytes + record->data_offset);
}

const void* lock_resource(ResourceData data) {
    if (data == nullptr) set_last_error(error_code::kInvalidHandle);
    return data;
}

uint32_t get_file_version_info_size(const wchar_t* path) {
    std::vector<uint8_t> tree;
    if (!read_version_tree(path, &tree)) return 0;
    return static_cast<uint32_t>(block_size(tree.size()));
}

// A block smaller than get_file_version_info_size asked for is refused
// (ERROR_INSUFFICIENT_BUFFER): a cut tree could not be queried safely.
bool get_file_version_info(const wchar_t* path, uint32_t size, void* block) {
    if (block == nullptr) return fail(error_code::kInvalidParameter);
    std::vector<uint8_t> tree;
    if (!read_version_tree(path, &tree)) return false;
    const size_t needed = block_size(tree.size());
    if (size < needed) return fail(error_code::kInsufficientBuffer);
    std::memset(block, 0, needed);
    std::memcpy(block, tree.data(), tree.size());
    return true;
}

// Text values come back decoded in the block's spare area, NUL-terminated,
// with *length the value's length in UTF-16 units as the tree gives it (cut to
// its node); binary values (the root's fixed information, the translation
// list) come back in place with *length in bytes. A missing key, or a string
// table of another language or code page, fails with
// ERROR_RESOURCE_TYPE_NOT_FOUND; a malformed tree with ERROR_INVALID_DATA.
bool ver_query_value(void* block, const wchar_t* sub_block, const wchar_t** value, uint32_t* length) {
    if (block == nullptr || sub_block == nullptr || value == nullptr || length == nullptr)
        return fail(error_code::kInvalidParameter);
    auto* bytes = static_cast<uint8_t*>(block);
    const size_t tree_size = read_le16(bytes);
    if (tree_size < kTreeHeaderSize) return fail(error_code::kInvalidData);
    version_tree::Value found;
    switch (version_tree::find_value(bytes, tree_size, sub_block, &found)) {
        case version_tree::Outcome::found:
            break;
        case version_tree::Outcome::not_found:
            return fail(error_code::kResourceTypeNotFound);
        case version_tree::Outcome::corrupt:
            return fail(error_code::kInvalidData);
    }
    if (found.is_text) {
        if (!copy_value_text(bytes, tree_size, found, value)) return false;
    } else {
        *value = reinterpret_cast<const wchar_t*>(bytes + found.offset);
    }
    *length = static_cast<uint32_t>(found.length);
    return true;
}

}  // namespace platform
