#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/version_tree.h"

namespace {

using Bytes = std::vector<uint8_t>;
using version_tree::Outcome;

void put16(Bytes& b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void pad4(Bytes& b) { b.resize((b.size() + 3) & ~size_t(3)); }

struct Node {
    std::u16string key;
    uint16_t type = 1;
    uint16_t value_length = 0;
    Bytes value;
    std::vector<Node> children;
};

Bytes serialize(const Node& node) {
    Bytes b;
    put16(b, 0), put16(b, node.value_length), put16(b, node.type);
    for (char16_t c : node.key) put16(b, c);
    put16(b, 0);
    pad4(b);
    b.insert(b.end(), node.value.begin(), node.value.end());
    for (const Node& child : node.children) {
        pad4(b);
        const Bytes c = serialize(child);
        b.insert(b.end(), c.begin(), c.end());
    }
    b[0] = uint8_t(b.size()), b[1] = uint8_t(b.size() >> 8);
    return b;
}

Node text(const std::u16string& key, const std::u16string& value) {
    Node n{key, 1, uint16_t(value.size() + 1), {}, {}};
    for (char16_t c : value) put16(n.value, c);
    put16(n.value, 0);
    return n;
}

Node block(const std::u16string& key, std::vector<Node> children) { return Node{key, 1, 0, {}, children}; }

Bytes sample_tree() {
    Node root{u"VS_VERSION_INFO", 0, 52, Bytes(52, 0xAB), {}};
    root.children = {block(u"StringFileInfo",
                           {block(u"040904B0", {text(u"FileVersion", u"1.3.0.0"),
                                                text(u"__main_script", u"app.main"),
                                                text(u"__emoji", u"a\U0001F600b"),
                                                text(u"__cut", std::u16string(u"ab\0cd", 5))})}),
                     block(u"VarFileInfo", {Node{u"Translation", 0, 4, {0x09, 0x04, 0xB0, 0x04}, {}}})};
    return serialize(root);
}

struct Query {
    Outcome outcome;
    std::wstring text;
    version_tree::Value value;
};

Query query(const Bytes& tree, const wchar_t* path) {
    Query q;
    q.outcome = version_tree::find_value(tree.data(), tree.size(), path, &q.value);
    if (q.outcome == Outcome::found && q.value.is_text)
        q.text = version_tree::decode_utf16le(tree.data() + q.value.offset, q.value.length);
    return q;
}

}  // namespace

TEST(VersionTree, FindsStringsByPathIgnoringCase) {
    const Bytes tree = sample_tree();
    Query q = query(tree, L"\\StringFileInfo\\040904B0\\__main_script");
    ASSERT_EQ(q.outcome, Outcome::found);
    EXPECT_EQ(q.text, std::wstring(L"app.main\0", 9));
    EXPECT_EQ(q.value.length, 9u);
    EXPECT_EQ(query(tree, L"\\stringfileinfo\\040904b0\\FILEVERSION").text, std::wstring(L"1.3.0.0\0", 8));

    q = query(tree, L"\\");
    EXPECT_EQ(q.outcome, Outcome::found);
    EXPECT_FALSE(q.value.is_text);
    EXPECT_EQ(q.value.length, 52u);
    q = query(tree, L"\\VarFileInfo\\Translation");
    EXPECT_EQ(q.value.length, 4u);
    EXPECT_EQ(tree[q.value.offset + 2], 0xB0);
}

TEST(VersionTree, MissingKeysAndOtherStringBlocksAreNotFound) {
    const Bytes tree = sample_tree();
    EXPECT_EQ(query(tree, L"\\StringFileInfo\\040904B0\\__company").outcome, Outcome::not_found);
    EXPECT_EQ(query(tree, L"\\StringFileInfo\\040904E4\\FileVersion").outcome, Outcome::not_found);
    EXPECT_EQ(query(tree, L"\\StringFileInfo\\040904B0\\FileVersion\\x").outcome, Outcome::not_found);
}

TEST(VersionTree, DecodesTheWholeValueWithSurrogatePairs) {
    const Bytes tree = sample_tree();
    Query q = query(tree, L"\\StringFileInfo\\040904B0\\__emoji");
    EXPECT_EQ(q.value.length, 5u);  // a, two surrogates, b, NUL
    EXPECT_EQ(q.text, std::wstring(L"a\U0001F600b") + L'\0');
    // Everything wValueLength covers comes back, also past an inner NUL.
    EXPECT_EQ(query(tree, L"\\StringFileInfo\\040904B0\\__cut").text, std::wstring(L"ab\0cd\0", 6));

    if (sizeof(wchar_t) == 4) {  // where wchar_t is a UTF-16 unit, units are copied as they are
        const Bytes lone = {0x3D, 0xD8, 0x41, 0x00, 0x00, 0xDC};  // high, 'A', low
        EXPECT_EQ(version_tree::decode_utf16le(lone.data(), 3), L"\uFFFDA\uFFFD");
    }
}

TEST(VersionTree, ValueLongerThanItsNodeIsCut) {
    Node bad = text(u"Key", u"abc");
    bad.value_length = 500;
    const Bytes tree = serialize(Node{u"VS_VERSION_INFO", 0, 0, {}, {bad}});
    const Query q = query(tree, L"\\Key");
    ASSERT_EQ(q.outcome, Outcome::found);
    EXPECT_EQ(q.text, std::wstring(L"abc\0", 4));

    // A node that ends inside its key's padding has an empty value, still
    // aligned to 32 bits.
    Bytes short_node = serialize(Node{u"VS_VERSION_INFO", 0, 0, {}, {text(u"Key", u"")}});
    short_node[40] = 14;  // header and "Key" with its NUL
    const Query empty = query(short_node, L"\\Key");
    ASSERT_EQ(empty.outcome, Outcome::found);
    EXPECT_EQ(empty.value.length, 0u);
    EXPECT_EQ(empty.value.offset % 4, 0u);
}

TEST(VersionTree, ChildLongerThanItsParentIsCorrupt) {
    Bytes tree = sample_tree();
    const size_t string_file_info = 40 + 52;  // after the root's header, key and value
    tree[string_file_info] = 0xFF, tree[string_file_info + 1] = 0x0F;
    EXPECT_EQ(query(tree, L"\\StringFileInfo\\040904B0\\FileVersion").outcome, Outcome::corrupt);
    tree[0] = 0xFF, tree[1] = 0xFF;  // the root claims more than there is
    EXPECT_EQ(query(tree, L"\\").outcome, Outcome::corrupt);
}

TEST(VersionTree, SurvivesEveryTruncationAndFlippedByte) {
    const Bytes full = sample_tree();
    const auto check = [](const Bytes& tree) {
        for (const wchar_t* path : {L"\\", L"\\StringFileInfo\\040904B0\\__cut", L"\\VarFileInfo\\Translation"}) {
            const Query q = query(tree, path);
            if (q.outcome != Outcome::found) continue;
            ASSERT_LE(q.value.offset + q.value.length * (q.value.is_text ? 2 : 1), tree.size());
        }
    };
    for (size_t length = 0; length <= full.size(); ++length) check(Bytes(full.begin(), full.begin() + long(length)));
    for (size_t pos = 0; pos < full.size(); ++pos) {
        for (uint8_t value : {0x00, 0x03, 0x80, 0xFF}) {
            Bytes damaged = full;
            damaged[pos] = value;
            check(damaged);
        }
    }
}
