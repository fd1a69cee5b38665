// The service registry cleanup's decisions: collecting every service name,
// which ImagePath values name the hidden image, which service is chosen,
// the keys deleted and the report.

#include "program/drivercheck/core/RegistryMatch.hpp"
#include "tests/native/RecordingConsole.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Utf16Bytes(std::u16string_view text, bool terminated = true)
{
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (terminated) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

struct MatchCase {
    const char* name;
    std::vector<uint8_t> value;
    std::u16string image;
    bool expected;
};

TEST(ImagePathMatch, CaseSensitiveSubstringWithinTheReturnedBytes)
{
    const std::u16string image = u"abc.dll:x.exe";
    std::vector<uint8_t> oddTail = Utf16Bytes(u"C:\\WINDOWS\\abc.dll:x.exe", false);
    oddTail.push_back('Q');
    std::vector<uint8_t> afterNul = Utf16Bytes(u"C:\\other.exe");
    const std::vector<uint8_t> hidden = Utf16Bytes(image);
    afterNul.insert(afterNul.end(), hidden.begin(), hidden.end());
    const std::vector<MatchCase> cases = {
        {"whole value", Utf16Bytes(image), image, true},
        {"middle of a path", Utf16Bytes(u"C:\\WINDOWS\\abc.dll:x.exe -k netsvcs"), image, true},
        {"at the very end, no terminator", Utf16Bytes(u"C:\\WINDOWS\\abc.dll:x.exe", false), image, true},
        {"an odd trailing byte is ignored", oddTail, image, true},
        {"letter case differs", Utf16Bytes(u"C:\\WINDOWS\\ABC.DLL:X.EXE"), image, false},
        {"only part of the name", Utf16Bytes(u"C:\\WINDOWS\\abc.dll"), image, false},
        {"the name cut by the end of the bytes", Utf16Bytes(u"C:\\WINDOWS\\abc.dll:x.ex", false), image, false},
        {"text after the first NUL is not the value", afterNul, image, false},
        {"empty name matches nothing", Utf16Bytes(u"C:\\WINDOWS\\system32\\svchost.exe"), u"", false},
        {"empty value", {}, image, false},
    };
    for (const MatchCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ImagePathNamesImage(c.value.data(), c.value.size(), c.image), c.expected);
    }
}

TEST(ImagePathMatch, NeverReadsPastTheReturnedBytes)
{
    // The value fills the buffer without a terminator; the bytes after it in
    // memory would complete the name if the value were read as a C string.
    std::vector<uint8_t> memory = Utf16Bytes(u"C:\\WINDOWS\\abc.dll:x.", false);
    const std::size_t returned = memory.size();
    const std::vector<uint8_t> beyond = Utf16Bytes(u"exe");
    memory.insert(memory.end(), beyond.begin(), beyond.end());
    EXPECT_FALSE(ImagePathNamesImage(memory.data(), returned, u"abc.dll:x.exe"));
    EXPECT_TRUE(ImagePathNamesImage(memory.data(), memory.size(), u"abc.dll:x.exe"));
}

// ImagePath values by key path; services missing from the map cannot be read.
struct FakeServices {
    std::map<std::u16string, std::vector<uint8_t>> values;
    std::vector<std::u16string> read;
    ReadImagePath reader()
    {
        return [this](const std::u16string& keyPath) -> std::optional<std::vector<uint8_t>> {
            read.push_back(keyPath);
            auto it = values.find(keyPath);
            if (it == values.end())
                return std::nullopt;
            return it->second;
        };
    }
};

