// The driver's protocol logic: request classification and the reply bytes.

#include "driver/core/HijackReply.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

std::array<uint8_t, 64> Buffer(const char* text, size_t length)
{
    std::array<uint8_t, 64> buffer{};
    buffer.fill(0xCC); // stale memory beyond the caller's input
    std::memcpy(buffer.data(), text, length);
    return buffer;
}

TEST(HijackRequest, Classification)
{
    struct Case {
        const char* text;
        uint32_t inputLength;
        uint32_t outputLength;
        HijackRequestKind expected;
    } cases[] = {
        {"Start Hijack", 13, 60, HijackRequestStart},
        {"Start Hijack", 13, 64, HijackRequestStart},
        {"Start Hijack\0junk", 17, 60, HijackRequestStart},
        {"start hijack", 13, 60, HijackRequestOther},
        {"Start HijackX", 14, 60, HijackRequestOther},
        {"Start Hijac", 12, 60, HijackRequestTooSmall},
        {"Start Hijack", 12, 60, HijackRequestTooSmall}, // NUL not sent
        {"Start Hijack", 13, 59, HijackRequestTooSmall},
        {"", 0, 0, HijackRequestTooSmall},
    };
    for (const Case& c : cases) {
        auto buffer = Buffer(c.text, c.inputLength);
        EXPECT_EQ(ClassifyHijackRequest(buffer.data(), c.inputLength, c.outputLength), c.expected)
            << c.text << " in " << c.inputLength << " out " << c.outputLength;
    }
    EXPECT_EQ(ClassifyHijackRequest(nullptr, 13, 60), HijackRequestTooSmall);
}

TEST(HijackRequest, EchoKeepsInputAndZeroesTheRest)
{
    auto buffer = Buffer("start hijack", 13);
    EXPECT_EQ(BuildEchoReply(buffer.data(), 13), 60u);
    EXPECT_EQ(std::memcmp(buffer.data(), "start hijack", 13), 0);
    for (size_t i = 13; i < 60; ++i)
        EXPECT_EQ(buffer[i], 0) << i;
    EXPECT_EQ(buffer[60], 0xCC); // nothing past the 60 bytes returned

    auto longer = Buffer("Start HijackXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX", 64);
    const auto before = longer;
    EXPECT_EQ(BuildEchoReply(longer.data(), 64), 60u);
    EXPECT_EQ(longer, before);
}

TEST(HijackReply, TypesAndBytes)
{
    uint8_t code[HIJACK_SIG_SIZE];
    for (size_t i = 0; i < sizeof(code); ++i)
        code[i] = static_cast<uint8_t>(0xA0 + i);

    struct Case {
        int adsPresent;
        int found;
        uint32_t type;
    } cases[] = {{0, 1, HIJACK_TYPE_PLAIN}, {1, 1, HIJACK_TYPE_ADS}, {0, 0, HIJACK_TYPE_NOT_FOUND}, {1, 0, HIJACK_TYPE_NOT_FOUND}};
    for (const Case& c : cases) {
        uint8_t raw[HIJACK_REPLY_SIZE];
        std::memset(raw, 0xEE, sizeof(raw));
        HIJACK_REPLY* reply = reinterpret_cast<HIJACK_REPLY*>(raw);
        EXPECT_EQ(BuildHijackReply(c.adsPresent, c.found, code, reply), 60u);
        const uint32_t type = raw[56] | raw[57] << 8 | raw[58] << 16 | static_cast<uint32_t>(raw[59]) << 24;
        EXPECT_EQ(type, c.type);
        for (size_t i = 0; i < 56; ++i) {
            const uint8_t expected = (c.found == 1 && i < HIJACK_SIG_SIZE) ? code[i] : 0;
            EXPECT_EQ(raw[i], expected) << "byte " << i;
        }
    }
}

TEST(DiskName, EndsWithDr0)
{
    struct Case {
        const char16_t* name;
        bool passes;
    } cases[] = {
        {u"\\Device\\Harddisk0\\DR0", true},
        {u"\\device\\harddisk0\\dr0", true},
        {u"\\Device\\Harddisk0\\Dr0", true},
        {u"x\\DR0", true},
        {u"\\Device\\Harddisk1\\DR1", false},
        {u"\\Device\\Harddisk0\\DR01", false},
        {u"\\DR0", false},
        {u"DR0", false},
        {u"", false},
        {u"\\Device\\Harddisk0\\DR0 ", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NameEndsWithDr0(c.name), c.passes);
    EXPECT_FALSE(NameEndsWithDr0(nullptr));
}

} // namespace
