// The quarantine's text: escaped field values, the manifest written and
// read back, manifests cut off or tampered with, the inert encoding and the
// names the quarantine gives.

#include "program/quarantine/core/Inert.hpp"
#include "program/quarantine/core/Manifest.hpp"
#include "program/quarantine/core/QuarantineNames.hpp"
#include "program/quarantine/core/QuarantineText.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// --- field values -------------------------------------------------------------

TEST(FieldText, EveryStringComesBackExactly)
{
    const std::u16string cases[] = {
        u"",
        u"C:\\WINDOWS\\system32\\drivers\\atapi.sys",
        u"100% sure",
        std::u16string(u"a\0b", 3),
        u"line\r\nbreak\ttab\x7f",
        u"caf\u00e9 \u4e2d\u6587 \U0001F600",
        u"\xD800",              // a high surrogate alone
        u"x\xDC00y",            // a low surrogate alone
        u"\xDC00\xD800",        // the pair the wrong way round
        u"%41 is not an A",     // an escape's look-alike is itself escaped
        u"%u0041",
    };
    for (const std::u16string& text : cases) {
        const std::string encoded = EncodeFieldText(text);
        EXPECT_EQ(encoded.find_first_of("\r\n", 0), std::string::npos) << encoded;
        EXPECT_EQ(encoded.find('\0'), std::string::npos) << encoded;
        const std::optional<std::u16string> decoded = DecodeFieldText(encoded);
        ASSERT_TRUE(decoded.has_value()) << encoded;
        EXPECT_EQ(*decoded, text) << encoded;
    }
}

TEST(FieldText, ReadableTextStaysReadable)
{
    EXPECT_EQ(EncodeFieldText(u"C:\\WINDOWS\\x.dll:y.exe"), "C:\\WINDOWS\\x.dll:y.exe");
    EXPECT_EQ(EncodeFieldText(u"caf\u00e9"), "caf\xc3\xa9");
    EXPECT_EQ(EncodeFieldText(u"50%\r\n"), "50%25%0D%0A");
    EXPECT_EQ(EncodeFieldText(u"\xD800"), "%uD800");
}

TEST(FieldText, MalformedValuesAreRefused)
{
    const std::string cases[] = {
        "%",  "%4", "%G0", "%80",   // a short, non-hex or non-ASCII escape
        "%u", "%uD80", "%u0041",    // a short escape, or one of no surrogate
        "a\rb", std::string("a\0b", 3), "\x7f", // raw controls never come from the writer
        "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xff", "\x80",
    };
    for (const std::string& value : cases)
        EXPECT_FALSE(DecodeFieldText(value).has_value()) << testing::PrintToString(value);
}

TEST(Utf8, StrictRefusesWhatLenientReplaces)
{
    EXPECT_EQ(DecodeUtf8("ok \xe2\x82\xac", true), std::u16string(u"ok \u20ac"));
    for (const std::string bad : {"\xe2\x82", "\xc0\x80", "\xed\xb0\x80", "a\xffz"}) {
        EXPECT_FALSE(DecodeUtf8(bad, true).has_value()) << testing::PrintToString(bad);
        const std::optional<std::u16string> lenient = DecodeUtf8(bad, false);
        ASSERT_TRUE(lenient.has_value());
        EXPECT_NE(lenient->find(u'\xFFFD'), std::u16string::npos);
    }
}

TEST(Hex, LowerCaseOnlyAndWhole)
{
    const uint8_t bytes[] = {0x00, 0xA5, 0xFF, 0x10};
    EXPECT_EQ(LowerHex(bytes, sizeof(bytes)), "00a5ff10");
    EXPECT_EQ(ParseLowerHex("00a5ff10"), std::vector<uint8_t>(bytes, bytes + 4));
    EXPECT_EQ(ParseLowerHex(""), std::vector<uint8_t>{});
    for (const char* bad : {"0", "00A5", "0g", " 0"})
        EXPECT_FALSE(ParseLowerHex(bad).has_value()) << bad;
}

