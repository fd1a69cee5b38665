// The registry export: any tree written and read back exactly, exports cut
// off or malformed, and when a stored tree counts as in place.

#include "program/quarantine/core/RegistryExport.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::vector<uint8_t> Bytes(std::string_view text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> Utf16Bytes(std::u16string_view text)
{
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return bytes;
}

RegistryExport ServiceTree()
{
    RegistryExport tree;
    tree.root = u"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\xyz";
    tree.keys = {
        {u"",
         {
             {u"", 1, Utf16Bytes(std::u16string(u"default\0", 8))},
             {u"ImagePath", 2, Utf16Bytes(std::u16string(u"\\??\\C:\\WINDOWS\\x.sys\0", 21))},
             {u"Start", 4, {0x01, 0x00, 0x00, 0x00}},
             {u"Blob", 3, Bytes(std::string("\0\r\n\xff", 4))},
             {u"Group", 7, Utf16Bytes(std::u16string(u"a\0b\0\0", 5))},
             {u"Odd length", 1, {0x41}},
             {std::u16string(u"nul\0name", 8), 0xFFFFFFFFu, {}},
             {u"Key: not a key\r\nValue: x", 0, Bytes("Data: 00")},
         }},
        {u"Enum", {{u"0", 1, Utf16Bytes(std::u16string(u"Root\\LEGACY_XYZ\\0000\0", 21))}}},
        {u"Enum\\Deeper", {}},
        {u"Security", {{u"Security", 3, Bytes(std::string(300, '\x5a'))}}},
        {u"%na\xD800me", {}},
    };
    return tree;
}

TEST(RegistryExport, EveryTreeComesBackExactly)
{
    const RegistryExport tree = ServiceTree();
    const std::string text = WriteRegistryExport(tree);
    const std::optional<RegistryExport> parsed = ParseRegistryExport(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_EQ(*parsed, tree);

    RegistryExport bare;
    bare.root = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\x";
    bare.keys = {{u"", {}}};
    EXPECT_EQ(ParseRegistryExport(WriteRegistryExport(bare)), bare);
}

TEST(RegistryExport, Layout)
{
    RegistryExport tree;
    tree.root = u"HKEY_LOCAL_MACHINE\\SYSTEM\\x";
    tree.keys = {{u"", {{u"", 4, {1, 0, 0, 0}}}}, {u"Sub", {}}};
    EXPECT_EQ(WriteRegistryExport(tree), "KorvaleNoQuorVallin registry export, format 1\r\n"
                                         "Root: HKEY_LOCAL_MACHINE\\SYSTEM\\x\r\n"
                                         "Key: \r\nValue: \r\nType: 4\r\nData: 01000000\r\n"
                                         "Key: Sub\r\n"
                                         "End of export\r\n");
}

TEST(RegistryExport, CutOffAnywhereIsRefused)
{
    const std::string text = WriteRegistryExport(ServiceTree());
    for (std::size_t length = 0; length < text.size(); ++length)
        EXPECT_FALSE(ParseRegistryExport(std::string_view(text).substr(0, length)).has_value()) << length;
}

TEST(RegistryExport, MalformedExportsAreRefused)
{
    const std::string head = "KorvaleNoQuorVallin registry export, format 1\r\nRoot: HKEY_LOCAL_MACHINE\\x\r\n";
    const std::string end = "End of export\r\n";
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"no key", head + end},
        {"a value before any key", head + "Value: a\r\nType: 1\r\nData: \r\n" + end},
        {"a subkey first", head + "Key: Sub\r\n" + end},
        {"the root twice", head + "Key: \r\nKey: \r\n" + end},
        {"a key before its parent", head + "Key: \r\nKey: A\\B\r\n" + end},
        {"a key given twice", head + "Key: \r\nKey: A\r\nKey: A\r\n" + end},
        {"an empty name in a path", head + "Key: \r\nKey: A\r\nKey: A\\\\B\r\n" + end},
        {"a path ending in a backslash", head + "Key: \r\nKey: A\\\r\n" + end},
        {"a value name given twice", head + "Key: \r\nValue: a\r\nType: 1\r\nData: \r\nValue: a\r\nType: 2\r\nData: \r\n" + end},
        {"a type past 32 bits", head + "Key: \r\nValue: a\r\nType: 4294967296\r\nData: \r\n" + end},
        {"odd hex data", head + "Key: \r\nValue: a\r\nType: 1\r\nData: 0\r\n" + end},
        {"upper-case hex data", head + "Key: \r\nValue: a\r\nType: 1\r\nData: AB\r\n" + end},
        {"no data line", head + "Key: \r\nValue: a\r\nType: 1\r\n" + end},
        {"an unknown line", head + "Key: \r\nComment: x\r\n" + end},
        {"text after the end", head + "Key: \r\n" + end + "Key: B\r\n"},
        {"another format", "KorvaleNoQuorVallin registry export, format 2\r\nRoot: HKEY_LOCAL_MACHINE\\x\r\nKey: \r\n" + end},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(ParseRegistryExport(c.text).has_value()) << c.what;
    EXPECT_TRUE(ParseRegistryExport(head + "Key: \r\nKey: A\r\nKey: A\\B\r\nKey: C\r\n" + end).has_value());
}

TEST(RegistryExport, InPlaceWhenEveryStoredKeyHoldsExactlyItsValues)
{
    const RegistryExport stored = ServiceTree();
    auto changed = [&](auto change) {
        RegistryExport current = stored;
        change(current);
        return current;
    };
    const struct {
        const char* what;
        RegistryExport current;
        bool inPlace;
    } cases[] = {
        {"the same tree", stored, true},
        {"values in another order", changed([](RegistryExport& t) { std::swap(t.keys[0].values[0], t.keys[0].values[3]); }), true},
        {"keys in another order", changed([](RegistryExport& t) { std::swap(t.keys[3], t.keys[4]); }), true},
        {"a subkey added since", changed([](RegistryExport& t) { t.keys.push_back({u"New", {}}); }), true},
        {"a value added since", changed([](RegistryExport& t) { t.keys[1].values.push_back({u"New", 4, {0, 0, 0, 0}}); }), false},
        {"a value's data changed", changed([](RegistryExport& t) { t.keys[0].values[2].data[0] = 3; }), false},
        {"a value's type changed", changed([](RegistryExport& t) { t.keys[0].values[2].type = 11; }), false},
        {"a value gone", changed([](RegistryExport& t) { t.keys[0].values.pop_back(); }), false},
        {"a value renamed in case", changed([](RegistryExport& t) { t.keys[0].values[2].name = u"start"; }), false},
        {"a subkey gone", changed([](RegistryExport& t) { t.keys.pop_back(); }), false},
        {"another root", changed([](RegistryExport& t) { t.root += u"2"; }), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StoredTreeInPlace(stored, c.current), c.inPlace) << c.what;
}

TEST(RegistryExport, NamesWithNul)
{
    RegistryExport tree = ServiceTree();
    EXPECT_TRUE(HasNameWithNul(tree)); // the value "nul\0name"
    tree.keys[0].values.erase(tree.keys[0].values.begin() + 6);
    EXPECT_FALSE(HasNameWithNul(tree));
    tree.keys.push_back({std::u16string(u"a\0b", 3), {}});
    EXPECT_TRUE(HasNameWithNul(tree));
}

} // namespace
