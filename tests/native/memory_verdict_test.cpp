// The program's verdict on the helper driver's reply: signature matching,
// outcome and console lines.

#include "driver/HijackProtocol.h"
#include "program/deploy/core/HijackVerdict.hpp"
#include "program/deploy/core/Signature.hpp"
#include "program/run/core/RunSequence.hpp"
#include "tests/native/RecordingConsole.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>

namespace {

using Code = std::array<uint8_t, HIJACK_SIG_SIZE>;

// The two rootkit routines as machine code, written out byte by byte; the
// wildcard positions hold `fill`.
Code DriverInitCode(uint8_t fill)
{
    Code code = {0x81, 0xEC, 0x0C, 0x04, 0x00, 0x00, 0x57, 0x8B, 0xBC, 0x24, 0x14, 0x04, 0x00, 0x00,
                 fill, fill, fill, fill, fill,
                 0x83, 0xC7, 0x38, 0xB9, 0x1C, 0x00, 0x00, 0x00, 0xF3, 0xAB,
                 fill, fill, fill, fill, fill, fill,
                 0x8B, 0x11, 0x8D, 0x44, 0x24, 0x0C, 0x50, 0x6A, 0x00, 0x6A, 0x00, 0x52, 0x6A, 0x00,
                 0x6A, 0x00, 0x6A, 0x40};
    return code;
}
const std::set<size_t> DriverInitWildcards = {14, 15, 16, 17, 18, 29, 30, 31, 32, 33, 34};

Code CreateDispatchCode(uint8_t fill)
{
    Code code = {0x51, 0x8b, 0x44, 0x24, 0x08, 0x53, 0x55, 0x56, 0x57, 0x3b, 0x05, 0x04,
                 fill, fill, fill,
                 0x75, 0x11, 0x8b, 0x5c, 0x24, 0x1c, 0xe8, 0xa6, 0xfc, 0xff, 0xff, 0x5f, 0x5e, 0x5d,
                 0x5b, 0x59, 0xc2, 0x08, 0x00, 0x8b, 0x40, 0x28, 0x8b, 0x74, 0x24, 0x1c, 0x8b, 0x7e,
                 0x60, 0x8b, 0x68, 0x04, 0x8a, 0x07, 0x3c, 0x16, 0x75, 0x1e};
    return code;
}
const std::set<size_t> CreateDispatchWildcards = {12, 13, 14};

std::array<uint8_t, HIJACK_REPLY_SIZE> Reply(const Code& code, uint32_t type)
{
    std::array<uint8_t, HIJACK_REPLY_SIZE> reply{};
    std::memcpy(reply.data(), code.data(), code.size());
    reply[53] = 0xA5; // reserved bytes carry no meaning
    reply[54] = 0x5A;
    reply[56] = static_cast<uint8_t>(type);
    reply[57] = static_cast<uint8_t>(type >> 8);
    reply[58] = static_cast<uint8_t>(type >> 16);
    reply[59] = static_cast<uint8_t>(type >> 24);
    return reply;
}

std::string Played(const HijackVerdict& verdict)
{
    RecordingConsole console;
    PlayScript(verdict.script, console.sink);
    return console.transcript;
}

const std::string InfectedLine = "\nSystem Memory: <c12>Infected<c15> By QuorVallin!\n\n";
const std::string CleanLine = "\nSystem Memory: <c10>Clean\n\n<c15>";
const std::string ErrorLine = "\nError while scanning for QuorVallin\n\n";

TEST(Signature, TextsDescribe53Bytes)
{
    EXPECT_EQ(std::strlen(DriverInitSignature), 106u);
    EXPECT_EQ(std::strlen(CreateDispatchSignature), 106u);
}

TEST(Signature, EachMatchesItsCodeWithAnyWildcardBytes)
{
    for (uint8_t fill : {0x00, 0x5C, 0xFF}) {
        EXPECT_TRUE(MatchSignature(DriverInitCode(fill).data(), HIJACK_SIG_SIZE, DriverInitSignature)) << +fill;
        EXPECT_TRUE(MatchSignature(CreateDispatchCode(fill).data(), HIJACK_SIG_SIZE, CreateDispatchSignature)) << +fill;
    }
    EXPECT_FALSE(MatchSignature(DriverInitCode(0).data(), HIJACK_SIG_SIZE, CreateDispatchSignature));
    EXPECT_FALSE(MatchSignature(CreateDispatchCode(0).data(), HIJACK_SIG_SIZE, DriverInitSignature));
}

TEST(Signature, EveryFixedByteCounts)
{
    struct Case {
        Code code;
        const char* signature;
        const std::set<size_t>* wildcards;
    } cases[] = {{DriverInitCode(0x90), DriverInitSignature, &DriverInitWildcards},
                 {CreateDispatchCode(0x90), CreateDispatchSignature, &CreateDispatchWildcards}};
    for (const Case& c : cases) {
        for (size_t i = 0; i < HIJACK_SIG_SIZE; ++i) {
            Code changed = c.code;
            changed[i] ^= 0x01;
            EXPECT_EQ(MatchSignature(changed.data(), HIJACK_SIG_SIZE, c.signature), c.wildcards->count(i) == 1)
                << "byte " << i;
        }
    }
}

TEST(Signature, TextRules)
{
    const uint8_t data[] = {0xAB, 0x00, 0xFF};
    struct Case {
        const char* text;
        bool matches;
    } cases[] = {
        {"ab00ff", true},
        {"AB00FF", true},
        {"aB00Ff", true},
        {"????ff", true},
        {"ab00ff0", true},   // a last single character is ignored
        {"", true},          // no pairs, nothing to compare
        {"ab00fe", false},
        {"ab00ff00", false}, // longer than the data: never matches
        {"ab0?ff", false},   // half a wildcard is not a wildcard
        {"ab00fg", false},   // not a hexadecimal digit
        {"ab 0ff", false},
        {"+b00ff", false},
        {"ab-0ff", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchSignature(data, sizeof(data), c.text), c.matches) << '"' << c.text << '"';
}

TEST(Signature, DataShorterThanThePatternNeverMatches)
{
    const Code code = CreateDispatchCode(0);
    EXPECT_FALSE(MatchSignature(code.data(), 52, CreateDispatchSignature));
    // Not even when the pattern would have matched the shorter data's bytes.
    EXPECT_FALSE(MatchSignature(code.data(), 2, "518b44"));
    EXPECT_TRUE(MatchSignature(code.data(), 3, "518b44"));
}

TEST(HijackVerdict, OutcomesAndLines)
{
    Code last = CreateDispatchCode(0);
    last[52] ^= 0xFF;
    Code lastAds = DriverInitCode(0);
    lastAds[52] ^= 0xFF;
    const Code zero{};
    struct Case {
        const char* what;
        Code code;
        uint32_t type;
        int32_t outcome;
        std::string lines;
    } cases[] = {
        {"create dispatch, type 0", CreateDispatchCode(0xFF), 0, 0, InfectedLine},
        {"DriverInit, type 1", DriverInitCode(0x00), 1, 1, InfectedLine},
        {"DriverInit bytes, type 0", DriverInitCode(0x00), 0, 2, CleanLine},
        {"create dispatch bytes, type 1", CreateDispatchCode(0x00), 1, 2, CleanLine},
        {"last byte differs, type 0", last, 0, 2, CleanLine},
        {"last byte differs, type 1", lastAds, 1, 2, CleanLine},
        {"zero bytes, type 0", zero, 0, 2, CleanLine},
        {"not found, type 3", zero, 3, 3, ErrorLine},
        {"type 3 with signature bytes", CreateDispatchCode(0), 3, 3, ErrorLine},
        {"type 2 never comes from the driver", CreateDispatchCode(0), 2, 2, ""},
        {"unknown type 7", zero, 7, 7, ""},
        {"type with high bytes", CreateDispatchCode(0), 0x100, 0x100, ""},
    };
    for (const Case& c : cases) {
        const auto reply = Reply(c.code, c.type);
        const HijackVerdict verdict = EvaluateHijackReply(reply.data(), reply.size());
        EXPECT_EQ(verdict.outcome, c.outcome) << c.what;
        EXPECT_EQ(Played(verdict), c.lines) << c.what;
    }
}

TEST(HijackVerdict, UnreachableDriverIsAScanErrorNeverClean)
{
    // An all-zero buffer that the driver never filled, with fewer than 60
    // bytes returned: a scan that did not happen.
    const std::array<uint8_t, HIJACK_REPLY_SIZE> untouched{};
    for (size_t returned : {size_t{0}, size_t{1}, size_t{56}, size_t{59}}) {
        const HijackVerdict verdict = EvaluateHijackReply(untouched.data(), returned);
        EXPECT_EQ(verdict.outcome, ScanError) << returned;
        EXPECT_EQ(Played(verdict), ErrorLine) << returned;
    }
    const HijackVerdict none = EvaluateHijackReply(nullptr, 0);
    EXPECT_EQ(none.outcome, ScanError);
    EXPECT_EQ(Played(none), ErrorLine);
}

} // namespace