TEST(Decimal, NoSignNoLeadingZeroWithinLimit)
{
    EXPECT_EQ(ParseDecimal("0", 10), 0u);
    EXPECT_EQ(ParseDecimal("18446744073709551615", UINT64_MAX), UINT64_MAX);
    EXPECT_FALSE(ParseDecimal("18446744073709551616", UINT64_MAX).has_value());
    EXPECT_FALSE(ParseDecimal("11", 10).has_value());
    for (const char* bad : {"", "01", "-1", "+1", "1 ", "1e3"})
        EXPECT_FALSE(ParseDecimal(bad, UINT64_MAX).has_value()) << bad;
}

// --- the manifest ---------------------------------------------------------------

Manifest Sample()
{
    Manifest manifest;
    manifest.header = {u"2026-12-10T11:40:05Z", u"PC-0417", u"S-1-5-21-1004336348-1177238915-682003330", u"v1.0"};
    ManifestEntry driver;
    driver.kind = QuarantineKind::File;
    driver.originalPath = u"C:\\WINDOWS\\system32\\drivers\\atapi.sys";
    driver.storedName = u"001-atapi.sys.quarantine";
    driver.size = 95360;
    driver.sha256 = std::string(64, 'a');
    driver.md5 = "0123456789abcdef0123456789abcdef";
    driver.action = u"replaced with a clean copy";
    driver.reason = u"raw MD5 0123 differs from 4567; System Memory: Infected";
    driver.memoryVerdict = u"Infected By QuorVallin!";
    ManifestEntry stream = driver;
    stream.kind = QuarantineKind::DataStream;
    stream.originalPath = u"C:\\WINDOWS\\x.dll:y.exe";
    stream.storedName = u"002-x.dll_y.exe.quarantine";
    stream.size = 0;
    stream.action = u"deleted";
    stream.reason = u"";
    stream.memoryVerdict = u"not inspected\r\n100%";
    ManifestEntry key = driver;
    key.kind = QuarantineKind::RegistryKey;
    key.originalPath = u"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\x\r\ny%\xD800";
    key.storedName = u"003-x_y.key.quarantine";
    key.size = 1234;
    manifest.entries = {driver, stream, key};
    return manifest;
}

std::string Write(const Manifest& manifest)
{
    std::string text = ManifestHeaderText(manifest.header);
    for (std::size_t i = 0; i < manifest.entries.size(); ++i)
        text += ManifestEntryText(manifest.entries[i], static_cast<unsigned>(i + 1));
    return text;
}

void ExpectSame(const Manifest& a, const Manifest& b)
{
    EXPECT_EQ(a.header.runTime, b.header.runTime);
    EXPECT_EQ(a.header.computerName, b.header.computerName);
    EXPECT_EQ(a.header.computerSid, b.header.computerSid);
    EXPECT_EQ(a.header.toolVersion, b.header.toolVersion);
    ASSERT_EQ(a.entries.size(), b.entries.size());
    for (std::size_t i = 0; i < a.entries.size(); ++i) {
        const ManifestEntry &x = a.entries[i], &y = b.entries[i];
        EXPECT_EQ(x.kind, y.kind);
        EXPECT_EQ(x.originalPath, y.originalPath);
        EXPECT_EQ(x.storedName, y.storedName);
        EXPECT_EQ(x.size, y.size);
        EXPECT_EQ(x.sha256, y.sha256);
        EXPECT_EQ(x.md5, y.md5);
        EXPECT_EQ(x.action, y.action);
        EXPECT_EQ(x.reason, y.reason);
        EXPECT_EQ(x.memoryVerdict, y.memoryVerdict);
    }
}

