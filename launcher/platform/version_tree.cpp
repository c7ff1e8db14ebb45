#include "platform/version_tree.h"

#include <vector>

#include "platform/byte_order.h"
#include "platform/res_image.h"

namespace version_tree {
namespace {

constexpr size_t kNodeHeaderSize = 6;  // wLength, wValueLength, wType
constexpr uint16_t kTypeText = 1;
constexpr wchar_t kPathSeparator = L'\\';

using byte_order::read_le16;

size_t align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

bool is_high_surrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

struct Node {
    size_t end = 0;  // one past the node's last byte
    std::u16string key;
    Value value;
    size_t children = 0;  // where the first child begins
};

// Reads the node at start, which must end by limit.
bool read_node(const uint8_t* tree, size_t start, size_t limit, Node* node) {
    if (limit - start < kNodeHeaderSize) return false;
    const size_t length = read_le16(tree + start);
    const uint16_t value_length = read_le16(tree + start + 2);
    const uint16_t type = read_le16(tree + start + 4);
    if (length < kNodeHeaderSize || length > limit - start) return false;
    node->end = start + length;

    size_t pos = start + kNodeHeaderSize;
    node->key.clear();
    for (;; pos += 2) {
        if (pos + 2 > node->end) return false;  // the key has no NUL inside the node
        const char16_t unit = read_le16(tree + pos);
        if (unit == 0) break;
        node->key.push_back(unit);
    }
    node->value.is_text = type == kTypeText;
    const size_t value_start = align4(pos + 2);
    if (value_start > node->end) {
        // The node ends inside the key's padding: an empty value, no children.
        node->value.offset = node->end & ~static_cast<size_t>(3);
        node->value.length = 0;
        node->children = node->end;
        return true;
    }
    const size_t unit_size = node->value.is_text ? 2 : 1;
    const size_t room = (node->end - value_start) / unit_size;
    node->value.offset = value_start;
    node->value.length = value_length <= room ? value_length : room;
    node->children = align4(value_start + node->value.length * unit_size);
    return true;
}

// The child of parent whose key is key.
Outcome find_child(const uint8_t* tree, const Node& parent, const std::u16string& key, Node* child) {
    for (size_t pos = parent.children; pos + kNodeHeaderSize <= parent.end;) {
        if (read_le16(tree + pos) == 0) break;  // zero padding after the last child
        if (!read_node(tree, pos, parent.end, child)) return Outcome::corrupt;
        if (res_image::equal_ignoring_ascii_case(child->key, key)) return Outcome::found;
        pos = align4(child->end);
    }
    return Outcome::not_found;
}

std::vector<std::u16string> split_path(const wchar_t* sub_block) {
    std::vector<std::u16string> keys;
    std::wstring key;
    for (const wchar_t* p = sub_block; ; ++p) {
        if (*p == kPathSeparator || *p == L'\0') {
            if (!key.empty()) keys.push_back(res_image::to_utf16(key));
            key.clear();
            if (*p == L'\0') break;
        } else {
            key.push_back(*p);
        }
    }
    return keys;
}

}  // namespace

Outcome find_value(const uint8_t* tree, size_t tree_size, const wchar_t* sub_block, Value* value) {
    Node node;
    if (!read_node(tree, 0, tree_size, &node)) return Outcome::corrupt;
    for (const std::u16string& key : split_path(sub_block)) {
        Node child;
        const Outcome outcome = find_child(tree, node, key, &child);
        if (outcome != Outcome::found) return outcome;
        node = child;
    }
    *value = node.value;
    return Outcome::found;
}

std::wstring decode_utf16le(const uint8_t* bytes, size_t units) {
    std::wstring text;
    text.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        const uint32_t unit = read_le16(bytes + 2 * i);
        if (sizeof(wchar_t) == 2) {
            text.push_back(static_cast<wchar_t>(unit));
        } else if (is_high_surrogate(unit) && i + 1 < units &&
                   is_low_surrogate(read_le16(bytes + 2 * (i + 1)))) {
            const uint32_t low = read_le16(bytes + 2 * ++i);
            text.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
        } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            text.push_back(static_cast<wchar_t>(0xFFFD));
        } else {
            text.push_back(static_cast<wchar_t>(unit));
        }
    }
    return text;
}

}  // namespace version_tree
