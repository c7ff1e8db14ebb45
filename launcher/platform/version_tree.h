// The tree of a version resource (VS_VERSIONINFO): nodes of wLength,
// wValueLength, wType, a UTF-16LE key, padding to 32 bits, the value and the
// child nodes, each child aligned to 32 bits. The root holds the
// VS_FIXEDFILEINFO; its children are StringFileInfo, with one string table
// per language and code page ("040904B0"), and VarFileInfo. The parser accepts
// any bytes and never reads outside the tree it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace version_tree {

enum class Outcome {
    found,
    not_found,  // the tree is sound but holds no node at that path
    corrupt,    // a node on the way does not fit its parent or has no key
};

// Where a node's value lies in the tree.
struct Value {
    size_t offset = 0;           // bytes from the tree's start; a multiple of 4
    size_t length = 0;           // text: UTF-16 units, binary: bytes
    bool is_text = false;        // wType 1: a UTF-16 string; wType 0: binary
};

// The node at sub_block, a path of keys separated by backslashes, as
// "\StringFileInfo\040904B0\FileVersion"; "\" (or an empty path) is the
// root. Keys compare without regard to the case of ASCII letters. The value
// length is wValueLength (units for text, bytes for binary), cut to what the
// node holds when it claims more.
Outcome find_value(const uint8_t* tree, size_t tree_size, const wchar_t* sub_block, Value* value);

// UTF-16LE units to a wide string. Where wchar_t holds code points, surrogate
// pairs combine into one character and a lone surrogate becomes U+FFFD; where
// wchar_t is a UTF-16 unit the units are copied as they are.
std::wstring decode_utf16le(const uint8_t* bytes, size_t units);

}  // namespace version_tree