TEST(Manifest, ReadsBackWhatWasWritten)
{
    const Manifest sample = Sample();
    const std::optional<Manifest> parsed = ParseManifest(Write(sample));
    ASSERT_TRUE(parsed.has_value());
    ExpectSame(*parsed, sample);
}

TEST(Manifest, IsPlainTextAPersonCanRead)
{
    const std::string text = Write(Sample());
    EXPECT_EQ(text.rfind("KorvaleNoQuorVallin quarantine manifest, format 2\r\nRun: 2026-12-10T11:40:05Z\r\n"
                         "Computer: PC-0417\r\nComputer SID: S-1-5-21-1004336348-1177238915-682003330\r\n"
                         "Tool: v1.0\r\nEncoding: every stored byte is XORed with 0xA5\r\n\r\n", 0), 0u);
    EXPECT_NE(text.find("Memory: Infected By QuorVallin!\r\nEnd of object: 1\r\n"), std::string::npos);
    EXPECT_NE(text.find("Object: 1\r\nKind: file\r\nOriginal: C:\\WINDOWS\\system32\\drivers\\atapi.sys\r\n"
                        "Stored: 001-atapi.sys.quarantine\r\nSize: 95360\r\n"), std::string::npos);
    EXPECT_NE(text.find("Kind: data stream\r\n"), std::string::npos);
    EXPECT_NE(text.find("Kind: registry key\r\n"), std::string::npos);
    // Every line ends in CRLF: no LF without its CR.
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        EXPECT_EQ(text[at - 1], '\r') << at;
}

TEST(Manifest, HeaderAloneIsAnEmptyQuarantine)
{
    Manifest empty = Sample();
    empty.entries.clear();
    const std::optional<Manifest> parsed = ParseManifest(Write(empty));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_TRUE(parsed->entries.empty());
}

// Cut off anywhere, a manifest either is refused or reads as the objects
// whose blocks it holds whole: never half an object.
TEST(Manifest, CutOffAnywhereNeverYieldsHalfAnObject)
{
    const Manifest sample = Sample();
    const std::string text = Write(sample);
    std::vector<std::size_t> blockEnds{ManifestHeaderText(sample.header).size()};
    for (std::size_t i = 0; i < sample.entries.size(); ++i)
        blockEnds.push_back(blockEnds.back() + ManifestEntryText(sample.entries[i], static_cast<unsigned>(i + 1)).size());

    for (std::size_t length = 0; length < text.size(); ++length) {
        const std::optional<Manifest> parsed = ParseManifest(std::string_view(text).substr(0, length));
        std::size_t whole = 0;
        while (whole < blockEnds.size() && blockEnds[whole] != length)
            ++whole;
        if (whole == blockEnds.size()) {
            EXPECT_FALSE(parsed.has_value()) << "cut at " << length;
        } else {
            ASSERT_TRUE(parsed.has_value()) << "cut at " << length;
            EXPECT_EQ(parsed->entries.size(), whole);
        }
    }
}