// A machine of today has 400 to 700 services of 10 to 12 characters; a
// collection of many more names and far more name text than that still
// holds every name, and the service is found wherever it stands.
TEST(FirstServiceNamingImage, EveryServiceIsExaminedHoweverManyThereAre)
{
    const std::size_t count = 5000; // 60,000 characters of names
    for (const std::size_t rootkitAt : {std::size_t{0}, count / 2, count}) {
        SCOPED_TRACE(rootkitAt);
        ServiceNames names;
        FakeServices services;
        for (std::size_t i = 0; i <= count; ++i) {
            std::u16string name = u"Service";
            for (char c : std::to_string(100000 + i))
                name.push_back(static_cast<char16_t>(c));
            const bool rootkit = i == rootkitAt;
            if (rootkit)
                name = u"evil";
            AddServiceName(names, name);
            services.values[ServiceKeyPath(name)] =
                Utf16Bytes(rootkit ? u"C:\\WINDOWS\\abc.dll:x.exe" : u"system32\\drivers\\x.sys");
        }
        ASSERT_EQ(names.names.size(), count + 1);
        const auto match = FirstServiceNamingImage(names, u"abc.dll:x.exe", services.reader());
        ASSERT_TRUE(match.has_value());
        EXPECT_EQ(names.names[*match], u"evil");
        EXPECT_EQ(services.read.size(), rootkitAt + 1);
    }
}

TEST(ServiceNameCollection, OnlyTheEndOfTheListEndsTheEnumerationWell)
{
    EXPECT_TRUE(EnumerationReachedTheEnd(259));  // ERROR_NO_MORE_ITEMS
    EXPECT_FALSE(EnumerationReachedTheEnd(234)); // ERROR_MORE_DATA
    EXPECT_FALSE(EnumerationReachedTheEnd(5));   // ERROR_ACCESS_DENIED
    EXPECT_FALSE(EnumerationReachedTheEnd(0));
}

TEST(FirstServiceNamingImage, TheFirstMatchInEnumerationOrderStopsTheSearch)
{
    ServiceNames names;
    for (const char16_t* n : {u"Beep", u"Gone", u"evil1", u"evil2", u"Tcpip"})
        AddServiceName(names, n);
    FakeServices services;
    services.values[u"SYSTEM\\ControlSet001\\Services\\Beep"] = Utf16Bytes(u"system32\\drivers\\beep.sys");
    services.values[u"SYSTEM\\ControlSet001\\Services\\evil1"] = Utf16Bytes(u"C:\\WINDOWS\\abc.dll:x.exe");
    services.values[u"SYSTEM\\ControlSet001\\Services\\evil2"] = Utf16Bytes(u"C:\\WINDOWS\\abc.dll:x.exe");
    const auto match = FirstServiceNamingImage(names, u"abc.dll:x.exe", services.reader());
    ASSERT_TRUE(match.has_value());
    EXPECT_EQ(names.names[*match], u"evil1");
    EXPECT_EQ(services.read.size(), 3u) << "unreadable keys are skipped; the search stops at the match";
}

TEST(FirstServiceNamingImage, AnEmptyNameExaminesNothingAndMatchesNothing)
{
    ServiceNames names;
    AddServiceName(names, u"Beep");
    FakeServices services;
    services.values[u"SYSTEM\\ControlSet001\\Services\\Beep"] = Utf16Bytes(u"beep.sys");
    EXPECT_FALSE(FirstServiceNamingImage(names, u"", services.reader()).has_value());
    EXPECT_FALSE(FirstServiceNamingImage(names, u"x.exe", services.reader()).has_value());
}

TEST(ServiceKeys, ThreeControlSetsInOrder)
{
    const auto paths = ServiceKeysToDelete(u"evil");
    EXPECT_EQ(paths[0], u"SYSTEM\\ControlSet001\\Services\\evil");
    EXPECT_EQ(paths[1], u"SYSTEM\\ControlSet002\\Services\\evil");
    EXPECT_EQ(paths[2], u"SYSTEM\\CurrentControlSet\\Services\\evil");
    EXPECT_EQ(ServiceKeyPath(u"evil"), paths[0]);
}

TEST(ServiceKeys, ReportOnlyWhenADeletionSucceeded)
{
    RecordingConsole deleted;
    PlayScript(ServiceKeysReport(true), deleted.sink);
    EXPECT_EQ(deleted.transcript, "\nQuorVallin Registry key: <c10>Disinfected\n\n<c15>");
    EXPECT_TRUE(ServiceKeysReport(false).empty());
    RecordingConsole unopened;
    PlayScript(ServicesKeyUnopenedReport(), unopened.sink);
    EXPECT_EQ(unopened.transcript, "unable to open SYSTEM\\ControlSet001\\Services . \n");
}

} // namespace
