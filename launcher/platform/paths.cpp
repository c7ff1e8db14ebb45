// Joining paths, the same on every platform: the shell's own join binds
// user32 and gdi32 when the process starts, and POSIX has none.
#include <cwchar>

#include "platform/platform.h"

namespace platform {

namespace {

bool fail(uint32_t code) {
    set_last_error(code);
    return false;
}

}  // namespace

// Joins like PathAppendW with kPathSeparator: leading separators of more are
// dropped, one separator goes between the two parts unless buffer is empty
// or already ends in one, and nothing else of either part is rewritten.
bool path_append(wchar_t* buffer, const wchar_t* more) {
    if (buffer == nullptr || more == nullptr) return fail(error_code::kInvalidParameter);
    const size_t base_length = wcsnlen(buffer, kMaxPath);
    while (*more == kPathSeparator) ++more;
    const size_t more_length = std::wcslen(more);
    const bool needs_separator =
        base_length > 0 && more_length > 0 && buffer[base_length - 1] != kPathSeparator;
    const size_t total = base_length + (needs_separator ? 1 : 0) + more_length;
    if (base_length == kMaxPath || total >= kMaxPath) return fail(error_code::kFilenameExcedRange);
    size_t pos = base_length;
    if (needs_separator) buffer[pos++] = kPathSeparator;
    std::wmemcpy(buffer + pos, more, more_length + 1);
    return true;
}

}  // namespace platform