std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(Manifest, TamperedManifestsAreRefused)
{
    const std::string good = Write(Sample());
    const std::string sha = std::string(64, 'a');
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"another format", Replaced(good, "format 2", "format 3")},
        {"format 1 with the fields of format 2", Replaced(good, "format 2", "format 1")},
        {"an object without its memory verdict", Replaced(good, "Memory: Infected By QuorVallin!\r\n", "")},
        {"another XOR byte", Replaced(good, "0xA5", "0x00")},
        {"a header field missing", Replaced(good, "Tool: v1.0\r\n", "")},
        {"no computer SID field", Replaced(good, "Computer SID: S-1-5-21-1004336348-1177238915-682003330\r\n", "")},
        {"objects out of order", Replaced(good, "Object: 2\r\n", "Object: 3\r\n")},
        {"a block closed with another number", Replaced(good, "End of object: 1", "End of object: 2")},
        {"an unknown kind", Replaced(good, "Kind: file", "Kind: folder")},
        {"a relative original", Replaced(good, "Original: C:\\WINDOWS\\system32", "Original: WINDOWS\\system32")},
        {"a NUL in a file's original", Replaced(good, "Original: C:\\WINDOWS\\x.dll", "Original: C:\\WINDOWS\\%00x.dll")},
        {"a key outside HKEY_LOCAL_MACHINE", Replaced(good, "HKEY_LOCAL_MACHINE\\SYSTEM", "HKEY_CURRENT_USER\\SYSTEM")},
        {"a stored name with a path", Replaced(good, "Stored: 001-atapi", "Stored: ..\\001-atapi")},
        {"a stored name not ending .quarantine", Replaced(good, "001-atapi.sys.quarantine", "001-atapi.sys")},
        {"a stored name given twice", Replaced(good, "002-x.dll_y.exe.quarantine", "001-atapi.sys.quarantine")},
        {"a size with a sign", Replaced(good, "Size: 95360", "Size: -95360")},
        {"a size past 2^63", Replaced(good, "Size: 95360", "Size: 9223372036854775808")},
        {"an upper-case digest", Replaced(good, "SHA-256: " + sha, "SHA-256: " + std::string(64, 'A'))},
        {"a short digest", Replaced(good, "MD5: 0123456789abcdef0123456789abcdef", "MD5: 0123")},
        {"a bare LF", Replaced(good, "Kind: file\r\n", "Kind: file\n")},
        {"a raw control in a value", Replaced(good, "Action: replaced", "Action: re\tplaced")},
        {"text after the last block", good + "x\r\n"},
        {"a second empty line", good + "\r\n"},
        {"no empty line between blocks", Replaced(good, "End of object: 1\r\n\r\n", "End of object: 1\r\n")},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(ParseManifest(c.text).has_value()) << c.what;
}

// A quarantine written before the computer's SID was recorded: the memory
// verdict once in the header, none in the objects. It reads with each object
// taking the header's verdict and no SID, so that the restore can tell it
// was not made to be trusted here.
TEST(Manifest, Format1ReadsWithTheHeadersVerdictAndNoComputer)
{
    const std::string format1 =
        "KorvaleNoQuorVallin quarantine manifest, format 1\r\nRun: 2026-03-02T09:14:05Z\r\nComputer: PC-0417\r\n"
        "Tool: v1.0\r\nMemory: Infected By QuorVallin!\r\nEncoding: every stored byte is XORed with 0xA5\r\n\r\n"
        "Object: 1\r\nKind: file\r\nOriginal: C:\\WINDOWS\\system32\\drivers\\atapi.sys\r\n"
        "Stored: 001-atapi.sys.quarantine\r\nSize: 3\r\nSHA-256: " + std::string(64, 'a') +
        "\r\nMD5: " + std::string(32, 'b') + "\r\nAction: deleted\r\nReason: a test\r\nEnd of object: 1\r\n\r\n";
    const std::optional<Manifest> parsed = ParseManifest(format1);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->header.computerName, u"PC-0417");
    EXPECT_EQ(parsed->header.computerSid, u"");
    ASSERT_EQ(parsed->entries.size(), 1u);
    EXPECT_EQ(parsed->entries[0].memoryVerdict, u"Infected By QuorVallin!");
    EXPECT_FALSE(ParseManifest(Replaced(format1, "Memory: Infected By QuorVallin!\r\n", "")).has_value());
}

// --- inert encoding and names ------------------------------------------------------

TEST(Inert, AnExecutableNoLongerLooksLikeOne)
{
    std::vector<uint8_t> image = {'M', 'Z', 0x90, 0x00, 0x03, 0xA5, 0xFF};
    const std::vector<uint8_t> original = image;
    ToggleInert(image.data(), image.size());
    EXPECT_NE(image[0], 'M');
    EXPECT_NE(image[1], 'Z');
    for (std::size_t i = 0; i < image.size(); ++i)
        EXPECT_EQ(image[i], original[i] ^ 0xA5) << i;
    ToggleInert(image.data(), image.size());
    EXPECT_EQ(image, original);
}

TEST(QuarantineNames, RunFolderAndIsoTime)
{
    LogFacts t;
    t.year = 2026, t.month = 12, t.day = 1, t.hour = 9, t.minute = 4, t.second = 5;
    EXPECT_EQ(RunFolderName(t, 1), u"20261201T090405Z");
    EXPECT_EQ(RunFolderName(t, 2), u"20261201T090405Z-2");
    EXPECT_EQ(RunFolderName(t, 17), u"20261201T090405Z-17");
    EXPECT_EQ(IsoUtcTime(t), u"2026-12-01T09:04:05Z");
}

TEST(QuarantineNames, StoredNamesArePlainFileNames)
{
    const struct {
        unsigned number;
        QuarantineKind kind;
        std::u16string original;
        std::u16string stored;
    } cases[] = {
        {1, QuarantineKind::File, u"C:\\WINDOWS\\system32\\drivers\\atapi.sys", u"001-atapi.sys.quarantine"},
        {2, QuarantineKind::File, u"C:\\WINDOWS\\$NtUninstall\\@", u"002-_.quarantine"},
        {3, QuarantineKind::DataStream, u"C:\\WINDOWS\\x.dll:y.exe", u"003-x.dll_y.exe.quarantine"},
        {4, QuarantineKind::RegistryKey, u"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\xyz",
         u"004-xyz.key.quarantine"},
        {1000, QuarantineKind::File, u"C:\\dir\\", u"1000-object.quarantine"},
        {5, QuarantineKind::File, u"C:\\" + std::u16string(80, u'n') + u"\u00e9", u"005-" + std::u16string(48, u'n') + u".quarantine"},
    };
    for (const auto& c : cases) {
        const std::u16string name = StoredFileName(c.number, c.kind, c.original);
        EXPECT_EQ(name, c.stored);
        EXPECT_TRUE(IsStoredFileName(name));
    }
}

TEST(QuarantineNames, DataStreamPaths)
{
    EXPECT_TRUE(IsDataStreamPath(u"C:\\WINDOWS\\x.dll:y.exe"));
    EXPECT_TRUE(IsDataStreamPath(u"C:\\WINDOWS\\x.dll::$DATA"));
    EXPECT_FALSE(IsDataStreamPath(u"C:\\WINDOWS\\x.dll"));
    EXPECT_FALSE(IsDataStreamPath(u"C:\\a:b\\x.dll")); // a colon in a folder's name is not the file's stream
    EXPECT_FALSE(IsDataStreamPath(u"C:x.dll"));
}

TEST(QuarantineNames, RestorablePaths)
{
    EXPECT_TRUE(IsRestorablePath(QuarantineKind::File, u"C:\\WINDOWS\\x.sys"));
    EXPECT_TRUE(IsRestorablePath(QuarantineKind::DataStream, u"d:\\x.dll:y"));
    EXPECT_TRUE(IsRestorablePath(QuarantineKind::RegistryKey, u"HKEY_LOCAL_MACHINE\\SYSTEM\\x"));
    for (const std::u16string bad : {u"", u"C:", u"C:x", u"\\\\server\\share\\x", u"\\\\?\\C:\\x", u"1:\\x"})
        EXPECT_FALSE(IsRestorablePath(QuarantineKind::File, bad)) << testing::PrintToString(bad.size());
    EXPECT_FALSE(IsRestorablePath(QuarantineKind::File, std::u16string(u"C:\\x\0.sys", 9)));
    EXPECT_FALSE(IsRestorablePath(QuarantineKind::RegistryKey, u"HKEY_LOCAL_MACHINE\\"));
    EXPECT_FALSE(IsRestorablePath(QuarantineKind::RegistryKey, u"C:\\x"));
}

} // namespace
